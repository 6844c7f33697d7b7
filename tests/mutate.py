#!/usr/bin/env python3
"""Mutation check of the host suite.

Applies each one-line change of tests/mutants.txt to the updater's sources
and runs the host tests built from them. A mutant the suite fails on is
killed (the line names the first test that failed); one on which the whole
suite passes survived. Ends with the number of mutants, of those killed and
the time taken; exits non-zero unless all were killed (one that survived,
did not build, or whose old text is not found exactly once fails it).

The sources are built once by Ninja in the work folder, optimised and
without sanitizers. A mutant's file goes into a folder of its own, searched
before the sources, which are never changed; only the objects whose
preprocessed source it changes are compiled there and linked with the
others, two mutants at a time. A mutant of the release catalogue remakes
there the headers and the sample release the build makes from it; its
sample release stands in the build's while the suite runs, so those run one
at a time. A run whose every input is unchanged reuses the last verdict and
says so.

The suite first runs once without mutants; if it fails there the check stops,
since every mutant would then count as killed. That run's test times set the
order for the mutants, from the quickest test to the slowest, each test
stopping at its first failed assertion and the run at its first failed test.
"""
import argparse
import concurrent.futures
import contextlib
import filecmp
import hashlib
import itertools
import json
import os
import pathlib
import re
import resource
import shlex
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Configuring and the build make headers and the sample release from it.
CATALOGUE = "tools/release/release_catalogue.py"


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


def run(command, timeout, environment=None):
    """The exit status and output of command; -1 when it ran out of time."""
    try:
        done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, preexec_fn=no_core_dumps, env=environment)
        return done.returncode, done.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as stopped:
        return -1, (stopped.stdout or b"").decode("utf-8", "replace")


def load_json(path, default):
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return default


def baseline(binary, work, shards=2):
    """Runs the whole suite without mutants, in shards side by side; returns
    its tests in the order they are registered, as (name, seconds). Stops
    the check if one fails."""
    def shard(index):
        report = work / f"baseline-{index}.json"
        report.unlink(missing_ok=True)
        environment = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(index))
        status, output = run([str(binary), "--gtest_brief=1", f"--gtest_output=json:{report}"], 1200, environment)
        suites = load_json(report, {}).get("testsuites", [])
        return status, output, [(f"{suite['name']}.{test['name']}", float(test.get("time", "0s").rstrip("s")),
                                 "failures" in test) for suite in suites for test in suite.get("testsuite", [])]
    with concurrent.futures.ThreadPoolExecutor(shards) as pool:
        done = list(pool.map(shard, range(shards)))
    # gtest deals the tests out to the shards in turn.
    tests = [test for turn in itertools.zip_longest(*(found for _, _, found in done)) for test in turn if test]
    failed = [name for name, _, failure in tests if failure]
    for status, output, _ in done:
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


