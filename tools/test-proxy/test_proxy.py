#!/usr/bin/env python3
"""A recording HTTP proxy for the tests, on loopback only.

It forwards GET requests in absolute form (http://host:port/path) and tunnels
CONNECT requests (for HTTPS), and records every request it sees:

  GET /_log        one line per proxied request: "<method> <target> <auth>",
                   auth being "auth" when a Proxy-Authorization header came
  GET /_clear      forget the log

With --auth SCHEMES (for example "Basic" or "Negotiate,NTLM") it answers
every request that carries no Proxy-Authorization with 407 and a
Proxy-Authenticate header per scheme, and every request that carries one
with 407 as well: no credential is ever accepted, so a client that keeps
trying would show up in the log.

It listens on --host (a loopback address), writes its port to --port-file and stops by itself after --lifetime
seconds or when its parent process ends.
"""
import argparse
import http.client
import http.server
import os
import select
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

LOCK = threading.Lock()
LOG = []
AUTH = []
STOP = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OvlTestProxy"
    sys_version = ""

    def log_message(self, *args):
        pass

    def send_text(self, status, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def record(self):
        auth = "auth" if self.headers.get("Proxy-Authorization") else "-"
        with LOCK:
            LOG.append("%s %s %s" % (self.command, self.path, auth))

    def challenge(self):
        """Answers 407 when the proxy asks for credentials; True when it did."""
        if not AUTH:
            return False
        self.send_response(407)
        for scheme in AUTH:
            self.send_header("Proxy-Authenticate", scheme + (' realm="test"' if scheme == "Basic" else ""))
        self.send_header("Content-Length", "0")
        self.end_headers()
        return True

    def do_GET(self):
        if self.path == "/_log":
            with LOCK:
                text = "".join(line + "\n" for line in LOG)
            return self.send_text(200, text)
        if self.path == "/_clear":
            with LOCK:
                LOG.clear()
            return self.send_text(200, "cleared\n")
        self.record()
        if self.challenge():
            return
        url = urllib.parse.urlsplit(self.path)
        if url.scheme != "http" or not url.hostname or not url.hostname.startswith("127."):
            return self.send_text(502, "loopback http targets only\n")
        upstream = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=60)
        path = url.path + ("?" + url.query if url.query else "")
        headers = {k: v for k, v in self.headers.items()
                   if k.lower() not in ("proxy-authorization", "proxy-connection", "connection")}
        upstream.request("GET", path or "/", headers=headers)
        response = upstream.getresponse()
        self.send_response(response.status, response.reason)
        for key, value in response.getheaders():
            if key.lower() not in ("connection", "transfer-encoding"):
                self.send_header(key, value)
        length = response.getheader("Content-Length")
        if length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        while True:
            data = response.read(65536)
            if not data:
                break
            self.wfile.write(data)
        upstream.close()

    def do_CONNECT(self):
        self.record()
        if self.challenge():
            return
        host, _, port = self.path.rpartition(":")
        if not host.startswith("127.") and host != "localhost":
            return self.send_text(502, "loopback targets only\n")
        upstream = socket.create_connection((host, int(port)), timeout=60)
        self.send_response(200, "Connection established")
        self.end_headers()
        client = self.connection
        sockets = [client, upstream]
        while not STOP.is_set():
            readable, _, _ = select.select(sockets, [], [], 1.0)
            done = False
            for s in readable:
                data = s.recv(65536)
                if not data:
                    done = True
                    break
                (upstream if s is client else client).sendall(data)
            if done:
                break
        upstream.close()
        self.close_connection = True


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # a client that hangs up is no news


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    # Wine sends a request in absolute form only when the proxy's host name
    # differs from the server's, whatever the ports: the tests' proxies listen
    # on another loopback address than their servers.
    parser.add_argument("--host", default="127.0.0.2")
    parser.add_argument("--auth", default="", help="comma-separated schemes to challenge with")
    parser.add_argument("--lifetime", type=int, default=1800)
    args = parser.parse_args()
    AUTH.extend(s for s in args.auth.split(",") if s)

    if not args.host.startswith("127."):
        sys.exit("test_proxy: loopback addresses only")
    server = Server((args.host, 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(tmp, args.port_file)

    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    while not STOP.is_set() and time.monotonic() < deadline and os.getppid() == parent:
        STOP.wait(0.5)
    server.shutdown()


if __name__ == "__main__":
    main()
