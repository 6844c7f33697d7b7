#!/usr/bin/python3
"""Runs the behaviour probe (tools/probe) under Wine, on the build this machine
runs: every row of the behaviour table must give the table's answer for the
account it runs under. As root it runs twice: in the session, against the
column of Wine as root, and as a user without privileges (a player's Wine),
against the Wine column; an ordinary account checks the Wine column.

    probe.py --wine-dir DIR --exe PROBE.exe [--exe PROBE64.exe]
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from dos_files import windows_path  # noqa: E402
from unprivileged import run_console  # noqa: E402
from wine_choice import WineError  # noqa: E402
from wine_session import open_session  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-dir", required=True)
    parser.add_argument("--exe", action="append", required=True)
    args = parser.parse_args(argv)
    root = os.geteuid() == 0
    try:
        session, exe = open_session(args.exe, args.wine_dir)
        with session:
            folder = session.scratch_dir("probe")
            proc = subprocess.run(session.path.loader + [exe, windows_path(folder), "wine-root" if root else "wine"],
                                  env=session.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, timeout=300)
        print(proc.stdout.decode(errors="replace"), end="", flush=True)
        failed = proc.returncode != 0
        if root:
            try:
                status, output = run_console(session.path, exe, ["{folder}", "wine"])
                print("As a user without privileges:\n" + output, end="")
                failed = failed or status != 0
            except WineError as error:
                print("wine: the probe did not run as a user without privileges (%s): only the column of Wine "
                      "as root was checked" % error)
    except WineError as error:
        print(error)
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
