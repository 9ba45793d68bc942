#!/usr/bin/env python3
"""A scripted HTTP and HTTPS server for the tests, on loopback only.

Every behaviour is asked for in the query string of the request, so one
server serves every test and a test's URLs describe what they exercise:

  /body?id=T&size=N        a body of N bytes (see BLOCK below)
      accept_ranges=V      send "Accept-Ranges: V" (V may be a list); absent by default
      length=present|absent|zero   Content-Length (absent: close-delimited, or chunked=1)
      chunked=1            chunked transfer coding when the length is absent
      drop_after=N         close the connection after N body bytes ...
      drop_count=K         ... on the first K requests of this id (default 1)
      drop_reset=1         drop with a connection reset instead of an orderly close
      status=S             answer status S (no body) ...
      status_count=K       ... on the first K requests of this id (0: always, the default)
      proxy_authenticate=SCHEMES   with status=407: a Proxy-Authenticate header per comma-separated scheme
      partial_always=1     answer 206 even without "Range"
      range_offset=D       206 whose Content-Range starts D bytes off the asked offset
      range_unit=U         206 whose Content-Range has the unit U
      no_content_range=1   206 without Content-Range
      ignore_range=1       answer 200 with the whole body to a "Range" request
      redirect=N           302 to the same URL with redirect=N-1
      slow_headers=MS      wait MS milliseconds before answering
      slow_body=MS         wait MS milliseconds before each 64 KiB of the body
      second_size=M        from the second request of this id on, a body of M bytes
      hang=headers         accept the request and answer nothing ...
      hang_after=N         ... or send the headers and N body bytes, then nothing ...
      hang_count=K         ... on the first K requests of this id (0: always, the default) ...
      hang_ms=MS           ... for MS milliseconds (default 120000), then close the connection
      trickle=B:MS         send the body in pieces of B bytes, MS milliseconds apart
      redirect_to=URL      302 to URL (absolute)
  /PATH                    the file PATH below --root; ranges honoured, "Accept-Ranges: bytes",
                           and the behaviours above apply too
  /_requests?id=T          the requests seen for id T: one line each,
                           "<seconds since start> <path> <Range or ->"
  /_served                 every answered request: "<start> <seconds> <body bytes> <status> <path>"
  /_wall                   every request: "<wall-clock seconds> <path>"
  /_progress?id=T          body bytes sent so far to the latest request of id T
  /_agents?id=T            the User-Agent of each request of id T, one per line
  /_stop                   stop the server

Requests are recorded per id (the "id" parameter, or the path). The server
writes its ports to --port-file as "http https untrusted-https" (0 for none), and stops by itself after
--lifetime seconds or when its parent process ends.
"""
import argparse
import http.server
import os
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse

START = time.monotonic()
LOCK = threading.Lock()
REQUESTS = {}   # id -> list of (time, path, range)
COUNTS = {}     # id -> number of requests seen
SERVED = []     # (start, seconds, bytes, status, path) of every answered request
WALL = []       # (wall-clock time, path) of every request, for timing from other processes
PROGRESS = {}   # id -> body bytes sent to its latest request
AGENTS = {}     # id -> User-Agent of each request
ROOT = None
STOP = threading.Event()


# The body of /body: byte i is Block[i % 65521], with Block[j] = (j*131 + (j>>8)*7) & 0xFF.
# The period is prime, so a chunk written at a wrong offset shows.
PERIOD = 65521
BLOCK = bytes(((j * 131 + (j >> 8) * 7) & 0xFF) for j in range(PERIOD))
DOUBLE = BLOCK * 2


