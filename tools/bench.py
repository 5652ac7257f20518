#!/usr/bin/env python3
"""Measures trail against the tail followers on this machine, in one run on
the same files, and prints a table of figures and ratios.

Each follower runs with its standard output a pipe read by this script and
its standard input /dev/null:
  - time to the last 20 lines of a 1 GiB and a 100 MiB file (median of runs);
  - follow throughput: a writer (dd) appends 256 MiB in 64 KiB writes; the
    time until every byte has come out, from the writer's start and from the
    first byte out;
  - latency from append to output for a line appended every ~37 ms;
  - processor time used, and how often it was woken, over 10 s of
    following an unchanging file (and the time it ran after its first
    second, from /proc's schedstat);
  - trail's latency again with inotify refused to it (a user namespace with
    max_inotify_instances 0), where it looks every 100 ms;
  - with the output a pseudo-terminal instead: the last 20 lines of the 1 GiB
    file, and the 256 MiB followed (throughput and processor time);
  - trail alone on a 1 GiB line without a line feed (its last 20 chunks),
    against wc -l reading the same cached file;
  - trail alone following the newest of 10,000 logs in a folder, by a
    pattern and by its name: processor time while nothing changes;
  - trail and GNU tail -f following 1,000 files of 100 lines at once: first
    output, latency of a line appended to a random file every ~37 ms, idle
    wake-ups and CPU, peak memory, and four of the files written flat out;
  - peak resident memory over all of the above.

usage: tools/bench.py [--trail build/trail] [--quick] [--only-many | --no-many]
"""
import argparse
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import bench_many

MiB = 1 << 20


def follower_commands(trail):
    """name -> argv prefix; the count option and the file are appended."""
    peers = {
        "trail": lambda n, f: [trail, f"-{n}", f],
        "GNU tail -f": lambda n, f: ["tail", "-n", str(n), "-f", f],
        "GNU tail -f -s 0.1 polling": lambda n, f: ["tail", "---disable-inotify", "-s", "0.1", "-n", str(n), "-f", f],
    }
    if shutil.which("busybox"):
        peers["busybox tail -f"] = lambda n, f: ["busybox", "tail", "-n", str(n), "-f", f]
    return peers


