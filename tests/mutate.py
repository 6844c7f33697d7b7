#!/usr/bin/env python3
"""Mutation check of the host suite.

Applies each one-line change of tests/mutants.txt to the updater's sources,
one at a time, rebuilds only the host test binary, runs it and puts the
source back. A mutant the suite fails on is killed (the line names the first
test that failed); one on which the whole suite passes survived. Prints
"N killed, N survived" and exits non-zero when a mutant survived, did not
build, or its old text was not found exactly once (so a list that no longer
fits the sources fails loudly).

The mutants are made in a copy of the checkout (default build/mutants/src)
with a host build of its own, so the checkout itself is never changed, even
by a run that is stopped part way. Files are copied only when they differ,
so a second run rebuilds only what changed.

The suite first runs once without mutants; if it fails there the check stops,
since every mutant would then count as killed. That run's test times set the
order for the mutants, from the quickest test to the slowest, each test stopping at its first failed assertion and the run at its
first failed test. Mutants of one file are made one after another, so each
build recompiles one source or two.
"""
import argparse
import filecmp
import json
import os
import pathlib
import re
import resource
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def read_mutants(path):
    """The mutants of the list, as (line, file, old, new)."""
    mutants = []
    fields = {}
    start = 0
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        key, sep, value = line.partition(": ")
        if not sep or key not in ("file", "old", "new"):
            sys.exit(f"{path}:{number}: expected 'file: ', 'old: ' or 'new: '")
        if key == "file":
            fields, start = {}, number
        fields[key] = value.replace("\\n", "\n")
        if key == "new":
            if set(fields) != {"file", "old", "new"}:
                sys.exit(f"{path}:{start}: a mutant needs file, old and new, in that order")
            mutants.append((start, fields["file"], fields["old"], fields["new"]))
    return mutants


def no_core_dumps():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run(command, timeout):
    """The exit status and output of command; -1 when it ran out of time."""
    try:
        done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, preexec_fn=no_core_dumps)
        return done.returncode, done.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as stopped:
        return -1, (stopped.stdout or b"").decode("utf-8", "replace")


def sync_copy(source, copy):
    """Makes copy hold the files of source (without build/ and .git), copying
    only those that differ and removing those source no longer has. A copied
    file gets the time of copying, not its own, so that the build never takes
    an object made from an older mutant for up to date."""
    skip = {"build", ".git"}
    wanted = set()
    for folder, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if not (pathlib.Path(folder) == source and d in skip) and d != "__pycache__"]
        for name in files:
            relative = pathlib.Path(folder, name).relative_to(source)
            wanted.add(relative)
            target = copy / relative
            if not target.exists() or not filecmp.cmp(source / relative, target, shallow=False):
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source / relative, target)
                shutil.copymode(source / relative, target)
    for folder, dirs, files in os.walk(copy):
        dirs[:] = [d for d in dirs if not (pathlib.Path(folder) == copy and d == "build")]
        for name in files:
            path = pathlib.Path(folder, name)
            if path.relative_to(copy) not in wanted:
                path.unlink()


def load_json(path, default):
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return default


def baseline(binary, report):
    """Runs the whole suite without mutants; returns its tests in the order
    they are registered, as (name, seconds). Stops the check if one fails."""
    if report.exists():
        report.unlink()
    status, output = run([str(binary), "--gtest_brief=1", f"--gtest_output=json:{report}"], 1200)
    suites = load_json(report, {}).get("testsuites", [])
    tests = [(f"{suite['name']}.{test['name']}", float(test.get("time", "0s").rstrip("s")), "failures" in test)
             for suite in suites for test in suite.get("testsuite", [])]
    failed = [name for name, _, failure in tests if failure]
    if status != 0 or failed or not tests:
        why = ", ".join(failed) if failed else first_failure(output) or f"exit status {status}"
        sys.exit(f"the host suite fails without mutants ({why}), so no mutant can be judged: make it pass first")
    return [(name, seconds) for name, seconds, _ in tests]


def first_failure(output):
    """The first test the output of a run of the binary shows failing: its
    first FAILED line, else the test it was in when it stopped (a failed
    assertion throws, which ends the run, as does a crash)."""
    running = None
    for line in output.splitlines():
        failed = re.match(r"\[  FAILED  \] (\S+\.\S+)", line)
        if failed:
            return failed.group(1)
        started = re.match(r"\[ RUN      \] (\S+\.\S+)", line)
        if started:
            running = started.group(1)
    return running


