#include "common/report.h"

const char kTextNoMemory[] = "メモリ確保に失敗しました。";
const char kTextNoInstallDir[] = "インストールフォルダの取得に失敗しました。";
const char kTextNotOpened[] = "%s を開けません。";
const char kTextNoPayload[] = "パッチデータのロードに失敗しました。";
const char kTextNoPatchFile[] = "パッチファイルの作成に失敗しました。";
const char kTextNoScratchFile[] = "一時ファイルの作成に失敗しました。";
const char kTextNotWellhaven[] =
    "data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。";
const char kTextDamaged[] = "%s が Wellhaven のものでないか壊れています。";
const char kTextPayloadDamaged[] = "パッチデータが壊れています。";

/* The question names ver1.03 for both lines. */
const char kTextAskToUpdate[] = "Wellhaven ver1.03 へのアップデートを行いますか？";
const char kTextUpToDate[] = "既に最新の状態にアップデートされています。";
const char kTextCompleted[] = "アップデートが完了しました。";
const char kCaptionInformation[] = "情報";
const char *const kEditionCaptions[] = {
    "現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
    "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです",
};

/* The texts above are Japanese whatever the system's ANSI code page is. */
static const UINT kTextCodePage = 932;

/* "E" and three digits, a colon and a blank (6 bytes), then the sentence: the
 * longest is E103's, 83 bytes in code page 932, and one that names a file
 * has 42 besides the name's 31 at most; 90 bytes with the NUL. No text is
 * longer, and none has more characters than bytes. */
enum { kBoxTextSize = 96 };

/* text in UTF-16, into kBoxTextSize units; false when it is not text of
 * code page 932 or the system has no such code page. */
static bool Widen(const char *text, WCHAR *wide)
{
    return MultiByteToWideChar(kTextCodePage, MB_ERR_INVALID_CHARS, text, -1, wide, kBoxTextSize) != 0;
}

/* Through the Unicode box the texts read right on a system of any language.
 * Where they cannot be converted the ANSI box still shows them, readable
 * where the system's code page is Japanese. */
int ShowBox(const char *text, const char *caption, UINT flags)
{
    WCHAR wideText[kBoxTextSize], wideCaption[kBoxTextSize];
    if (Widen(text, wideText) && (caption == NULL || Widen(caption, wideCaption)))
        return MessageBoxW(NULL, wideText, caption != NULL ? wideCaption : NULL, flags);
    return MessageBoxA(NULL, text, caption, flags);
}

void ReportFailure(int code, const char *sentence, const char *fileName)
{
    char text[kBoxTextSize];
    int codeLength = wsprintfA(text, "E%03d: ", code);
    wsprintfA(text + codeLength, sentence, fileName);
    ShowBox(text, NULL, MB_OK | MB_ICONWARNING);
}
