#!/usr/bin/env python3
"""Writes the benchmark report from the raw outputs that scripts/bench.sh keeps.

    bench_report.py RAW_DIR REPORT
    bench_report.py --machine        prints this machine, as a raw output records it

RAW_DIR holds one <benchmark>.txt per benchmark: its output, with header and
footer lines starting with "# " (command, start time, load, source revision,
machine, exit status). A benchmark whose output is missing or not understood
gets a line saying so in the report; the report is written all the same. Every
table names the machine of the figures in it, so outputs measured on several
machines never share one.
"""
import os
import platform
import re
import sys


class NotUnderstood(Exception):
    pass


class NoPages(Exception):
    """The benchmark ran but had no pages to measure."""


def find(pattern, text, flags=re.M):
    m = re.search(pattern, text, flags)
    if m is None:
        raise NotUnderstood(pattern)
    return m


def num(text):
    return float(text)


def fmt(value, digits=1):
    return f"{value:,.{digits}f}"


def ratio(value):
    return f"{value:.2f}"


class Bench:
    """One benchmark: what it measures, how to read its output."""

    name = ""
    measures = ""

    def __init__(self, raw_dir):
        self.path = os.path.join(raw_dir, self.name + ".txt")
        self.header = {}
        self.output = ""
        self.figures = []  # (what, figure, baseline, ratio)
        # (goal, measured, met): met is True or False, or why the goal was not
        # judged on these figures.
        self.goals = []
        self.pages = None  # the pages every figure was measured on, where one set serves all
        self.notes = []
        self.problem = None
        if not os.path.exists(self.path):
            self.problem = "not run (no raw output)"
            return
        lines = open(self.path, encoding="utf-8", errors="replace").read().splitlines()
        for line in lines:
            m = re.match(r"# (command|started|source|machine|finished[^:]*?)[: ]\s*(.*)", line)
            if m:
                self.header[m.group(1).split()[0]] = m.group(2)
        self.output = "\n".join(line for line in lines if not line.startswith("# "))
        finished = self.header.get("finished", "")
        status = re.search(r"exit status (\d+)", finished)
        try:
            self.parse(self.output)
        except NoPages as e:
            self.problem = f"no pages to measure ({e})"
        except (NotUnderstood, ValueError, ZeroDivisionError) as e:
            self.problem = f"output not understood ({e}); see the raw output"
        if status is None:
            self.notes.append("The run did not finish (no exit status in the raw output).")
        elif status.group(1) != "0":
            self.notes.append(f"The program ended with exit status {status.group(1)}.")

    def parse(self, text):
        raise NotImplementedError

    def machine(self):
        return self.header.get("machine", "a machine its raw output does not name")


class XmlParse(Bench):
    name = "xml_parse_bench"
    measures = (
        "Parse throughput of a URL-server reply of 500 pages (about 150 KB): `TXmlDocument.ReadFromString` "
        "beside libxml2's `xmlReadMemory` on the same bytes; each builds and frees a whole tree per parse, "
        "best of several rounds."
    )

    def parse(self, text):
        ours = num(find(r"TXmlDocument\.ReadFromString:\s+([\d.]+) MB/s", text).group(1))
        theirs = num(find(r"libxml2 xmlReadMemory:\s+([\d.]+) MB/s", text).group(1))
        r = num(find(r"ratio \(ours / libxml2\):\s+([\d.]+)", text).group(1))
        self.figures.append(("reply parse, MB/s", fmt(ours), f"libxml2 {fmt(theirs)}", ratio(r)))
        self.goals.append(("A URL-server reply parses at least half as fast as with libxml2", f"{ratio(r)} of libxml2", r >= 0.5))


