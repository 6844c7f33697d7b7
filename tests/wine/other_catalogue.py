"""A release of other sizes and recipes, never in the repository: wine.other_release builds the updater from it
(WELLHAVEN_CATALOGUE) and updates its every edition under Wine. The form of tools/release/release_catalogue.py."""

PAYLOADS = {
    103: (212, "signature", "Wellhaven.exe.sig", "WELLHAVEN_EXE_SIG"),
    104: (11216, "splice", "data.xp3", "DATA_XP3"),
    105: (212, "signature", "data.xp3.sig", "DATA_XP3_SIG"),
    106: (305016, "splice", "scr.xp3", "SCR_XP3"),
    107: (212, "signature", "scr.xp3.sig", "SCR_XP3_SIG"),
    108: (32500, "archive", "ext.xp3", "EXT_XP3"),
    109: (212, "signature", "ext.xp3.sig", "EXT_XP3_SIG"),
    110: (61000, "archive", "ext.xp3", "EXT_XP3_A"),
    111: (212, "signature", "ext.xp3.sig", "EXT_XP3_SIG_A"),
    112: (95000, "library", "auxtrans.dll", "AUXTRANS_DLL"),
    113: (212, "signature", "auxtrans.dll.sig", "AUXTRANS_DLL_SIG"),
}
RECIPES = {
    "data.xp3": dict(payload=104, finishedSize=131216, keepFirst=20000, insertFirst=9500,
                     skipOld=9000, keepSecond=100000, insertTail=1700),
    "scr.xp3": dict(payload=106, finishedSize=906216, keepFirst=1200, insertFirst=300000,
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
