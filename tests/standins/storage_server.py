#!/usr/bin/env python3
"""Stand-in storage server for tests.

Listens on a TCP port (8080 unless told otherwise) of the given addresses (all
addresses when none is given, so every 127.0.0.x answers), reads each connection
until the peer closes it and records its bytes in the output directory as
<local address>-<sequence>.bin. A record appears under its final name only when
its connection has ended, so a reader never sees half of one. It sends nothing.

--reset N makes the first N connections end at once with a reset (as a server
that fails mid-upload would), without recording them.

When it listens on every address it writes "ready" in the output directory.
Stops on SIGTERM or SIGINT.
"""
import argparse
import itertools
import os
import signal
import socket
import struct
import sys
import threading


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--addr", action="append", default=[])
    ap.add_argument("--reset", type=int, default=0)
    args = ap.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    sequence = itertools.count(1)
    resets_left = [args.reset]
    lock = threading.Lock()

    def serve(conn):
        with conn:
            local = conn.getsockname()[0]
            with lock:
                n = next(sequence)
                reset = resets_left[0] > 0
                if reset:
                    resets_left[0] -= 1
            if reset:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            chunks = []
            while True:
                data = conn.recv(1 << 20)
                if not data:
                    break
                chunks.append(data)
            name = os.path.join(args.dir, "%s-%06d.bin" % (local, n))
            with open(name + ".part", "wb") as f:
                f.write(b"".join(chunks))
            os.rename(name + ".part", name)

    def accept_loop(listener):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    listeners = []
    for addr in args.addr or ["0.0.0.0"]:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((addr, args.port))
        s.listen(128)
        listeners.append(s)
        threading.Thread(target=accept_loop, args=(s,), daemon=True).start()

    with open(os.path.join(args.dir, "ready"), "w") as f:
        f.write("ready\n")

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.2):
        pass
    for s in listeners:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
