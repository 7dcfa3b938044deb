#!/usr/bin/env python3
"""Loopback chat-completions server for the Windows transport test.

The last user message picks the behaviour: "silent" never answers, anything
else gets a short streamed answer. Writes the chosen port to the file named by
the first argument.
"""
import http.server
import json
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        body = json.loads(self.rfile.read(length))
        if body["messages"][-1].get("content") == "silent":
            time.sleep(60)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()

        def send(data):
            raw = data.encode()
            self.wfile.write(b"%x\r\n" % len(raw) + raw + b"\r\n")
            self.wfile.flush()

        agent = self.headers.get("User-Agent", "")
        for piece in ["Hel", "lo, ", "世界", " " + agent]:
            send("data: " + json.dumps({"id": "r1", "choices": [{"index": 0, "delta": {"content": piece}}]}) + "\n\n")
            time.sleep(0.02)
        send("data: [DONE]\n\n")
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(sys.argv[1], "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
