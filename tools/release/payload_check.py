"""The release check of each payload's content: its size by the catalogue, and the shape of its kind (an XP3
archive's head and index position, a library's "MZ", a signature text's exact layout)."""

import base64
import binascii
import os
import struct

import catalogue as cat

def check_xp3_head(data):
    """Problems with an archive's magic."""
    if not data.startswith(cat.XP3_MAGIC):
        return ["does not begin with the XP3 magic (58 50 33 0D 0A 20 0A 1A 8B 67 01)"]
    return []


def check_splice(data, recipe_name):
    problems = check_xp3_head(data)
    if problems:
        return problems
    if len(data) < cat.SPLICE_HEAD_SIZE:
        return []  # the size line already says it
    recipe = cat.RECIPES[recipe_name]
    expected = cat.index_position(recipe)
    found = int.from_bytes(data[len(cat.XP3_MAGIC):cat.SPLICE_HEAD_SIZE], "little")
    if found != expected & 0xFFFFFFFFFF:
        return ["index position in the head (five low bytes at offsets 11 to 15) is %d, expected %d "
                "(16 + keepFirst + insertFirst + keepSecond of the %s recipe)" % (found, expected, recipe_name)]
    return []


def check_archive(data):
    problems = check_xp3_head(data)
    if problems:
        return problems
    head_end = len(cat.XP3_MAGIC) + 8
    if len(data) < head_end:
        return ["too short to hold an index position"]
    position = struct.unpack("<Q", data[len(cat.XP3_MAGIC):head_end])[0]
    if not head_end <= position < len(data):
        return ["index position %d lies outside the file (%d bytes, the index must start between %d and %d)"
                % (position, len(data), head_end, len(data) - 1)]
    return []


def check_library(data):
    if not data.startswith(b"MZ"):
        return ['does not begin with "MZ"']
    return []


def check_signature(data):
    """The exact four-line layout: header, then Base64 lines of 64, 64 and 44 characters, each ended by CR LF."""
    if not data.endswith(b"\n"):
        return ["the last line is not ended by CR LF"]
    lines = data[:-1].split(b"\n")
    expected_lines = 1 + len(cat.SIGNATURE_LINE_LENGTHS)
    if len(lines) != expected_lines:
        return ["has %d lines, expected %d (a header and %d Base64 lines, each ended by CR LF)"
                % (len(lines), expected_lines, expected_lines - 1)]
    problems = []
    bare_lf = [str(n + 1) for n, line in enumerate(lines) if not line.endswith(b"\r")]
    if bare_lf:
        problems.append("line%s %s end%s in LF without CR" % ("s" if len(bare_lf) > 1 else "",
                                                                 ", ".join(bare_lf), "" if len(bare_lf) > 1 else "s"))
    lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    if lines[0] != cat.SIGNATURE_HEADER:
        problems.append("line 1 is not the header %r" % cat.SIGNATURE_HEADER.decode())
    body = lines[1:]
    for n, (line, length) in enumerate(zip(body, cat.SIGNATURE_LINE_LENGTHS), start=2):
        if len(line) != length:
            problems.append("line %d has %d characters, expected %d" % (n, len(line), length))
    encoded = b"".join(body)
    try:
        decoded = base64.b64decode(encoded, validate=True)
    except (binascii.Error, ValueError):
        problems.append("lines 2 to 4 are not Base64")
    else:
        if len(decoded) != cat.SIGNATURE_BYTES:
            problems.append("lines 2 to 4 decode to %d bytes, expected %d" % (len(decoded), cat.SIGNATURE_BYTES))
    return problems


def check_payload(payload_id, data):
    """Every problem of one payload's content and size, as texts without the file name."""
    size, kind, target, _ = cat.PAYLOADS[payload_id]
    problems = []
    if len(data) != size:
        problems.append("size is %d bytes, expected %d" % (len(data), size))
    if kind == "splice":
        problems += check_splice(data, target)
    elif kind == "archive":
        problems += check_archive(data)
    elif kind == "library":
        problems += check_library(data)
    elif kind == "signature":
        problems += check_signature(data)
    return problems


def check_payload_folder(folder):
    """One line per problem, each naming the file."""
    lines = []
    for payload_id in sorted(cat.PAYLOADS):
        path = os.path.join(folder, cat.payload_file_name(payload_id))
        what = "%s (%s)" % (path, cat.PAYLOADS[payload_id][2])
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            lines.append("%s: missing" % what)
            continue
        except OSError as e:
            lines.append("%s: cannot be read: %s" % (what, e.strerror))
            continue
        lines += ["%s: %s" % (what, p) for p in check_payload(payload_id, data)]
    return lines
