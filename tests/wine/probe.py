#!/usr/bin/python3
"""Runs the behaviour probe (tools/probe) under Wine, on the build this machine
runs: every row must give the table's answer for the account and the Wine version it runs under;
as root, also as a user without privileges (a player's Wine).

    probe.py --wine-dir DIR --exe PROBE.exe [--exe PROBE64.exe]
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from dos_files import windows_path  # noqa: E402
from unprivileged import run_console  # noqa: E402
from wine_choice import WineError, say  # noqa: E402
from wine_commands import open_session  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-dir", required=True)
    parser.add_argument("--exe", action="append", required=True)
    args = parser.parse_args(argv)
    root = os.geteuid() == 0
    try:
        session, exe = open_session(args.exe, args.wine_dir)
        with session:
            folder, version = windows_path(session.scratch_dir("probe")), session.wine_version()
            proc = subprocess.run(session.path.loader + [exe, folder, "wine-root" if root else "wine", version],
                                  env=session.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, timeout=300)
    except WineError as error:
        print(error)
        return 1
    print(proc.stdout.decode(errors="replace"), end="", flush=True)
    status = 0
    if root:  # root's Wine is not a player's: the Wine column is checked as a user without privileges
        try:
            status, output = run_console(session.path, exe, ["{folder}", "wine", version])
            print("As a user without privileges:\n" + output, end="")
        except WineError as error:
            say("the probe did not run as a user without privileges (%s): only the column of Wine as root was "
                "checked" % error)
    return 1 if proc.returncode != 0 or status != 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
