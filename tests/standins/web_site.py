#!/usr/bin/env python3
"""Stand-in web site for tests and benchmarks.

Serves HTTP/1.1 (with keep-alive) on a TCP port (80 unless told otherwise) of the
given addresses (--addr, repeatable; all addresses when none is given, so every
127.0.0.x answers). Meant to run inside the tests' private network namespace.
Writes "ready" into <--dir>/ready once it listens. Stops on SIGTERM
or SIGINT, and when the process that started it has gone (a test that crashed
leaves no server behind).

Routes (any query string is ignored unless a route names it):

  /page.html       200 text/html, an ordinary page without frames (has a script,
                   an object and an inline frame for the cleaner to remove)
  /frames.html     200 text/html, a page with frames; its tag is written in
                   capital letters: <FRAMESET
  /localfile.html  200 text/html, a page that asks for "file://" (a link to
                   file:///etc/passwd)
  /robots.txt      200 text/plain, a robots file
  /picture.jpg     200 image/jpeg, a few bytes that are not text
  /gzip.html       200 text/html with "Content-Encoding: gzip": the body is the
                   gzip stream of GZIP_PAGE, sent whatever the request asked for
  /echo            200 text/plain: the request line and the request headers as
                   received, one per line, CR LF ended, then a last line
                   "Client: <address>:<port>" naming the client's end of the
                   connection (two requests on one kept-alive connection show
                   the same port)
  /cookie          200 text/html that sets the cookie "visited=yes" (Path=/)
  /missing         404 (so is every path not listed here)
  /status/<code>   that status (100 to 599 but not 1xx) with a short text/html body
  /moved           301, Location: http://<Host header>/page.html (absolute)
  /found           302, Location: /page.html (relative, as the server wrote it)
  /to-file         302, Location: file:///etc/passwd
  /big.html        200 text/html, 6000000 bytes with a Content-Length: the first
                   6000000 bytes of BIG_LINE repeated without end
  /endless.html    200 text/html without a length (the connection is closed at
                   its end, which never comes): BIG_LINE repeated for as long as
                   the client reads
  /slow.html?delay=<s>
                   waits <s> seconds (default 3) before the status line, then
                   sends /page.html
  /trickle.html?pieces=<n>&interval=<ms>
                   200 text/html with a Content-Length; the body goes in <n>
                   pieces (default 10) of TRICKLE_PIECE, <ms> apart (default 300)
  /trickle-head.html?lines=<n>&interval=<ms>
                   200 text/html whose header trickles: after the status line,
                   <n> lines "X-Trickle: t" (default 10) go one byte at a time,
                   <ms> apart (default 100); then the rest of the header and
                   /page.html at once
  /partial.html    200 with "Content-Length: 1000", then 100 bytes and a close
  /close           reads the request, then closes the connection without a reply
  /reset           reads the request, then resets the connection
  /garbage         answers with a line that is no HTTP status line, then closes
  /gen/<n>.html    200 text/html, exactly <n> KB (n * 1024 bytes) of generated
                   HTML; the title holds the whole request path with its query, so
                   /gen/20.html?p=1 and ?p=2 differ (for 2000 distinct 20 KB pages)

  /hits            200 text/plain: the number of requests this site answered
                   before it, in decimal (requests for /hits not counted);
                   /hits?path=<p> counts only those for <p> (its query included)

A refused port is the test's choice: any port nothing listens on.

--tls-port N also serves the same routes over TLS on port N of the same
addresses, with the self-signed certificate web_site_tls.pem beside this script
(for "127.0.0.1"; no client trusts it, so a verifying client fails).
"""
import argparse
import gzip
import os
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

PAGE = (b"<html><head><title>Plain page</title>\r\n"
        b"<script type=\"text/javascript\">document.write('x');</script></head>\r\n"
        b"<body><h1>A page without frames</h1>\r\n"
        b"<p>Some text to render.</p>\r\n"
        b"<object data=\"movie.swf\"></object>\r\n"
        b"<iframe src=\"http://ads.example/\"></iframe>\r\n"
        b"</body></html>\r\n")
FRAMES = (b"<html><head><title>Frames</title></head>\r\n"
          b"<FRAMESET cols=\"20%,80%\"><FRAME src=\"menu.html\"><FRAME src=\"page.html\"></FRAMESET>\r\n"
          b"</html>\r\n")
LOCAL_FILE = (b"<html><head><title>Local file</title></head>\r\n"
              b"<body><a href=\"file:///etc/passwd\">open</a></body></html>\r\n")
ROBOTS = b"User-agent: *\r\nDisallow: /private/\r\n"
PICTURE = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xd9"
GZIP_PAGE = b"<html><body>compressed on the wire</body></html>\r\n"
BIG_LINE = b"<p>0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ</p>\r\n"
BIG_SIZE = 6000000
TRICKLE_PIECE = b"<p>trickle</p>\r\n"
GEN_FILLER = b"<p>Generated filler text for a page of a given size.</p>\r\n"


