#!/usr/bin/env python3
"""Checks of what the stand-in servers share that need neither a namespace nor
the programs: the order their connections are numbered in."""
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402


class Listener:
    """Hands out the given connections in order, then fails as a closed one does."""

    def __init__(self, conns):
        self.conns = list(conns)

    def accept(self):
        if not self.conns:
            raise OSError("closed")
        return self.conns.pop(0), None


class ServeInThreads(unittest.TestCase):
    def test_numbers_follow_the_arrival_when_the_first_serving_thread_is_late(self):
        pairs = [socket.socketpair() for _ in range(3)]
        counter = iter(range(1, 100))
        got = {}
        done = threading.Event()

        def serve(conn, n):
            with conn:
                data = conn.recv(16)
                if data == b"first":
                    time.sleep(0.3)  # a peer can close and open the next before this runs
                got[data] = n
                if len(got) == len(pairs):
                    done.set()

        for (ours, _), text in zip(pairs, [b"first", b"second", b"third"]):
            ours.sendall(text)
            ours.close()
        standin.serve_in_threads(Listener(theirs for _, theirs in pairs), serve, lambda conn: next(counter))
        self.assertTrue(done.wait(10))
        self.assertEqual(got, {b"first": 1, b"second": 2, b"third": 3})


if __name__ == "__main__":
    unittest.main()
