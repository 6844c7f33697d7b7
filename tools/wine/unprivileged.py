"""A console program under Wine as a user without privileges, from a process running as root.

Wine as root passes the Unix permission checks that Wine maps a read-only
file onto, so some calls answer otherwise than for a player, who never runs
Wine as root. This runs a program the way a player's Wine would: as a user id
that has no account (none is ever created), in a fresh prefix inside a
temporary folder that id owns (Wine refuses a prefix its user does not own,
and a checkout in root's home folder cannot be read by it), with no display.
"""

import grp
import os
import pwd
import shutil
import subprocess
import tempfile

from dos_files import remove_tree, windows_path
from wine_choice import WineError
from wine_session import end_wine, wine_env

# Where the search for a free user id starts: above the ids Debian gives accounts.
FIRST_FREE_ID = 61000


def known(lookup, number):
    try:
        lookup(number)
        return True
    except KeyError:
        return False


def free_id():
    """A number that is neither a user's id nor a group's."""
    for number in range(FIRST_FREE_ID, FIRST_FREE_ID + 1000):
        if not known(pwd.getpwuid, number) and not known(grp.getgrgid, number):
            return number
    raise WineError("no free user id from %d on" % FIRST_FREE_ID)


def run_console(path, exe, args, timeout=300):
    """Runs a copy of `exe` on WinePath `path` as a user id without an account, in a fresh
    prefix; `args` may hold "{folder}", an empty folder of that user's (as a Windows path).
    Returns (exit status, standard output). Raises WineError with one line when it cannot be run."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        raise WineError("not running as root" if os.geteuid() != 0 else "setpriv is not installed (util-linux)")
    number = free_id()
    home = tempfile.mkdtemp(prefix="wellhaven-unprivileged-")
    try:
        os.chmod(home, 0o755)
        program = os.path.join(home, os.path.basename(exe))
        shutil.copyfile(exe, program)
        folder = os.path.join(home, "work")
        os.mkdir(folder)
        for name in (home, program, folder):
            os.chown(name, number, number)
        env = wine_env({"PATH": "/usr/bin:/bin", "HOME": home}, os.path.join(home, "prefix"), path.arch)
        user = ["setpriv", "--reuid=%d" % number, "--regid=%d" % number, "--clear-groups"]
        command = user + path.loader + [windows_path(program)] + [a.replace("{folder}", windows_path(folder))
                                                                   for a in args]
        try:
            done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise WineError("%s did not end within %d s as user id %d" % (exe, timeout, number))
        finally:
            end_wine(env, 60, user)
        return done.returncode, done.stdout.decode(errors="replace")
    finally:
        remove_tree(home)
