#!/usr/bin/env python3
"""Stand-in storage server for tests.

Listens on a TCP port (8080 unless told otherwise) of the given addresses (all
addresses when none is given, so every 127.0.0.x answers), reads each connection
until the peer closes it and records its bytes in the output directory as
<local address>-<sequence>.bin. A record appears under its final name only when
its connection has ended, so a reader never sees half of one. It sends nothing.
Sequences follow the order the connections were accepted in, and go on after
the records already in the directory, so a server started again on it keeps
what the one before received.

--reset N makes the first N connections end with a reset after their first
bytes (as a server that fails mid-upload would), without recording them.

--read-rate B makes every connection read B bytes a second, spread over the
second, through a small receive buffer, so a sender's writes soon wait on it.
--read-rate 0 reads nothing at all, as a server that hangs once connected,
until a file "drain" appears in the output directory; from then on it reads
as fast as the bytes come.

A connection its peer resets is not recorded: an empty <local address>-
<sequence>.reset stands in its place, so a test can tell a reset from an
orderly end.

When it listens on every address it writes "ready" in the output directory.
Stops on SIGTERM or SIGINT.
"""
import argparse
import itertools
import os
import socket
import struct
import sys
import threading
import time

import standin


def last_sequence(directory):
    last = 0
    for name in os.listdir(directory):
        number = name[:-len(".bin")].rpartition("-")[2]
        if name.endswith(".bin") and number.isdigit():
            last = max(last, int(number))
    return last


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--addr", action="append", default=[])
    ap.add_argument("--reset", type=int, default=0)
    ap.add_argument("--read-rate", type=int, default=-1)
    args = ap.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    sequence = itertools.count(last_sequence(args.dir) + 1)
    resets_left = [args.reset]
    lock = threading.Lock()

    def take_number(conn):
        with lock:
            n = next(sequence)
            reset = resets_left[0] > 0
            if reset:
                resets_left[0] -= 1
        return n, reset

    def serve(conn, taken):
        n, reset = taken
        with conn:
            local = conn.getsockname()[0]
            if reset:
                # Mid-upload, not at the connect: take the first bytes, then reset.
                conn.recv(65536)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            record = os.path.join(args.dir, "%s-%06d" % (local, n))
            if args.read_rate == 0:
                while not os.path.exists(os.path.join(args.dir, "drain")):
                    time.sleep(0.1)
            chunks = []
            began = time.monotonic()
            got = 0
            while True:
                want = 1 << 20
                if args.read_rate > 0:
                    # What the pace allows by now; a pause saves up at most a second's worth.
                    allowed = int(args.read_rate * (time.monotonic() - began))
                    got = max(got, allowed - args.read_rate)
                    want = min(allowed - got, want)
                    if want <= 0:
                        time.sleep(0.02)
                        continue
                try:
                    data = conn.recv(want)
                except ConnectionResetError:
                    standin.write_record(record + ".reset", b"")
                    return
                if not data:
                    break
                chunks.append(data)
                got += len(data)
            standin.write_record(record + ".bin", b"".join(chunks))

    listeners = [standin.listen(addr, args.port, rcvbuf=16384 if args.read_rate >= 0 else None)
                 for addr in args.addr or ["0.0.0.0"]]
    for s in listeners:
        standin.serve_in_threads(s, serve, take_number)
    standin.run_until_stopped(args.dir, listeners)
    return 0


if __name__ == "__main__":
    sys.exit(main())
