#!/usr/bin/python3
"""make_release.py on the sample release's installed folders: the committed catalogue and the sample release given
back, and each refusal, with nothing written."""

import filecmp
import os
import runpy
import subprocess
import sys
import unittest

from support import TOOLS, SampleTestCase, catalogue, read, write


def truncate(path, size):
    write(path, read(path)[:size])


def change_byte(path, offset):
    data = read(path)
    write(path, data[:offset] + bytes([data[offset] ^ 1]) + data[offset + 1:])


DATA_FIRST_RUN = 16 + catalogue.RECIPES["data.xp3"]["keepFirst"] + 5  # inside the payload's first run

# (what is done to the game's folders, the line printed)
REFUSALS = [
    (lambda g: os.rename(g("5"), g("gone")), "{game}/5: missing: the folder of ver1.02a (5)"),
    (lambda g: change_byte(g("2", "Wellhaven.exe"), 9), "Wellhaven.exe: differs between ver1.01 (2) and ver1.03 (6), "
     "and the updater does not write it for ver1.01 (2)"),
    (lambda g: change_byte(g("7", "auxtrans.dll.sig"), 40), "auxtrans.dll.sig: differs between ver1.03 (6) and "
     "ver1.03a (7), and the updater carries one auxtrans.dll.sig for both"),
    (lambda g: write(g("3", "ext.xp3"), read(g("2", "ext.xp3"))), "ver1.01 (2) and ver1.01a (3) have the same sizes of "
     "data.xp3, ext.xp3, auxtrans.dll (138482, 39808, 69632): identification cannot tell them apart"),
    (lambda g: [change_byte(g(e, "data.xp3"), DATA_FIRST_RUN) for e in "7"], "data.xp3: no single recipe turns "
     "ver1.00's and ver1.00a's into their lines' new archive with one payload"),
    (lambda g: change_byte(g("7", "scr.xp3"), -3), "scr.xp3: ver1.03's and ver1.03a's differ in the head or from the "
     "index position on, which the updater carries once for both"),
    (lambda g: truncate(g("5", "ext.xp3"), 30928), "ver1.00 (0) stopped after ext.xp3 (run as ver1.00) leaves sizes "
     "(138482, 30928, 69632), identified as ver1.02a (5), whose plan does not finish it; a row of a stopped update "
     "(ver1.02, 138482, 30928, 69632) would serve, but the edition row comes first"),
]

# (what is done to the game's folders, a catalogue fact, what it must then be)
DERIVED = [
    (lambda g: truncate(g("5", "auxtrans.dll"), 69000), "RECOVERY_ROWS",  # the a-line's stop is no edition's now
     [("ver1.02", 138482, 30928, 69632), ("ver1.02a", 138482, 59697, 69632)]),
]


class MakeReleaseTest(SampleTestCase):
    def make(self, game):
        out, written = os.path.join(self.scratch, "release"), os.path.join(self.scratch, "catalogue.py")
        done = subprocess.run([sys.executable, os.path.join(TOOLS, "make_release.py"), game, out,
                               "--catalogue", written], capture_output=True, text=True)
        return done, out, written

    def test_the_sample_release_is_given_back(self):
        done, out, written = self.make(self.sample("installed"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(read(written), read(catalogue.RELEASE_CATALOGUE))
        for kind in ("payload", "installed", "finished"):
            comparison = filecmp.dircmp(self.sample(kind), os.path.join(out, kind))
            self.assertEqual([comparison.left_only, comparison.right_only, comparison.diff_files]
                             + [sub.diff_files for sub in comparison.subdirs.values()], [[], [], []] + [[]] * (
                                 len(comparison.subdirs)), kind)

    def test_numbers_follow_the_folders(self):
        for change, fact, expected in DERIVED:
            game = self.copy_of("installed")
            change(lambda *parts: os.path.join(game, *parts))
            done, _, written = self.make(game)
            self.assertEqual((done.returncode, runpy.run_path(written)[fact]), (0, expected), done.stderr)

    def test_refusals_name_the_file_and_the_editions_and_write_nothing(self):
        for change, line in REFUSALS:
            with self.subTest(line):
                game = self.copy_of("installed")
                change(lambda *parts: os.path.join(game, *parts))
                done, out, written = self.make(game)
                self.assertEqual((done.returncode, done.stderr), (1, "make_release: refused: %s; nothing written\n"
                                                                  % line.format(game=game)))
                self.assertFalse(os.path.exists(out) or os.path.exists(written))


if __name__ == "__main__":
    unittest.main()
