#!/usr/bin/python3
"""The release check refuses broken payload folders, one line per problem."""

import os
import re
import shutil
import struct
import unittest
import zlib

from support import SampleTestCase, catalogue, read, run_tool, write


def patched(offset, data):
    return lambda b: b[:offset] + data + b[offset + len(data):]


def index_position(position):
    return patched(11, struct.pack("<Q", position))


def sig_lines(edit):
    """Applies `edit` to the list of the signature's four lines (without their CR LF)."""
    def apply(b):
        lines = b.split(b"\r\n")[:4]
        return b"".join(line + b"\r\n" for line in edit(lines))
    return apply


def move_char(lines):
    lines[2], lines[3] = lines[2] + lines[3][:1], lines[3][1:]
    return lines


# (name, {payload id: new content from old content, or None to delete}, [(payload id, pattern of the problem)])
BROKEN = [
    ("missing file", {107: None}, [(107, r"missing")]),
    ("one byte short", {108: lambda b: b[:-1]}, [(108, r"size is 30927 bytes, expected 30928")]),
    ("one byte too many", {106: lambda b: b + b"\0"}, [(106, r"size is 325555 bytes, expected 325554")]),
    ("splice head: wrong index byte", {104: patched(12, b"\x00")},
     [(104, r"index position in the head .* is 131259, expected 136891")]),
    ("splice head: index off by one", {106: lambda b: patched(11, bytes([b[11] + 1]))(b)},
     [(106, r"index position in the head .* is 916386, expected 916385")]),
    ("splice head: no magic", {104: patched(3, b"\x0a")}, [(104, r"does not begin with the XP3 magic")]),
    ("archive: no magic", {110: patched(10, b"\x02")}, [(110, r"does not begin with the XP3 magic")]),
    ("archive: index at the end", {108: index_position(30928)}, [(108, r"index position 30928 lies outside")]),
    ("archive: index far away", {110: patched(18, b"\x01")}, [(110, r"index position \d+ lies outside")]),
    ("archive: index in the head", {108: index_position(0)}, [(108, r"index position 0 lies outside")]),
    ("library without MZ", {112: patched(0, b"ZM")}, [(112, r'does not begin with "MZ"')]),
    ("signature with LF line ends", {105: lambda b: b.replace(b"\r\n", b"\n")},
     [(105, r"size is 208 bytes, expected 212"), (105, r"lines 1, 2, 3, 4 end in LF without CR")]),
    ("signature: one LF line end", {113: lambda b: b[:-2] + b"=\n"},
     [(113, r"line 4 ends in LF without CR"), (113, r"line 4 has 45 characters"), (113, r"not Base64")]),
    ("signature: other header", {109: lambda b: b.replace(b"SHA256", b"SHA512")},
     [(109, r"line 1 is not the header")]),
    ("signature: lines of 65 and 43", {111: sig_lines(move_char)},
     [(111, r"line 3 has 65 characters, expected 64"), (111, r"line 4 has 43 characters, expected 44")]),
    ("signature: not Base64", {113: patched(40, b"*")}, [(113, r"lines 2 to 4 are not Base64")]),
    ("signature: 129 bytes", {107: lambda b: b[:-3] + b"A\r\n"}, [(107, r"decode to 129 bytes, expected 128")]),
    ("signature: 127 bytes", {105: lambda b: b[:-4] + b"==\r\n"}, [(105, r"decode to 127 bytes, expected 128")]),
    ("signature: fifth line", {103: lambda b: b + b"\r\n"},
     [(103, r"size is 214 bytes"), (103, r"has 5 lines, expected 4")]),
    ("signature: no final CR LF", {103: lambda b: b[:-2]},
     [(103, r"size is 210 bytes"), (103, r"last line is not ended by CR LF")]),
    ("two files wrong", {103: None, 112: patched(0, b"Z")}, [(103, r"missing"), (112, r'"MZ"')]),
    ("empty folder", {pid: None for pid in catalogue.PAYLOADS}, [(pid, r"missing") for pid in catalogue.PAYLOADS]),
]

