#!/usr/bin/python3
"""Makes a release folder and its catalogue from the game's editions as players have them installed.

    make_release.py GAME RELEASE [--catalogue FILE]

GAME holds one folder per edition, named as a release folder's installed/ is
(0 ver1.00 ... 7 ver1.03a; 6 and 7 are the release being made; every *.sig
stands for a hidden file). From them this derives every number of the
release: the payloads and their sizes, the edition rows, the rows of a
stopped update, the two splice recipes and the sample-only sizes. It checks
that an update stopped anywhere is still finished by running the updater
again, then writes RELEASE (installed/, finished/, payload/) and the
catalogue FILE (by default tools/release/release_catalogue.py), rewriting only
its numbers, and runs the release check on the result.

A problem is refused in one line naming the file and the editions, and then
neither RELEASE nor the catalogue is written.
Exit status: 0 when the release is written, 1 on a refusal, 2 on misuse.
"""

import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue as cat  # noqa: E402
import catalogue_text  # noqa: E402
import check_release  # noqa: E402
import recipe_search  # noqa: E402
from splice_proof import SpliceError, cut, splice  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def program_source(name):
    with open(os.path.join(SOURCE_DIR, name), encoding="utf-8") as f:
        return f.read()


# The editions as the program numbers them (discovery/discovery.h: VER1_00 is ver1.00, VER1_00A ver1.00a).
EDITION_ENUM = tuple(re.findall(r"^ +(VER\w+),$", program_source("discovery/discovery.h"), re.M))
NAMES = tuple(name.lower().replace("_", ".", 1) for name in EDITION_ENUM)
NEW = (6, 7)  # the release being made: the new edition of each line
SPLICED = (0, 1)  # the editions whose data.xp3 and scr.xp3 the updater splices


class Refusal(Exception):
    pass


def line_of(edition):
    return edition % 2


def label(edition):
    return "%s (%d)" % (NAMES[edition], edition)


def read_plan(path="control/plan.cpp"):
    """The updater's plan, read from its source: the steps in the order they run, each as (the editions that take
    it, its payload's id); a splice step's payload is its recipe's."""
    text = program_source(path)
    editions = {}  # the plan's sets of editions: "OLDEST = 1 << VER1_00 | 1 << VER1_00A," and the like
    for name, terms in re.findall(r"^ +([A-Z_]+) = ([^,\n]+)", text, re.M):
        editions[name] = set()
        for term in terms.split("|"):
            term = term.strip()
            editions[name] |= {EDITION_ENUM.index(term[5:])} if term.startswith("1 << ") \
                else editions[term]
    ids = {c: pid for pid, (_, _, c) in cat.UPDATER_PAYLOADS.items()}
    steps = re.findall(r"^ +\w+Step\((\w+), .*PAYLOAD\((\w+)\)\),?$", text, re.M)
    if len(steps) != len(ids):
        sys.exit("%s: expected one step per payload (%d), found %d" % (path, len(ids), len(steps)))
    return tuple((editions[which], ids[payload]) for which, payload in steps)


PLAN = read_plan()


def read_game(game):
    folders = []
    for edition in range(len(NAMES)):
        folder = os.path.join(game, str(edition))
        if not os.path.isdir(folder):
            raise Refusal("%s: missing: the folder of %s" % (folder, label(edition)))
        folders.append({name: cat.read_file(os.path.join(folder, name)) for name in sorted(os.listdir(folder))
                        if os.path.isfile(os.path.join(folder, name))})
    return folders


def file_of(folders, edition, name, game):
    if name not in folders[edition]:
        raise Refusal("%s: missing in %s" % (os.path.join(game, str(edition), name), label(edition)))
    return folders[edition][name]


def derive_payloads(folders, recipes, game):
    """Every payload by id: whole files and signatures from the new editions, the splice payloads cut."""
    payloads = {}
    for pid, (kind, target, _) in sorted(cat.UPDATER_PAYLOADS.items()):
        if kind == "splice":
            payloads[pid] = cut(file_of(folders, 6, target, game), recipes[target])
            continue
        # A whole file or signature is taken from the new edition of each line whose oldest edition writes it.
        takers = [edition for edition in NEW if any(p == pid and line_of(edition) in editions for editions, p in PLAN)]
        both = [file_of(folders, edition, target, game) for edition in takers]
        if len(set(both)) > 1:
            raise Refusal("%s: differs between %s and %s, and the updater carries one %s for both"
                          % (target, label(6), label(7), target))
        payloads[pid] = both[0]
    return payloads


