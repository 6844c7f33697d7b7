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
catalogue FILE (the build passes its own).
Exit status: 0 when everything is in order, 1 when a check fails, 2 on misuse.
"""

import argparse
import base64
import binascii
import filecmp
import os
import shutil
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue as cat  # noqa: E402

HEAD = cat.SPLICE_HEAD_SIZE


# ---------------------------------------------------------------- payload checks

def check_xp3_head(data):
    """Problems with an archive's magic."""
    if not data.startswith(cat.XP3_MAGIC):
        return ["does not begin with the XP3 magic (58 50 33 0D 0A 20 0A 1A 8B 67 01)"]
    return []


def check_splice(data, recipe_name):
    problems = check_xp3_head(data)
    if problems:
        return problems
    if len(data) < HEAD:
        return []  # the size line already says it
    recipe = cat.RECIPES[recipe_name]
    expected = cat.index_position(recipe)
    found = int.from_bytes(data[len(cat.XP3_MAGIC):HEAD], "little")
    if found != expected & 0xFFFFFFFFFF:
        return ["index position in the head (five low bytes at offsets 11 to 15) is %d, expected %d "
                "(16 + keepFirst + insertFirst + keepSecond of the %s recipe)" % (found, expected, recipe_name)]
    return []


def check_archive(data):
    problems = check_xp3_head(data)
    if problems:
        return problems
    head_end = len(cat.XP3_MAGIC) + 8
    if len(data) < head_end:
        return ["too short to hold an index position"]
    position = struct.unpack("<Q", data[len(cat.XP3_MAGIC):head_end])[0]
    if not head_end <= position < len(data):
        return ["index position %d lies outside the file (%d bytes, the index must start between %d and %d)"
                % (position, len(data), head_end, len(data) - 1)]
    return []


def check_library(data):
    if not data.startswith(b"MZ"):
        return ['does not begin with "MZ"']
    return []


def check_signature(data):
    """The exact four-line layout: header, then Base64 lines of 64, 64 and 44 characters, each ended by CR LF."""
    if not data.endswith(b"\n"):
        return ["the last line is not ended by CR LF"]
    lines = data[:-1].split(b"\n")
    expected_lines = 1 + len(cat.SIGNATURE_LINE_LENGTHS)
    if len(lines) != expected_lines:
        return ["has %d lines, expected %d (a header and %d Base64 lines, each ended by CR LF)"
                % (len(lines), expected_lines, expected_lines - 1)]
    problems = []
    bare_lf = [str(n + 1) for n, line in enumerate(lines) if not line.endswith(b"\r")]
    if bare_lf:
        problems.append("line%s %s end%s in LF without CR" % ("s" if len(bare_lf) > 1 else "",
                                                                 ", ".join(bare_lf), "" if len(bare_lf) > 1 else "s"))
    lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    if lines[0] != cat.SIGNATURE_HEADER:
        problems.append("line 1 is not the header %r" % cat.SIGNATURE_HEADER.decode())
    body = lines[1:]
    for n, (line, length) in enumerate(zip(body, cat.SIGNATURE_LINE_LENGTHS), start=2):
        if len(line) != length:
            problems.append("line %d has %d characters, expected %d" % (n, len(line), length))
    encoded = b"".join(body)
    try:
        decoded = base64.b64decode(encoded, validate=True)
    except (binascii.Error, ValueError):
        problems.append("lines 2 to 4 are not Base64")
    else:
        if len(decoded) != cat.SIGNATURE_BYTES:
            problems.append("lines 2 to 4 decode to %d bytes, expected %d" % (len(decoded), cat.SIGNATURE_BYTES))
    return problems


def check_payload(payload_id, data):
    """Every problem of one payload's content and size, as texts without the file name."""
    size, kind, target, _ = cat.PAYLOADS[payload_id]
    problems = []
    if len(data) != size:
        problems.append("size is %d bytes, expected %d" % (len(data), size))
    if kind == "splice":
        problems += check_splice(data, target)
    elif kind == "archive":
        problems += check_archive(data)
    elif kind == "library":
        problems += check_library(data)
    elif kind == "signature":
        problems += check_signature(data)
    return problems


def check_payload_folder(folder):
    """One line per problem, each naming the file."""
    lines = []
    for payload_id in sorted(cat.PAYLOADS):
        path = os.path.join(folder, cat.payload_file_name(payload_id))
        what = "%s (%s)" % (path, cat.PAYLOADS[payload_id][2])
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            lines.append("%s: missing" % what)
            continue
        except OSError as e:
            lines.append("%s: cannot be read: %s" % (what, e.strerror))
            continue
        lines += ["%s: %s" % (what, p) for p in check_payload(payload_id, data)]
    return lines


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


# ---------------------------------------------------------------- the build's check of a release folder

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
            payload = read_file(payload_path)
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
                old, new = read_file(old_path), read_file(new_path)
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


