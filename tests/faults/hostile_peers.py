#!/usr/bin/env python3
"""The whole program (Tovwatch -b, which starts Tovfetch with 10 download
threads) against a URL server whose replies cycle through hostile ones, with
ordinary batches between them, and batches that mix ordinary pages with pages
of hostile web routes.

The URL server's hostile replies: a length above 2 MiB announced, more than
2 MiB sent, more than 100000 XML nodes, length prefixes that are no number,
blank-padded or negative, replies cut short (then closed, held open or reset),
silence (closed at once or held open), a valid batch sent in small pieces with
pauses or after a delay, elements nested 200000 and 1001 deep, random bytes,
an entity bomb, page fields of 100000 characters (a storage address that
cannot name a side file among them), a sleep, a pop-up, an error without
content, an empty reply, more sent than announced, bytes after the XML.

The hostile pages: slow, trickling, endless, 6 MB, cut short, closed, reset,
not HTTP, silent past the read time-out of 120 s (in the first batch only),
redirected to file://, file:// URLs, a refused port, statuses from 204
to 599 and status lines of 3 to 10 digits, a header of 2 MB, pages with frames
or asking for a local file, and pages that ask for a thumbnail whose HTML is
hard for the layout engine (tables nested 300 to 20000 deep, a megabyte of
words, a megabyte without a break, 1 MB of paragraphs, 5 MB pages, 6 MB of
random bytes that do not compress). The
routes web_site.py has not are served by this script on 127.0.0.4:80.

Holds when, sampled every half second while it runs for 120 s:
- one crawler runs, always with the same pid (no crash, no restart), the
  monitor never logs its restart line, and entries keep being queued: the
  longest stretch without a new entry stays below the monitor's own limit of
  240 heartbeat-less seconds (each page the crawler queues is reported to the
  monitor, which is its heartbeat while two or more threads run);
- the crawler's resident memory stays under 64 MiB + 10 threads x 7 copies of
  a page of 5242880 + 64 KiB bytes + 64 MiB for a refused URL-server reply
  (about 480 MiB), and each render helper Tovthumb under 512 MiB; peaks (VmHWM)
  included (with programs built with AddressSanitizer the figures are only
  reported);
- every page of every batch handed out is queued or delivered (failures
  included), the silent one with the read time-out's status 604;
- after SIGTERM to the monitor (which exits 0 at once) the crawler ends within
  its shut-down's three waits of 20 s (plus 15 s), with exit code 0 (it is
  orphaned by the monitor, so this process, the namespace's first, reaps it),
  and leaves no render helper behind;
- every entry in the queue files and in the uploads is whole, decompresses,
  and holds at most 5242880 bytes of page; every upload is complete; every
  page of the batches handed out is queued, delivered or saved in
  SideFile.dat, but for at most one page per download thread when the
  shut-down gave up on its threads after 20 s;
- no core file; no error-log line that tells of a dead download thread, a
  thumbnail failure that stops the crawler, a lost page queue, a lost entry or
  a failing link; error-log lines only of the kinds the hostile peers cause,
  and no more of them than the hostile replies and pages served.

Bound: about 3 minutes (120 s of crawl, at most 90 s to drain the batches,
at most 75 s of shut-down).

  tests/faults/hostile_peers.py [--seconds N]     (120 by default)
"""
import glob
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from urllib.parse import parse_qs, urlsplit

import faultlib
from faultlib import check, wait_until

