"""The box robot (robot/, its use told in docs/wine.md): its build for an updater, its command line and its record.

It starts the updater, answers every message box it shows and writes one line
per box; a run's RunResult is read from that record.
"""

import collections
import fcntl
import os
import subprocess

from dos_files import windows_path
from wine_choice import PE32, PE32PLUS, REPO, WineError, pe_kind

ROBOT_NAME = "boxrobot.exe"
ROBOT_TIMEOUT = 20  # seconds without a new box or the program's exit before the robot ends the program
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


# caption and text as the player reads them (str)
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
            boxes.append(Box(bytes.fromhex(fields["caption"]).decode("utf-16-le"),
                             bytes.fromhex(fields["text"]).decode("utf-16-le"),
                             buttons, int(fields["default"]), fields["icon"]))
        elif line.startswith("exit "):
            code = int(line.split()[1])
        elif line in ("timeout", "unanswered"):
            stopped = line
    return boxes, code, stopped


def show_box(box):
    """A one-line rendering of a box for messages."""
    return "[%s] %s  buttons=%s default=%d icon=%s" % (
        box.caption, box.text, ",".join(map(str, box.buttons)), box.default, box.icon)


RunResult = collections.namedtuple("RunResult", "boxes exit_code wine_status shots")

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


def robot_command(robot, record, answer, program, hold=None, shots=None):
    """The robot's arguments for one run of `program`, its record written to `record`.

    hold: (path, mode), a file the robot keeps open while the program runs,
    granting others no sharing ("none"), read sharing ("read") or read and
    delete sharing ("delete"); with a third item (path, reference), it lets
    go shortly after that file's bytes have become the reference's."""
    args = [robot, "--log", windows_path(record), "--answer", answer, "--timeout", str(ROBOT_TIMEOUT)]
    if hold:
        args += ["--hold", "%s:%s" % (windows_path(hold[0]), hold[1])]
        if len(hold) > 2:
            args += ["--until", "%s=%s" % tuple(windows_path(p) for p in hold[2])]
    if shots:
        args += ["--shots", windows_path(shots)]
    return args + ["--", windows_path(program)]
