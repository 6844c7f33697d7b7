"""What a scenario expects: the boxes a player sees (texts in UTF-8, compared as
code page 932), and what the install folder and the temporary folder hold after a run."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
from box_robot import IDNO, IDOK, IDYES, Box  # noqa: E402
from dos_files import release_folder_state  # noqa: E402
from wine_choice import REPO  # noqa: E402

sys.path.insert(0, os.path.join(REPO, "tools", "release"))
import catalogue  # noqa: E402

# ---- the boxes a player sees ----

CAPTIONS = ["現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
            "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです"]
# The program passes no caption for its error boxes; this is the system's own.
DEFAULT_CAPTION = "エラー"

NO_MEMORY = "メモリ確保に失敗しました。"
NO_INSTALL_DIR = "インストールフォルダの取得に失敗しました。"
NO_PATCH_FILE = "パッチファイルの作成に失敗しました。"
NO_SCRATCH = "一時ファイルの作成に失敗しました。"
NOT_WELLHAVEN = "data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。"


def box(caption, text, buttons, default, icon):
    return Box(caption.encode("cp932"), text.encode("cp932"), buttons, default, icon)


def question(edition):
    return box(CAPTIONS[edition], "Wellhaven ver1.03 へのアップデートを行いますか？", (IDYES, IDNO), IDYES, "question")


def up_to_date(edition):
    return box(CAPTIONS[edition], "既に最新の状態にアップデートされています。", (IDOK,), IDOK, "information")


COMPLETED = box("情報", "アップデートが完了しました。", (IDOK,), IDOK, "information")


def error(code, sentence):
    return box(DEFAULT_CAPTION, "E%03d: %s" % (code, sentence), (IDOK,), IDOK, "warning")


def cannot_open(code, name):
    return error(code, "%s を開けません。" % name)


def damaged(name):
    return error(213, "%s が Wellhaven のものでないか壊れています。" % name)


# ---- what the install folder and the temporary folder should hold ----

class Unchanged:
    """The install folder as it was before the first run."""

    def state(self, ctx):
        return ctx.prepared


class Finished:
    """finished/N of the release."""

    def state(self, ctx):
        return release_folder_state(ctx.release_dir("finished"))


class Updated:
    """The folder before the first run with these files as in finished/N."""

    def __init__(self, *names):
        self.names = names

    def state(self, ctx):
        finished = release_folder_state(ctx.release_dir("finished"))
        state = dict(ctx.prepared)
        for name in self.names:
            state[name] = finished[name]
        return state


def finished_file(name, length=None):
    """A scratch file holding finished/N's file (or its first `length` bytes)."""
    def content(ctx):
        with open(os.path.join(ctx.release_dir("finished"), name), "rb") as f:
            data = f.read()
        return data if length is None else data[:length]
    content.label = "%s of the finished folder%s" % (name, "" if length is None else ", first %d bytes" % length)
    return content


def payload(payload_id):
    def content(ctx):
        with open(os.path.join(ctx.release, "payload", catalogue.payload_file_name(payload_id)), "rb") as f:
            return f.read()
    content.label = "payload %d" % payload_id
    return content


# The scratch file of a scr.xp3 splice that stopped at reading its second kept run.
_scr = catalogue.RECIPES["scr.xp3"]
SCR_SPLICED_UP_TO_SECOND_RUN = catalogue.SPLICE_HEAD_SIZE + _scr["keepFirst"] + _scr["insertFirst"]
SCR_TOO_SHORT = catalogue.SPLICE_HEAD_SIZE + _scr["keepFirst"] + 100

# What ver1.00 and ver1.00a have been given when their data.xp3, the last file of their first stage, is spliced.
FIRST_STAGE_BEFORE_DATA = ("scr.xp3", "scr.xp3.sig", "data.xp3.sig", "Wellhaven.exe.sig")
