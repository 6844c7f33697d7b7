"""The .reg scripts a run needs: the game's uninstall registration, and apart
from it the temporary folder (TMP and TEMP of the user's environment); and
those a prefix is made with: its settings and, under a locale that is not
Japanese, its font links."""

UNINSTALL_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Wellhaven"
HEADER = ["Windows Registry Editor Version 5.00", ""]


def multi_string(*texts):
    """A REG_MULTI_SZ value of a .reg script."""
    data = "".join(text + "\0" for text in texts + ("",)).encode("utf-16-le")
    return "hex(7):" + ",".join("%02x" % b for b in data)


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


def script(*sections):
    """A .reg script (text) of the given sections, each a list of lines."""
    return "\r\n".join(HEADER + [line for section in sections for line in section]) + "\r\n"


def registration(value):
    """The lines that replace the uninstall registration with `value` (a RegistryValue)."""
    return ["[-%s]" % UNINSTALL_KEY, ""] + value.reg_lines()


def temp_folder(folder):
    """The lines that make `folder` (a Windows path) the user's temporary folder."""
    return ["[HKEY_CURRENT_USER\\Environment]", '"TMP"=%s' % reg_string(folder), '"TEMP"=%s' % reg_string(folder), ""]


def registry_script(value, folder):
    """A .reg script (text) that sets the registration and the temporary folder."""
    return script(registration(value), temp_folder(folder))


# Both views of a 64-bit prefix, for the 64-bit reg: Wine's `reg import /reg:32`
# does not delete a key in the 32-bit view, so it is named by its own path.
REMOVE_REGISTRATION = script(["[-%s]" % UNINSTALL_KEY, "",
                              "[-%s]" % UNINSTALL_KEY.replace("\\SOFTWARE\\", "\\SOFTWARE\\Wow6432Node\\")])

# Wine draws the window frames itself (no window manager is needed, a box closes at once); a crash ends the run.
PREFIX_SETTINGS = script([r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"', "",
                          r"[HKEY_CURRENT_USER\Software\Wine\WineDbg]", '"ShowCrashDialog"=dword:00000000'])


# A Wine prefix made under a locale that is not Japanese draws Japanese as empty boxes in the dialog font and
# the bold caption font (Tahoma, for MS Shell Dlg); a player installs a Japanese font and links it to them,
# as here the IPA Gothic the tests install.
JAPANESE_FONT = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf"
JAPANESE_FONT_LINKS = script(
    [r"[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]"]
    + ['"%s"=%s' % (face, multi_string("ipag.ttf,IPAGothic"))
       for face in ("MS Shell Dlg", "MS Shell Dlg 2", "Tahoma", "Tahoma Bold")])
