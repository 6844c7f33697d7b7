#!/usr/bin/python3
"""Writes the sample release: a release folder of made-up game data that has
the shape of the real one, so that the updater can be built and tested without
outside files.

    make_sample_release.py [--seed TEXT] [--catalogue FILE] OUTDIR

With --seed, the release has the same shape and other bytes: a release that
was never in the repository, for proving the build setting and the release
tools on data they were not written against. With --catalogue, it has the
sizes and recipes of that release catalogue instead of release_catalogue.py's.

OUTDIR gets the layout described in catalogue.py: payload/103.bin to 113.bin,
installed/0 to 7 and finished/0 to 7. The output depends on nothing but this
script and the catalogue: every byte comes from SHA-256 in counter mode over
a label naming the piece.

How the pieces fit:
- Every XP3 archive is the magic, its index position as a 64-bit
  little-endian number, a body and, from the index position to the end, a raw
  index (a zero flag byte, the 64-bit length of what follows, the entries).
- The finished data.xp3 and scr.xp3 are made first, one of each per line: the
  plain line (ver1.00 to ver1.03) and the a-line (ver1.00a to ver1.03a). Both
  lines' finished archives have the same head, new run and index, and each
  line has kept runs of its own, so the finished archives of the two lines
  differ and each can only be rebuilt from its own line's old archive. The
  splice payloads are cut out of them: the 16-byte head (magic and the five low
  bytes of the index position), the new run, and the index as tail, the same
  for both lines. The old archive of ver1.00 (ver1.00a) shares the kept runs
  with its line's finished one (including the three high bytes of the index
  position at offsets 16 to 18), carries a run of its own where the finished
  one carries the new run, has an index position of its own and ends in an
  index of its own that the splice drops.
- The libraries begin with "MZ"; signature texts have the exact 212-byte
  four-line CR LF layout.
- ver1.00 and ver1.00a carry the signatures of their archives but none for
  Wellhaven.exe or auxtrans.dll; ver1.01 added those two, and its signatures of
  data.xp3, scr.xp3 and Wellhaven.exe are the ones the updater still ships.
- finished/N is installed/N with the files the update writes for that edition
  put in place, and equals installed/6 (plain line) or installed/7 (a-line).
"""

import argparse
import base64
import hashlib
import os
import shutil
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue as cat  # noqa: E402

MARKER = ".sample-release"


# Set by --seed: another release of the same shape, with other bytes.
SEED = ""


def stream(label, length):
    """`length` bytes of SHA-256 in counter mode over `label` (and the seed, when one is given)."""
    seed = (SEED + label).encode("ascii") + b"\0"
    out = bytearray()
    counter = 0
    while len(out) < length:
        out += hashlib.sha256(seed + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:length])


def xp3_index(label, length):
    assert length > 9
    return b"\x00" + struct.pack("<Q", length - 9) + stream(label, length - 9)


def xp3_archive(label, size):
    """A whole archive of `size` bytes whose index takes about a fiftieth of it."""
    index_length = 9 + size // 50
    position = size - index_length
    archive = (cat.XP3_MAGIC + struct.pack("<Q", position)
               + stream(label + " body", position - len(cat.XP3_MAGIC) - 8)
               + xp3_index(label + " index", index_length))
    assert len(archive) == size
    return archive


def library(label, size):
    """A library image: a DOS header pointing at the PE signature, then filler."""
    pe_offset = 0x80
    head = bytearray(stream(label, pe_offset + 4))
    head[0:2] = b"MZ"
    head[0x3C:0x40] = struct.pack("<I", pe_offset)
    head[pe_offset:pe_offset + 4] = b"PE\0\0"
    image = bytes(head) + stream(label + " sections", size - len(head))
    assert len(image) == size
    return image


