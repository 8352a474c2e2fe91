#!/usr/bin/env bash
# morvindex-publish against openssl, the maker's other tool: a key made by
# openssl signs catalogue files that openssl verifies, in both PEM forms, and
# a key made by keygen is one openssl reads, with the same KEY= line. Links in
# a build folder (Unix links, which Wine shows as reparse points) are refused
# by name and nothing is packed.
# Usage: publish_openssl.sh <morvindex-publish.exe> (under the test's Wine prefix)
set -euo pipefail
tool="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
run() { wine "$tool" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

run init site http://127.0.0.1/sw/ >/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out sec1.pem
openssl pkcs8 -topk8 -nocrypt -in sec1.pem -out pkcs8.pem
openssl ec -in sec1.pem -pubout -out public.pem 2>/dev/null
expected="KEY=$(openssl ec -in sec1.pem -pubout -outform DER 2>/dev/null | base64 -w0)"
for key in sec1.pem pkcs8.pem; do
    [ "$(run sign site "$key" | grep '^KEY=')" = "$expected" ] || { echo "sign $key: another KEY= line" >&2; exit 1; }
    for file in sw_index.dat sw_repo.dat; do
        openssl dgst -sha256 -verify public.pem -signature "site/$file.sig" "site/$file" >/dev/null ||
            { echo "openssl refuses the signature of $file made with $key" >&2; exit 1; }
    done
done
made=$(run keygen made.pem | grep '^KEY=')
[ "$made" = "KEY=$(openssl ec -in made.pem -pubout -outform DER 2>/dev/null | base64 -w0)" ] ||
    { echo "openssl reads another public key from the keygen file" >&2; exit 1; }
mkdir -p build/inner
echo ABC > build/abc.exe
echo PRIVATE > secret.pem
ln -s "$work/secret.pem" build/key.pem
ln -s "$work/build" build/inner/loop
ln -s .. build/outside
index_before=$(cat site/sw_index.dat)
if output=$(run add site LNK 1 build); then
    echo "add packed a folder with links: $output" >&2; exit 1
fi
for name in '"key.pem": a link' '"inner/loop/": a link' '"outside/": a link'; do
    grep -qF "$name" <<<"$output" || { echo "add did not name $name: $output" >&2; exit 1; }
done
[ ! -e site/LNK/LNK_1.zip ] && [ "$(cat site/sw_index.dat)" = "$index_before" ] ||
    { echo "a refused add wrote something" >&2; exit 1; }
echo "publish and openssl agree"
