#!/usr/bin/python3
"""The release command, tools/release/ship.sh: its refusals, and a signed and timestamped updater of a release never
in the repository, proven under Wine on its ver1.00 installation.

One Windows build from a release made with make_sample_release.py --seed serves every case, built as
./build.sh builds it (no box robot beside it). On a machine that cannot run 32-bit x86 programs
(WELLHAVEN_WINE=pe32plus stands in for one) the signed case must be refused for that reason, and signing
is proven instead on the 64-bit build of the same sources, which such a machine runs under Wine.
"""

import hashlib
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

import pefile

from support import (EXE_NAME, SAMPLE, SOURCE_DIR, TOOLS, UPDATER_EXE, UPDATER_EXE64, WORK, catalogue, read, resources,
                     special_build, throwaway_certificate, pe32_unavailable, say, write)
import timestamp_authority  # tools/release, put on the path by support

SHIP = os.path.join(TOOLS, "ship.sh")
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def run(*command, **kwargs):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)


class ShipTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(UPDATER_EXE):
            raise AssertionError("no updater at %r (WELLHAVEN_UPDATER_EXE; run ./build.sh first)" % UPDATER_EXE)
        cls.work = os.path.join(WORK, "ship")
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        cls.release = os.path.join(cls.work, "release")
        done = run(sys.executable, os.path.join(TOOLS, "make_sample_release.py"), "--seed", "shipped once",
                   cls.release)
        assert done.returncode == 0, done.stderr

        build = os.path.join(cls.work, "build")
        for command in (["cmake", "--preset", "windows", "-S", SOURCE_DIR, "-B", build,
                         "-DWELLHAVEN_RELEASE_DIR=" + cls.release, "-DBUILD_TESTING=OFF"],
                        ["cmake", "--build", build, "-j2"]):
            done = run(*command, cwd=SOURCE_DIR)
            assert done.returncode == 0, done.stdout + done.stderr
        cls.exe = os.path.join(build, EXE_NAME)
        # The Wine proof runs on every installed/N there is: one ver1.00 keeps the test short. The build, which
        # needs editions 0 and 1, is done and not run again.
        for kind in ("installed", "finished"):
            for edition in os.listdir(os.path.join(cls.release, kind)):
                if edition != "0":
                    shutil.rmtree(os.path.join(cls.release, kind, edition))

        # A throwaway certificate, made here, signed by itself, still valid at the time the authority below stamps.
        cls.cert, cls.pfx, cls.password = throwaway_certificate(cls.work)
        # A timestamp authority of the test's own, whose clock is held 100 days ahead of this machine's: a stamp
        # at that time can only come from it (faketime; timestamp_authority.py).
        cls.stamp_time = time.gmtime(time.time() + 100 * 86400)
        cls.authority = timestamp_authority.start(os.path.join(cls.work, "authority"),
                                                  time.strftime("%Y-%m-%d 12:00:00", cls.stamp_time))
        cls.addClassCleanup(cls.authority.shutdown)

    def ship(self, release, exe, out, *options, env=None):
        environment = dict(os.environ, **(env or {}))
        for name in ("WELLHAVEN_SIGN_PFX", "WELLHAVEN_SIGN_PASSWORD_FILE", "WELLHAVEN_SIGN_TIMESTAMP",
                     "WELLHAVEN_SIGN_TIMESTAMP_CAFILE"):
            if not env or name not in env:
                environment.pop(name, None)
        return run(SHIP, release, exe, out, *options, env=environment)

    def assert_refused(self, done, out, reason):
        """One line on standard error naming the reason, exit status 1, nothing in OUT."""
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        lines = done.stderr.splitlines()
        self.assertEqual(len(lines), 1, done.stderr)
        self.assertTrue(lines[0].startswith("ship: refused: "), lines[0])
        self.assertIn(reason, lines[0])
        self.assertEqual(os.listdir(out) if os.path.isdir(out) else [], [])

    def test_refusals_are_one_line_naming_the_reason_and_ship_nothing(self):
        changed = os.path.join(self.work, "changed-release")
        shutil.rmtree(changed, ignore_errors=True)
        shutil.copytree(os.path.join(self.release, "payload"), os.path.join(changed, "payload"))
        p113 = os.path.join(changed, "payload", "113.bin")
        write(p113, read(os.path.join(changed, "payload", "103.bin")))
        not_an_exe = os.path.join(self.work, "not-an-exe")
        write(not_an_exe, b"MZ but nothing more")
        # The same executable with an x86-64 header, as the windows64 build (tests only) has.
        x64 = os.path.join(self.work, "x64.exe")
        image = bytearray(read(self.exe))
        machine_at = int.from_bytes(image[0x3C:0x40], "little") + 4
        image[machine_at:machine_at + 2] = (0x8664).to_bytes(2, "little")
        write(x64, bytes(image))
        wrong = os.path.join(self.work, "wrong-password")
        write(wrong, b"guessed\n")
        signing = ["--pfx", self.pfx, "--password-file", self.password]
        unheard = socket.socket()  # bound, never listening: a connection to it is refused
        unheard.bind(("127.0.0.1", 0))
        self.addCleanup(unheard.close)
        unreachable = "http://127.0.0.1:%d/" % unheard.getsockname()[1]

        cases = [
            ("sample build", SAMPLE, UPDATER_EXE, [], {}, "is a sample build, not for players"),
            ("sample build, given another release", self.release, UPDATER_EXE, [], {}, "is a sample build"),
            ("another release's payloads", SAMPLE, self.exe, [], {},
             "are not those of %s/payload: %s" % (SAMPLE, ", ".join(
                 "%d.bin differs" % pid for pid in sorted(catalogue.PAYLOADS)))),
            ("one payload changed since the build", changed, self.exe, [], {},
             "are not those of %s/payload: 113.bin differs" % changed),
            ("not an executable", self.release, not_an_exe, [], {}, "is not a Windows executable"),
            ("an x86-64 executable", self.release, x64, [], {}, "is not a 32-bit Windows executable (PE32)"),
            ("wrong certificate password", self.release, self.exe, ["--pfx", self.pfx, "--password-file", wrong],
             {}, "signing failed"),
            ("certificate without a password file", self.release, self.exe, [],
             {"WELLHAVEN_SIGN_PFX": self.pfx}, "needs its password file"),
            ("timestamp authority out of reach", self.release, self.exe, signing + ["--timestamp", unreachable], {},
             "no timestamp from the authority %s: it cannot be reached" % unreachable),
            ("stamp checked against another root", self.release, self.exe, signing + ["--timestamp",
             self.authority.url, "--timestamp-ca-file", self.cert], {}, "does not verify against " + self.cert),
        ]
        for name, release, exe, options, env, reason in cases:
            with self.subTest(name):
                out = os.path.join(self.work, "refused", name.replace(" ", "-"))
                self.assert_refused(self.ship(release, exe, out, *options, env=env), out, reason)

    def test_a_signed_release_build_is_verified_under_wine_and_shipped_with_its_sha256(self):
        self.assertEqual(special_build(pefile.PE(self.exe)), (False, None))
        out = os.path.join(self.work, "shipped")
        shutil.rmtree(out, ignore_errors=True)
        # Stamped by the authority, in a time zone far from UTC (osslsigncode 2.5 reads the stamp in local time).
        done = self.ship(self.release, self.exe, out,
                         env={"WELLHAVEN_SIGN_PFX": self.pfx, "WELLHAVEN_SIGN_PASSWORD_FILE": self.password,
                              "WELLHAVEN_SIGN_TIMESTAMP": self.authority.url, "TZ": "JST-9",
                              "WELLHAVEN_SIGN_TIMESTAMP_CAFILE": self.authority.ca_file})
        # The stamp verified against the authority's root, and the signature is checked as of the authority's time.
        self.assertIn("timestamped by %s: %s (verified against %s)" % (
            self.authority.url, time.strftime("%b %e 12:00:00 %Y GMT", self.stamp_time), self.authority.ca_file),
            done.stdout)
        why = pe32_unavailable()
        if why:
            # The command must not ship what it cannot prove. What signing does to an updater is still
            # proven here, on the 64-bit build of the same sources that this machine runs under Wine.
            self.assert_refused(done, out, "cannot run 32-bit x86 programs; run the command on a machine that runs")
            say("this machine cannot run 32-bit x86 programs (%s): the release command refused as it must; "
                "signing is proven on the PE32+ build instead" % why)
            self.prove_signing_on_the_64_bit_build()
            return
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("edition 0: ok", done.stdout)
        self.assertEqual(sorted(os.listdir(out)), [EXE_NAME, EXE_NAME + ".sha256"])
        signed_path = os.path.join(out, EXE_NAME)
        self.assertEqual(read(signed_path + ".sha256").decode(),
                         "%s  %s\n" % (hashlib.sha256(read(signed_path)).hexdigest(), EXE_NAME))
        self.assertEqual(run("sha256sum", "-c", EXE_NAME + ".sha256", cwd=out).returncode, 0)
        self.assert_only_the_certificate_table_was_added(signed_path, self.exe)

    def prove_signing_on_the_64_bit_build(self):
        """Signs the PE32+ sample build as the release command signs, checks the result as a shipped
        one is checked, and runs it under Wine on the sample release."""
        self.assertTrue(os.path.isfile(UPDATER_EXE64), "no 64-bit updater at %r (WELLHAVEN_UPDATER_EXE64)"
                        % UPDATER_EXE64)
        folder = os.path.join(self.work, "signed64")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        signed_path = os.path.join(folder, EXE_NAME)
        done = run("osslsigncode", "sign", "-pkcs12", self.pfx, "-readpass", self.password, "-h", "sha256",
                   "-in", UPDATER_EXE64, "-out", signed_path)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assert_only_the_certificate_table_was_added(signed_path, UPDATER_EXE64)
        # Signing changes no behaviour of the updater: one edition proves the signed file runs.
        done = run(os.path.join(TOOLS, "verify_under_wine.sh"), "--edition", "0", SAMPLE, signed_path)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("edition 0: ok", done.stdout)

    def assert_only_the_certificate_table_was_added(self, signed_path, unsigned_path):
        """The signature verifies, and after the table the file's own bytes are unchanged but for the two
        header fields that describe it (the security directory entry and the image checksum)."""
        verified = run("osslsigncode", "verify", "-in", signed_path, "-CAfile", self.cert)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Signature verification: ok", verified.stdout)
        signed, unsigned = read(signed_path), read(unsigned_path)
        pe = pefile.PE(data=signed)
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        self.assertEqual(table.VirtualAddress, len(unsigned), "the table starts where the unsigned file ended")
        self.assertEqual(table.VirtualAddress + table.Size, len(signed))
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
        allowed = set(range(table.get_file_offset(), table.get_file_offset() + 8))
        checksum_at = pe.OPTIONAL_HEADER.get_file_offset() + 64
        allowed |= set(range(checksum_at, checksum_at + 4))
        changed = [i for i in range(len(unsigned)) if signed[i] != unsigned[i]]
        self.assertTrue(set(changed) <= allowed, "changed offsets: %s" % changed[:20])
        self.assertEqual(resources(pefile.PE(signed_path)), resources(pefile.PE(unsigned_path)))

if __name__ == "__main__":
    unittest.main(verbosity=2)
