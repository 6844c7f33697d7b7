#!/usr/bin/python3
"""Builds of the Windows executable from scratch: reproducible, and guarded by the release check.

    test_build.py ReproducibleBuildTest   two clean builds in different folders give the same bytes
    test_build.py ReleaseSettingTest      WELLHAVEN_RELEASE_DIR, the refusal of a broken folder or catalogue, rebuilds
    test_build.py CompareTest             tools/release/compare.sh on shipped files of this commit and another
"""

import os
import shutil
import subprocess
import sys
import unittest

import pefile

from support import (EXE_NAME, SAMPLE, SOURCE_DIR, TOOLS, WORK, catalogue, read, special_build, throwaway_certificate,
                     write)
import compare  # noqa: E402  (tools/release, on the path through support)
import ship  # noqa: E402


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
    return ship.embedded_payloads(pefile.PE(exe)).get(pid)


class ReproducibleBuildTest(unittest.TestCase):
    def test_two_clean_builds_in_different_folders_are_identical(self):
        copy = fresh("repro", "a-copy-of-the-sources-in-another-folder")
        shutil.copytree(SOURCE_DIR, copy, ignore=shutil.ignore_patterns(".git", "build", "out", "__pycache__"))
        exes = []
        for source, folder in ((SOURCE_DIR, fresh("repro", "a")), (copy, fresh("repro", "build-b-elsewhere"))):
            status, output = build(source, folder, "")
            self.assertEqual(status, 0, output)
            exes.append(read(os.path.join(folder, EXE_NAME)))
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
        for part in ("payload", "installed/0", "installed/1", "finished/0", "finished/1"):
            shutil.copytree(os.path.join(SAMPLE, part), os.path.join(release, part))
        exe = os.path.join(folder, EXE_NAME)
        p104, p113 = (os.path.join(release, "payload", n) for n in ("104.bin", "113.bin"))
        good104 = read(p104)

        # One wrong byte in the index position of 104's head stops the build before anything is linked.
        write(p104, good104[:12] + b"\x00" + good104[13:])
        status, output = build(SOURCE_DIR, folder, release)
        self.assertNotEqual(status, 0)
        self.assertIn("%s (data.xp3): index position in the head" % p104, output)
        self.assertFalse(os.path.exists(exe))

        # So does a finished archive that installed/1 and payload 104 do not make, one byte off.
        write(p104, good104)
        finished = os.path.join(release, "finished", "1", "data.xp3")
        good = read(finished)
        write(finished, good[:-1] + bytes([good[-1] ^ 1]))
        status, output = build(SOURCE_DIR, folder)
        self.assertNotEqual(status, 0)
        self.assertIn("%s: not what %s and %s make: first difference at offset 138481" % (
            finished, os.path.join(release, "installed", "1", "data.xp3"), p104), output)
        self.assertFalse(os.path.exists(exe))

        write(finished, good)
        status, output = build(SOURCE_DIR, folder)
        self.assertEqual(status, 0, output)
        self.assertIn(release + "; do not edit.", read(os.path.join(folder, "generated", "release_crcs.h")).decode())
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

    def test_a_catalogue_that_contradicts_itself_stops_the_build_with_its_reasons(self):
        folder, changed = fresh("setting", "catalogue"), os.path.join(WORK, "contradicting_catalogue.py")
        write(changed, read(catalogue.RELEASE_CATALOGUE).replace(b"30931", b"30928").replace(b"keepSecond=594350",
              b"keepSecond=594351").replace(b"108: 30928", b"108: 30929").replace(b"=138482", b"=138483"))
        done = subprocess.run(["cmake", "--preset", "windows", "-B", folder, "-DWELLHAVEN_CATALOGUE=" + changed],
                              cwd=SOURCE_DIR, capture_output=True, text=True)
        self.assertNotEqual(done.returncode, 0)
        for reason in ("the edition rows ver1.02 and the recovery row of ver1.02 have the same sizes",
                       "the scr.xp3 recipe's runs make 920822 bytes, its finishedSize is 920821",
                       "payload 108 (ext.xp3) has 30929 bytes, the ver1.03 row's 30928",
                       "the data.xp3 recipe makes 138483 bytes, the ver1.03a row's data.xp3 has 138482"):
            self.assertIn("%s: %s" % (changed, reason), done.stderr)


class CompareTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = fresh("compare")
        clone, this, other = (os.path.join(cls.work, n) for n in ("clone", "this", "other"))
        os.makedirs(this)
        os.makedirs(other)
        # A throwaway commit that adds a space to a message, made in a clone that goes with the scratch folder.
        assert subprocess.run(["git", "clone", "-q", "--shared", SOURCE_DIR, clone]).returncode == 0
        report = os.path.join(clone, "common", "report.cpp")
        write(report, read(report).replace(b'";', b' ";', 1))
        assert subprocess.run(["git", "-C", clone, "-c", "user.name=test", "-c", "user.email=test@invalid",
                               "commit", "-qam", "A message with a space more"]).returncode == 0
        cls.exe = compare.build(compare.resolve("HEAD"), SAMPLE, this)
        cls.other = compare.build(compare.resolve("HEAD", clone), SAMPLE, other, clone)
        cls.signed = os.path.join(cls.work, "signed.exe")
        cert, pfx, password = throwaway_certificate(cls.work)
        ship.sign(cls.exe, cls.signed, pfx, password, "", cert, cert, cls.work)

    def run_compare(self, *args):
        done = subprocess.run([os.path.join(TOOLS, "compare.sh")] + list(args), capture_output=True, text=True,
                              env=dict(os.environ, TMPDIR=self.work))
        return done.returncode, done.stdout, done.stderr.splitlines()

    def test_a_rebuild_takes_the_signature_off_and_names_what_differs(self):
        built = read(self.exe)
        self.assertEqual(compare.unsigned(self.exe, self.work), (built, " (not signed)"))
        self.assertEqual(compare.unsigned(self.signed, self.work)[0], built, "signed, then taken off")
        status, out, err = self.run_compare(self.signed, SAMPLE)
        self.assertEqual((status, err), (0, []), out)
        self.assertIn("signature of %d bytes taken off) is byte for byte the build of" % (
            os.path.getsize(self.signed) - len(built)), out)
        status, out, err = self.run_compare(self.other, SAMPLE, compare.resolve("HEAD"))
        self.assertEqual((status, err), (1, []), out)
        self.assertIn("\n  section .rdata: ", out)

        pe = pefile.PE(data=built)
        text = next(s for s in pe.sections if s.Name.startswith(b".text\0"))
        payload = built.index(read(os.path.join(SAMPLE, "payload", "108.bin")))
        for at, expected in [
                (payload + 100, "section .rsrc: payload 108 (ext.xp3)"),
                (built.index("OriginalFilename".encode("utf-16-le")), "section .rsrc: the version block"),
                (pe.FILE_HEADER.get_file_offset() + 4, "the headers: IMAGE_FILE_HEADER.TimeDateStamp"),
                (text.PointerToRawData + 1, "section .text: 1 of %d bytes differ, the first at file offset 0x%x"
                 % (text.SizeOfRawData, text.PointerToRawData + 1))]:
            changed = bytearray(built)
            changed[at] ^= 1
            self.assertEqual(compare.differences(bytes(changed), built), [expected])

    def test_misuse_is_one_line_and_exit_status_2(self):
        broken = os.path.join(self.work, "broken")
        shutil.copytree(os.path.join(SAMPLE, "payload"), os.path.join(broken, "payload"))
        write(os.path.join(broken, "payload", "105.bin"), b"short")
        for args, reason in [([], "the following arguments are required"),
                             ([self.exe, SAMPLE, "no-such-commit"], "there is no commit 'no-such-commit'"),
                             ([self.exe + ".missing", SAMPLE], "no file"),
                             ([self.exe, broken], "the payloads are refused")]:
            status, _, err = self.run_compare(*args)
            self.assertEqual((status, len(err)), (2, 1), err)
            self.assertTrue(err[0].startswith("compare: ") and reason in err[0], err[0])


if __name__ == "__main__":
    # CompareTest rebuilds commits; unittest's own skip would end with status 0, a pass to CTest.
    top = shutil.which("git") and subprocess.run(["git", "-C", SOURCE_DIR, "rev-parse", "--show-toplevel"],
                                                  capture_output=True, text=True).stdout.strip()
    if "CompareTest" in sys.argv[1:] and os.path.realpath(top or "/") != os.path.realpath(SOURCE_DIR):
        sys.exit(print("skipped: %s is not a Git checkout (a source archive has no commits)" % SOURCE_DIR) or 77)
    unittest.main()