class Compression(Bench):
    name = "compression_bench"
    measures = (
        "`CompressString` (level index 2, zlib's default level) beside zlib's own `compress2` at the same level "
        "on the same pages, input MB/s. The pages are the HTML files of a folder, python3.11-doc's unless the "
        "benchmark is given another; where it holds none the benchmark compresses markup of its own, on which "
        "the goal, set for real pages, is not judged."
    )

    def parse(self, text):
        corpus = find(r"^corpus: (.*)$", text).group(1)
        ours = find(r"CompressString\(level index 2\): ([\d.]+) MB/s, (\d+) bytes out", text)
        theirs = find(r"compress2\(Z_DEFAULT_COMPRESSION\): ([\d.]+) MB/s, (\d+) bytes out", text)
        r = num(find(r"CompressString / compress2 speed: ([\d.]+)", text).group(1))
        real = not corpus.startswith("synthetic")
        self.pages = f"the HTML files under {corpus}" if real else corpus
        pages = "real pages" if real else "synthetic markup"
        self.figures.append((f"page compression, {pages}, MB/s", fmt(num(ours.group(1))),
                             f"compress2 {fmt(num(theirs.group(1)))}", ratio(r)))
        if ours.group(2) != theirs.group(2):
            self.notes.append(f"The outputs differ in size: {ours.group(2)} bytes against {theirs.group(2)}.")
        self.goals.append(("Compression of real pages runs within 5% of compress2's speed",
                           f"{ratio(r)} of compress2 on {pages}",
                           r >= 0.95 if real else "not judged: measured on the benchmark's own markup, "
                           "not on real pages"))


class SideFile(Bench):
    name = "side_file_bench"
    measures = (
        "Entries per second that 100 download threads append to the side-file queue (pages of 20 KB compressed, "
        "thumbnails of 5 KB, 10 storage servers), beside one thread doing the same file work with no queue and no "
        "lock, and the file work under one plain mutex from 100 threads; each timed until the last write returned "
        "(page cache) and until the files are on the disk (syncfs), best of 3."
    )

    def row(self, label, text):
        m = find(re.escape(label) + r"\s+(\d+) entries/s \(\s*([\d.]+) MB/s\) cached,\s+(\d+) entries/s \(\s*([\d.]+) MB/s\) on disk", text)
        return num(m.group(1)), num(m.group(3))

    def parse(self, text):
        queue = self.row("AddToSideFileQueue, 100 threads:", text)
        locked = self.row("file work under one mutex, 100 threads:", text)
        single = self.row("file work, 1 thread, no lock:", text)
        for i, where in enumerate(("cached", "on disk")):
            self.figures.append((f"100 threads appending, entries/s ({where})", fmt(queue[i], 0),
                                 f"1 thread, no lock {fmt(single[i], 0)}", ratio(queue[i] / single[i])))
        self.notes.append(
            f"The same file work under one plain mutex from 100 threads: {fmt(locked[0], 0)} entries/s cached, "
            f"{fmt(locked[1], 0)} on disk ({ratio(locked[1] / single[1])} of one thread).")
        self.notes.append("On a machine shared with other work these ratios vary by about a tenth from run to run.")
        r = queue[1] / single[1]
        self.goals.append(("Appends from 100 threads are limited by the disk, not by the queue's lock: on disk at least "
                           "90% of one thread writing without any lock", f"{ratio(r)}", r >= 0.9))


