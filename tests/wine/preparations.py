"""How a scenario prepares a run (install folder, the folder the updater runs from, a file another process holds,
registration, temporary folder): small value objects that act on a row's context (run_row.Context)."""

import os
import shutil
import subprocess

from box_robot import ROBOT_NAME, robot_for
from dos_files import set_dos_attributes, windows_path
from wine_choice import EXE_NAME, PE32, PE32PLUS, pe_kind
from wine_registry import RegistryValue


# ---- the install folder ----

class Action:
    needs_root = False

    def __repr__(self):
        return self.label


class Remove(Action):
    def __init__(self, name):
        self.name, self.label = name, "remove " + name

    def __call__(self, ctx):
        os.unlink(ctx.path(self.name))


class Truncate(Action):
    def __init__(self, name, size):
        self.name, self.size, self.label = name, size, "cut %s to %d bytes" % (name, size)

    def __call__(self, ctx):
        os.truncate(ctx.path(self.name), self.size)


class FromFinished(Action):
    def __init__(self, name):
        self.name, self.label = name, "%s as in the finished folder" % name

    def __call__(self, ctx):
        with open(os.path.join(ctx.release_dir("finished"), self.name), "rb") as src:
            data = src.read()
        with open(ctx.path(self.name), "wb") as dst:
            dst.write(data)


class Mark(Action):
    def __init__(self, name, *attributes):
        self.name, self.attributes = name, attributes
        self.label = "mark %s %s" % (name, "+".join(attributes))

    def __call__(self, ctx):
        set_dos_attributes(ctx.path(self.name), self.attributes)


class Immutable(Action):
    """chattr +i: the file system itself refuses every change, even root's."""
    needs_root = True

    def __init__(self, name):
        self.name, self.label = name, "make %s immutable" % name

    def __call__(self, ctx):
        subprocess.run(["chattr", "+i", ctx.path(self.name)], check=True)


class FolderInTheWay(Action):
    """A folder where a file or its side file should be: every copy or rename onto it is refused, root's too."""

    def __init__(self, name, on=True):
        self.name, self.on = name, on
        self.label = ("a folder named %s instead of the file" if on else "remove the folder %s") % name

    def __call__(self, ctx):
        if self.on:
            if os.path.lexists(ctx.path(self.name)):
                os.unlink(ctx.path(self.name))
            os.mkdir(ctx.path(self.name))
        else:
            os.rmdir(ctx.path(self.name))


class SideFileLeft(Action):
    """What a run stopped between writing a side file and renaming it leaves: here junk twice the target's size."""

    def __init__(self, name):
        self.name, self.label = name, "junk under %s.new" % name

    def __call__(self, ctx):
        with open(ctx.path(self.name + ".new"), "wb") as f:
            f.write(b"\xa5" * 2 * os.path.getsize(ctx.path(self.name)))


class ChangeByte(Action):
    """One byte changed, every size left right: damage that identification cannot see."""

    def __init__(self, name, offset):
        self.name, self.offset, self.label = name, offset, "change byte %d of %s" % (offset, name)

    def __call__(self, ctx):
        with open(ctx.path(self.name), "r+b") as f:
            f.seek(self.offset)
            byte = f.read(1)
            f.seek(self.offset)
            f.write(bytes([byte[0] ^ 0xFF]))


class LinkFromOutside(Action):
    """A second name in the install folder for a file outside it, such as a user may plant under a side name for
    an elevated updater to write through; after the runs, the file outside must be as it was."""

    def __init__(self, name):
        self.name, self.label = name, "%s a hard link to a file outside the folder" % name

    def __call__(self, ctx):
        self.outside = os.path.join(ctx.root, "outside.bin")
        self.content = b"not the updater's to write\r\n" * 100
        with open(self.outside, "wb") as f:
            f.write(self.content)
        os.link(self.outside, ctx.path(self.name))

    def after(self, ctx):
        with open(self.outside, "rb") as f:
            if f.read() != self.content:
                return ["the file outside the install folder linked as %s was written through" % self.name]
        return []


# ---- the folder the updater runs from ----

MINGW_GCC = {PE32: "i686-w64-mingw32-gcc", PE32PLUS: "x86_64-w64-mingw32-gcc"}


