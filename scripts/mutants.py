#!/usr/bin/env python3
"""Planted-fault runs: does the test suite notice a plausible bug?

Applies the faults of scripts/mutants.txt one at a time to a copy of the
repository's tracked files (build/mutants/src), rebuilds the `mutants`
preset in one reused build folder (build/mutants/build), runs CTest and
tells for each fault: caught, missed, broken (does not compile) or stale
(its text is no longer in its file). The working tree is never written.
See scripts/mutants.sh for the options.
"""

import argparse
import fnmatch
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CATALOGUE = os.path.join(ROOT, "scripts", "mutants.txt")
SCRATCH = os.path.join(ROOT, "build", "mutants")
COPY = os.path.join(SCRATCH, "src")
BINARY = os.path.join(SCRATCH, "build")
RESULTS = os.path.join(SCRATCH, "results.txt")
# Tests that fail without any fault, left out of every run.
EXCLUDED = []
FIELDS = ("id", "file", "what")


class Entry:
    def __init__(self, line):
        self.line = line  # where its block starts in the catalogue
        self.id = None
        self.file = None
        self.what = None
        self.find = None
        self.replace = None


def parse_catalogue(path):
    """Blocks separated by '---' lines; see the head of the catalogue."""
    entries, errors = [], []
    cur, text_field = None, None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for n, raw in enumerate(lines, 1):
        line = raw.rstrip("\r")
        if line.strip() == "---":
            if cur:
                entries.append(cur)
            cur, text_field = Entry(n), None
            continue
        if cur is None or line.startswith("#"):
            continue
        if line.startswith("|"):
            if text_field is None:
                errors.append(f"line {n}: text line outside find:/replace:")
                continue
            body = line[2:] if line.startswith("| ") else line[1:]
            old = getattr(cur, text_field)
            setattr(cur, text_field, body if old is None else old + "\n" + body)
            continue
        if not line.strip():
            continue
        m = re.match(r"^(\w+):\s*(.*)$", line)
        if not m:
            errors.append(f"line {n}: not a field: {line!r}")
            continue
        key, value = m.group(1), m.group(2).strip()
        if key in ("find", "replace"):
            text_field = key
            setattr(cur, key, value if value else None)
            if value:  # a one-line text on the field's own line
                text_field = None
        elif key in FIELDS:
            text_field = None
            setattr(cur, key, value)
        else:
            errors.append(f"line {n}: unknown field {key!r}")
    if cur:
        entries.append(cur)
    seen = set()
    for e in entries:
        missing = [k for k in FIELDS + ("find",) if getattr(e, k) is None]
        if e.replace is None:
            e.replace = ""
            if "replace" not in missing:
                pass
        if missing:
            errors.append(f"block at line {e.line}: missing {', '.join(missing)}")
        if e.id in seen:
            errors.append(f"block at line {e.line}: id {e.id} used twice")
        seen.add(e.id)
        if e.find is not None and e.find == e.replace:
            errors.append(f"block at line {e.line}: replace equals find")
    return entries, errors


def occurrences(tree, e):
    path = os.path.join(tree, e.file)
    if not os.path.isfile(path):
        return 0, None
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    return text.count(e.find), text


def tracked_files():
    out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], check=True,
                         stdout=subprocess.PIPE).stdout
    return [p for p in out.decode().split("\0") if p]


def write_if_changed(dst, data):
    try:
        with open(dst, "rb") as f:
            if f.read() == data:
                return False
    except OSError:
        pass
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, "wb") as f:
        f.write(data)
    return True


def sync_copy():
    """The copy holds the tracked files as the working tree has them. Files
    left unchanged keep their times, so the reused build stays warm."""
    files = tracked_files()
    changed = 0
    for rel in files:
        src = os.path.join(ROOT, rel)
        if os.path.islink(src) or not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        if write_if_changed(os.path.join(COPY, rel), data):
            changed += 1
            os.chmod(os.path.join(COPY, rel), os.stat(src).st_mode & 0o777)
    wanted = set(files)
    for dirpath, _, names in os.walk(COPY):
        for name in names:
            full = os.path.join(dirpath, name)
            if os.path.relpath(full, COPY) not in wanted:
                os.remove(full)
    return changed


def nice(cmd, niceness):
    return ["nice", "-n", str(niceness)] + cmd if niceness else cmd


def run(cmd, log, limit=None, env=None):
    """Runs cmd in its own process group; (exit code, seconds, timed out)."""
    start = time.time()
    with open(log, "w") as out:
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env,
                             start_new_session=True)
        try:
            rc = p.wait(timeout=limit)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            rc = p.wait()
            timed_out = True
    return rc, time.time() - start, timed_out


