"""A Wine session: one warm Wine prefix and one Xvfb display, and the updater run in it.

Prefixes live in numbered slots under a common folder; a session takes the
first free slot (an flock on the slot's lock file), so parallel test
processes never share a prefix and a prefix, once made, is reused by every
later session of its slot.

Every wine process gets LC_ALL=ja_JP.UTF-8 (ANSI code page 932, as on a
Japanese Windows), or the session's other locale in a prefix made under it,
and the session's DISPLAY; nothing else in the calling process changes. Output of wine and its helpers goes to files, never to a
pipe: a helper that inherits a pipe keeps it open after wine has returned.
"""

import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from box_robot import ROBOT_TIMEOUT, RunResult, parse_record, robot_command, robot_for, show_box
from dos_files import remove_tree, windows_path
from wine_choice import PROBE_NAME, WineError
from wine_registry import JAPANESE_FONT, JAPANESE_FONT_LINKS, PREFIX_SETTINGS, REMOVE_REGISTRATION, registry_script

WINE_FONTS = "/usr/share/wine/fonts"
JAPANESE = "ja_JP.UTF-8"
# No Mono or Gecko installer prompts, no menu entries in $HOME.
QUIET_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# Bump when the prefix set-up below changes: prefixes made by an older set-up are made again.
PREFIX_SETUP = "wellhaven-prefix-3"


def wine_env(base, prefix, arch, locale=JAPANESE, display=None, dll_overrides=None):
    """The environment of a wine process: `base` without another Wine's loader and paths, and the prefix, its
    architecture, no debug output, the quiet overrides (and `dll_overrides`), the locale and any display."""
    env = {name: value for name, value in base.items() if name not in ("WINELOADER", "WINESERVER", "WINEDLLPATH")}
    env.update({"WINEPREFIX": prefix, "WINEARCH": arch, "WINEDEBUG": "-all", "LC_ALL": locale,
                "WINEDLLOVERRIDES": QUIET_OVERRIDES + (";" + dll_overrides if dll_overrides else "")})
    if display:
        env["DISPLAY"] = display
    return env