class follower:
    """A follower process with its output on a pipe we read."""

    def __init__(self, argv, pty=False):
        # A pseudo-terminal in its default mode, as a terminal window has it.
        self.read_end, write_end = os.openpty() if pty else os.pipe()
        with open(os.devnull, "rb") as null:
            self.process = subprocess.Popen(argv, stdin=null, stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.received = 0
        self.data = bytearray()
        self.keep = False
        self.last = b""  # the last bytes read, to spot a marker in

    def read(self, timeout):
        ready, _, _ = select.select([self.read_end], [], [], timeout)
        if not ready:
            return b""
        try:
            chunk = os.read(self.read_end, 1 << 20)
        except OSError:  # a terminal whose other side has closed
            return b""
        self.received += len(chunk)
        if self.keep:
            self.data += chunk
        self.last = (self.last + chunk)[-256:]
        return chunk

    def wait_for(self, marker, limit=120):
        deadline = time.perf_counter() + limit
        while marker not in self.last:
            if not self.read(10) and time.perf_counter() > deadline:
                raise RuntimeError("no output")

    def peak_rss(self):
        """Peak resident memory in KiB of the program itself (the rusage of a
        child also counts the forked copy of this script before exec)."""
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        """Ends it and returns its resource usage, with ru_maxrss replaced by
        its own peak."""
        rss = self.peak_rss()
        self.process.send_signal(signal.SIGTERM)
        _, _, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = 0
        os.close(self.read_end)
        return usage_with_rss(usage, rss)


class usage_with_rss:
    def __init__(self, usage, rss):
        self.ru_utime, self.ru_stime, self.ru_maxrss = usage.ru_utime, usage.ru_stime, rss


def make_log(path, size, seed_lines):
    block = "".join(seed_lines).encode()
    with open(path, "wb") as out:
        written = 0
        while written + len(block) <= size:
            out.write(block)
            written += len(block)
        tail = "".join(f"final line {i}: the end of the file is here\n" for i in range(40)).encode()
        out.write(tail)


def sample_lines():
    import random

    rng = random.Random(7)
    words = "request served user cache miss hit database query slow fast retry ok error warn".split()
    return [
        f"2026-12-08T10:{i % 60:02d}:{(i * 7) % 60:02d} " + " ".join(rng.choice(words) for _ in range(rng.randint(3, 30))) + "\n"
        for i in range(2000)
    ]


def last_lines_bytes(path, n):
    with open(path, "rb") as f:
        f.seek(max(0, os.path.getsize(path) - 64 * 1024))
        return b"".join(f.read().splitlines(keepends=True)[-n:])


def time_to_last_lines(argv, expected):
    start = time.perf_counter()
    f = follower(argv)
    while f.received < len(expected):
        if not f.read(10):
            raise RuntimeError(f"{argv[0]}: no output")
    elapsed = time.perf_counter() - start
    usage = f.stop()
    return elapsed, usage.ru_maxrss


# The last line of every log make_log writes; it stands nowhere else in it.
LAST_LINE_MARK = b"final line 39: the end"


def time_to_last_lines_on_a_terminal(argv):
    start = time.perf_counter()
    f = follower(argv, pty=True)
    f.wait_for(LAST_LINE_MARK)
    elapsed = time.perf_counter() - start
    usage = f.stop()
    return elapsed, usage.ru_maxrss


def terminal_throughput(argv_for, folder, source):
    """Follows what dd appends with the output a terminal: the time from the
    writer's start until the source's last line shows, and the processor
    time the follower used meanwhile."""
    path = os.path.join(folder, "terminal-stream.log")
    open(path, "wb").close()
    f = follower(argv_for(path), pty=True)
    with open(path, "ab") as out:
        out.write(b"sync\n")
    f.wait_for(b"sync")
    before = process_cpu(f.process.pid)
    # The terminal is read by grep, which keeps up with any follower (a
    # reader in Python would set the pace itself); it ends at the mark.
    reader = subprocess.Popen(["grep", "-q", "-F", LAST_LINE_MARK.decode()], stdin=f.read_end)
    start = time.perf_counter()
    writer = subprocess.Popen(["dd", f"if={source}", f"of={path}", "bs=64K", "oflag=append", "conv=notrunc", "status=none"])
    if reader.wait(timeout=600) != 0:
        raise RuntimeError("the last line never showed")
    end = time.perf_counter()
    cpu = process_cpu(f.process.pid) - before
    writer.wait()
    usage = f.stop()
    os.unlink(path)
    return end - start, cpu, usage.ru_maxrss


def process_cpu(pid):
    """Processor time a running process has used so far, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def giant_line(trail, folder, size, runs):
    """A file that is one line of size bytes with no line feed: trail's time
    to its last 20 chunks, and wc -l's to count its lines (reading the same
    cached bytes at memory speed), medians in ms."""
    path = os.path.join(folder, "giant.log")
    with open(path, "wb") as out:
        block = b"x" * (16 * MiB)
        for _ in range(size // len(block)):
            out.write(block)
    with open(path, "rb") as f:
        while f.read(16 * MiB):
            pass
    expected = 19 * 255 + (size % 255 or 255)
    ours, counting = [], []
    for _ in range(runs):
        start = time.perf_counter()
        f = follower([trail, "-20", path])
        while f.received < expected:
            if not f.read(10):
                raise RuntimeError("trail: no output")
        ours.append(time.perf_counter() - start)
        f.stop()
        start = time.perf_counter()
        subprocess.run(["wc", "-l", path], stdout=subprocess.DEVNULL, check=True)
        counting.append(time.perf_counter() - start)
    os.unlink(path)
    return statistics.median(ours) * 1000, statistics.median(counting) * 1000


def throughput(argv_for, folder, source):
    path = os.path.join(folder, "stream.log")
    open(path, "wb").close()
    f = follower(argv_for(path))
    # Start the writer just after the follower has shown a line, so that
    # every poller is at the same point of its poll when the data comes
    # (rather than at a random one, which makes the figures scatter).
    with open(path, "ab") as out:
        out.write(b"sync\n")
    while f.received < 5:
        if not f.read(10):
            raise RuntimeError("no output")
    total = os.path.getsize(source) + 5
    start = time.perf_counter()
    writer = subprocess.Popen(["dd", f"if={source}", f"of={path}", "bs=64K", "oflag=append", "conv=notrunc", "status=none"])
    first = None
    while f.received < total:
        if f.read(10) and first is None:
            first = time.perf_counter()
        elif first is None and time.perf_counter() - start > 120:
            raise RuntimeError("no output")
    end = time.perf_counter()
    writer.wait()
    usage = f.stop()
    os.unlink(path)
    return end - start, end - first, usage.ru_maxrss


LATENCY_WRITER = r"""
import os, sys, time
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND)
for i in range(int(sys.argv[2])):
    os.write(fd, b"stamp %d\n" % time.monotonic_ns())
    time.sleep(0.037)