def body_chunk(start, end):
    out = bytearray()
    while start < end:
        offset = start % PERIOD
        n = min(end - start, PERIOD)
        out += DOUBLE[offset:offset + n]
        start += n
    return bytes(out)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OvlTestServer"
    sys_version = ""

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query, keep_blank_values=True).items()}
        key = query.get("id", url.path)
        range_header = self.headers.get("Range")
        if url.path == "/_requests":
            with LOCK:
                lines = ["%.3f %s %s" % (t, p, r or "-") for (t, p, r) in REQUESTS.get(key, [])]
            return self.send_text(200, "\n".join(lines) + ("\n" if lines else ""))
        if url.path == "/_served":
            with LOCK:
                lines = ["%.3f %.3f %d %d %s" % entry for entry in SERVED]
            return self.send_text(200, "\n".join(lines) + ("\n" if lines else ""))
        if url.path == "/_wall":
            with LOCK:
                lines = ["%.6f %s" % entry for entry in WALL]
            return self.send_text(200, "\n".join(lines) + ("\n" if lines else ""))
        if url.path == "/_progress":
            with LOCK:
                sent = PROGRESS.get(key, 0)
            return self.send_text(200, "%d\n" % sent)
        if url.path == "/_agents":
            with LOCK:
                lines = list(AGENTS.get(key, []))
            return self.send_text(200, "".join(line + "\n" for line in lines))
        if url.path == "/_stop":
            self.send_text(200, "stopping\n")
            STOP.set()
            return
        with LOCK:
            WALL.append((time.time(), url.path))
            REQUESTS.setdefault(key, []).append((time.monotonic() - START, url.path, range_header))
            AGENTS.setdefault(key, []).append(self.headers.get("User-Agent", ""))
            COUNTS[key] = COUNTS.get(key, 0) + 1
            count = COUNTS[key]
            PROGRESS[key] = 0
        self.key = key
        started = time.monotonic()
        self.sent = 0
        self.status = 0
        try:
            if url.path == "/body":
                self.serve_body(query, count, range_header)
            else:
                self.serve_file(urllib.parse.unquote(url.path.lstrip("/")), query, count, range_header)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        with LOCK:
            SERVED.append((started - START, time.monotonic() - started, self.sent, self.status, url.path))

    def send_response(self, code, message=None):
        self.status = code
        super().send_response(code, message)

    def send_text(self, status, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def serve_body(self, query, count, range_header):
        size = int(query.get("size", "0"))
        if "second_size" in query and count > 1:
            size = int(query["second_size"])
        return self.serve(query, count, range_header, size, lambda s, e: body_chunk(s, e))

    def serve_file(self, name, query, count, range_header):
        path = os.path.realpath(os.path.join(ROOT or "/nonexistent", name))
        if not ROOT or not path.startswith(os.path.realpath(ROOT) + os.sep) or not os.path.isfile(path):
            return self.send_text(404, "not found\n")
        size = os.path.getsize(path)
        query.setdefault("accept_ranges", "bytes")

        def read(start, end):
            with open(path, "rb") as f:
                f.seek(start)
                return f.read(end - start)
        return self.serve(query, count, range_header, size, read)

    def hang(self, query):
        """Sends nothing for hang_ms (or until the server stops), then closes."""
        self.wfile.flush()
        STOP.wait(int(query.get("hang_ms", "120000")) / 1000.0)
        self.close_connection = True

    def serve(self, query, count, range_header, size, read):
        hang_count = int(query.get("hang_count", "0"))
        hanging = hang_count == 0 or count <= hang_count
        if query.get("hang") == "headers" and hanging:
            return self.hang(query)
        if "slow_headers" in query:
            time.sleep(int(query["slow_headers"]) / 1000.0)
        status_count = int(query.get("status_count", "0"))
        if "status" in query and (status_count == 0 or count <= status_count):
            status = int(query["status"])
            self.send_response(status)
            for scheme in filter(None, query.get("proxy_authenticate", "").split(",")):
                self.send_header("Proxy-Authenticate", scheme)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if "redirect_to" in query:
            self.send_response(302)
            self.send_header("Location", query["redirect_to"])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if int(query.get("redirect", "0")) > 0:
            q = dict(query)
            q["redirect"] = str(int(q["redirect"]) - 1)
            self.send_response(302)
            self.send_header("Location", self.path.split("?")[0] + "?" + urllib.parse.urlencode(q))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        start = 0
        status = 200
        if range_header and not query.get("ignore_range") and range_header.startswith("bytes="):
            first = range_header[len("bytes="):].split("-")[0]
            if first.isdigit() and int(first) <= size:
                start = int(first)
                status = 206
        if query.get("partial_always") and status == 200:
            status = 206
        end = size

        self.send_response(status)
        if "accept_ranges" in query:
            self.send_header("Accept-Ranges", query["accept_ranges"])
        if status == 206 and not query.get("no_content_range"):
            unit = query.get("range_unit", "bytes")
            first = start + int(query.get("range_offset", "0"))
            self.send_header("Content-Range", "%s %d-%d/%d" % (unit, first, max(end - 1, first), size))
        length_mode = query.get("length", "present")
        chunked = False
        if length_mode == "zero":
            self.send_header("Content-Length", "0")
            end = start
        elif length_mode == "present":
            self.send_header("Content-Length", str(end - start))
        elif query.get("chunked"):
            self.send_header("Transfer-Encoding", "chunked")
            chunked = True
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()

        drop_after = int(query["drop_after"]) if "drop_after" in query else None
        drop_count = int(query.get("drop_count", "1"))
        dropping = drop_after is not None and count <= drop_count
        limit = end if not dropping else min(end, start + drop_after)
        slow = int(query.get("slow_body", "0")) / 1000.0
        hang_at = start + int(query["hang_after"]) if "hang_after" in query and hanging else None
        position = start
        block = 65536
        pause = 0.0
        if "trickle" in query:
            piece, ms = query["trickle"].split(":")
            block, pause = int(piece), int(ms) / 1000.0
        while position < limit:
            if hang_at is not None and position >= hang_at:
                return self.hang(query)
            if slow:
                time.sleep(slow)
            if pause:
                self.wfile.flush()
                time.sleep(pause)
            if STOP.is_set():
                break
            n = min(block, limit - position)
            if hang_at is not None:
                n = min(n, hang_at - position)
            data = read(position, position + n)
            if chunked:
                self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
            else:
                self.wfile.write(data)
            position += n
            self.sent += n
            with LOCK:
                PROGRESS[self.key] = self.sent
        if dropping:
            self.wfile.flush()
            try:
                if query.get("drop_reset"):
                    # An abortive close: the client sees a reset, not an end.
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.connection.close()
                else:
                    self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.close_connection = True
            return
        if chunked:
            self.wfile.write(b"0\r\n\r\n")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global ROOT
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="HTTP port; 0 picks an ephemeral one")
    parser.add_argument("--cert", help="PEM certificate chain for HTTPS")
    parser.add_argument("--key", help="PEM key for HTTPS")
    parser.add_argument("--root", help="folder whose files are served")
    parser.add_argument("--untrusted-cert", help="PEM certificate for a second HTTPS listener")
    parser.add_argument("--untrusted-key")
    parser.add_argument("--lifetime", type=int, default=1800)
    args = parser.parse_args()
    if not args.host.startswith("127."):
        sys.exit("test_server: loopback addresses only")
    ROOT = args.root

    servers = [Server((args.host, args.port), Handler)]
    # Wine's TLS goes through GnuTLS: offer TLS 1.2.
    for cert, key in ((args.cert, args.key), (args.untrusted_cert, args.untrusted_key)):
        if not cert:
            servers.append(None)
            continue
        https = Server(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(cert, key)
        https.socket = context.wrap_socket(https.socket, server_side=True)
        servers.append(https)
    ports = [str(s.server_address[1]) if s else "0" for s in servers]
    servers = [s for s in servers if s]
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(" ".join(ports) + "\n")
    os.replace(tmp, args.port_file)

    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    while not STOP.is_set() and time.monotonic() < deadline and os.getppid() == parent:
        STOP.wait(0.5)
    for s in servers:
        s.shutdown()


if __name__ == "__main__":
    main()