class CleanHtml(Bench):
    name = "clean_html_bench"
    measures = (
        "`TCleanHtml.Clean` beside `pcre2_substitute` with the same four patterns and options on the same input, "
        "MB/s, on typical pages (python3.11-doc, 10 KB to 200 KB, with and without scripts, objects and frames, "
        "and synthetic pages) and on a 5 MB page; then one Clean of 5 MB pages built to be slow."
    )

    def parse(self, text):
        rows = re.findall(r"^(\S.*?)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", text, re.M)
        if not rows:
            raise NotUnderstood("no corpus rows")
        # The 5 MB page is made of the real pages, or of the synthetic ones
        # when the real ones are missing (their rows are then skipped).
        no_real = re.search(r"^\(no pages of .* real-page rows skipped", text, re.M) is not None
        worst_ratio = None
        for corpus, _pages, _mb, ours, theirs, r in rows:
            if corpus == "5 MB page":
                corpus += " of synthetic markup" if no_real else " of python docs"
            self.figures.append((f"Clean, {corpus}, MB/s", fmt(num(ours)), f"pcre2_substitute {fmt(num(theirs))}", r))
            worst_ratio = num(r) if worst_ratio is None else min(worst_ratio, num(r))
        worst = num(find(r"^worst\s+([\d.]+)$", text).group(1))
        self.figures.append(("slowest Clean of a 5 MB page built to be slow, ms", fmt(worst), "", ""))
        if "JIT NOT available" in text:
            self.notes.append("PCRE2 has no JIT here: the worst pages take time that grows with the square of their size.")
        if no_real:
            self.notes.append("The real pages (python3.11-doc) were missing: every row is of synthetic markup.")
        self.goals.append(("Cleaning runs within 20% of pcre2_substitute's speed on every corpus",
                           f"lowest {ratio(worst_ratio)}" + (" (synthetic markup only)" if no_real else ""),
                           "not judged: python3.11-doc was missing" if no_real else worst_ratio >= 0.8))


class Link(Bench):
    name = "tov_link_bench"
    measures = (
        "The link between monitor and crawler: round trip of one message record between two processes "
        "(monitor to client and back, 20000 trips), and the rate at which 100 threads of one process call "
        "`SignalMonitor`, each call waiting until the one before was taken. No outside baseline."
    )

    def parse(self, text):
        m = find(r"(\d+) trips, mean ([\d.]+) us, median ([\d.]+) us, p99 ([\d.]+) us, min ([\d.]+) us", text)
        mean, median, p99 = num(m.group(2)), num(m.group(3)), num(m.group(4))
        s = find(r"SignalMonitor from (\d+) threads of one process: (\d+) calls in ([\d.]+) s = (\d+) calls/s; "
                 r"the monitor process was handed (\d+)", text)
        self.figures.append(("round trip, median us", fmt(median), "", ""))
        self.figures.append(("round trip, mean / p99 us", f"{fmt(mean)} / {fmt(p99)}", "", ""))
        self.figures.append(("SignalMonitor from 100 threads, calls/s", fmt(num(s.group(4)), 0), "", ""))
        self.goals.append(("A message record's round trip stays well under a millisecond (median and p99 under 1 ms)",
                           f"median {fmt(median)} us, p99 {fmt(p99)} us", median < 1000 and p99 < 1000))
        self.goals.append(("Every SignalMonitor call reaches the monitor", f"{s.group(5)} of {s.group(2)}",
                           s.group(5) == s.group(2)))


