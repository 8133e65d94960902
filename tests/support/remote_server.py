#!/usr/bin/env python3
"""Another machine's transcription server, on loopback, for the tests.

The real whisper-server (on a fixture model) behind a small proxy that
requires the bearer token and keeps what it was sent, behind stunnel with a
certificate from a test certificate authority:

    daemon --https--> stunnel --http--> proxy --http--> whisper-server

DIR/ready holds {"tls": port, "untrusted": a port whose certificate no
authority signed, "closed": a port nobody listens on} once all three answer;
DIR/ca.pem is the authority to trust. The proxy reads DIR/mode
at each request: "" passes it on, "401" and "503" answer that status,
"redirect" sends it on to plain http, "login" to a sign-in page on another
origin (https://localhost), "json-error" answers a JSON error with status 200,
"huge" 5 MB of text, "hang" never answers. DIR/body and DIR/authorization hold
the last request's form and Authorization header; DIR/redirected is written
when a request reaches the sign-in page.
Runs until SIGTERM.
"""
import argparse
import http.client
import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time


def free_ports(count):
    """Distinct free ports; the last stays bound, never listening, so that
    nothing takes it and a connection to it is always refused."""
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets[:-1]:
        s.close()
    return ports, sockets[-1]


def make_certificates(folder):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    ca_key, ca = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr, cert = (os.path.join(folder, n) for n in ("server.key", "server.csr", "server.pem"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=Parlotta test authority", "-keyout", ca_key, "-out", ca)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", key,
            "-out", csr)
    names = os.path.join(folder, "names.ext")
    with open(names, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days",
            "2", "-extfile", names, "-out", cert)
    own = os.path.join(folder, "self-signed.pem")
    openssl("req", "-x509", "-key", key, "-days", "2", "-subj", "/CN=localhost", "-addext",
            "subjectAltName=DNS:localhost,IP:127.0.0.1", "-out", own)
    return key, cert, own


def proxy_handler(folder, upstream, key, proxy_port, tls_port):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def answer(self, status, body=b"", headers=()):
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            self.answer(200, b'{"status":"ok"}')

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if self.path.startswith("/sso/login"):
                open(os.path.join(folder, "redirected"), "w").close()
                return self.answer(200, b"<!DOCTYPE html><title>Sign in</title>",
                                   [("Content-Type", "text/html")])
            with open(os.path.join(folder, "body"), "wb") as f:
                f.write(body)
            with open(os.path.join(folder, "authorization"), "w") as f:
                f.write(self.headers.get("Authorization", ""))
            try:
                mode = open(os.path.join(folder, "mode")).read().strip()
            except OSError:
                mode = ""
            if mode == "hang":
                time.sleep(120)
                return
            if mode in ("401", "503"):
                return self.answer(int(mode), b"no")
            if mode == "redirect":
                return self.answer(307, headers=[
                    ("Location", f"http://127.0.0.1:{proxy_port}{self.path}")])
            if mode == "login":
                return self.answer(302, headers=[
                    ("Location", f"https://localhost:{tls_port}/sso/login?next={self.path}")])
            if mode == "json-error":
                return self.answer(200, json.dumps({"error": {
                    "message": "You exceeded your current quota",
                    "type": "insufficient_quota"}}).encode(),
                    [("Content-Type", "application/json")])
            if mode == "huge":
                return self.answer(200, b"word " * (1 << 20), [("Content-Type", "text/plain")])
            if key and self.headers.get("Authorization") != "Bearer " + key:
                return self.answer(401, b"Unauthorized")
            server = http.client.HTTPConnection("127.0.0.1", upstream, timeout=60)
            server.request("POST", self.path, body,
                           {"Content-Type": self.headers.get("Content-Type", "")})
            reply = server.getresponse()
            self.answer(reply.status, reply.read(),
                        [("Content-Type", reply.getheader("Content-Type", "text/plain"))])

    return Handler


def wait_for(port, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            connection.request("GET", "/health")
            if connection.getresponse().status == 200:
                return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--whisper", required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--inference-path", default="/inference")
    parser.add_argument("--key", default="")
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()

    key_file, cert, self_signed = make_certificates(args.dir)
    (whisper_port, proxy_port, tls_port, untrusted_port, closed_port), closed = free_ports(5)
    children = []

    def stop(*_):
        for child in children:
            child.terminate()
        for child in children:
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                child.kill()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    log = open(os.path.join(args.dir, "server.log"), "wb")
    children.append(subprocess.Popen(
        [args.whisper, "-m", args.model, "--host", "127.0.0.1", "--port", str(whisper_port),
         "--inference-path", args.inference_path, "-t", "2"], stdout=log, stderr=log))

    proxy = http.server.ThreadingHTTPServer(
        ("127.0.0.1", proxy_port), proxy_handler(args.dir, whisper_port, args.key, proxy_port, tls_port))
    proxy.daemon_threads = True
    threading.Thread(target=proxy.serve_forever, daemon=True).start()

    config = os.path.join(args.dir, "stunnel.conf")
    with open(config, "w") as f:
        f.write(f"foreground = yes\npid =\n[transcription]\naccept = 127.0.0.1:{tls_port}\n"
                f"connect = 127.0.0.1:{proxy_port}\ncert = {cert}\nkey = {key_file}\n"
                f"[untrusted]\naccept = 127.0.0.1:{untrusted_port}\n"
                f"connect = 127.0.0.1:{proxy_port}\ncert = {self_signed}\nkey = {key_file}\n")
    children.append(subprocess.Popen(["stunnel4", config], stdout=log, stderr=log))

    deadline = time.time() + 30
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", tls_port), 1).close()
            break
        except OSError:
            time.sleep(0.1)
    if not wait_for(whisper_port):
        print("whisper-server did not start", file=sys.stderr)
        stop()
    with open(os.path.join(args.dir, "ready.new"), "w") as f:
        json.dump({"tls": tls_port, "untrusted": untrusted_port, "closed": closed_port}, f)
    os.rename(os.path.join(args.dir, "ready.new"), os.path.join(args.dir, "ready"))
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
