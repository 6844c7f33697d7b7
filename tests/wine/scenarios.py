#!/usr/bin/python3
"""The updater end to end under Wine: every situation a player can meet.

Each row of SCENARIOS (scenario_table.py) makes a fresh install folder from
the release the updater was built from, sets the uninstall registration and
the temporary folder, runs the real executable one or more times (or twice at once) with
the box robot answering, and then checks

  - the exact sequence of boxes: caption and text as the player reads them,
    buttons, default button and icon;
  - the exit status of every run (always 0);
  - every file of the install folder: bytes, hidden and read-only;
  - what is left in the temporary folder (the scratch file of a failed step);
  - with a DLL planted beside the updater, that the robot loaded it and the updater did not.

    scenarios.py [--exe EXE]... [--group NAME]... [--rows all|plain|root] [-k TEXT]
                 [--release DIR] [--wine-dir DIR] [--shots DIR] [--list] [--ctest]

The builds to choose from are given with --exe (default: build/windows and
build/windows64); wine_choice.choose_path picks the one this machine runs and the
run says which. Group wow64 runs the PE32 in a 64-bit prefix instead. A run
in which every chosen row needs root, without root, ends with status 77
(skipped).

The pieces: expected.py (boxes and folders a row expects), preparations.py
(what a row does to the install folder, the registration and the temporary
folder), scenario_table.py (the rows), run_row.py (running and checking one);
this file runs the chosen rows under unittest and lists them for CTest.
"""

import argparse
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from wine_choice import SKIP_STATUS, WineError, wow64_unavailable  # noqa: E402
from wine_commands import open_session, release_of  # noqa: E402
from run_row import run_scenario  # noqa: E402
from scenario_table import GROUP_LOCALES, GROUPS, SCENARIOS, WOW64  # noqa: E402


def ctest_tests():
    """(test name, group, rows) of the CTest tests: one per group, and the rows
    of a group that need root as a test of their own, so that CTest counts them
    as skipped where they cannot run. Group wow64 only where it can run."""
    tests = []
    for group in GROUPS:
        if group == WOW64 and wow64_unavailable():
            continue
        rows = [s for s in SCENARIOS if s.group == group]
        if any(not s.needs_root() for s in rows):
            tests.append(("wine." + group, group, "plain"))
        if any(s.needs_root() for s in rows):
            tests.append(("wine.%s.root" % group, group, "root"))
    return tests


# ---- the rows under unittest: one test case per group, one Wine session each ----

class Options:
    """What a run covers. main() sets it from the command line; under
    `python3 -m unittest` the defaults run every row on the two Windows builds."""
    exes = None      # built updaters to choose from; None: the two Windows builds
    release = None   # None: the release the chosen updater was built from
    wine_dir = None  # None: build/wine, or WELLHAVEN_WINE_DIR
    rows = "all"     # all, plain (rows that need no root) or root
    match = None     # only rows whose name contains this text
    shots = None     # a folder for a PNG of every distinct box


OPTIONS = Options()


def chosen_rows(group):
    return [s for s in SCENARIOS if s.group == group
            and (not OPTIONS.match or OPTIONS.match.lower() in s.name.lower())
            and (OPTIONS.rows == "all" or s.needs_root() == (OPTIONS.rows == "root"))]


def needs_root_here(scenario):
    return scenario.needs_root() and os.geteuid() != 0


class GroupRows:
    """The chosen rows of one group, each a subTest, in one Wine session: mixed
    into one unittest.TestCase per group below."""
    group = None

    @classmethod
    def setUpClass(cls):
        cls.session = None
        cls.rows = chosen_rows(cls.group)
        if all(needs_root_here(s) for s in cls.rows):
            return  # every row is skipped: no Wine needed
        if cls.group == WOW64 and wow64_unavailable():
            raise unittest.SkipTest("group %s: %s" % (WOW64, wow64_unavailable()))
        session, cls.exe = open_session(OPTIONS.exes, OPTIONS.wine_dir, wow64=cls.group == WOW64,
                                        locale=GROUP_LOCALES.get(cls.group),
                                        tools=("chattr",) + (("convert",) if OPTIONS.shots else ()))
        cls.release = os.path.abspath(OPTIONS.release or release_of(cls.exe))
        cls.session = session.__enter__()
        print("group %s: %d rows, release %s, display %s, prefix %s (%s)" % (
            cls.group, len(cls.rows), cls.release, session.display, session.prefix, session.locale), flush=True)

    @classmethod
    def tearDownClass(cls):
        if cls.session:
            cls.session.close()

    def test_rows(self):
        for scenario in self.rows:
            with self.subTest(row=scenario.name):
                if needs_root_here(scenario):
                    self.skipTest(scenario.root_reason())
                if scenario.registry.view == "64" and self.session.path.arch == "win32":
                    self.skipTest("not applicable: a 32-bit prefix has one registry view; group %s runs "
                                  "this in a 64-bit one" % WOW64)
                problems = run_scenario(self.session, scenario, self.release, self.exe, shots=OPTIONS.shots)
                if problems:
                    self.fail("\n".join(problems))


