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

import faultlib
from faultlib import check, wait_until

DEAD = "127.0.0.9"
LEFT = 600
PAGES = 600
UNREACHABLE = "Storage server %s could not be reached" % DEAD


def run():
    w = faultlib.World("storage-dead", crawl_when_idle=10)
    left = faultlib.left_over(LEFT)
    w.leave_queue_file(DEAD, left)
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

        w.deliver_left_over(DEAD, LEFT)
        print("all %d pages delivered to the live server %.0f s after the start while %s was dead, which the "
              "error log named once; stopped in %.1f s; the %d entries that waited went out once it answered"
              % (PAGES, delivered_after, DEAD, stopped_after, LEFT))
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
