#!/usr/bin/env python3
"""An update server on loopback that fails on purpose, once, the way real
networks do; for the roads that a plain web server cannot show.

usage: serve.py ROOT LOG [--cut-once PATH=BYTES] [--missing-once PATH[,PATH...]] [--rate BYTES_PER_S]
Serves the files under ROOT with an ETag and byte ranges (Range, If-Range).
--cut-once: the first answer for PATH announces the whole length, sends
BYTES of the body and drops the connection. --missing-once: the first
request for each PATH gets 404. --rate: bodies are sent at about that speed.
Prints the port it listens on (127.0.0.1), then serves until killed; LOG
gets one line per request: "GET PATH range=... if-range=... -> STATUS".
"""
import http.server, os, sys, threading, time

args = sys.argv[1:]
ROOT, LOG = args[0], args[1]
opts = {args[i]: args[i + 1] for i in range(2, len(args) - 1, 2)}
cut_path, _, cut_bytes = opts.get("--cut-once", "=").partition("=")
missing = set(opts["--missing-once"].split(",")) if "--missing-once" in opts else set()
rate = int(opts.get("--rate", "0"))
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass

    def note(self, status):
        with lock, open(LOG, "a") as f:
            f.write("GET %s range=%s if-range=%s -> %d\n" % (self.path, self.headers.get("Range"),
                                                             self.headers.get("If-Range"), status))

    def answer(self, status, headers, body=b""):
        self.note(status)
        self.send_response(status)
        for name, value in headers + [("Content-Length", str(len(body)))]:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        global cut_path
        path = os.path.join(ROOT, self.path.lstrip("/"))
        with lock:
            gone = self.path in missing
            missing.discard(self.path)
        if gone or ".." in self.path or not os.path.isfile(path):
            return self.answer(404, [("Content-Type", "text/html")], b"<h1>404 Not Found</h1>")
        with open(path, "rb") as f:
            body = f.read()
        stat = os.stat(path)
        etag = '"%x-%x"' % (stat.st_size, int(stat.st_mtime))
        headers = [("ETag", etag), ("Accept-Ranges", "bytes"), ("Content-Type", "application/octet-stream")]
        start, status, wanted = 0, 200, self.headers.get("Range", "")
        if wanted.startswith("bytes=") and wanted.endswith("-") and self.headers.get("If-Range", etag) == etag:
            start = int(wanted[6:-1])
            if start >= len(body):
                return self.answer(416, [("Content-Range", "bytes */%d" % len(body))])
            status = 206
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body))))
        self.note(status)
        self.send_response(status)
        for name, value in headers + [("Content-Length", str(len(body) - start))]:
            self.send_header(name, value)
        self.end_headers()
        with lock:
            cut = int(cut_bytes) if self.path == cut_path else None
            if cut is not None:
                cut_path = None
        self.send_body(body[start:] if cut is None else body[start:start + cut])
        if cut is not None:
            self.close_connection = True

    def send_body(self, body):
        step = max(1, rate // 10) if rate else len(body) or 1
        for at in range(0, len(body), step):
            self.wfile.write(body[at:at + step])
            if rate:
                time.sleep(0.1)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
