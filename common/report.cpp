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

/* "E" and three digits, a colon and a blank (6 bytes), then the sentence: the
 * longest is E103's, 83 bytes in code page 932, and one that names a file
 * has 42 besides the name's 31 at most; 90 bytes with the NUL. */
enum { kReportBufferSize = 96 };

void ReportFailure(int code, const char *sentence, const char *fileName)
{
    char text[kReportBufferSize];
    int codeLength = wsprintfA(text, "E%03d: ", code);
    wsprintfA(text + codeLength, sentence, fileName);
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONWARNING);
}
