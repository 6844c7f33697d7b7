#!/usr/bin/python3
"""The updater end to end under Wine: every situation a player can meet.

Each row of SCENARIOS makes a fresh install folder from the release the
updater was built from, sets the uninstall registration and the temporary
folder, runs the real executable one or more times (or twice at once) with
the box robot answering, and then checks

  - the exact sequence of boxes: caption and text (code page 932 bytes),
    buttons, default button and icon;
  - the exit status of every run (always 0);
  - every file of the install folder: bytes, hidden and read-only;
  - what is left in the temporary folder (the scratch file of a failed step);
  - with a DLL planted beside the updater, that the robot loaded it and the updater did not.

    scenarios.py [--exe EXE]... [--group NAME]... [--rows all|plain|root] [-k TEXT]
                 [--release DIR] [--wine-dir DIR] [--shots DIR] [--list] [--ctest]

The builds to choose from are given with --exe (default: build/windows and
build/windows64); winebox.choose_path picks the one this machine runs and the
run says which. Group wow64 runs the PE32 in a 64-bit prefix instead. A run
in which every chosen row needs root, without root, ends with status 77
(skipped).

Expected texts are written here in UTF-8 and compared as code page 932.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
import winebox as wb  # noqa: E402
from winebox import IDNO, IDOK, IDYES  # noqa: E402

sys.path.insert(0, os.path.join(wb.REPO, "tools", "release"))
import catalogue  # noqa: E402

# ---- the boxes a player sees ----

CAPTIONS = ["現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
            "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです"]
# The program passes no caption for its error boxes; this is the system's own.
DEFAULT_CAPTION = "エラー"

NO_MEMORY = "メモリ確保に失敗しました。"
NO_INSTALL_DIR = "インストールフォルダの取得に失敗しました。"
NO_PATCH_FILE = "パッチファイルの作成に失敗しました。"
NO_SCRATCH = "一時ファイルの作成に失敗しました。"
NOT_WELLHAVEN = "data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。"


def box(caption, text, buttons, default, icon):
    return wb.Box(caption.encode("cp932"), text.encode("cp932"), buttons, default, icon)


def question(edition):
    return box(CAPTIONS[edition], "Wellhaven ver1.03 へのアップデートを行いますか？", (IDYES, IDNO), IDYES, "question")


def up_to_date(edition):
    return box(CAPTIONS[edition], "既に最新の状態にアップデートされています。", (IDOK,), IDOK, "information")


COMPLETED = box("情報", "アップデートが完了しました。", (IDOK,), IDOK, "information")


def error(code, sentence):
    return box(DEFAULT_CAPTION, "E%03d: %s" % (code, sentence), (IDOK,), IDOK, "warning")


def cannot_open(code, name):
    return error(code, "%s を開けません。" % name)


def damaged(name):
    return error(213, "%s が Wellhaven のものでないか壊れています。" % name)


# ---- what the install folder and the temporary folder should hold ----

class Unchanged:
    """The install folder as it was before the first run."""

    def state(self, ctx):
        return ctx.prepared


class Finished:
    """finished/N of the release."""

    def state(self, ctx):
        return wb.release_folder_state(ctx.release_dir("finished"))


class Updated:
    """The folder before the first run with these files as in finished/N; attributes
    may be given for files whose mark the run leaves as it was."""

    def __init__(self, *names, attributes=None):
        self.names = names
        self.attributes = attributes or {}

    def state(self, ctx):
        finished = wb.release_folder_state(ctx.release_dir("finished"))
        state = dict(ctx.prepared)
        for name in self.names:
            state[name] = finished[name]
        for name, attributes in self.attributes.items():
            state[name] = wb.FileState(state[name].content, frozenset(attributes))
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


# ---- preparations of the install folder ----

class Action:
    needs_root = False

    def __repr__(self):
        return self.label


class Remove(Action):
    def __init__(self, name):
        self.name, self.label = name, "remove " + name

    def __call__(self, ctx):
        os.unlink(ctx.path(self.name))


class Truncate(Action):
    def __init__(self, name, size):
        self.name, self.size, self.label = name, size, "cut %s to %d bytes" % (name, size)

    def __call__(self, ctx):
        os.truncate(ctx.path(self.name), self.size)


class FromFinished(Action):
    def __init__(self, name):
        self.name, self.label = name, "%s as in the finished folder" % name

    def __call__(self, ctx):
        with open(os.path.join(ctx.release_dir("finished"), self.name), "rb") as src:
            data = src.read()
        with open(ctx.path(self.name), "wb") as dst:
            dst.write(data)


class Mark(Action):
    def __init__(self, name, *attributes):
        self.name, self.attributes = name, attributes
        self.label = "mark %s %s" % (name, "+".join(attributes))

    def __call__(self, ctx):
        wb.set_dos_attributes(ctx.path(self.name), self.attributes)


class Immutable(Action):
    """chattr +i: the file system itself refuses every change, even root's."""
    needs_root = True

    def __init__(self, name):
        self.name, self.label = name, "make %s immutable" % name

    def __call__(self, ctx):
        ctx.chattr("+i", self.name)


