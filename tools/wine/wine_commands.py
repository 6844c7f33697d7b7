"""What the commands that run the updater under Wine share (the scenarios, the demo, the probe and the
release check): their command line, the start of their session, screenshots as PNG, and one whole update."""

import argparse
import os
import re
import shutil
import subprocess

from dos_files import make_install_folder, windows_path
from wine_choice import REPO, WineError, choose_path, default_exes, say_path, wow64_path
from wine_registry import RegistryValue
from wine_session import Session


def default_wine_dir():
    """The folder of the prefixes' slots: WELLHAVEN_WINE_DIR, else build/wine."""
    return os.environ.get("WELLHAVEN_WINE_DIR") or os.path.join(REPO, "build", "wine")


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


def bmp_to_png(bmp, png):
    """Converts a screenshot with ImageMagick (stripped of dates, so reruns give the same file)."""
    subprocess.run(["convert", bmp, "-strip", "-define", "png:exclude-chunks=date,time", png],
                   check=True, stdout=subprocess.DEVNULL)


def save_pictures(pictures, folder, name):
    """One PNG for each distinct name(box) of the (box, screenshot) pairs; a name saved already is kept."""
    os.makedirs(folder, exist_ok=True)
    for b, bmp in pictures:
        png = os.path.join(folder, name(b) + ".png")
        if os.path.exists(bmp) and not os.path.exists(png):
            bmp_to_png(bmp, png)


def check_tools(exes, tools=()):
    """Raises WineError with one line when the updater cannot be run under Wine here by a command that runs
    `tools` too: none of exes is built, or a tool or the Japanese locale is missing."""
    if not any(os.path.exists(exe) for exe in exes):
        raise WineError("%s: none exists: build the updater first (./build.sh)" % ", ".join(exes))
    missing = [tool for tool in ("wine", "wineserver", "Xvfb") + tuple(tools) if not shutil.which(tool)]
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower()
    if not re.search(r"^ja_jp\.utf-?8$", locales, re.MULTILINE):
        missing.append("the ja_JP.UTF-8 locale")
    if missing:
        raise WineError("missing: %s (scripts/deps.sh test installs them)" % ", ".join(missing))


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


def open_session(exes, wine_dir=None, wow64=False, locale=None, tools=()):
    """(Session not yet entered, exe) on the path chosen for these builds (default: the two Windows builds), or
    with wow64 the PE32 in a 64-bit prefix; the path is said. tools: what the command runs besides Wine (convert
    for pictures, chattr to make files immutable). Raises WineError with one line when it cannot run here."""
    exes = [os.path.abspath(e) for e in exes or default_exes()]
    check_tools(exes, tools)
    path, exe = wow64_path(exes) if wow64 else choose_path(exes)
    say_path(path)
    return Session(wine_dir or default_wine_dir(), path, log=print, locale=locale), exe


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
