#!/usr/bin/env python3
"""The demo catalogue server: a folder served over HTTP on a loopback port,
answering byte ranges as any static web server does (several ranges in one
multipart/byteranges answer), and writing one line per answer (path, range
asked for, body bytes sent) to a log file.

usage: serve_site.py PORT FOLDER LOG
"""
import http.server
import os
import re
import sys
from functools import partial

BOUNDARY = "morvindex-demo-3d6b6a41"


def asked_ranges(header, size):
    """The ranges of "bytes=a-b,c-", each cut to the file's end; None when
    the header is absent or no plain byte range list."""
    if not re.fullmatch(r"bytes=\d+-\d*(,\d+-\d*)*", header.replace(" ", "")):
        return None
    ranges = []
    for spec in header.replace(" ", "")[len("bytes="):].split(","):
        first, last = spec.split("-")
        ranges.append((int(first), min(int(last), size - 1) if last else size - 1))
    return ranges


class Handler(http.server.SimpleHTTPRequestHandler):
    def send_head(self):
        path = self.translate_path(self.path)
        self.parts = None
        ranges = asked_ranges(self.headers.get("Range", ""), os.path.getsize(path)) if os.path.isfile(path) else None
        if ranges is None:
            return super().send_head()
        size = os.path.getsize(path)
        if any(first > last for first, last in ranges):
            self.send_error(416)
            return None
        body = open(path, "rb")
        self.send_response(206)
        self.send_header("Accept-Ranges", "bytes")
        if len(ranges) == 1:
            first, last = ranges[0]
            self.parts = [(b"", first, last)]
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
            length = last - first + 1
        else:
            self.parts = []
            for first, last in ranges:
                head = (f"\r\n--{BOUNDARY}\r\nContent-Type: application/octet-stream\r\n"
                        f"Content-Range: bytes {first}-{last}/{size}\r\n\r\n").encode()
                self.parts.append((head, first, last))
            self.closing = f"\r\n--{BOUNDARY}--\r\n".encode()
            self.send_header("Content-Type", f"multipart/byteranges; boundary={BOUNDARY}")
            length = sum(len(head) + last - first + 1 for head, first, last in self.parts) + len(self.closing)
        self.send_header("Content-Length", str(length))
        self.end_headers()
        return body

    def copyfile(self, source, outputfile):
        sent = 0
        if self.parts is None:
            while True:
                block = source.read(65536)
                if not block:
                    break
                outputfile.write(block)
                sent += len(block)
        else:
            for head, first, last in self.parts:
                outputfile.write(head)
                sent += len(head)
                source.seek(first)
                left = last - first + 1
                while left > 0:
                    block = source.read(min(65536, left))
                    if not block:
                        break
                    outputfile.write(block)
                    sent += len(block)
                    left -= len(block)
            if len(self.parts) > 1:
                outputfile.write(self.closing)
                sent += len(self.closing)
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