class Planted(Action):
    """The updater and the robot copied into a folder of their own with tests/wine/planted_dll.c built beside them
    as `dll`, which Wine is told to prefer to its own, as Windows does for a DLL that is not a known one. After the
    runs, the robot must have loaded it (so a load is seen) and the updater not."""

    def __init__(self, dll):
        self.dll, self.label = dll, "%s beside the updater" % dll

    def __call__(self, ctx):
        folder = os.path.join(ctx.root, "Downloads")
        os.makedirs(folder)
        for program in (ctx.exe, robot_for(ctx.exe)):
            shutil.copy(program, folder)
        subprocess.run([MINGW_GCC[pe_kind(ctx.exe)], "-shared", "-s", "-Os", "-Wall", "-Wextra", "-Werror",
                        "-o", os.path.join(folder, self.dll),
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "planted_dll.c")], check=True)
        ctx.exe = os.path.join(folder, EXE_NAME)
        ctx.dll_overrides = os.path.splitext(self.dll)[0] + "=n,b"

    def after(self, ctx):
        folder = os.path.dirname(ctx.exe)
        problems = []
        if os.path.exists(os.path.join(folder, "loaded-into-" + EXE_NAME)):
            problems.append("the updater loaded the %s beside it" % self.dll)
        if not os.path.exists(os.path.join(folder, "loaded-into-" + ROBOT_NAME)):
            problems.append("the robot, from the same folder, did not load the %s beside it: no load is seen"
                            % self.dll)
        return problems


# ---- a file another process holds while the updater runs ----

class Hold:
    """`name` held open by the robot while the updater runs, granting others no sharing ("none"), read sharing
    ("read", the game) or read and delete sharing ("delete", a scanner). until: a file of the install folder;
    the robot lets go 300 ms after it holds the bytes it has in finished/N (its step is committed), else when
    the updater has ended."""

    def __init__(self, name, sharing, until=None):
        self.name, self.sharing, self.until = name, sharing, until

    def args(self, ctx):
        held = (ctx.path(self.name), self.sharing)
        return held if self.until is None else held + ((ctx.path(self.until), self.reference(ctx)),)

    def reference(self, ctx):
        return os.path.join(ctx.release_dir("finished"), self.until)

    def problems(self, ctx):
        """A condition met before the run: the hold would be let go at once and test nothing."""
        if self.until is not None:
            with open(ctx.path(self.until), "rb") as a, open(self.reference(ctx), "rb") as b:
                if a.read() == b.read():
                    return ["%s is as in the finished folder before the run: the hold tests nothing" % self.until]
        return []


# ---- the uninstall registration ----

class Registered:
    """The install folder, or one that does not exist, registered as REG_SZ or REG_EXPAND_SZ, with or without
    a trailing backslash; view "64": only in the 64-bit registry view (64-bit prefixes only)."""

    def __init__(self, kind="sz", backslash=True, folder_exists=True, view=None):
        self.kind, self.backslash, self.folder_exists, self.view = kind, backslash, folder_exists, view

    def value(self, ctx):
        folder = ctx.folder if self.folder_exists else os.path.join(ctx.root, "not-installed")
        return RegistryValue(self.kind, windows_path(folder) + ("\\" if self.backslash else ""))


class NoInstallFolder:
    """A registration that names no install folder: no key ("absent"), a key without the value ("no value"), or
    the value registered empty ("empty")."""
    view = None

    def __init__(self, kind):
        self.kind = kind

    def value(self, ctx):
        return RegistryValue("sz", "") if self.kind == "empty" else RegistryValue(self.kind)


# ---- the temporary folder ----

class TempFolder:
    """An existing temporary folder; with `length`, one whose Windows path has that many characters."""

    def __init__(self, length=None):
        self.length = length

    def make(self, ctx):
        if self.length is not None:
            base = windows_path(ctx.root) + "\\"
            ctx.temp = os.path.join(ctx.root, "t" * (self.length - len(base)))
            assert len(windows_path(ctx.temp)) == self.length
        os.makedirs(ctx.temp)
        return windows_path(ctx.temp)


class NoTempFolder:
    """A temporary folder that does not exist."""

    def make(self, ctx):
        return windows_path(os.path.join(ctx.root, "no-such-folder"))


class TempPathTooLong:
    """A temporary folder of 259 characters: one more than the longest that GetTempPathA can return with its
    backslash."""

    def make(self, ctx):
        base = windows_path(ctx.temp) + "\\"
        return base + "x" * (259 - len(base))
