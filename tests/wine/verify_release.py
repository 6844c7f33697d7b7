#!/usr/bin/python3
"""Proves a built updater on the installations of a release folder, under Wine.

    verify_release.py RELEASE_DIR [EXE]

For every installed/N of RELEASE_DIR: copies it into a fresh folder (every
*.sig hidden), registers it as the game's install folder, runs EXE (default
build/windows/WellhavenUpdate103.exe) and answers Yes, then compares the
folder with finished/N byte for byte, with the attributes it should have.
One line per edition, a summary, and exit status 0 only when every edition
ends exactly as finished/N with no warning box, exit status 0 and no scratch
file left behind.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winebox as wb  # noqa: E402


def decoded(b):
    return b.decode("cp932", errors="replace")


def verify(session, exe, release, edition):
    installed = os.path.join(release, "installed", edition)
    finished = os.path.join(release, "finished", edition)
    workdir = session.scratch_dir("verify-" + edition)
    result, folder, left = wb.update_copy(session, exe, installed, workdir)
    problems = []
    if not os.path.isdir(finished):
        problems.append("no finished/%s to compare with" % edition)
    else:
        problems += wb.describe_difference(wb.release_folder_state(finished), wb.folder_state(folder))
    if result.exit_code != 0:
        problems.append("exit status %r" % result.exit_code)
    warnings = [b for b in result.boxes if b.icon != "question" and b.icon != "information"]
    problems += ["box: %s" % decoded(b.text) for b in warnings]
    if left:
        problems.append("left in the temporary folder: " + ", ".join(left))
    boxes = " / ".join("%s: %s" % (decoded(b.caption), decoded(b.text)) for b in result.boxes) or "no box"
    wb.remove_tree(workdir)
    return problems, boxes


def main(argv):
    if len(argv) not in (1, 2) or argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 2
    release = os.path.abspath(argv[0])
    exe = os.path.abspath(argv[1] if len(argv) > 1 else
                          os.path.join(wb.REPO, "build", "windows", "WellhavenUpdate103.exe"))
    if not os.path.isdir(os.path.join(release, "installed")):
        print("%s has no installed/ folder (layout: tools/release/catalogue.py)" % release)
        return 2
    problem = wb.cannot_run(exe)
    if problem:
        print(problem)
        return 2
    editions = sorted((e for e in os.listdir(os.path.join(release, "installed")) if e.isdigit()), key=int)
    started = time.time()
    failed = []
    print("Updater %s\nRelease %s" % (exe, release))
    with wb.Session(os.environ.get("WELLHAVEN_WINE_DIR", os.path.join(wb.REPO, "build", "wine")),
                    log=print) as session:
        for edition in editions:
            problems, boxes = verify(session, exe, release, edition)
            if problems:
                failed.append(edition)
                print("edition %s: FAIL  (%s)\n  %s" % (edition, boxes, "\n  ".join(problems)))
            else:
                print("edition %s: ok    byte-identical to finished/%s, attributes right  (%s)"
                      % (edition, edition, boxes))
            sys.stdout.flush()
    print("%d of %d editions verified, %d failed; wall time %.1f s"
          % (len(editions) - len(failed), len(editions), len(failed), time.time() - started))
    return 1 if failed or not editions else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
