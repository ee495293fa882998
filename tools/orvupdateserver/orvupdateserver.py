#!/usr/bin/env python3
"""A small development update server: serves a folder over HTTP on loopback.

It stands in for the real update server in scripts/run and in the tests.
Besides plain files it can log each request's headers, answer a file with an
error status, send a file slowly, or send half of it and then hold the
connection open, so that a client's progress and cancel can be watched.

Prints "orvupdateserver listening on PORT" once it accepts connections.
"""

import argparse
import http.server
import os
import sys
import threading
import time

STALL_LIMIT_S = 120  # a stalled answer gives up after this, client or not


def parse_pairs(values, convert):
    pairs = {}
    for value in values:
        name, sep, rest = value.partition("=")
        if not sep or not name:
            raise SystemExit(f"expected NAME=VALUE, got {value!r}")
        pairs[name] = convert(rest)
    return pairs


def make_handler(options, log_lock):
    root = os.path.realpath(options.root)
    statuses = parse_pairs(options.status, int)
    rates = parse_pairs(options.slow, int)
    stalled = set(options.stall)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "orvupdateserver"

        def log_message(self, format, *args):
            if not options.quiet:
                sys.stderr.write("%s\n" % (format % args))

        def record_headers(self):
            if not options.headers:
                return
            with log_lock, open(options.headers, "a", encoding="utf-8") as out:
                out.write(f"{self.command} {self.path}\n")
                for name, value in self.headers.items():
                    out.write(f"{name}: {value}\n")
                out.write("\n")

        def send_plain(self, status, text):
            body = text.encode()
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            self.record_headers()
            relative = self.path.split("?", 1)[0].lstrip("/")
            name = os.path.basename(relative)
            if name in statuses:
                self.send_plain(statuses[name], f"status {statuses[name]}\n")
                return
            path = os.path.realpath(os.path.join(root, relative))
            if not path.startswith(root + os.sep) or not os.path.isfile(path):
                self.send_plain(404, "not found\n")
                return
            with open(path, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if name in stalled:
                self.send_half_and_hold(body)
            elif name in rates:
                self.send_slowly(body, rates[name])
            else:
                self.wfile.write(body)

        def send_slowly(self, body, rate):
            piece = max(1, rate // 20)
            for start in range(0, len(body), piece):
                self.wfile.write(body[start:start + piece])
                self.wfile.flush()
                time.sleep(0.05)

        def send_half_and_hold(self, body):
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            # Until the client goes away: a read returns nothing once it has.
            self.connection.settimeout(STALL_LIMIT_S)
            try:
                self.connection.recv(1)
            except OSError:
                pass
            self.close_connection = True

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that leaves mid-answer (a cancelled download) is no error.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder served as /")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--headers", help="append each request's headers to this file")
    parser.add_argument("--status", action="append", default=[], metavar="NAME=CODE",
                        help="answer the file NAME with this status")
    parser.add_argument("--slow", action="append", default=[], metavar="NAME=BYTES_PER_S",
                        help="send the file NAME at about this rate")
    parser.add_argument("--stall", action="append", default=[], metavar="NAME",
                        help="send half of NAME, then hold until the client leaves")
    parser.add_argument("--quiet", action="store_true", help="no request log on stderr")
    options = parser.parse_args()

    server = Server(("127.0.0.1", options.port), make_handler(options, threading.Lock()))
    print(f"orvupdateserver listening on {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
