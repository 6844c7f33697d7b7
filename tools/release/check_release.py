#!/usr/bin/python3
"""Release checks for the updater's payloads. The updater checks what it writes
against the release's CRC-32s, which the build takes from the release folder
here; a payload or a finished archive that is wrong must be caught here, or
every player's update would stop at the end.

    check_release.py [--catalogue FILE] release RELEASE [--copy-to DEST] [--crc-header PATH]
        What the build runs: the payload check below on RELEASE/payload, and
        the rebuild of finished/0 and finished/1 data.xp3 and scr.xp3 from
        installed/0 and installed/1 and the splice payloads; one line per
        problem, each naming the file. With --copy-to, the payloads of a release
        that passes are copied to DEST as below; with --crc-header, the C header
        of the CRC-32s of the payloads and of those finished archives is written
        to PATH (only when its content changes).

    check_release.py payloads DIR [--copy-to DEST]
        Checks 103.bin to 113.bin in DIR against the catalogue and prints one
        line per problem. With --copy-to, a folder that passes is copied to DEST
        (the build embeds that copy); files already equal there are not touched.

    check_release.py verify OLD NEW [--payload FILE] [--recipe NAME]
        Rebuilds NEW from OLD the way the updater does, with the recipe and a
        splice payload (by default the one cut from NEW), and says where the
        first difference lies.

    check_release.py cut NEW OUT [--recipe NAME]
        Cuts the splice payload for NEW's recipe out of the finished archive NEW.

The recipe is data.xp3 or scr.xp3; by default it is taken from NEW's file name.
Every command checks against tools/release/release_catalogue.py, or the
catalogue FILE (the build passes its own). The checks of each payload's
content are in payload_check.py, the splice and the cut in splice_proof.py,
the CRC-32 header in crc_header.py.
Exit status: 0 when everything is in order, 1 when a check fails, 2 on misuse.
"""

import argparse
import filecmp
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue as cat  # noqa: E402
from crc_header import crc_header  # noqa: E402
from payload_check import check_payload, check_payload_folder  # noqa: E402
from splice_proof import SpliceError, cmd_cut, cmd_verify, describe_difference, splice  # noqa: E402


def refuse(problems, folder):
    for line in problems:
        print(line, file=sys.stderr)
    print("release check: %d problem%s in %s; the payloads are refused"
          % (len(problems), "" if len(problems) == 1 else "s", folder), file=sys.stderr)
    return 1


def cmd_payloads(args):
    problems = check_payload_folder(args.folder)
    if problems:
        return refuse(problems, args.folder)
    if args.copy_to:
        copy_changed(args.folder, args.copy_to)
    return 0


def copy_changed(folder, dest):
    """Copies the payloads, leaving alone (and so not newer) the copies that are already equal."""
    os.makedirs(dest, exist_ok=True)
    for payload_id in sorted(cat.PAYLOADS):
        name = cat.payload_file_name(payload_id)
        source, target = os.path.join(folder, name), os.path.join(dest, name)
        if not (os.path.exists(target) and filecmp.cmp(source, target, shallow=False)):
            shutil.copyfile(source, target)


# The editions whose data.xp3 and scr.xp3 the updater splices, one of each line (ver1.00 and ver1.00a). Their
# finished archives differ, so the updater checks each line's against a CRC-32 of its own.
SPLICED_EDITIONS = (0, 1)


def check_spliced_archives(release):
    """(one line per problem, {(archive name, edition): finished archive}): every finished archive of the
    spliced editions must be what its installed archive and the splice payload make."""
    problems, finished = [], {}
    for name, recipe in sorted(cat.RECIPES.items()):
        payload_path = os.path.join(release, "payload", cat.payload_file_name(recipe["payload"]))
        try:
            payload = cat.read_file(payload_path)
        except OSError:
            payload = None  # the payload check names it
        if payload is not None and check_payload(recipe["payload"], payload):
            payload = None
        for edition in SPLICED_EDITIONS:
            old_path, new_path = (os.path.join(release, kind, str(edition), name) for kind in ("installed", "finished"))
            missing = [path for path in (old_path, new_path) if not os.path.isfile(path)]
            problems += ["%s: missing (the build rebuilds finished/%d/%s from installed/%d/%s and payload %d)"
                         % (path, edition, name, edition, name, recipe["payload"]) for path in missing]
            if missing:
                continue
            try:
                old, new = cat.read_file(old_path), cat.read_file(new_path)
            except OSError as e:
                problems.append("%s: cannot be read: %s" % (e.filename, e.strerror))
                continue
            finished[(name, edition)] = new
            if payload is None:
                continue
            try:
                difference = describe_difference(splice(old, payload, recipe), new, old, recipe, new_path)
            except SpliceError as e:
                difference = str(e)
            if difference:
                problems.append("%s: not what %s and %s make: %s" % (new_path, old_path, payload_path, difference))
    return problems, finished


def cmd_release(args):
    payload_folder = os.path.join(args.release, "payload")
    problems = check_payload_folder(payload_folder)
    archive_problems, finished = check_spliced_archives(args.release)
    problems += archive_problems
    if problems:
        return refuse(problems, args.release)
    if args.copy_to:
        copy_changed(payload_folder, args.copy_to)
    if args.crc_header:
        cat.write_if_changed(args.crc_header, crc_header(args.release, finished))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(prog="check_release.py", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--catalogue", metavar="FILE", help="the release catalogue (default: release_catalogue.py)")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("release", help="the build's check of a release folder")
    p.add_argument("release")
    p.add_argument("--copy-to", metavar="DEST", help="copy the payloads there when the release passes")
    p.add_argument("--crc-header", metavar="PATH", help="write the C header of the release's CRC-32s there")
    p.set_defaults(run=cmd_release)
    p = sub.add_parser("payloads", help="check a payload folder")
    p.add_argument("folder")
    p.add_argument("--copy-to", metavar="DEST", help="copy the payloads there when they pass")
    p.set_defaults(run=cmd_payloads)
    p = sub.add_parser("verify", help="rebuild a finished archive from an old one and compare")
    p.add_argument("old")
    p.add_argument("new")
    p.add_argument("--payload", metavar="FILE", help="the splice payload (default: cut from NEW)")
    p.add_argument("--recipe", choices=sorted(cat.RECIPES))
    p.set_defaults(run=cmd_verify)
    p = sub.add_parser("cut", help="cut the splice payload out of a finished archive")
    p.add_argument("new")
    p.add_argument("out")
    p.add_argument("--recipe", choices=sorted(cat.RECIPES))
    p.set_defaults(run=cmd_cut)
    args = parser.parse_args(argv[1:])
    if args.catalogue:
        cat.use(args.catalogue)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
