#!/usr/bin/env python3
"""The benchmark's peer: the same merge written the plain way with dicts.

What a user without keyfolder would write: read the file once, gather every
key (floating or under a header) and every directive under its section in a
dict, then write each section with its keys under a header, sections in the
tool's fixed order. It keeps the leading comment block and handles
continuation lines, but does not reproduce keyfolder's exact key order or
field cuts: it is a yardstick for speed, not a second implementation.

    python3 bench/peer_merge.py IN OUT
"""

import sys
import time

RANKED = ["__topmost__", "general", "modules", "misc", "warbird", "javelin",
          "spider", "leviathan", "terrier", "weasel", "lancaster", "shark"]
RANK = {name: i for i, name in enumerate(RANKED)}


def merge(lines):
    sections = {}          # section name -> {lower-case key name: line text}
    floating = 0
    current = ""
    pending = None         # (section, name, value so far) of a continued value
    for raw in lines:
        line = raw.rstrip("\r\n").strip()
        if pending is not None:
            section, name, value = pending
            if line.endswith("\\"):
                pending = (section, name, value + line[:-1])
                continue
            pending = None
            sections.setdefault(section, {})[name.lower()] = (name, value + line)
            continue
        if len(line) <= 2 or line.startswith(";") or line.startswith("//"):
            continue
        if line.startswith("#"):
            entries = sections.setdefault(current or "__topmost__", {})
            entries["#%d" % len(entries)] = (line, None)
            continue
        equals = line.find("=")
        colon = line.find(":")
        if colon >= 0 and equals > colon + 1:
            floating += 1
            section = line[:colon].strip()
            name = line[colon + 1:equals].strip()
        elif line.startswith("[") and "]" in line:
            current = line[1:line.index("]")].strip()
            continue
        elif current and equals >= 0:
            section = current
            name = line[:equals].strip()
        else:
            continue
        value = line[equals + 1:].strip()
        if value.endswith("\\"):
            pending = (section, name, value[:-1])
            continue
        sections.setdefault(section, {})[name.lower()] = (name, value)
    return sections, floating


def order(name):
    return (RANK.get(name.lower(), len(RANKED)), name.lower())


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source) as f:
        lines = f.readlines()
    sections, floating = merge(lines)
    if floating == 0:
        print("this file is already clean")
        return
    out = ["; merged on %s\n" % time.ctime()]
    for line in lines:
        if not (line.startswith(";") or line.startswith("//")):
            break
        out.append(line)
    for name in sorted(sections, key=order):
        print("writing section: %s" % name)
        out.append("\n" if name == "__topmost__" else "\n[%s]\n" % name)
        for key, value in sections[name].values():
            out.append(key + "\n" if value is None else "%s = %s\n" % (key, value))
    with open(target, "w") as f:
        f.writelines(out)


if __name__ == "__main__":
    main()
