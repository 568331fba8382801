#!/usr/bin/env python3
"""Times keyfolder against the copy floor and a plain Python peer.

For each synthetic arena file (see gen_arena.py) it times, median of several
runs each: `cp` of the file (the I/O floor), bench/peer_merge.py (the merge a
user would otherwise write) and keyfolder converting the file into a new one;
then prints the medians, the ratios and each program's peak memory. With
--baseline it also times a second keyfolder binary (an older build) on the
same files in the same run and checks that both write the same output (the
stamp line aside). Besides the arena files it times files of keys that the
key table's bucket hash cannot tell apart beside ordinary keys of the same
shape, whose times must stay close, and two files of the cheapest lines of
one kind (a leading block of comment lines; the directive '#ab' again and
again), whose peak memory over their size ("kf x") must stay near an
ordinary file's. Not part of the test suite: run it by hand on a quiet
machine.

    python3 bench/run_bench.py [--keyfolder build/keyfolder] [--baseline OLD]
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_arena  # noqa: E402
import peer_merge  # noqa: E402

# name, sections, keys per section; or name, "colliding" or "ordinary", keys;
# or name, "comments" or "directives", bytes
SIZES = [
    ("20KB", 24, 50),
    ("2MB", 2000, 50),
    ("20MB-20000x50", 20000, 50),
    ("20MB-200x5000", 200, 5000),
    ("32K-ordinary", "ordinary", 1 << 15),
    ("32K-colliding", "colliding", 1 << 15),
    ("20MB-ordinary", "ordinary", 800000),
    ("20MB-colliding", "colliding", 800000),
    ("20MB-comments", "comments", 20 * 1024 * 1024),
    ("20MB-directives", "directives", 20 * 1024 * 1024),
]
MB = 1024 * 1024


def run_timed(argv, cap=None):
    """Runs argv with its standard output discarded. Returns its wall-clock
    and CPU (user + system) seconds, or (None, None) when it was stopped at
    `cap` seconds. The wait blocks (a timer stops the child at the cap), so
    short runs are timed to the clock's precision, not to a polling step."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    timer = None
    if cap is not None:
        timer = threading.Timer(cap, child.kill)
        timer.start()
    pid, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if timer is not None:
        timer.cancel()
    child.returncode = os.waitstatus_to_exitcode(status)  # reaped here; keep Popen from waiting
    if cap is not None and elapsed >= cap:
        return None, None
    if child.returncode != 0:
        sys.exit("%s failed with status %d" % (" ".join(argv), child.returncode))
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_rss(argv, output):
    """Peak resident memory of one run of argv, in bytes, read by GNU time.
    (A child forked from this Python process would report Python's own size:
    Linux carries the high-water mark across exec.)"""
    report = output + ".rss"
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + argv,
                   stdout=subprocess.DEVNULL, check=True)
    with open(report) as f:
        kilobytes = int(f.read().split()[-1])
    os.remove(report)
    return kilobytes * 1024


def measure(argv, runs, output, cap=None):
    """Median wall-clock and CPU seconds over `runs` runs, then the peak RSS
    of one more run; the output file is removed before each, so every run
    writes a new file. A run slower than cap / runs is not repeated (the
    medians are that run's); one stopped at `cap` gives Nones."""
    times, cpus = [], []
    for _ in range(runs):
        if os.path.exists(output):
            os.remove(output)
        seconds, cpu = run_timed(argv, cap)
        if seconds is None:
            return None, None, None
        times.append(seconds)
        cpus.append(cpu)
        if cap is not None and seconds > cap / runs:
            return statistics.median(times), statistics.median(cpus), None
    return statistics.median(times), statistics.median(cpus), peak_rss(argv, output)


def body(path):
    """The file without its first line (the stamp, which holds the time)."""
    with open(path, "rb") as f:
        f.readline()
        return f.read()


def literal_visits(path):
    """Buckets plus entries a one-enumeration-per-section writer visits for
    this file: the table grows by the key table's rule while filling, then
    every section's pass visits every bucket and every remaining entry and
    may halve the table. Section sizes come from the peer's merge, which
    counts entries as the table holds them closely enough for an estimate."""
    with open(path) as f:
        sections, _ = peer_merge.merge(f.readlines())
    sizes = [len(sections[name]) for name in sorted(sections, key=peer_merge.order)]
    count, mask = 0, 15
    for _ in range(sum(sizes)):
        count += 1
        if count * 100 // (mask + 1) > 75:
            mask = mask * 2 + 1
    visits = len(sizes) * (mask + 1) + count  # the gathering pass
    for size in sizes:
        visits += mask + 1 + count
        count -= size
        if count * 100 // (mask + 1) < 18 and mask > 15:
            mask = (mask - 1) // 2
    return visits


