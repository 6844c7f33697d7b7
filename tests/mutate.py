#!/usr/bin/env python3
"""Mutation check of the host suite.

Applies each one-line change of tests/mutants.txt to the updater's sources
and runs the host tests built from them. A mutant the suite fails on is
killed (the line names the first test that failed); one on which the whole
suite passes survived. Ends with how many mutants there were, how many were
killed and how long the check took, and exits non-zero unless every one was
killed: one that survived, did not build, or whose old text was not found
exactly once (so a list that no longer fits the sources fails loudly).

The sources are copied (default build/mutants/src, only the files that
differ) and built there once by Ninja, optimised and without sanitizers, so
the checkout itself is never changed, even by a run stopped part way. A
mutant never touches the copy either: its file is written into a folder of
its own, searched before the copy's, and only the objects whose preprocessed
source it changes are compiled there and linked with the others; a mutant of
the release catalogue remakes, in its folder, the headers and the sample
release the build makes from it. Two mutants are built and run at a time,
those of the catalogue one at a time (the tests read the sample release
from the build's folder, where theirs stands while they run).

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
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The release catalogue: configuring and the build make headers and the
# sample release from it.
CATALOGUE = "tools/release/release_catalogue.py"


def read_mutants(path, text):
    """The mutants of the list text read from path, as (line, file, old, new)."""
    mutants = []
    fields = {}
    start = 0
    for number, line in enumerate(text.splitlines(), 1):
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


def sync_copy(source, copy):
    """Makes copy hold the files of source (without build/ and .git), copying
    only those that differ and removing those source no longer has. A copied
    file gets the time of copying, not its own, so that the build never takes
    an object made from an older mutant for up to date. Returns the files,
    relative to both."""
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
    return wanted


def load_json(path, default):
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return default


def baseline(binary, work, shards):
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
    """The copy's host build without sanitizers, made by Ninja, and what a
    mutant needs of it: each object's compile command, the link of the test
    binary, and the files each object was compiled from."""

    def __init__(self, copy, folder):
        self.copy, self.folder = copy, folder
        self.objects = {}
        for entry in json.loads((folder / "compile_commands.json").read_text(encoding="utf-8")):
            args = shlex.split(entry["command"])
            at = args.index("-o") + 1
            path = os.path.normpath(os.path.join(entry["directory"], args[at]))
            self.objects[path] = (entry["directory"], args, at, os.path.normpath(entry["file"]))
        commands = subprocess.run(["ninja", "-C", str(folder), "-t", "commands", "host_tests"], check=True,
                                  stdout=subprocess.PIPE, text=True).stdout.splitlines()
        link = next(part for part in commands[-1].split(" && ") if " -o tests/host/host_tests " in part)
        # The libraries as their objects, so that a mutant's object stands in
        # for the one it replaces.
        self.link = []
        for arg in shlex.split(link):
            library = re.fullmatch(r"lib(\w+)\.a", arg)
            members = [o for o in self.objects if f"/CMakeFiles/{library.group(1)}.dir/" in o] if library else []
            self.link += members or [os.path.normpath(os.path.join(folder, arg)) if arg.endswith(".o") else arg]
        if shutil.which("ld.gold"):  # links a mutant in less than half the time of the default linker
            self.link.insert(1, "-fuse-ld=gold")
        self.includes = {}
        deps = subprocess.run(["ninja", "-C", str(folder), "-t", "deps"], check=True, stdout=subprocess.PIPE,
                              text=True).stdout
        for block in deps.split("\n\n"):
            head, *files = block.strip().splitlines() or [""]
            path = os.path.normpath(os.path.join(folder, head.partition(": #deps")[0]))
            self.includes[path] = {os.path.normpath(os.path.join(folder, f.strip())) for f in files}
        self.preprocessed = {}

    def inputs(self, files, *more):
        """A digest of everything the suite's verdicts on the mutants depend
        on: files of the copy, every file an object was compiled from (the
        system's headers too), the libraries linked, the commands and the
        versions of the tools, and more."""
        digest = hashlib.sha256(json.dumps([self.objects, self.link, more]).encode())
        for tool in ("c++", "ninja", "cmake"):
            digest.update(subprocess.run([tool, "--version"], stdout=subprocess.PIPE).stdout)
        paths = {str(self.copy / f) for f in files}.union(*self.includes.values())
        for path in sorted(paths | {a for a in self.link if os.path.isabs(a) and not a.endswith(".o")}):
            digest.update(path.encode() + b"\0" + pathlib.Path(path).read_bytes())
        return digest.hexdigest()

    def command(self, path, overlay, output):
        """The compile command of an object, reading what overlay holds in
        place of the copy's files, writing output (or, when None, the
        preprocessed source to standard output)."""
        directory, args, at, source = self.objects[path]
        args = list(args)
        if output is None:
            args[at - 1:at + 1] = []
            args[args.index("-c")] = "-E"
        else:
            args[at] = str(output)
        for old, new in overlay.folders:
            args = [f"-I{new}" if arg == f"-I{old}" else arg for arg in args]
        if source in overlay.files:
            args[args.index(source)] = overlay.files[source]
        return directory, [args[0]] + [f"-I{new}" for new in overlay.searched] + args[1:]

    def same_source(self, path, overlay):
        """Whether an object would be compiled from exactly the source it was
        compiled from before the mutant (its preprocessed text, with the
        overlay's folders read as the copy's)."""
        def preprocess(overlay):
            directory, args = self.command(path, overlay, None)
            done = subprocess.run(args, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            return done.returncode, done.stdout
        if path not in self.preprocessed:
            self.preprocessed[path] = preprocess(Overlay.NONE)
        status, text = preprocess(overlay)
        for old, new in overlay.folders + [(str(self.copy), str(new)) for new in overlay.searched]:
            text = text.replace(new.encode(), old.encode())
        return status == 0 and (status, text) == self.preprocessed[path]


class Overlay:
    """A mutant's files beside the copy's: files maps a source the copy
    compiles to its mutated text's path, folders an include folder of the
    build to the one that replaces it, searched the folders looked in before
    the copy's own."""

    def __init__(self, files=None, folders=(), searched=()):
        self.files, self.folders, self.searched = files or {}, list(folders), list(searched)


