"""Running one row of the table: a fresh install folder, registration and temporary folder, each run with
the box robot answering, and what differs from what the row expects."""

import os
import re

from box_robot import show_box
from dos_files import describe_difference, folder_state, make_install_folder, remove_tree
from expected import in_locale, picture_name
from wine_commands import save_pictures


class Context:
    def __init__(self, session, scenario, release, exe):
        self.session, self.scenario, self.release = session, scenario, release
        self.exe, self.dll_overrides = exe, None  # a preparation may run the updater from elsewhere (Planted)
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


def run_scenario(session, scenario, release, exe, shots=None):
    ctx = Context(session, scenario, release, exe)
    make_install_folder(ctx.release_dir("installed"), ctx.folder)
    temp = scenario.temp.make(ctx)
    for action in scenario.prepare:
        action(ctx)
    ctx.prepared = folder_state(ctx.folder)
    session.register(scenario.registry.value(ctx), temp, view=scenario.registry.view)

    problems = []
    pictures = []
    for number, run in enumerate(scenario.runs_under(session, exe), 1):
        for action in run.before:
            action(ctx)
        problems += run.hold.problems(ctx) if run.hold else []
        hold = run.hold.args(ctx) if run.hold else None
        shot_dir = os.path.join(ctx.root, "shots-%d" % number) if shots else None
        results = session.run_updater(ctx.exe, ctx.root, answer=run.answer, hold=hold, shots=shot_dir,
                                      count=1 if run.alongside is None else 2, dll_overrides=ctx.dll_overrides)
        problems += check_run(ctx, number, run, results)
        pictures += [p for result in results for p in zip(result.boxes, result.shots)]
    for action in scenario.prepare:
        problems += action.after(ctx) if hasattr(action, "after") else []
    if shots:
        save_pictures(pictures, shots, picture_name)
    remove_tree(ctx.root)
    return problems
