#!/usr/bin/env python3
"""The benchmark report: every figure names the pages it was measured on, a
goal set for the real pages is judged only on them, and docs/benchmarks.md is
what the script writes from the raw outputs kept beside it."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "bench_report.py")

HEADER = """# command: build/bin/{name}
# started: 2026-01-02 03:04:05 UTC, load average 0.10 0.10 0.10
# source: abc1234
# machine: a test machine
"""
FOOTER = "# finished after 10 s, exit status 0\n"

COMPRESSION = """corpus: {corpus}, 400 pages, 24.0 MB
CompressString(level index 2): 300.0 MB/s, 1000 bytes out
compress2(Z_DEFAULT_COMPRESSION): 175.0 MB/s, 1000 bytes out
CompressString / compress2 speed: {ratio}
"""

CLEAN_HTML = """PCRE2 10.42 2022-12-11, JIT available

corpus                              pages       MB   Clean MB/s   pcre2_substitute    ratio
synthetic, scripts+objects+frames      20     2.11        769.3              832.5     0.92
synthetic, nothing to remove           20     2.10       4035.0             4296.0     0.94
{real}
5 MB page                               1     5.24       1071.5             1069.4     1.00

One Clean of a 5242880-byte page built to be slow (median)
page                                         ms       MB/s
unclosed <OBJECT> tags                    12.41      422.6
worst                                     12.41
"""

THUMBNAIL_SKIPPED = (
    "thumbnail_bench: no pages of 10 KB to 200 KB under /nowhere (apt-get install python3.11-doc); skipped\n")


def report(raws):
    """The report written from raw outputs {name: output}."""
    with tempfile.TemporaryDirectory() as tmp:
        raw_dir = os.path.join(tmp, "benchmarks")
        os.mkdir(raw_dir)
        for name, output in raws.items():
            with open(os.path.join(raw_dir, name + ".txt"), "w", encoding="utf-8") as f:
                f.write(HEADER.format(name=name) + output + FOOTER)
        path = os.path.join(tmp, "benchmarks.md")
        subprocess.run([sys.executable, SCRIPT, raw_dir, path], check=True)
        with open(path, encoding="utf-8") as f:
            return f.read()


def lines_with(text, *words):
    return [line for line in text.splitlines() if all(w in line for w in words)]


class PagesNamed(unittest.TestCase):
    def test_compression_goal_is_judged_only_on_the_real_pages(self):
        real = "/usr/share/doc/python3.11-doc/html"
        # corpus line, ratio, what the goal row's verdict reads, the pages named
        cases = [
            (real, "0.990", "| met |", f"Pages: the HTML files under {real}, 400 pages"),
            (real, "0.900", "| **not met** |", f"Pages: the HTML files under {real}, 400 pages"),
            ("synthetic markup of this benchmark (no .html file under /nowhere)", "1.710", "| not judged: ",
             "Pages: synthetic markup of this benchmark (no .html file under /nowhere), 400 pages"),
            # as the benchmark named its own pages before
            ("synthetic markup", "1.710", "| not judged: ", "Pages: synthetic markup, 400 pages"),
        ]
        for corpus, ratio, verdict, pages in cases:
            with self.subTest(corpus=corpus, ratio=ratio):
                text = report({"compression_bench": COMPRESSION.format(corpus=corpus, ratio=ratio)})
                goal = lines_with(text, "| `compression_bench` |")
                self.assertEqual(len(goal), 1, text)
                self.assertIn(verdict, goal[0])
                self.assertIn(pages, text)
                synthetic = corpus.startswith("synthetic")
                figure = lines_with(text, "| page compression, ")
                self.assertEqual(len(figure), 1, text)
                self.assertIn("synthetic markup" if synthetic else "real pages", figure[0])
                self.assertIn("synthetic markup" if synthetic else "real pages", goal[0])

    def test_clean_html_is_judged_only_with_the_real_pages(self):
        # real-page rows, what the goal row ends with, what the 5 MB page is made of
        cases = [
            ("python docs (scripts)                 464    28.43       2193.6             2413.2     0.85",
             "| lowest 0.85 | met |", "python docs"),
            ("python docs (scripts)                 464    28.43       2193.6             2413.2     0.70",
             "| lowest 0.70 | **not met** |", "python docs"),
            ("(no pages of 10 KB to 200 KB under /nowhere: real-page rows skipped; apt-get install python3.11-doc)",
             "| lowest 0.92 (synthetic markup only) | not judged: python3.11-doc was missing |", "synthetic markup"),
        ]
        for real, verdict, five_mb in cases:
            with self.subTest(real=real):
                text = report({"clean_html_bench": CLEAN_HTML.format(real=real)})
                goal = lines_with(text, "| `clean_html_bench` |")
                self.assertEqual(len(goal), 1, text)
                self.assertTrue(goal[0].endswith(verdict), goal[0])
                self.assertEqual(len(lines_with(text, f"| Clean, 5 MB page of {five_mb}, MB/s |")), 1, text)

    def test_thumbnails_without_pages_say_so(self):
        text = report({"thumbnail_bench": THUMBNAIL_SKIPPED})
        self.assertIn("`thumbnail_bench`, no pages to measure (python3.11-doc was missing)", text)
        self.assertNotIn("not understood", text)


class CommittedReport(unittest.TestCase):
    def test_report_is_what_its_raw_outputs_give(self):
        with tempfile.TemporaryDirectory() as tmp:
            raw_dir = os.path.join(tmp, "benchmarks")
            shutil.copytree(os.path.join(ROOT, "docs", "benchmarks"), raw_dir)
            path = os.path.join(tmp, "benchmarks.md")
            subprocess.run([sys.executable, SCRIPT, raw_dir, path], check=True)
            with open(path, encoding="utf-8") as f:
                written = f.read()
        with open(os.path.join(ROOT, "docs", "benchmarks.md"), encoding="utf-8") as f:
            committed = f.read()
        self.assertEqual(committed, written,
                         "docs/benchmarks.md is not what scripts/bench_report.py writes from docs/benchmarks/: "
                         "python3 scripts/bench_report.py docs/benchmarks docs/benchmarks.md")


if __name__ == "__main__":
    unittest.main()