class FolderInTheWay(Action):
    """A folder where a file or its side file should be: every copy or rename onto it is refused, root's too."""

    def __init__(self, name, on=True):
        self.name, self.on = name, on
        self.label = ("a folder named %s instead of the file" if on else "remove the folder %s") % name

    def __call__(self, ctx):
        if self.on:
            if os.path.lexists(ctx.path(self.name)):
                os.unlink(ctx.path(self.name))
            os.mkdir(ctx.path(self.name))
        else:
            os.rmdir(ctx.path(self.name))


class SideFileLeft(Action):
    """What a run stopped between writing a side file and renaming it leaves: here junk twice the target's size."""

    def __init__(self, name):
        self.name, self.label = name, "junk under %s.new" % name

    def __call__(self, ctx):
        with open(ctx.path(self.name + ".new"), "wb") as f:
            f.write(b"\xa5" * 2 * os.path.getsize(ctx.path(self.name)))


class ChangeByte(Action):
    """One byte changed, every size left right: damage that identification cannot see."""

    def __init__(self, name, offset):
        self.name, self.offset, self.label = name, offset, "change byte %d of %s" % (offset, name)

    def __call__(self, ctx):
        with open(ctx.path(self.name), "r+b") as f:
            f.seek(self.offset)
            byte = f.read(1)
            f.seek(self.offset)
            f.write(bytes([byte[0] ^ 0xFF]))


class LinkFromOutside(Action):
    """A second name in the install folder for a file outside it, such as a user may plant under a side name for
    an elevated updater to write through; after the runs, the file outside must be as it was."""

    def __init__(self, name):
        self.name, self.label = name, "%s a hard link to a file outside the folder" % name

    def __call__(self, ctx):
        self.outside = os.path.join(ctx.root, "outside.bin")
        self.content = b"not the updater's to write\r\n" * 100
        with open(self.outside, "wb") as f:
            f.write(self.content)
        os.link(self.outside, ctx.path(self.name))

    def after(self, ctx):
        with open(self.outside, "rb") as f:
            if f.read() != self.content:
                return ["the file outside the install folder linked as %s was written through" % self.name]
        return []


# ---- the table ----

class Run:
    def __init__(self, boxes, files, answer="yes", before=(), hold=None, scratch=(), alongside=None):
        self.boxes = boxes
        self.alongside = alongside  # the boxes of a second updater started at the same moment, in either order
        self.files = files        # expected install folder after this run: Unchanged, Finished or Updated
        self.answer = answer
        self.before = list(before)
        self.hold = hold          # (file name, "none" or "read")
        self.scratch = list(scratch)  # expected contents left in the temporary folder after this run