THREADS = 10
MAX_PAGE = 5242880
BODY_CAP = MAX_PAGE + 64 * 1024
MAX_REPLY = 2097152
MIB = 1024 * 1024
# The program (Qt, libcurl, the engine: 35 MiB measured) + per thread 7 pages
# of the HTTP client's cap (the transfer buffer and the block it grew from,
# the cleaner's copy and its result, the work file read back, the compressed
# page and the entry made of it; 5.5 measured) + the largest URL-server reply
# and its tree.
CRAWLER_RSS_BOUND_KB = (64 * MIB + THREADS * 7 * BODY_CAP + 64 * MIB) // 1024
# What a render helper may allocate (its own limit on data).
HELPER_RSS_BOUND_KB = 512 * 1024
# The shut-down's three waits of 20 s, and some slack.
SHUTDOWN_BOUND_S = 3 * 20 + 15
# An exchange ends within 52 + 201 polls of 100 ms and a pause of 1 s (26.4 s);
# twice that with slack tells a hang from a loaded machine.
EXCHANGE_BOUND_S = 60
RESTART_LINE = "FailedCrawlerSjeks, cralwer is not responding. Restarting"
HOSTILE_SITE = "127.0.0.4"
SITE = "http://%s:80" % faultlib.SITE
HSITE = "http://%s:80" % HOSTILE_SITE
# Answers after the crawler's read time-out of 120 s, so its entry says
# STATUS_READ_TIMEOUT.
NEVER_ANSWERS = "%s/slow.html?delay=600&p=never" % SITE

# Error-log lines that must never appear, by their start.
FORBIDDEN = [
    "Download thread ",           # a download thread ended by an exception
    "HoltError",                  # a fatal stop of the crawler
    "Can`t create thumbnails",
    "NotifyMonitor:",             # the link failed
    "IPCSignal kind",
    "Cant save SideFile.dat",
    "cant queue ",
    "cant write to SideFileQueue",
    "Error: not Exception",
    "Heartbeat whose thread count",
    "Feil i finaly",
    RESTART_LINE,
]

# Error-log lines of the start and the stop.
ROUTINE = ["Tovwatch Startet", "No notification area", "Tovfetch Starting at ", "Tovfetch Startet", "ukjent flag",
           "Askt to exit", "ResivingInProgres whiled exit", "SendingInProgres whiled exit"]
REFUSED = "URL server reply refused: "
NOT_QUEUED = re.compile(r'Entry for .* not queued: storage address ".*" cannot name a side file$')


def names_no_side_file(storage):
    """The crawler's rule for a storage address, after its cut to 20
    characters."""
    storage = storage[:20]
    return not storage or storage[0] == "." or re.search(r"[^A-Za-z0-9.:-]", storage) is not None


# ---- the routes web_site.py has not ----

def nested_tables(depth, tag):
    if tag == "table":
        return (b"<html><body>" + b"<table><tr><td>" * depth + b"deep" + b"</td></tr></table>" * depth +
                b"</body></html>")
    return (b"<html><body>" + b"<%s>" % tag.encode() * depth + b"deep" + b"</%s>" % tag.encode() * depth +
            b"</body></html>")


