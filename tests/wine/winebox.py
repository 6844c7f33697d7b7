"""Runs the built updater under Wine with the box robot answering it.

A Session owns one warm 32-bit Wine prefix and one Xvfb display for as long as
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

import collections
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
sys.path.insert(0, os.path.join(REPO, "tools", "release"))
import catalogue  # noqa: E402

UNINSTALL_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Wellhaven"
ROBOT_NAME = "boxrobot.exe"
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


# ---- the robot's record ----

Box = collections.namedtuple("Box", "caption text buttons default icon")


def parse_record(text):
    """(boxes, exit code or None, timed out) from the robot's log."""
    boxes, code, timed_out = [], None, False
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("box "):
            fields = dict(item.split("=", 1) for item in line.split()[1:])
            buttons = tuple(int(b) for b in fields["buttons"].split(",") if b)
            boxes.append(Box(bytes.fromhex(fields["caption"]), bytes.fromhex(fields["text"]),
                             buttons, int(fields["default"]), fields["icon"]))
        elif line.startswith("exit "):
            code = int(line.split()[1])
        elif line == "timeout":
            timed_out = True
    return boxes, code, timed_out


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

def robot_next_to(exe):
    return os.path.join(os.path.dirname(os.path.abspath(exe)), ROBOT_NAME)


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

    def __init__(self, wine_dir, slots=8, log=None):
        self.wine_dir = os.path.abspath(wine_dir)
        self.slots = slots
        self.log = log or (lambda message: None)
        self._lock = None
        self._xvfb = None
        self.display = None
        self.prefix = None
        self.workspace = None

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

    def env(self):
        env = dict(os.environ)
        for name in ("WINELOADER", "WINESERVER", "WINEDLLPATH"):
            env.pop(name, None)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win32",
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer prompts, no menu entries in $HOME.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "DISPLAY": self.display,
            "LC_ALL": "ja_JP.UTF-8",
        })
        return env

    def _call(self, args, timeout, name, cwd=None):
        """Runs a wine command with output to a file; returns its exit status."""
        out_path = os.path.join(self.slot_dir, name + ".log")
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(args, env=self.env(), cwd=cwd or self.slot_dir, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            try:
                return proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)
                raise WineError("%s did not end within %d s (output in %s)" % (" ".join(args), timeout, out_path))

    def _stamp(self):
        version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
        return "%s %s\n" % (PREFIX_SETUP, version)

    def _prepare_prefix(self):
        marker = os.path.join(self.slot_dir, "prefix-ready")
        stamp = self._stamp()
        if os.path.exists(marker) and open(marker).read() == stamp and os.path.isdir(self.prefix):
            return
        self.log("Making the Wine prefix %s (once per slot)" % self.prefix)
        started = time.time()
        if os.path.exists(marker):
            os.unlink(marker)
        shutil.rmtree(self.prefix, ignore_errors=True)
        status = self._call(["wineboot", "-i"], timeout=300, name="wineboot")
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

    def regedit(self, script, name="registry"):
        """Imports a .reg script (written as UTF-16, so any text survives)."""
        path = os.path.join(self.slot_dir, name + ".reg")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + script.encode("utf-16-le"))
        status = self._call(["wine", "regedit", "/S", windows_path(path)], timeout=60, name="regedit")
        if status != 0:
            raise WineError("regedit failed with status %d for %s" % (status, path))

    def scratch_dir(self, name):
        path = os.path.join(self.workspace, name)
        remove_tree(path)
        os.makedirs(path)
        return path

    def run_updater(self, exe, workdir, answer="yes", hold=None, shots=None, timeout=90):
        """Runs the updater with the robot answering; returns a RunResult.

        hold: (path, "none" or "read") a file the robot keeps open while the
        updater runs. shots: a folder for a picture of every box (box<N>.bmp).
        """
        robot = robot_next_to(exe)
        if not os.path.exists(robot):
            raise WineError("the box robot is missing: %s (it is built with the updater)" % robot)
        record = os.path.join(workdir, "robot-%d.txt" % len(os.listdir(workdir)))
        args = ["wine", robot, "--log", windows_path(record), "--answer", answer, "--timeout", "20"]
        if hold:
            args += ["--hold", "%s:%s" % (windows_path(hold[0]), hold[1])]
        if shots:
            os.makedirs(shots, exist_ok=True)
            for old in os.listdir(shots):
                if old.endswith(".bmp"):
                    os.unlink(os.path.join(shots, old))
            args += ["--shots", windows_path(shots)]
        args += ["--", windows_path(exe)]
        status = self._call(args, timeout=timeout, name="robot", cwd=workdir)
        if not os.path.exists(record):
            output = open(os.path.join(self.slot_dir, "robot.log"), errors="replace").read()
            raise WineError("the robot wrote no record (wine status %d): %s" % (status, output.strip()))
        with open(record) as f:
            boxes, code, timed_out = parse_record(f.read())
        if timed_out:
            raise WineError("the updater was still running after 20 s without a new box; boxes so far:\n  "
                            + "\n  ".join(show_box(b) for b in boxes))
        picture_files = []
        if shots:
            picture_files = [os.path.join(shots, "box%d.bmp" % (i + 1)) for i in range(len(boxes))]
        return RunResult(boxes, code, status, picture_files)


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


def cannot_run(exe):
    """Why the updater cannot be run under Wine here (a line to print), or None."""
    if not os.path.exists(exe):
        return "%s does not exist: build the updater first (./build.sh)" % exe
    missing = check_tools()
    if missing:
        return "missing: %s (scripts/deps.sh test installs them)" % ", ".join(missing)
    return None


def update_copy(session, exe, source, workdir, folder_name="Wellhaven", answer="yes", shots=None):
    """Copies an installed folder into workdir/folder_name, registers it, runs the
    updater once and returns (RunResult, install folder, scratch files left)."""
    folder = os.path.join(workdir, folder_name)
    temp = os.path.join(workdir, "temp")
    make_install_folder(source, folder)
    os.makedirs(temp)
    session.regedit(registry_script(RegistryValue("sz", windows_path(folder) + "\\"), windows_path(temp)))
    result = session.run_updater(exe, workdir, answer=answer, shots=shots)
    return result, folder, sorted(os.listdir(temp))
