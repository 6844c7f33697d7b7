"""The release catalogue: every number of the release this updater carries, written once.

The build reads it through catalogue.py, which checks it and writes from it
the program's header (payload ids and sizes, splice recipes, edition rows)
and the resource script's payload lines; the release tools check and make
release folders by it. For the next release's updater this file is what
changes (docs/release.md).
"""

# The payloads' sizes in bytes, by resource id (catalogue.py says what each is).
PAYLOAD_SIZES = {
    103: 212,     # Wellhaven.exe.sig
    104: 10599,   # the data.xp3 recipe's splice payload
    105: 212,     # data.xp3.sig
    106: 325554,  # the scr.xp3 recipe's splice payload
    107: 212,     # scr.xp3.sig
    108: 30928,   # ext.xp3 of ver1.03
    109: 212,     # its ext.xp3.sig
    110: 59697,   # ext.xp3 of ver1.03a
    111: 212,     # its ext.xp3.sig
    112: 90112,   # auxtrans.dll of ver1.03 and ver1.03a
    113: 212,     # auxtrans.dll.sig
}

# Splice recipes: finishedSize, keepFirst, insertFirst, skipOld, keepSecond, insertTail
RECIPES = {
    "data.xp3": dict(finishedSize=138482, keepFirst=22408, insertFirst=8992,
                     skipOld=8981, keepSecond=105475, insertTail=1591),
    "scr.xp3": dict(finishedSize=920821, keepFirst=917, insertFirst=321102,
                    skipOld=321084, keepSecond=594350, insertTail=4436),
}

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

# Rows searched after the editions' own, with the edition they are finished
# as: a plain-line update stopped after its new ext.xp3 and before the new
# auxtrans.dll, which the rest of ver1.02's plan finishes. The a-line's
# stopped state already has ver1.02a's sizes.
RECOVERY_ROWS = [
    ("ver1.02", 138482, 30928, 69632),
]

# Sizes the program never looks at, used only by the sample release: the
# scr.xp3 of ver1.00 and ver1.00a (its splice reads the first 916367 bytes
# and drops the old index after them) and the game's executable.
SAMPLE_OLD_SCR_XP3_SIZE = 920803
SAMPLE_WELLHAVEN_EXE_SIZE = 155648
