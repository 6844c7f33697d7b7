"""What the player reads: the texts of the boxes other than the coded ones, by name (tests/boxes.txt), and the
rows of the guide to the codes (docs/errors.md)."""

import os
import re

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_ROW = re.compile(r"^\|\s*(E\d{3})\s*\|(.*)$")
SHOWN_FILE = "表示されたファイル（"  # how a row's third cell begins where the code's box names a file


def box_texts():
    with open(os.path.join(_ROOT, "tests", "boxes.txt"), encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("\t", 1) for line in f if "\t" in line and not line.startswith("#"))


def guide_rows():
    """[(code, [cells])] of the guide's table rows whose first cell is a code, in order."""
    with open(os.path.join(_ROOT, "docs", "errors.md"), encoding="utf-8") as f:
        return [(m.group(1), [cell.strip() for cell in m.group(2).rstrip().rstrip("|").split("|")])
                for m in map(_ROW.match, f.read().splitlines()) if m]
