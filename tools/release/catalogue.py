#!/usr/bin/python3
"""The updater's release catalogue, for the build and the tools that make and check release data.

    catalogue.py CATALOGUE OUTDIR

The release's numbers are in a catalogue file (release_catalogue.py beside
this one; the tests build another release from a catalogue of their own);
what each payload is belongs to the updater and is here. Loaded, a catalogue
is checked: two edition rows with the same sizes (the recovery rows
included), a recipe whose runs do not add up to its finished size, or a
payload whose size disagrees with its recipe or with the signature layout
refuse it, one line each. From
a catalogue that passes, the command writes into OUTDIR what the build
compiles, each file only when its content changes: release_catalogue.h (the
payload ids and sizes, the splice recipes and the edition rows) and
release_payloads.rc (the resource script's payload lines); it prints the
payload ids, separated by ";", for the build's payload list.

A release folder is laid out as:
    payload/<id>.bin      the eleven payloads, 103.bin to 113.bin
    installed/<edition>/  an installed game folder of each edition 0 to 7
    finished/<edition>/   what a full update of that edition must leave
In installed/ and finished/ every *.sig file is a hidden file; no other file
carries an attribute.
"""

import os
import runpy
import sys

XP3_MAGIC = b"XP3\x0d\x0a\x20\x0a\x1a\x8b\x67\x01"
SIGNATURE_HEADER = b"-- SIGNATURE - SHA256/PSS/RSA --"
SIGNATURE_SIZE = 212
# The three Base64 lines of a signature text and the signature they carry.
SIGNATURE_LINE_LENGTHS = (64, 64, 44)
SIGNATURE_BYTES = 128
# Splice payloads and their finished archives share this head: the magic and
# the five low bytes of the finished archive's index position.
SPLICE_HEAD_SIZE = 16
assert SIGNATURE_SIZE == len(SIGNATURE_HEADER) + 2 + sum(n + 2 for n in SIGNATURE_LINE_LENGTHS)


def c_name(text):
    """The program's name for a file or an edition: "data.xp3" is DATA_XP3, "ver1.00a" VER1_00A."""
    return text.upper().replace(".", "_")


# The payloads the updater carries, by resource id: what each is, the file it becomes in the install folder and
# the program's name for it (the file's, with _A for the a-line's own). A catalogue gives their sizes; PAYLOADS
# has both.
A_LINE_PAYLOADS = (110, 111)
UPDATER_PAYLOADS = {pid: (kind, target, c_name(target) + ("_A" if pid in A_LINE_PAYLOADS else ""))
                    for pid, (kind, target) in {
                        103: ("signature", "Wellhaven.exe.sig"),
                        104: ("splice", "data.xp3"),
                        105: ("signature", "data.xp3.sig"),
                        106: ("splice", "scr.xp3"),
                        107: ("signature", "scr.xp3.sig"),
                        108: ("archive", "ext.xp3"),
                        109: ("signature", "ext.xp3.sig"),
                        110: ("archive", "ext.xp3"),
                        111: ("signature", "ext.xp3.sig"),
                        112: ("library", "auxtrans.dll"),
                        113: ("signature", "auxtrans.dll.sig"),
                    }.items()}
# The splice payload of each recipe; RECIPES carries it as "payload".
SPLICE_PAYLOADS = {"data.xp3": 104, "scr.xp3": 106}
# The files identification measures, in the order of an edition row's sizes.
MEASURED_FILES = ("data.xp3", "ext.xp3", "auxtrans.dll")
# The whole files measured, by payload, and the editions (6 ver1.03, 7 ver1.03a) whose rows carry their size.
WHOLE_FILE_EDITIONS = {108: (6,), 110: (7,), 112: (6, 7)}

RELEASE_CATALOGUE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "release_catalogue.py")
# What a catalogue file defines (release_catalogue.py says what each is).
FACTS = ("PAYLOAD_SIZES", "RECIPES", "EDITIONS", "RECOVERY_ROWS", "SAMPLE_OLD_SCR_XP3_SIZE",
         "SAMPLE_WELLHAVEN_EXE_SIZE")


