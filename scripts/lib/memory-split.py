#!/usr/bin/env python3
"""Splits the resident size of a process under Wine by owner: the program's
own image (our code and data), the thread stacks, Wine's Windows DLLs, Wine's
Unix side (loader, .so files, system libraries) and the rest of the
anonymous memory (Windows heaps and Wine's own data). Reads /proc/PID/smaps;
the layout line of ProcessCounters.exe --layout gives where the modules and
stacks lie (Wine's Windows addresses are the Linux process's own). Prints kB.

    memory-split.py PID LAYOUT-JSON [--top N] [--label TEXT]
"""
import argparse
import bisect
import collections
import json
import re

MAPPING = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) \S+ \S+ \S+ \S+\s*(.*)$")


def mappings(pid):
    """(start, end, path, Rss kB, private kB) of every mapping."""
    current, figures = None, {}

    def done():
        private = figures.get("Private_Clean", 0) + figures.get("Private_Dirty", 0)
        return (*current, figures.get("Rss", 0), private)

    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            match = MAPPING.match(line)
            if match:
                if current:
                    yield done()
                current = (int(match.group(1), 16), int(match.group(2), 16), match.group(3).strip())
                figures = {}
                continue
            key, _, value = line.partition(":")
            if value.strip().endswith("kB"):
                figures[key] = int(value.split()[0])
    if current:
        yield done()


class Ranges:
    """Named address ranges; which one holds an address."""

    def __init__(self, ranges):
        self.ranges = sorted(ranges)
        self.starts = [start for start, _, _ in self.ranges]

    def owner(self, address):
        i = bisect.bisect_right(self.starts, address) - 1
        if i >= 0 and address < self.ranges[i][1]:
            return self.ranges[i][2]
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pid", type=int)
    parser.add_argument("layout")
    parser.add_argument("--top", type=int, default=6)
    parser.add_argument("--label", default="")
    args = parser.parse_args()
    layout = json.loads(args.layout)
    program = layout["modules"][0]["name"] if layout["modules"] else "?"
    modules = Ranges((m["base"], m["base"] + m["size"], m["name"]) for m in layout["modules"])
    stacks = Ranges((s["base"], s["top"], "stack") for s in layout["stacks"] if s["top"] > s["base"])

    ours = f"{program}: our code and data"
    stack_kind = f"thread stacks ({len(layout['stacks'])} threads)"
    totals, private, dlls = collections.Counter(), collections.Counter(), collections.Counter()
    for start, _, path, rss, own in mappings(args.pid):
        module = modules.owner(start)
        if module == program:
            kind = ours
        elif module:
            kind = "Wine's Windows DLLs"
            dlls[module] += rss
        elif stacks.owner(start):
            kind = stack_kind
        elif path and not path.startswith("["):
            kind = "Wine's Unix side (loader, .so, libraries)"
        else:
            kind = "other anonymous: heaps, Wine's own data"
        totals[kind] += rss
        private[kind] += own

    print(f"resident size of {args.label or program} (pid {args.pid}), kB")
    print(f"  {'':<46}{'resident':>10}{'private':>10}")
    for kind in (ours, stack_kind, "other anonymous: heaps, Wine's own data", "Wine's Windows DLLs",
                 "Wine's Unix side (loader, .so, libraries)"):
        print(f"  {kind:<46}{totals[kind]:>10}{private[kind]:>10}")
    print(f"  {'total':<46}{sum(totals.values()):>10}{sum(private.values()):>10}")
    top = ", ".join(f"{name} {rss}" for name, rss in dlls.most_common(args.top))
    print(f"  largest DLLs: {top}")
    print(f"  DLLs loaded: {len(layout['modules']) - 1}")


if __name__ == "__main__":
    main()