class Scenario:
    def __init__(self, group, name, edition, runs, prepare=(), registry="sz", backslash=True,
                 folder="Wellhaven", temp="folder", view=None, planted=None, note=""):
        self.group, self.name, self.edition = group, name, edition
        self.runs = runs
        self.prepare = list(prepare)
        self.registry = registry    # sz, expand_sz, empty, no value, absent, missing folder
        self.backslash = backslash  # whether the registered folder ends in a backslash
        self.folder = folder        # the install folder's own name
        self.temp = temp            # folder, missing, too long
        self.view = view            # "64": the key only in the 64-bit registry view (64-bit prefixes only)
        self.planted = planted      # a DLL name: see plant()
        self.note = note

    def root_reason(self):
        """Why the row can run only as root, or None."""
        if any(a.needs_root for a in self.prepare + [a for r in self.runs for a in r.before]):
            return "chattr +i needs root"
        return None

    def needs_root(self):
        return self.root_reason() is not None


def updated_all(edition):
    return Run([question(edition), COMPLETED], files=Finished())


S = Scenario
WOW64 = "wow64"  # the group that runs the PE32 in a 64-bit prefix
SCENARIOS = [
    # Every edition, answered Yes, ends byte for byte as finished/N; ver1.03 and ver1.03a are left alone.
    *[S("editions", "update edition %d" % e, e, [updated_all(e)]) for e in range(6)],
    *[S("editions", "edition %d is up to date" % e, e, [Run([up_to_date(e)], files=Unchanged())]) for e in (6, 7)],

    # The answer to the question.
    S("answers", "No on edition 0", 0, [Run([question(0)], answer="no", files=Unchanged())]),
    S("answers", "No on edition 5", 5, [Run([question(5)], answer="no", files=Unchanged())]),
    S("answers", "Escape declines like No", 0, [Run([question(0)], answer="escape", files=Unchanged())],
      note="Wine closes a Yes/No box on Escape with IDCANCEL; only Yes is consent"),
    # Started twice at once and answered Yes in both: one run updates while the other waits for it, then finds
    # the installation up to date.
    S("answers", "two runs at once", 0, [Run([question(0), COMPLETED], alongside=[up_to_date(6)], files=Finished())]),

    # The uninstall registration.
    S("registry", "no key", 0, [Run([error(1, NO_INSTALL_DIR)], files=Unchanged())], registry="absent"),
    S("registry", "key without the value", 0, [Run([error(2, NO_INSTALL_DIR)], files=Unchanged())],
      registry="no value"),
    S("registry", "expandable string", 0, [Run([error(5, NO_INSTALL_DIR)], files=Unchanged())],
      registry="expand_sz"),
    S("registry", "empty value", 0, [Run([error(5, NO_INSTALL_DIR)], files=Unchanged())], registry="empty"),
    S("registry", "folder without a trailing backslash", 0, [updated_all(0)], backslash=False),
    S("registry", "Japanese folder name", 4, [updated_all(4)], folder="ウェルヘイブン", backslash=False),
    S("registry", "folder name ending in a 0x5C trail byte", 1, [updated_all(1)], folder="Wellhaven表",
      backslash=False),
    S("registry", "key only in the 64-bit registry view", 0, [Run([error(1, NO_INSTALL_DIR)], files=Unchanged())],
      view="64"),
    S("registry", "registered folder does not exist", 0,
      [Run([cannot_open(102, "data.xp3")], files=Unchanged())], registry="missing folder"),

    # Identification by the sizes of data.xp3, ext.xp3 and auxtrans.dll.
    S("identification", "data.xp3 missing", 0, [Run([cannot_open(102, "data.xp3")], files=Unchanged())],
      prepare=[Remove("data.xp3")]),
    S("identification", "data.xp3 and ext.xp3 missing", 0,
      [Run([cannot_open(102, "data.xp3")], files=Unchanged())], prepare=[Remove("data.xp3"), Remove("ext.xp3")]),
    S("identification", "ext.xp3 missing", 3, [Run([cannot_open(102, "ext.xp3")], files=Unchanged())],
      prepare=[Remove("ext.xp3")]),
    S("identification", "auxtrans.dll missing", 5, [Run([cannot_open(102, "auxtrans.dll")], files=Unchanged())],
      prepare=[Remove("auxtrans.dll")]),
    S("identification", "new ext.xp3 with the old auxtrans.dll reads as ver1.02", 2,
      [Run([question(4), COMPLETED], files=Finished())], prepare=[FromFinished("ext.xp3")],
      note="what a plain-line update stopped after its new ext.xp3 leaves behind"),
    S("identification", "auxtrans.dll one byte short", 4, [Run([error(103, NOT_WELLHAVEN)], files=Unchanged())],
      prepare=[Truncate("auxtrans.dll", 69631)]),
    S("identification", "data.xp3 held open without sharing", 0,
      [Run([cannot_open(102, "data.xp3")], hold=("data.xp3", "none"), files=Unchanged())]),
    S("identification", "auxtrans.dll held open without sharing", 2,
      [Run([cannot_open(102, "auxtrans.dll")], hold=("auxtrans.dll", "none"), files=Unchanged())]),

    # The splices of scr.xp3 (the first step of editions 0 and 1) and data.xp3 (the last of their first stage).
    S("splice", "scr.xp3 missing", 0, [Run([question(0), cannot_open(202, "scr.xp3")], files=Unchanged())],
      prepare=[Remove("scr.xp3")]),
    S("splice", "scr.xp3 held open without sharing", 1,
      [Run([question(1), cannot_open(202, "scr.xp3")], hold=("scr.xp3", "none"), files=Unchanged())]),
    S("splice", "scr.xp3 too short", 0,
      [Run([question(0), error(211, NO_PATCH_FILE)], files=Unchanged(),
           scratch=[finished_file("scr.xp3", SCR_SPLICED_UP_TO_SECOND_RUN)])],
      prepare=[Truncate("scr.xp3", SCR_TOO_SHORT)]),
    # One byte changed in the second kept run of scr.xp3, the first file the update writes: the spliced file is
    # not the release's, and nothing is put in place.
    S("splice", "scr.xp3 damaged in its second kept run", 0,
      [Run([question(0), damaged("scr.xp3")], files=Unchanged())],
      prepare=[ChangeByte("scr.xp3", 600000)]),
    S("splice", "data.xp3 refuses the rename", 0,
      [Run([question(0), error(212, NO_PATCH_FILE)], files=Updated(*FIRST_STAGE_BEFORE_DATA),
           scratch=[finished_file("data.xp3")])],
      prepare=[Immutable("data.xp3")]),

    # Whole files and signatures.
    S("placement", "ext.xp3 refuses the rename", 2,
      [Run([question(2), error(508, NO_PATCH_FILE)], files=Unchanged(), scratch=[payload(108)])],
      prepare=[Immutable("ext.xp3")]),
    S("placement", "ext.xp3 open in the game (read sharing)", 5,
      [Run([question(5), error(508, NO_PATCH_FILE)], hold=("ext.xp3", "read"), files=Unchanged(),
           scratch=[payload(110)])]),
    S("placement", "ext.xp3.sig refuses the rename", 4,
      [Run([question(4), error(508, NO_PATCH_FILE)], files=Updated("ext.xp3"), scratch=[payload(109)])],
      prepare=[Immutable("ext.xp3.sig")]),
    S("placement", "data.xp3.sig refuses the rename", 1,
      [Run([question(1), error(408, NO_PATCH_FILE)], files=Updated("scr.xp3", "scr.xp3.sig"),
           scratch=[payload(105)])],
      prepare=[Immutable("data.xp3.sig")]),
    # A target is replaced by a rename, which takes no mark of the old file with it. Windows refuses the rename
    # over the read-only auxtrans.dll (E508, as the read-only mark is cleared only where the target gets a mark
    # of its own); Wine renames over read-only files.
    S("placement", "hidden and read-only targets are replaced without their marks", 3, [updated_all(3)],
      prepare=[Mark("ext.xp3", wb.HIDDEN), Mark("auxtrans.dll", wb.READONLY),
               Mark("auxtrans.dll.sig", wb.HIDDEN, wb.READONLY)]),

    # Whatever holds a side name is removed, never written through: here a second name of a file elsewhere.
    S("placement", "auxtrans.dll.new a hard link to a file outside", 4, [updated_all(4)],
      prepare=[LinkFromOutside("auxtrans.dll.new")]),

    # The temporary folder.
    S("temp", "temporary folder missing", 0, [Run([question(0), error(302, NO_SCRATCH)], files=Unchanged())],
      temp="missing"),
    S("temp", "temporary folder of 250 characters", 0, [Run([question(0), error(302, NO_SCRATCH)], files=Unchanged())],
      temp="existing 250",
      note="no room for a scratch name; Wine's GetTempFileNameA would return a cut-off name instead of failing"),
    S("temp", "temporary folder path too long", 3, [Run([question(3), error(301, NO_SCRATCH)], files=Unchanged())],
      temp="too long"),

    # A first run stopped by something the player can put right (the game holding a file open, a folder in the
    # way), then a second run answered Yes. Each stage writes the file that identifies it last, so the second
    # run finds the same edition, or the one a finished stage makes (ver1.01 after data.xp3, ver1.02 or ver1.02a
    # after the new ext.xp3), and finishes; a scr.xp3 spliced already has its finished size and is left alone.
    # A target is committed through a side file beside it (<name>.new): a stopped step leaves none behind.
    S("interrupted", "edition 0 stopped at scr.xp3 open in the game, then finished", 0, [
        Run([question(0), error(212, NO_PATCH_FILE)], hold=("scr.xp3", "read"), files=Unchanged(),
            scratch=[finished_file("scr.xp3")]),
        Run([question(0), COMPLETED], files=Finished(), scratch=[finished_file("scr.xp3")])]),
    S("interrupted", "edition 1 stopped at data.xp3 open in the game, then finished", 1, [
        Run([question(1), error(212, NO_PATCH_FILE)], hold=("data.xp3", "read"),
            files=Updated(*FIRST_STAGE_BEFORE_DATA), scratch=[finished_file("data.xp3")]),
        Run([question(1), COMPLETED], files=Finished(), scratch=[finished_file("data.xp3")])]),
    S("interrupted", "edition 0 stopped at ext.xp3 open in the game, then finished as ver1.01", 0, [
        Run([question(0), error(508, NO_PATCH_FILE)], hold=("ext.xp3", "read"),
            files=Updated(*FIRST_STAGE_BEFORE_DATA, "data.xp3"), scratch=[payload(108)]),
        Run([question(2), COMPLETED], files=Finished(), scratch=[payload(108)])]),
    S("interrupted", "edition 0 stopped at auxtrans.dll open in the game, then finished as ver1.02", 0, [
        Run([question(0), error(508, NO_PATCH_FILE)], hold=("auxtrans.dll", "read"),
            files=Updated(*FIRST_STAGE_BEFORE_DATA, "data.xp3", "ext.xp3", "ext.xp3.sig", "auxtrans.dll.sig"),
            scratch=[payload(112)]),
        Run([question(4), COMPLETED], files=Finished(), scratch=[payload(112)])]),
    S("interrupted", "edition 3 with junk in ext.xp3.new stopped at folders auxtrans.dll.sig, then "
      "auxtrans.dll.new; finished as ver1.02a", 3, [
        Run([question(3), error(408, NO_PATCH_FILE)], before=[SideFileLeft("ext.xp3")],
            files=Updated("ext.xp3", "ext.xp3.sig"), scratch=[payload(113)]),
        Run([question(5), error(508, NO_PATCH_FILE)], before=[FolderInTheWay("auxtrans.dll.sig", on=False)],
            files=Updated("ext.xp3", "ext.xp3.sig", "auxtrans.dll.sig"), scratch=[payload(113), payload(112)]),
        Run([question(5), COMPLETED], before=[FolderInTheWay("auxtrans.dll.new", on=False)], files=Finished(),
            scratch=[payload(113), payload(112)])],
      prepare=[FolderInTheWay("auxtrans.dll.sig"), FolderInTheWay("auxtrans.dll.new")]),

    # The 32-bit program in a 64-bit prefix, as on 64-bit Windows: the key where a 32-bit installer puts it.
    S(WOW64, "update edition 0, then up to date", 0, [updated_all(0), Run([up_to_date(6)], files=Finished())]),
    S(WOW64, "key only in the 64-bit registry view", 0, [Run([error(1, NO_INSTALL_DIR)], files=Unchanged())],
      view="64"),

    # A DLL left in the downloads folder: uxtheme.dll, no known DLL, which the process loads only when its first box
    # is drawn (WINEDEBUG=+loaddll shows it after user32, in the updater as in the robot). The robot, started from
    # the same folder and without the restriction, must load it; the updater must not.
    S("planted", "uxtheme.dll beside the updater is not loaded", 0, [updated_all(0)], planted="uxtheme.dll"),
]

