"""Shared by the release tests: where things are, and running the release tool."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("WELLHAVEN_SOURCE_DIR",
                            os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOLS = os.path.join(SOURCE_DIR, "tools", "release")
SAMPLE = os.environ.get("WELLHAVEN_SAMPLE_RELEASE", "")
UPDATER_EXE = os.environ.get("WELLHAVEN_UPDATER_EXE", "")
UPDATER_EXE64 = os.environ.get("WELLHAVEN_UPDATER_EXE64", "")
WORK = os.environ.get("WELLHAVEN_TEST_WORK", tempfile.gettempdir())

sys.path.insert(0, TOOLS)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "wine"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests"))  # the readers of what the player reads (player_texts)
import catalogue  # noqa: E402
from wine_choice import EXE_NAME, pe32_unavailable, say  # noqa: E402
from ship import resources  # noqa: E402  (the release command's own walk of the resources)

# What the release tests take from here: the catalogue, the updater's name and the Wine path choice of tools/ included.
__all__ = ["SOURCE_DIR", "TOOLS", "SAMPLE", "UPDATER_EXE", "UPDATER_EXE64", "WORK", "catalogue", "pe32_unavailable",
           "EXE_NAME", "say", "run_tool", "read", "write", "SampleTestCase", "VS_FF_SPECIALBUILD", "version_block",
           "special_build", "resources", "throwaway_certificate"]


def run_tool(*args):
    """Runs check_release.py; returns (exit status, stdout, stderr lines)."""
    done = subprocess.run([sys.executable, os.path.join(TOOLS, "check_release.py")] + [str(a) for a in args],
                          capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr.splitlines()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class SampleTestCase(unittest.TestCase):
    """A test with the sample release and a scratch folder of its own."""

    def setUp(self):
        if not os.path.isfile(os.path.join(SAMPLE, "payload", "103.bin")):
            self.fail("no sample release at %r (WELLHAVEN_SAMPLE_RELEASE; build the target sample_release)" % SAMPLE)
        self.scratch = tempfile.mkdtemp(prefix="release-test-", dir=WORK)
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def sample(self, *parts):
        return os.path.join(SAMPLE, *parts)

    def copy_of(self, *parts):
        """A scratch copy of a file or folder of the sample release."""
        source = self.sample(*parts)
        target = os.path.join(tempfile.mkdtemp(dir=self.scratch), parts[-1])
        if os.path.isdir(source):
            shutil.copytree(source, target)
        else:
            shutil.copyfile(source, target)
        return target


VS_FF_SPECIALBUILD = 0x20


def version_block(pe):
    """The version block of a pefile.PE: (fixed file info, {table id: {key: text}}, [translations])."""
    strings, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings[table.LangID] = {k.decode(): v.decode("utf-8") for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            translations += [var.entry for var in info.Var]
    return pe.VS_FIXEDFILEINFO[0], strings, translations


def special_build(pe):
    """(flag set, SpecialBuild text or None) of a pefile.PE."""
    fixed, strings, _ = version_block(pe)
    texts = [table["SpecialBuild"] for table in strings.values() if "SpecialBuild" in table]
    return bool(fixed.FileFlags & VS_FF_SPECIALBUILD), (texts[0] if texts else None)


def throwaway_certificate(folder):
    """A certificate signed by itself, made in folder: (certificate PEM, PKCS#12 file, its password file)."""
    cert, key, pfx, password = (os.path.join(folder, n) for n in ("cert.pem", "key.pem", "cert.pfx", "password"))
    write(password, b"not a secret\n")
    for command in (["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "365",
                     "-subj", "/CN=Wellhaven test signer", "-keyout", key, "-out", cert],
                    ["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                     "-passout", "file:" + password]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    return cert, pfx, password
