"""A loopback HTTP/HTTPS server for the tests, on Python's standard library.

Serves files from a folder, or per-path routes with fault modes, as static
hosts and CDNs do: "Range: bytes=N-" is answered with 206 and Content-Range
(416 beyond the end), connections are kept alive. Records every request
(method, path, headers, body bytes sent, the connection, when it came and
when its answer ended) so a test can check what went over the wire. Binds
127.0.0.1 only. A whole host can be made slow as a lossy link makes it:
each connection capped at a rate, each answer a round trip late; and its
link can go for a while, cutting every answer under way.

    server = start(port, root=DIR, cert=PEM, key=KEY)   # cert: HTTPS
    server.routes["/x"] = Route(status=404)
    server.rate, server.delay = 500000, 0.08   # bytes/s per connection, s per answer
    server.lose_link = (1 << 20, 6)            # after 1 MiB of bodies, gone for 6 s
    server.requests  -> [Request(...), ...]
    stop(server)

As a program (for the demo): testserver.py --port P --root DIR [--cert C --key K]
"""
import argparse
import http.server
import os
import re
import socket
import ssl
import threading
import time
from dataclasses import dataclass, field


@dataclass
class Route:
    status: int = 200
    body: bytes = b""
    chunked: bool = False          # Transfer-Encoding: chunked instead of Content-Length
    drop_after: int = -1           # close the connection after this many body bytes
    drops: list = None             # or, one answer each: close after this many body bytes
    trickle: tuple = ()            # (bytes, seconds): send that much, then pause
    location: str = ""             # Location header, for redirects
    stall: float = 0.0             # seconds to wait before answering at all
    ranges: bool = True            # honour "Range: bytes=N-"; False: the whole body with 200
    range_shift: int = 0           # answer a Range from this many bytes later (negative: earlier)
    cut_at: int = -1               # once: close the connection at this offset of the whole body
    after_cut: bytes = None        # the body from the cut on (the file changed behind its URL)
    outage: float = 0.0            # after a cut or drop, requests in these seconds are closed unanswered
    down_until: float = 0.0        # (set by the server) the end of the outage under way
    busy: list = None              # one answer each before the body: (status, Retry-After or None)
    raw: bytes = None              # sent as the whole answer, status line and all (a broken host)
    answer: object = None          # POST: a function of the request's body that gives the answer's body
    content_type: str = "application/octet-stream"


