#!/usr/bin/env python3
"""A model hub for the tests, on loopback, with the misbehaviour a test asks for.

    test_hub.py DIR      prints "listening PORT" once it accepts connections
    DIR/listing.json     the body of GET /api/models/OWNER/whisper.cpp/tree/main
    DIR/listing-REPO.json  the body of GET /api/models/OWNER/REPO/tree/main for another REPO
    DIR/files/NAME       served for GET /OWNER/REPO/resolve/main/NAME, after a 302
    DIR/files/NAME.how   optional words: "slow" (64 kB/s), "cut" (closes half-way after
                         announcing the whole length), "ftp" (the redirect points to an
                         ftp:// address)
A missing file answers 404.
"""
import http.server
import os
import sys
import time

DIR = sys.argv[1]


def read(path, default=None):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return default


class Hub(http.server.BaseHTTPRequestHandler):
    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        parts = path.split("/")
        if path.startswith("/api/models/") and path.endswith("/tree/main") and len(parts) == 7:
            repo = parts[4]
            listing = read(os.path.join(DIR, "listing.json" if repo == "whisper.cpp" else "listing-%s.json" % repo))
            if listing is None:
                return self.answer(404, b'{"error":"not found"}')
            return self.answer(200, listing, [("Content-Type", "application/json")])
        if len(parts) == 6 and parts[3:5] == ["resolve", "main"]:
            name = parts[5]
            how = read(os.path.join(DIR, "files", name + ".how"), b"")
            where = ("ftp://127.0.0.1/" if b"ftp" in how else "/files/") + name
            return self.answer(302, b"", [("Location", where)])
        if not path.startswith("/files/"):
            return self.answer(404, b"Entry not found")
        file = os.path.join(DIR, "files", path[len("/files/"):])
        how = read(file + ".how", b"")
        try:
            data = open(file, "rb")
        except OSError:
            return self.answer(404, b"Entry not found")
        size = os.fstat(data.fileno()).st_size
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.send_header("Connection", "close")
        self.end_headers()
        left = size // 2 if b"cut" in how else size
        piece = 6553 if b"slow" in how else 1 << 20
        with data:
            while left > 0:
                chunk = data.read(min(piece, left))
                self.wfile.write(chunk)
                left -= len(chunk)
                if b"slow" in how:
                    time.sleep(0.1)

    def handle(self):
        try:
            super().handle()
        except OSError:  # the client hung up, as a cancelled download does
            pass

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hub)
print("listening", server.server_address[1], flush=True)
server.serve_forever()
