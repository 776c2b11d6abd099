#!/usr/bin/env python3
"""A small web server for the browser test, on raw sockets: the proxy sends it
absolute-URL request lines, and the test needs to see every byte it got.

Usage: scripted_origin.py PORT RECORD-DIR NGINX-PORT

Every request is kept as RECORD-DIR/NNNN.head (request line and header lines,
exactly as received) and RECORD-DIR/NNNN.body (the Content-Length bytes after it).
Each answer is followed by closing the connection.

  /chunked.html   an HTML page sent with Transfer-Encoding: chunked whose SCRIPT
                  body runs across several chunks
  /post           (POST) a small HTML page
  /temporary.gif  307 to nginx's /two.gif, without Content-Type or body
  /long           an HTML page telling how long the request target was
"""

import asyncio
import os
import sys

PORT = int(sys.argv[1])
RECORD_DIR = sys.argv[2]
NGINX_PORT = int(sys.argv[3])
# A peer that stops sending half-way is given up after this long, so a connection
# never outlives the test.
READ_TIMEOUT = 15
# Request heads this test sends run to a few hundred KiB (a long URL).
HEAD_LIMIT = 4 * 1024 * 1024

counter = 0

# The chunks of /chunked.html: the script's body runs over three of them, so their
# size lines fall inside it.
CHUNKS = [
    b"<html><head><title>chunked</title></head><body>\n"
    b"<p id=\"before\">before the script</p>\n<script>\ndocument.getElementById",
    b"('after').textContent",
    b" = 'script ran';\n</script>\n<p id=\"after\">after the script</p>\n",
    b"</body></html>\n",
]


def chunked(chunks):
    out = b""
    for chunk in chunks:
        out += b"%x\r\n" % len(chunk) + chunk + b"\r\n"
    return out + b"0\r\n\r\n"


def answer(status, headers, body=b""):
    head = b"HTTP/1.1 " + status + b"\r\n"
    for name, value in headers:
        head += name + b": " + value + b"\r\n"
    return head + b"Connection: close\r\n\r\n" + body


def html(body):
    page = b"<html><head><title>origin</title></head><body>" + body + b"</body></html>\n"
    return answer(b"200 OK", [(b"Content-Type", b"text/html"),
                              (b"Content-Length", b"%d" % len(page))], page)


def path_of(target):
    # An absolute URL's path, or the target itself when it is one already.
    if b"://" in target:
        rest = target.split(b"://", 1)[1]
        slash = rest.find(b"/")
        return rest[slash:] if slash >= 0 else b"/"
    return target


def respond(method, target):
    path = path_of(target)
    route = path.split(b"?", 1)[0]
    if route == b"/chunked.html":
        return answer(b"200 OK", [(b"Content-Type", b"text/html"),
                                  (b"Transfer-Encoding", b"chunked")], chunked(CHUNKS))
    if route == b"/post" and method == b"POST":
        return html(b"<p id=\"got\">form received</p>")
    if route == b"/temporary.gif":
        return answer(b"307 Temporary Redirect",
                      [(b"Location", b"http://127.0.0.1:%d/two.gif" % NGINX_PORT),
                       (b"Content-Length", b"0")])
    if route == b"/long":
        return html(b"<p id=\"long\">target %d</p>" % len(target))
    return answer(b"404 Not Found", [(b"Content-Type", b"text/plain"),
                                     (b"Content-Length", b"10")], b"not found\n")


async def serve(reader, writer):
    global counter
    counter += 1
    name = os.path.join(RECORD_DIR, "%04d" % counter)
    try:
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), READ_TIMEOUT)
        with open(name + ".head", "wb") as f:
            f.write(head)
        lines = head.split(b"\r\n")
        parts = lines[0].split(b" ")
        method, target = parts[0], parts[1] if len(parts) > 1 else b""
        length = 0
        for line in lines[1:]:
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":", 1)[1].strip() or b"0")
        body = await asyncio.wait_for(reader.readexactly(length), READ_TIMEOUT) if length else b""
        with open(name + ".body", "wb") as f:
            f.write(body)
        writer.write(respond(method, target))
        await writer.drain()
    except (asyncio.TimeoutError, asyncio.IncompleteReadError, asyncio.LimitOverrunError,
            ConnectionError, ValueError) as e:
        with open(name + ".error", "w") as f:
            f.write(repr(e) + "\n")
    finally:
        writer.close()


async def main():
    os.makedirs(RECORD_DIR, exist_ok=True)
    server = await asyncio.start_server(serve, "127.0.0.1", PORT, limit=HEAD_LIMIT)
    async with server:
        await server.serve_forever()


asyncio.run(main())
