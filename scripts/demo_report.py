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
import zlib

HEAD = 258
UPLOAD_HEADER = 81


def field(head, start, width):
    return head[start:start + width].decode("latin-1").rstrip(" ")


def size_field(head, start):
    text = field(head, start, 10)
    return int(text) if text.isdigit() else None


def entries(data):
    """The whole entries at the start of data, as dicts; stops at a bad or partial one."""
    out = []
    pos = 0
    while len(data) - pos >= HEAD:
        head = data[pos:pos + HEAD]
        html_size = size_field(head, 238)
        thumb_size = size_field(head, 248)
        if html_size is None or thumb_size is None or pos + HEAD + html_size + thumb_size > len(data):
            break
        body = data[pos + HEAD:pos + HEAD + html_size]
        out.append({
            "type": field(head, 0, 10),
            "status": field(head, 20, 3),
            "url": field(head, 23, 200),
            "page_bytes": html_size,
            "thumbnail": thumb_size > 0,
            "readable": readable(body),
        })
        pos += HEAD + html_size + thumb_size
    return out


def readable(body):
    if not body:
        return True
    try:
        zlib.decompress(body)
        return True
    except zlib.error:
        return False


def read(path):
    with open(path, "rb") as f:
        return f.read()


def delivered(work):
    uploads = []
    for path in sorted(glob.glob(os.path.join(work, "storage", "*.bin"))):
        data = read(path)
        header = data[:UPLOAD_HEADER].decode("latin-1")
        uploads.append((header, entries(data[UPLOAD_HEADER:])))
    return uploads


def queued(work):
    found = []
    for path in sorted(glob.glob(os.path.join(work, "sqtemp", "*"))):
        if os.path.isfile(path):
            found += entries(read(path))
    return found


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
