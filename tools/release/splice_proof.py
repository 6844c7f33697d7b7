"""Splices as the updater does, to prove a splice payload (check_release.py verify) and to cut one out of a
finished archive (check_release.py cut)."""

import os
import sys

import catalogue as cat
from payload_check import check_payload

HEAD = cat.SPLICE_HEAD_SIZE


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
        return cat.read_file(path)
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
