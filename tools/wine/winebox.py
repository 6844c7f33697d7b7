"""Says which Windows build of the updater runs under Wine on this machine.

    winebox.py path|preset|line
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from wine_choice import PE32, PE32PLUS, WineError, choose_path, say_path  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description="Says which Windows build runs under Wine here: "
                                     "pe32 (preset windows) or pe32plus (preset windows64).")
    parser.add_argument("what", choices=["path", "preset", "line"],
                        help="print the path's name, its build's preset, or the line the Wine tests print")
    args = parser.parse_args(argv)
    try:
        path, _ = choose_path(None)
    except WineError as e:
        print(e, file=sys.stderr)
        return 1
    if args.what == "line":
        say_path(path)
    else:
        print(path.name if args.what == "path" else {PE32: "windows", PE32PLUS: "windows64"}[path.build])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