def signature(label):
    encoded = base64.b64encode(stream(label, cat.SIGNATURE_BYTES))
    lines = [cat.SIGNATURE_HEADER]
    start = 0
    for length in cat.SIGNATURE_LINE_LENGTHS:
        lines.append(encoded[start:start + length])
        start += length
    assert start == len(encoded)
    text = b"".join(line + b"\r\n" for line in lines)
    assert len(text) == cat.SIGNATURE_SIZE
    return text


def splice_archives(name, old_size):
    """One recipe's ([finished archive], payload, [old archive]), the lists indexed by line (0 plain, 1 a-line)."""
    r = cat.RECIPES[name]
    head = cat.SPLICE_HEAD_SIZE
    position = cat.index_position(r)
    old_position = cat.consumed_size(r)
    assert old_position >> 40 == position >> 40, "the kept run carries the high bytes of both"
    first_end = head + r["keepFirst"]           # end of the first kept run
    second_start = first_end + r["insertFirst"]  # start of the second kept run
    second_end = second_start + r["keepSecond"]  # start of the index
    new_run = stream(name + " ver1.03 run", r["insertFirst"])
    new_index = xp3_index(name + " ver1.03 index", r["insertTail"])

    finished, payloads, old = [], [], []
    for line in ("", "a"):
        kept = name + (" ver1.00a" if line else "")
        new = (cat.XP3_MAGIC + struct.pack("<Q", position)
               + stream(kept + " kept run 1", r["keepFirst"] - 3)
               + new_run
               + stream(kept + " kept run 2", r["keepSecond"])
               + new_index)
        assert len(new) == r["finishedSize"]
        payloads.append(new[:head] + new[first_end:second_start] + new[second_end:])
        previous = (cat.XP3_MAGIC + struct.pack("<Q", old_position)[:5]
                    + new[head:first_end]
                    + stream("%s ver1.00%s run" % (name, line), r["skipOld"])
                    + new[second_start:second_end]
                    + xp3_index("%s ver1.00%s index" % (name, line), old_size - old_position))
        assert len(previous) == old_size
        assert struct.unpack("<Q", previous[11:19])[0] == old_position
        finished.append(new)
        old.append(previous)
    assert payloads[0] == payloads[1], "one payload serves both lines"
    assert finished[0] != finished[1]
    return finished, payloads[0], old