"""


def stamp_delays(f, lines):
    """The delays (ms, sorted) of the first `lines` stamp lines f shows."""
    delays = []
    pending = b""
    while len(delays) < lines:
        chunk = f.read(10)
        now = time.monotonic_ns()
        if not chunk:
            raise RuntimeError("no output")
        pending += chunk
        *complete, pending = pending.split(b"\n")
        delays += [(now - int(line.split()[1])) / 1e6 for line in complete if line.startswith(b"stamp")]
    return sorted(delays)


def latency(argv_for, folder, lines):
    path = os.path.join(folder, "latency.log")
    open(path, "wb").close()
    f = follower(argv_for(path))
    f.keep = True
    time.sleep(0.3)
    writer = subprocess.Popen([sys.executable, "-c", LATENCY_WRITER, path, str(lines)])
    delays = stamp_delays(f, lines)
    writer.wait()
    usage = f.stop()
    os.unlink(path)
    pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))]
    return pick(0.5), pick(0.99), delays[-1], usage.ru_maxrss


def idle_cpu(argv_for, folder, seconds):
    path = os.path.join(folder, "idle.log")
    with open(path, "wb") as out:
        out.write(b"".join(b"idle line %d\n" % i for i in range(100)))
    f = follower(argv_for(path))
    start = time.perf_counter()
    deadline = start + seconds
    settled = None  # the run time after the first second, once started
    while time.perf_counter() < deadline:
        until = deadline if settled is not None else min(deadline, start + 1)
        f.read(max(0.0, until - time.perf_counter()))
        if settled is None and time.perf_counter() - start >= 1:
            settled = run_time_ns(f.process.pid)
    wakeups = context_switches(f.process.pid)
    after_start = (run_time_ns(f.process.pid) - settled) / 1e6
    usage = f.stop()
    os.unlink(path)
    return (usage.ru_utime + usage.ru_stime) * 1000, wakeups, usage.ru_maxrss, after_start


def pattern_idle(trail, folder, seconds, runs):
    """trail following the newest of 10,000 older logs in one folder, by a
    pattern and by its plain name: the processor time it used over `seconds`
    of following while nothing changes, once it has shown the last lines
    (median of runs, ms), and its time to those lines (median, ms)."""
    logs = os.path.join(folder, "dated")
    os.mkdir(logs)
    day = time.time() - 86400
    for i in range(10000):
        path = os.path.join(logs, f"app-2026{i:05d}.log")
        with open(path, "wb") as out:
            out.write(b"an older day\n")
        os.utime(path, (day + i, day + i))
    newest = os.path.join(logs, "app-202699999.log")
    with open(newest, "wb") as out:
        out.write(b"".join(b"the newest %d\n" % i for i in range(100)))
    targets = {"plain": newest, "pattern": os.path.join(logs, "app-*.log")}
    idle, first = {name: [] for name in targets}, {name: [] for name in targets}
    for _ in range(runs):
        for name, target in targets.items():
            start = time.perf_counter()
            f = follower([trail, "-20", target])
            f.wait_for(b"the newest 99\n")
            first[name].append((time.perf_counter() - start) * 1000)
            time.sleep(1.5)  # past the second in which a new folder is read again
            before = process_cpu(f.process.pid)
            time.sleep(seconds)
            idle[name].append((process_cpu(f.process.pid) - before) * 1000)
            f.stop()
    shutil.rmtree(logs)
    return {name: (statistics.median(idle[name]), statistics.median(first[name])) for name in targets}


def refused_latency(trail, folder, lines):
    """trail's latency with inotify refused to it (max_inotify_instances 0 in
    a user namespace of its own): (p50, p99, max) in ms, or None where user
    namespaces are off."""
    if subprocess.run(["unshare", "-U", "-r", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        return None
    refuse = 'echo 0 > /proc/sys/user/max_inotify_instances && exec "$0" "$@"'
    argv_for = lambda p: ["unshare", "-U", "-r", "sh", "-c", refuse, trail, "-20", p]
    print("measuring trail with inotify refused ...", file=sys.stderr)
    return latency(argv_for, folder, lines)[:3]


def run_time_ns(pid):
    """The time the process's threads have run, in ns (schedstat: finer
    than the clock ticks of rusage)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
            total += int(stat.read().split()[0])
    return total


