#!/usr/bin/python3
"""Rebuilds the updater from a commit and a release folder and compares the result with a shipped executable.

    compare.sh SHIPPED_EXE RELEASE [COMMIT]

COMMIT (default: HEAD of this checkout; what is committed, never the working tree) is exported with
git archive into a scratch folder and built there as ./build.sh builds it: the windows preset,
WELLHAVEN_RELEASE_DIR=RELEASE, BUILD_TESTING=OFF. A signature on SHIPPED_EXE is taken off first
(osslsigncode remove-signature), which gives back the bytes that were signed. Then either the two are
byte for byte the same, or each part that differs is named, in file order: the headers (by field), a
section by name (in .rsrc, each differing resource: payload N, the version block, the icon), and
anything after the last section.

Exit status: 0 the same, 1 they differ, 2 on misuse (bad arguments, no such commit, a failed build).
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
sys.path.insert(0, HERE)
import catalogue as cat  # noqa: E402
from ship import EXE_NAME, REPO, Refusal, read, resources, run_quietly  # noqa: E402

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16


class Misuse(Exception):
    """One line saying why nothing could be compared."""


def resolve(commit, repo=REPO):
    """The full hash of COMMIT in the checkout repo."""
    done = subprocess.run(["git", "-C", repo, "rev-parse", "--verify", "--quiet", commit + "^{commit}"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise Misuse("there is no commit %r in %s" % (commit, repo))
    return done.stdout.strip()


def build(commit, release, work, repo=REPO):
    """Exports COMMIT of the checkout repo into work/source and builds it from RELEASE; returns the
    executable's path."""
    source = os.path.join(work, "source")
    os.makedirs(source)
    archive = os.path.join(work, "source.tar")
    steps = [(["git", "-C", repo, "archive", "--format=tar", "-o", archive, commit], repo, "exporting"),
             (["tar", "-xf", archive, "-C", source], source, "unpacking the export"),
             (["cmake", "--preset", "windows", "-DWELLHAVEN_RELEASE_DIR=" + release, "-DBUILD_TESTING=OFF"],
              source, "configuring"),
             (["cmake", "--build", "--preset", "windows", "-j", str(os.cpu_count() or 1)], source, "building")]
    log = os.path.join(work, "build.log")
    with open(log, "w") as out:
        for command, folder, what in steps:
            out.write("$ %s\n" % " ".join(command))
            out.flush()
            status = subprocess.run(command, cwd=folder, stdout=out, stderr=subprocess.STDOUT).returncode
            if status != 0:
                handle, kept = tempfile.mkstemp(prefix="wellhaven-compare-", suffix=".log")
                os.close(handle)
                shutil.copyfile(log, kept)
                raise Misuse("%s %s failed (exit status %d): %s (the whole output: %s)"
                             % (what, commit[:12], status, first_error(log), kept))
    return os.path.join(source, "build", "windows", EXE_NAME)


def first_error(log):
    """The line of a build log that says what went wrong: its first error or refusal, else its last line."""
    with open(log, errors="replace") as f:
        lines = [line.strip() for line in f if line.strip()]
    errors = [line for line in lines if re.search(r"error|refused|fatal", line, re.IGNORECASE)]
    return (errors or lines or ["no output"])[0 if errors else -1]