def sizes_of(folder):
    return tuple(len(folder[name]) if name in folder else None for name in cat.MEASURED_FILES)


def edition_rows(folders, game):
    rows = {}
    for edition, folder in enumerate(folders):
        sizes = sizes_of(folder)
        if None in sizes:
            missing = cat.MEASURED_FILES[sizes.index(None)]
            raise Refusal("%s: missing in %s" % (os.path.join(game, str(edition), missing), label(edition)))
        if sizes in rows:
            raise Refusal("%s and %s have the same sizes of %s (%s): identification cannot tell them apart"
                          % (label(rows[sizes]), label(edition), ", ".join(cat.MEASURED_FILES),
                             ", ".join(map(str, sizes))))
        rows[sizes] = edition
    return [(NAMES[e], *sizes) for sizes, e in sorted(rows.items(), key=lambda item: item[1])]


class Plan:
    """The updater's steps over a folder's files, as the updater takes them, for any identified edition."""

    def __init__(self, recipes, payloads, finished_archives):
        self.recipes, self.payloads, self.finished_archives = recipes, payloads, finished_archives

    def steps(self, edition):
        return [pid for editions, pid in PLAN if edition in editions]

    def run(self, folder, edition, pid):
        """The folder after one step, or None when the updater stops there with an error."""
        kind, target, _ = cat.UPDATER_PAYLOADS[pid]
        after = dict(folder)
        if kind != "splice":
            after[target] = self.payloads[pid]
            return after
        finished = self.finished_archives[(target, line_of(edition))]
        if target not in folder:
            return None
        try:
            after[target] = splice(folder[target], self.payloads[pid], self.recipes[target])
        except SpliceError:
            return None
        return after if after[target] == finished else None  # a CRC-32 other than the release's stops it

    def finish(self, folder, edition):
        """The folder after the edition's whole plan, or None when the updater stops with an error."""
        for pid in self.steps(edition):
            folder = self.run(folder, edition, pid)
            if folder is None:
                return None
        return folder


def finished_folders(folders, plan, game):
    """Each old edition's folder after its whole plan, which must be its line's new edition."""
    finished = []
    for edition, folder in enumerate(folders):
        for pid in plan.steps(edition):
            after = plan.run(folder, edition, pid)
            if after is None:
                raise Refusal("%s: the updater stops at %s for %s"
                              % (os.path.join(game, str(edition)), cat.UPDATER_PAYLOADS[pid][1], label(edition)))
            folder = after
        new = folders[6 + line_of(edition)]
        for name in sorted(set(folder) | set(new)):
            if folder.get(name) != new.get(name):
                raise Refusal("%s: differs between %s and %s, and the updater does not write it for %s"
                              % (name, label(edition), label(6 + line_of(edition)), label(edition)))
        finished.append(folder)
    return finished


def check_stops(folders, rows, plan, finished):
    """The rows of a stopped update: every folder a stop can leave (after any step of any run, the first or a run
    after a stop) must be identified as an edition whose plan, run from there, ends at the same finished folder.
    Returns the recovery rows needed; refuses a stop that no row can serve."""
    edition_of = {tuple(sizes): NAMES.index(name) for name, *sizes in rows}
    recovery = {}
    seen = set()
    work = [(folders[e], e, "before the first step") for e in range(6)]
    while work:
        folder, origin, where = work.pop(0)  # in order: the first stop of the first edition is named
        key = (origin, tuple(sorted(folder.items())))
        if key in seen:
            continue
        seen.add(key)
        sizes = sizes_of(folder)
        identified = edition_of.get(sizes, recovery.get(sizes))
        if identified is None or plan.finish(folder, identified) != finished[origin]:
            serving = [e for e in range(6) if None not in sizes and plan.finish(folder, e) == finished[origin]]
            if identified is None and serving:
                identified = recovery[sizes] = max(serving)  # the latest: the fewest steps
            else:
                raise Refusal(refusal(origin, where, sizes, identified, serving, sizes in edition_of))
        for pid in plan.steps(identified):
            folder = plan.run(folder, identified, pid)
            work.append((folder, origin, "after %s (run as %s)" % (cat.UPDATER_PAYLOADS[pid][1], NAMES[identified])))
    return [(NAMES[e], *sizes) for sizes, e in recovery.items()]