GROUPS = []
for _s in SCENARIOS:
    if _s.group not in GROUPS:
        GROUPS.append(_s.group)


# ---- running a row ----

class Context:
    def __init__(self, session, scenario, release, exe):
        self.session, self.scenario, self.release, self.exe = session, scenario, release, exe
        slug = re.sub(r"[^A-Za-z0-9]+", "-", scenario.name).strip("-")
        self.root = session.scratch_dir(slug)
        self.folder = os.path.join(self.root, scenario.folder)
        self.temp = os.path.join(self.root, "temp")
        self.prepared = None

    def release_dir(self, kind):
        return os.path.join(self.release, kind, str(self.scenario.edition))

    def path(self, name):
        return os.path.join(self.folder, name)

    def chattr(self, flag, name):
        subprocess.run(["chattr", flag, self.path(name)], check=True)

    def registered_value(self):
        value = wb.windows_path(self.folder)
        if self.scenario.registry == "missing folder":
            value = wb.windows_path(os.path.join(self.root, "not-installed"))
        return value + ("\\" if self.scenario.backslash else "")

    def registry(self):
        kind = self.scenario.registry
        if kind in ("sz", "missing folder"):
            return wb.RegistryValue("sz", self.registered_value())
        if kind == "expand_sz":
            return wb.RegistryValue("expand_sz", self.registered_value())
        if kind == "empty":
            return wb.RegistryValue("sz", "")
        return wb.RegistryValue(kind)

    def temp_value(self):
        if self.scenario.temp == "missing":
            return wb.windows_path(os.path.join(self.root, "no-such-folder"))
        if self.scenario.temp == "too long":
            # 259 characters: one more than the longest that GetTempPathA can return with its backslash.
            base = wb.windows_path(self.temp) + "\\"
            return base + "x" * (259 - len(base))
        return wb.windows_path(self.temp)

    def make_temp(self):
        if self.scenario.temp == "folder":
            os.makedirs(self.temp)
        elif self.scenario.temp.startswith("existing "):
            # An existing folder whose Windows path has the given length.
            length = int(self.scenario.temp.split()[1])
            base = wb.windows_path(self.root) + "\\"
            self.temp = os.path.join(self.root, "t" * (length - len(base)))
            assert len(wb.windows_path(self.temp)) == length
            os.makedirs(self.temp)

    def scratch_left(self):
        """Contents of the files in the temporary folder; other entries are failures."""
        found, strange = [], []
        if os.path.isdir(self.temp):
            for name in sorted(os.listdir(self.temp)):
                path = os.path.join(self.temp, name)
                if re.fullmatch(r"xp3[0-9a-f]{1,4}\.tmp", name, re.IGNORECASE) and os.path.isfile(path):
                    with open(path, "rb") as f:
                        found.append(f.read())
                else:
                    strange.append(name)
        return found, strange


