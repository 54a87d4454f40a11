#!/usr/bin/env bash
# Planted-fault runs (a maintainers' tool; CI does not run it).
#
#   scripts/mutants.sh                      every fault of scripts/mutants.txt
#   scripts/mutants.sh comm/ReadScan.cpp    faults in files matching a pattern
#   scripts/mutants.sh --id 12,14           faults by id
#   scripts/mutants.sh --list               list them and stop
#   scripts/mutants.sh --check [TREE]       which faults no longer apply to TREE
#   scripts/mutants.sh --all [...]          every test against each fault (slower)
#   scripts/mutants.sh --report [...]       per test, the faults it caught, and alone
#
# Each fault is planted in a copy of the tracked files (build/mutants/src),
# built with the `mutants` preset in build/mutants/build and tested with
# CTest; the working tree is never written. Results are also appended to
# build/mutants/results.txt, and the names of every test that caught a fault
# to build/mutants/caught-by.txt (one line per fault: id, tab, names).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutants.py "$@"
