#!/usr/bin/env python3
"""Stand-in URL server for tests.

Listens on a TCP port (8080 unless told otherwise) of one address (127.0.0.1
unless told otherwise). For each connection it reads the request frame (2048
bytes, or what came before the client closed or went quiet for 10 seconds),
records it in the output directory as request-<sequence>.bin (the file appears
under that name only when it is whole), then answers with the next scripted
reply. When it listens it writes "ready" in the output directory. Stops on
SIGTERM or SIGINT.

Replies come from --script FILE (JSON: {"replies": [step, ...], "then": step})
and from --reply STEP (JSON, repeatable, after those of the script). The n-th
connection gets the n-th step; once they are used up, every further connection
gets "then", or a batch of --pages when those are given. Texts in steps stand
for their bytes (characters 0 to 255, as in the crawler's 8-bit character set).

A step is an object with any of:
  "xml": text           the reply XML
  "pages": [page, ...]  a reply XML with these pages in one crawlthis; a page is
                        {"url", "type" (crawl), "dato", "docid", "storage",
                        "thumb" (true/false)}; texts are entity-encoded
  "prefix": style       how the ten-character length prefix is written:
                        "zeros" (digits, then zero bytes; the default),
                        "leading_zeros", "blanks_before", "blanks_after",
                        or "raw:<ten characters>" written as they stand
  "announce": n         the total length the prefix announces (default: ten
                        plus the length of the XML)
  "truncate": n         send only the first n bytes of the XML
  "extra": text         bytes sent after the XML, not announced
  "filler": n           n bytes "x" sent after the XML, not announced
  "splits": [offset..]  cut the bytes sent (prefix included) at these offsets
  "chunk": n            or cut them into sends of n bytes
  "pause": seconds      pause between two sends
  "delay": seconds      pause before the first send
  "silent": true        send nothing at all
  "end": "close" | "hold" | "reset"
                        afterwards close (the default), keep the connection
                        until the client closes it, or end it with a reset
The default "then" is {"silent": true}: a connection is closed at once.

--pages FILE hands out the pages listed in FILE (one a line: the URL, then
optionally, separated by tabs, type, storage, docid, dato and thumb TRUE/FALSE)
in batches of --batch (500), each page going to --storage (127.0.0.2) unless
its line names one. When they are used up it answers with empty replies (a
crawlthis without pages), or, with --idle-sleep S, with a general error that
asks the crawler to sleep S seconds.
"""
import argparse
import itertools
import json
import os
import socket
import struct
import sys
import threading
import time
from xml.sax.saxutils import escape

import standin

FRAME_SIZE = 2048


def to_bytes(text):
    return text.encode("latin-1")


def entity(text):
    return escape(text, {"'": "&apos;", '"': "&quot;"})


def pages_xml(pages):
    parts = ["<?xml version=\"1.0\"?>\r\n<urlserver><crawlthis>"]
    for p in pages:
        kind = p.get("type", "crawl")
        parts.append("<%s>" % kind)
        parts.append("<url>%s</url>" % entity(p["url"]))
        for key, element in (("dato", "dato"), ("docid", "DocID"), ("storage", "storage")):
            if key in p:
                parts.append("<%s>%s</%s>" % (element, entity(p[key]), element))
        if "thumb" in p:
            parts.append("<MakeThumbnale>%s</MakeThumbnale>" % ("TRUE" if p["thumb"] else "FALSE"))
        parts.append("</%s>" % kind)
    parts.append("</crawlthis></urlserver>\r\n")
    return "".join(parts)


def prefix_bytes(style, total):
    digits = str(total)
    if style.startswith("raw:"):
        return to_bytes(style[4:])
    if style == "zeros":
        return to_bytes(digits) + b"\0" * (10 - len(digits))
    if style == "leading_zeros":
        return to_bytes(digits.rjust(10, "0"))
    if style == "blanks_before":
        return to_bytes(digits.rjust(10, " "))
    if style == "blanks_after":
        return to_bytes(digits.ljust(10, " "))
    raise ValueError("unknown prefix style " + style)