def check_run(ctx, number, run, results):
    problems = []
    where = "run %d" % number
    for result in results:
        if result.wine_status != 0:
            problems.append("%s: the robot ended with status %d" % (where, result.wine_status))
        if result.exit_code != 0:
            problems.append("%s: the updater's exit status is %r, expected 0" % (where, result.exit_code))
    expected = sorted(tuple(boxes) for boxes in [run.boxes, run.alongside] if boxes is not None)
    seen = sorted(tuple(result.boxes) for result in results)
    if seen != expected:
        lines = ["%s: boxes differ" % where]
        for word, sequences in (("expected: ", expected), ("seen:     ", seen)):
            for boxes in sequences or [()]:
                lines += ["  " + word + wb.show_box(b) for b in boxes] or ["  " + word + "no box"]
        problems.append("\n".join(lines))
    difference = wb.describe_difference(run.files.state(ctx), wb.folder_state(ctx.folder))
    if difference:
        problems.append("%s: install folder differs:\n  %s" % (where, "\n  ".join(difference)))
    found, strange = ctx.scratch_left()
    expected = [content(ctx) for content in run.scratch]
    if strange:
        problems.append("%s: unexpected entries in the temporary folder: %s" % (where, ", ".join(strange)))
    if sorted(found) != sorted(expected):
        problems.append("%s: the temporary folder holds %d scratch file(s) (%s), expected %d (%s)" % (
            where, len(found), ", ".join("%d bytes" % len(f) for f in found) or "none",
            len(expected), ", ".join(c.label for c in run.scratch) or "none"))
    return problems


