#!/usr/bin/env python3
"""A scripted origin for upload benchmarks: takes POST bodies of any size.

    python3 bench/upload_origin.py PORT

Listens on 127.0.0.1:PORT. A POST (any path) has its Content-Length body read in
pieces and hashed, never kept; the answer is "200 text/plain" with the body's
SHA-256 and its byte count ("<sha256> <bytes>\\n"), then the connection closes. A
request that asks for "100-continue" is told to go on first, as an HTTP/1.1 origin
does. A body cut short is answered 400 with what did arrive. Standard library only.
"""

import hashlib
import http.server
import sys

PIECE = 1024 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    # HTTP/1.1, so that "Expect: 100-continue" gets its interim answer; every answer
    # still closes its connection.
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            length = -1
        if length < 0:
            return self.answer(411, b"a Content-Length is needed\n")
        digest = hashlib.sha256()
        got = 0
        while got < length:
            piece = self.rfile.read(min(PIECE, length - got))
            if not piece:
                break
            digest.update(piece)
            got += len(piece)
        text = "%s %d\n" % (digest.hexdigest(), got)
        self.answer(200 if got == length else 400, text.encode())

    def do_GET(self):
        self.answer(200, b"upload origin: POST a body to have it hashed\n")

    def answer(self, status, body):
        self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        pass


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: upload_origin.py PORT")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
    server.daemon_threads = True
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