class Thumbnail(Bench):
    name = "thumbnail_bench"
    measures = (
        "Wall and CPU milliseconds per thumbnail over the pages of 10 KB to 200 KB of python3.11-doc, with one "
        "thread and with 8 (CPU time counts the render helpers, where the layout is done), the memory a "
        "rendering thread holds, and memory sampled over 10000 renders with 8 threads. No outside baseline."
    )

    def parse(self, text):
        skipped = re.search(r"^thumbnail_bench: no pages of .*; skipped$", text, re.M)
        if skipped:
            raise NoPages("python3.11-doc was missing")
        corpus = find(r"^corpus: (\d+ pages under .*)$", text).group(1)
        spread = r"\s+median\s+([\d.]+)\s+p90\s+([\d.]+)\s+p99\s+([\d.]+)\s+max\s+([\d.]+)"
        one = find(r"^one thread, (\d+) pages \((\d+) without picture\)", text)
        one_wall = find(r"^one thread.*\n\s+wall ms per thumbnail" + spread, text)
        one_cpu = find(r"^one thread.*\n.*\n\s+CPU ms per thumbnail" + spread, text)
        eight = find(r"^8 threads, (\d+) helpers, (\d+) pages \((\d+) without picture\): (\d+) thumbnails/s", text)
        eight_wall = find(r"^8 threads.*\n\s+wall ms per thumbnail" + spread, text)
        eight_cpu = num(find(r"CPU ms per thumbnail\s+mean\s+([\d.]+)", text).group(1))
        per_thread = num(find(r"each rendering thread holds ([\d.]+) KB", text).group(1))
        samples = re.findall(r"after\s+(\d+): this process RSS\s+(\d+) KB, heap in use\s+(\d+) KB \| (\d+) helpers: "
                             r"PSS\s+(\d+) KB, RSS\s+(\d+) KB", text)
        if len(samples) < 4:
            raise NotUnderstood("fewer than 4 memory samples")
        self.pages = f"{corpus} (the .html files of 10 KB to 200 KB)"
        self.figures.append(("one thread: wall ms per thumbnail, median (p90, p99)",
                             f"{one_wall.group(1)} ({one_wall.group(2)}, {one_wall.group(3)})", "", ""))
        self.figures.append(("one thread: CPU ms per thumbnail, median", one_cpu.group(1), "", ""))
        self.figures.append(("8 threads: wall ms per thumbnail, median (p90, p99)",
                             f"{eight_wall.group(1)} ({eight_wall.group(2)}, {eight_wall.group(3)})", "", ""))
        self.figures.append(("8 threads: thumbnails/s; CPU ms per thumbnail, mean", f"{eight.group(4)}; {fmt(eight_cpu, 2)}", "", ""))
        self.figures.append(("heap a rendering thread holds in the crawler, KB", fmt(per_thread), "", ""))
        first, last = samples[0], samples[-1]
        self.figures.append((f"crawler process RSS after {first[0]} / {last[0]} renders, KB", f"{first[1]} / {last[1]}", "", ""))
        self.figures.append((f"render helpers PSS after {first[0]} / {last[0]} renders, KB", f"{first[4]} / {last[4]}", "", ""))
        missing = int(one.group(2)) + int(eight.group(3))
        if missing:
            self.notes.append(f"{missing} renders gave no picture.")
        medians = [num(one_wall.group(1)), num(one_cpu.group(1)), num(eight_wall.group(1))]
        self.goals.append(("A thumbnail takes under 20 ms at the median (wall and CPU with one thread, wall with 8)",
                           " / ".join(f"{m:g}" for m in medians) + " ms", max(medians) < 20))

        # Growth: the last three samples against the first three.
        def mean(col, rows):
            return sum(int(r[col]) for r in rows) / len(rows)
        head, tail = samples[:3], samples[-3:]
        grew = []
        for col, what, allowed in ((1, "crawler RSS", 1.02), (2, "crawler heap", 1.02), (4, "helpers PSS", 1.05)):
            change = mean(col, tail) / mean(col, head)
            grew.append((what, change, change <= allowed))
        self.goals.append((f"Memory does not grow over {last[0]} renders (last three samples against the first three: "
                           "crawler within 2%, helpers within 5%)",
                           ", ".join(f"{w} {(c - 1) * 100:+.1f}%" for w, c, _ in grew), all(ok for _, _, ok in grew)))