MINGW_GCC = {wb.PE32: "i686-w64-mingw32-gcc", wb.PE32PLUS: "x86_64-w64-mingw32-gcc"}


def plant(ctx, dll):
    """Copies the updater and the robot into a folder of their own with tests/wine/planted_dll.c built beside them
    as `dll`; returns the copy and the override that has Wine prefer that DLL to its own, as Windows does for a
    DLL that is not a known one."""
    folder = os.path.join(ctx.root, "Downloads")
    os.makedirs(folder)
    for program in (ctx.exe, wb.robot_for(ctx.exe)):
        shutil.copy(program, folder)
    subprocess.run([MINGW_GCC[wb.pe_kind(ctx.exe)], "-shared", "-s", "-Os", "-Wall", "-Wextra", "-Werror",
                    "-o", os.path.join(folder, dll), os.path.join(os.path.dirname(__file__), "planted_dll.c")],
                   check=True)
    return os.path.join(folder, wb.EXE_NAME), os.path.splitext(dll)[0] + "=n,b"


def planted_loads(exe, dll):
    folder = os.path.dirname(exe)
    problems = []
    if os.path.exists(os.path.join(folder, "loaded-into-" + wb.EXE_NAME)):
        problems.append("the updater loaded the %s beside it" % dll)
    if not os.path.exists(os.path.join(folder, "loaded-into-" + wb.ROBOT_NAME)):
        problems.append("the robot, from the same folder, did not load the %s beside it: no load is seen" % dll)
    return problems


