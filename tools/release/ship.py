#!/usr/bin/python3
"""Makes the updater a player may receive, from a built executable and its release folder.

    ship.sh RELEASE EXE [OUT] [--pfx FILE --password-file FILE] [--timestamp URL [--timestamp-ca-file FILE]]

In order, and stopping at the first refusal (one line naming the reason, exit status 1):
  1. refuses anything but a PE32, and an executable built from the sample release (its
     version block has the special-build flag or a SpecialBuild text);
  2. refuses an executable whose embedded payloads are not byte for byte RELEASE/payload/;
  3. signs it when a certificate is given (osslsigncode, SHA-256), has the signature stamped by
     the timestamp authority when one is named (RFC 3161), and verifies the signature and the
     stamp (osslsigncode verify); an authority that gives no stamp is refused by its URL;
  4. runs it under Wine on every RELEASE/installed/N (tools/release/verify_under_wine.sh)
     and refuses it unless each one ends exactly as RELEASE/finished/N; a machine that
     cannot run 32-bit x86 programs cannot prove it, and refuses;
  5. writes OUT/NAME.exe and OUT/NAME.exe.sha256 (sha256sum format), NAME being the
     updater's name in updater.env. OUT defaults to build/ship.

The certificate can also be given by the environment: WELLHAVEN_SIGN_PFX (a PKCS#12 file),
WELLHAVEN_SIGN_PASSWORD_FILE (its password on the first line) and WELLHAVEN_SIGN_TIMESTAMP
(the timestamp authority's URL). WELLHAVEN_SIGN_CAFILE names the certificates the signature is
verified against; by default the system's trusted certificates and those in the PKCS#12 file.
WELLHAVEN_SIGN_TIMESTAMP_CAFILE (--timestamp-ca-file) names those the stamp is verified against;
by default the same as the signature's.
Exit status: 0 when the executable was written, 1 on a refusal, 2 on misuse.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tools", "wine"))
import catalogue as cat  # noqa: E402
from wine_choice import EXE_NAME, PE32, pe32_unavailable, pe_kind  # noqa: E402

VS_FF_SPECIALBUILD = 0x20
SYSTEM_CA_FILE = "/etc/ssl/certs/ca-certificates.crt"


class Refusal(Exception):
    """One line saying why the executable is not shipped."""


def read(path):
    with open(path, "rb") as f:
        return f.read()


def load_pe(path):
    try:
        return pefile.PE(path)
    except (OSError, pefile.PEFormatError) as e:
        raise Refusal("%s is not a Windows executable that can be read (%s)" % (path, e))


def special_build_text(pe):
    """The SpecialBuild text of the version block, "" when it has the flag but no text, None when neither."""
    text, flagged = None, False
    for fixed in getattr(pe, "VS_FIXEDFILEINFO", []):
        flagged = flagged or bool(fixed.FileFlags & VS_FF_SPECIALBUILD)
    for info in (pe.FileInfo[0] if getattr(pe, "FileInfo", None) else []):
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                if b"SpecialBuild" in table.entries:
                    text = table.entries[b"SpecialBuild"].decode("utf-8", errors="replace")
    if text is None and flagged:
        text = ""
    return text


def resources(pe):
    """Every resource of a pefile.PE: {(type name or id, id, language): bytes}."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        type_key = str(rtype.name) if rtype.name is not None else rtype.id
        for entry in rtype.directory.entries:
            for lang in entry.directory.entries:
                found[(type_key, entry.id, lang.id)] = pe.get_data(lang.data.struct.OffsetToData,
                                                                   lang.data.struct.Size)
    return found


def embedded_payloads(pe):
    """{id: bytes} of the resources of type BINARY."""
    return {rid: data for (rtype, rid, _), data in resources(pe).items() if rtype == "BINARY"}


def refuse_sample_build(exe, pe):
    text = special_build_text(pe)
    if text is not None:
        raise Refusal("%s is a sample build, not for players (version block: SpecialBuild %r); "
                      "build it with WELLHAVEN_RELEASE_DIR set to the release folder" % (exe, text))


