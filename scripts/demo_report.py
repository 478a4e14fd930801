#!/usr/bin/env python3
"""Tells what a demo run crawled and delivered, from its work directory.

  scripts/demo_report.py <work dir> [--brief]

Reads what the stand-in storage server received (storage/*.bin: one upload
each, an 81-character header and the side-file entries behind it), the entries
still waiting in the crawler's queue files (sqtemp/), the URL server's request
count and the programs' error log. An entry is a 258-byte text head (page
type 10, document id 10, status 3, URL 200, peer address 15, page size 10,
thumbnail size 10, each blank-padded), then the compressed page and the
thumbnail. --brief prints one progress line.
"""
import glob
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "records"))
import sidefiles  # noqa: E402


def described(entry):
    return {
        "type": entry["type"],
        "status": entry["status"],
        "url": entry["url"],
        "page_bytes": entry["page_bytes"],
        "thumbnail": len(entry["thumbnail"]) > 0,
        "readable": sidefiles.page_text(entry) is not None,
    }


def delivered(work):
    return [(up["command"], [described(e) for e in up["entries"]])
            for up in sidefiles.uploads(os.path.join(work, "storage"))]


def queued(work):
    return [described(e) for entries, _ in sidefiles.queue_files(work).values() for e in entries]


def log_lines(work):
    path = os.path.join(work, "ErrorLog.txt")
    if not os.path.exists(path):
        return []
    with open(path, encoding="cp1252", errors="replace") as f:
        return [line.rstrip("\r\n") for line in f]


def summary(items):
    ok = sum(1 for e in items if e["status"] == "200" and e["type"] == "crawl")
    robots = sum(1 for e in items if e["type"] == "robottxt")
    failed = sum(1 for e in items if e["status"] != "200" and e["type"] == "crawl")
    thumbs = sum(1 for e in items if e["thumbnail"])
    return ok, failed, robots, thumbs


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    work = sys.argv[1]
    uploads = delivered(work)
    sent = [e for _, batch in uploads for e in batch]
    waiting = queued(work)
    if "--brief" in sys.argv[2:]:
        print("  entries delivered to the storage server: %d, waiting in the crawler's queue: %d"
              % (len(sent), len(waiting)))
        return 0

    requests = len(glob.glob(os.path.join(work, "url-server", "request-*.bin")))
    everything = sent + waiting
    ok, failed, robots, thumbs = summary(everything)
    print("What the crawl did")
    print("  URL-server requests answered:        %d" % requests)
    print("  pages fetched (status 200):          %d" % ok)
    print("  pages failed (any other status):     %d" % failed)
    print("  robots.txt files fetched:            %d" % robots)
    print("  thumbnails made:                     %d" % thumbs)
    print("What the storage server received")
    print("  uploads:                             %d" % len(uploads))
    print("  entries:                             %d" % len(sent))
    for name, value in zip(("fetched", "failed", "robots.txt", "thumbnails"), summary(sent)):
        print("    %-34s %d" % (name + ":", value))
    bad = sum(1 for e in sent if not e["readable"])
    if bad:
        print("  entries whose page does not decompress: %d" % bad)
    print("  still waiting in the crawler's queue: %d (sent once more than 500 wait)" % len(waiting))
    restarts = [l for l in log_lines(work) if "cralwer is not responding" in l]
    if restarts:
        print("The monitor restarted the crawler %d time(s)" % len(restarts))
    if not everything:
        print("No page was crawled. The work directory's ErrorLog.txt says why:")
        for line in log_lines(work)[-15:]:
            print("  " + line)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