def crc_header(release, finished):
    """The C header of the release's CRC-32s (zlib's): every payload, and the finished spliced archives."""
    lines = ["/* Generated by tools/release/check_release.py (release check) from the release folder",
             " * %s; do not edit." % os.path.abspath(release).replace("*/", "*\\/"),
             " * CRC-32 of each payload, and of the finished data.xp3 and scr.xp3 of editions 0 and 1. */",
             "#ifndef RELEASE_CRCS_H", "#define RELEASE_CRCS_H", ""]
    for payload_id in sorted(cat.PAYLOADS):
        data = read_file(os.path.join(release, "payload", cat.payload_file_name(payload_id)))
        lines.append("#define CRC_PAYLOAD_%d 0x%08Xu" % (payload_id, zlib.crc32(data)))
    for (name, edition), data in sorted(finished.items()):
        lines.append("#define CRC_FINISHED_%s_%d 0x%08Xu" % (name.upper().replace(".", "_"), edition, zlib.crc32(data)))
    return "\n".join(lines + ["", "#endif", ""])


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


# ---------------------------------------------------------------- splice

class SpliceError(Exception):
    pass


def runs(recipe):
    """The finished file's runs: (name, offset in the finished file, length, source, offset in the source)."""
    kf, inf, so, ks, it = (recipe[k] for k in ("keepFirst", "insertFirst", "skipOld", "keepSecond", "insertTail"))
    return [
        ("head", 0, HEAD, "payload", 0),
        ("first kept run", HEAD, kf, "installed", HEAD),
        ("first payload run", HEAD + kf, inf, "payload", HEAD),
        ("second kept run", HEAD + kf + inf, ks, "installed", HEAD + kf + so),
        ("payload tail", HEAD + kf + inf + ks, it, "payload", HEAD + inf),
    ]


def splice(old, payload, recipe):
    """What the updater leaves in place of `old`: unchanged when it already has the finished size."""
    if len(old) == recipe["finishedSize"]:
        return old
    if len(old) < cat.consumed_size(recipe):
        raise SpliceError("the installed archive has %d bytes, the recipe reads %d (the updater stops with E211)"
                          % (len(old), cat.consumed_size(recipe)))
    if len(payload) < cat.splice_payload_size(recipe):
        raise SpliceError("the payload has %d bytes, the recipe takes %d"
                          % (len(payload), cat.splice_payload_size(recipe)))
    sources = {"installed": old, "payload": payload}
    return b"".join(sources[src][at:at + length] for _, _, length, src, at in runs(recipe))


def cut(new, recipe):
    """The splice payload that turns an old archive into `new`: its head, its first payload run and its tail."""
    if len(new) != recipe["finishedSize"]:
        raise SpliceError("the finished archive has %d bytes, the recipe makes %d"
                          % (len(new), recipe["finishedSize"]))
    return b"".join(new[start:start + length] for _, start, length, src, _ in runs(recipe) if src == "payload")


def describe_offset(offset, recipe):
    for name, start, length, src, at in runs(recipe):
        if start <= offset < start + length:
            return "in the %s, taken from %s offset %d" % (name, src, at + offset - start)
    return "past the end of the recipe's runs"


def first_difference(a, b):
    for start in range(0, min(len(a), len(b)), 65536):
        if a[start:start + 65536] != b[start:start + 65536]:
            return next(i for i in range(start, start + 65536) if a[i] != b[i])
    return None if len(a) == len(b) else min(len(a), len(b))


def recipe_for(args, new_path):
    name = args.recipe or os.path.basename(new_path)
    if name not in cat.RECIPES:
        raise SystemExit("%s: no recipe named %r; give --recipe %s"
                         % (new_path, name, " or ".join(sorted(cat.RECIPES))))
    return name, cat.RECIPES[name]


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def read(path):
    try:
        return read_file(path)
    except OSError as e:
        raise SystemExit("%s: cannot be read: %s" % (path, e.strerror))


def describe_difference(rebuilt, new, old, recipe, new_name):
    """None when the rebuilt archive is `new`, else where the first difference lies and what it is."""
    where = first_difference(rebuilt, new)
    if where is None:
        return None
    if where >= min(len(rebuilt), len(new)):
        detail = "the rebuilt file has %d bytes, %s has %d" % (len(rebuilt), new_name, len(new))
    else:
        detail = "rebuilt %02X, expected %02X, %s" % (rebuilt[where], new[where],
                                                      "the installed archive already has the finished size"
                                                      if rebuilt is old else describe_offset(where, recipe))
    return "first difference at offset %d (0x%X): %s" % (where, where, detail)


def cmd_verify(args):
    name, recipe = recipe_for(args, args.new)
    old, new = read(args.old), read(args.new)
    try:
        payload = read(args.payload) if args.payload else cut(new, recipe)
        rebuilt = splice(old, payload, recipe)
    except SpliceError as e:
        print("%s -> %s: %s" % (args.old, args.new, e), file=sys.stderr)
        return 1
    difference = describe_difference(rebuilt, new, old, recipe, args.new)
    if difference is None:
        print("%s -> %s: the %s recipe and %s rebuild it byte for byte (%d bytes)"
              % (args.old, args.new, name, args.payload or "the payload cut from it", len(new)))
        return 0
    print("%s -> %s: %s" % (args.old, args.new, difference), file=sys.stderr)
    return 1


def cmd_cut(args):
    name, recipe = recipe_for(args, args.new)
    try:
        payload = cut(read(args.new), recipe)
    except SpliceError as e:
        print("%s: %s" % (args.new, e), file=sys.stderr)
        return 1
    problems = check_payload(recipe["payload"], payload)
    if problems:
        for p in problems:
            print("%s: the payload cut from it %s; nothing written" % (args.new, p), file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(payload)
    print("%s: %d bytes, payload %d of the %s recipe" % (args.out, len(payload), recipe["payload"], name))
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
