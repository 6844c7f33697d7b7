"""The updater's release catalogue, for the tools that make and check release data.

The program carries the same numbers as constants of its own (control/plan.cpp,
discovery/identify.cpp); the build checks a release's payload files against
this table before they are placed into the executable.

A release folder is laid out as:
    payload/<id>.bin      the eleven payloads, 103.bin to 113.bin
    installed/<edition>/  an installed game folder of each edition 0 to 7
    finished/<edition>/   what a full update of that edition must leave
In installed/ and finished/ every *.sig file is a hidden file; no other file
carries an attribute.
"""

XP3_MAGIC = b"XP3\x0d\x0a\x20\x0a\x1a\x8b\x67\x01"
SIGNATURE_HEADER = b"-- SIGNATURE - SHA256/PSS/RSA --"
SIGNATURE_SIZE = 212
# The three Base64 lines of a signature text and the signature they carry.
SIGNATURE_LINE_LENGTHS = (64, 64, 44)
SIGNATURE_BYTES = 128
# Splice payloads and their finished archives share this head: the magic and
# the five low bytes of the finished archive's index position.
SPLICE_HEAD_SIZE = 16

# id: (size in bytes, what it is, the file it becomes in the install folder)
PAYLOADS = {
    103: (212, "signature", "Wellhaven.exe.sig"),
    104: (10599, "splice", "data.xp3"),
    105: (212, "signature", "data.xp3.sig"),
    106: (325554, "splice", "scr.xp3"),
    107: (212, "signature", "scr.xp3.sig"),
    108: (30928, "archive", "ext.xp3"),
    109: (212, "signature", "ext.xp3.sig"),
    110: (59697, "archive", "ext.xp3"),
    111: (212, "signature", "ext.xp3.sig"),
    112: (90112, "library", "auxtrans.dll"),
    113: (212, "signature", "auxtrans.dll.sig"),
}


def payload_file_name(payload_id):
    return "%d.bin" % payload_id


# Splice recipes: finishedSize, keepFirst, insertFirst, skipOld, keepSecond, insertTail
RECIPES = {
    "data.xp3": dict(payload=104, finishedSize=138482, keepFirst=22408, insertFirst=8992,
                     skipOld=8981, keepSecond=105475, insertTail=1591),
    "scr.xp3": dict(payload=106, finishedSize=920821, keepFirst=917, insertFirst=321102,
                    skipOld=321084, keepSecond=594350, insertTail=4436),
}


def index_position(recipe):
    """Where the finished archive's index begins: right after the second kept run."""
    return SPLICE_HEAD_SIZE + recipe["keepFirst"] + recipe["insertFirst"] + recipe["keepSecond"]


def consumed_size(recipe):
    """How many leading bytes of the installed archive the splice reads or skips."""
    return SPLICE_HEAD_SIZE + recipe["keepFirst"] + recipe["skipOld"] + recipe["keepSecond"]


def splice_payload_size(recipe):
    return SPLICE_HEAD_SIZE + recipe["insertFirst"] + recipe["insertTail"]


# Edition table: (name, data.xp3, ext.xp3, auxtrans.dll); even rows plain line, odd rows a-line.
EDITIONS = [
    ("ver1.00", 138471, 39808, 69632),
    ("ver1.00a", 138471, 30070, 69632),
    ("ver1.01", 138482, 39808, 69632),
    ("ver1.01a", 138482, 30070, 69632),
    ("ver1.02", 138482, 30931, 69632),
    ("ver1.02a", 138482, 59697, 69632),
    ("ver1.03", 138482, 30928, 90112),
    ("ver1.03a", 138482, 59697, 90112),
]

# Sizes the program never looks at, used only by the sample release: the
# scr.xp3 of ver1.00 and ver1.00a (its splice reads the first 916367 bytes
# and drops the old index after them) and the game's executable.
SAMPLE_OLD_SCR_XP3_SIZE = 920803
SAMPLE_WELLHAVEN_EXE_SIZE = 155648

for _name, _recipe in RECIPES.items():
    assert _recipe["finishedSize"] == index_position(_recipe) + _recipe["insertTail"], _name
    assert PAYLOADS[_recipe["payload"]][0] == splice_payload_size(_recipe), _name
    assert PAYLOADS[_recipe["payload"]][2] == _name
assert SIGNATURE_SIZE == len(SIGNATURE_HEADER) + 2 + sum(n + 2 for n in SIGNATURE_LINE_LENGTHS)
assert SAMPLE_OLD_SCR_XP3_SIZE > consumed_size(RECIPES["scr.xp3"])
