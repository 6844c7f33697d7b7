"""What a scenario expects: the boxes a player sees, as the player reads them (the coded ones from
docs/errors.md, the others from tests/boxes.txt), and what the install folder and the temporary
folder hold after a run."""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from box_robot import IDNO, IDOK, IDYES, Box  # noqa: E402
from dos_files import release_folder_state  # noqa: E402
from wine_choice import REPO  # noqa: E402

sys.path.insert(0, os.path.join(REPO, "tools", "release"))
sys.path.insert(0, os.path.join(REPO, "tests"))
import catalogue  # noqa: E402
from player_texts import SHOWN_FILE, box_texts, guide_rows  # noqa: E402

# ---- the boxes a player sees ----

SAID = box_texts()
GUIDE = {int(code[1:]): cells[0].strip("`") for code, cells in guide_rows()}  # the box of each code
NAME_A_FILE = {int(code[1:]) for code, cells in guide_rows() if cells[1].startswith(SHOWN_FILE)}  # as the guide says
# The program passes no caption for its error boxes: the system shows its own, in its language.
DEFAULT_CAPTION = None
DEFAULT_CAPTIONS = {"ja_JP.UTF-8": "エラー", "C.UTF-8": "Error"}


def box(caption, text, buttons, default, icon):
    return Box(caption, text, buttons, default, icon)


def question(edition):
    return box(SAID["caption %d" % edition], SAID["question"], (IDYES, IDNO), IDYES, "question")


def up_to_date(edition):
    return box(SAID["caption %d" % edition], SAID["up to date"], (IDOK,), IDOK, "information")


COMPLETED = box(SAID["completed caption"], SAID["completed"], (IDOK,), IDOK, "information")


def error(code, name=None):
    """The error box of a code as the guide shows it; those of NAME_A_FILE name the file `name`."""
    text = GUIDE[code]
    if name:
        text = re.sub(r"^(E\d{3}: )\S+", lambda m: m.group(1) + name, text)
    return box(DEFAULT_CAPTION, text, (IDOK,), IDOK, "warning")


def picture_name(b):
    """A screenshot's name, by which of the boxes above it shows: E102-data.xp3 (a code that names a file), E103,
    question-ver1.00, up-to-date-ver1.00 or completion."""
    code = re.match(r"E(\d{3}): (\S+)", b.text)
    if code:
        return "E%s-%s" % code.groups() if int(code.group(1)) in NAME_A_FILE else "E" + code.group(1)
    version = re.search(r"ver1\.0\da?", b.caption)
    version = version.group(0) if version else ""
    return {SAID["question"]: "question-" + version, SAID["up to date"]: "up-to-date-" + version}.get(
        b.text, "completion")


def in_locale(boxes, locale):
    """The boxes as a system of this locale shows them: the default caption its own."""
    return [b._replace(caption=DEFAULT_CAPTIONS[locale]) if b.caption is DEFAULT_CAPTION else b for b in boxes]


# ---- what the install folder and the temporary folder should hold ----

class Unchanged:
    """The install folder as it was before the first run."""

    def state(self, ctx):
        return ctx.prepared


class Finished:
    """finished/N of the release."""

    def state(self, ctx):
        return release_folder_state(ctx.release_dir("finished"))


class Updated:
    """The folder before the first run with these files as in finished/N."""

    def __init__(self, *names):
        self.names = names

    def state(self, ctx):
        finished = release_folder_state(ctx.release_dir("finished"))
        state = dict(ctx.prepared)
        for name in self.names:
            state[name] = finished[name]
        return state


def finished_file(name, length=None):
    """A scratch file holding finished/N's file (or its first `length` bytes)."""
    def content(ctx):
        with open(os.path.join(ctx.release_dir("finished"), name), "rb") as f:
            data = f.read()
        return data if length is None else data[:length]
    content.label = "%s of the finished folder%s" % (name, "" if length is None else ", first %d bytes" % length)
    return content


def payload(payload_id):
    def content(ctx):
        with open(os.path.join(ctx.release, "payload", catalogue.payload_file_name(payload_id)), "rb") as f:
            return f.read()
    content.label = "payload %d" % payload_id
    return content


# The scratch file of a scr.xp3 splice that stopped at reading its second kept run.
_scr = catalogue.RECIPES["scr.xp3"]
SCR_SPLICED_UP_TO_SECOND_RUN = catalogue.SPLICE_HEAD_SIZE + _scr["keepFirst"] + _scr["insertFirst"]
SCR_TOO_SHORT = catalogue.SPLICE_HEAD_SIZE + _scr["keepFirst"] + 100

# What ver1.00 and ver1.00a have been given when their data.xp3, the last file of their first stage, is spliced.
FIRST_STAGE_BEFORE_DATA = ("scr.xp3", "scr.xp3.sig", "data.xp3.sig", "Wellhaven.exe.sig")
