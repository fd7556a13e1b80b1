#!/usr/bin/env python3
"""A local HTTP server for the download tests: prints its port and the port of the same
server over TLS (with a self-signed certificate made at start, which no client trusts;
0 when openssl can't make one), then serves until it is killed, its parent ends, or two
minutes pass.

  /ok            200 "hello body"
  /missing       404 with a small error page
  /empty         200, no bytes
  /crlf.txt      200 "a\\r\\nb"
  /to-ok         302 to /ok
  /to-file       302 to a file: URL
  /to-tls?port=P 302 to /ok on the TLS server at port P
  /big?n=N[&chunked=1]  200 with N bytes ('x'), with or without a length
  /drip          200, one byte every 20 ms for up to a minute
  /drip-state    "none", "open" or "closed": whether the last drip's client went away early
  /slow?ms=M&i=I 200 "slow I" after M milliseconds
  /slow-state    the most /slow requests that were in progress at once
  /hang/...      never answers; ends when the client goes away
  anything else  200 "cart <path>" padded with dots to 600 bytes
"""
import http.server
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

drip_state = "none"
slow_lock = threading.Lock()
slow_now = slow_most = 0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, body, headers=()):
        self.send_response(code)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        global drip_state, slow_now, slow_most
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        p = url.path
        if p == "/ok":
            self.reply(200, b"hello body")
        elif p == "/missing":
            self.reply(404, b"<h1>not here</h1>")
        elif p == "/empty":
            self.reply(200, b"")
        elif p == "/crlf.txt":
            self.reply(200, b"a\r\nb")
        elif p == "/to-ok":
            self.reply(302, b"", [("Location", "/ok")])
        elif p == "/to-tls":
            self.reply(302, b"", [("Location", "https://127.0.0.1:%s/ok" % query["port"][0])])
        elif p == "/to-file":
            self.reply(302, b"", [("Location", "file:///etc/hostname")])
        elif p == "/big":
            n = int(query["n"][0])
            if "chunked" in query:
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                left = n
                while left:
                    k = min(left, 65536)
                    self.wfile.write(b"%x\r\n" % k + b"x" * k + b"\r\n")
                    left -= k
                self.wfile.write(b"0\r\n\r\n")
            else:
                self.reply(200, b"x" * n)
        elif p == "/drip":
            drip_state = "open"
            self.send_response(200)
            self.send_header("Content-Length", "3000")
            self.end_headers()
            try:
                for _ in range(3000):
                    self.wfile.write(b"d")
                    self.wfile.flush()
                    time.sleep(0.02)
            except OSError:
                drip_state = "closed"
                self.close_connection = True
        elif p == "/drip-state":
            self.reply(200, drip_state.encode())
        elif p == "/slow":
            with slow_lock:
                slow_now += 1
                slow_most = max(slow_most, slow_now)
            time.sleep(int(query["ms"][0]) / 1000)
            with slow_lock:
                slow_now -= 1
            self.reply(200, ("slow " + query["i"][0]).encode())
        elif p == "/slow-state":
            self.reply(200, str(slow_most).encode())
        elif p.startswith("/hang/"):
            self.connection.settimeout(120)
            try:
                self.rfile.read(1)
            except OSError:
                pass
            self.close_connection = True
        else:
            self.reply(200, ("cart " + p).ljust(600, ".").encode())


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are part of the tests


def watch_parent(server, parent):
    deadline = time.monotonic() + 120
    while os.getppid() == parent and time.monotonic() < deadline:
        time.sleep(0.5)
    server.shutdown()


class TlsServer(Server):
    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread; one that fails ends only it.
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (OSError, ValueError):
            return
        super().finish_request(request, client_address)


def tls_server():
    folder = tempfile.mkdtemp()
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    try:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    except (OSError, subprocess.SubprocessError, ssl.SSLError):
        return None
    finally:
        for p in (cert, key):
            if os.path.exists(p):
                os.unlink(p)
        os.rmdir(folder)
    return TlsServer(("127.0.0.1", 0), Handler, context)


def main():
    server = Server(("127.0.0.1", 0), Handler)
    tls = tls_server()
    threading.Thread(target=watch_parent, args=(server, os.getppid()), daemon=True).start()
    if tls:
        threading.Thread(target=tls.serve_forever, daemon=True).start()
    ports = (server.server_address[1], tls.server_address[1] if tls else 0)
    os.write(1, b"%d %d\n" % ports)  # one write: the reader stops at the newline
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