def payload_file_name(payload_id):
    return "%d.bin" % payload_id


def index_position(recipe):
    """Where the finished archive's index begins: right after the second kept run."""
    return SPLICE_HEAD_SIZE + recipe["keepFirst"] + recipe["insertFirst"] + recipe["keepSecond"]


def consumed_size(recipe):
    """How many leading bytes of the installed archive the splice reads or skips."""
    return SPLICE_HEAD_SIZE + recipe["keepFirst"] + recipe["skipOld"] + recipe["keepSecond"]


def splice_payload_size(recipe):
    return SPLICE_HEAD_SIZE + recipe["insertFirst"] + recipe["insertTail"]


def problems(facts):
    """One line per contradiction within a catalogue's facts."""
    lines = []
    rows = {}
    for row, (name, *sizes) in enumerate(facts["EDITIONS"] + facts["RECOVERY_ROWS"]):
        label = name if row < len(facts["EDITIONS"]) else "the recovery row of " + name
        if tuple(sizes) in rows:
            lines.append("the edition rows %s and %s have the same sizes (%s)"
                         % (rows[tuple(sizes)], label, ", ".join(map(str, sizes))))
        rows.setdefault(tuple(sizes), label)
    sizes = facts["PAYLOAD_SIZES"]
    for name, recipe in sorted(facts["RECIPES"].items()):
        if recipe["finishedSize"] != index_position(recipe) + recipe["insertTail"]:
            lines.append("the %s recipe's runs make %d bytes, its finishedSize is %d"
                         % (name, index_position(recipe) + recipe["insertTail"], recipe["finishedSize"]))
        if sizes[SPLICE_PAYLOADS[name]] != splice_payload_size(recipe):
            lines.append("payload %d has %d bytes, the %s recipe's %d"
                         % (SPLICE_PAYLOADS[name], sizes[SPLICE_PAYLOADS[name]], name, splice_payload_size(recipe)))
    lines += ["payload %d (%s) has %d bytes, a signature text %d" % (pid, target, sizes[pid], SIGNATURE_SIZE)
              for pid, (kind, target, _) in sorted(UPDATER_PAYLOADS.items())
              if kind == "signature" and sizes[pid] != SIGNATURE_SIZE]
    for pid, editions in sorted(WHOLE_FILE_EDITIONS.items()):
        column = 1 + MEASURED_FILES.index(UPDATER_PAYLOADS[pid][1])
        lines += ["payload %d (%s) has %d bytes, the %s row's %d" % (pid, UPDATER_PAYLOADS[pid][1], sizes[pid], row[0],
                                                                   row[column])
                  for row in (facts["EDITIONS"][e] for e in editions) if row[column] != sizes[pid]]
    lines += ["the data.xp3 recipe makes %d bytes, the %s row's data.xp3 has %d"
              % (facts["RECIPES"]["data.xp3"]["finishedSize"], row[0], row[1])
              for row in facts["EDITIONS"][6:] if row[1] != facts["RECIPES"]["data.xp3"]["finishedSize"]]
    if facts["SAMPLE_OLD_SCR_XP3_SIZE"] <= consumed_size(facts["RECIPES"]["scr.xp3"]):
        lines.append("SAMPLE_OLD_SCR_XP3_SIZE is not longer than what the scr.xp3 recipe reads")
    return lines