def run_scenario(session, scenario, release, exe, shots=None):
    ctx = Context(session, scenario, release, exe)
    exe, overrides = plant(ctx, scenario.planted) if scenario.planted else (exe, None)
    wb.make_install_folder(ctx.release_dir("installed"), ctx.folder)
    ctx.make_temp()
    for action in scenario.prepare:
        action(ctx)
    ctx.prepared = wb.folder_state(ctx.folder)
    session.register(ctx.registry(), ctx.temp_value(), view=scenario.view)

    problems = []
    pictures = []
    for number, run in enumerate(scenario.runs, 1):
        for action in run.before:
            action(ctx)
        hold = (ctx.path(run.hold[0]), run.hold[1]) if run.hold else None
        shot_dir = os.path.join(ctx.root, "shots-%d" % number) if shots else None
        results = session.run_updater(exe, ctx.root, answer=run.answer, hold=hold, shots=shot_dir,
                                      count=1 if run.alongside is None else 2, dll_overrides=overrides)
        problems += check_run(ctx, number, run, results)
        pictures += [p for result in results for p in zip(result.boxes, result.shots)]
    if scenario.planted:
        problems += planted_loads(exe, scenario.planted)
    for action in scenario.prepare:
        problems += action.after(ctx) if hasattr(action, "after") else []
    if shots:
        save_pictures(pictures, shots)
    wb.remove_tree(ctx.root)
    return problems


