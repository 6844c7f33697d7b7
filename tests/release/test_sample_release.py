#!/usr/bin/python3
"""The sample release has the shape of real release data, the same on every run."""

import filecmp
import os
import re
import struct
import subprocess
import sys
import unittest

from support import TOOLS, SampleTestCase, catalogue, read

SIGNATURE = re.compile(rb"-- SIGNATURE - SHA256/PSS/RSA --\r\n[A-Za-z0-9+/]{64}\r\n[A-Za-z0-9+/]{64}\r\n"
                       rb"[A-Za-z0-9+/]{43}=\r\n\Z")


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)


class SampleReleaseTest(SampleTestCase):
    def test_two_runs_write_the_same_bytes_as_the_build(self):
        outs = [os.path.join(self.scratch, n) for n in ("one", "two")]
        for out in outs:
            subprocess.run([sys.executable, os.path.join(TOOLS, "make_sample_release.py"), out], check=True)
        files = tree(self.sample())
        self.assertIn("finished/0/Wellhaven.exe.sig", files)
        for out in outs:
            self.assertEqual(tree(out), files)
            _, mismatch, errors = filecmp.cmpfiles(self.sample(), out, files, shallow=False)
            self.assertEqual((mismatch, errors), ([], []))

    def test_generator_refuses_a_folder_it_did_not_write(self):
        os.mkdir(os.path.join(self.scratch, "payload"))
        with open(os.path.join(self.scratch, "payload", "103.bin"), "wb") as f:
            f.write(b"a real release's file")
        done = subprocess.run([sys.executable, os.path.join(TOOLS, "make_sample_release.py"), self.scratch],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 1)
        self.assertIn("not a sample release", done.stderr)
        self.assertEqual(os.listdir(self.scratch), ["payload"])

    def test_installed_folders_have_the_sizes_of_their_editions(self):
        for edition, (name, data, ext, dll) in enumerate(catalogue.EDITIONS):
            for kind, row in (("installed", edition), ("finished", 6 + edition % 2)):
                with self.subTest(kind=kind, edition=edition):
                    sizes = tuple(os.path.getsize(self.sample(kind, str(edition), f))
                                  for f in ("data.xp3", "ext.xp3", "auxtrans.dll"))
                    self.assertEqual(sizes, catalogue.EDITIONS[row][1:])
        for edition in ("6", "7"):
            self.assertEqual(filecmp.dircmp(self.sample("installed", edition), self.sample("finished", edition)).diff_files, [])
        # The a-line's spliced archives have kept runs of their own, so a CRC-32 of the wrong line cannot pass.
        self.assertEqual([n for n in sorted(os.listdir(self.sample("finished", "0")))
                          if read(self.sample("finished", "0", n)) != read(self.sample("finished", "1", n))],
                         ["data.xp3", "ext.xp3", "ext.xp3.sig", "scr.xp3"])

    def test_every_file_has_the_shape_of_its_kind(self):
        for path in tree(self.sample()):
            data = read(self.sample(path))
            with self.subTest(path):
                if path.endswith(".xp3") or path in ("payload/108.bin", "payload/110.bin"):
                    self.assertTrue(data.startswith(catalogue.XP3_MAGIC))
                    position = struct.unpack("<Q", data[11:19])[0]
                    self.assertLess(position, len(data))
                    flag, length = struct.unpack("<BQ", data[position:position + 9])
                    self.assertEqual((flag, position + 9 + length), (0, len(data)), "a raw index up to the end")
                elif path.endswith(".sig") or path in ("payload/%d.bin" % p for p in (103, 105, 107, 109, 111, 113)):
                    self.assertRegex(data, SIGNATURE)
                elif path.endswith((".dll", ".exe")) or path == "payload/112.bin":
                    self.assertEqual(data[:2], b"MZ")


if __name__ == "__main__":
    unittest.main()
