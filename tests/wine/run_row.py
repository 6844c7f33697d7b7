"""Running one row of the table: a fresh install folder, registration and temporary folder, each run with
the box robot answering, and what differs from what the row expects."""

import os
import re
import shutil
import subprocess

from box_robot import IDNO, IDYES, ROBOT_NAME, robot_for, show_box
from dos_files import describe_difference, folder_state, make_install_folder, remove_tree
from wine_choice import EXE_NAME, PE32, PE32PLUS, pe_kind
from expected import in_locale
from wine_session import bmp_to_png


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
    expected = sorted(tuple(in_locale(boxes, ctx.session.locale)) for boxes in [run.boxes, run.alongside]
                      if boxes is not None)
    seen = sorted(tuple(result.boxes) for result in results)
    if seen != expected:
        lines = ["%s: boxes differ" % where]
        for word, sequences in (("expected: ", expected), ("seen:     ", seen)):
            for boxes in sequences or [()]:
                lines += ["  " + word + show_box(b) for b in boxes] or ["  " + word + "no box"]
        problems.append("\n".join(lines))
    difference = describe_difference(run.files.state(ctx), folder_state(ctx.folder))
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


MINGW_GCC = {PE32: "i686-w64-mingw32-gcc", PE32PLUS: "x86_64-w64-mingw32-gcc"}


def plant(ctx, dll):
    """Copies the updater and the robot into a folder of their own with tests/wine/planted_dll.c built beside them
    as `dll`; returns the copy and the override that has Wine prefer that DLL to its own, as Windows does for a
    DLL that is not a known one."""
    folder = os.path.join(ctx.root, "Downloads")
    os.makedirs(folder)
    for program in (ctx.exe, robot_for(ctx.exe)):
        shutil.copy(program, folder)
    subprocess.run([MINGW_GCC[pe_kind(ctx.exe)], "-shared", "-s", "-Os", "-Wall", "-Wextra", "-Werror",
                    "-o", os.path.join(folder, dll), os.path.join(os.path.dirname(__file__), "planted_dll.c")],
                   check=True)
    return os.path.join(folder, EXE_NAME), os.path.splitext(dll)[0] + "=n,b"


def planted_loads(exe, dll):
    folder = os.path.dirname(exe)
    problems = []
    if os.path.exists(os.path.join(folder, "loaded-into-" + EXE_NAME)):
        problems.append("the updater loaded the %s beside it" % dll)
    if not os.path.exists(os.path.join(folder, "loaded-into-" + ROBOT_NAME)):
        problems.append("the robot, from the same folder, did not load the %s beside it: no load is seen" % dll)
    return problems


def run_scenario(session, scenario, release, exe, shots=None):
    ctx = Context(session, scenario, release, exe)
    exe, overrides = plant(ctx, scenario.planted) if scenario.planted else (exe, None)
    make_install_folder(ctx.release_dir("installed"), ctx.folder)
    temp = scenario.temp.make(ctx)
    for action in scenario.prepare:
        action(ctx)
    ctx.prepared = folder_state(ctx.folder)
    session.register(scenario.registry.value(ctx), temp, view=scenario.registry.view)

    problems = []
    pictures = []
    for number, run in enumerate(scenario.runs, 1):
        for action in run.before:
            action(ctx)
        problems += run.hold.problems(ctx) if run.hold else []
        hold = run.hold.args(ctx) if run.hold else None
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
    remove_tree(ctx.root)
    return problems


def picture_name(b):
    text, caption = b.text, b.caption
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
            bmp_to_png(bmp, png)
