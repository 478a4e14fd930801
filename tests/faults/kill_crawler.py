#!/usr/bin/env python3
"""The crawler killed with SIGKILL at random moments of a crawl, and started
again each time, while the monitor runs on.

Holds when:
- after the last start, every queue file in sqtemp holds whole entries only;
- every entry that stood whole in a queue file right after a kill is
  delivered to the storage server (counting only uploads that arrived whole:
  an upload cut by the kill is as long as its header says only when whole);
- an entry is delivered twice only when, after some kill, it stood in a file
  being sent ("_sending"): the kill fell between the end of a send and the
  deletion of the file, and the storage server sends no acknowledgement.
A third of the kills fall into the crawler's start, a third at random
moments of its crawl, and a third are aimed at a send in progress. About
6 minutes.

  tests/faults/kill_crawler.py [--kills N]     (30 kills by default)
"""
import os
import random
import sys
import time

import faultlib
from faultlib import check, wait_until


def run():
    kills = int(sys.argv[sys.argv.index("--kills") + 1]) if "--kills" in sys.argv else 30
    w = faultlib.World("kill", crawl_when_idle=10)
    try:
        w.start_site()
        w.start_storage()
        w.start_url_server(faultlib.site_pages(40000, thumbs_every=50, missing_every=30, robots_every=40,
                                               size_kb=20))
        w.start_monitor()
        snapshots = []
        cut_tails = 0
        aimed = 0  # kills that found a file being sent
        for cycle in range(kills):
            check(wait_until(lambda: len(w.crawlers()) == 1 and w.log_count("Tovfetch Startet") >= cycle + 1, 60),
                  "crawler %d did not start" % (cycle + 1))
            if cycle % 3 == 2:
                # Every third kill aims at a send: as soon as a file is being
                # sent, or a little after, when the send may just have ended.
                sqtemp = os.path.join(w.work, "sqtemp")
                if wait_until(lambda: any(n.endswith("_sending") for n in os.listdir(sqtemp)), 60, step=0.002):
                    aimed += 1
                time.sleep(random.choice([0.0, 0.0, random.uniform(0.0, 0.05)]))
            elif cycle % 3 == 0:
                # During its start: the take-up of what the last one left.
                time.sleep(random.uniform(0.0, 3.0))
            else:
                # A random moment once it crawls (its first pages wait for the
                # queue's poll), so the kill can fall into any step.
                seen = len(w.queued_urls()) + len(w.delivered_urls())
                wait_until(lambda: len(w.queued_urls()) + len(w.delivered_urls()) > seen, 30, step=0.2)
                time.sleep(random.uniform(0.0, 6.0))
            pid = w.crawlers()[0]
            w.kill(pid)
            # Gone with all its threads (and so its open files), not only its first.
            check(w.wait_gone([pid], 10), "the killed crawler did not go")
            snap = w.queue_files()
            cut_tails += sum(1 for _, tail in snap.values() if tail)
            snapshots.append(snap)
            w.start_crawler()

        # Whatever stood in a queue file after a kill goes with the next send.
        wanted = {e["url"] for snap in snapshots for entries, _ in snap.values() for e in entries}
        check(wait_until(lambda: wanted <= set(w.delivered_urls()), 240, step=1),
              "%d entries that stood whole after a kill were never delivered"
              % len(wanted - set(w.delivered_urls())))

        check(len(wanted) > 0 and w.delivered_urls(), "nothing was crawled and delivered")
        for name, (entries, tail) in w.queue_files().items():
            check(tail == 0, "queue file %s ends in %d bytes that are no whole entry" % (name, tail))

        delivered = w.delivered_urls()
        counts = {}
        for url in delivered:
            counts[url] = counts.get(url, 0) + 1
        in_sending = {e["url"] for snap in snapshots for name, (entries, _) in snap.items()
                      if name.endswith("_sending") for e in entries}
        twice = [u for u, n in counts.items() if n > 1]
        check(not [u for u in twice if u not in in_sending],
              "delivered twice without a kill during its send: %s" % [u for u in twice if u not in in_sending][:5])
        bad = [e["url"] for up in w.uploads() if up["complete"] for e in up["entries"]
               if faultlib.sidefiles.page_text(e) is None]
        check(not bad, "entries whose page does not decompress: %s" % bad[:5])
        print("%d kills (%d while a file was being sent); %d entries delivered (%d twice, after a kill during their send); "
              "%d partial entries were cut at a restart; %d uploads cut by a kill"
              % (kills, aimed, len(delivered), len(twice), cut_tails,
                 sum(1 for up in w.uploads() if not up["complete"])))
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