def repeated(unit, size):
    return (unit * (size // len(unit) + 1))[:size]


BIG = repeated(BIG_LINE, BIG_SIZE)
GZIPPED = gzip.compress(GZIP_PAGE, mtime=0)


def generated(size, path):
    head = b"<html><head><title>" + path.encode("latin-1", "replace") + b"</title></head><body>\r\n"
    tail = b"</body></html>\r\n"
    if size <= len(head) + len(tail):
        return repeated(head + tail, size)
    return head + repeated(GEN_FILLER, size - len(head) - len(tail)) + tail


HITS = {}  # request path with its query -> requests answered
HITS_LOCK = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go in separate writes

    def log_message(self, *args):
        pass

    def send_body(self, code, ctype, body, extra=()):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def drop(self, reset):
        self.close_connection = True
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def do_GET(self):
        url = urlsplit(self.path)
        path = url.path
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        if path == "/hits":
            with HITS_LOCK:
                n = HITS.get(query["path"], 0) if "path" in query else sum(HITS.values())
            return self.send_body(200, "text/plain", str(n).encode())
        with HITS_LOCK:
            HITS[self.path] = HITS.get(self.path, 0) + 1
        fixed = {
            "/page.html": ("text/html", PAGE),
            "/frames.html": ("text/html", FRAMES),
            "/localfile.html": ("text/html", LOCAL_FILE),
            "/robots.txt": ("text/plain", ROBOTS),
            "/picture.jpg": ("image/jpeg", PICTURE),
            "/big.html": ("text/html", BIG),
        }
        if path in fixed:
            ctype, body = fixed[path]
            return self.send_body(200, ctype, body)
        if path == "/gzip.html":
            return self.send_body(200, "text/html", GZIPPED, [("Content-Encoding", "gzip")])
        if path == "/echo":
            lines = [self.requestline] + ["%s: %s" % (k, v) for k, v in self.headers.items()]
            lines.append("Client: %s:%d" % self.client_address[:2])
            return self.send_body(200, "text/plain", "".join(l + "\r\n" for l in lines).encode("latin-1"))
        if path == "/cookie":
            return self.send_body(200, "text/html", b"cookie set", [("Set-Cookie", "visited=yes; Path=/")])
        if path == "/moved":
            host = self.headers.get("Host", "")
            return self.send_body(301, "text/html", b"moved", [("Location", "http://%s/page.html" % host)])
        if path == "/found":
            return self.send_body(302, "text/html", b"found", [("Location", "/page.html")])
        if path == "/to-file":
            return self.send_body(302, "text/html", b"found", [("Location", "file:///etc/passwd")])
        m = re.fullmatch(r"/status/([2-5][0-9][0-9])", path)
        if m:
            code = int(m.group(1))
            if code in (204, 304):
                self.send_response(code)
                self.end_headers()
                return None
            return self.send_body(code, "text/html", b"<html><body>status %d</body></html>" % code)
        m = re.fullmatch(r"/gen/([0-9]{1,6})\.html", path)
        if m:
            return self.send_body(200, "text/html", generated(int(m.group(1)) * 1024, self.path))
        if path == "/slow.html":
            time.sleep(float(query.get("delay", "3")))
            return self.send_body(200, "text/html", PAGE)
        if path == "/trickle.html":
            pieces = int(query.get("pieces", "10"))
            interval = float(query.get("interval", "300")) / 1000.0
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(pieces * len(TRICKLE_PIECE)))
            self.end_headers()
            self.wfile.flush()
            for _ in range(pieces):
                time.sleep(interval)
                self.wfile.write(TRICKLE_PIECE)
                self.wfile.flush()
            return None
        if path == "/trickle-head.html":
            lines = int(query.get("lines", "10"))
            interval = float(query.get("interval", "100")) / 1000.0
            self.wfile.write(b"HTTP/1.1 200 OK\r\n")
            self.wfile.flush()
            for byte in b"X-Trickle: t\r\n" * lines:
                time.sleep(interval)
                self.wfile.write(bytes([byte]))
                self.wfile.flush()
            self.wfile.write(b"Content-Type: text/html\r\nContent-Length: %d\r\n\r\n" % len(PAGE) + PAGE)
            return None
        if path == "/endless.html":
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            chunk = BIG_LINE * 1000
            try:
                while True:
                    self.wfile.write(chunk)
            except OSError:
                return None
        if path == "/partial.html":
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(BIG[:100])
            self.wfile.flush()
            return self.drop(reset=False)
        if path == "/close":
            return self.drop(reset=False)
        if path == "/reset":
            return self.drop(reset=True)
        if path == "/garbage":
            self.wfile.write(b"THIS IS NOT HTTP\r\n\r\n")
            self.wfile.flush()
            return self.drop(reset=False)
        return self.send_body(404, "text/html", b"<html><body>not found</body></html>")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256

    def handle_error(self, request, client_address):
        pass  # a client that went away mid-answer is normal here


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--addr", action="append", default=[])
    ap.add_argument("--tls-port", type=int, default=0)
    ap.add_argument("--dir", required=True, help="writes <dir>/ready once it listens")
    args = ap.parse_args()

    addresses = args.addr or ["0.0.0.0"]
    servers = [Server((addr, args.port), Handler) for addr in addresses]
    if args.tls_port:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_site_tls.pem"))
        for addr in addresses:
            s = Server((addr, args.tls_port), Handler)
            s.socket = context.wrap_socket(s.socket, server_side=True, do_handshake_on_connect=False)
            servers.append(s)
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    with open(os.path.join(args.dir, "ready"), "w") as f:
        f.write("ready\n")

    parent = os.getppid()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.2) and os.getppid() == parent:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