Overlay.NONE = Overlay()


def same_tree(one, other):
    """Whether two folders hold the same files with the same contents."""
    def files(root):
        return sorted(p.relative_to(root) for p in root.rglob("*") if p.is_file())
    return files(one) == files(other) and all(filecmp.cmp(one / f, other / f, shallow=False) for f in files(one))


def mutant_binary(build, place, name, text, parallel):
    """Builds in place the test binary of the program with name holding
    text, recompiling only the objects whose source that changes. Returns the
    binary and, for a mutant of the release catalogue, the sample release it
    makes (None when that is the build's own); or None and why it does not
    build."""
    copy, folder = build.copy, build.folder
    mutated = place / name
    mutated.parent.mkdir(parents=True, exist_ok=True)
    mutated.write_text(text, encoding="utf-8")
    release = None
    if name == CATALOGUE:
        # What configuring and the build make from the catalogue, made anew.
        generated, release = place / "generated", place / "sample-release"
        tools = copy / "tools" / "release"
        for step in ([tools / "catalogue.py", mutated, generated],
                     [tools / "make_sample_release.py", "--catalogue", mutated, release],
                     [tools / "check_release.py", "--catalogue", mutated, "release", release,
                      "--crc-header", generated / "release_crcs.h"]):
            status, output = run([sys.executable, "-B"] + [str(arg) for arg in step], 300)
            if status != 0:
                return None, f"{step[0].name} refuses it: {output.strip()}"
        if same_tree(release, folder / "sample-release"):
            release = None
        overlay = Overlay(folders=[(str(folder / "generated"), str(generated))])
        changed = {str(folder / "generated" / f.name) for f in generated.iterdir()
                   if not filecmp.cmp(f, folder / "generated" / f.name, shallow=False)}
    else:
        overlay = Overlay(files={str(copy / name): str(mutated)}, searched=[str(place)])
        changed = {str(copy / name)}
    affected = [o for o, (_, _, _, source) in build.objects.items()
                if source in changed or changed & build.includes.get(o, set())]

    def compile_one(index_path):
        index, path = index_path
        if build.objects[path][3] not in overlay.files and build.same_source(path, overlay):
            return path, path, ""
        output = place / f"{index}.o"
        directory, args = build.command(path, overlay, output)
        done = subprocess.run(args, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return path, str(output), done.stdout if done.returncode else ""
    replaced = {}
    for path, output, errors in parallel(compile_one, enumerate(affected)):
        if errors:
            return None, f"{os.path.relpath(path, folder)} does not compile: {errors.strip()}"
        replaced[path] = output
    binary = place / "host_tests"
    args = [replaced.get(arg, arg) for arg in build.link]
    args[args.index("-o") + 1] = str(binary)
    done = subprocess.run(args, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode:
        return None, "does not link: " + done.stdout.strip()
    return (binary, release), None


@contextlib.contextmanager
def sample_release(folder, release, kept):
    """Puts release in place of the build's sample release while the suite
    runs (the tests read it from there), and the build's own back after."""
    if release is None:
        yield
        return
    os.rename(folder / "sample-release", kept)
    os.rename(release, folder / "sample-release")
    try:
        yield
    finally:
        shutil.rmtree(folder / "sample-release")
        os.rename(kept, folder / "sample-release")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", type=pathlib.Path, default=ROOT / "tests" / "mutants.txt",
                        help="the list of mutants (default: tests/mutants.txt)")
    parser.add_argument("--work", type=pathlib.Path, default=ROOT / "build" / "mutants",
                        help="where the copy and its build live (default: build/mutants)")
    parser.add_argument("--only", type=int, action="append", default=[],
                        help="run only the mutant whose entry begins on this line of the list")
    parser.add_argument("--jobs", type=int, default=2, help="mutants built and run at a time (default: 2)")
    args = parser.parse_args()
    args.work = args.work.resolve()
    started = time.monotonic()

    copy = args.work / "src"
    folder = args.work / "build"
    kept = args.work / "sample-release.kept"
    if kept.exists():  # a run stopped while a mutant's sample release was in place
        shutil.rmtree(folder / "sample-release", ignore_errors=True)
        os.rename(kept, folder / "sample-release")
    files = sync_copy(ROOT, copy)
    # Optimised and without sanitizers: the mutants need the suite's
    # verdict, not its diagnosis, and the logic and the simulated Windows
    # are compiled with -O2 whatever the build type.
    configure = ["cmake", "-S", str(copy), "-B", str(folder), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_CXX_FLAGS_DEBUG=", "-DWELLHAVEN_SANITIZE=OFF", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                 "-DWELLHAVEN_UPDATER_EXE=", "-DWELLHAVEN_UPDATER_EXE64="]
    if run(configure, 900)[0] != 0:
        sys.exit("the copy of the sources does not configure: " + " ".join(configure))
    if run(["ninja", "-C", str(folder), f"-j{args.jobs}", "host_tests"], 900)[0] != 0:
        sys.exit("the host tests do not build without mutants")
    build = Build(copy, folder)
    mutant_list = args.list.read_text(encoding="utf-8")
    inputs = build.inputs(files, mutant_list, args.only, sys.version)
    verdict = args.work / "verdict.json"
    earlier = load_json(verdict, {})
    if earlier.get("inputs") == inputs:
        print(f"{earlier['line']}; reused from the run of {earlier['when']}: every input is unchanged since "
              f"(checked in {time.monotonic() - started:.0f} s)")
        return 0
    if verdict.exists():
        verdict.unlink()

    tests = baseline(folder / "tests" / "host" / "host_tests", args.work, args.jobs)
    position = {name: index for index, (name, _) in enumerate(tests)}
    quickest_first = [name for name, _ in sorted(tests, key=lambda test: test[1])]

    mutants = [m for m in read_mutants(args.list, mutant_list) if not args.only or m[0] in args.only]
    places = args.work / "mutants"
    shutil.rmtree(places, ignore_errors=True)
    pool = concurrent.futures.ThreadPoolExecutor(args.jobs)
    printing = threading.Lock()
    results = {}

    def check(mutant, parallel):
        line, name, old, new = mutant
        label = f"{args.list.name}:{line} {name}: {old.strip()!r} -> {new.strip()!r}"
        text = (copy / name).read_text(encoding="utf-8")
        if text.count(old) != 1:
            verdict, why = "NOT FOUND", f"the old text occurs {text.count(old)} times"
        else:
            place = places / str(line)
            made, why = mutant_binary(build, place, name, text.replace(old, new), parallel)
            if made is None:
                verdict = "BROKEN"
            else:
                with sample_release(folder, made[1], kept):
                    failure = judge(made[0], quickest_first, position)
                verdict, why = ("killed", f"by {failure[0]}{failure[1]}") if failure else ("SURVIVED", "")
                shutil.rmtree(place)
        results[line] = verdict, label, why
        with printing:
            print(f"{verdict:9} {label}  {why.splitlines()[0] if why else ''}".rstrip(), flush=True)

    # A mutant of the catalogue may make another sample release, which the
    # tests read from the build's folder: those run one at a time, their
    # objects compiled side by side; the others two at a time.
    for mutant in [m for m in mutants if m[1] == CATALOGUE]:
        check(mutant, pool.map)
    one_at_a_time = map
    list(pool.map(lambda mutant: check(mutant, one_at_a_time), [m for m in mutants if m[1] != CATALOGUE]))
    pool.shutdown()

    verdicts = [results[line][0] for line, _, _, _ in mutants]
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    line = (f"{len(mutants)} mutants: {verdicts.count('killed')} killed, {verdicts.count('SURVIVED')} survived, "
            f"{len(mutants) - verdicts.count('killed') - verdicts.count('SURVIVED')} not built")
    print(f"{line}, in {time.monotonic() - started:.0f} s ({used.ru_utime + used.ru_stime:.0f} s of CPU)")
    if verdicts.count("killed") == len(mutants):
        verdict.write_text(json.dumps({"inputs": inputs, "line": line, "when": time.strftime("%Y-%m-%d %H:%M:%S")}),
                           encoding="utf-8")
    for line, _, _, _ in mutants:
        verdict, label, why = results[line]
        if verdict not in ("killed", "SURVIVED"):
            print(f"not a mutant: {label}: {why}")
    return 0 if verdicts.count("killed") == len(mutants) else 1


if __name__ == "__main__":
    sys.exit(main())
