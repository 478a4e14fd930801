#!/usr/bin/env python3
"""The monitor killed with SIGKILL while the crawler crawls, then started
again, a few times over: each new monitor attaches to the running crawler.

Holds when, in every round:
- with no monitor running the crawler goes on running and crawling (the
  queue files and the storage server's records keep growing);
- the new monitor takes the link over from the killed one and the crawler
  attaches to it (in the link's trace: "Took over from monitor <pid>", then
  the monitor's "ConnectToClient Successful" and the crawler's
  "ConnectToMonitor End");
- the crawler the new monitor starts ends at once, because the running one
  holds the lock file ("Can`t lock lockfile, are more than one crawler
  runing?");
- the new monitor controls the running crawler: Config.bin's idle thread count
  is changed while no monitor runs, and the crawler's download threads (its
  threads beyond those it runs without any) settle at the new count;
and in the end the crawler started first is still the only one, and SIGTERM
to the last monitor ends both.

Bound: about two minutes with the default four rounds.

  tests/faults/monitor_restart.py [--kills N]
"""
import os
import random
import signal
import struct
import sys
import threading
import time

import faultlib
from faultlib import check, wait_until

LOCKED_OUT = "Can`t lock lockfile, are more than one crawler runing?"
TRACE_OVERHEAD = 28


class TraceWatcher:
    """Collects the lines of the link's shared trace buffer as they are
    written. The buffer starts over at its front when full (every second or
    so while a crawler reports its pages), so it is read every 20 ms; an
    entry is told apart by its place, its counter and its text."""

    def __init__(self, work):
        self.path = os.path.join(work, "ipc", "map.TRACE_BUFFER")
        self.seen = set()
        self.lines = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def _read(self):
        try:
            with open(self.path, "rb") as f:
                data = f.read()
        except OSError:
            return []
        if len(data) < 4:
            return []
        used = struct.unpack_from("<I", data, 0)[0]
        entries = []
        at = 4
        while at + 8 <= used <= len(data):
            size, counter = struct.unpack_from("<II", data, at)
            if size < TRACE_OVERHEAD or size > used - at:
                break
            entries.append((at, counter, data[at + 8:at + size - 8].decode("latin-1")))
            at += size
        return entries

    def _loop(self):
        while not self.stopping.is_set():
            for entry in self._read():
                if entry not in self.seen:
                    self.seen.add(entry)
                    with self.lock:
                        self.lines.append(entry[2])
            time.sleep(0.02)

    def count(self, line):
        with self.lock:
            return sum(1 for l in self.lines if l == line)

    def close(self):
        self.stopping.set()
        self.thread.join()


def threads(pid):
    try:
        return len(os.listdir("/proc/%d/task" % pid))
    except OSError:
        return -1


def stored_bytes(w):
    """What the crawl has produced so far: queue files and records of the
    storage server, which only grow between them."""
    total = 0
    for folder in (os.path.join(w.work, "sqtemp"), w.storage_dir()):
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            try:
                total += os.path.getsize(os.path.join(folder, name))
            except OSError:
                pass
    return total


def crawls(w, timeout):
    before = stored_bytes(w)
    return wait_until(lambda: stored_bytes(w) > before, timeout, step=0.2)


def steady(value, seconds, timeout):
    """The value once it has stayed the same for seconds, or None."""
    deadline = time.monotonic() + timeout
    last, since = value(), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.2)
        now = value()
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= seconds:
            return now
    return None


def run():
    kills = int(sys.argv[sys.argv.index("--kills") + 1]) if "--kills" in sys.argv else 4
    first_count = 10
    w = faultlib.World("monitor-restart", crawl_when_idle=first_count)
    trace = None
    try:
        w.start_site()
        w.start_storage()
        w.start_url_server(faultlib.site_pages(60000, missing_every=30, robots_every=40))
        trace = TraceWatcher(w.work)
        monitor = w.start_monitor()
        check(wait_until(lambda: w.log_count("Tovfetch Startet") == 1 and len(w.crawlers()) == 1, 30),
              "the crawler did not start")
        crawler = w.crawlers()[0]
        attached = "  %08X: ConnectToMonitor End" % crawler
        check(wait_until(lambda: trace.count(attached) == 1, 20), "the crawler did not attach to the first monitor")
        check(crawls(w, 60), "the crawler does not crawl")
        # The threads it runs besides its download threads, once the first
        # monitor's count holds.
        total = steady(lambda: threads(crawler), 3, 60)
        check(total is not None, "the crawler's thread count did not settle")
        base = total - first_count
        check(base > 0, "the crawler runs %d threads, fewer than the %d download threads set" % (total, first_count))

        count = first_count
        for round_ in range(1, kills + 1):
            time.sleep(random.uniform(0.0, 3.0))
            dead = monitor.pid
            w.kill(dead)
            check(wait_until(lambda: dead not in w.monitors(), 10), "the killed monitor did not go")
            count = random.choice([n for n in (2, 3, 5, 7, 12) if n != count])
            w.set_config(crawl_when_idle=count)
            check(crawls(w, 40), "round %d: the crawler stopped crawling when its monitor was killed" % round_)
            check(w.crawlers() == [crawler], "round %d: crawlers %s, not the one started first" % (round_, w.crawlers()))

            attaches = trace.count(attached)
            successes = trace.count("   Monitor: ConnectToClient Successful")
            locked_out = w.log_count(LOCKED_OUT)
            monitor = w.start_monitor()
            check(wait_until(lambda: trace.count("   Monitor: Took over from monitor %d, whose process is gone" % dead)
                             == 1, 20), "round %d: the new monitor did not take the link over" % round_)
            check(wait_until(lambda: trace.count(attached) > attaches
                             and trace.count("   Monitor: ConnectToClient Successful") > successes, 20),
                  "round %d: the running crawler did not attach to the new monitor" % round_)
            check(wait_until(lambda: w.log_count(LOCKED_OUT) == locked_out + 1, 20),
                  "round %d: the crawler the new monitor started was not locked out" % round_)
            check(wait_until(lambda: w.crawlers() == [crawler], 20),
                  "round %d: crawlers %s, not only the one started first" % (round_, w.crawlers()))
            check(wait_until(lambda: threads(crawler) == base + count, 60, step=0.2),
                  "round %d: the crawler runs %d download threads, not the %d the new monitor set"
                  % (round_, threads(crawler) - base, count))
            check(crawls(w, 40), "round %d: the crawler stopped crawling under the new monitor" % round_)

        check(w.log_count("Tovfetch Startet") == 1, "a second crawler started crawling")
        monitor.send_signal(signal.SIGTERM)
        check(wait_until(lambda: monitor.poll() is not None and not w.crawlers(), 60, step=0.2),
              "the last monitor and the crawler did not end after SIGTERM")
        print("%d monitors killed and started again; the crawler attached to each, followed its thread count "
              "(last %d) and locked out %d second crawlers" % (kills, count, w.log_count(LOCKED_OUT)))
    finally:
        if trace is not None:
            trace.close()
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
