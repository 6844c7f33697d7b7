"""The scenario table, a row for each situation a player can meet: an edition, its preparations
(preparations.py), and one or more runs, each with its answer and what must be seen after it (expected.py)."""

from dos_files import HIDDEN, READONLY
from expected import (
    COMPLETED, FIRST_STAGE_BEFORE_DATA, SCR_SPLICED_UP_TO_SECOND_RUN, SCR_TOO_SHORT, Finished, Unchanged, Updated,
    error, finished_file, payload, question, up_to_date)
from preparations import (
    ChangeByte, FolderInTheWay, FromFinished, Hold, Immutable, LinkFromOutside, Mark, NoInstallFolder, NoTempFolder,
    Planted, Registered, Remove, SideFileLeft, TempFolder, TempPathTooLong, Truncate)


class Run:
    def __init__(self, boxes, files, answer="yes", before=(), hold=None, scratch=(), alongside=None):
        self.boxes = boxes
        self.alongside = alongside  # the boxes of a second updater started at the same moment, in either order
        self.files = files        # expected install folder after this run: Unchanged, Finished or Updated
        self.answer = answer
        self.before = list(before)
        self.hold = hold          # a Hold: a file another process holds open while the updater runs
        self.scratch = list(scratch)  # expected contents left in the temporary folder after this run


class Scenario:
    def __init__(self, group, name, edition, runs, prepare=(), registry=None, folder="Wellhaven", temp=None,
                 wine_answer=None):
        self.group, self.name, self.edition = group, name, edition
        # With wine_answer, a row (setup, call) of the behaviour table (tools/probe/table.inc): the runs for each
        # answer the table gives for the Wine and the account running them.
        self.runs, self.wine_answer = runs, wine_answer
        self.prepare = list(prepare)
        self.registry = registry or Registered()  # Registered or NoInstallFolder
        self.folder = folder        # the install folder's own name
        self.temp = temp or TempFolder()  # TempFolder, NoTempFolder or TempPathTooLong

    def root_reason(self):
        """Why the row can run only as root, or None."""
        runs = [r for runs in self.runs.values() for r in runs] if self.wine_answer else self.runs
        if any(a.needs_root for a in self.prepare + [a for r in runs for a in r.before]):
            return "chattr +i needs root"
        return None

    def needs_root(self):
        return self.root_reason() is not None

    def runs_under(self, session, exe):
        return self.runs[session.table_answer(exe, *self.wine_answer)] if self.wine_answer else self.runs


def updated_all(edition):
    return Run([question(edition), COMPLETED], files=Finished())


