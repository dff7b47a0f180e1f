# SPDX-License-Identifier: MIT
"""A static file server on 127.0.0.1 for the release tests: serves a folder, honours single
"Range: bytes=N-" requests (206), records every request, and can cut a response after a number of
bytes (the connection closes early) or serve a file with one byte flipped. Standard library only.

    server = RangeServer(folder); server.start(); ... server.url(name) ...; server.stop()
"""
import http.server
import os
import re
import threading


class RangeServer:
    def __init__(self, root):
        self.root = root
        self.requests = []  # (path, Range header or None)
        self.cut = {}  # name -> bytes to send before the connection is closed (once)
        self.corrupt = set()  # names served with one byte flipped
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                name = self.path.lstrip("/")
                header = self.headers.get("Range")
                server.requests.append((name, header))
                path = os.path.join(server.root, name)
                if "/" in name or not os.path.isfile(path):
                    self.send_error(404)
                    return
                with open(path, "rb") as f:
                    data = bytearray(f.read())
                if name in server.corrupt and data:
                    data[len(data) // 2] ^= 0xFF
                start = 0
                match = re.fullmatch(r"bytes=(\d+)-", header or "")
                if match:
                    start = int(match.group(1))
                    if start >= len(data):
                        self.send_error(416)
                        return
                    self.send_response(206)
                    self.send_header("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")
                else:
                    self.send_response(200)
                self.send_header("Content-Length", str(len(data) - start))
                self.send_header("Accept-Ranges", "bytes")
                self.end_headers()
                body = bytes(data[start:])
                limit = server.cut.pop(name, None)
                if limit is not None:
                    self.wfile.write(body[:limit])
                    self.wfile.flush()
                    self.close_connection = True
                    return
                self.wfile.write(body)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()

    def url(self, name):
        return f"http://127.0.0.1:{self.httpd.server_address[1]}/{name}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)