# The build's check of a whole release: (name, {file of the release: new content from old, or None to delete},
# [(file named, pattern of the problem)])
BROKEN_RELEASES = [
    ("finished/1 data.xp3 one byte off", {"finished/1/data.xp3": lambda b: patched(5000, bytes([b[5000] ^ 1]))(b)},
     [("finished/1/data.xp3", r"not what .*/installed/1/data.xp3 and .*/104.bin make: first difference at offset "
       r"5000 \(0x1388\): rebuilt .., expected .., in the first kept run")]),
    ("installed/1 scr.xp3 and finished/0 data.xp3 missing", {"installed/1/scr.xp3": None, "finished/0/data.xp3": None},
     [("finished/0/data.xp3", r"missing \(the build rebuilds finished/0/data.xp3 from installed/0/data.xp3 and "
       r"payload 104\)"), ("installed/1/scr.xp3", r"missing")]),
]
CRC_FILES = dict([("CRC_PAYLOAD_%d" % pid, ("payload", "%d.bin" % pid)) for pid in catalogue.PAYLOADS] + [
    ("CRC_FINISHED_%s_%d" % (catalogue.c_name(name), e), ("finished", str(e), name))
    for name in ("data.xp3", "scr.xp3") for e in (0, 1)])


class PayloadCheckTest(SampleTestCase):
    def test_sample_payloads_pass_and_are_copied(self):
        header = os.path.join(self.scratch, "generated", "release_crcs.h")
        for args in (["payloads", self.sample("payload")], ["release", self.sample(), "--crc-header", header]):
            dest = os.path.join(self.scratch, args[0])
            status, out, err = run_tool(*args, "--copy-to", dest)
            self.assertEqual((status, err), (0, []))
            for pid in catalogue.PAYLOADS:
                self.assertEqual(read(os.path.join(dest, "%d.bin" % pid)), read(self.sample("payload", "%d.bin" % pid)))
        text = read(header).decode()
        self.assertIn(" * %s; do not edit." % self.sample(), text)
        self.assertEqual(dict(re.findall(r"#define (CRC_\w+) 0x([0-9A-F]{8})u\n", text)),
                         {macro: "%08X" % zlib.crc32(read(self.sample(*f))) for macro, f in CRC_FILES.items()})

    def test_broken_releases_are_refused_naming_the_file(self):
        for name, edits, expected in BROKEN_RELEASES:
            with self.subTest(name):
                release = os.path.join(self.scratch, name.replace("/", "-"))
                shutil.copytree(self.sample(), release)
                for path, edit in edits.items():
                    path = os.path.join(release, path)
                    os.remove(path) if edit is None else write(path, edit(read(path)))
                status, _, err = run_tool("release", release)
                self.assertEqual((status, len(err)), (1, len(expected) + 1), err)
                self.assertRegex(err[-1], r"^release check: %d problems? in " % len(expected))
                for line, (path, pattern) in zip(err, expected):
                    self.assertRegex(line, "^" + re.escape(os.path.join(release, path)) + ": " + pattern)

    def test_broken_folders_are_refused_with_one_line_per_problem(self):
        for name, edits, expected in BROKEN:
            with self.subTest(name):
                folder = self.copy_of("payload")
                for pid, edit in edits.items():
                    path = os.path.join(folder, "%d.bin" % pid)
                    if edit is None:
                        os.remove(path)
                    else:
                        write(path, edit(read(path)))
                dest = os.path.join(self.scratch, "embedded-" + name.replace(" ", "_"))
                status, _, err = run_tool("payloads", folder, "--copy-to", dest)
                self.assertEqual(status, 1)
                self.assertFalse(os.path.exists(dest), "a refused folder is not copied")
                problems, summary = err[:-1], err[-1]
                self.assertRegex(summary, r"^release check: %d problems? in " % len(expected))
                self.assertEqual(len(problems), len(expected), err)
                for line, (pid, pattern) in zip(problems, expected):
                    path = os.path.join(folder, "%d.bin" % pid)
                    target = catalogue.PAYLOADS[pid][2]
                    self.assertRegex(line, "^" + re.escape("%s (%s): " % (path, target)) + ".*" + pattern)


if __name__ == "__main__":
    unittest.main()
