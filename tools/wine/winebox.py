"""Runs the built updater under Wine with the box robot answering it.

Which build runs in which prefix is a WinePath, chosen by choose_path: the
32-bit build (PE32) in a 32-bit prefix where this machine runs 32-bit x86
programs, else the 64-bit build (PE32+) in a 64-bit prefix under the 64-bit
loader; WELLHAVEN_WINE=pe32|pe32plus|auto forces the choice. A third path,
the PE32 in a 64-bit prefix (WoW64), is what a player on 64-bit Windows has.

A Session owns one warm Wine prefix and one Xvfb display for as long as
it is open. Prefixes live in numbered slots under a common folder; a session
takes the first free slot (an flock on the slot's lock file), so parallel test
processes never share a prefix and a prefix, once made, is reused by every
later session of its slot.

Every wine process gets LC_ALL=ja_JP.UTF-8 (ANSI code page 932, as on a
Japanese Windows) and the session's DISPLAY; nothing else in the calling
process changes. Output of wine and its helpers goes to files, never to a
pipe: a helper that inherits a pipe keeps it open after wine has returned.

Install folders are plain Linux folders reached through Wine's Z: drive. The
DOS attributes that matter here are read and written the way Wine keeps them:
hidden in the user.DOSATTRIB extended attribute, read-only as a file without
write permission.
"""

import argparse
import collections
import errno
import fcntl
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

UNINSTALL_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Wellhaven"
ROBOT_NAME = "boxrobot.exe"
EXE_NAME = "WellhavenUpdate103.exe"
WINE_FONTS = "/usr/share/wine/fonts"

# Bump when the prefix set-up below changes: prefixes made by an older set-up are made again.
PREFIX_SETUP = "wellhaven-prefix-3"

PREFIX_SETTINGS = r"""Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""

IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


class WineError(Exception):
    pass


def windows_path(path):
    """The Z: drive path of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- which build runs in which prefix ----

# Debian's loaders, called by their paths: the `wine` wrapper always picks the
# 32-bit one when it is installed, even on a machine that cannot run it.
LOADER32 = "/usr/lib/wine/wine"
LOADER64 = "/usr/lib/wine/wine64"
# The system's own loader of 32-bit x86 programs.
SYSTEM_LOADER32 = "/lib/ld-linux.so.2"
CHOICE_SETTING = "WELLHAVEN_WINE"
PE32, PE32PLUS = "pe32", "pe32plus"
SKIP_STATUS = 77

WinePath = collections.namedtuple("WinePath", "name build arch loader view description")
"""name: pe32, pe32plus or wow64. build: PE32 or PE32PLUS, the executable it runs.
arch: win32 or win64, the prefix. loader: the command that starts a Windows
program. view: "32" in a 64-bit prefix (the registry view a 32-bit installer
writes), None in a 32-bit prefix (one view only)."""