def reply_bytes(step):
    if "pages" in step:
        xml = to_bytes(pages_xml(step["pages"]))
    else:
        xml = to_bytes(step.get("xml", ""))
    total = step.get("announce", len(xml) + 10)
    data = prefix_bytes(step.get("prefix", "zeros"), total)
    body = xml[: step["truncate"]] if "truncate" in step else xml
    data += body + to_bytes(step.get("extra", "")) + b"x" * step.get("filler", 0)
    return data


def pieces(step, data):
    if "splits" in step:
        cuts = [0] + [c for c in step["splits"] if 0 < c < len(data)] + [len(data)]
        return [data[a:b] for a, b in zip(cuts, cuts[1:])]
    if "chunk" in step:
        n = max(1, step["chunk"])
        return [data[i : i + n] for i in range(0, len(data), n)]
    return [data]


class PageSource:
    """Hands out the pages of a file in batches, then idle replies."""

    def __init__(self, path, batch, storage, idle_sleep):
        self.pages = []
        with open(path, encoding="latin-1") as f:
            for line in f:
                fields = line.rstrip("\r\n").split("\t")
                if not fields[0]:
                    continue
                page = {"url": fields[0], "type": "crawl", "storage": storage, "docid": str(len(self.pages) + 1)}
                for key, value in zip(("type", "storage", "docid", "dato"), fields[1:5]):
                    if value:
                        page[key] = value
                if len(fields) > 5 and fields[5]:
                    page["thumb"] = fields[5].upper() == "TRUE"
                self.pages.append(page)
        self.batch = batch
        self.idle_sleep = idle_sleep
        self.next = 0
        self.lock = threading.Lock()

    def step(self):
        with self.lock:
            batch = self.pages[self.next : self.next + self.batch]
            self.next += len(batch)
        if batch:
            return {"pages": batch}
        if self.idle_sleep:
            return {
                "xml": "<urlserver><error><generalerror><comment>No more pages</comment>"
                "<sleep>%d</sleep></generalerror></error></urlserver>" % self.idle_sleep
            }
        return {"pages": []}


def read_frame(conn):
    conn.settimeout(10)
    data = b""
    try:
        while len(data) < FRAME_SIZE:
            part = conn.recv(FRAME_SIZE - len(data))
            if not part:
                break
            data += part
    except OSError:
        pass
    conn.settimeout(None)
    return data


def wait_for_client_close(conn, stop):
    conn.settimeout(0.2)
    while not stop.is_set():
        try:
            if not conn.recv(65536):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--script")
    ap.add_argument("--reply", action="append", default=[])
    ap.add_argument("--pages")
    ap.add_argument("--batch", type=int, default=500)
    ap.add_argument("--storage", default="127.0.0.2")
    ap.add_argument("--idle-sleep", type=int, default=0)
    args = ap.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    replies = []
    then = {"silent": True}
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            script = json.load(f)
        replies += script.get("replies", [])
        then = script.get("then", then)
    replies += [json.loads(r) for r in args.reply]
    source = PageSource(args.pages, args.batch, args.storage, args.idle_sleep) if args.pages else None

    sequence = itertools.count(1)
    lock = threading.Lock()
    stop = threading.Event()

    def next_step(n):
        if n <= len(replies):
            return replies[n - 1]
        return source.step() if source else then

    def serve(conn):
        with conn:
            with lock:
                n = next(sequence)
            frame = read_frame(conn)
            standin.write_record(os.path.join(args.dir, "request-%06d.bin" % n), frame)
            step = next_step(n)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                if not step.get("silent"):
                    time.sleep(step.get("delay", 0))
                    for i, piece in enumerate(pieces(step, reply_bytes(step))):
                        if i > 0:
                            time.sleep(step.get("pause", 0))
                        conn.sendall(piece)
                end = step.get("end", "close")
                if end == "hold":
                    wait_for_client_close(conn, stop)
                elif end == "reset":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass  # the client went away: nothing more to do

    listener = standin.listen(args.addr, args.port, 16)
    standin.serve_in_threads(listener, serve)
    standin.run_until_stopped(args.dir, [listener], stop)
    return 0


if __name__ == "__main__":
    sys.exit(main())