def refuse_other_payloads(exe, pe, release):
    """Every payload 103 to 113 must be byte for byte the release's file, and there must be no other."""
    embedded = embedded_payloads(pe)
    wrong = []
    for pid in sorted(cat.PAYLOADS):
        name = cat.payload_file_name(pid)
        path = os.path.join(release, "payload", name)
        if pid not in embedded:
            wrong.append("%s not embedded" % name)
        elif not os.path.isfile(path):
            wrong.append("%s missing in the release" % name)
        elif embedded[pid] != read(path):
            wrong.append("%s differs" % name)
    wrong += ["payload %d is not in the catalogue" % pid for pid in sorted(set(embedded) - set(cat.PAYLOADS))]
    if wrong:
        raise Refusal("the payloads in %s are not those of %s: %s"
                      % (exe, os.path.join(release, "payload"), ", ".join(wrong)))


def run_quietly(command, what, env=None):
    """Runs a tool; a failure is a refusal that quotes the tool's last line."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, env=env)
    except OSError as e:
        raise Refusal("%s: cannot run %s (%s)" % (what, command[0], e))
    if done.returncode != 0:
        lines = (done.stdout + done.stderr).strip().splitlines()
        raise Refusal("%s failed (%s exit status %d%s)"
                      % (what, os.path.basename(command[0]), done.returncode,
                         ": " + lines[-1].strip() if lines else ""))
    return done.stdout


def sign(unsigned, signed, pfx, password_file, timestamp, ca_file, timestamp_ca_file, work):
    """Signs with osslsigncode (SHA-256), has the signature stamped when an authority is named, then verifies
    both on the signed file. Returns the line that tells of the stamp, or None without an authority."""
    if not os.path.isfile(pfx):
        raise Refusal("no certificate file %s" % pfx)
    if not password_file or not os.path.isfile(password_file):
        raise Refusal("the certificate %s needs its password file (--password-file or WELLHAVEN_SIGN_PASSWORD_FILE)"
                      % pfx)
    # The stamp is asked for in a step of its own, so that a failure there is the authority's and named so.
    unstamped = os.path.join(work, "unstamped.exe") if timestamp else signed
    run_quietly(["osslsigncode", "sign", "-pkcs12", pfx, "-readpass", password_file, "-h", "sha256",
                 "-in", unsigned, "-out", unstamped], "signing")
    if timestamp and subprocess.run(["osslsigncode", "add", "-h", "sha256", "-ts", timestamp, "-in", unstamped,
                                     "-out", signed], capture_output=True).returncode != 0:
        raise Refusal("no timestamp from the authority %s: it cannot be reached, or did not answer with a stamp"
                      % timestamp)

    stamp_roots = timestamp_ca_file or ca_file or "the system's certificates and those of " + pfx
    if not ca_file:
        # The system's trusted roots and whatever chain the certificate file carries, so that a
        # certificate of a public authority and a self-made one are both checked to their root.
        ca_file = os.path.join(work, "trusted.pem")
        chain = run_quietly(["openssl", "pkcs12", "-in", pfx, "-passin", "file:" + password_file,
                             "-nokeys"], "reading the certificates of " + pfx)
        with open(ca_file, "w") as f:
            if os.path.isfile(SYSTEM_CA_FILE):
                f.write(open(SYSTEM_CA_FILE).read())
            f.write(chain)
    # osslsigncode 2.5 reads the stamp's time as local time; in UTC that is the time the authority wrote.
    verified = run_quietly(["osslsigncode", "verify", "-in", signed, "-CAfile", ca_file,
                            "-TSA-CAfile", timestamp_ca_file or ca_file],
                           "verifying the signature", dict(os.environ, TZ="UTC"))
    if not timestamp:
        return None
    # A stamp that fails leaves the verdict, and the exit status, to the signature alone: it must be read here.
    if "Timestamp Server Signature verification: ok" not in verified:
        raise Refusal("the stamp of the timestamp authority %s does not verify against %s"
                      % (timestamp, stamp_roots))
    # A verified stamp is the time the signature is checked at, and osslsigncode says which.
    at = re.search(r"^Signature verification time: (.+)$", verified, re.M)
    return "timestamped by %s: %s (verified against %s)" % (
        timestamp, at.group(1).strip() if at else "time not shown", stamp_roots)


def ship(release, exe, out, pfx, password_file, timestamp, ca_file, timestamp_ca_file):
    pe = load_pe(exe)
    if pe_kind(exe) != PE32:
        raise Refusal("%s is not a 32-bit Windows executable (PE32); only the windows build reaches players" % exe)
    refuse_sample_build(exe, pe)
    refuse_other_payloads(exe, pe, release)
    pe.close()
    if not os.path.isdir(os.path.join(release, "installed")):
        raise Refusal("%s has no installed/ folder to verify the updater on" % release)

    # Nothing reaches OUT before the executable has passed every check.
    work = tempfile.mkdtemp(prefix="wellhaven-ship-")
    try:
        candidate = os.path.join(work, EXE_NAME)
        if pfx:
            stamp = sign(exe, candidate, pfx, password_file, timestamp, ca_file, timestamp_ca_file, work)
            print("signed and verified with %s" % pfx)
            if stamp:
                print(stamp)
            # What was signed must still carry the release's payloads.
            refuse_other_payloads(candidate, load_pe(candidate), release)
        else:
            shutil.copyfile(exe, candidate)
            print("not signed: no certificate given (--pfx or WELLHAVEN_SIGN_PFX)")
        sys.stdout.flush()

        # The proof runs the very file that is shipped, a PE32, so it needs a machine that runs one.
        why = pe32_unavailable()
        if why:
            raise Refusal("the 32-bit updater cannot be proven under Wine on a machine that cannot run 32-bit "
                          "x86 programs; run the command on a machine that runs them (here: %s)" % why)
        status = subprocess.run([os.path.join(HERE, "verify_under_wine.sh"), release, candidate]).returncode
        if status != 0:
            raise Refusal("the updater did not pass the verification under Wine on %s/installed (exit status %d)"
                          % (release, status))

        os.makedirs(out, exist_ok=True)
        target = os.path.join(out, EXE_NAME)
        digest = hashlib.sha256(read(candidate)).hexdigest()
        shutil.move(candidate, target)
        with open(target + ".sha256", "w") as f:
            f.write("%s  %s\n" % (digest, EXE_NAME))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("shipped: %s (SHA-256 %s)" % (target, digest))


def main(argv):
    parser = argparse.ArgumentParser(prog="ship.sh", description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("release", help="the release folder the executable was built from")
    parser.add_argument("exe", help="the built executable")
    parser.add_argument("out", nargs="?", default=os.path.join(REPO, "build", "ship"),
                        help="where to write the executable to ship (default: build/ship)")
    parser.add_argument("--pfx", default=os.environ.get("WELLHAVEN_SIGN_PFX", ""))
    parser.add_argument("--password-file", default=os.environ.get("WELLHAVEN_SIGN_PASSWORD_FILE", ""))
    parser.add_argument("--timestamp", default=os.environ.get("WELLHAVEN_SIGN_TIMESTAMP", ""))
    parser.add_argument("--ca-file", default=os.environ.get("WELLHAVEN_SIGN_CAFILE", ""))
    parser.add_argument("--timestamp-ca-file", default=os.environ.get("WELLHAVEN_SIGN_TIMESTAMP_CAFILE", ""))
    args = parser.parse_args(argv)
    try:
        ship(os.path.abspath(args.release), os.path.abspath(args.exe), os.path.abspath(args.out),
             args.pfx, args.password_file, args.timestamp, args.ca_file, args.timestamp_ca_file)
    except Refusal as refusal:
        print("ship: refused: %s" % refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
