#!/usr/bin/env python3
"""Mutation check of the host suite.

Applies each one-line change of tests/mutants.txt to the updater's sources,
one at a time, rebuilds only the host test binary, runs it (stopping at the
first failing test) and puts the source back. A mutant the suite fails on is
killed; one it passes survived. Prints "N killed, N survived" and exits
non-zero when a mutant survived, did not build, or its old text was not found
exactly once (so a list that no longer fits the sources fails loudly).

The mutants are made in a copy of the checkout (default build/mutants/src)
with a host build of its own, so the checkout itself is never changed, even
by a run that is stopped part way. Files are copied only when they differ,
so a second run rebuilds only what changed.
"""
import argparse
import filecmp
import os
import pathlib
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


def run(command, timeout):
    try:
        return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def sync_copy(source, copy):
    """Makes copy hold the files of source (without build/ and .git), copying
    only those that differ and removing those source no longer has."""
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
                shutil.copy2(source / relative, target)
    for folder, dirs, files in os.walk(copy):
        dirs[:] = [d for d in dirs if not (pathlib.Path(folder) == copy and d == "build")]
        for name in files:
            path = pathlib.Path(folder, name)
            if path.relative_to(copy) not in wanted:
                path.unlink()


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
    if run(configure, 900) != 0:
        sys.exit("the copy of the sources does not configure: " + " ".join(configure))
    binary = build_dir / "tests" / "host" / "host_tests"
    build = ["cmake", "--build", str(build_dir), "--target", "host_tests", "-j2"]
    tests = [str(binary), "--gtest_fail_fast", "--gtest_brief=1"]
    if run(build, 900) != 0:
        sys.exit("the host tests do not build without mutants")

    killed, survived, broken = 0, [], []
    for line, name, old, new in read_mutants(args.list):
        if args.only and line not in args.only:
            continue
        label = f"{args.list.name}:{line} {name}: {old.strip()!r} -> {new.strip()!r}"
        source = copy / name
        original = source.read_bytes()
        text = original.decode("utf-8")
        if text.count(old) != 1:
            broken.append(f"{label}: the old text occurs {text.count(old)} times")
            print(f"NOT FOUND {label}", flush=True)
            continue
        try:
            source.write_bytes(text.replace(old, new).encode("utf-8"))
            if run(build, 900) != 0:
                broken.append(f"{label}: does not build")
                print(f"BROKEN    {label}", flush=True)
                continue
            if run(tests, 600) != 0:
                killed += 1
                print(f"killed    {label}", flush=True)
            else:
                survived.append(label)
                print(f"SURVIVED  {label}", flush=True)
        finally:
            source.write_bytes(original)

    run(build, 900)
    print(f"{killed} killed, {len(survived)} survived")
    for label in broken:
        print(f"not a mutant: {label}")
    return 1 if survived or broken else 0


if __name__ == "__main__":
    sys.exit(main())
