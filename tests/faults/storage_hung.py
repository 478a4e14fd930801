#!/usr/bin/env python3
"""A storage server that takes the connection and then reads only a trickle,
beside a crawl that delivers to a live one.

An earlier run left 600 entries in sqtemp/127.0.0.9; the server there reads
512 bytes a second, so that no single send of the upload ever waits long,
while the whole would take minutes. The crawl's pages go to the live server.
The namespace's send buffers hold at most 64 KB, so the system cannot take
the 180 KB file off the sender's hands at once, as it can take several
megabytes over loopback's defaults.

Holds when:
- the upload to 127.0.0.9 is cut once 120 s have taken less than the floor
  (4 KB a second), and every page of the crawl reaches the live server soon
  after, not once the trickle has taken the whole file;
- the error log names 127.0.0.9 and the deadline, once a pass;
- the entries left for 127.0.0.9 wait whole, byte for byte as they were left;
- at the next start, with a server on 127.0.0.9 that reads at once, they are
  delivered there exactly as they were left, and sqtemp ends empty.

Bound: about four minutes.

  tests/faults/storage_hung.py
"""
import os
import signal
import sys
import time

import faultlib
from faultlib import check, wait_until

HUNG = "127.0.0.9"
LEFT = 600
PAGES = 600
READ_RATE = 512
CUT = "Exception in SentTilLagringserver: ESocketError: storage server %s: Send deadline passed" % HUNG


def run():
    faultlib.limit_send_buffers(65536)
    w = faultlib.World("storage-hung", crawl_when_idle=10)
    left = faultlib.left_over(LEFT)
    w.leave_queue_file(HUNG, left)
    deadline = 120.0  # a window below the floor, from the moment the buffers are full
    trickle = len(left) / float(READ_RATE)
    pages = faultlib.site_pages(PAGES)
    urls = {line.split("\t")[0] for line in pages}
    hung_dir = os.path.join(w.work, "storage-hung")
    try:
        hung = w._standin("storage_server.py", hung_dir, ["--addr", HUNG, "--read-rate", str(READ_RATE)])
        monitor = w.start_crawl(pages)
        began = time.monotonic()
        # The left file holds the first slot: the first pass begins with it.
        check(wait_until(lambda: urls <= set(w.delivered_urls()), deadline + 60, step=0.5),
              "%d of the %d pages had not reached the live storage server %.0f s after the start, while the "
              "upload to %s would take %.0f s" % (len(urls - set(w.delivered_urls())), len(urls), deadline + 60,
                                                  HUNG, trickle))
        delivered_after = time.monotonic() - began
        check(w.log_count_prefix(CUT) == 1, "the error log names the cut upload to %s %d times, not once"
              % (HUNG, w.log_count_prefix(CUT)))
        queued = faultlib.sidefiles.read(os.path.join(w.work, "sqtemp", HUNG + "_sending"))
        check(queued == left, "the entries left for %s did not wait as they were" % HUNG)
        check(not any(up["complete"] for up in faultlib.sidefiles.uploads(hung_dir)),
              "%s recorded a whole upload" % HUNG)

        os.kill(monitor.pid, signal.SIGTERM)
        check(wait_until(lambda: monitor.poll() is not None and not w.crawlers(), 60, step=0.2),
              "the monitor and the crawler did not end after SIGTERM")
        hung.terminate()
        hung.wait()
        w.children.remove(hung)
        check(faultlib.sidefiles.read(os.path.join(w.work, "sqtemp", HUNG + "_sending")) == left,
              "the entries left for %s did not outlast the stop as they were" % HUNG)

        w.deliver_left_over(HUNG, LEFT)
        print("all %d pages delivered to the live server %.0f s after the start; the upload to %s, which at its "
              "pace would have taken %.0f s, was cut after a %.0f s window below the floor and named once; its %d entries went "
              "out whole at the next start" % (PAGES, delivered_after, HUNG, trickle, deadline, LEFT))
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