def group_case(group):
    return type("Group_" + re.sub(r"\W", "_", group), (GroupRows, unittest.TestCase), {"group": group})


GROUP_CASES = {group: group_case(group) for group in GROUPS}
globals().update((case.__name__, case) for case in GROUP_CASES.values())


class RowResult(unittest.TextTestResult):
    """One line per row, `ok`, `FAIL` (with what differed) or `SKIP` (with why), and its time;
    a failure's message without a traceback."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.rows = {"passed": 0, "failed": 0, "skipped": 0}
        self.started = time.time()

    def startTest(self, test):
        super().startTest(test)
        self.started = time.time()  # a row's time leaves out its group's Wine start

    def _row(self, word, subtest, took=True, detail=""):
        name = subtest.params.get("row", str(subtest))
        timing = " (%.1f s)" % (time.time() - self.started) if took else ""
        self.stream.writeln("%-5s %s%s%s" % (word, name, timing, detail.replace("\n", "\n  ")))
        self.stream.flush()
        self.started = time.time()

    def addSubTest(self, test, subtest, outcome):
        super().addSubTest(test, subtest, outcome)
        if outcome is None:
            self.rows["passed"] += 1
            self._row("ok", subtest)
        else:
            self.rows["failed"] += 1
            self._row("FAIL", subtest, detail="\n" + self._exc_info_to_string(outcome, test))

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        if isinstance(test, unittest.case._SubTest):
            self.rows["skipped"] += 1
            self._row("SKIP", test, took=False, detail=" (%s)" % reason)
        else:
            self.stream.writeln("SKIP  %s" % reason)

    def _exc_info_to_string(self, err, test):
        if issubclass(err[0], (AssertionError, WineError)):
            return str(err[1])
        return super()._exc_info_to_string(err, test)

    def printErrors(self):
        # The rows' failures were shown with their rows; what remains is a group that could not start.
        for test, message in self.errors:
            if not isinstance(test, unittest.case._SubTest):
                self.stream.writeln("ERROR %s: %s" % (test, message))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", action="append", help="a built updater, PE32 or PE32+ (repeatable; "
                        "default: the two Windows builds)")
    parser.add_argument("--release", help="release folder (default: the one the updater was built from)")
    parser.add_argument("--wine-dir", help="folder for the Wine prefixes (default: build/wine)")
    parser.add_argument("--group", action="append", choices=GROUPS, help="run only this group (repeatable)")
    parser.add_argument("--rows", choices=["all", "plain", "root"], default="all",
                        help="only the rows that need root (chattr +i), "
                        "or only the others")
    parser.add_argument("-k", dest="match", help="run only scenarios whose name contains this text")
    parser.add_argument("--shots", help="save a PNG of every distinct box into this folder")
    parser.add_argument("--list", action="store_true", help="list the scenarios and stop")
    parser.add_argument("--ctest", action="store_true",
                        help="print the CTest tests (name, group and rows, one test a line) and stop")
    args = parser.parse_args(argv)

    if args.ctest:
        for test in ctest_tests():
            print(" ".join(test))
        return 0
    OPTIONS.exes = args.exe
    for name in ("release", "wine_dir", "rows", "match", "shots"):
        setattr(OPTIONS, name, getattr(args, name))
    groups = [g for g in GROUPS if (not args.group or g in args.group) and chosen_rows(g)]
    if args.list:
        for s in (s for g in groups for s in chosen_rows(g)):
            print("%-15s %s%s" % (s.group, s.name, "  (needs root)" if s.needs_root() else ""))
        return 0
    if not groups:
        print("no scenario matches")
        return 2
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(GROUP_CASES[g]) for g in groups)
    started = time.time()
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=0, resultclass=RowResult).run(suite)
    print("%s; wall time %.1f s" % (", ".join("%d %s" % (n, k) for k, n in result.rows.items()),
                                     time.time() - started))
    if not result.wasSuccessful():
        return 1
    return SKIP_STATUS if result.skipped and not result.rows["passed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
