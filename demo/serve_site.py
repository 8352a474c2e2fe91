#!/usr/bin/env python3
"""The demo catalogue server: a folder served over HTTP on a loopback port,
answering byte ranges as any static web server does, and writing one line per
answer (path, range asked for, status, body bytes sent) to a log file.

usage: serve_site.py PORT FOLDER LOG
"""
import http.server
import os
import re
import sys
from functools import partial


class Handler(http.server.SimpleHTTPRequestHandler):
    def send_head(self):
        path = self.translate_path(self.path)
        asked = self.headers.get("Range", "")
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", asked.strip())
        if not match or not os.path.isfile(path):
            self.range = None
            return super().send_head()
        size = os.path.getsize(path)
        first = int(match.group(1))
        last = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
        if first > last:
            self.send_error(416)
            return None
        body = open(path, "rb")
        body.seek(first)
        self.range = (first, last)
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
        self.send_header("Content-Length", str(last - first + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        return body

    def copyfile(self, source, outputfile):
        left = self.range[1] - self.range[0] + 1 if self.range else None
        sent = 0
        while left is None or left > 0:
            block = source.read(65536 if left is None else min(65536, left))
            if not block:
                break
            outputfile.write(block)
            sent += len(block)
            if left is not None:
                left -= len(block)
        with open(self.server.log, "a") as log:
            log.write(f"{self.path}\t{self.headers.get('Range', '-')}\t{sent}\n")

    def log_message(self, *args):
        pass


def main():
    port, folder, log = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), partial(Handler, directory=folder))
    server.log = log
    server.serve_forever()


if __name__ == "__main__":
    main()
