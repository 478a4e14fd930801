#!/usr/bin/env python3
"""The storage server down for minutes while the crawler crawls, then back.

The crawler crawls pages of the stand-in site and delivers its first entries;
then the storage server is stopped while the sender is idle, and stays down
for --down seconds (180 by default; CI runs it with --down 90).

Holds when:
- while the server is down, the sender tries to send (a queue file gets its
  sending name), every queue file in sqtemp holds whole entries only (a tail
  that stays cut is a torn entry), the back-pressure is reached, and once
  more than 1500 entries wait the crawler asks the URL server for no batch
  (one request already under way may still arrive);
- once the server is back, every entry that waited is delivered, and the
  crawler asks for pages again;
- after an orderly stop (SIGTERM to Tovwatch, which tells the crawler to shut
  down and save its page queue to SideFile.dat), every page the URL server
  handed out (a prefix of its list: batches of 500 in order, one per request)
  is exactly once in the complete uploads, the queue files or SideFile.dat,
  nothing else is there, and SideFile.dat holds the last pages handed out,
  in their order;
- no upload arrived cut, and the monitor never restarted the crawler.

A crawler idle behind the back-pressure with two or more download threads
sends no heartbeat, so a --down much past four minutes fails: the monitor
takes it for hung and restarts it.

Bound: --down plus at most about five minutes; about --down + 55 s when it
holds.

  tests/faults/storage_down.py [--down SECONDS]
"""
import glob
import os
import signal
import sys
import time

import faultlib
from faultlib import check, wait_until

BACK_PRESSURE = 1500  # entries waiting above which no batch is asked for
SIDE_FILE_RECORD = 263
PAGES = 30000
NOT_RESPONDING = "FailedCrawlerSjeks, cralwer is not responding. Restarting"


def option(name, default):
    return int(sys.argv[sys.argv.index(name) + 1]) if name in sys.argv else default


def request_count(w):
    """Requests the URL server has recorded; the n-th got the n-th batch."""
    return len(glob.glob(os.path.join(w.work, "url-server", "request-*.bin")))


def short_string(record, at, room):
    return record[at + 1:at + 1 + min(record[at], room)].decode("latin-1"), at + 1 + room


def side_file_urls(work):
    """URLs of SideFile.dat's records, in order (URL, date, document id, page
    type and storage as short strings of 201, 12, 12, 12 and 20, then the
    thumbnail flag)."""
    path = os.path.join(work, "SideFile.dat")
    if not os.path.exists(path):
        return []
    data = faultlib.sidefiles.read(path)
    check(len(data) % SIDE_FILE_RECORD == 0, "SideFile.dat is %d bytes, no whole number of records" % len(data))
    urls = []
    for pos in range(0, len(data), SIDE_FILE_RECORD):
        url, _ = short_string(data[pos:pos + SIDE_FILE_RECORD], 0, 201)
        urls.append(url)
    return urls


def whole_queue_files(w):
    """The queue files' entries once no file ends in a cut entry. A tail may
    be an append under way; one that stays is a torn entry."""
    for _ in range(30):
        snapshot = w.queue_files()
        cut = {name: tail for name, (_, tail) in snapshot.items() if tail}
        if not cut:
            return snapshot
        time.sleep(0.1)
    raise faultlib.Failure("queue files end in bytes that are no whole entry: %s" % cut)


def waiting(snapshot):
    return sum(len(entries) for entries, _ in snapshot.values())


