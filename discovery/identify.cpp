/*
 * Edition identification: the sizes of three installed files tell which of
 * the eight known editions is installed.
 */
#include "discovery/discovery.h"

#include "common/report.h"

/* Searched from row 0 to 7; the first row whose three sizes all match wins.
 * Even rows are the plain line, odd rows the a-line. */
static const struct {
    DWORD dataXp3[EDITION_COUNT];
    DWORD extXp3[EDITION_COUNT];
    DWORD auxtransDll[EDITION_COUNT];
} EditionTable = {
    /*  ver1.00 ver1.00a  ver1.01 ver1.01a  ver1.02 ver1.02a  ver1.03 ver1.03a */
    {138471, 138471, 138482, 138482, 138482, 138482, 138482, 138482},
    {39808, 30070, 39808, 30070, 30931, 59697, 30928, 59697},
    {69632, 69632, 69632, 69632, 69632, 69632, 90112, 90112},
};

enum {
    E_NO_MEMORY = 101,
    E_NOT_OPENED = 102,
    E_NO_MATCH = 103
};

/* Opens installDir + fileName for reading and measures it. Returns the open
 * handle, or INVALID_HANDLE_VALUE after showing E102 with the file's name.
 * A failed size query yields all bits set, which matches no row. */
static HANDLE OpenAndMeasure(char *path, const char *installDir, const char *fileName, DWORD *size)
{
    wsprintfA(path, "%s%s", installDir, fileName);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        ReportOpenFailure(E_NOT_OPENED, fileName);
        return INVALID_HANDLE_VALUE;
    }
    *size = GetFileSize(file, NULL);
    return file;
}

int IdentifyEdition(const char *installDir)
{
    /* Room for the longest name appended to the folder. */
    char *path = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)lstrlenA(installDir) + 32);
    if (path == NULL) {
        ReportFailure(E_NO_MEMORY, kTextNoMemory);
        return EDITION_UNKNOWN;
    }

    int edition = EDITION_UNKNOWN;
    DWORD dataSize = 0;
    DWORD extSize = 0;
    DWORD auxtransSize = 0;
    HANDLE file = OpenAndMeasure(path, installDir, "data.xp3", &dataSize);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        file = OpenAndMeasure(path, installDir, "ext.xp3", &extSize);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        file = OpenAndMeasure(path, installDir, "auxtrans.dll", &auxtransSize);
    }
    if (file != INVALID_HANDLE_VALUE) {
        for (int row = 0; row < EDITION_COUNT; row++) {
            if (EditionTable.dataXp3[row] == dataSize && EditionTable.extXp3[row] == extSize &&
                EditionTable.auxtransDll[row] == auxtransSize) {
                edition = row;
                break;
            }
        }
        CloseHandle(file);
        if (edition == EDITION_UNKNOWN)
            ReportFailure(E_NO_MATCH, kTextNotWellhaven);
    }

    GlobalFree(path);
    return edition;
}