def configure(args):
    if os.path.exists(os.path.join(BINARY, "CMakeCache.txt")):
        return True
    rc, _, _ = run(nice(["cmake", "-S", COPY, "-B", BINARY, "--preset", "mutants"], args.nice),
                   os.path.join(SCRATCH, "configure.log"))
    return rc == 0


def build(args):
    rc, secs, _ = run(nice(["cmake", "--build", BINARY, "-j", str(args.jobs)], args.nice),
                      os.path.join(SCRATCH, "build.log"))
    return rc == 0, secs


def failed_tests(log):
    names = []
    with open(log, errors="replace") as f:
        for line in f:
            # "  7 - name (Failed)", a parameterised test's name followed by
            # "# GetParam() = ..." before its verdict.
            m = re.match(r"^\s*\d+\s*-\s*(\S+)(?:\s+#.*?)?\s+\(([^()]*)\)\s*$", line)
            if m and m.group(2).lower() not in ("skipped", "disabled", "not run"):
                names.append(f"{m.group(1)} {m.group(2).lower()}")
    return names


def test(args, guard):
    env = dict(os.environ)
    env.setdefault("NIMBRO_SOAK_SECONDS", "2")
    cmd = ["ctest", "--test-dir", BINARY, "-j", str(args.test_jobs or args.jobs), "--timeout",
           str(args.timeout)]
    if not args.all:
        cmd.append("--stop-on-failure")
    if EXCLUDED:
        cmd += ["-E", "|".join("^" + re.escape(t) + "$" for t in EXCLUDED)]
    log = os.path.join(SCRATCH, "ctest.log")
    rc, secs, timed_out = run(nice(cmd, args.nice), log, limit=guard, env=env)
    if timed_out:
        return False, secs, ["the whole run passed its time limit"]
    return rc == 0, secs, failed_tests(log)


def report(ids):
    """Per test, the faults it caught in the last run of each (caught-by.txt),
    and those it alone caught: the tests no fault needs alone are the rest."""
    by_fault = {}
    path = os.path.join(SCRATCH, "caught-by.txt")
    if not os.path.exists(path):
        print(f"no {path}: run with --all first", file=sys.stderr)
        return 2
    with open(path) as f:
        for line in f:
            fid, _, names = line.rstrip("\n").partition("\t")
            if fid in ids:
                by_fault[fid] = set(names.split())
    by_test = {}
    for fid, names in by_fault.items():
        for name in names:
            by_test.setdefault(name, set()).add(fid)
    order = sorted(by_test, key=lambda t: (-len(by_test[t]), t))
    for name in order:
        alone = sorted((f for f in by_test[name] if by_fault[f] == {name}), key=int)
        print(f"{len(by_test[name]):>3}  {name}" + (f"  alone: {' '.join(alone)}" if alone else ""))
    missed = sorted((f for f, n in by_fault.items() if not n), key=int)
    print(f"{len(by_test)} tests caught {len(by_fault) - len(missed)} of {len(by_fault)} faults; "
          f"missed: {' '.join(missed) or 'none'}")
    return 0


def record(line):
    with open(RESULTS, "a") as f:
        f.write(line + "\n")


def selected(entries, args):
    ids = set()
    for v in args.id or []:
        ids.update(x.strip() for x in v.split(",") if x.strip())
    out = []
    for e in entries:
        if ids and e.id not in ids:
            continue
        if args.patterns and not any(p in e.file or fnmatch.fnmatch(e.file, p)
                                     for p in args.patterns):
            continue
        out.append(e)
    return out