class Build:
    """The build of the sources: each object's compile command and the files it was
    compiled from, and the link of the test binary with the libraries as
    their objects, so that a mutant's object can stand in for its own."""

    def __init__(self, sources, folder):
        self.sources, self.folder, self.preprocessed = sources, folder, {}
        commands = [shlex.split(entry["command"]) for entry in load_json(folder / "compile_commands.json", [])]
        self.objects = {os.path.join(folder, args[args.index("-o") + 1]): args for args in commands}
        self.includes = {}
        for block in self.ninja("deps").split("\n\n"):
            head, *files = block.strip().splitlines() or [""]
            # Newer CMake also records the link's inputs, named from the build folder.
            self.includes[os.path.join(folder, head.partition(": #deps")[0])] = {os.path.join(folder, f.strip())
                                                                               for f in files}
        link = next(part for part in self.ninja("commands", "host_tests").splitlines()[-1].split(" && ")
                    if " -o tests/host/host_tests " in part)
        self.link = []
        for arg in shlex.split(link):
            library = re.fullmatch(r"lib(\w+)\.a", arg)
            self.link += ([o for o in self.objects if f"/CMakeFiles/{library.group(1)}.dir/" in o] if library
                          else [os.path.join(folder, arg) if arg.endswith(".o") else arg])
        # gold links in less than half the time of the default linker.
        self.link[1:1] = ["-fuse-ld=gold"] if shutil.which("ld.gold") else []

    def ninja(self, *tool):
        return subprocess.run(["ninja", "-C", str(self.folder), "-t", *tool], check=True, stdout=subprocess.PIPE,
                              text=True).stdout

    def inputs(self, *more):
        """A digest of all the verdicts depend on: the files of the sources
        (without build/ and .git), those each object was compiled from, the
        libraries, the commands, the tools' versions, and more."""
        digest = hashlib.sha256(json.dumps([self.objects, self.link, more]).encode())
        for tool in ("c++", "ninja", "cmake"):
            digest.update(subprocess.run([tool, "--version"], stdout=subprocess.PIPE).stdout)
        paths = set().union(*self.includes.values())
        for folder, dirs, files in os.walk(self.sources):
            dirs[:] = [d for d in dirs if d not in ("build", ".git", "__pycache__")]
            paths |= {os.path.join(folder, name) for name in files}
        for path in sorted(paths | {a for a in self.link if a.startswith("/") and not a.endswith(".o")}):
            digest.update(path.encode() + b"\0" + pathlib.Path(path).read_bytes())
        return digest.hexdigest()

    def compile(self, path, place, output=None):
        """Compiles object path into output, the mutant in place searched
        before the sources; without output, returns its preprocessed source,
        the place read as the sources (its generated headers as the build's)."""
        args, generated = list(self.objects[path]), place / "generated"
        source = args.index("-c") + 1
        if (place / os.path.relpath(args[source], self.sources)).exists():
            args[source] = str(place / os.path.relpath(args[source], self.sources))
        if generated.exists():
            args = [f"-I{generated}" if arg == f"-I{self.folder / 'generated'}" else arg for arg in args]
        args[1:1] = [f"-I{place}"]
        at = args.index("-o")
        if output:
            args[at + 1] = str(output)
            return subprocess.run(args, cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        args[at:at + 2] = []
        args[args.index("-c")] = "-E"
        done = subprocess.run(args, cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        text = done.stdout.replace(str(generated).encode(), str(self.folder / "generated").encode())
        return done.returncode, text.replace(str(place).encode(), str(self.sources).encode())

    def mutant(self, place, name, text, parallel):
        """Builds in place the test binary of the sources with name holding
        text, compiling only the objects whose source that changes. Returns
        it, or None and why it does not build."""
        mutated = place / name
        mutated.parent.mkdir(parents=True, exist_ok=True)
        mutated.write_text(text, encoding="utf-8")
        changed = {str(self.sources / name)}
        if name == CATALOGUE:
            generated, tools = place / "generated", self.sources / "tools" / "release"
            for step in ([tools / "catalogue.py", mutated, generated],
                         [tools / "make_sample_release.py", "--catalogue", mutated, place / "sample-release"],
                         [tools / "check_release.py", "--catalogue", mutated, "release", place / "sample-release",
                          "--crc-header", generated / "release_crcs.h"]):
                status, output = run([sys.executable, "-B"] + [str(arg) for arg in step], 300)
                if status != 0:
                    return None, f"{step[0].name} refuses it: {output.strip()}"
            changed = {str(self.folder / "generated" / f.name) for f in generated.iterdir()
                       if not filecmp.cmp(f, self.folder / "generated" / f.name, shallow=False)}
        nowhere = self.folder / "nowhere"

        def compile_one(numbered):
            number, path = numbered
            if self.objects[path][-1] not in changed:  # a source that includes what changed
                if path not in self.preprocessed:
                    self.preprocessed[path] = self.compile(path, nowhere)
                if self.compile(path, place) == self.preprocessed[path]:
                    return path, path, None
            return path, str(place / f"{number}.o"), self.compile(path, place, place / f"{number}.o")
        objects = {}
        affected = [o for o, args in self.objects.items() if changed & self.includes.get(o, changed)]
        for path, output, done in parallel(compile_one, enumerate(affected)):
            if done and done.returncode:
                return None, f"{os.path.relpath(path, self.folder)} does not compile: {done.stdout.strip()}"
            objects[path] = output
        args = [objects.get(arg, arg) for arg in self.link]
        args[args.index("-o") + 1] = str(place / "host_tests")
        done = subprocess.run(args, cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return (place / "host_tests", None) if done.returncode == 0 else (None, "does not link: " + done.stdout)


@contextlib.contextmanager
def in_place_of(release, sample, kept):
    """Puts release in place of the build's sample release, kept aside
    until the block ends (or the next run begins)."""
    os.rename(sample, kept)
    os.rename(release, sample)
    try:
        yield
    finally:
        shutil.rmtree(sample)
        os.rename(kept, sample)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", type=pathlib.Path, default=ROOT / "tests" / "mutants.txt",
                        help="the list of mutants (default: tests/mutants.txt)")
    parser.add_argument("--work", type=pathlib.Path, default=ROOT / "build" / "mutants",
                        help="where the build and the mutants live (default: build/mutants)")
    parser.add_argument("--only", type=int, action="append", default=[],
                        help="run only the mutant whose entry begins on this line of the list")
    args = parser.parse_args()
    started, work = time.monotonic(), args.work.resolve()
    folder, places = work / "build", work / "mutants"
    sample, kept = folder / "sample-release", work / "sample-release.kept"
    if kept.exists():  # a run stopped while a catalogue mutant's sample release was in place
        shutil.rmtree(sample, ignore_errors=True)
        os.rename(kept, sample)
    # No sanitizers, no debug information: the logic and the simulated Windows
    # are compiled with -O2 whatever the build type, the tests as fast as can be.
    configure = ["cmake", "-S", str(ROOT), "-B", str(folder), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_CXX_FLAGS_DEBUG=", "-DWELLHAVEN_SANITIZE=OFF", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                 "-DWELLHAVEN_UPDATER_EXE=", "-DWELLHAVEN_UPDATER_EXE64="]
    if run(configure, 900)[0] != 0:
        sys.exit("the sources do not configure: " + " ".join(configure))
    if run(["ninja", "-C", str(folder), "-j2", "host_tests"], 900)[0] != 0:
        sys.exit("the host tests do not build without mutants")
    build = Build(ROOT, folder)
    inputs = build.inputs(args.list.read_text(encoding="utf-8"), args.only, sys.version)
    earlier = load_json(work / "verdict.json", {})
    if earlier.get("inputs") == inputs:
        print(f"{earlier['line']}; the verdict of {earlier['when']}, reused: no input of it has changed since")
        return 0
    (work / "verdict.json").unlink(missing_ok=True)

    tests = baseline(folder / "tests" / "host" / "host_tests", work)
    position = {name: index for index, (name, _) in enumerate(tests)}
    quickest_first = [name for name, _ in sorted(tests, key=lambda test: test[1])]
    mutants = [m for m in read_mutants(args.list) if not args.only or m[0] in args.only]
    shutil.rmtree(places, ignore_errors=True)
    pool, verdicts = concurrent.futures.ThreadPoolExecutor(2), {}

    def check(mutant, parallel=map):
        line, name, old, new = mutant
        label = f"{args.list.name}:{line} {name}: {old.strip()!r} -> {new.strip()!r}"
        text, place = (ROOT / name).read_text(encoding="utf-8"), places / str(line)
        binary, why = (None, f"the old text occurs {text.count(old)} times") if text.count(old) != 1 else \
            build.mutant(place, name, text.replace(old, new), parallel)
        # The tests read the sample release from the build's folder.
        with in_place_of(place / "sample-release", sample, kept) if binary and name == CATALOGUE else \
                contextlib.nullcontext():
            failure = binary and judge(binary, quickest_first, position)
        verdicts[line] = "killed" if failure else "SURVIVED" if binary else "BROKEN"
        why = f"by {failure[0]}{failure[1]}" if failure else why or ""
        print(f"{verdicts[line]:9} {label}  {why}".rstrip(), flush=True)
        shutil.rmtree(place, ignore_errors=True)

    for mutant in [m for m in mutants if m[1] == CATALOGUE]:
        check(mutant, pool.map)
    list(pool.map(check, [m for m in mutants if m[1] != CATALOGUE]))
    counts = [list(verdicts.values()).count(verdict) for verdict in ("killed", "SURVIVED", "BROKEN")]
    line = f"{len(mutants)} mutants: {counts[0]} killed, {counts[1]} survived, {counts[2]} not built"
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(f"{line}, in {time.monotonic() - started:.0f} s ({used.ru_utime + used.ru_stime:.0f} s of CPU)")
    if counts[0] < len(mutants):
        return 1
    (work / "verdict.json").write_text(json.dumps({"inputs": inputs, "line": line, "when": time.ctime()}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
