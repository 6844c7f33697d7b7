#!/usr/bin/python3
"""The updater's main job on the sample data, for a reader to look at.

    demo.py OUTDIR [EXE...]

EXE: the built updaters to choose from (default: the two Windows builds);
the one this machine runs under Wine is taken, and the run says which. Makes a ver1.00 installation (installed/0 of the release the updater was
built from) in OUTDIR/Wellhaven, registers it, runs the updater under Wine,
answers Yes, and leaves behind:

  OUTDIR/Wellhaven/      the updated installation
  OUTDIR/screenshots/    a PNG of every box the updater showed, in order
  OUTDIR/boxes.txt       caption and text of every box

and says whether the folder is now byte-identical to finished/0.
"""

import os
import re
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from dos_files import describe_difference, folder_state, release_folder_state, remove_tree  # noqa: E402
from wine_choice import WineError  # noqa: E402
from wine_commands import bmp_to_png, open_session, parse_updater_command, release_of, update_copy  # noqa: E402

MARKER = ".wellhaven-demo"


def main(argv):
    args = parse_updater_command(__doc__, "outdir", "where the updated folder, the screenshots and "
                                    "boxes.txt go", argv)
    out = args.outdir
    try:
        session, exe = open_session(args.exe, tools=("convert",))
    except WineError as e:
        print(e)
        return 1
    if os.path.isdir(out) and os.listdir(out):
        if not os.path.exists(os.path.join(out, MARKER)):
            print("%s is not empty and not an earlier demo output; choose another folder" % out)
            return 2
        remove_tree(out)
    os.makedirs(out)
    open(os.path.join(out, MARKER), "w").close()

    release = release_of(exe)
    installed = os.path.join(release, "installed", "0")
    finished = os.path.join(release, "finished", "0")
    shots = os.path.join(out, "screenshots")
    print("Updating a ver1.00 installation (%s) with %s under Wine" % (installed, exe))
    with session:
        result, folder, left = update_copy(session, exe, installed, out, shots=shots)

    lines = []
    for number, (b, bmp) in enumerate(zip(result.boxes, result.shots), 1):
        kind = {"question": "question", "information": "information", "warning": "error"}.get(b.icon, b.icon)
        png = os.path.join(shots, "%d-%s.png" % (number, kind))
        bmp_to_png(bmp, png)
        os.unlink(bmp)
        lines.append("%d. [%s] %s  (%s)" % (number, b.caption, b.text, os.path.relpath(png, out)))
    with open(os.path.join(out, "boxes.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    for name in os.listdir(out):
        if re.fullmatch(r"robot-\d+\.txt", name):
            os.unlink(os.path.join(out, name))
    if not left:
        shutil.rmtree(os.path.join(out, "temp"), ignore_errors=True)

    print("Boxes (answered Yes to the question):")
    for line in lines:
        print("  " + line)
    difference = describe_difference(release_folder_state(finished), folder_state(folder))
    print("Exit status: %s" % result.exit_code)
    if difference:
        print("%s differs from finished/0:\n  %s" % (folder, "\n  ".join(difference)))
        return 1
    print("%s is now byte-identical to finished/0 (ver1.03), every .sig hidden." % folder)
    print("Screenshots: %s" % shots)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
