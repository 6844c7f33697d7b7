#!/usr/bin/python3
"""Builds of the Windows executable from scratch: reproducible, and guarded by the release check.

    test_build.py ReproducibleBuildTest   two clean builds in different folders give the same bytes
    test_build.py ReleaseSettingTest      WELLHAVEN_RELEASE_DIR, the refusal of a broken folder, rebuilds
"""

import os
import shutil
import subprocess
import unittest

import pefile

from support import SAMPLE, SOURCE_DIR, WORK, catalogue, read, special_build, write

EXE = "WellhavenUpdate103.exe"


def build(source, folder, release_dir=None):
    """Configures (when release_dir is given: "" for the sample release) and builds; returns (status, output)."""
    output = ""
    if release_dir is not None:
        done = subprocess.run(["cmake", "--preset", "windows", "-B", folder, "-DWELLHAVEN_RELEASE_DIR=" + release_dir],
                              cwd=source, capture_output=True, text=True)
        output += done.stdout + done.stderr
        if done.returncode != 0:
            return done.returncode, output
    done = subprocess.run(["cmake", "--build", folder, "-j2"], capture_output=True, text=True)
    return done.returncode, output + done.stdout + done.stderr


def fresh(*parts):
    path = os.path.join(WORK, *parts)
    shutil.rmtree(path, ignore_errors=True)
    return path


def payload_in(exe, pid):
    pe = pefile.PE(exe)
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if str(rtype.name) == "BINARY":
            for entry in rtype.directory.entries:
                if entry.id == pid:
                    data = entry.directory.entries[0].data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    return None


class ReproducibleBuildTest(unittest.TestCase):
    def test_two_clean_builds_in_different_folders_are_identical(self):
        copy = fresh("repro", "a-copy-of-the-sources-in-another-folder")
        shutil.copytree(SOURCE_DIR, copy, ignore=shutil.ignore_patterns(".git", "build", "out", "__pycache__"))
        exes = []
        for source, folder in ((SOURCE_DIR, fresh("repro", "a")), (copy, fresh("repro", "build-b-elsewhere"))):
            status, output = build(source, folder, "")
            self.assertEqual(status, 0, output)
            exes.append(read(os.path.join(folder, EXE)))
        if exes[0] != exes[1]:
            at = next(i for i, (x, y) in enumerate(zip(*exes)) if x != y) if len(exes[0]) == len(exes[1]) else None
            section = next((s.Name.rstrip(b"\0").decode() for s in pefile.PE(data=exes[0]).sections
                            if at is not None and s.PointerToRawData <= at < s.PointerToRawData + s.SizeOfRawData),
                           "?")
            self.fail("the executables differ: sizes %d and %d, first difference at %s in section %s"
                      % (len(exes[0]), len(exes[1]), at, section))


class ReleaseSettingTest(unittest.TestCase):
    def test_release_folder_is_checked_embedded_and_followed(self):
        folder, release = fresh("setting", "build"), fresh("setting", "release")
        shutil.copytree(os.path.join(SAMPLE, "payload"), os.path.join(release, "payload"))
        exe = os.path.join(folder, EXE)
        p104, p113 = (os.path.join(release, "payload", n) for n in ("104.bin", "113.bin"))
        good104 = read(p104)

        # One wrong byte in the index position of 104's head stops the build before anything is linked.
        write(p104, good104[:12] + b"\x00" + good104[13:])
        status, output = build(SOURCE_DIR, folder, release)
        self.assertNotEqual(status, 0)
        self.assertIn("%s (data.xp3): index position in the head" % p104, output)
        self.assertFalse(os.path.exists(exe))

        write(p104, good104)
        status, output = build(SOURCE_DIR, folder)
        self.assertEqual(status, 0, output)
        first = {pid: payload_in(exe, pid) for pid in catalogue.PAYLOADS}
        self.assertEqual(special_build(pefile.PE(exe)), (False, None), "a release build is no special build")

        # Changing a payload file is enough to rebuild the executable with it.
        new113 = read(os.path.join(release, "payload", "103.bin"))
        write(p113, new113)
        status, output = build(SOURCE_DIR, folder)
        self.assertEqual(status, 0, output)
        self.assertEqual(payload_in(exe, 113), new113)

        # An empty setting goes back to the sample release, which these files were copied from: the same
        # payloads, and a version block that marks the build as sample data.
        status, output = build(SOURCE_DIR, folder, "")
        self.assertEqual(status, 0, output)
        flag, text = special_build(pefile.PE(exe))
        self.assertTrue(flag, "VS_FF_SPECIALBUILD")
        self.assertIn("not for players", text or "")
        self.assertEqual({pid: payload_in(exe, pid) for pid in catalogue.PAYLOADS}, first)

        # A folder without payload/ is refused when configuring.
        status, output = build(SOURCE_DIR, folder, os.path.join(release, "payload"))
        self.assertNotEqual(status, 0)
        self.assertIn("has no payload/ folder", " ".join(output.split()))


if __name__ == "__main__":
    unittest.main()
