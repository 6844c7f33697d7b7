#!/usr/bin/python3
"""Runs the behaviour probe (tools/probe) under Wine, on the build this machine
runs: every row of the behaviour table must give the table's Wine answer.

    probe.py --wine-dir DIR --exe PROBE.exe [--exe PROBE64.exe]
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
import winebox as wb  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-dir", required=True)
    parser.add_argument("--exe", action="append", required=True)
    args = parser.parse_args(argv)
    try:
        session, exe = wb.open_session(args.exe, args.wine_dir)
        with session:
            folder = session.scratch_dir("probe")
            proc = subprocess.run(session.path.loader + [exe, wb.windows_path(folder), "wine"], env=session.env(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  timeout=300)
    except wb.WineError as error:
        print(error)
        return 1
    print(proc.stdout.decode(errors="replace"), end="")
    return 0 if proc.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