class WorstPages(Bench):
    name = "thumbnail_worst_pages"
    measures = (
        "The worst pages we could build for the layout engine (deep nesting, huge tables, megabytes of text, "
        "extreme styles), each through the thumbnail maker as a download thread uses it, then all at once from "
        "8 threads: how long the call holds the thread. No outside baseline."
    )

    def parse(self, text):
        limit = int(find(r"^time limit (\d+) ms", text).group(1))
        rows = re.findall(r"^(\S.*?)\s+(\d+)\s+(\d+)\s+(\d+)\s+(killed|\d+)\s+(picture, \d+ B|no picture)$", text, re.M)
        if not rows:
            raise NotUnderstood("no page rows")
        killed = sum(1 for r in rows if r[4] == "killed")
        longest_one = max(rows, key=lambda r: int(r[3]))
        together = find(r"all (\d+) pages from 8 threads at once: (\d+) ms in all, longest call (\d+) ms", text)
        longest = max(int(longest_one[3]), int(together.group(3)))
        self.figures.append((f"pages built to be slow; pictures dropped at the {limit} ms limit",
                             f"{len(rows)}; {killed} dropped", "", ""))
        self.figures.append(("longest call, one page at a time, ms", f"{longest_one[3]} ({longest_one[0]})", "", ""))
        self.figures.append(("longest call, all from 8 threads at once, ms", together.group(3), "", ""))
        self.goals.append((f"No page holds a download thread for much more than {limit / 1000:g} s (at most 2.5 s)",
                           f"longest {longest} ms", longest <= 2500))


class MonitorCpu(Bench):
    name = "monitor_cpu_bench"
    measures = (
        "CPU time of Tovwatch while it charts a crawl: this program plays the crawler over the real link, "
        "reporting 20 pages a second with a heartbeat after each; user and system time of the monitor after a "
        "warm-up, on Qt's offscreen platform and on an Xvfb display. No outside baseline."
    )

    def parse(self, text):
        rows = re.findall(r"^(offscreen platform|X display .*?):\s+([\d.]+) s,\s+(\d+) page reports.*?= ([\d.]+)% of one core "
                          r"\((\d+) ms per minute\)", text, re.M)
        if not rows:
            raise NotUnderstood("no measured run")
        for where, seconds, pages, share, per_minute in rows:
            where = "Xvfb" if where.startswith("X display") else "offscreen"
            self.figures.append((f"monitor CPU, {where}, % of one core (ms per minute)", f"{share} ({per_minute})", "", ""))
        if "Xvfb not found" in text:
            self.notes.append("Xvfb was not found: no run on an X display.")
        worst = max(num(r[3]) for r in rows)
        self.goals.append(("Tovwatch charting a crawl uses under 1% of one core", f"at most {worst:g}%", worst < 1))


