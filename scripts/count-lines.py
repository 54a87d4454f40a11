#!/usr/bin/env python3
"""Counts the code lines of the project and the tests' share of them.

Non-blank lines that are not only a comment, in .cpp/.h/.inc files under
src/, tools/, include/, tests/ and fuzz/ (bench/ and fuzz/corpus/ are not
counted). Test lines are those under tests/ and fuzz/, scenario files
(tests/**/*.scn) included.
Usage: scripts/count-lines.py [--files]
"""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE = (".cpp", ".h", ".inc")
SCENARIO = (".scn",)


def code_lines(path, scenario):
    n, in_block = 0, False
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            s = raw.strip()
            if scenario:
                if s and not s.startswith("#"):
                    n += 1
                continue
            if in_block:
                if "*/" in s:
                    in_block = False
                    s = s.split("*/", 1)[1].strip()
                else:
                    continue
            if not s or s.startswith("//"):
                continue
            if s.startswith("/*"):
                if "*/" not in s:
                    in_block = True
                    continue
                s = s.split("*/", 1)[1].strip()
                if not s:
                    continue
            n += 1
    return n


def main():
    show = "--files" in sys.argv[1:]
    product = tests = 0
    for top in ("src", "tools", "include", "tests", "fuzz"):
        for dirpath, dirs, names in os.walk(os.path.join(ROOT, top)):
            rel = os.path.relpath(dirpath, ROOT)
            if rel.startswith(os.path.join("fuzz", "corpus")):
                continue
            for name in sorted(names):
                is_test = top in ("tests", "fuzz")
                scenario = is_test and name.endswith(SCENARIO)
                if not (name.endswith(CODE) or scenario):
                    continue
                n = code_lines(os.path.join(dirpath, name), scenario)
                if show:
                    print(f"{n:7d}  {os.path.join(rel, name)}")
                if is_test:
                    tests += n
                else:
                    product += n
    total = product + tests
    print(f"product {product}, tests {tests}, total {total}; "
          f"tests are {100.0 * tests / total:.1f} %")


if __name__ == "__main__":
    main()