def picture_name(b):
    text = b.text.decode("cp932", errors="replace")
    caption = b.caption.decode("cp932", errors="replace")
    m = re.match(r"(E\d{3}): (\S+) を開けません", text)
    if m:
        return "%s-%s" % m.groups()
    m = re.match(r"E\d{3}", text)
    if m:
        return m.group(0)
    version = re.search(r"ver1\.0\da?", caption)
    version = version.group(0) if version else ""
    if b.buttons == (IDYES, IDNO):
        return "question-" + version
    if "最新" in text:
        return "up-to-date-" + version
    return "completion"


def save_pictures(pictures, folder):
    """One PNG per distinct box, named after what it says."""
    os.makedirs(folder, exist_ok=True)
    for b, bmp in pictures:
        png = os.path.join(folder, picture_name(b) + ".png")
        if os.path.exists(bmp) and not os.path.exists(png):
            wb.bmp_to_png(bmp, png)


def ctest_tests():
    """(test name, group, rows) of the CTest tests: one per group, and the rows
    of a group that need root as a test of their own, so that CTest counts them
    as skipped where they cannot run. Group wow64 only where it can run."""
    tests = []
    for group in GROUPS:
        if group == WOW64 and wb.wow64_unavailable():
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
ANNOUNCED = set()  # the "wine: " lines already printed in this process


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
        if cls.group == WOW64 and wb.wow64_unavailable():
            raise unittest.SkipTest("group %s: %s" % (WOW64, wb.wow64_unavailable()))
        exes = [os.path.abspath(e) for e in (OPTIONS.exes or wb.default_exes())]
        problem = wb.cannot_run(exes)
        if problem:
            raise wb.WineError(problem)
        path, cls.exe = wb.wow64_path(exes) if cls.group == WOW64 else wb.choose_path(exes)
        if path.description not in ANNOUNCED:
            ANNOUNCED.add(path.description)
            print("wine: " + path.description, flush=True)
        cls.release = os.path.abspath(OPTIONS.release or wb.release_of(cls.exe))
        session = wb.Session(OPTIONS.wine_dir or wb.default_wine_dir(), path, log=print)
        cls.session = session.__enter__()
        print("group %s: %d rows, release %s, display %s, prefix %s" % (
            cls.group, len(cls.rows), cls.release, session.display, session.prefix), flush=True)

    @classmethod
    def tearDownClass(cls):
        if cls.session:
            cls.session.close()

    def test_rows(self):
        for scenario in self.rows:
            with self.subTest(row=scenario.name):
                if needs_root_here(scenario):
                    self.skipTest(scenario.root_reason())
                if scenario.view == "64" and self.session.path.arch == "win32":
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
        if issubclass(err[0], (AssertionError, wb.WineError)):
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
    return wb.SKIP_STATUS if result.skipped and not result.rows["passed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