def pe_kind(exe):
    """PE32 or PE32PLUS from the executable's header, None when it is neither."""
    try:
        with open(exe, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if head[:2] != b"MZ" or len(head) < 0x40:
        return None
    offset = int.from_bytes(head[0x3C:0x40], "little")
    if head[offset:offset + 4] != b"PE\0\0":
        return None
    machine = int.from_bytes(head[offset + 4:offset + 6], "little")
    return {0x14C: PE32, 0x8664: PE32PLUS}.get(machine)


def try_loader(loader):
    """None when `loader --version` runs here, else a line saying why not."""
    try:
        proc = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    except FileNotFoundError:
        # scripts/deps.sh installs Wine's 32-bit half only where 32-bit x86 programs run: say which it is.
        why = try_loader(SYSTEM_LOADER32) if loader == LOADER32 else None
        return why or "%s is not installed" % loader
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return "this machine cannot run 32-bit x86 programs (%s: Exec format error)" % loader
        return "%s cannot be started: %s" % (loader, e.strerror)
    except subprocess.TimeoutExpired:
        return "%s --version did not end within 60 s" % loader
    if proc.returncode == 126:
        return "this machine cannot run 32-bit x86 programs (%s ended with status 126)" % loader
    if proc.returncode != 0:
        return "%s --version ended with status %d: %s" % (
            loader, proc.returncode, proc.stderr.decode(errors="replace").strip())
    return None


def choose_path(exes, setting=None, loader32=None, loader64=None):
    """(WinePath, exe) for the given builds, by trying the loaders; raises WineError with one line.

    exes: paths of built updaters (missing ones are left out); None asks only
    which path runs here and gives no exe. setting: pe32,
    pe32plus or auto (default: the WELLHAVEN_WINE environment setting). The
    PE32 in a 32-bit prefix is tried first; the PE32+ under the 64-bit loader
    only when that cannot run. A forced setting replaces the decision only:
    the chosen path runs exactly as when it is decided."""
    loader32, loader64 = loader32 or LOADER32, loader64 or LOADER64
    setting = (setting or os.environ.get(CHOICE_SETTING) or "auto").lower()
    if setting not in ("auto", PE32, PE32PLUS):
        raise WineError("%s=%s: expected pe32, pe32plus or auto" % (CHOICE_SETTING, setting))
    builds = {PE32: None, PE32PLUS: None} if exes is None else {}
    for exe in exes or ():
        kind = pe_kind(exe)
        if kind and kind not in builds:
            builds[kind] = os.path.abspath(exe)
    reasons = []
    if setting in ("auto", PE32):
        why = try_loader(loader32)
        if why is None and PE32 not in builds:
            why = "no PE32 build (%s)" % (", ".join(exes) or "none given")
        if why is None:
            return WinePath("pe32", PE32, "win32", ["wine"], None,
                            "PE32 build in a 32-bit prefix"), builds[PE32]
        reasons.append(why)
    if setting in ("auto", PE32PLUS):
        why = try_loader(loader64)
        if why is None and PE32PLUS not in builds:
            why = "no PE32+ build (%s)" % (", ".join(exes) or "none given")
        if why is None:
            because = reasons[0] if reasons else "%s=%s" % (CHOICE_SETTING, setting)
            return WinePath("pe32plus", PE32PLUS, "win64", [loader64], "32",
                            "PE32+ build in a 64-bit prefix (%s)" % because), builds[PE32PLUS]
        reasons.append(why)
    raise WineError("wine: the updater cannot run under Wine here: " + "; ".join(reasons))


def pe32_unavailable(loader32=None):
    """None when a PE32 can run under Wine here, else a line saying why not."""
    if (os.environ.get(CHOICE_SETTING) or "").lower() == PE32PLUS:
        return "%s=pe32plus takes this machine as one that cannot run 32-bit x86 programs" % CHOICE_SETTING
    return try_loader(loader32 or LOADER32)


def wow64_unavailable(loader32=None, loader64=None):
    """None when the PE32 can run in a 64-bit prefix here, else a line saying why not.

    Debian's 64-bit loader starts a 32-bit program through the 32-bit loader,
    so this needs both loaders and a machine that runs 32-bit x86 programs."""
    return pe32_unavailable(loader32) or try_loader(loader64 or LOADER64)


def wow64_path(exes):
    """(WinePath, exe) of the PE32 in a 64-bit prefix (WoW64); raises WineError with one line."""
    why = wow64_unavailable()
    pe32 = [e for e in exes if pe_kind(e) == PE32]
    if not why and not pe32:
        why = "no PE32 build (%s)" % (", ".join(exes) or "none given")
    if why:
        raise WineError("wine: no WoW64 here: " + why)
    return WinePath("wow64", PE32, "win64", [LOADER64], "32",
                    "PE32 build in a 64-bit prefix (WoW64)"), os.path.abspath(pe32[0])


def default_exes():
    """The updaters of the two Windows builds: WELLHAVEN_UPDATER_EXE and
    WELLHAVEN_UPDATER_EXE64, by default those of build/windows and build/windows64."""
    return [os.environ.get("WELLHAVEN_UPDATER_EXE") or os.path.join(REPO, "build", "windows", EXE_NAME),
            os.environ.get("WELLHAVEN_UPDATER_EXE64") or os.path.join(REPO, "build", "windows64", EXE_NAME)]


def default_wine_dir():
    return os.environ.get("WELLHAVEN_WINE_DIR") or os.path.join(REPO, "build", "wine")


# ---- attributes and folder states ----

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
    """Takes the immutable flag off everything under folder (so it can be deleted)."""
    if os.path.isdir(folder):
        subprocess.run(["chattr", "-R", "-i", folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def remove_tree(folder):
    clear_immutable(folder)
    shutil.rmtree(folder, ignore_errors=True)


# ---- the registry ----

class RegistryValue:
    """What the uninstall registration holds for a run."""

    def __init__(self, kind, data=None):
        assert kind in ("absent", "no value", "sz", "expand_sz")
        self.kind = kind
        self.data = data

    def reg_lines(self):
        if self.kind == "absent":
            return []
        lines = ["[%s]" % UNINSTALL_KEY, '"DisplayName"="Wellhaven"']
        if self.kind == "sz":
            lines.append('"InstallLocation"=%s' % reg_string(self.data))
        elif self.kind == "expand_sz":
            data = (self.data + "\0").encode("utf-16-le")
            lines.append('"InstallLocation"=hex(2):%s' % ",".join("%02x" % b for b in data))
        return lines + [""]


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def registry_script(value, temp_folder):
    """A .reg script (text) that sets the registration and the temporary folder."""
    lines = ["Windows Registry Editor Version 5.00", "", "[-%s]" % UNINSTALL_KEY, ""]
    lines += value.reg_lines()
    lines += ["[HKEY_CURRENT_USER\\Environment]",
              '"TMP"=%s' % reg_string(temp_folder),
              '"TEMP"=%s' % reg_string(temp_folder), ""]
    return "\r\n".join(lines) + "\r\n"


# Both views of a 64-bit prefix, for the 64-bit reg: Wine's `reg import /reg:32`
# does not delete a key in the 32-bit view, so it is named by its own path.
REMOVE_REGISTRATION = "Windows Registry Editor Version 5.00\r\n\r\n[-%s]\r\n\r\n[-%s]\r\n" % (
    UNINSTALL_KEY, UNINSTALL_KEY.replace("\\SOFTWARE\\", "\\SOFTWARE\\Wow6432Node\\"))


# ---- the robot's record ----

Box = collections.namedtuple("Box", "caption text buttons default icon")


def parse_record(text):
    """(boxes, exit code or None, what ended the program early or None) from the robot's log:
    "timeout" (no new box and no exit in time) or "unanswered" (a box it could not answer)."""
    boxes, code, stopped = [], None, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("box "):
            fields = dict(item.split("=", 1) for item in line.split()[1:])
            buttons = tuple(int(b) for b in fields["buttons"].split(",") if b)
            boxes.append(Box(bytes.fromhex(fields["caption"]), bytes.fromhex(fields["text"]),
                             buttons, int(fields["default"]), fields["icon"]))
        elif line.startswith("exit "):
            code = int(line.split()[1])
        elif line in ("timeout", "unanswered"):
            stopped = line
    return boxes, code, stopped


def show_box(box):
    """A one-line rendering of a box for messages."""
    def text(b):
        try:
            return b.decode("cp932")
        except UnicodeDecodeError:
            return repr(b)
    return "[%s] %s  buttons=%s default=%d icon=%s" % (
        text(box.caption), text(box.text), ",".join(map(str, box.buttons)), box.default, box.icon)


RunResult = collections.namedtuple("RunResult", "boxes exit_code wine_status shots")


# ---- the session ----

ROBOT_SOURCE = os.path.join(REPO, "tools", "wine", "robot")
ROBOT_TOOLCHAINS = {PE32: "mingw-i686.cmake", PE32PLUS: "mingw-x86_64.cmake"}


def robot_for(exe, cache=None):
    """The box robot for an updater: the one built next to it (the test build),
    else one of the same width built from its source into a cache folder
    (default build/robot/pe32 or pe32plus), as for the updater ./build.sh makes.
    The cache is brought up to date on every call, under a lock, so parallel
    sessions share it; raises WineError with one line when it cannot be built."""
    beside = os.path.join(os.path.dirname(os.path.abspath(exe)), ROBOT_NAME)
    if os.path.isfile(beside):
        return beside
    kind = pe_kind(exe)
    if kind is None:
        raise WineError("%s is not a 32-bit or 64-bit x86 Windows executable" % exe)
    folder = os.path.join(cache or os.path.join(REPO, "build", "robot"), kind)
    os.makedirs(folder, exist_ok=True)
    log = os.path.join(folder, "build.log")
    toolchain = os.path.join(REPO, "cmake", ROBOT_TOOLCHAINS[kind])
    steps = [["cmake", "-S", ROBOT_SOURCE, "-B", folder, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
              "-DCMAKE_BUILD_TYPE=MinSizeRel"],
             ["cmake", "--build", folder, "-j2"]]
    with open(folder + ".lock", "w") as lock, open(log, "w") as out:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for step in steps:
            try:
                status = subprocess.run(step, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT).returncode
            except OSError as e:
                raise WineError("the box robot cannot be built: %s: %s" % (step[0], e.strerror))
            if status != 0:
                raise WineError("the box robot for a %s could not be built from %s (see %s)"
                                % (kind.upper().replace("PLUS", "+"), ROBOT_SOURCE, log))
    return os.path.join(folder, ROBOT_NAME)


def release_of(exe):
    """The release folder the updater was built from: WELLHAVEN_RELEASE_DIR of its
    build folder, or the sample release written there."""
    build = os.path.dirname(os.path.abspath(exe))
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = re.match(r"WELLHAVEN_RELEASE_DIR:\w+=(.*)$", line.rstrip("\n"))
                if m and m.group(1):
                    return m.group(1)
    return os.path.join(build, "sample-release")


class Session:
    """One Xvfb display and one warm Wine prefix, for one process at a time."""

    def __init__(self, wine_dir, path, slots=8, log=None):
        self.path = path
        # 32-bit and 64-bit prefixes in folders of their own.
        self.wine_dir = os.path.join(os.path.abspath(wine_dir), path.arch)
        self.slots = slots
        self.log = log or (lambda message: None)
        self._lock = None
        self._xvfb = None
        self.display = None
        self.prefix = None
        self.workspace = None
        self._robots = {}

    # -- set-up and tear-down --

    def __enter__(self):
        try:
            self._take_slot()
            self._start_xvfb()
            self._prepare_prefix()
            self._start_server()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.prefix and self.display:
            try:
                self._call(["wineserver", "-k"], timeout=30, name="wineserver-kill")
            except (WineError, OSError):
                pass
        if self._xvfb:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
            self._xvfb = None
        if self.workspace:
            remove_tree(self.workspace)
            self.workspace = None
        if self._lock:
            self._lock.close()
            self._lock = None

    def _take_slot(self):
        os.makedirs(self.wine_dir, exist_ok=True)
        deadline = time.time() + 600
        while True:
            for slot in range(self.slots):
                lock = open(os.path.join(self.wine_dir, "slot%d.lock" % slot), "w")
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except OSError:
                    lock.close()
                    continue
                self._lock = lock
                self.slot_dir = os.path.join(self.wine_dir, "slot%d" % slot)
                self.prefix = os.path.join(self.slot_dir, "prefix")
                os.makedirs(self.slot_dir, exist_ok=True)
                # Left by a session that was killed: this slot is ours now.
                for name in os.listdir(self.slot_dir):
                    if name.startswith("run-"):
                        remove_tree(os.path.join(self.slot_dir, name))
                self.workspace = tempfile.mkdtemp(prefix="run-", dir=self.slot_dir)
                return
            if time.time() > deadline:
                raise WineError("no free Wine slot in %s" % self.wine_dir)
            time.sleep(1)

    def _start_xvfb(self):
        if not shutil.which("Xvfb"):
            raise WineError("Xvfb is not installed (scripts/deps.sh test installs it)")
        read_end, write_end = os.pipe()
        with open(os.path.join(self.slot_dir, "xvfb.log"), "w") as out:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdout=out, stderr=subprocess.STDOUT, pass_fds=(write_end,), start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.time() + 20
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise WineError("Xvfb did not start (see %s)" % os.path.join(self.slot_dir, "xvfb.log"))
        self.display = ":" + number.strip().decode()

    def env(self, dll_overrides=None):
        env = dict(os.environ)
        for name in ("WINELOADER", "WINESERVER", "WINEDLLPATH"):
            env.pop(name, None)
        # No Mono or Gecko installer prompts, no menu entries in $HOME; then the caller's own.
        overrides = ["mscoree,mshtml=", "winemenubuilder.exe=d"] + ([dll_overrides] if dll_overrides else [])
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": self.path.arch,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": ";".join(overrides),
            "DISPLAY": self.display,
            "LC_ALL": "ja_JP.UTF-8",
        })
        return env

    def _call(self, args, timeout, name, cwd=None, dll_overrides=None):
        """Runs a wine command with output to a file; returns its exit status."""
        return self._wait(self._start(args, name, cwd, dll_overrides), timeout)

    def _start(self, args, name, cwd=None, dll_overrides=None):
        """Starts a wine command with output to a file, without waiting for it."""
        proc_log = os.path.join(self.slot_dir, name + ".log")
        with open(proc_log, "wb") as out:
            proc = subprocess.Popen(args, env=self.env(dll_overrides), cwd=cwd or self.slot_dir, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        proc.log = proc_log
        return proc

    def _wait(self, proc, timeout):
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            raise WineError("%s did not end within %d s (output in %s)" % (" ".join(proc.args), timeout, proc.log))

    def _stamp(self):
        version = subprocess.run(self.path.loader + ["--version"], capture_output=True, text=True).stdout.strip()
        return "%s %s\n" % (PREFIX_SETUP, version)

    def _prepare_prefix(self):
        marker = os.path.join(self.slot_dir, "prefix-ready")
        stamp = self._stamp()
        if os.path.exists(marker) and os.path.isdir(self.prefix):
            with open(marker) as f:
                if f.read() == stamp:
                    return
        self.log("Making the Wine prefix %s (once per slot)" % self.prefix)
        started = time.time()
        if os.path.exists(marker):
            os.unlink(marker)
        shutil.rmtree(self.prefix, ignore_errors=True)
        status = self._call(self.path.loader + ["wineboot", "-i"], timeout=300, name="wineboot")
        if status != 0:
            raise WineError("wineboot -i failed with status %d (see %s/wineboot.log)" % (status, self.slot_dir))
        self._call(["wineserver", "-w"], timeout=120, name="wineserver-wait")
        # Debian's Wine 8 looks for its own fonts under a path it cannot open,
        # so the caption buttons (Marlett) would draw as letters: link them in.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        if os.path.isdir(WINE_FONTS):
            for name in os.listdir(WINE_FONTS):
                link = os.path.join(fonts, name)
                if not os.path.lexists(link):
                    os.symlink(os.path.join(WINE_FONTS, name), link)
        self.regedit(PREFIX_SETTINGS, name="settings")
        self._call(["wineserver", "-w"], timeout=120, name="wineserver-wait")
        with open(marker, "w") as f:
            f.write(stamp)
        self.log("Wine prefix ready in %.1f s" % (time.time() - started))

    def _start_server(self):
        # A persistent server keeps the prefix warm between the runs of this session.
        self._call(["wineserver", "-p"], timeout=60, name="wineserver-start")

    # -- operations --

    def regedit(self, script, name="registry", view=None):
        """Imports a .reg script (written as UTF-16, so any text survives); view "32" or
        "64" puts HKLM\\SOFTWARE keys into that registry view of a 64-bit prefix."""
        path = os.path.join(self.slot_dir, name + ".reg")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + script.encode("utf-16-le"))
        args = self.path.loader + ["reg", "import", windows_path(path)]
        if view:
            args.append("/reg:" + view)
        status = self._call(args, timeout=60, name="regedit")
        if status != 0:
            raise WineError("reg import failed with status %d for %s" % (status, path))

    def register(self, value, temp_folder, view=None):
        """Sets the uninstall registration and the temporary folder. In a 64-bit prefix
        the key goes into the registry view `view` (default: the 32-bit one, where a
        32-bit installer writes it, under Wow6432Node), and removed from the other."""
        if self.path.arch == "win32":
            self.regedit(registry_script(value, temp_folder))
            return
        view = view or self.path.view
        self.regedit(REMOVE_REGISTRATION, name="unregister")
        self.regedit(registry_script(value, temp_folder), view=view)

    def scratch_dir(self, name):
        path = os.path.join(self.workspace, name)
        remove_tree(path)
        os.makedirs(path)
        return path

    def run_updater(self, exe, workdir, answer="yes", hold=None, shots=None, timeout=90, count=1, dll_overrides=None):
        """Runs the updater with the robot answering; returns a list of RunResults, one for each updater.

        hold: (path, "none" or "read") a file the robot keeps open while the
        updater runs. shots: a folder for a picture of every box (box<N>.bmp).
        count: how many updaters to start at the same moment, each with a robot
        of its own giving the same answer (a player who started it twice);
        their pictures go to shots/<N>. dll_overrides: more WINEDLLOVERRIDES
        entries for this run (uxtheme=n,b).
        """
        if exe not in self._robots:
            self._robots[exe] = robot_for(exe)
        started, results = [], []
        for n in range(count):
            name = "robot" if count == 1 else "robot-%d" % (n + 1)
            record = os.path.join(workdir, "robot-%d.txt" % (len(os.listdir(workdir)) + n))
            shot_dir = os.path.join(shots, str(n + 1)) if shots and count > 1 else shots
            args = self.path.loader + [self._robots[exe], "--log", windows_path(record), "--answer", answer,
                                       "--timeout", "20"]
            if hold:
                args += ["--hold", "%s:%s" % (windows_path(hold[0]), hold[1])]
            if shot_dir:
                os.makedirs(shot_dir, exist_ok=True)
                for old in os.listdir(shot_dir):
                    if old.endswith(".bmp"):
                        os.unlink(os.path.join(shot_dir, old))
                args += ["--shots", windows_path(shot_dir)]
            args += ["--", windows_path(exe)]
            started.append((self._start(args, name, workdir, dll_overrides), args, record, shot_dir, name))
        statuses = [self._wait(proc, timeout) for proc, *_ in started]
        for status, (_, args, record, shot_dir, name) in zip(statuses, started):
            if not os.path.exists(record) and status != 0:
                # The robot opens its record before it starts the updater, so without one the updater never
                # ran: Wine failed to start the robot at all, which a busy machine sees now and then. Once
                # more, a moment later, is safe.
                print("wine did not start the robot (status %d); starting it once more" % status, file=sys.stderr,
                      flush=True)
                time.sleep(1)
                status = self._call(args, timeout=timeout, name=name, cwd=workdir, dll_overrides=dll_overrides)
            if not os.path.exists(record):
                with open(os.path.join(self.slot_dir, name + ".log"), errors="replace") as f:
                    output = f.read()
                raise WineError("the robot wrote no record (wine status %d): %s" % (status, output.strip()))
            with open(record) as f:
                boxes, code, stopped = parse_record(f.read())
            if stopped:
                what = {"timeout": "the updater was still running after 20 s without a new box",
                        "unanswered": "the robot could not answer the last box and ended the updater"}[stopped]
                raise WineError("%s; boxes so far:\n  %s" % (what, "\n  ".join(show_box(b) for b in boxes)))
            picture_files = []
            if shot_dir:
                picture_files = [os.path.join(shot_dir, "box%d.bmp" % (i + 1)) for i in range(len(boxes))]
            results.append(RunResult(boxes, code, status, picture_files))
        return results


def bmp_to_png(bmp, png):
    """Converts a screenshot with ImageMagick (stripped of dates, so reruns give the same file)."""
    subprocess.run(["convert", bmp, "-strip", "-define", "png:exclude-chunks=date,time", png],
                   check=True, stdout=subprocess.DEVNULL)


# ---- one whole update, for the demo and the release check ----

def check_tools():
    """Names of what is missing to run the updater under Wine here."""
    missing = [tool for tool in ("wine", "wineserver", "Xvfb", "convert", "chattr") if not shutil.which(tool)]
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower()
    if not re.search(r"^ja_jp\.utf-?8$", locales, re.MULTILINE):
        missing.append("the ja_JP.UTF-8 locale")
    return missing


def cannot_run(exes):
    """Why the updater cannot be run under Wine here (a line to print), or None."""
    if not any(os.path.exists(exe) for exe in exes):
        return "%s: none exists: build the updater first (./build.sh)" % ", ".join(exes)
    missing = check_tools()
    if missing:
        return "missing: %s (scripts/deps.sh test installs them)" % ", ".join(missing)
    return None


def parse_updater_command(description, folder, folder_help, argv, options=()):
    """The arguments of a command that runs the updater on a folder: the folder's path (made
    absolute) as `folder`, then `exe`, the built updaters to choose from. options: further
    options of the command, each (flags, keyword arguments of add_argument); they may come
    anywhere on the command line."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(folder, help=folder_help)
    parser.add_argument("exe", nargs="*", help="built updaters, PE32 and PE32+ (default: those of build/windows "
                        "and build/windows64); the one this machine runs under Wine is taken")
    for flags, settings in options:
        parser.add_argument(*flags, **settings)
    args = parser.parse_intermixed_args(argv)
    setattr(args, folder, os.path.abspath(getattr(args, folder)))
    return args


def open_session(exes, wine_dir=None, log=print):
    """(Session not yet entered, exe) on the path chosen for these builds (default: the two
    Windows builds); the choice is printed. Raises WineError with one line when none can run here."""
    exes = [os.path.abspath(e) for e in exes or default_exes()]
    problem = cannot_run(exes)
    if problem:
        raise WineError(problem)
    path, exe = choose_path(exes)
    log("wine: " + path.description)
    return Session(wine_dir or default_wine_dir(), path, log=log), exe


def update_copy(session, exe, source, workdir, folder_name="Wellhaven", answer="yes", shots=None):
    """Copies an installed folder into workdir/folder_name, registers it, runs the
    updater once and returns (RunResult, install folder, scratch files left)."""
    folder = os.path.join(workdir, folder_name)
    temp = os.path.join(workdir, "temp")
    make_install_folder(source, folder)
    os.makedirs(temp)
    session.register(RegistryValue("sz", windows_path(folder) + "\\"), windows_path(temp))
    result = session.run_updater(exe, workdir, answer=answer, shots=shots)[0]
    return result, folder, sorted(os.listdir(temp))


def main(argv):
    parser = argparse.ArgumentParser(description="Says which Windows build runs under Wine here: "
                                     "pe32 (preset windows) or pe32plus (preset windows64).")
    parser.add_argument("what", choices=["path", "preset", "line"],
                        help="print the path's name, its build's preset, or the line the Wine tests print")
    args = parser.parse_args(argv)
    try:
        path, _ = choose_path(None)
    except WineError as e:
        print(e, file=sys.stderr)
        return 1
    if args.what == "line":
        print("wine: " + path.description)
    else:
        print(path.name if args.what == "path" else {PE32: "windows", PE32PLUS: "windows64"}[path.build])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
