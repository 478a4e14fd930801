#!/usr/bin/env python3
"""A queue file left for a storage server that never answers, beside a crawl
that delivers to a live one.

An earlier run left 600 entries in sqtemp/127.0.0.9, where nothing listens;
the crawl's pages go to the live storage server.

Holds when:
- every page of the crawl reaches the live server while 127.0.0.9 stays dead,
  and the error log names 127.0.0.9 once, not once a try or a pass;
- the dead server's entries wait whole, byte for byte as they were left;
- an orderly stop (SIGTERM to Tovwatch) does not wait out the connect tries:
  the crawler ends without "SendingInProgres whiled exit";
- at the next start, with a server answering on 127.0.0.9, the entries that
  waited are delivered there exactly as they were left, and sqtemp ends
  empty.

Bound: about two minutes.

  tests/faults/storage_dead.py
"""
import os
import signal
import sys
import time
import zlib

import faultlib
from faultlib import check, wait_until

DEAD = "127.0.0.9"
LEFT = 600
PAGES = 600
UNREACHABLE = "Storage server %s could not be reached" % DEAD


def entry(n):
    body = zlib.compress(("left over page %d " % n * 20).encode())
    head = "%-10.10s%-10.10s%-3.3s%-200.200s%-15.15s%-10d%-10d" % (
        "crawl", "left%d" % n, "200", "http://left.example/%d" % n, "10.0.0.1", len(body), 0)
    return head.encode("latin-1") + body


def run():
    w = faultlib.World("storage-dead", crawl_when_idle=10)
    left = b"".join(entry(n) for n in range(LEFT))
    with open(os.path.join(w.work, "sqtemp", DEAD), "wb") as f:
        f.write(left)
    pages = faultlib.site_pages(PAGES)
    urls = {line.split("\t")[0] for line in pages}
    try:
        monitor = w.start_crawl(pages)
        began = time.monotonic()
        check(wait_until(lambda: urls <= set(w.delivered_urls()), 120, step=0.5),
              "%d of the %d pages did not reach the live storage server while %s was dead"
              % (len(urls - set(w.delivered_urls())), len(urls), DEAD))
        delivered_after = time.monotonic() - began
        # Passes go on while the dead server's entries wait: each tries it again.
        time.sleep(25)
        check(w.log_count_prefix(UNREACHABLE) == 1,
              "the error log names %s %d times" % (DEAD, w.log_count_prefix(UNREACHABLE)))
        queued = faultlib.sidefiles.read(os.path.join(w.work, "sqtemp", DEAD + "_sending"))
        check(queued == left, "the entries left for %s did not wait as they were" % DEAD)

        stop = time.monotonic()
        os.kill(monitor.pid, signal.SIGTERM)
        check(wait_until(lambda: monitor.poll() is not None and not w.crawlers(), 60, step=0.2),
              "the monitor and the crawler did not end after SIGTERM")
        stopped_after = time.monotonic() - stop
        check(w.log_count("SendingInProgres whiled exit") == 0,
              "the shut-down waited out the sender's connect tries")

        back_dir = os.path.join(w.work, "storage-%s" % DEAD)
        w._standin("storage_server.py", back_dir, ["--addr", DEAD])
        w.start_monitor()
        check(wait_until(lambda: any(up["complete"] for up in faultlib.sidefiles.uploads(back_dir)), 60, step=0.5),
              "the entries that waited were not delivered once %s answered" % DEAD)
        ups = [up for up in faultlib.sidefiles.uploads(back_dir) if up["complete"]]
        got = [e["docid"] for up in ups for e in up["entries"]]
        check(got == ["left%d" % n for n in range(LEFT)],
              "%s received %d entries, not the %d left for it in order" % (DEAD, len(got), LEFT))
        sqtemp = os.path.join(w.work, "sqtemp")
        check(wait_until(lambda: not os.listdir(sqtemp), 30), "sqtemp keeps %s" % os.listdir(sqtemp))
        print("all %d pages delivered to the live server %.0f s after the start while %s was dead, which the "
              "error log named once; stopped in %.1f s; the %d entries that waited went out once it answered"
              % (PAGES, delivered_after, DEAD, stopped_after, LEFT))
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