def main():
    ap = argparse.ArgumentParser(prog="scripts/mutants.sh",
                                 description="Plant the catalogue's faults one at a time and "
                                             "run the tests against each.")
    ap.add_argument("patterns", nargs="*",
                    help="only entries whose file contains (or matches, as a glob) one of these")
    ap.add_argument("--id", action="append", help="only these ids (repeat or comma-separate)")
    ap.add_argument("--list", action="store_true", help="list the selected entries and stop")
    ap.add_argument("--check", metavar="TREE", nargs="?", const=ROOT,
                    help="only tell which entries are stale or ambiguous in TREE "
                         "(default: this repository)")
    ap.add_argument("--timeout", type=int, default=300, help="per-test time-out, seconds")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--test-jobs", type=int, default=0,
                    help="tests run at once (default: --jobs); most tests wait, not compute")
    ap.add_argument("--report", action="store_true",
                    help="per test, the faults it caught in the last --all run, and those it "
                         "alone caught")
    ap.add_argument("--all", action="store_true",
                    help="run every test against each fault, not up to the first failure, so "
                         "that caught-by.txt names every test that catches it")
    ap.add_argument("--nice", type=int, default=19, help="niceness of builds and tests (0: none)")
    ap.add_argument("--no-baseline", action="store_true",
                    help="skip the test run of the unchanged copy")
    args = ap.parse_args()

    entries, errors = parse_catalogue(CATALOGUE)
    for err in errors:
        print(f"catalogue: {err}", file=sys.stderr)
    if errors:
        return 2
    chosen = selected(entries, args)
    if not chosen:
        print("no entry selected", file=sys.stderr)
        return 2

    if args.list:
        for e in chosen:
            print(f"{e.id:>4}  {e.file}: {e.what}")
        print(f"{len(chosen)} entries")
        return 0

    if args.report:
        return report({e.id for e in chosen})

    if args.check:
        bad = 0
        for e in chosen:
            n, _ = occurrences(args.check, e)
            if n != 1:
                bad += 1
                print(f"{e.id:>4}  {e.file}: {'stale' if n == 0 else f'ambiguous ({n} places)'}")
        print(f"{len(chosen) - bad} of {len(chosen)} entries apply to {args.check}")
        return 1 if bad else 0

    os.makedirs(SCRATCH, exist_ok=True)
    changed = sync_copy()
    print(f"copy: {COPY} ({changed} files refreshed)", flush=True)
    if not configure(args):
        print(f"configure failed: see {SCRATCH}/configure.log")
        return 1
    ok, secs = build(args)
    if not ok:
        print(f"the unchanged copy does not build: see {SCRATCH}/build.log")
        return 1
    print(f"baseline build {secs:.0f}s", flush=True)
    guard = None
    if not args.no_baseline:
        ok, secs, failed = test(args, None)
        if not ok:
            # Tests that fail without any fault judge nothing: they are left
            # out of every run (CTest's -E; under Wine a test is a whole
            # program, natively one GoogleTest case), and said so.
            # The run stops at its first failure: a few rounds find them all.
            for _ in range(5):
                names = [n.split(" ")[0] for n in failed]
                if ok or not names or "the whole run passed its time limit" in failed:
                    break
                print("left out of every run, as they fail unchanged: " + ", ".join(names))
                EXCLUDED.extend(names)
                ok, secs, failed = test(args, None)
            if not ok:
                print(f"see {SCRATCH}/ctest.log")
                return 1
        print(f"baseline tests pass in {secs:.0f}s", flush=True)
        guard = max(args.timeout, 3 * secs + 60)
    record(f"# run {time.strftime('%Y-%m-%d %H:%M:%S')}: {len(chosen)} entries")

    counts = {"caught": 0, "missed": 0, "broken": 0, "stale": 0}
    missed = []
    for e in chosen:
        n, original = occurrences(COPY, e)
        if n != 1:
            verdict, detail = "stale", "text not found" if n == 0 else f"text found {n} times"
        else:
            path = os.path.join(COPY, e.file)
            mutated = original.replace(e.find, e.replace, 1)
            t0 = time.time()
            try:
                write_if_changed(path, mutated.encode("utf-8"))
                built, _ = build(args)
                if not built:
                    verdict, detail = "broken", "does not compile"
                else:
                    passed, _, failed = test(args, guard)
                    verdict = "missed" if passed else "caught"
                    detail = ", ".join(failed[:4]) if failed else ""
                    # Every test that caught it, to find tests no fault needs alone.
                    with open(os.path.join(SCRATCH, "caught-by.txt"), "a") as out:
                        out.write(f"{e.id}\t{' '.join(n.split(' ')[0] for n in failed)}\n")
            finally:
                # Written anew, so that its time is later than the mutant's
                # objects and the next build compiles it again.
                with open(path, "wb") as f:
                    f.write(original.encode("utf-8"))
            detail = f"{detail} ({time.time() - t0:.0f}s)".strip()
        counts[verdict] += 1
        if verdict == "missed":
            missed.append(e)
        line = f"{e.id:>4}  {verdict.upper():<7} {e.file}: {e.what}  [{detail}]"
        print(line, flush=True)
        record(line)

    judged = counts["caught"] + counts["missed"]
    share = f"{100.0 * counts['caught'] / judged:.0f}%" if judged else "n/a"
    summary = (f"caught {counts['caught']}, missed {counts['missed']}, broken {counts['broken']}, "
               f"stale {counts['stale']}; caught share {counts['caught']}/{judged} = {share}")
    print(summary)
    record("# " + summary)
    if missed:
        print("missed (tests still owed):")
        for e in missed:
            print(f"{e.id:>4}  {e.file}: {e.what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
