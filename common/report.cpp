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

/* The longest text is E103's; a file name has at most 31 bytes. */
enum { kReportBufferSize = 292 };

/* File names are bare names of at most 31 bytes: room for the longest one. */
enum { kFileNameRoom = 32 };

void ReportFailure(int code, const char *sentence, const char *fileName)
{
    char text[kReportBufferSize];
    int codeLength = wsprintfA(text, "E%03d: ", code);
    wsprintfA(text + codeLength, sentence, fileName);
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONWARNING);
}

char *JoinInstallPath(const char *installDir, const char *fileName, int noMemoryCode)
{
    char *path = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)lstrlenA(installDir) + kFileNameRoom);
    if (path == NULL) {
        ReportFailure(noMemoryCode, kTextNoMemory);
        return NULL;
    }
    wsprintfA(path, "%s%s", installDir, fileName);
    return path;
}
