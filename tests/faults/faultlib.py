"""What the fault cases share: a private network and process namespace, a
prepared work directory, the stand-in servers, the two real programs, and
readers for what the crawler queued and the storage server received.

A case script calls enter_namespace() first: run from a plain shell it
re-executes itself through tests/netns_run.sh --pid, so port 8080, every
127.0.0.x address and the process table are its own, and whatever it leaves
running ends with it. Programs come from $TOV_BIN_DIR (else build/bin).
Random choices come from the random module, seeded by main() with a seed it
prints (--seed S or $TOV_FAULT_SEED give one).
"""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts", "records"))
import config_record  # noqa: E402
import sidefiles  # noqa: E402

STANDINS = os.path.join(ROOT, "tests", "standins")
URL_SERVER = "127.0.0.1"
SITE = "127.0.0.2"
STORAGE = "127.0.0.3"


def enter_namespace():
    if os.environ.get("TOV_FAULT_NAMESPACE") == "1":
        return
    env = dict(os.environ, TOV_FAULT_NAMESPACE="1")
    args = [os.path.join(ROOT, "tests", "netns_run.sh"), "--pid", sys.executable] + sys.argv
    os.execve(args[0], args, env)


def limit_send_buffers(max_bytes):
    """Caps the TCP send buffers of the case's own network namespace, so that
    a sender's writes wait on a slow reader after max_bytes rather than after
    the megabytes that loopback's defaults let the system take."""
    with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
        f.write("4096 16384 %d" % max_bytes)


