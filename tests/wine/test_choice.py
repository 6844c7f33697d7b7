#!/usr/bin/python3
"""How the Wine harness chooses the build it runs, with stand-in loaders:
one that runs, one this machine cannot execute, one ending with status 126
(Debian's wine wrapper where the 32-bit loader cannot run), and none."""

import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from wine_choice import CHOICE_SETTING, EXE_NAME, WineError, choose_path, wow64_unavailable  # noqa: E402

RUNS = "#!/bin/sh\nexit 0\n"
STATUS_126 = "#!/bin/sh\nexit 126\n"
# An ELF header for a machine no kernel here runs: exec fails with ENOEXEC.
FOREIGN = b"\x7fELF\x01\x01\x01" + b"\0" * 9 + b"\x02\0\xff\xff" + b"\0" * 100


def pe(machine):
    head = bytearray(0x200)
    head[:2] = b"MZ"
    head[0x3C:0x40] = (0x80).to_bytes(4, "little")
    head[0x80:0x84] = b"PE\0\0"
    head[0x84:0x86] = machine.to_bytes(2, "little")
    return bytes(head)


class ChoiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.exe32 = self.file("x86/" + EXE_NAME, pe(0x14C))
        self.exe64 = self.file("x64/" + EXE_NAME, pe(0x8664))

    def file(self, name, content):
        path = os.path.join(self.dir.name, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        os.chmod(path, 0o755)
        return path

    def loader(self, kind, name):
        if kind == "missing":
            return os.path.join(self.dir.name, "no-" + name)
        return self.file(name, {"runs": RUNS, "126": STATUS_126, "foreign": FOREIGN}[kind])

    def test_choice(self):
        both = "both"
        # (WELLHAVEN_WINE, 32-bit loader, 64-bit loader, builds) -> path name, or the error's words
        table = [
            ("", "runs", "runs", both, "pe32"),
            ("auto", "foreign", "runs", both, "pe32plus"),
            ("", "126", "runs", both, "pe32plus"),
            ("", "missing", "runs", both, "pe32plus"),
            ("", "runs", "runs", "x64", "pe32plus"),
            ("pe32plus", "runs", "runs", both, "pe32plus"),
            ("PE32", "runs", "missing", both, "pe32"),
            ("pe32", "foreign", "runs", both, "cannot run 32-bit x86 programs"),
            ("", "foreign", "missing", both, "cannot run 32-bit x86 programs"),
            ("", "126", "runs", "x86", "no PE32+ build"),
            ("", "runs", "runs", "none", "no PE32+ build"),
            ("win64", "runs", "runs", both, "expected pe32, pe32plus or auto"),
        ]
        builds = {both: [self.exe32, self.exe64], "x86": [self.exe32], "x64": [self.exe64],
                  "none": [os.path.join(self.dir.name, "missing.exe")]}
        for setting, kind32, kind64, which, expected in table:
            with self.subTest(setting=setting, loader32=kind32, loader64=kind64, builds=which), \
                    mock.patch.dict(os.environ, {CHOICE_SETTING: setting}):
                loader32, loader64 = self.loader(kind32, "wine"), self.loader(kind64, "wine64")
                try:
                    path, exe = choose_path(builds[which], loader32=loader32, loader64=loader64)
                except WineError as e:
                    self.assertIn(expected, str(e))
                    self.assertEqual(len(str(e).splitlines()), 1)
                    continue
                self.assertEqual(path.name, expected)
                self.assertEqual(exe, self.exe32 if expected == "pe32" else self.exe64)
                self.assertEqual(path.arch, "win32" if expected == "pe32" else "win64")
                if expected == "pe32plus":
                    self.assertEqual(path.loader, [loader64])
                    self.assertEqual(path.view, "32")
                    self.assertTrue(path.description.startswith("PE32+ build in a 64-bit prefix ("))

    def test_wow64_needs_both_loaders_and_no_forced_64(self):
        runs, foreign = self.loader("runs", "wine"), self.loader("foreign", "wine-foreign")
        wine64 = self.loader("runs", "wine64")
        with mock.patch.dict(os.environ, {CHOICE_SETTING: ""}):
            self.assertIsNone(wow64_unavailable(runs, wine64))
            self.assertIn("cannot run 32-bit x86 programs", wow64_unavailable(foreign, wine64))
        with mock.patch.dict(os.environ, {CHOICE_SETTING: "pe32plus"}):
            self.assertIn("pe32plus", wow64_unavailable(runs, wine64))


if __name__ == "__main__":
    unittest.main()
