"""A loopback HTTP/HTTPS server for the tests, on Python's standard library.

Serves files from a folder, or per-path routes with fault modes, and records
every request (method, path, headers) so a test can check what went over the
wire. Binds 127.0.0.1 only.

    server = start(port, root=DIR, cert=PEM, key=KEY)   # cert: HTTPS
    server.routes["/x"] = Route(status=404)
    server.requests  -> [Request(...), ...]
    stop(server)

As a program (for the demo): testserver.py --port P --root DIR [--cert C --key K]
"""
import argparse
import http.server
import os
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
    trickle: tuple = ()            # (bytes, seconds): send that much, then pause
    location: str = ""             # Location header, for redirects
    stall: float = 0.0             # seconds to wait before answering at all


@dataclass
class Request:
    method: str
    path: str
    headers: list = field(default_factory=list)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        srv = self.server
        with srv.lock:
            srv.requests.append(Request(self.command, self.path, list(self.headers.items())))
            route = srv.routes.get(self.path)
        if route is None:
            route = self._file_route()
        if route.stall:
            time.sleep(route.stall)
        try:
            self._answer(route)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    do_HEAD = do_GET
    do_POST = do_GET

    def _file_route(self):
        root = self.server.root
        name = self.path.split("?", 1)[0].lstrip("/")
        full = os.path.realpath(os.path.join(root or "/nonexistent", name))
        if root and full.startswith(os.path.realpath(root) + os.sep) and os.path.isfile(full):
            with open(full, "rb") as f:
                return Route(body=f.read())
        return Route(status=404, body=b"not found\n")

    def _answer(self, route):
        body = route.body
        self.send_response(route.status)
        if route.location:
            self.send_header("Location", route.location)
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif route.status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        if route.status in (204, 304) or self.command == "HEAD":
            return
        limit = len(body) if route.drop_after < 0 else route.drop_after
        step = route.trickle[0] if route.trickle else 1 << 20
        sent = 0
        while sent < limit:
            piece = body[sent:min(limit, sent + step)]
            if route.chunked:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            else:
                self.wfile.write(piece)
            sent += len(piece)
            if route.trickle:
                self.wfile.flush()
                time.sleep(route.trickle[1])
        if route.drop_after >= 0:
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
