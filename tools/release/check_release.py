#!/usr/bin/python3
"""Release checks for the updater's payloads. The updater itself checks nothing
about the content it carries, so a wrong payload must be caught here.

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
    size, kind, target = cat.PAYLOADS[payload_id]
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


def cmd_payloads(args):
    problems = check_payload_folder(args.folder)
    if problems:
        for line in problems:
            print(line, file=sys.stderr)
        print("release check: %d problem%s in %s; the payloads are refused"
              % (len(problems), "" if len(problems) == 1 else "s", args.folder), file=sys.stderr)
        return 1
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


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise SystemExit("%s: cannot be read: %s" % (path, e.strerror))


def cmd_verify(args):
    name, recipe = recipe_for(args, args.new)
    old, new = read(args.old), read(args.new)
    try:
        payload = read(args.payload) if args.payload else cut(new, recipe)
        rebuilt = splice(old, payload, recipe)
    except SpliceError as e:
        print("%s -> %s: %s" % (args.old, args.new, e), file=sys.stderr)
        return 1
    where = first_difference(rebuilt, new)
    if where is None:
        print("%s -> %s: the %s recipe and %s rebuild it byte for byte (%d bytes)"
              % (args.old, args.new, name, args.payload or "the payload cut from it", len(new)))
        return 0
    if where >= min(len(rebuilt), len(new)):
        detail = "the rebuilt file has %d bytes, %s has %d" % (len(rebuilt), args.new, len(new))
    else:
        detail = "rebuilt %02X, expected %02X, %s" % (rebuilt[where], new[where],
                                                      "the installed archive already has the finished size"
                                                      if rebuilt is old else describe_offset(where, recipe))
    print("%s -> %s: first difference at offset %d (0x%X): %s"
          % (args.old, args.new, where, where, detail), file=sys.stderr)
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
    sub = parser.add_subparsers(dest="command", required=True)
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
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