def run():
    down = option("--down", 180)
    w = faultlib.World("storage-down", crawl_when_idle=10)
    pages = faultlib.site_pages(PAGES, thumbs_every=200, missing_every=30, robots_every=40)
    urls = [line.split("\t")[0] for line in pages]
    try:
        monitor = w.start_crawl(pages)
        crawler = w.crawlers()[0]

        # Down while the sender is idle: it sends only above 500 waiting
        # entries, so right after an upload there is time. A server stopped
        # mid-upload loses what it took, as nothing is acknowledged.
        check(wait_until(lambda: any(up["complete"] for up in w.uploads()), 120, step=0.2),
              "nothing was delivered before the server went down")
        check(wait_until(lambda: waiting(w.queue_files()) < 300, 60, step=0.05),
              "the first delivery did not empty the queue files")
        w.stop_storage()
        delivered_before = len(w.delivered_urls())

        # Down: whole entries only, and no request once the back-pressure holds.
        began = time.monotonic()
        most = 0
        tried = False  # the sender renames a queue file to its sending name before it connects
        capped_at = None  # the request count when more than 1500 were first seen waiting
        while time.monotonic() - began < down:
            snapshot = whole_queue_files(w)
            requests = request_count(w)
            most = max(most, waiting(snapshot))
            tried = tried or any(name.endswith("_sending") for name in snapshot)
            if capped_at is None and waiting(snapshot) > BACK_PRESSURE:
                capped_at = requests
            if capped_at is not None:
                check(requests <= capped_at + 1,
                      "the crawler asked for %d batches after more than %d entries waited"
                      % (requests - capped_at, BACK_PRESSURE))
            if crawler not in w.crawlers():
                check(w.log_count(NOT_RESPONDING) == 0,
                      "the monitor took the crawler, idle behind the back-pressure, for hung and restarted it "
                      "%.0f s after the storage server went down" % (time.monotonic() - began))
                raise faultlib.Failure("the crawler ended while the storage server was down")
            time.sleep(0.5)
        check(capped_at is not None,
              "no more than %d entries waited after %d s down (at most %d): the crawl is too slow for --down %d"
              % (BACK_PRESSURE, down, most, down))
        check(tried, "the sender never tried to send while more than 500 entries waited")
        capped_requests = request_count(w)
        check(capped_requests * 500 < PAGES, "the URL server ran out of pages: the page list is too short")

        # Back: whatever waited goes out, and the crawler asks for pages again.
        stuck = {e["url"] for entries, _ in whole_queue_files(w).values() for e in entries}
        w.start_storage()
        back = time.monotonic()
        check(wait_until(lambda: stuck <= set(w.delivered_urls()), 120, step=0.5),
              "%d of the %d entries that waited were not delivered once the server was back"
              % (len(stuck - set(w.delivered_urls())), len(stuck)))
        catch_up = time.monotonic() - back
        check(wait_until(lambda: request_count(w) > capped_requests + 1, 90, step=0.2),
              "the crawler did not ask for pages again once the server was back")

        # An orderly stop right after a batch arrived, so the page queue is full.
        asked = request_count(w)
        check(wait_until(lambda: request_count(w) > asked, 60, step=0.02), "no further batch was asked for")
        time.sleep(0.2)
        os.kill(monitor.pid, signal.SIGTERM)
        check(wait_until(lambda: monitor.poll() is not None and not w.crawlers(), 90, step=0.2),
              "the monitor and the crawler did not end after SIGTERM")
        check(w.log_count("Askt to exit") == 1, "the crawler was not asked to exit")

        handed = urls[:min(request_count(w) * 500, PAGES)]
        delivered = w.delivered_urls()
        snapshot = w.queue_files()
        for name, (_, tail) in snapshot.items():
            check(tail == 0, "queue file %s ends in %d bytes that are no whole entry" % (name, tail))
        queued = [e["url"] for entries, _ in snapshot.values() for e in entries]
        saved = side_file_urls(w.work)
        counts = {}
        for url in delivered + queued + saved:
            counts[url] = counts.get(url, 0) + 1
        handed_set = set(handed)
        lost = [u for u in handed if u not in counts]
        twice = [u for u, n in counts.items() if n > 1]
        stray = [u for u in counts if u not in handed_set]
        check(not lost, "%d pages handed out are neither delivered, queued nor saved, first %s"
              % (len(lost), lost[:3]))
        check(not twice, "%d pages are there more than once (delivered %d, queued %d, saved %d), first %s"
              % (len(twice), delivered.count(twice[0]) if twice else 0, queued.count(twice[0]) if twice else 0,
                 saved.count(twice[0]) if twice else 0, twice[:3]))
        check(not stray, "%d entries are of pages never handed out, first %s" % (len(stray), stray[:3]))
        check(saved == handed[len(handed) - len(saved):],
              "SideFile.dat does not hold the last pages handed out in their order")
        cut = [up["file"] for up in w.uploads() if not up["complete"]]
        check(not cut, "uploads arrived cut: %s" % cut[:5])
        check(w.log_count(NOT_RESPONDING) == 0, "the monitor restarted the crawler")
        print("storage down %d s: %d entries delivered before, at most %d waited, requests stopped at %d; "
              "the %d that waited went out %.0f s after it was back; after the stop %d pages handed out: "
              "%d delivered, %d queued, %d in SideFile.dat"
              % (down, delivered_before, most, capped_at, len(stuck), catch_up, len(handed), len(delivered),
                 len(queued), len(saved)))
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
