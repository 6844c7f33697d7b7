"""A release of other sizes and recipes in the form of tools/release/release_catalogue.py, never in the repository:
wine.other_release builds the updater from it (WELLHAVEN_CATALOGUE) and updates its every edition under Wine."""

PAYLOAD_SIZES = {103: 212, 104: 11216, 105: 212, 106: 305016, 107: 212, 108: 32500, 109: 212, 110: 61000,
                 111: 212, 112: 95000, 113: 212}
RECIPES = {
    "data.xp3": dict(finishedSize=131216, keepFirst=20000, insertFirst=9500,
                     skipOld=9000, keepSecond=100000, insertTail=1700),
    "scr.xp3": dict(finishedSize=906216, keepFirst=1200, insertFirst=300000,
                    skipOld=290000, keepSecond=600000, insertTail=5000),
}
EDITIONS = [
    ("ver1.00", 130100, 41000, 70000),
    ("ver1.00a", 130100, 31000, 70000),
    ("ver1.01", 131216, 41000, 70000),
    ("ver1.01a", 131216, 31000, 70000),
    ("ver1.02", 131216, 32000, 70000),
    ("ver1.02a", 131216, 61000, 70000),
    ("ver1.03", 131216, 32500, 95000),
    ("ver1.03a", 131216, 61000, 95000),
]
RECOVERY_ROWS = [("ver1.02", 131216, 32500, 70000)]
SAMPLE_OLD_SCR_XP3_SIZE = 900000
SAMPLE_WELLHAVEN_EXE_SIZE = 150000
