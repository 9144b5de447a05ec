#!/usr/bin/python3
"""A webhook receiver for the alert tests: records every request it gets as one
JSON line (method, path, headers, body) and answers as it is told.

  webhook_receiver.py --record FILE --port-file FILE [--tls CERT KEY]
                      [--status N] [--retry-after S] [--hold SECONDS]

--status: the status of every answer (default 200); --retry-after adds that
header; --hold keeps each request waiting that long before it is answered
(a slow target). The port it listens on (127.0.0.1, chosen by the system) is
written to --port-file once it listens.
"""
import argparse
import json
import os
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--status", type=int, default=200)
    parser.add_argument("--retry-after")
    parser.add_argument("--hold", type=float, default=0)
    options = parser.parse_args()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            length = min(int(self.headers.get("Content-Length", "0")), 1 << 20)
            body = self.rfile.read(length)
            try:
                text, utf8 = body.decode("utf-8"), True
            except UnicodeDecodeError:
                text, utf8 = body.decode("latin-1"), False
            record = {
                "method": self.command,
                "path": self.path,
                "headers": {k: v for k, v in self.headers.items()},
                "body": text,
                "utf8": utf8,
                "time": time.time(),
            }
            with LOCK, open(options.record, "a", encoding="utf-8") as out:
                out.write(json.dumps(record) + "\n")
            if options.hold > 0:
                time.sleep(options.hold)
            self.send_response(options.status)
            if options.retry_after is not None:
                self.send_header("Retry-After", options.retry_after)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls[0], options.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    temporary = options.port_file + ".new"
    with open(temporary, "w") as out:
        out.write(str(server.server_address[1]))
    os.rename(temporary, options.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