def batches(order, position):
    """Splits the tests, in the order they should run, into runs of the
    binary: gtest runs its tests in the order they are registered, so a new
    run begins wherever the wanted order goes back."""
    runs = []
    for name in order:
        if runs and position[name] > position[runs[-1][-1]]:
            runs[-1].append(name)
        else:
            runs.append([name])
    return runs


def judge(binary, order, position):
    """Runs every test in order, stopping at the first failure. Returns the
    first failed test and how it failed, or None when the whole suite passed."""
    for names in batches(order, position):
        command = [str(binary), "--gtest_filter=" + ":".join(names), "--gtest_fail_fast",
                   "--gtest_throw_on_failure", "--gtest_color=no"]
        status, output = run(command, 600)
        if status == -1:
            return first_failure(output) or names[0], " (out of time)"
        ran = re.search(r"^\[==========\] (\d+) tests? from .* ran\.", output, re.M)
        if status != 0 or not ran or int(ran.group(1)) != len(names):
            culprit = first_failure(output)
            return culprit or names[0], "" if culprit else f" (exit status {status} before it began)"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", type=pathlib.Path, default=ROOT / "tests" / "mutants.txt",
                        help="the list of mutants (default: tests/mutants.txt)")
    parser.add_argument("--work", type=pathlib.Path, default=ROOT / "build" / "mutants",
                        help="where the copy and its build live (default: build/mutants)")
    parser.add_argument("--only", type=int, action="append", default=[],
                        help="run only the mutant whose entry begins on this line of the list")
    args = parser.parse_args()

    copy = args.work / "src"
    build_dir = copy / "build"
    sync_copy(ROOT, copy)
    configure = ["cmake", "-S", str(copy), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Debug",
                 "-DWELLHAVEN_SANITIZE=ON", "-DWELLHAVEN_UPDATER_EXE=", "-DWELLHAVEN_UPDATER_EXE64="]
    if run(configure, 900)[0] != 0:
        sys.exit("the copy of the sources does not configure: " + " ".join(configure))
    binary = build_dir / "tests" / "host" / "host_tests"
    build = ["cmake", "--build", str(build_dir), "--target", "host_tests", "-j2"]
    if run(build, 900)[0] != 0:
        sys.exit("the host tests do not build without mutants")

    tests = baseline(binary, args.work / "baseline.json")
    position = {name: index for index, (name, _) in enumerate(tests)}
    quickest_first = [name for name, _ in sorted(tests, key=lambda test: test[1])]

    mutants = [m for m in read_mutants(args.list) if not args.only or m[0] in args.only]
    files = list(dict.fromkeys(name for _, name, _, _ in mutants))
    mutants.sort(key=lambda m: files.index(m[1]))
    killed, survived, broken = 0, [], []
    originals = {}
    try:
        for line, name, old, new in mutants:
            label = f"{args.list.name}:{line} {name}: {old.strip()!r} -> {new.strip()!r}"
            source = copy / name
            for other in [f for f in originals if f != source]:
                other.write_bytes(originals.pop(other))
            original = originals.setdefault(source, source.read_bytes())
            text = original.decode("utf-8")
            if text.count(old) != 1:
                broken.append(f"{label}: the old text occurs {text.count(old)} times")
                print(f"NOT FOUND {label}", flush=True)
                continue
            source.write_bytes(text.replace(old, new).encode("utf-8"))
            if run(build, 900)[0] != 0:
                broken.append(f"{label}: does not build")
                print(f"BROKEN    {label}", flush=True)
                continue
            failure = judge(binary, quickest_first, position)
            if failure:
                killed += 1
                print(f"killed    {label}  by {failure[0]}{failure[1]}", flush=True)
            else:
                survived.append(label)
                print(f"SURVIVED  {label}", flush=True)
    finally:
        for source, original in originals.items():
            source.write_bytes(original)

    print(f"{killed} killed, {len(survived)} survived")
    for label in broken:
        print(f"not a mutant: {label}")
    return 1 if survived or broken else 0


if __name__ == "__main__":
    sys.exit(main())