def use(path):
    """Makes the catalogue file at path this module's PAYLOADS, RECIPES, EDITIONS and the rest; a catalogue
    that contradicts itself ends the program with its reasons."""
    global CATALOGUE, PAYLOADS, RECIPES, EDITIONS, RECOVERY_ROWS, SAMPLE_OLD_SCR_XP3_SIZE, SAMPLE_WELLHAVEN_EXE_SIZE
    facts = runpy.run_path(path)
    found = ["defines no %s" % name for name in FACTS if name not in facts]
    if not found and (set(facts["PAYLOAD_SIZES"]), set(facts["RECIPES"])) != (set(UPDATER_PAYLOADS),
                                                                            set(SPLICE_PAYLOADS)):
        found = ["gives other payloads or recipes than the updater's: payloads %d to %d, recipes %s"
                 % (min(UPDATER_PAYLOADS), max(UPDATER_PAYLOADS), " and ".join(sorted(SPLICE_PAYLOADS)))]
    found = found or problems(facts)
    if found:
        sys.exit("".join("%s: %s\n" % (path, line) for line in found)
                 + "catalogue refused: %s contradicts itself" % path)
    sizes, recipes, EDITIONS, RECOVERY_ROWS, SAMPLE_OLD_SCR_XP3_SIZE, SAMPLE_WELLHAVEN_EXE_SIZE = (
        facts[name] for name in FACTS)
    PAYLOADS = {pid: (sizes[pid],) + what for pid, what in UPDATER_PAYLOADS.items()}
    RECIPES = {name: dict(recipe, payload=SPLICE_PAYLOADS[name]) for name, recipe in recipes.items()}
    CATALOGUE = os.path.abspath(path)


def header():
    """release_catalogue.h: the numbers the program carries, one row a line."""
    lines = ["/* Generated by tools/release/catalogue.py from the catalogue",
             " * %s; do not edit. */" % CATALOGUE.replace("*/", "*\\/"),
             "#ifndef RELEASE_CATALOGUE_H", "#define RELEASE_CATALOGUE_H", "",
             "/* Payloads: each one's resource id and its size in bytes. */"]
    for pid, (size, kind, target, name) in sorted(PAYLOADS.items()):
        lines += ["#define PAYLOAD_%s %d /* %s, %s */" % (name, pid, kind, target),
                  "#define PAYLOAD_%s_SIZE %d" % (name, size)]
    lines += ["#define SIGNATURE_SIZE %d /* every signature text */" % SIGNATURE_SIZE, "",
              "/* Splice recipes: finishedSize, keepFirst, insertFirst, skipOld, keepSecond, insertTail. */"]
    for name, r in sorted(RECIPES.items()):
        lines.append("#define RECIPE_%s {%s}" % (c_name(name), ", ".join(
            str(r[k]) for k in ("finishedSize", "keepFirst", "insertFirst", "skipOld", "keepSecond", "insertTail"))))
    lines += ["", "/* Edition rows, searched in order: the edition, then the sizes of data.xp3, ext.xp3 and",
              " * auxtrans.dll; after the editions' own, the rows of a stopped update. */", "#define EDITION_ROWS \\"]
    lines.append(" \\\n".join("    {%s, {%d, %d, %d}}," % (c_name(name), data, ext, dll)
                                for name, data, ext, dll in EDITIONS + RECOVERY_ROWS))
    return "\n".join(lines + ["", "#endif", ""])


def resource_lines():
    """release_payloads.rc: the payloads as resources of type BINARY, found through the include path."""
    return "".join('%d BINARY "%s"\n' % (pid, payload_file_name(pid)) for pid in sorted(PAYLOADS))


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_if_changed(path, text):
    """Leaves a file with that content alone, so that nothing that includes it is rebuilt."""
    try:
        with open(path) as f:
            if f.read() == text:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


if __name__ != "__main__":
    use(RELEASE_CATALOGUE)
elif len(sys.argv) != 3:
    sys.exit("usage:" + __doc__.split("\n\n")[1])
else:
    use(sys.argv[1])
    write_if_changed(os.path.join(sys.argv[2], "release_catalogue.h"), header())
    write_if_changed(os.path.join(sys.argv[2], "release_payloads.rc"), resource_lines())
    print(";".join(map(str, sorted(PAYLOADS))), end="")