def end_wine(env, timeout, user=()):
    """Ends every wine process of the prefix `env` names, and its server; `user` runs the command as another."""
    subprocess.run(list(user) + ["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout)


def prefix_ready(folder, stamp):
    """Whether folder/prefix is whole and made by this set-up and this Wine (its marker says `stamp`)."""
    marker = os.path.join(folder, "prefix-ready")
    if not os.path.isdir(os.path.join(folder, "prefix")) or not os.path.exists(marker):
        return False
    with open(marker) as f:
        return f.read() == stamp


def mark_prefix(folder, stamp):
    with open(os.path.join(folder, "prefix-ready"), "w") as f:
        f.write(stamp)


def copy_prefix(source, destination):
    """Copies a prefix, but for the file naming its server's folder under /tmp: the copy's first wine process
    makes one of its own."""
    shutil.copytree(source, destination, symlinks=True,
                    ignore=lambda folder, names: ["wineserver"] if folder == source else [])


def unmark_prefix(folder):
    marker = os.path.join(folder, "prefix-ready")
    if os.path.exists(marker):
        os.unlink(marker)


class Session:
    """One Xvfb display and one warm Wine prefix, for one process at a time."""

    def __init__(self, wine_dir, path, slots=8, log=None, locale=None):
        self.path = path
        self.locale = locale or JAPANESE
        # 32-bit and 64-bit prefixes in folders of their own, and those made under another locale.
        self.wine_dir = os.path.join(os.path.abspath(wine_dir),
                                     path.arch + ("" if self.locale == JAPANESE else "-" + self.locale))
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
                end_wine(self.env(), 30)
            except (subprocess.TimeoutExpired, OSError):
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
        return wine_env(os.environ, self.prefix, self.path.arch, self.locale, self.display, dll_overrides)

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
            end_wine(self.env(), 30)
            raise WineError("%s did not end within %d s (output in %s)" % (" ".join(proc.args), timeout, proc.log))

    def wine_version(self):
        """What `wine --version` prints for this session's loader, as "wine-10.0 (Debian 10.0~repack-6)"."""
        return subprocess.run(self.path.loader + ["--version"], capture_output=True, text=True).stdout.strip()

    def table_answer(self, exe, setup, call):
        """The behaviour table's answer to its row (setup, call) for this Wine run by this account, from the
        probe built beside the updater exe."""
        probe = os.path.join(os.path.dirname(exe), PROBE_NAME)
        system = "wine-root" if os.geteuid() == 0 else "wine"
        proc = subprocess.run(self.path.loader + [probe, "--expect", setup, call, system, self.wine_version()],
                              env=self.env(), stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        if proc.returncode != 0:
            raise WineError("%s --expect ended with status %d" % (probe, proc.returncode))
        return int(proc.stdout.split()[-1])

    def _stamp(self):
        return "%s %s\n" % (PREFIX_SETUP, self.wine_version())

    def _prepare_prefix(self):
        stamp = self._stamp()
        if prefix_ready(self.slot_dir, stamp):
            return
        # One prefix is made per folder (architecture and locale), by one session at a time; a copy of it as
        # made, before any run, is the start of every other slot's.
        template = os.path.join(self.wine_dir, "template")
        with open(os.path.join(self.wine_dir, "template.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            started = time.time()
            unmark_prefix(self.slot_dir)
            shutil.rmtree(self.prefix, ignore_errors=True)
            if prefix_ready(template, stamp):
                copy_prefix(os.path.join(template, "prefix"), self.prefix)
                self.log("Wine prefix %s copied from %s in %.1f s" % (self.prefix, template, time.time() - started))
            else:
                self.log("Making the Wine prefix %s (once per architecture and locale)" % self.prefix)
                self._make_prefix()
                unmark_prefix(template)
                shutil.rmtree(template, ignore_errors=True)
                copy_prefix(self.prefix, os.path.join(template, "prefix"))
                mark_prefix(template, stamp)
                self.log("Wine prefix ready in %.1f s" % (time.time() - started))
            mark_prefix(self.slot_dir, stamp)

    def _make_prefix(self):
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
        if self.locale != JAPANESE:
            if not os.path.exists(JAPANESE_FONT):
                raise WineError("%s is missing (scripts/deps.sh test installs it)" % JAPANESE_FONT)
            os.symlink(JAPANESE_FONT, os.path.join(fonts, os.path.basename(JAPANESE_FONT)))
            self.regedit(JAPANESE_FONT_LINKS, name="font-links")
        self._call(["wineserver", "-w"], timeout=120, name="wineserver-wait")

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
            # Seen once on a loaded machine, at a group's first row: the script is whole, so once more is safe.
            print("reg import failed with status %d; importing %s once more" % (status, path), file=sys.stderr,
                  flush=True)
            time.sleep(1)
            status = self._call(args, timeout=60, name="regedit")
        if status != 0:
            with open(os.path.join(self.slot_dir, "regedit.log"), errors="replace") as f:
                raise WineError("reg import failed with status %d for %s: %s" % (status, path, f.read().strip()))

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

        hold: (path, "none", "read" or "delete"[, (path, reference)]) a file the
        robot keeps open while the updater runs (box_robot.robot_command).
        shots: a folder for a picture of every box (box<N>.bmp).
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
            if shot_dir:
                os.makedirs(shot_dir, exist_ok=True)
                for old in os.listdir(shot_dir):
                    if old.endswith(".bmp"):
                        os.unlink(os.path.join(shot_dir, old))
            args = self.path.loader + robot_command(self._robots[exe], record, answer, exe, hold, shot_dir)
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
                what = {"timeout": "the updater was still running after %d s without a new box" % ROBOT_TIMEOUT,
                        "unanswered": "the robot could not answer the last box and ended the updater"}[stopped]
                raise WineError("%s; boxes so far:\n  %s" % (what, "\n  ".join(show_box(b) for b in boxes)))
            picture_files = []
            if shot_dir:
                picture_files = [os.path.join(shot_dir, "box%d.bmp" % (i + 1)) for i in range(len(boxes))]
            results.append(RunResult(boxes, code, status, picture_files))
        return results
