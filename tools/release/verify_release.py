#!/usr/bin/python3
"""Proves a built updater on the installations of a release folder, under Wine.

    verify_release.py [--edition N]... RELEASE_DIR [EXE...]

For every installed/N of RELEASE_DIR: copies it into a fresh folder (every
*.sig hidden), registers it as the game's install folder, runs the updater
and answers Yes, then compares the folder with finished/N byte for byte, with
the attributes it should have. One line per edition, a summary, and exit
status 0 only when every edition ends exactly as finished/N with no warning
box, exit status 0 and no scratch file left behind.

--edition N: only installed/N (repeatable). A release to be shipped is proven
on every edition, the default; the tests, whose scenarios update every edition
already, prove the command itself on one.

EXE: the built updaters to choose from (default: build/windows and
build/windows64); the one this machine runs under Wine is taken (a PE32 in a
32-bit prefix, else a PE32+ in a 64-bit one), and the run says which.
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from dos_files import describe_difference, folder_state, release_folder_state, remove_tree  # noqa: E402
from wine_choice import WineError  # noqa: E402
from wine_commands import open_session, parse_updater_command, update_copy  # noqa: E402


def verify(session, exe, release, edition):
    installed = os.path.join(release, "installed", edition)
    finished = os.path.join(release, "finished", edition)
    workdir = session.scratch_dir("verify-" + edition)
    result, folder, left = update_copy(session, exe, installed, workdir)
    problems = []
    if not os.path.isdir(finished):
        problems.append("no finished/%s to compare with" % edition)
    else:
        problems += describe_difference(release_folder_state(finished), folder_state(folder))
    if result.exit_code != 0:
        problems.append("exit status %r" % result.exit_code)
    warnings = [b for b in result.boxes if b.icon != "question" and b.icon != "information"]
    problems += ["box: %s" % b.text for b in warnings]
    if left:
        problems.append("left in the temporary folder: " + ", ".join(left))
    boxes = " / ".join("%s: %s" % (b.caption, b.text) for b in result.boxes) or "no box"
    remove_tree(workdir)
    return problems, boxes


def main(argv):
    args = parse_updater_command(__doc__, "release", "the release folder: installed/N to update, "
                                    "finished/N to compare with", argv, options=[
                                        (("--edition",), dict(type=int, action="append", metavar="N",
                                                              help="verify only installed/N (repeatable; "
                                                              "default: every edition of the release)"))])
    release = args.release
    if not os.path.isdir(os.path.join(release, "installed")):
        print("%s has no installed/ folder (layout: tools/release/catalogue.py)" % release)
        return 2
    editions = sorted((e for e in os.listdir(os.path.join(release, "installed")) if e.isdigit()), key=int)
    if args.edition:
        missing = sorted(set(args.edition) - {int(e) for e in editions})
        if missing:
            print("%s has no %s" % (release, ", ".join("installed/%d" % e for e in missing)))
            return 2
        editions = [e for e in editions if int(e) in args.edition]
    try:
        session, exe = open_session(args.exe)
    except WineError as e:
        print(e)
        return 1
    started = time.time()
    failed = []
    print("Updater %s\nRelease %s" % (exe, release))
    with session:
        for edition in editions:
            problems, boxes = verify(session, exe, release, edition)
            if problems:
                failed.append(edition)
                print("edition %s: FAIL  (%s)\n  %s" % (edition, boxes, "\n  ".join(problems)))
            else:
                print("edition %s: ok    byte-identical to finished/%s, attributes right  (%s)"
                      % (edition, edition, boxes))
            sys.stdout.flush()
    print("%d of %d editions verified%s, %d failed; wall time %.1f s"
          % (len(editions) - len(failed), len(editions), " (chosen with --edition)" if args.edition else "",
             len(failed), time.time() - started))
    return 1 if failed or not editions else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