def unsigned(shipped, work):
    """The shipped file's bytes as they were before signing, and a note on what was taken off."""
    try:
        table = pefile.PE(shipped, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    except pefile.PEFormatError:
        return read(shipped), ""
    if not table.VirtualAddress:
        return read(shipped), " (not signed)"
    target = os.path.join(work, "unsigned.exe")
    try:
        run_quietly(["osslsigncode", "remove-signature", "-in", shipped, "-out", target],
                    "removing the signature")
    except Refusal as why:
        return read(shipped), " (signed, but %s; compared as it is)" % why
    return read(target), " (its signature of %d bytes taken off)" % table.Size


def regions(pe, size):
    """{part: (start, end)} of a file in file order: the headers, each section's raw data, what follows."""
    end = pe.OPTIONAL_HEADER.SizeOfHeaders
    found = {"the headers": (0, end)}
    for section in pe.sections:
        start = section.PointerToRawData
        found["section " + section_name(section)] = (start, start + section.SizeOfRawData)
        end = max(end, start + section.SizeOfRawData)
    found["data after the last section"] = (end, max(end, size))
    return found


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def header_fields(pe):
    """{field: value} of every header: DOS, NT, file and optional header, data directories, section table."""
    fields = {}
    named = [(s.name, s) for s in [pe.DOS_HEADER, pe.NT_HEADERS, pe.FILE_HEADER, pe.OPTIONAL_HEADER]
             + list(pe.OPTIONAL_HEADER.DATA_DIRECTORY)]
    named += [("section header " + section_name(s), s) for s in pe.sections]
    for name, structure in named:
        for keys in structure.__keys__:  # the last of a field's names is the most telling (Misc_VirtualSize)
            fields["%s.%s" % (name, keys[-1])] = getattr(structure, keys[-1], None)
    return fields


def resource_name(key):
    rtype, rid, _ = key
    if rtype == "BINARY" and rid in cat.PAYLOADS:
        return "payload %d (%s)" % (rid, cat.PAYLOADS[rid][2])
    if rtype == RT_VERSION:
        return "the version block"
    if rtype in (RT_ICON, RT_GROUP_ICON):
        return "the icon"
    return "resource %s/%s" % (rtype, rid)


def resource_differences(shipped_pe, built_pe):
    """Names of the resources that differ, each once, in the build's order."""
    shipped, built = resources(shipped_pe), resources(built_pe)
    names = []
    for key in list(built) + [k for k in shipped if k not in built]:
        if key not in shipped:
            name = resource_name(key) + " missing"
        elif key not in built:
            name = resource_name(key) + " not in the build"
        elif shipped[key] != built[key]:
            name = resource_name(key)
        else:
            continue
        if name not in names:
            names.append(name)
    return names


def byte_differences(a, b, start):
    if len(a) != len(b):
        return "%d bytes, %d in the build" % (len(a), len(b))
    at = [i for i in range(len(a)) if a[i] != b[i]]
    return "%d of %d bytes differ, the first at file offset 0x%x" % (len(at), len(a), start + at[0])


def differences(shipped, built):
    """What differs between the shipped file's bytes and the build's, one line a part; [] when nothing does."""
    if shipped == built:
        return []
    try:
        shipped_pe = pefile.PE(data=shipped)
    except pefile.PEFormatError as e:
        return ["not a Windows executable: %s" % e.value]
    built_pe = pefile.PE(data=built)
    lines = [] if len(shipped) == len(built) else ["size: %d bytes, %d in the build" % (len(shipped), len(built))]
    theirs, ours = regions(shipped_pe, len(shipped)), regions(built_pe, len(built))
    for part in list(ours) + [p for p in theirs if p not in ours]:
        if part not in theirs or part not in ours:
            lines.append("%s: %s" % (part, "missing" if part not in theirs else "not in the build"))
            continue
        (start, end), (bstart, bend) = theirs[part], ours[part]
        if shipped[start:end] == built[bstart:bend]:
            continue
        if part == "the headers":
            fields, built_fields = header_fields(shipped_pe), header_fields(built_pe)
            changed = [f for f in built_fields if fields.get(f) != built_fields[f]]
            changed += [f for f in fields if f not in built_fields]
            detail = ", ".join(changed) or byte_differences(shipped[start:end], built[bstart:bend], start)
        elif part == "section .rsrc":
            detail = ", ".join(resource_differences(shipped_pe, built_pe)) or (
                "the same resources, laid out otherwise (%s)"
                % byte_differences(shipped[start:end], built[bstart:bend], start))
        else:
            detail = byte_differences(shipped[start:end], built[bstart:bend], start)
        lines.append("%s: %s" % (part, detail))
    return lines


def compare(shipped, release, commit):
    """Prints the verdict; returns the exit status."""
    if not os.path.isfile(shipped):
        raise Misuse("no file %s" % shipped)
    if not os.path.isdir(os.path.join(release, "payload")):
        raise Misuse("%s is no release folder: it has no payload/ folder" % release)
    full = resolve(commit)
    work = tempfile.mkdtemp(prefix="wellhaven-compare-")
    try:
        print("compare: building %s (%s) from %s" % (commit, full[:12], release), flush=True)
        built = read(build(full, release, work))
        data, note = unsigned(shipped, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    build_of = "the build of %s from %s" % (full, release)
    lines = differences(data, built)
    if not lines:
        print("compare: same: %s%s is byte for byte %s (SHA-256 %s)"
              % (shipped, note, build_of, hashlib.sha256(built).hexdigest()))
        return 0
    print("compare: different: %s%s is not %s; what differs:" % (shipped, note, build_of))
    print("\n".join("  " + line for line in lines))
    return 1


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Misuse("%s (usage: compare.sh SHIPPED_EXE RELEASE [COMMIT])" % message)


def main(argv):
    parser = Parser(prog="compare.sh", description=__doc__.split("\n\n")[0],
                    epilog=__doc__.split("\n\n", 1)[1], formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("shipped", help="the executable a player received (signed or not)")
    parser.add_argument("release", help="the release folder it was built from")
    parser.add_argument("commit", nargs="?", default="HEAD", help="the commit it was built from (default: HEAD)")
    try:
        args = parser.parse_args(argv)
        return compare(os.path.abspath(args.shipped), os.path.abspath(args.release), args.commit)
    except Misuse as why:
        print("compare: %s" % why, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