def context_switches(pid):
    """How often the process's threads went to sleep and were woken, in all."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            for line in status:
                if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                    total += int(line.split()[1])
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trail", default=os.path.join(os.path.dirname(__file__), "..", "build-release", "trail"))
    parser.add_argument("--quick", action="store_true", help="smaller files and fewer runs, to try the script")
    parser.add_argument("--folder", default=None, help="where to put the test files (default: a temporary folder)")
    parser.add_argument("--only-many", action="store_true", help="only the 1,000 files at once")
    parser.add_argument("--no-many", action="store_true", help="all but the 1,000 files at once (a trail of one file)")
    args = parser.parse_args()

    runs = 5 if args.quick else 31
    big, small, stream = (64 * MiB, 16 * MiB, 32 * MiB) if args.quick else (1024 * MiB, 100 * MiB, 256 * MiB)
    latency_lines = 40 if args.quick else 200
    idle_seconds = 2 if args.quick else 10

    peers = follower_commands(os.path.abspath(args.trail))
    folder = tempfile.mkdtemp(prefix="trail-bench-", dir=args.folder)
    if args.only_many:
        try:
            many_source = os.path.join(folder, "many-source.log")
            make_log(many_source, stream // 4, sample_lines())
            many = bench_many.many_files(folder, os.path.abspath(args.trail), 1000, 3 if args.quick else 11,
                                         latency_lines, idle_seconds, many_source)
            bench_many.report_many(many, 1000, idle_seconds)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        return
    try:
        seed = sample_lines()
        files = {"big": os.path.join(folder, "big.log"), "small": os.path.join(folder, "small.log")}
        make_log(files["big"], big, seed)
        make_log(files["small"], small, seed)
        source = os.path.join(folder, "source.log")
        make_log(source, stream, seed)
        for path in list(files.values()) + [source]:  # into the page cache
            with open(path, "rb") as f:
                while f.read(16 * MiB):
                    pass

        results = {name: {"rss": 0} for name in peers}
        for label, path in files.items():
            expected = last_lines_bytes(path, 20)
            times = {name: [] for name in peers}
            for _ in range(runs):  # interleaved, so that noise hits every peer alike
                for name, argv_for in peers.items():
                    elapsed, rss = time_to_last_lines(argv_for(20, path), expected)
                    times[name].append(elapsed)
                    results[name]["rss"] = max(results[name]["rss"], rss)
            for name in peers:
                results[name][f"first_{label}"] = statistics.median(times[name]) * 1000

        times = {name: [] for name in peers}
        for _ in range(runs):
            for name, argv_for in peers.items():
                elapsed, rss = time_to_last_lines_on_a_terminal(argv_for(20, files["big"]))
                times[name].append(elapsed)
                results[name]["rss"] = max(results[name]["rss"], rss)
        for name in peers:
            results[name]["first_big_tty"] = statistics.median(times[name]) * 1000

        for name, argv_for in peers.items():
            print(f"measuring {name} ...", file=sys.stderr)
            r = results[name]
            runs_tp = [throughput(lambda p: argv_for(20, p), folder, source) for _ in range(1 if args.quick else 7)]
            r["tp_writer"] = stream / MiB / statistics.median(t[0] for t in runs_tp)
            r["tp_first"] = stream / MiB / statistics.median(t[1] for t in runs_tp)
            r["rss"] = max([r["rss"]] + [t[2] for t in runs_tp])
            p50, p99, worst, rss = latency(lambda p: argv_for(20, p), folder, latency_lines)
            r.update(lat50=p50, lat99=p99, latmax=worst, rss=max(r["rss"], rss))
            runs_tty = [terminal_throughput(lambda p: argv_for(20, p), folder, source) for _ in range(1 if args.quick else 3)]
            r["tp_tty"] = stream / MiB / statistics.median(t[0] for t in runs_tty)
            r["cpu_tty"] = statistics.median(t[1] for t in runs_tty) * 1000
            r["rss"] = max([r["rss"]] + [t[2] for t in runs_tty])
            cpu, wakeups, rss, settled = idle_cpu(lambda p: argv_for(20, p), folder, idle_seconds)
            r.update(idle=cpu, idle_settled=settled, wakeups=wakeups, rss=max(r["rss"], rss))
        refused = refused_latency(os.path.abspath(args.trail), folder, latency_lines)
        print("measuring the giant line ...", file=sys.stderr)
        for path in list(files.values()) + [source]:
            os.unlink(path)
        giant = giant_line(os.path.abspath(args.trail), folder, big, 3 if args.quick else 7)
        print("measuring a pattern among 10,000 logs ...", file=sys.stderr)
        dated = pattern_idle(os.path.abspath(args.trail), folder, idle_seconds, 3 if args.quick else 5)
        many = None
        if not args.no_many:
            print("measuring 1,000 files at once ...", file=sys.stderr)
            many_source = os.path.join(folder, "many-source.log")
            make_log(many_source, stream // 4, seed)
            many = bench_many.many_files(folder, os.path.abspath(args.trail), 1000, 3 if args.quick else 11, latency_lines,
                              idle_seconds, many_source)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    report(results, stream)
    print(f"one {big // MiB} MiB line without a line feed: trail's last 20 chunks {giant[0]:.1f} ms, "
          f"wc -l {giant[1]:.1f} ms; ratio {giant[0] / giant[1]:.3f}")
    if refused:
        print("latency with inotify refused to trail, p50 / p99 / max: "
              f"{refused[0]:.1f} / {refused[1]:.1f} / {refused[2]:.1f} ms")
    if many:
        bench_many.report_many(many, 1000, idle_seconds)
    (plain_idle, plain_first), (pattern_cpu, pattern_first) = dated["plain"], dated["pattern"]
    print(f"the newest of 10,000 logs, CPU time over {idle_seconds} s following it unchanged: by a pattern "
          f"{pattern_cpu:.1f} ms, by its name {plain_idle:.1f} ms (ratio "
          f"{pattern_cpu / plain_idle if plain_idle else float('inf'):.3f}); "
          f"first output {pattern_first:.1f} ms against {plain_first:.1f} ms")


def cells(results, names, key, width):
    """The row of figures for key, one column of width for each name."""
    return "  ".join(f"{results[n][key]:{width}.3f}" if isinstance(results[n][key], float)
                     else f"{results[n][key]:{width}d}" for n in names)


def report(results, stream):
    rows = [
        ("last 20 lines of 1 GiB (ms)", "first_big", min),
        ("last 20 lines of 100 MiB (ms)", "first_small", min),
        (f"{stream // MiB} MiB, from writer start (MiB/s)", "tp_writer", max),
        (f"{stream // MiB} MiB, from first byte out (MiB/s)", "tp_first", max),
        ("terminal: last 20 lines of 1 GiB (ms)", "first_big_tty", min),
        (f"terminal: {stream // MiB} MiB, from writer start (MiB/s)", "tp_tty", max),
        (f"terminal: CPU time following those {stream // MiB} MiB (ms)", "cpu_tty", min),
        ("latency p50 (ms)", "lat50", min),
        ("latency p99 (ms)", "lat99", min),
        ("latency max (ms)", "latmax", min),
        ("CPU time following an unchanging file (ms)", "idle", min),
        ("  of which after its first second (ms)", "idle_settled", min),
        ("wake-ups while following it (context switches)", "wakeups", min),
        ("peak RSS (KiB)", "rss", min),
    ]
    names = list(results)
    width = max(len(r[0]) for r in rows)
    print(f"{'':{width}}  " + "  ".join(f"{n:>26}" for n in names))
    for label, key, _ in rows:
        print(f"{label:{width}}  " + cells(results, names, key, 26))
    print()
    print("ratios trail / best peer (times, latency, CPU, memory: lower is better; MiB/s: higher is better)")
    peers = [n for n in names if n != "trail"]
    for label, key, best_of in rows:
        best_name = best_of(peers, key=lambda n: results[n][key])
        best = results[best_name][key]
        ratio = results["trail"][key] / best if best else float("inf")
        print(f"  {label:{width}}  {ratio:8.3f}  against {best_name}")
    polling = "GNU tail -f -s 0.1 polling"
    if polling in results:
        print("ratios trail / GNU tail polling at 0.1 s")
        for label, key, _ in (rows[2], rows[5], rows[6], rows[10], rows[11], rows[12]):
            best = results[polling][key]
            print(f"  {label:{width}}  {results['trail'][key] / best if best else float('inf'):8.3f}")


if __name__ == "__main__":
    main()
