"""DOS attributes and folder states, the way Wine keeps them on a Linux folder.

Install folders are plain Linux folders reached through Wine's Z: drive.
Hidden is the user.DOSATTRIB extended attribute, read-only a file without
write permission.
"""

import collections
import os
import shutil
import stat
import subprocess


def windows_path(path):
    """The Z: drive path of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


HIDDEN = "hidden"
READONLY = "readonly"


def dos_attributes(path):
    """The set of DOS attributes Wine sees on a file: hidden, readonly."""
    result = set()
    try:
        raw = os.getxattr(path, "user.DOSATTRIB")
        value = int(raw.split(b"\0")[0].decode("ascii"), 0)
        if value & 0x2:
            result.add(HIDDEN)
        if value & 0x1:
            result.add(READONLY)
    except OSError:
        pass
    if not os.stat(path).st_mode & stat.S_IWUSR:
        result.add(READONLY)
    return frozenset(result)


def set_dos_attributes(path, attributes):
    attributes = set(attributes)
    if HIDDEN in attributes:
        os.setxattr(path, "user.DOSATTRIB", b"0x2")
    else:
        try:
            os.removexattr(path, "user.DOSATTRIB")
        except OSError:
            pass
    mode = os.stat(path).st_mode
    if READONLY in attributes:
        os.chmod(path, mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))
    else:
        os.chmod(path, mode | stat.S_IWUSR)


def release_attributes(name):
    """The attributes a file of a release folder stands for: every *.sig is hidden."""
    return frozenset({HIDDEN}) if name.lower().endswith(".sig") else frozenset()


FileState = collections.namedtuple("FileState", "content attributes")


def folder_state(folder, attributes_of=None):
    """{name: FileState} of the files in a folder: attributes as Wine sees them, or attributes_of(name)."""
    state = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                state[name] = FileState(f.read(), attributes_of(name) if attributes_of else dos_attributes(path))
    return state


def release_folder_state(folder):
    """{name: FileState} of installed/N or finished/N, with the attributes they stand for."""
    return folder_state(folder, release_attributes)


def make_install_folder(release_folder, target):
    """Copies installed/N (or finished/N) to target, giving each file its attributes."""
    os.makedirs(target)
    for name in sorted(os.listdir(release_folder)):
        source = os.path.join(release_folder, name)
        if os.path.isfile(source):
            path = os.path.join(target, name)
            shutil.copyfile(source, path)
            set_dos_attributes(path, release_attributes(name))


def describe_difference(expected, actual):
    """Lines naming every way two folder states differ; empty when they are equal."""
    lines = []
    for name in sorted(set(expected) | set(actual)):
        if name not in actual:
            lines.append("%s: missing" % name)
        elif name not in expected:
            lines.append("%s: should not be there (%d bytes)" % (name, len(actual[name].content)))
        else:
            e, a = expected[name], actual[name]
            if e.content != a.content:
                first = next((i for i, (x, y) in enumerate(zip(e.content, a.content)) if x != y),
                             min(len(e.content), len(a.content)))
                lines.append("%s: content differs (%d bytes, expected %d; first difference at offset %d)"
                             % (name, len(a.content), len(e.content), first))
            if e.attributes != a.attributes:
                lines.append("%s: attributes %s, expected %s"
                             % (name, sorted(a.attributes) or "none", sorted(e.attributes) or "none"))
    return lines


def clear_immutable(folder):
    """Takes the immutable flag off everything under folder (so it can be deleted); without chattr, nothing here
    set it."""
    if os.path.isdir(folder) and shutil.which("chattr"):
        subprocess.run(["chattr", "-R", "-i", folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def remove_tree(folder):
    clear_immutable(folder)
    shutil.rmtree(folder, ignore_errors=True)