def bin_dir():
    return os.environ.get("TOV_BIN_DIR") or os.path.join(ROOT, "build", "bin")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def process_ids(name):
    """Live (not zombie) processes of this namespace whose command is name,
    leaving out the short-lived copy a program is while it starts a child
    (a process of that name whose parent has the same name)."""
    procs = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.find("(") + 1:stat.rfind(")")]
        fields = stat[stat.rfind(")") + 2:].split()
        procs[int(entry)] = (comm, fields[0], int(fields[1]))
    return [pid for pid, (comm, state, ppid) in procs.items()
            if comm == name and state not in ("Z", "X") and procs.get(ppid, ("",))[0] != name]


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class World:
    """One work directory with its stand-ins and programs; close() ends them."""

    def __init__(self, name, work=None, crawl_when_idle=10, restart_minutes=0):
        self.name = name
        self.work = work or tempfile.mkdtemp(prefix="tov-fault-%s." % name)
        subprocess.run([os.path.join(ROOT, "scripts", "prepare-workdir.sh"), self.work], check=True,
                       stdout=subprocess.DEVNULL)
        self.set_config(crawl_when_idle=crawl_when_idle, restart_minutes=restart_minutes)
        self.env = dict(os.environ, TOV_IPC_DIR=os.path.join(self.work, "ipc"), QT_QPA_PLATFORM="offscreen",
                        LC_ALL="C")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.children = []
        self.storage_process = None
        self.out = open(os.path.join(self.work, "programs.out"), "ab")

    # ---- settings ----
    def set_config(self, crawl_when_idle=10, restart_minutes=0):
        """Threads at once: an idle time to change of -1 makes the monitor's
        first tick switch to crawl_when_idle whatever the desktop says."""
        config_record.update(os.path.join(self.work, "Config.bin"), CrawlWhenUse=1, CrawlWhenIdle=crawl_when_idle,
                             IdleTimeToChange=-1, MaxCrawlers=max(20, crawl_when_idle),
                             CrawlerRestartTime=restart_minutes)

    # ---- stand-ins ----
    def _standin(self, script, directory, args):
        os.makedirs(directory, exist_ok=True)
        ready = os.path.join(directory, "ready")
        if os.path.exists(ready):
            os.remove(ready)
        p = subprocess.Popen([sys.executable, os.path.join(STANDINS, script), "--dir", directory] + args,
                             stdout=self.out, stderr=self.out)
        self.children.append(p)
        check(wait_until(lambda: os.path.exists(ready), 20), "%s did not start" % script)
        return p

    def leave_queue_file(self, address, data):
        """sqtemp/<address> as an earlier run would have left it."""
        with open(os.path.join(self.work, "sqtemp", address), "wb") as f:
            f.write(data)

    def write_pages(self, lines):
        path = os.path.join(self.work, "pages.txt")
        with open(path, "w") as f:
            for line in lines:
                f.write(line + "\n")
        return path

    def start_url_server(self, pages=None, args=()):
        extra = list(args)
        if pages is not None:
            extra += ["--pages", self.write_pages(pages), "--storage", STORAGE]
        return self._standin("url_server.py", os.path.join(self.work, "url-server"), extra)

    def start_site(self, args=()):
        return self._standin("web_site.py", os.path.join(self.work, "web-site"), ["--addr", SITE] + list(args))

    def storage_dir(self):
        return os.path.join(self.work, "storage")

    def start_storage(self, args=()):
        self.storage_process = self._standin("storage_server.py", self.storage_dir(),
                                             ["--addr", STORAGE] + list(args))
        return self.storage_process

    def stop_storage(self):
        if self.storage_process is not None:
            self.storage_process.terminate()
            self.storage_process.wait()
            self.children.remove(self.storage_process)
            self.storage_process = None

    # ---- programs ----
    def start_program(self, name, args=()):
        p = subprocess.Popen([os.path.join(bin_dir(), name)] + list(args), cwd=self.work, env=self.env,
                             stdout=self.out, stderr=self.out)
        self.children.append(p)
        return p

    def start_monitor(self):
        return self.start_program("Tovwatch", ["-b"])

    def start_crawler(self):
        return self.start_program("Tovfetch")

    def start_crawl(self, pages):
        """The site, the storage server and a URL server handing out pages,
        then the monitor, which starts the crawler; returns the monitor."""
        self.start_site()
        self.start_storage()
        self.start_url_server(pages)
        monitor = self.start_monitor()
        check(wait_until(lambda: self.log_count("Tovfetch Startet") == 1 and len(self.crawlers()) == 1, 30),
              "the crawler did not start")
        return monitor

    def crawlers(self):
        return process_ids("Tovfetch")

    def monitors(self):
        return process_ids("Tovwatch")

    def kill(self, pid, sig=signal.SIGKILL):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass
        self.reap()

    def reap(self):
        for p in list(self.children):
            if p.poll() is not None:
                self.children.remove(p)

    def wait_gone(self, pids, timeout):
        """Until none of pids exists any more, not even as a zombie: a zombie
        leader may still have threads holding the process's files."""
        def gone():
            self.reap()
            return not any(p in process_ids_all() for p in pids)
        return wait_until(gone, timeout)

    # ---- what happened ----
    def log(self):
        path = os.path.join(self.work, "ErrorLog.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="cp1252", errors="replace") as f:
            return [line.rstrip("\r\n").split(": ", 1)[-1] for line in f]

    def log_count(self, message):
        return sum(1 for line in self.log() if line == message)

    def log_count_prefix(self, prefix):
        return sum(1 for line in self.log() if line.startswith(prefix))

    def queue_files(self):
        return sidefiles.queue_files(self.work)

    def queued_urls(self):
        return [e["url"] for entries, _ in self.queue_files().values() for e in entries]

    def uploads(self):
        return sidefiles.uploads(self.storage_dir())

    def delivered_urls(self):
        """URLs of the entries of complete uploads, with repeats."""
        return [e["url"] for up in self.uploads() if up["complete"] for e in up["entries"]]

    def deliver_left_over(self, address, count):
        """With a storage server that reads at once started on address, and
        the monitor started again: the entries of left_over(count) that
        waited for address are delivered there exactly as left, and sqtemp
        ends empty."""
        back_dir = os.path.join(self.work, "storage-%s" % address)
        self._standin("storage_server.py", back_dir, ["--addr", address])
        self.start_monitor()
        check(wait_until(lambda: any(up["complete"] for up in sidefiles.uploads(back_dir)), 60, step=0.5),
              "the entries that waited were not delivered once %s answered" % address)
        ups = [up for up in sidefiles.uploads(back_dir) if up["complete"]]
        got = [e["docid"] for up in ups for e in up["entries"]]
        check(got == ["left%d" % n for n in range(count)],
              "%s received %d entries, not the %d left for it in order" % (address, len(got), count))
        sqtemp = os.path.join(self.work, "sqtemp")
        check(wait_until(lambda: not os.listdir(sqtemp), 30), "sqtemp keeps %s" % os.listdir(sqtemp))

    def close(self):
        for p in self.children:
            if p.poll() is None:
                p.kill()
        for p in self.children:
            p.wait()
        for pid in self.crawlers() + self.monitors():
            self.kill(pid)
        self.out.close()


def process_ids_all():
    return {int(e) for e in os.listdir("/proc") if e.isdigit()}


def site_pages(count, thumbs_every=0, missing_every=0, robots_every=0, size_kb=2):
    """Lines for the URL server's page list: pages of the stand-in site, each
    URL unique (?p=<n>)."""
    site = "http://%s:80" % SITE
    lines = []
    for i in range(count):
        if missing_every and i % missing_every == missing_every - 1:
            lines.append("%s/missing?p=%d" % (site, i))
        elif robots_every and i % robots_every == robots_every - 2:
            lines.append("%s/robots.txt?p=%d\trobottxt" % (site, i))
        elif thumbs_every and i % thumbs_every == thumbs_every - 3:
            lines.append("%s/page.html?p=%d\t\t\t\t\tTRUE" % (site, i))
        else:
            lines.append("%s/gen/%d.html?p=%d" % (site, size_kb, i))
    return lines


def left_over(count, page_bytes=0):
    """The bytes of a queue file that an earlier run left: count entries with
    the document ids left0, left1, ... in order; with page_bytes, each page
    holds that many bytes that do not compress (as a real page's stream)."""
    def page(n):
        if page_bytes:
            return random.Random(n).randbytes(page_bytes)
        return zlib.compress(("left over page %d " % n * 20).encode())
    return b"".join(
        sidefiles.encode_entry("crawl", "left%d" % n, "200", "http://left.example/%d" % n, "10.0.0.1", page(n))
        for n in range(count))


def _seed_argument():
    args = sys.argv[1:]
    return args[args.index("--seed") + 1] if "--seed" in args[:-1] else None


def repeat_command(seed):
    """The command that runs this case again with the same random choices."""
    args = sys.argv[1:]
    if "--seed" in args[:-1]:
        at = args.index("--seed")
        del args[at:at + 2]
    case = os.path.relpath(os.path.abspath(sys.argv[0]), ROOT)
    return " ".join(["python3", case] + args + ["--seed", seed])


def main(run):
    """Runs a case: enters the namespace, seeds the random choices, calls
    run(), prints the outcome and exits 0 when it held, 1 when a check failed.
    The seed is --seed S, else $TOV_FAULT_SEED, else a new one; it is printed
    first, so that a failing run can be repeated with the same choices."""
    enter_namespace()
    seed = _seed_argument() or os.environ.get("TOV_FAULT_SEED") or str(random.SystemRandom().randrange(1 << 32))
    print("seed %s" % seed, flush=True)
    random.seed(seed)
    started = time.monotonic()
    try:
        run()
    except Failure as e:
        print("FAILED: %s" % e)
        print("repeat it with: %s" % repeat_command(seed))
        return 1
    print("passed in %.0f s" % (time.monotonic() - started))
    return 0