def fmt_seconds(value):
    return "-" if value is None else "%.4f" % value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keyfolder", default="build/keyfolder")
    parser.add_argument("--baseline", help="an older keyfolder binary to time as 'before'")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--cap", type=float, default=300.0,
                        help="seconds after which a baseline run is stopped")
    parser.add_argument("--dir", default="build/bench", help="where the files go")
    parser.add_argument("--only", nargs="*", help="size names to run")
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    keyfolder = os.path.abspath(args.keyfolder)
    rows = []
    for name, sections, keys in SIZES:
        if args.only and name not in args.only:
            continue
        source = os.path.join(args.dir, "arena-%s.conf" % name)
        if not os.path.exists(source):
            if sections in gen_arena.REPEATED:
                gen_arena.generate_repeated(source, keys, gen_arena.REPEATED[sections])
            elif sections in ("colliding", "ordinary"):
                letters = gen_arena.COLLIDING if sections == "colliding" else gen_arena.ORDINARY
                gen_arena.generate_keys(source, keys, letters)
            else:
                gen_arena.generate(source, sections, keys)
        size = os.path.getsize(source)
        out = os.path.join(args.dir, "out-%s.conf" % name)
        row = {"name": name, "bytes": size, "arena": isinstance(sections, int)}
        row["cp"], _, _ = measure(["cp", source, out], args.runs, out)
        row["peer"], _, row["peer_rss"] = measure(
            [sys.executable, os.path.join(HERE, "peer_merge.py"), source, out], args.runs, out)
        row["kf"], row["kf_cpu"], row["kf_rss"] = measure([keyfolder, source, out], args.runs, out)
        if args.baseline:
            kept = out + ".after"
            os.replace(out, kept)
            row["old"], _, row["old_rss"] = measure(
                [os.path.abspath(args.baseline), source, out], args.runs, out, args.cap)
            if row["old"] is None:
                row["same"] = "stopped"
                if row["arena"]:
                    row["visits"] = literal_visits(source)
            else:
                row["same"] = "yes" if body(out) == body(kept) else "NO"
        rows.append(row)
        print("measured %s (%d bytes)" % (name, size), file=sys.stderr, flush=True)

    print("\nmedians of %d runs, wall-clock seconds (kf cpu: user + system; the rest"
          " of kf is mostly waiting for fsync); peak RSS in MB; kf x = kf's peak RSS over"
          " the input's size; limit = 8 x input + 8 MB" % args.runs)
    print("%-15s %9s %8s %8s %8s %8s %7s %7s %8s %6s %8s %7s" % (
        "file", "bytes", "cp", "peer", "kf", "kf cpu", "kf/cp", "peer/kf", "kf MB", "kf x",
        "peer MB", "limit"))
    for r in rows:
        print("%-15s %9d %8s %8s %8s %8s %7.1f %7.1f %8.1f %6.1f %8.1f %7.1f" % (
            r["name"], r["bytes"], fmt_seconds(r["cp"]), fmt_seconds(r["peer"]),
            fmt_seconds(r["kf"]), fmt_seconds(r["kf_cpu"]), r["kf"] / r["cp"],
            r["peer"] / r["kf"], r["kf_rss"] / MB, r["kf_rss"] / r["bytes"], r["peer_rss"] / MB,
            (8 * r["bytes"] + 8 * MB) / MB))
    by_name = {r["name"]: r for r in rows}
    if "2MB" in by_name and "20MB-20000x50" in by_name:
        print("growth: 20MB-20000x50 / 2MB = %.1f x (10 x the data)" % (
            by_name["20MB-20000x50"]["kf"] / by_name["2MB"]["kf"]))
    for size in ("32K", "20MB"):
        colliding, ordinary = by_name.get(size + "-colliding"), by_name.get(size + "-ordinary")
        if colliding and ordinary:
            print("colliding keys: %s-colliding / %s-ordinary = %.1f x" % (
                size, size, colliding["kf"] / ordinary["kf"]))

    if args.baseline:
        print("\nbaseline %s (stopped after %.0f s)" % (args.baseline, args.cap))
        print("%-15s %10s %8s %9s %8s %6s %s" % ("file", "before", "after", "speed-up", "MB",
                                                 "x", "same output"))
        # A stopped run is estimated from its bucket and entry visits at the
        # cost per visit of the largest baseline run that finished.
        finished = [r for r in rows
                    if r.get("old") is not None and r["arena"] and r["name"] != "20KB"]
        per_visit = None
        if finished:
            largest = max(finished, key=lambda r: r["bytes"])
            per_visit = largest["old"] / literal_visits(
                os.path.join(args.dir, "arena-%s.conf" % largest["name"]))
        for r in rows:
            if r["old"] is None:
                estimate = "> %.0f" % args.cap
                if per_visit is not None and "visits" in r:
                    estimate += " (est. %.0f)" % (per_visit * r["visits"])
                print("%-15s %10s %8s %9s %8s %6s %s" % (
                    r["name"], estimate, fmt_seconds(r["kf"]), "-", "-", "-", r["same"]))
            else:
                old_mb, old_x = "-", "-"
                if r["old_rss"] is not None:
                    old_mb = "%.1f" % (r["old_rss"] / MB)
                    old_x = "%.1f" % (r["old_rss"] / r["bytes"])
                print("%-15s %10s %8s %8.1fx %8s %6s %s" % (
                    r["name"], fmt_seconds(r["old"]), fmt_seconds(r["kf"]), r["old"] / r["kf"],
                    old_mb, old_x, r["same"]))


if __name__ == "__main__":
    main()