def refusal(origin, where, sizes, identified, serving, shadowed):
    """The line of a stop no row serves, with the row of a stopped update that would serve."""
    shown = ", ".join(map(str, sizes))
    whom = ("identified as %s, whose plan does not finish it" % label(identified)
            if identified is not None else "identified as no edition")
    if serving and shadowed:
        whom += "; a row of a stopped update (%s, %s) would serve, but the edition row comes first" % (
            NAMES[max(serving)], shown)
    return "%s stopped %s leaves sizes (%s), %s" % (label(origin), where, shown, whom)


def derive(game):
    """(the catalogue's facts, payloads by id, finished folders, installed folders); raises Refusal."""
    folders = read_game(game)
    rows = edition_rows(folders, game)
    recipes = {name: recipe_search.best_recipe(
        name, [file_of(folders, e, name, game) for e in SPLICED], [file_of(folders, e, name, game) for e in NEW])
        for name in sorted(cat.SPLICE_PAYLOADS)}
    payloads = derive_payloads(folders, recipes, game)
    plan = Plan(recipes, dict(payloads), {(name, line): folders[6 + line][name]
                                          for name in recipes for line in (0, 1)})
    finished = finished_folders(folders, plan, game)
    facts = {"PAYLOAD_SIZES": {pid: len(data) for pid, data in payloads.items()},
             "RECIPES": recipes, "EDITIONS": rows, "RECOVERY_ROWS": check_stops(folders, rows, plan, finished),
             "SAMPLE_OLD_SCR_XP3_SIZE": len(file_of(folders, 0, "scr.xp3", game)),
             "SAMPLE_WELLHAVEN_EXE_SIZE": len(file_of(folders, 0, "Wellhaven.exe", game))}
    return facts, payloads, finished, folders


def write_release(release, payloads, installed, finished):
    for kind, trees in (("installed", installed), ("finished", finished)):
        for edition, files in enumerate(trees):
            os.makedirs(os.path.join(release, kind, str(edition)))
            for name, data in files.items():
                with open(os.path.join(release, kind, str(edition), name), "wb") as f:
                    f.write(data)
    os.makedirs(os.path.join(release, "payload"))
    for pid, data in payloads.items():
        with open(os.path.join(release, "payload", cat.payload_file_name(pid)), "wb") as f:
            f.write(data)


def main(argv):
    parser = argparse.ArgumentParser(prog="make_release.py", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("game", help="the editions as installed, one folder each (0 to 7)")
    parser.add_argument("release", help="the release folder to write; it must not hold files")
    parser.add_argument("--catalogue", metavar="FILE", default=cat.RELEASE_CATALOGUE,
                        help="the catalogue to write (default: release_catalogue.py)")
    args = parser.parse_args(argv[1:])
    try:
        if any(files for _, _, files in os.walk(args.release)):
            raise Refusal("%s: holds files already" % args.release)
        facts, payloads, finished, installed = derive(args.game)
        template = args.catalogue if os.path.isfile(args.catalogue) else cat.RELEASE_CATALOGUE
        with open(template) as f:
            try:
                text = catalogue_text.rewrite(f.read(), facts)
            except (SyntaxError, KeyError, AttributeError, TypeError):
                raise Refusal("%s: not a catalogue of release_catalogue.py's form" % template)
        problems = cat.problems(facts)
        if problems:
            raise Refusal("the derived catalogue contradicts itself: " + "; ".join(problems))
    except (Refusal, recipe_search.NoRecipe) as e:
        print("make_release: refused: %s; nothing written" % e, file=sys.stderr)
        return 1
    write_release(args.release, payloads, installed, finished)
    cat.write_if_changed(args.catalogue, text)
    print("make_release: wrote %s and the catalogue %s" % (args.release, args.catalogue))
    return check_release.main(["check_release.py", "--catalogue", args.catalogue, "release", args.release])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
