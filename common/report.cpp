#include "common/report.h"

const char kTextNoMemory[] = "メモリ確保に失敗しました。";
const char kTextNoInstallDir[] = "インストールフォルダの取得に失敗しました。";
const char kTextNoPayload[] = "パッチデータのロードに失敗しました。";
const char kTextNoPatchFile[] = "パッチファイルの作成に失敗しました。";
const char kTextNoScratchFile[] = "一時ファイルの作成に失敗しました。";
const char kTextNotWellhaven[] =
    "data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。";

/* The longest text is E103's; a file name has at most 31 bytes. */
enum { kReportBufferSize = 292 };

void ReportFailure(int code, const char *sentence)
{
    char text[kReportBufferSize];
    wsprintfA(text, "E%03d: %s", code, sentence);
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONWARNING);
}

void ReportOpenFailure(int code, const char *fileName)
{
    char text[kReportBufferSize];
    wsprintfA(text, "E%03d: %s を開けません。", code, fileName);
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONWARNING);
}