class Crawl(Bench):
    name = "crawl_bench"
    measures = (
        "Pages per second that the download threads fetch, compress and queue, with 10 and 100 threads, "
        "thumbnails off and on, beside a plain libcurl multi-handle fetch of the same URLs at the same "
        "concurrency and with the same request headers (this machine's fetch limit); CPU ms per page; peak resident memory. Two local sites of "
        "2000 pages of 20 KB in a private network namespace: the tests' stand-in web site (Python) and a small "
        "C++ server that costs next to nothing, which shows the engine's own ceiling. Steady state: the threads "
        "are past their staggered start before any page is queued, the page queue is kept topped up so no "
        "thread meets an empty queue and its 10-second poll, and the first 10% of the pages are a warm-up."
    )

    def parse(self, text):
        runs = re.findall(r"^site=(\S+) (plain|engine) threads=(\d+) thumbnails=(on|off) pages=(\d+) seconds=([\d.]+) "
                          r"rate=([\d.]+) cpu_ms_per_page=([\d.]+) peak_rss_mb=([\d.]+) helpers_peak_rss_mb=([\d.]+)"
                          r"(?: helpers_pss_mb=([\d.]+))?(.*)$",
                          text, re.M)
        if not runs:
            raise NotUnderstood("no runs")
        # Repeated runs of one configuration: the one of median rate stands for them.
        grouped = {}
        for r in runs:
            grouped.setdefault((r[0], r[1], int(r[2]), r[3]), []).append(r)
        by = {k: sorted(v, key=lambda r: num(r[6]))[len(v) // 2] for k, v in grouped.items()}
        rounds = max(len(v) for v in grouped.values())
        if rounds > 1:
            spread = "; ".join(
                f"{k[0]} {k[1]} {k[2]} threads {fmt(min(num(r[6]) for r in v))}-{fmt(max(num(r[6]) for r in v))}"
                for k, v in grouped.items() if len(v) > 1)
            self.notes.append(f"Each plain and engine run with thumbnails off was made {rounds} times, taking "
                              "turns; the figures are those of the run of median rate. The rates of the "
                              f"rounds, pages/s: {spread}.")
        for r in runs:
            if "FAILED" in r[11]:
                self.notes.append(f"site {r[0]}, {r[1]}, {r[2]} threads, thumbnails {r[3]}:{r[11]}")
        deflate = re.search(r"deflate alone: cpu_ms_per_page=([\d.]+)", text)
        if deflate:
            self.notes.append(f"Deflate alone costs {deflate.group(1)} CPU ms per page.")
        for site in dict.fromkeys(r[0] for r in runs):
            for threads in sorted({int(r[2]) for r in runs if r[0] == site}):
                plain = by.get((site, "plain", threads, "off"))
                if plain is None:
                    continue
                p_rate = num(plain[6])
                for thumbs in ("off", "on"):
                    eng = by.get((site, "engine", threads, thumbs))
                    if eng is None:
                        continue
                    r = num(eng[6]) / p_rate
                    self.figures.append((
                        f"{site} site, {threads} threads, thumbnails {thumbs}: pages/s (CPU ms per page)",
                        f"{fmt(num(eng[6]))} ({eng[7]})", f"plain fetch {fmt(p_rate)} ({plain[7]})", ratio(r)))
                    if thumbs == "off":
                        self.goals.append((f"With thumbnails off the download threads reach at least 80% of the plain "
                                           f"fetch rate ({site} site, {threads} threads)", ratio(r), r >= 0.8))
        fast_plain = by.get(("fast", "plain", max(int(r[2]) for r in runs), "off"))
        fast_engine = by.get(("fast", "engine", max(int(r[2]) for r in runs), "off"))
        if fast_plain and fast_engine and num(fast_engine[6]) < 0.8 * num(fast_plain[6]):
            self.notes.append(
                f"On the fast site a page costs the plain fetch {fast_plain[7]} CPU ms and the download threads "
                f"{fast_engine[7]}{f' (deflate alone {deflate.group(1)})' if deflate else ''}: there the threads' own "
                "work on each page (compressing it, queueing it, reporting it), not the fetch, sets the rate.")
        engines100 = [r for r in by.values() if r[1] == "engine" and r[2] == "100"]
        if engines100:
            peak = max(engines100, key=lambda r: num(r[8]))
            self.figures.append(("peak resident memory of the crawler process with 100 threads, MB",
                                 f"{peak[8]} (thumbnails {peak[3]})", "", ""))
            self.goals.append(("The crawler stays under 300 MB resident with 100 threads", f"{peak[8]} MB",
                               num(peak[8]) < 300))
            with_helpers = [r for r in engines100 if num(r[9]) > 0]
            if with_helpers:
                h = max(with_helpers, key=lambda r: num(r[8]) + num(r[9]))
                total = num(h[8]) + num(h[9])
                self.figures.append(("the same with its render helpers' peak RSS added (shared libraries counted "
                                     "once per helper), MB", f"{h[8]} + {h[9]} = {fmt(total)}", "", ""))
                if h[10]:
                    pss = num(h[8]) + num(h[10])
                    self.figures.append(("the same with the helpers' proportional set size (shared pages counted "
                                         "once), MB", f"{h[8]} + {h[10]} = {fmt(pss)}", "", ""))
                    self.goals.append(("The crawler with its render helpers stays under 300 MB (helpers by "
                                       "proportional set size)", f"{fmt(pss)} MB", pss < 300))
                else:
                    self.goals.append(("The same with the render helpers' peak RSS added (RSS counts the shared "
                                       "libraries once per helper)", f"{fmt(total)} MB", total < 300))


BENCHES = [XmlParse, Compression, SideFile, CleanHtml, Link, Thumbnail, WorstPages, MonitorCpu, Crawl]


def machine():
    model = "unknown CPU"
    memory = ""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal:"):
                memory = f", {int(line.split()[1]) / 1024 / 1024:.0f} GB of memory"
                break
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0))
    return f"{cores} cores (nproc), {model}{memory}, Linux {platform.release()}"