S = Scenario
WOW64 = "wow64"  # the group that runs the PE32 in a 64-bit prefix
# Groups whose prefix is made under another locale than Japanese: a system whose ANSI code page is 1252.
GROUP_LOCALES = {"locale": "C.UTF-8"}
SCENARIOS = [
    # Every edition, answered Yes, ends byte for byte as finished/N; ver1.03 and ver1.03a are left alone.
    *[S("editions", "update edition %d" % e, e, [updated_all(e)]) for e in range(6)],
    *[S("editions", "edition %d is up to date" % e, e, [Run([up_to_date(e)], files=Unchanged())]) for e in (6, 7)],

    # The answer to the question.
    S("answers", "No on edition 0", 0, [Run([question(0)], answer="no", files=Unchanged())]),
    S("answers", "No on edition 5", 5, [Run([question(5)], answer="no", files=Unchanged())]),
    # Wine closes a Yes/No box on Escape with IDCANCEL; only Yes is consent.
    S("answers", "Escape declines like No", 0, [Run([question(0)], answer="escape", files=Unchanged())]),
    # Started twice at once and answered Yes in both: one run updates while the other waits for it, then finds
    # the installation up to date.
    S("answers", "two runs at once", 0, [Run([question(0), COMPLETED], alongside=[up_to_date(6)], files=Finished())]),

    # The uninstall registration.
    S("registry", "no key", 0, [Run([error(1)], files=Unchanged())],
      registry=NoInstallFolder("absent")),
    S("registry", "key without the value", 0, [Run([error(2)], files=Unchanged())],
      registry=NoInstallFolder("no value")),
    S("registry", "expandable string", 0, [Run([error(5)], files=Unchanged())],
      registry=Registered("expand_sz")),
    S("registry", "empty value", 0, [Run([error(5)], files=Unchanged())],
      registry=NoInstallFolder("empty")),
    S("registry", "folder without a trailing backslash", 0, [updated_all(0)], registry=Registered(backslash=False)),
    S("registry", "Japanese folder name", 4, [updated_all(4)], folder="ウェルヘイブン",
      registry=Registered(backslash=False)),
    S("registry", "folder name ending in a 0x5C trail byte", 1, [updated_all(1)], folder="Wellhaven表",
      registry=Registered(backslash=False)),
    S("registry", "key only in the 64-bit registry view", 0, [Run([error(1)], files=Unchanged())],
      registry=Registered(view="64")),
    S("registry", "registered folder does not exist", 0,
      [Run([error(102, "data.xp3")], files=Unchanged())], registry=Registered(folder_exists=False)),

    # Identification by the sizes of data.xp3, ext.xp3 and auxtrans.dll.
    S("identification", "data.xp3 missing", 0, [Run([error(102, "data.xp3")], files=Unchanged())],
      prepare=[Remove("data.xp3")]),
    S("identification", "data.xp3 and ext.xp3 missing", 0,
      [Run([error(102, "data.xp3")], files=Unchanged())], prepare=[Remove("data.xp3"), Remove("ext.xp3")]),
    S("identification", "ext.xp3 missing", 3, [Run([error(102, "ext.xp3")], files=Unchanged())],
      prepare=[Remove("ext.xp3")]),
    S("identification", "auxtrans.dll missing", 5, [Run([error(102, "auxtrans.dll")], files=Unchanged())],
      prepare=[Remove("auxtrans.dll")]),
    # What a plain-line update stopped after its new ext.xp3 leaves behind.
    S("identification", "new ext.xp3 with the old auxtrans.dll reads as ver1.02", 2,
      [Run([question(4), COMPLETED], files=Finished())], prepare=[FromFinished("ext.xp3")]),
    S("identification", "auxtrans.dll one byte short", 4, [Run([error(103)], files=Unchanged())],
      prepare=[Truncate("auxtrans.dll", 69631)]),
    S("identification", "data.xp3 held open without sharing", 0,
      [Run([error(102, "data.xp3")], hold=Hold("data.xp3", "none"), files=Unchanged())]),
    S("identification", "auxtrans.dll held open without sharing", 2,
      [Run([error(102, "auxtrans.dll")], hold=Hold("auxtrans.dll", "none"), files=Unchanged())]),

    # The splices of scr.xp3 (the first step of editions 0 and 1) and data.xp3 (the last of their first stage).
    S("splice", "scr.xp3 missing", 0, [Run([question(0), error(202, "scr.xp3")], files=Unchanged())],
      prepare=[Remove("scr.xp3")]),
    S("splice", "scr.xp3 held open without sharing", 1,
      [Run([question(1), error(202, "scr.xp3")], hold=Hold("scr.xp3", "none"), files=Unchanged())]),
    S("splice", "scr.xp3 too short", 0,
      [Run([question(0), error(211)], files=Unchanged(),
           scratch=[finished_file("scr.xp3", SCR_SPLICED_UP_TO_SECOND_RUN)])],
      prepare=[Truncate("scr.xp3", SCR_TOO_SHORT)]),
    # One byte changed in the second kept run of scr.xp3, the first file the update writes: the spliced file is
    # not the release's, and nothing is put in place.
    S("splice", "scr.xp3 damaged in its second kept run", 0,
      [Run([question(0), error(213, "scr.xp3")], files=Unchanged())],
      prepare=[ChangeByte("scr.xp3", 600000)]),
    S("splice", "data.xp3 refuses the rename", 0,
      [Run([question(0), error(212)], files=Updated(*FIRST_STAGE_BEFORE_DATA),
           scratch=[finished_file("data.xp3")])],
      prepare=[Immutable("data.xp3")]),

    # Whole files and signatures.
    S("placement", "ext.xp3 refuses the rename", 2,
      [Run([question(2), error(508)], files=Unchanged(), scratch=[payload(108)])],
      prepare=[Immutable("ext.xp3")]),
    S("placement", "ext.xp3 open in the game (read sharing)", 5,
      [Run([question(5), error(508)], hold=Hold("ext.xp3", "read"), files=Unchanged(),
           scratch=[payload(110)])]),
    S("placement", "ext.xp3.sig refuses the rename", 4,
      [Run([question(4), error(508)], files=Updated("ext.xp3"), scratch=[payload(109)])],
      prepare=[Immutable("ext.xp3.sig")]),
    S("placement", "data.xp3.sig refuses the rename", 1,
      [Run([question(1), error(408)], files=Updated("scr.xp3", "scr.xp3.sig"),
           scratch=[payload(105)])],
      prepare=[Immutable("data.xp3.sig")]),
    # A target is replaced by a rename, which takes no mark of the old file with it; a read-only mark is cleared
    # first only where the target gets a mark of its own (a signature). Every Wine renames over a hidden file.
    S("placement", "hidden targets are replaced without their marks", 3, [updated_all(3)],
      prepare=[Mark("ext.xp3", HIDDEN), Mark("auxtrans.dll.sig", HIDDEN, READONLY)]),
    # Windows refuses the rename over a read-only file (E508, the steps before it done), and so does a Wine that
    # answers as it does; under one that renames over it, the update completes.
    S("placement", "read-only auxtrans.dll", 3,
      {0: [updated_all(3)],
       5: [Run([question(3), error(508)], files=Updated("ext.xp3", "ext.xp3.sig", "auxtrans.dll.sig"),
               scratch=[payload(112)])]},
      prepare=[Mark("auxtrans.dll", READONLY)], wine_answer=("a b=R", "move a b replace")),

    # Whatever holds a side name is removed, never written through: here a second name of a file elsewhere.
    S("placement", "auxtrans.dll.new a hard link to a file outside", 4, [updated_all(4)],
      prepare=[LinkFromOutside("auxtrans.dll.new")]),
    # A stale side name a scanner holds with delete sharing: the delete succeeds, but under Wine the name stays
    # until the holder lets go, and a copy to it is refused (80) until then. Here the holder lets go 300 ms after
    # the step before (auxtrans.dll.sig) is committed, so the copy meets the name still there and must wait.
    S("placement", "stale auxtrans.dll.new held with delete sharing until auxtrans.dll.sig is committed", 2,
      [Run([question(2), COMPLETED], hold=Hold("auxtrans.dll.new", "delete", until="auxtrans.dll.sig"),
           files=Finished())],
      prepare=[SideFileLeft("auxtrans.dll")]),

    # The temporary folder.
    S("temp", "temporary folder missing", 0, [Run([question(0), error(302)], files=Unchanged())],
      temp=NoTempFolder()),
    # No room for a scratch name; Wine's GetTempFileNameA would return a cut-off name instead of failing.
    S("temp", "temporary folder of 250 characters", 0, [Run([question(0), error(302)], files=Unchanged())],
      temp=TempFolder(length=250)),
    S("temp", "temporary folder path too long", 3, [Run([question(3), error(301)], files=Unchanged())],
      temp=TempPathTooLong()),

    # A first run stopped by something the player can put right (the game holding a file open, a folder in the
    # way), then a second run answered Yes. Each stage writes the file that identifies it last, so the second
    # run finds the same edition, or the one a finished stage makes (ver1.01 after data.xp3, ver1.02 or ver1.02a
    # after the new ext.xp3), and finishes; a scr.xp3 spliced already has its finished size and is left alone.
    # A target is committed through a side file beside it (<name>.new): a stopped step leaves none behind.
    S("interrupted", "edition 0 stopped at scr.xp3 open in the game, then finished", 0, [
        Run([question(0), error(212)], hold=Hold("scr.xp3", "read"), files=Unchanged(),
            scratch=[finished_file("scr.xp3")]),
        Run([question(0), COMPLETED], files=Finished(), scratch=[finished_file("scr.xp3")])]),
    S("interrupted", "edition 1 stopped at data.xp3 open in the game, then finished", 1, [
        Run([question(1), error(212)], hold=Hold("data.xp3", "read"),
            files=Updated(*FIRST_STAGE_BEFORE_DATA), scratch=[finished_file("data.xp3")]),
        Run([question(1), COMPLETED], files=Finished(), scratch=[finished_file("data.xp3")])]),
    S("interrupted", "edition 0 stopped at ext.xp3 open in the game, then finished as ver1.01", 0, [
        Run([question(0), error(508)], hold=Hold("ext.xp3", "read"),
            files=Updated(*FIRST_STAGE_BEFORE_DATA, "data.xp3"), scratch=[payload(108)]),
        Run([question(2), COMPLETED], files=Finished(), scratch=[payload(108)])]),
    S("interrupted", "edition 0 stopped at auxtrans.dll open in the game, then finished as ver1.02", 0, [
        Run([question(0), error(508)], hold=Hold("auxtrans.dll", "read"),
            files=Updated(*FIRST_STAGE_BEFORE_DATA, "data.xp3", "ext.xp3", "ext.xp3.sig", "auxtrans.dll.sig"),
            scratch=[payload(112)]),
        Run([question(4), COMPLETED], files=Finished(), scratch=[payload(112)])]),
    S("interrupted", "edition 3 with junk in ext.xp3.new stopped at folders auxtrans.dll.sig, then "
      "auxtrans.dll.new; finished as ver1.02a", 3, [
        Run([question(3), error(408)], before=[SideFileLeft("ext.xp3")],
            files=Updated("ext.xp3", "ext.xp3.sig"), scratch=[payload(113)]),
        Run([question(5), error(508)], before=[FolderInTheWay("auxtrans.dll.sig", on=False)],
            files=Updated("ext.xp3", "ext.xp3.sig", "auxtrans.dll.sig"), scratch=[payload(113), payload(112)]),
        Run([question(5), COMPLETED], before=[FolderInTheWay("auxtrans.dll.new", on=False)], files=Finished(),
            scratch=[payload(113), payload(112)])],
      prepare=[FolderInTheWay("auxtrans.dll.sig"), FolderInTheWay("auxtrans.dll.new")]),

    # The 32-bit program in a 64-bit prefix, as on 64-bit Windows: the key where a 32-bit installer puts it.
    S(WOW64, "update edition 0, then up to date", 0, [updated_all(0), Run([up_to_date(6)], files=Finished())]),
    S(WOW64, "key only in the 64-bit registry view", 0, [Run([error(1)], files=Unchanged())],
      registry=Registered(view="64")),

    # A player whose system is not Japanese reads the same boxes (the default caption is the system's own).
    S("locale", "update edition 0, then up to date", 0, [updated_all(0), Run([up_to_date(6)], files=Finished())]),
    S("locale", "ext.xp3 missing", 0, [Run([error(102, "ext.xp3")], files=Unchanged())],
      prepare=[Remove("ext.xp3")]),

    # A DLL left in the downloads folder: uxtheme.dll, no known DLL, which the process loads only when its first box
    # is drawn (WINEDEBUG=+loaddll shows it after user32, in the updater as in the robot). The robot, started from
    # the same folder and without the restriction, must load it; the updater must not.
    S("planted", "uxtheme.dll beside the updater is not loaded", 0, [updated_all(0)],
      prepare=[Planted("uxtheme.dll")]),
]

GROUPS = []
for _s in SCENARIOS:
    if _s.group not in GROUPS:
        GROUPS.append(_s.group)
