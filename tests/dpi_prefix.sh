#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own whose screen
# has the given DPI: LogPixels under HKCU\Control Panel\Desktop, which is where
# Wine 8 reads it (and where a user's display scaling puts it). The prefix is
# booted once and kept; its Wine processes are ended when the program ends.
# Usage: dpi_prefix.sh PREFIX DPI PROGRAM [ARGUMENTS...]
set -euo pipefail
export WINEPREFIX="$1"
dpi="$2"
shift 2

# A prefix is of one width for good: one of the other width is made anew.
if [ -f "$WINEPREFIX/system.reg" ] && [ -n "${WINEARCH:-}" ] &&
   ! grep -q "^#arch=$WINEARCH\$" "$WINEPREFIX/system.reg"; then
    rm -rf "$WINEPREFIX"
fi
# Wine's background processes start here, away from CTest's output pipe.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null || true
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
MORVINDEX_TEST_DPI="$dpi" wine "$@"
