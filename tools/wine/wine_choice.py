"""Which Windows build runs in which Wine prefix here.

Three paths, one table: the 32-bit build (PE32) in a 32-bit prefix where this
machine runs 32-bit x86 programs, else the 64-bit build (PE32+) in a 64-bit
prefix under the 64-bit loader; the PE32 in a 64-bit prefix (WoW64) is what a
player on 64-bit Windows has. WELLHAVEN_WINE=pe32|pe32plus|auto forces the
choice between the first two. Whether a path can run here is found by trying
the loaders it needs, in one check (unavailable).
"""

import collections
import errno
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# The updater's name, version and release, from updater.env, which the build and the scripts read too.
with open(os.path.join(REPO, "updater.env")) as _env:
    UPDATER = dict(line.strip().split("=", 1) for line in _env if "=" in line and not line.startswith("#"))
EXE_NAME = UPDATER["WELLHAVEN_UPDATER_NAME"] + ".exe"
PROBE_NAME = "behaviour_probe.exe"  # the behaviour probe (tools/probe), built beside the updater

# Debian's loaders, called by their paths: the `wine` wrapper always picks the
# 32-bit one when it is installed, even on a machine that cannot run it.
LOADER32 = "/usr/lib/wine/wine"
LOADER64 = "/usr/lib/wine/wine64"
# The system's own loader of 32-bit x86 programs.
SYSTEM_LOADER32 = "/lib/ld-linux.so.2"
CHOICE_SETTING = "WELLHAVEN_WINE"
PE32, PE32PLUS = "pe32", "pe32plus"
SKIP_STATUS = 77


class WineError(Exception):
    pass


WinePath = collections.namedtuple("WinePath", "name build arch loader view description needs", defaults=((),))
"""name: pe32, pe32plus or wow64. build: PE32 or PE32PLUS, the executable it runs.
arch: win32 or win64, the prefix. loader: the command that starts a Windows
program. view: "32" in a 64-bit prefix (the registry view a 32-bit installer
writes), None in a 32-bit prefix (one view only). needs: the loaders that must
run here, "32" and "64"."""

PATHS = {p.name: p for p in [
    WinePath("pe32", PE32, "win32", ["wine"], None, "PE32 build in a 32-bit prefix", ("32",)),
    WinePath("pe32plus", PE32PLUS, "win64", [LOADER64], "32", "PE32+ build in a 64-bit prefix", ("64",)),
    # Debian's 64-bit loader starts a 32-bit program through the 32-bit loader.
    WinePath("wow64", PE32, "win64", [LOADER64], "32", "PE32 build in a 64-bit prefix (WoW64)", ("32", "64")),
]}


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


def unavailable(path, loader32=None, loader64=None, setting=None):
    """None when `path` can run here, else a line saying why not: a setting that
    forces the other build, or the first of its loaders that does not run."""
    forced = (setting or os.environ.get(CHOICE_SETTING) or "").lower()
    if forced == PE32PLUS and "32" in path.needs:
        return "%s=pe32plus takes this machine as one that cannot run 32-bit x86 programs" % CHOICE_SETTING
    if forced == PE32 and path.build != PE32:
        return "%s=pe32 leaves out the PE32+ build" % CHOICE_SETTING
    loaders = {"32": loader32 or LOADER32, "64": loader64 or LOADER64}
    for need in path.needs:
        why = try_loader(loaders[need])
        if why:
            return why
    return None


def _build(exes, kind):
    """The first of exes that is a `kind` build, made absolute, or None."""
    return next((os.path.abspath(e) for e in exes if pe_kind(e) == kind), None)


def choose_path(exes, setting=None, loader32=None, loader64=None):
    """(WinePath, exe) for the given builds, by trying the loaders; raises WineError with one line.

    exes: paths of built updaters (missing ones are left out); None asks only
    which path runs here and gives no exe. setting: pe32,
    pe32plus or auto (default: the WELLHAVEN_WINE environment setting). The
    PE32 in a 32-bit prefix is tried first; the PE32+ under the 64-bit loader
    only when that cannot run. A forced setting replaces the decision only:
    the chosen path runs exactly as when it is decided."""
    setting = (setting or os.environ.get(CHOICE_SETTING) or "auto").lower()
    if setting not in ("auto", PE32, PE32PLUS):
        raise WineError("%s=%s: expected pe32, pe32plus or auto" % (CHOICE_SETTING, setting))
    loader64 = loader64 or LOADER64
    reasons = []
    for path in (PATHS["pe32"], PATHS["pe32plus"]):
        if setting not in ("auto", path.build):
            continue
        exe = None if exes is None else _build(exes, path.build)
        why = unavailable(path, loader32, loader64, setting="auto")
        if why is None and exes is not None and exe is None:
            why = "no %s build (%s)" % (path.build.upper().replace("PLUS", "+"), ", ".join(exes) or "none given")
        if why:
            reasons.append(why)
            continue
        if path.build == PE32PLUS:
            because = reasons[0] if reasons else "%s=%s" % (CHOICE_SETTING, setting)
            path = path._replace(loader=[loader64], description="%s (%s)" % (path.description, because))
        return path, exe
    raise WineError("wine: the updater cannot run under Wine here: " + "; ".join(reasons))


def pe32_unavailable(loader32=None):
    """None when a PE32 can run under Wine here, else a line saying why not."""
    return unavailable(PATHS["pe32"], loader32)


def wow64_unavailable(loader32=None, loader64=None):
    """None when the PE32 can run in a 64-bit prefix here (both loaders, see PATHS), else a line saying why not."""
    return unavailable(PATHS["wow64"], loader32, loader64)


def wow64_path(exes):
    """(WinePath, exe) of the PE32 in a 64-bit prefix (WoW64); raises WineError with one line."""
    why = wow64_unavailable()
    exe = _build(exes, PE32)
    if not why and not exe:
        why = "no PE32 build (%s)" % (", ".join(exes) or "none given")
    if why:
        raise WineError("wine: no WoW64 here: " + why)
    return PATHS["wow64"], exe


_SAID = set()  # the descriptions of the paths this process has said


def say(line):
    """Prints a line the Wine tests show among their results ("wine: ..."): which build runs in which
    prefix, or what this machine leaves unchecked."""
    print("wine: " + line, flush=True)


def say_path(path):
    """Says which build runs in which prefix, once a process for each path."""
    if path.description not in _SAID:
        _SAID.add(path.description)
        say(path.description)


def default_exes():
    """The updaters of the two Windows builds: WELLHAVEN_UPDATER_EXE and
    WELLHAVEN_UPDATER_EXE64, by default those of build/windows and build/windows64."""
    return [os.environ.get("WELLHAVEN_UPDATER_EXE") or os.path.join(REPO, "build", "windows", EXE_NAME),
            os.environ.get("WELLHAVEN_UPDATER_EXE64") or os.path.join(REPO, "build", "windows64", EXE_NAME)]