def words(kb):
    unit = b"lorem ipsum dolor sit amet consectetur "
    body = (unit * (kb * 1024 // len(unit) + 1))[:kb * 1024]
    return b"<html><body><p>" + body + b"</p></body></html>"


def wall(kb):
    return b"<html><body><p>" + b"W" * (kb * 1024) + b"</p></body></html>"


NOISE = random.Random(7).randbytes(6000000)


def hostile_answer(path, query):
    """The raw bytes answered for a request; None for a 404."""
    def page(body, status="200 OK", extra=b""):
        return (b"HTTP/1.1 " + status.encode() + b"\r\nContent-Type: text/html\r\nConnection: close\r\n" + extra +
                b"Content-Length: %d\r\n\r\n" % len(body) + body)

    if path == "/nested.html":
        return page(nested_tables(int(query.get("depth", "1000")), query.get("tag", "table")))
    if path == "/words.html":
        return page(words(int(query.get("kb", "1024"))))
    if path == "/wall.html":
        return page(wall(int(query.get("kb", "1024"))))
    if path.startswith("/rawstatus/"):
        return page(b"<html><body>odd status</body></html>", path[len("/rawstatus/"):] + " Odd")
    if path == "/noise.html":
        return page(NOISE)
    if path == "/bigheader":
        return page(b"<html></html>", extra=b"X-Filler: " + b"h" * (2 * 1024 * 1024) + b"\r\n")
    return None


class HostileSite:
    """A small HTTP/1.0-style server (one request per connection) for the
    routes above, on its own threads in this process."""

    def __init__(self, addr):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((addr, 80))
        self.listener.listen(64)
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    @staticmethod
    def serve(conn):
        with conn:
            conn.settimeout(30)
            data = b""
            try:
                while b"\r\n\r\n" not in data and len(data) < 65536:
                    part = conn.recv(4096)
                    if not part:
                        return
                    data += part
                target = data.split(b"\r\n", 1)[0].split(b" ")[1].decode("latin-1")
                url = urlsplit(target)
                answer = hostile_answer(url.path, {k: v[-1] for k, v in parse_qs(url.query).items()})
                if answer is None:
                    answer = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                conn.sendall(answer)
            except (OSError, IndexError):
                pass

    def close(self):
        self.listener.close()


# ---- what the URL server hands out ----

def page(url, thumb=False, kind="crawl", storage=faultlib.STORAGE, docid="1"):
    return {"url": url, "type": kind, "storage": storage, "docid": docid, "dato": "20041001", "thumb": thumb}


def hostile_pages(n):
    """The hostile web pages, each URL made unique by ?p=<n>."""
    q = "p=h%d" % n
    return [
        page("%s/slow.html?delay=5&%s" % (SITE, q), True),
        page("%s/trickle.html?pieces=10&interval=500&%s" % (SITE, q), True),
        page("%s/endless.html?%s" % (SITE, q), True),
        page("%s/big.html?%s" % (SITE, q), True),
        page("%s/partial.html?%s" % (SITE, q), True),
        page("%s/close?%s" % (SITE, q)),
        page("%s/reset?%s" % (SITE, q)),
        page("%s/garbage?%s" % (SITE, q)),
        page("%s/to-file?%s" % (SITE, q)),
        page("file:///etc/passwd?%s" % q, True),
        page("http://%s:81/refused?%s" % (faultlib.SITE, q)),
        page("%s/localfile.html?%s" % (SITE, q), True),
        page("%s/frames.html?%s" % (SITE, q), True),
        page("%s/status/599?%s" % (SITE, q)),
        page("%s/status/204?%s" % (SITE, q), True),
        page("%s/status/301?%s" % (SITE, q)),
        page("%s/moved?%s" % (SITE, q)),
        page("%s/gen/1024.html?%s" % (SITE, q), True),
        page("%s/robots.txt?%s" % (SITE, q), kind="robottxt"),
        page("%s/page.html?%s" % (SITE, q), True, kind="averyveryLongPageType"),
        page("%s/rawstatus/999?%s" % (HSITE, q)),
        page("%s/rawstatus/99999?%s" % (HSITE, q)),
        page("%s/rawstatus/4294967297?%s" % (HSITE, q)),
        page("%s/rawstatus/000?%s" % (HSITE, q)),
        page("%s/bigheader?%s" % (HSITE, q)),
        page("%s/nested.html?depth=20000&%s" % (HSITE, q), True),
        page("%s/nested.html?depth=1000&%s" % (HSITE, q), True),
        page("%s/nested.html?depth=300&%s" % (HSITE, q), True),
        page("%s/nested.html?depth=20000&tag=div&%s" % (HSITE, q), True),
        page("%s/words.html?kb=1024&%s" % (HSITE, q), True),
        page("%s/wall.html?kb=1024&%s" % (HSITE, q), True),
        page("%s/noise.html?%s" % (HSITE, q), True),
    ]


def ordinary_pages(first, count):
    return [page("%s/gen/2.html?p=%d" % (SITE, i), thumb=(i % 5 == 0)) for i in range(first, first + count)]


def garbage(size, rng):
    return "".join(chr(rng.randrange(256)) for _ in range(size))


def entity_bomb():
    lines = ['<!ENTITY lol0 "lol">']
    for i in range(1, 10):
        lines.append('<!ENTITY lol%d "%s">' % (i, ("&lol%d;" % (i - 1)) * 10))
    return ('<?xml version="1.0"?>\r\n<!DOCTYPE urlserver [' + "".join(lines) + ']>\r\n'
            '<urlserver><crawlthis><crawl><url>&lol9;</url><storage>&lol9;</storage></crawl></crawlthis>'
            '</urlserver>\r\n')


def hostile_replies(rng, serial):
    """The hostile replies of one cycle. Pages in them get URLs of their own
    (?p=u<n>); none of them has to arrive."""
    def pages(n):
        return [page("%s/gen/2.html?p=u%d-%d" % (SITE, serial, i)) for i in range(n)]

    flood_first = 10 + MAX_REPLY - 5000
    huge = "x" * 100000
    return [
        {"xml": "<urlserver/>", "announce": 99999999, "end": "hold"},
        {"xml": "", "announce": MAX_REPLY + 10, "filler": MAX_REPLY + 848, "splits": [flood_first], "pause": 0.3,
         "end": "hold"},
        {"xml": "<urlserver><crawlthis>" + "<a/>" * 100001 + "</crawlthis></urlserver>"},
        {"pages": pages(3), "prefix": "blanks_after"},
        {"pages": pages(3), "prefix": "raw:abcdefghij"},
        {"pages": pages(3), "prefix": "raw:-000000005"},
        {"pages": pages(3), "prefix": "raw:9999999999"},
        {"pages": pages(3), "truncate": 100},
        {"pages": pages(3), "truncate": 100, "end": "hold"},
        {"pages": pages(3), "truncate": 100, "end": "reset"},
        {"silent": True, "end": "hold"},
        {"silent": True},
        {"silent": True, "end": "reset"},
        {"xml": "<urlserver>" + "<a>" * 200000},
        {"xml": "<urlserver><crawlthis>" + "<crawl>" * 1001 + "</crawl>" * 1001 + "</crawlthis></urlserver>"},
        {"xml": garbage(200000, rng)},
        {"xml": "<urlserver>" + garbage(5000, rng) + "</urlserver>"},
        {"xml": entity_bomb()},
        {"pages": [page("%s/gen/2.html?p=v%d&%s" % (SITE, serial, huge), kind="crawl" + huge,
                        docid="1" * 100000),
                   page("%s/gen/2.html?p=w%d" % (SITE, serial), storage="127.0.0.3 " + huge),
                   page("%s/gen/2.html?p=z%d" % (SITE, serial), storage="../" + huge)]},
        {"xml": "<urlserver><error><generalerror><comment>busy</comment><sleep>2</sleep></generalerror></error>"
                "</urlserver>"},
        {"xml": "<urlserver><error><popuperror><title>t</title><comment>Please update</comment></popuperror>"
                "</error></urlserver>"},
        {"xml": "<urlserver><error></error></urlserver>"},
        {"xml": ""},
        {"pages": pages(3), "announce": 20},
        {"pages": pages(3), "extra": "<<<garbage" + garbage(100, rng)},
        {"pages": pages(3), "filler": 1000},
    ]


def build_script(rng, cycles, batch_size):
    """Replies: hostile ones, each followed by an ordinary batch. A batch is
    batch_size ordinary pages and, in every second batch, the hostile pages."""
    steps = []
    first = 0
    for cycle in range(cycles):
        hostile = hostile_replies(rng, cycle)
        rng.shuffle(hostile)
        for i, reply in enumerate(hostile):
            steps.append({"kind": "hostile", "step": reply})
            batch = ordinary_pages(first, batch_size)
            first += batch_size
            if i % 2 == 0:
                batch += hostile_pages(cycle * 100 + i)
                rng.shuffle(batch)
            if cycle == 0 and i == 0:
                batch.append(page(NEVER_ANSWERS))
            # Valid batches also come in pieces with pauses, or late.
            shape = {}
            if i % 5 == 1:
                shape = {"chunk": 997, "pause": 0.05}
            elif i % 5 == 3:
                shape = {"delay": 2}
            steps.append({"kind": "batch", "step": dict({"pages": batch}, **shape)})
    return steps


def write_script(work, steps):
    path = os.path.join(work, "url-script.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"replies": [s["step"] for s in steps],
                   "then": {"xml": "<urlserver><error><generalerror><comment>No more pages</comment>"
                                   "<sleep>5</sleep></generalerror></error></urlserver>"}}, f)
    return path


# ---- observing ----

def status_kb(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Entries:
    """URLs queued or delivered so far; uploads are read once they are
    complete."""

    def __init__(self, world):
        self.w = world
        self.delivered = {}  # upload file -> entries

    def uploads(self):
        for path in sorted(glob.glob(os.path.join(self.w.storage_dir(), "*.bin"))):
            name = os.path.basename(path)
            if name in self.delivered:
                continue
            complete, found = upload_of(path)
            if complete:
                self.delivered[name] = found
        return self.delivered

    def urls(self):
        seen = set()
        for entries in self.uploads().values():
            seen.update(e["url"] for e in entries)
        for entries, _ in self.w.queue_files().values():
            seen.update(e["url"] for e in entries)
        return seen


def sanitized():
    """Whether the programs are an AddressSanitizer build, whose shadow
    memory and quarantine no bound of a release build fits."""
    with open(os.path.join(faultlib.bin_dir(), "Tovfetch"), "rb") as f:
        return b"__asan_init" in f.read()


def parent_of(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
        return int(stat[stat.rfind(")") + 2:].split()[1])
    except (OSError, ValueError, IndexError):
        return 0


def other_crawlers(world, crawler):
    """Tovfetch processes besides crawler; a child of the crawler that has not
    yet become the render helper it is starting does not count."""
    return [p for p in world.crawlers() if p != crawler and parent_of(p) != crawler]


def crawler_runs(world, crawler):
    return crawler in world.crawlers() and not other_crawlers(world, crawler)


def upload_of(path):
    """(complete, entries) of one upload the storage stand-in recorded."""
    sf = faultlib.sidefiles
    data = sf.read(path)
    total = data[:8].decode("latin-1").strip()
    found, whole = sf.decode_entries(data[sf.UPLOAD_HEADER:])
    return total.isdigit() and int(total) == len(data) and whole == len(data) - sf.UPLOAD_HEADER, found


def saved_urls(work):
    """URLs of SideFile.dat, the page queue saved at the stop: records of 263
    bytes, each beginning with the URL as a short string of 201."""
    path = os.path.join(work, "SideFile.dat")
    data = faultlib.sidefiles.read(path) if os.path.exists(path) else b""
    check(len(data) % 263 == 0, "SideFile.dat is %d bytes, no whole number of records" % len(data))
    return {data[i + 1:i + 1 + data[i]].decode("latin-1") for i in range(0, len(data), 263)}


def requests(world):
    return sorted(glob.glob(os.path.join(world.work, "url-server", "request-*.bin")))


def served(world):
    return len(requests(world))


def longest_exchange(world):
    """The longest time between two requests to the URL server."""
    times = [os.path.getmtime(path) for path in requests(world)]
    return max((b - a for a, b in zip(times, times[1:])), default=0.0)


def core_files(work):
    found = []
    for path in glob.glob(os.path.join(work, "core*")):
        with open(path, "rb") as f:
            head = f.read(1 << 16)
        program = next((n for n in ("Tovfetch", "Tovthumb", "Tovwatch") if n.encode() in head), "?")
        found.append("%s (%s)" % (os.path.basename(path), program))
    return found


def reap_crawler(pid, deadline):
    """The crawler's exit code once it ends (this process adopts it when the
    monitor has gone); None when it runs on past the deadline; -1 when someone
    else reaped it."""
    while time.monotonic() < deadline:
        try:
            got, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            if pid in faultlib.process_ids_all():
                time.sleep(0.05)  # not ours yet: the monitor is still leaving
                continue
            return -1
        if got == pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.1)
    return None


def run():
    seconds = int(sys.argv[sys.argv.index("--seconds") + 1]) if "--seconds" in sys.argv else 120
    rng = random.Random(random.random())
    # A crash anywhere below leaves a core file in the work directory.
    _, hard = resource.getrlimit(resource.RLIMIT_CORE)
    resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))

    bounded = not sanitized()
    w = faultlib.World("hostile", crawl_when_idle=THREADS)
    hsite = None
    held = False
    try:
        steps = build_script(rng, cycles=6, batch_size=40)
        w.start_site()
        w.start_storage()
        hsite = HostileSite(HOSTILE_SITE)
        w.start_url_server(args=["--script", write_script(w.work, steps)])
        monitor = w.start_monitor()
        check(wait_until(lambda: [p for p in w.crawlers() if parent_of(p) == monitor.pid], 30),
              "the monitor did not start the crawler")
        crawler = [p for p in w.crawlers() if parent_of(p) == monitor.pid][0]
        entries = Entries(w)

        started = time.monotonic()
        last_growth = started
        longest_gap = 0.0
        count = 0
        peak = {"crawler": 0, "helper": 0, "helpers": 0}
        helpers_seen = set()
        next_full = 0.0
        while time.monotonic() - started < seconds:
            now = time.monotonic()
            for pid in faultlib.process_ids("Tovthumb"):
                helpers_seen.add(pid)
                kb = max(faultlib.rss_kb(pid), status_kb(pid, "VmHWM"))
                peak["helper"] = max(peak["helper"], kb)
                check(not bounded or kb < HELPER_RSS_BOUND_KB, "render helper %d holds %d KiB" % (pid, kb))
            peak["helpers"] = max(peak["helpers"], len(faultlib.process_ids("Tovthumb")))
            kb = max(faultlib.rss_kb(crawler), status_kb(crawler, "VmHWM"))
            peak["crawler"] = max(peak["crawler"], kb)
            check(not bounded or kb < CRAWLER_RSS_BOUND_KB,
                  "the crawler holds %d KiB (bound %d)" % (kb, CRAWLER_RSS_BOUND_KB))
            if now >= next_full:
                next_full = now + 1.0
                check(crawler_runs(w, crawler), "crawler %d is gone: %s run now" % (crawler, w.crawlers()))
                check(monitor.poll() is None, "the monitor ended with %s" % monitor.poll())
                check(w.log_count(RESTART_LINE) == 0, "the monitor restarted the crawler")
                check(not core_files(w.work), "core files: %s" % core_files(w.work))
                n = len(entries.urls())
                if n > count:
                    count = n
                    last_growth = now
                longest_gap = max(longest_gap, now - last_growth)
                check(now - last_growth < 240, "no entry queued for 240 s: the monitor would restart the crawler")
            time.sleep(0.5)

        # Every page of every batch handed out reaches a queue file (or the
        # storage server) before the stop; the last reply may still be on its way.
        n_served = served(w)
        wanted = set()
        for step in steps[:max(0, n_served - 1)]:
            if step["kind"] == "batch":
                wanted.update(p["url"] for p in step["step"]["pages"])
        # The silent page of the first batch takes the read time-out of 120 s.
        check(wait_until(lambda: wanted <= entries.urls(), max(90, 135 - seconds), step=1),
              "%d pages of the batches handed out were never queued: %s"
              % (len(wanted - entries.urls()), sorted(wanted - entries.urls())[:5]))
        check(crawler_runs(w, crawler), "crawler %d is gone: %s run now" % (crawler, w.crawlers()))
        check(peak["helpers"] > 0, "no render helper ran")
        exchange = longest_exchange(w)
        check(exchange < EXCHANGE_BOUND_S, "an exchange with the URL server took %.0f s" % exchange)

        # The orderly stop: the monitor tells the crawler and leaves at once.
        stop_at = time.monotonic()
        monitor.send_signal(signal.SIGTERM)
        try:
            monitor_code = monitor.wait(30)
        except subprocess.TimeoutExpired:
            monitor_code = None
        check(monitor_code == 0, "the monitor did not exit 0 on SIGTERM: %s" % monitor_code)
        code = reap_crawler(crawler, stop_at + SHUTDOWN_BOUND_S)
        took = time.monotonic() - stop_at
        check(code is not None, "the crawler still runs %d s after the stop" % SHUTDOWN_BOUND_S)
        check(code != -1, "the crawler's exit code was taken by the monitor")
        check(code == 0, "the crawler exited with %s" % code)
        check(wait_until(lambda: not faultlib.process_ids("Tovthumb"), 10),
              "render helpers outlived the crawler: %s" % faultlib.process_ids("Tovthumb"))

        # What it left. A page of a batch is queued, delivered or saved with the
        # page queue, but for those in the hands of download threads that the
        # shut-down gave up waiting for after its 20 s.
        queued = w.queue_files()
        for name, (found, tail) in queued.items():
            check(tail == 0, "queue file %s ends in %d bytes that are no whole entry" % (name, tail))
        uploads = w.uploads()
        check(all(up["complete"] for up in uploads),
              "uploads cut short: %s" % [up["file"] for up in uploads if not up["complete"]])
        every = [e for found, _ in queued.values() for e in found] + [e for up in uploads for e in up["entries"]]
        bad = [e["url"] for e in every if faultlib.sidefiles.page_text(e) is None]
        check(not bad, "entries whose page does not decompress: %s" % bad[:5])
        big = [e["url"] for e in every if len(faultlib.sidefiles.page_text(e)) > MAX_PAGE]
        check(not big, "entries holding more than %d bytes of page: %s" % (MAX_PAGE, big[:5]))
        handed_out = {p["url"] for step in steps[:max(0, served(w) - 1)] if step["kind"] == "batch"
                      for p in step["step"]["pages"]}
        lost = handed_out - {e["url"] for e in every} - saved_urls(w.work)
        check(len(lost) <= (THREADS if took >= 20 else 0),
              "%d pages handed out were lost at a shut-down of %.0f s: %s" % (len(lost), took, sorted(lost)[:5]))
        check([e["status"] for e in every if e["url"] == NEVER_ANSWERS] == [faultlib.sidefiles.STATUS_READ_TIMEOUT],
              "the page that never answers was not ended by the read time-out once")
        check(not core_files(w.work), "core files: %s" % core_files(w.work))
        check(not os.path.exists(os.path.join(w.work, "x" * 17)), "a storage address wrote outside sqtemp")
        log = w.log()
        forbidden = [line for line in log if any(line.startswith(f) for f in FORBIDDEN)]
        check(not forbidden, "error-log lines that must not appear: %s" % forbidden[:5])
        # The hostile peers cause one line per refused reply and per page
        # whose storage address names no side file, no more.
        hostile_served = [s["step"] for s in steps[:served(w)] if s["kind"] == "hostile"]
        bad_storage = sum(1 for r in hostile_served for p in r.get("pages", []) if names_no_side_file(p["storage"]))
        bad_storage += sum(1 for r in hostile_served if "&lol9;</storage>" in r.get("xml", ""))
        refused = sum(1 for line in log if line.startswith(REFUSED))
        not_queued = sum(1 for line in log if NOT_QUEUED.match(line))
        check(refused <= len(hostile_served), "%d refusals for %d hostile replies" % (refused, len(hostile_served)))
        check(not_queued <= bad_storage, "%d entries not queued for %d bad storage addresses"
              % (not_queued, bad_storage))
        other = [line for line in log if not line.startswith(REFUSED) and not NOT_QUEUED.match(line)
                 and not any(line.startswith(r) for r in ROUTINE)]
        check(not other, "unexpected error-log lines: %s" % other[:5])
        statuses = {}
        for e in every:
            statuses[e["status"]] = statuses.get(e["status"], 0) + 1
        print("%d replies served (%d hostile); %d entries (%d delivered in %d uploads), statuses %s; "
              "longest exchange %.0f s, longest stretch without a new entry %.0f s; peak RSS: crawler %d KiB "
              "(bound %d), render helper %d KiB (bound %d), %d helpers at once, %d in all; shut-down %.1f s%s, "
              "exit code %d, %d pages saved, %d lost; %d error-log lines"
              % (served(w), len(hostile_served), len(every), sum(len(up["entries"]) for up in uploads), len(uploads),
                 dict(sorted(statuses.items())), exchange, longest_gap, peak["crawler"], CRAWLER_RSS_BOUND_KB,
                 peak["helper"], HELPER_RSS_BOUND_KB, peak["helpers"], len(helpers_seen), took,
                 "".join(" (%s)" % line for line in log if line.endswith("whiled exit")), code,
                 len(saved_urls(w.work)), len(lost), len(log)))
        held = True
    finally:
        if hsite is not None:
            hsite.close()
        w.close()
        if held:
            shutil.rmtree(w.work, ignore_errors=True)  # some 150 MB; kept when a check failed
        else:
            print("work directory kept: %s" % w.work)


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
