#!/usr/bin/env python3
"""A full disk: the work directory is a small tmpfs that the crawl fills.

The monitor and the crawler run in a 4 MB tmpfs (their settings, queue files,
error log, lock file and page-queue save file live there; the stand-ins, the
programs' output and the link's directory live elsewhere, as the user's
runtime directory would). A filler file leaves room for some 800 entries of
20 KB pages and no storage server answers, so the crawl fills the disk.

Holds when:
- while the disk is full: every queue file in sqtemp holds whole entries only
  (a file showing a partial tail is read again before it is judged: an append
  may be under way), Config.bin is as it was, every line of ErrorLog.txt
  begins with a time stamp and the file ends with a whole line;
- the page whose entry first cannot be written is logged as "cant queue <url>
  for <storage>: ...; fetching pauses until its entry can be written" (one
  line a pause), in ErrorLog.txt or, when the log cannot take the line, on
  the programs' standard error;
- once the filler is gone and the storage server answers, new entries are
  queued and delivered, and every page that waited for its entry appears in
  a delivered or queued entry;
- the crawler stopped (SIGTERM) on a disk full again leaves a SideFile.dat of
  whole 263-byte records;
- every page the URL server handed out is delivered, queued, saved in
  SideFile.dat, or named in a log line (error log or standard error).

Bound: about 3 minutes (the waits for the programs share 2 minutes, the
crawler's stop gets one more); it takes about one.

  tests/faults/full_disk.py
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import faultlib
from faultlib import check, wait_until

TMPFS_SIZE = "4m"
ROOM_KB = 400  # left beside the filler: some 800 entries of a 20 KB page
SPARE = 10000  # freed as the crawler stops on the full disk: room for some dozens of records
PAGES = 6000
WAITS = 120  # seconds for every wait before the stop, which gets 60 more
BATCH = 500  # the URL server's batch
RECORD = 263  # one page in SideFile.dat
STAMP = re.compile(rb"\d\d:\d\d:\d\d \d\d/\d\d/\d\d: ")  # ErrorLogStamp() under LC_ALL=C
STDERR_LINE = re.compile(rb"(?m)^" + STAMP.pattern + rb"([^\r\n]*)")
URL = re.compile(r"https?://\S+")
CANT_QUEUE = re.compile(r"cant queue (\S+) for (\S*): .*; fetching pauses until its entry can be written$")


class DiskWorld(faultlib.World):
    """A World whose work directory is a tmpfs; everything the test itself
    writes (stand-ins' records, page list, programs' output, link files) goes
    to a directory beside it, so only the programs fill the disk."""

    def __init__(self, work, side):
        self.side = side
        super().__init__("full-disk", work=work)
        self.out.close()
        os.remove(os.path.join(self.work, "programs.out"))
        self.out = open(os.path.join(side, "programs.out"), "ab")
        self.env["TOV_IPC_DIR"] = os.path.join(side, "ipc")

    def write_pages(self, lines):
        path = os.path.join(self.side, "pages.txt")
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        return path

    def start_url_server(self, pages=None, args=()):
        extra = ["--pages", self.write_pages(pages), "--storage", faultlib.STORAGE, "--batch", str(BATCH)]
        return self._standin("url_server.py", self.url_server_dir(), extra + list(args))

    def url_server_dir(self):
        return os.path.join(self.side, "url-server")

    def start_site(self, args=()):
        return self._standin("web_site.py", os.path.join(self.side, "web-site"),
                             ["--addr", faultlib.SITE] + list(args))

    def storage_dir(self):
        return os.path.join(self.side, "storage")

    def programs_out(self):
        with open(os.path.join(self.side, "programs.out"), "rb") as f:
            return f.read()

    def all_log_messages(self):
        """Messages of ErrorLog.txt and of the error-log lines that went to
        standard error instead."""
        return self.log() + [m.decode("cp1252", "replace") for m in self.stderr_log_messages()]

    def stderr_log_messages(self):
        return STDERR_LINE.findall(self.programs_out())


# ---- the disk ----

def mount_tmpfs(path):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % TMPFS_SIZE, "tovfull", path], check=True)


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def fill(path, leave):
    """Appends to the filler file at path until at most leave bytes stay free;
    with leave 0, until the disk takes no byte more."""
    block = b"\0" * 65536
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        while True:
            room = free_bytes(os.path.dirname(path)) - leave
            if room <= 0 and leave > 0:
                return
            try:
                if os.write(fd, block[:max(1, min(len(block), room))] if leave > 0 else block) == 0:
                    return
            except OSError:
                if leave > 0:
                    raise
                # Full to the page: the last bytes go one by one into what
                # is left of the filler's last page.
                try:
                    while os.write(fd, b"\0") == 1:
                        pass
                except OSError:
                    pass
                return
    finally:
        os.close(fd)


# ---- what the programs left ----

def whole_queue_files(w, tries=10):
    """None when every queue file holds whole entries, else a description of
    a partial tail that stayed on every one of the reads."""
    for _ in range(tries):
        bad = {name: tail for name, (entries, tail) in w.queue_files().items() if tail}
        if not bad:
            return None
        time.sleep(0.2)
    return "queue files end in bytes that are no whole entry: %s" % bad


def torn_error_log(w):
    """None when ErrorLog.txt is whole lines, each beginning with a stamp
    (or a continuation without one), else the first bad line."""
    path = os.path.join(w.work, "ErrorLog.txt")
    if not os.path.exists(path):
        return None
    data = faultlib.sidefiles.read(path)
    if b"\0" in data:
        return "ErrorLog.txt holds zero bytes at %d" % data.index(b"\0")
    if data and not data.endswith(b"\r\n"):
        return "ErrorLog.txt ends in a partial line: %r" % data[-120:]
    for line in data.split(b"\r\n"):
        # A stamp after the start of a line is a line that followed a torn one.
        for m in STAMP.finditer(line):
            if m.start() > 0:
                return "ErrorLog.txt holds a torn line: %r" % line[:240]
    return None


def side_file_urls(w):
    path = os.path.join(w.work, "SideFile.dat")
    if not os.path.exists(path):
        return None, []
    data = faultlib.sidefiles.read(path)
    urls = [data[i + 1:i + 1 + data[i]].decode("latin-1") for i in range(0, len(data) - RECORD + 1, RECORD)]
    return len(data), urls


def waited_urls(messages):
    return {m.group(1) for m in map(CANT_QUEUE.match, messages) if m}


def queued_or_delivered(w):
    return set(w.queued_urls()) | set(w.delivered_urls())


def stop_crawler(w, then):
    """SIGTERM to the crawler, then() at once, and the wait for its end."""
    pids = w.crawlers()
    check(len(pids) == 1, "%d crawlers run, not one" % len(pids))
    w.kill(pids[0], signal.SIGTERM)
    then()
    check(w.wait_gone(pids, 60), "the crawler did not end within a minute of SIGTERM")


def check_not_corrupted(w, config, seconds):
    """Reads the work directory over some seconds of a full disk."""
    deadline = time.monotonic() + seconds
    rounds = 0
    while time.monotonic() < deadline or rounds == 0:
        problem = whole_queue_files(w) or torn_error_log(w)
        check(problem is None, problem)
        check(faultlib.sidefiles.read(os.path.join(w.work, "Config.bin")) == config, "Config.bin changed")
        check(not os.path.exists(os.path.join(w.work, "Config.bin.new")), "a Config.bin.new was left")
        rounds += 1
        time.sleep(0.5)
    return rounds


def run():
    started = time.monotonic()

    def within(seconds):
        """A wait's time-out, cut so that the waits before the stop take at
        most WAITS seconds together."""
        return max(1.0, min(seconds, started + WAITS - time.monotonic()))

    work = tempfile.mkdtemp(prefix="tov-fault-full-disk.")
    side = tempfile.mkdtemp(prefix="tov-fault-full-disk-side.")
    mount_tmpfs(work)
    w = DiskWorld(work, side)
    filler = os.path.join(work, "filler")
    held = False
    try:
        config = faultlib.sidefiles.read(os.path.join(work, "Config.bin"))
        pages = faultlib.site_pages(PAGES, size_kb=20)
        pages_urls = [line.split("\t")[0] for line in pages]
        fill(filler, ROOM_KB * 1024)
        w.start_site()
        w.start_url_server(pages)
        w.start_monitor()

        # The crawl fills the disk; no storage server takes the entries away.
        check(wait_until(lambda: waited_urls(w.all_log_messages()), within(90), step=0.5),
              "the disk filled but no page was logged as \"cant queue\" (%d entries queued, %d bytes free)"
              % (len(w.queued_urls()), free_bytes(work)))
        rounds = check_not_corrupted(w, config, 8)
        full_entries = len(w.queued_urls())
        waited = waited_urls(w.all_log_messages())

        # Room again: the sender ships and deletes the queue files.
        os.remove(filler)
        w.start_storage()
        check(wait_until(lambda: w.delivered_urls(), within(60), step=0.5), "nothing was delivered once there was room")
        delivered_at_first = len(w.delivered_urls())
        check(wait_until(lambda: waited_urls(w.all_log_messages()) <= queued_or_delivered(w), within(90), step=1),
              "pages that waited for their entries were never queued: %s"
              % sorted(waited_urls(w.all_log_messages()) - queued_or_delivered(w))[:5])
        check(wait_until(lambda: len(w.delivered_urls()) > delivered_at_first, within(60), step=0.5),
              "entries crawled after the disk had room again were not delivered")
        check_not_corrupted(w, config, 1)
        waited = waited_urls(w.all_log_messages())

        # Full again, and the crawler stopped there: its page queue goes to a
        # SideFile.dat. A few pages of the disk come free as it stops, so the
        # save fills them and meets the full disk part-way through a record.
        w.stop_storage()
        spare = os.path.join(work, "spare")
        with open(spare, "wb") as f:
            f.write(b"\0" * SPARE)
        fill(filler, 0)
        check(wait_until(lambda: len(waited_urls(w.all_log_messages())) > len(waited), within(60), step=0.5),
              "the disk filled again but no page was logged as \"cant queue\"")
        check_not_corrupted(w, config, 2)
        stop_crawler(w, lambda: os.remove(spare))
        for pid in w.monitors():
            w.kill(pid)
        size, saved = side_file_urls(w)
        check(size is None or size % RECORD == 0,
              "SideFile.dat is %d bytes: no whole number of %d-byte records" % (size or 0, RECORD))
        problem = whole_queue_files(w, tries=1) or torn_error_log(w)
        check(problem is None, problem)
        check(not [u for u in saved if u not in set(pages_urls)], "SideFile.dat holds records of no page handed out: %s"
              % [u for u in saved if u not in set(pages_urls)][:3])

        # Every page handed out went somewhere or was named in a log line.
        batches = len([n for n in os.listdir(w.url_server_dir()) if n.startswith("request-") and n.endswith(".bin")])
        handed = pages_urls[:batches * BATCH]
        messages = w.all_log_messages()
        accounted = queued_or_delivered(w) | set(saved)
        unaccounted = [u for u in handed if u not in accounted]
        # A page that waited for its entry is not lost by that.
        named = {u.rstrip(":") for m in messages if not CANT_QUEUE.match(m) for u in URL.findall(m)}
        silent = [u for u in unaccounted if u not in named]
        check(not silent, "%d pages handed out were lost without a log line: %s" % (len(silent), silent[:5]))
        waited = waited_urls(messages)
        stderr_lines = len(w.stderr_log_messages())
        print("disk full after %d entries; %d read rounds found nothing corrupted; %d pages waited "
              "(%d error-log lines went to standard error); %d entries delivered; SideFile.dat %s with %d pages "
              "at the stop; %d of %d pages handed out were lost with a log line"
              % (full_entries, rounds, len(waited), stderr_lines, len(w.delivered_urls()),
                 "absent" if size is None else "of %d bytes" % size, len(saved), len(unaccounted), len(handed)))
        held = True
    finally:
        w.close()
        # A crawler killed by close() may still hold its files for a moment.
        wait_until(lambda: not w.crawlers() and not w.monitors(), 10)
        if not held:
            shutil.copytree(work, os.path.join(side, "work"), ignore=shutil.ignore_patterns("filler"))
        subprocess.run(["umount", work], check=False)
        shutil.rmtree(work, ignore_errors=True)
        if held:
            shutil.rmtree(side, ignore_errors=True)
        else:
            print("stand-ins' records and the programs' output kept in %s" % side)


if __name__ == "__main__":
    sys.exit(faultlib.main(run))