@dataclass
class Request:
    method: str
    path: str
    headers: list = field(default_factory=list)
    sent: int = 0                  # body bytes written to the connection
    at: float = 0.0                # time.monotonic() when it arrived
    connection: int = 0            # the connection it came on, numbered from 1 as they were accepted
    done: float = 0.0              # time.monotonic() when its answer ended (0: never)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.lock:
            self.server.connections += 1
            self.number = self.server.connections

    def do_GET(self):
        srv = self.server
        record = Request(self.command, self.path, list(self.headers.items()), at=time.monotonic(),
                         connection=self.number)
        with srv.lock:
            srv.requests.append(record)
            route = srv.routes.get(self.path)
        if route is None:
            route = self._file_route()
        if srv.delay:
            time.sleep(srv.delay)
        if time.monotonic() < max(route.down_until, srv.down_until):
            # The link is gone: the connection ends with no answer.
            self.close_connection = True
            return
        if route.stall:
            time.sleep(route.stall)
        with srv.lock:
            busy = route.busy.pop(0) if route.busy else None
        if route.raw is not None:
            self.wfile.write(route.raw)
            self.close_connection = True
            return
        if busy is not None:
            # A CDN during a deployment, or under load: "not now".
            self.send_response(busy[0])
            if busy[1] is not None:
                self.send_header("Retry-After", busy[1])
            self.send_header("Content-Length", "4")
            self.end_headers()
            self.wfile.write(b"busy")
            record.sent = 4
            return
        if route.answer and self.command == "POST":
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            route = Route(body=route.answer(query), content_type=route.content_type)
        try:
            self._answer(route, record)
            record.done = time.monotonic()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    do_HEAD = do_GET
    do_POST = do_GET

    def _link_lost(self, sent):
        """Counts sent body bytes against lose_link: True once the link is
        gone (every answer under way is cut where it is)."""
        srv = self.server
        with srv.lock:
            srv.body_sent += sent
            if srv.lose_link and srv.body_sent >= srv.lose_link[0]:
                srv.down_until = time.monotonic() + srv.lose_link[1]
                srv.lose_link = None
            return time.monotonic() < srv.down_until

    def _file_route(self):
        root = self.server.root
        name = self.path.split("?", 1)[0].lstrip("/")
        full = os.path.realpath(os.path.join(root or "/nonexistent", name))
        if root and full.startswith(os.path.realpath(root) + os.sep) and os.path.isfile(full):
            with open(full, "rb") as f:
                return Route(body=f.read())
        return Route(status=404, body=b"not found\n")

    def _answer(self, route, record):
        body, status, start, headers = route.body, route.status, 0, []
        wanted = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "").strip())
        if wanted and route.ranges and status == 200:
            start = max(0, int(wanted.group(1)) + route.range_shift)
            if start >= len(body):
                status, headers = 416, [("Content-Range", "bytes */%d" % len(body))]
                body = b""
            else:
                status, headers = 206, [("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))]
                body = body[start:]
        with self.server.lock:
            drop = route.drops.pop(0) if route.drops else route.drop_after
        limit = len(body) if drop < 0 else min(len(body), drop)
        cut = drop >= 0
        with self.server.lock:
            if start < route.cut_at <= start + len(body):
                limit, cut = min(limit, route.cut_at - start), True
                route.cut_at = -1
                if route.after_cut is not None:
                    route.body = route.body[:start + limit] + route.after_cut[start + limit:]
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if route.location:
            self.send_header("Location", route.location)
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Type", route.content_type)
        self.end_headers()
        if status in (204, 304) or self.command == "HEAD":
            return
        srv = self.server
        step = route.trickle[0] if route.trickle else 1 << 20
        if srv.rate:
            step = min(step, 16384)
        sent, began = 0, time.monotonic()
        while sent < limit:
            piece = body[sent:min(limit, sent + step)]
            if route.chunked:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            else:
                self.wfile.write(piece)
            sent += len(piece)
            record.sent = sent
            if srv.rate:
                self.wfile.flush()
                time.sleep(max(0.0, began + sent / srv.rate - time.monotonic()))
            if self._link_lost(len(piece)):
                cut = True
                break
            # A pause between pieces, none after the last: the connection
            # is free for the next request once the body is out.
            if route.trickle and sent < limit:
                self.wfile.flush()
                time.sleep(route.trickle[1])
        if cut:
            if route.outage:
                route.down_until = time.monotonic() + route.outage
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return
        if route.chunked:
            self.wfile.write(b"0\r\n\r\n")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, addr = self.socket.accept()
        if self.tls is not None:
            # The handshake happens in the connection's own thread.
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        pass


def start(port, root=None, cert=None, key=None):
    server = _Server(("127.0.0.1", port), _Handler)
    server.tls = None
    if cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(cert, key)
    server.root = root
    server.routes = {}
    server.requests = []
    server.rate, server.delay, server.lose_link = 0, 0.0, None
    server.down_until, server.body_sent, server.connections = 0.0, 0, 0
    server.lock = threading.Lock()
    server.thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    server.thread.start()
    return server


def stop(server):
    server.shutdown()
    server.server_close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = start(args.port, args.root, args.cert, args.key)
    print("serving", args.root, "on port", args.port, flush=True)
    try:
        server.thread.join()
    except KeyboardInterrupt:
        stop(server)


if __name__ == "__main__":
    main()
