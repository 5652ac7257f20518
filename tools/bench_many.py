"""The benchmark's row for many files at once (tools/bench.py runs it):
trail and GNU tail -f following 1,000 files of 100 lines each, into a
pipe: first output, latency of a line appended to a random file, idle
wake-ups and CPU, peak memory, and four of the files written flat out."""
import os
import shutil
import statistics
import subprocess
import sys
import time

import bench

MANY_LATENCY_WRITER = r"""
import os, random, sys, time
paths = sys.argv[2:]
rng = random.Random(11)
for i in range(int(sys.argv[1])):
    fd = os.open(rng.choice(paths), os.O_WRONLY | os.O_APPEND)
    os.write(fd, b"stamp %d\n" % time.monotonic_ns())
    os.close(fd)
    time.sleep(0.037)
"""


def many_files(folder, trail, count, runs, latency_lines, idle_seconds, stream):
    """trail and GNU tail -f following `count` files of 100 lines each, into
    a pipe: first output, latency to a random file, idle wake-ups and CPU,
    peak memory, and four of the files written flat out."""
    logs = os.path.join(folder, "many")
    os.mkdir(logs)
    paths = [os.path.join(logs, f"f{i:04d}") for i in range(count)]
    for i, path in enumerate(paths):
        with open(path, "wb") as out:
            out.write(b"".join(b"line %d of file %d\n" % (j, i) for j in range(100)))
    peers = {"trail": lambda: [trail, "-20"] + paths, "GNU tail -f": lambda: ["tail", "-n", "20", "-f"] + paths}
    expected = len(subprocess.run(["tail", "-n", "20"] + paths, capture_output=True, check=True).stdout)
    results = {name: {"rss": 0} for name in peers}
    first = {name: [] for name in peers}
    for _ in range(runs):
        for name, argv in peers.items():
            elapsed, rss = bench.time_to_last_lines(argv(), b"x" * expected)
            first[name].append(elapsed * 1000)
            results[name]["rss"] = max(results[name]["rss"], rss)
    for name, argv in peers.items():
        r = results[name]
        r["first"] = statistics.median(first[name])
        # Latency: a line to a random file every 37 ms.
        f = bench.follower(argv())
        f.keep = True
        f.wait_for(b"line 99 of file %d\n" % (count - 1))
        writer = subprocess.Popen([sys.executable, "-c", MANY_LATENCY_WRITER, str(latency_lines)] + paths)
        delays = bench.stamp_delays(f, latency_lines)
        writer.wait()
        usage = f.stop()
        r["rss"] = max(r["rss"], usage.ru_maxrss)
        r["lat50"] = delays[len(delays) // 2]
        r["lat99"] = delays[min(len(delays) - 1, int(0.99 * len(delays)))]
        # Idle: wake-ups and CPU after the first second, and in all.
        f = bench.follower(argv())
        start = time.perf_counter()
        f.read(1.0)
        while time.perf_counter() - start < 1:
            f.read(max(0.0, start + 1 - time.perf_counter()))
        settled, switches = bench.run_time_ns(f.process.pid), bench.context_switches(f.process.pid)
        while time.perf_counter() - start < 1 + idle_seconds:
            f.read(max(0.0, start + 1 + idle_seconds - time.perf_counter()))
        r["idle_wakeups"] = bench.context_switches(f.process.pid) - switches
        r["idle_settled"] = (bench.run_time_ns(f.process.pid) - settled) / 1e6
        usage = f.stop()
        r["idle_total"] = (usage.ru_utime + usage.ru_stime) * 1000
        r["rss"] = max(r["rss"], usage.ru_maxrss)
        # Four files written flat out at once, each ending with a mark of
        # its own: the time until every mark is out (median of 3 runs).
        r["flat_out"] = statistics.median(flat_out(argv, paths, stream, r) for _ in range(1 if runs < 5 else 3))
    shutil.rmtree(logs)
    return results


def flat_out(argv, paths, stream, r):
    """Four of the files written flat out at once: MiB/s until all is out."""
    count = len(paths)
    for i, path in enumerate(paths):
        with open(path, "wb") as out:
            out.write(b"".join(b"line %d of file %d\n" % (j, i) for j in range(100)))
    f = bench.follower(argv())
    f.wait_for(b"line 99 of file %d\n" % (count - 1))
    chosen = paths[1:count:count // 4][:4]
    begin = time.perf_counter()
    writers = [subprocess.Popen(["sh", "-c", f'dd if="$0" of="$1" bs=64K oflag=append conv=notrunc status=none '
                                 f'&& echo "end of writer {k}" >> "$1"', stream, path])
               for k, path in enumerate(chosen)]
    seen = set()
    tail_text = b""
    while len(seen) < len(chosen):
        chunk = f.read(10)
        if not chunk and time.perf_counter() - begin > 300:
            raise RuntimeError("no output")
        tail_text += chunk
        seen |= {k for k in range(len(chosen)) if b"end of writer %d\n" % k in tail_text}
        tail_text = tail_text[-64:]
    rate = len(chosen) * os.path.getsize(stream) / bench.MiB / (time.perf_counter() - begin)
    for w in writers:
        w.wait()
    usage = f.stop()
    r["rss"] = max(r["rss"], usage.ru_maxrss)
    return rate


def report_many(results, count, idle_seconds=10):
    rows = [
        ("first output (ms, median)", "first"),
        ("latency p50 (ms)", "lat50"),
        ("latency p99 (ms)", "lat99"),
        (f"idle: wake-ups over {idle_seconds} s after the first second", "idle_wakeups"),
        (f"idle: CPU over those {idle_seconds} s (ms)", "idle_settled"),
        ("idle: CPU of the whole run, start included (ms)", "idle_total"),
        ("peak RSS (KiB)", "rss"),
        ("four files written flat out (MiB/s)", "flat_out"),
    ]
    names = list(results)
    width = max(len(label) for label, _ in rows)
    print(f"{count} files of 100 lines, into a pipe")
    print(f"{'':{width}}  " + "  ".join(f"{n:>14}" for n in names) + "  trail / GNU tail")
    for label, key in rows:
        other = results["GNU tail -f"][key]
        ratio = results["trail"][key] / other if other else float("inf")
        print(f"{label:{width}}  " + bench.cells(results, names, key, 14) + f"  {ratio:8.3f}")