def main():
    if sys.argv[1:] == ["--machine"]:
        print(machine())
        return
    if len(sys.argv) != 3:
        sys.exit("usage: bench_report.py RAW_DIR REPORT | bench_report.py --machine")
    raw_dir, report = sys.argv[1], sys.argv[2]
    benches = [cls(raw_dir) for cls in BENCHES]
    rel_raw = os.path.relpath(raw_dir, os.path.dirname(os.path.abspath(report)))

    out = []
    out.append("# Benchmarks\n")
    out.append("Every ratio sets a figure against its baseline measured in the same run, so on the same machine; "
               "each table names the machine its figures were measured on. Other work on the machine during a run "
               "lowers the figures; the start of each raw output gives the load average.\n")
    out.append("Reproduce with `scripts/bench.sh` (all benchmarks, about 9 minutes on 8 cores) or "
               "`scripts/bench.sh NAME` (one benchmark, say `crawl_bench`; the report is written again from every "
               f"raw output kept). The raw outputs are in [{rel_raw}/]({rel_raw}/).\n")

    out.append("## Goals\n")
    machines = []
    for b in benches:
        if not b.problem and b.machine() not in machines:
            machines.append(b.machine())
    for m in machines:
        ran = [b for b in benches if not b.problem and b.machine() == m]
        out.append(f"Measured on {m}, {when(ran)}:\n")
        out.append("| benchmark | goal | measured | met |")
        out.append("|---|---|---|---|")
        for b in ran:
            for goal, measured, met in b.goals:
                out.append(f"| `{b.name}` | {goal} | {measured} | {verdict(met)} |")
        out.append("")
    missing = [b for b in benches if b.problem]
    if missing:
        out.append("No figures: " + "; ".join(f"`{b.name}`, {b.problem}" for b in missing) + ".\n")

    out.append("## Figures\n")
    for b in benches:
        out.append(f"### {b.name}\n")
        out.append(b.measures + "\n")
        if b.problem:
            out.append(f"No figures: {b.problem}.\n")
        if b.figures:
            out.append(f"Measured on {b.machine()}, {when([b])}.\n")
            if b.pages:
                out.append(f"Pages: {b.pages}.\n")
            has_baseline = any(f[2] for f in b.figures)
            if has_baseline:
                out.append("| figure | value | baseline, same run | ratio |")
                out.append("|---|---|---|---|")
                for what, value, baseline, r in b.figures:
                    out.append(f"| {what} | {value} | {baseline} | {r} |")
            else:
                out.append("| figure | value |")
                out.append("|---|---|")
                for what, value, _, _ in b.figures:
                    out.append(f"| {what} | {value} |")
            out.append("")
        for note in b.notes:
            out.append(note + "\n")
        out.append(f"Raw output: [{b.name}.txt]({rel_raw}/{b.name}.txt).\n")

    with open(report, "w", encoding="utf-8") as f:
        f.write("\n".join(out).rstrip() + "\n")


def verdict(met):
    if isinstance(met, str):
        return met
    return "met" if met else "**not met**"


def when(benches):
    """When and from which source the benchmarks ran, as their raw outputs say."""
    started = sorted(b.header["started"].split(",")[0] for b in benches if "started" in b.header)
    sources = sorted({b.header["source"] for b in benches if "source" in b.header})
    text = started[0] if started else "at an unrecorded time"
    if len(started) > 1 and started[-1] != started[0]:
        text += f" to {started[-1]}"
    return f"{text}, from source {', '.join(sources) or 'unknown'}"


if __name__ == "__main__":
    main()
