#!/usr/bin/env python3
"""Writes a synthetic arena configuration file for the benchmark.

The file is of our own design and deterministic for a given seed: a comment
block, a few directives before any header, then `sections` sections of
`keys` keys each. About a third of every section's keys are written as
floating keys (`Section:Name=value`) scattered under other sections'
headers, the rest as `Name=value` under the section's own header; some
sections carry `#ifdef`/`#endif` directive pairs. The first sections have the
names the tool ranks specially (General, Misc, Warbird, ...), the rest
generated names, so the section order and the key table both see a mix.

    python3 bench/gen_arena.py OUT SECTIONS KEYS [SEED]

It also writes files of keys that the key table's bucket hash cannot tell
apart, and files of the same shape whose keys hash apart:

    python3 bench/gen_arena.py OUT colliding|ordinary COUNT

and files of the cheapest lines of one kind, BYTES long, that end in one
floating key so that they are converted: a leading block of ';' comment
lines, or the short directive line '#ab' again and again:

    python3 bench/gen_arena.py OUT comments|directives BYTES
"""

import random
import sys

RANKED = ["General", "Modules", "Misc", "Warbird", "Javelin", "Spider",
          "Leviathan", "Terrier", "Weasel", "Lancaster", "Shark"]
STEMS = ["Speed", "Thrust", "Energy", "Bounty", "Radius", "Gun", "Bomb",
         "Burst", "Portal", "Prize", "Rotation", "Recharge", "Delay", "Mine"]
WORDS = ["Dock", "Lane", "Reef", "Gate", "Tide", "Buoy", "Pier", "Keel"]


def section_names(count, rng):
    names = RANKED[:count]
    index = 0
    while len(names) < count:
        names.append("%s%s%d" % (rng.choice(WORDS), rng.choice(WORDS), index))
        index += 1
    return names


def generate(path, sections, keys, seed=1):
    rng = random.Random(seed)
    names = section_names(sections, rng)
    # Lines written under each section's header; floating keys of section i
    # go to a random other section's body.
    bodies = [[] for _ in names]
    for i, name in enumerate(names):
        for j in range(keys):
            key = "%s%d" % (STEMS[j % len(STEMS)], j)
            value = str(rng.randrange(100000))
            if j % 3 == 2:
                bodies[rng.randrange(len(names))].append(
                    "%s:%s=%s" % (name, key, value))
            else:
                bodies[i].append("%s=%s" % (key, value))
        if i % 7 == 3:
            bodies[i].insert(0, "#ifdef LEAGUE_%d" % i)
            bodies[i].append("#endif")
    with open(path, "w") as out:
        out.write("; synthetic arena for the keyfolder benchmark\n")
        out.write("; %d sections of %d keys, seed %d\n" % (sections, keys, seed))
        out.write("#include shared/common.conf\n#define BENCH 1\n")
        for name, body in zip(names, bodies):
            out.write("\n[%s]\n" % name)
            out.write("\n".join(body))
            out.write("\n")


# Two spellings of each bit of a key name. The key table's bucket hash folds
# every byte with OR 0x20, so '@' and '`' hash alike (while the key
# comparison tells them apart): keys spelt with them all share one bucket
# hash. 'a' and 'b' give keys of the same shape that hash apart.
COLLIDING = "@`"
ORDINARY = "ab"


def generate_keys(path, count, letters):
    """`count` floating keys of one section, "S:k" and 20 letters spelling
    the key's number in binary, under a header of another section."""
    with open(path, "w") as out:
        out.write("[A]\n")
        for i in range(count):
            name = "".join(letters[(i >> bit) & 1] for bit in range(20))
            out.write("S:k%s=1\n" % name)


# The line each degenerate file repeats.
REPEATED = {"comments": ";\n", "directives": "#ab\n"}
LAST_LINE = "Misc:Last=1\n"


def generate_repeated(path, size, line):
    """`line` again and again, then LAST_LINE, `size` bytes in all (or a
    little less)."""
    with open(path, "w") as out:
        out.write(line * ((size - len(LAST_LINE)) // len(line)))
        out.write(LAST_LINE)


def main():
    if len(sys.argv) == 4 and sys.argv[2] in REPEATED:
        generate_repeated(sys.argv[1], int(sys.argv[3]), REPEATED[sys.argv[2]])
        return
    if len(sys.argv) == 4 and sys.argv[2] in ("colliding", "ordinary"):
        letters = COLLIDING if sys.argv[2] == "colliding" else ORDINARY
        generate_keys(sys.argv[1], int(sys.argv[3]), letters)
        return
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: gen_arena.py OUT SECTIONS KEYS [SEED]\n"
                 "       gen_arena.py OUT colliding|ordinary COUNT\n"
                 "       gen_arena.py OUT comments|directives BYTES")
    seed = int(sys.argv[4]) if len(sys.argv) == 5 else 1
    generate(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), seed)


if __name__ == "__main__":
    main()