def build():
    """Returns (payloads by id, installed folders, finished folders); folders are dicts name -> bytes."""
    old_data_size = cat.EDITIONS[0][1]
    data_new, data_payload, data_old = splice_archives("data.xp3", old_data_size)
    scr_new, scr_payload, scr_old = splice_archives("scr.xp3", cat.SAMPLE_OLD_SCR_XP3_SIZE)

    # ext.xp3 by the edition that brought it: ver1.01 and ver1.01a kept the
    # ones of ver1.00 and ver1.00a; ver1.02a's has the size of ver1.03a's but
    # other content.
    ext_sizes = {name: ext_size for name, _, ext_size, _ in cat.EDITIONS}
    ext = {name: xp3_archive("ext.xp3 " + name, ext_sizes[name])
           for name in ("ver1.00", "ver1.00a", "ver1.02", "ver1.02a", "ver1.03", "ver1.03a")}
    ext_sig = {name: signature("ext.xp3.sig " + name) for name in ext}
    for kept, brought in (("ver1.01", "ver1.00"), ("ver1.01a", "ver1.00a")):
        ext[kept], ext_sig[kept] = ext[brought], ext_sig[brought]

    payloads = {
        103: signature("Wellhaven.exe.sig ver1.01"),
        104: data_payload,
        105: signature("data.xp3.sig ver1.01"),
        106: scr_payload,
        107: signature("scr.xp3.sig ver1.01"),
        108: ext["ver1.03"],
        109: ext_sig["ver1.03"],
        110: ext["ver1.03a"],
        111: ext_sig["ver1.03a"],
        112: library("auxtrans.dll ver1.03", cat.EDITIONS[6][3]),
        113: signature("auxtrans.dll.sig ver1.03"),
    }
    for pid, (size, *_) in cat.PAYLOADS.items():
        assert len(payloads[pid]) == size, pid

    game_exe = library("Wellhaven.exe", cat.SAMPLE_WELLHAVEN_EXE_SIZE)
    old_library = library("auxtrans.dll ver1.00", cat.EDITIONS[0][3])
    installed = []
    for edition, (name, data_size, ext_size, dll_size) in enumerate(cat.EDITIONS):
        a_line = edition % 2
        folder = {"Wellhaven.exe": game_exe}
        if edition < 2:
            folder.update({"data.xp3": data_old[a_line], "data.xp3.sig": signature("data.xp3.sig " + name),
                           "scr.xp3": scr_old[a_line], "scr.xp3.sig": signature("scr.xp3.sig " + name)})
        else:
            folder.update({"data.xp3": data_new[a_line], "data.xp3.sig": payloads[105],
                           "scr.xp3": scr_new[a_line], "scr.xp3.sig": payloads[107],
                           "Wellhaven.exe.sig": payloads[103]})
        if edition < 6:
            folder.update({"ext.xp3": ext[name], "ext.xp3.sig": ext_sig[name],
                           "auxtrans.dll": old_library})
            if edition >= 2:
                folder["auxtrans.dll.sig"] = signature("auxtrans.dll.sig ver1.01")
        else:
            folder.update({"ext.xp3": payloads[110 if a_line else 108],
                           "ext.xp3.sig": payloads[111 if a_line else 109],
                           "auxtrans.dll": payloads[112], "auxtrans.dll.sig": payloads[113]})
        assert (len(folder["data.xp3"]), len(folder["ext.xp3"]), len(folder["auxtrans.dll"])) == \
            (data_size, ext_size, dll_size), name
        installed.append(folder)

    finished = []
    for edition, folder in enumerate(installed):
        done = dict(folder)
        if edition < 6:
            written = ([104, 105, 106, 107, 103] if edition < 2 else []) \
                + ([110, 111] if edition % 2 else [108, 109]) + [112, 113]
            for pid in written:
                target = cat.PAYLOADS[pid][2]
                done[target] = {104: data_new[edition % 2], 106: scr_new[edition % 2]}.get(pid, payloads[pid])
        assert done == installed[6 + edition % 2], edition
        finished.append(done)
    return payloads, installed, finished


def write_tree(root, files):
    os.makedirs(root, exist_ok=True)
    for name, content in sorted(files.items()):
        with open(os.path.join(root, name), "wb") as f:
            f.write(content)


def main(argv):
    global SEED
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 2)[2],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", metavar="TEXT", help="another release of the same shape, with other bytes")
    parser.add_argument("--catalogue", metavar="FILE", help="the release catalogue (default: release_catalogue.py)")
    parser.add_argument("outdir", help="the release folder to write")
    args = parser.parse_args(argv[1:])
    if args.seed is not None and not args.seed:
        parser.error("--seed needs a text")
    SEED = args.seed + "/" if args.seed else ""
    if args.catalogue:
        cat.use(args.catalogue)
    out = args.outdir
    holds_files = any(files for _, _, files in os.walk(out))  # empty folders a build tool made are fine
    if holds_files and not os.path.exists(os.path.join(out, MARKER)):
        sys.stderr.write("%s: not empty and not a sample release; refusing to write there\n" % out)
        return 1
    payloads, installed, finished = build()
    for sub in ("payload", "installed", "finished"):
        shutil.rmtree(os.path.join(out, sub), ignore_errors=True)
    write_tree(os.path.join(out, "payload"),
               {cat.payload_file_name(pid): data for pid, data in payloads.items()})
    for edition in range(len(cat.EDITIONS)):
        write_tree(os.path.join(out, "installed", str(edition)), installed[edition])
        write_tree(os.path.join(out, "finished", str(edition)), finished[edition])
    with open(os.path.join(out, MARKER), "w") as f:
        f.write("Written by tools/release/make_sample_release.py; every *.sig stands for a hidden file.\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
