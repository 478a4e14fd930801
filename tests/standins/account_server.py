#!/usr/bin/env python3
"""Stand-in account server for tests.

Listens on a TCP port (8080 unless told otherwise) of one address (127.0.0.1
unless told otherwise) and answers HTTP GETs, one request a connection. Meant
to run inside the tests' private network namespace.

Each request's head (the request line and the header lines as received, CR LF
ended, without the blank line) is recorded in the output directory as
request-<sequence>.bin; the file appears under that name only when it is
whole, and before the reply is sent. Writes "ready" in the output directory
once it listens. Stops on SIGTERM or SIGINT, and when the process that started
it has gone.

Replies: the n-th request gets the n-th --reply STEP (JSON, repeatable); once
they are used up every further request gets --then STEP (default: status 200
with the body "OK"). A step is an object with any of:
  "status": code      the status code (200)
  "reason": text      the reason phrase ("OK" for 200, else "Status")
  "body": text        the body, characters 0 to 255 standing for their bytes
  "headers": {k: v}   further header lines
  "close": true       record the request, then close without any answer
"""
import argparse
import itertools
import json
import os
import sys
import threading

import standin

HEAD_LIMIT = 64 * 1024


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < HEAD_LIMIT:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.split(b"\r\n\r\n", 1)[0]


def reply_bytes(step):
    status = step.get("status", 200)
    reason = step.get("reason", "OK" if status == 200 else "Status")
    body = step.get("body", "OK").encode("latin-1")
    lines = ["HTTP/1.1 %d %s" % (status, reason),
             "Content-Type: text/html",
             "Content-Length: %d" % len(body),
             "Connection: close"]
    lines += ["%s: %s" % kv for kv in step.get("headers", {}).items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--reply", action="append", default=[])
    ap.add_argument("--then", default='{"status": 200, "body": "OK"}')
    args = ap.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    steps = [json.loads(s) for s in args.reply]
    then = json.loads(args.then)
    sequence = itertools.count(1)
    lock = threading.Lock()

    def serve(conn):
        with conn:
            head = read_head(conn)
            with lock:
                n = next(sequence)
            step = steps[n - 1] if n <= len(steps) else then
            standin.write_record(os.path.join(args.dir, "request-%06d.bin" % n), head + b"\r\n")
            if step.get("close"):
                return
            try:
                conn.sendall(reply_bytes(step))
            except OSError:
                pass

    listener = standin.listen(args.addr, args.port)
    standin.serve_in_threads(listener, serve)

    parent = os.getppid()
    stop = threading.Event()

    def watch_parent():
        while not stop.wait(0.2):
            if os.getppid() != parent:
                stop.set()

    threading.Thread(target=watch_parent, daemon=True).start()
    standin.run_until_stopped(args.dir, [listener], stop)
    return 0


if __name__ == "__main__":
    sys.exit(main())
