#!/usr/bin/env python3
"""A storage server behind a slow but steady line, beside a crawl that
delivers to a live one.

An earlier run left 600 entries (1.66 MB) in sqtemp/127.0.0.9; the server
there reads 6000 bytes a second, nothing wrong with it, so the whole file
takes about 280 s. The namespace's send buffers hold at most 64 KB, so the
sender's writes wait on the server's reads, as over a real slow uplink.

Holds when:
- the upload to 127.0.0.9 is never cut: it arrives whole, in one upload,
  every entry as it was left, in about its size at 6000 bytes a second;
- the error log names no cut;
- the crawl's pages, which wait behind it in that pass, then reach the live
  server, and sqtemp ends empty.

Bound: about six minutes.

  tests/faults/storage_slow.py
"""
import os
import signal
import sys
import time

import faultlib
from faultlib import check, wait_until

SLOW = "127.0.0.9"
LEFT = 600
PAGE_BYTES = 2512  # an entry of 2770 bytes
PAGES = 600
READ_RATE = 6000
CUT = "Exception in SentTilLagringserver: ESocketError: storage server %s:" % SLOW


def run():
    faultlib.limit_send_buffers(65536)
    w = faultlib.World("storage-slow", crawl_when_idle=10)
    left = faultlib.left_over(LEFT, PAGE_BYTES)
    w.leave_queue_file(SLOW, left)
    pace = len(left) / float(READ_RATE)
    pages = faultlib.site_pages(PAGES)
    urls = {line.split("\t")[0] for line in pages}
    slow_dir = os.path.join(w.work, "storage-slow")
    try:
        w._standin("storage_server.py", slow_dir, ["--addr", SLOW, "--read-rate", str(READ_RATE)])
        monitor = w.start_crawl(pages)
        began = time.monotonic()
        # The left file holds the first slot: the first pass begins with it.
        check(wait_until(lambda: faultlib.sidefiles.uploads(slow_dir) or w.log_count_prefix(CUT), pace + 120,
                         step=0.5),
              "nothing reached %s %.0f s after the start, where its file takes %.0f s at its pace"
              % (SLOW, pace + 120, pace))
        took = time.monotonic() - began
        check(w.log_count_prefix(CUT) == 0, "the upload to %s was cut: %s" % (SLOW, w.log()[-3:]))
        ups = faultlib.sidefiles.uploads(slow_dir)
        check(len(ups) == 1 and ups[0]["complete"], "%s did not receive its file as one whole upload" % SLOW)
        got = [e["docid"] for e in ups[0]["entries"]]
        check(got == ["left%d" % n for n in range(LEFT)],
              "%s received %d entries, not the %d left for it in order" % (SLOW, len(got), LEFT))
        check(wait_until(lambda: urls <= set(w.delivered_urls()), 120, step=0.5),
              "%d of the %d pages had not reached the live storage server 120 s after the slow upload"
              % (len(urls - set(w.delivered_urls())), len(urls)))
        delivered_after = time.monotonic() - began
        sqtemp = os.path.join(w.work, "sqtemp")
        check(wait_until(lambda: not os.listdir(sqtemp), 60), "sqtemp keeps %s" % os.listdir(sqtemp))
        os.kill(monitor.pid, signal.SIGTERM)
        check(wait_until(lambda: monitor.poll() is not None and not w.crawlers(), 60, step=0.2),
              "the monitor and the crawler did not end after SIGTERM")
        print("the %d entries (%d bytes) left for %s, which reads %d bytes a second, arrived whole in one upload "
              "%.0f s after the start, never cut; the %d pages of the crawl reached the live server %.0f s after "
              "the start" % (LEFT, len(left), SLOW, READ_RATE, took, PAGES, delivered_after))
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
