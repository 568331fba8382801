#!/usr/bin/env python3
"""Times two keyfolder builds side by side, in pairs, on the benchmark's files.

Each pair runs the one build and then the other on the same file (the order
alternating from pair to pair), so that a change in the machine's load
touches both alike. Prints, per file, the median CPU seconds (user + system)
of each, the median of the pairs' ratios, and each one's peak memory. For
what a part of the conversion costs: the same commit built with and without
it (such as -DKEYFOLDER_BLOCK_CHECK=OFF). Not part of the test suite: run it
by hand on a quiet machine.

    python3 bench/paired.py NEW OLD [--pairs 21] [--only 20KB 2MB ...]
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_arena  # noqa: E402
import run_bench  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("new")
    parser.add_argument("old")
    parser.add_argument("--pairs", type=int, default=21)
    parser.add_argument("--dir", default="build/bench")
    parser.add_argument("--only", nargs="*", default=["20KB", "2MB", "20MB-20000x50",
                                                      "20MB-200x5000", "20MB-directives"])
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    print("%-16s %10s %10s %8s %8s %8s" % ("file", "new cpu", "old cpu", "new/old",
                                           "new MB", "old MB"))
    for name, sections, keys in run_bench.SIZES:
        if name not in args.only:
            continue
        source = os.path.join(args.dir, "arena-%s.conf" % name)
        if not os.path.exists(source):
            if sections in gen_arena.REPEATED:
                gen_arena.generate_repeated(source, keys, gen_arena.REPEATED[sections])
            else:
                gen_arena.generate(source, sections, keys)
        out = os.path.join(args.dir, "paired-%s.conf" % name)
        cpu = {args.new: [], args.old: []}
        ratios = []
        for pair in range(args.pairs):
            order = [args.new, args.old] if pair % 2 == 0 else [args.old, args.new]
            for program in order:
                _, seconds = run_bench.run_timed([os.path.abspath(program), source, out])
                cpu[program].append(seconds)
            ratios.append(cpu[args.new][-1] / cpu[args.old][-1])
        rss = [run_bench.peak_rss([os.path.abspath(p), source, out], out) / run_bench.MB
               for p in (args.new, args.old)]
        print("%-16s %10.5f %10.5f %8.3f %8.1f %8.1f" % (
            name, statistics.median(cpu[args.new]), statistics.median(cpu[args.old]),
            statistics.median(ratios), rss[0], rss[1]))


if __name__ == "__main__":
    main()
