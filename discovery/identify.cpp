/*
 * Edition identification: the sizes of three installed files tell which of
 * the eight known editions is installed.
 */
#include "discovery/discovery.h"

#include "common/report.h"

/* The files measured, in the order they are opened; only the first that
 * cannot be opened is reported. */
enum { MEASURED_FILES = 3 };
static const char *const kMeasuredFiles[MEASURED_FILES] = {"data.xp3", "ext.xp3", "auxtrans.dll"};

/* One row per edition, searched from ver1.00 on; the first row whose three
 * sizes all match wins. Even rows are the plain line, odd rows the a-line. */
static const DWORD EditionTable[EDITION_COUNT][MEASURED_FILES] = {
    /*          data.xp3 ext.xp3 auxtrans.dll */
    /* ver1.00  */ {138471, 39808, 69632},
    /* ver1.00a */ {138471, 30070, 69632},
    /* ver1.01  */ {138482, 39808, 69632},
    /* ver1.01a */ {138482, 30070, 69632},
    /* ver1.02  */ {138482, 30931, 69632},
    /* ver1.02a */ {138482, 59697, 69632},
    /* ver1.03  */ {138482, 30928, 90112},
    /* ver1.03a */ {138482, 59697, 90112},
};

enum {
    E_NO_MEMORY = 101,
    E_NOT_OPENED = 102,
    E_NO_MATCH = 103
};

/* Opens installDir + fileName for reading only and measures it. A failed
 * size query yields all bits set, which matches no row. Returns false after
 * showing E101, or E102 with the file's name. */
static bool Measure(const char *installDir, const char *fileName, DWORD *size)
{
    char *path = JoinInstallPath(installDir, fileName, E_NO_MEMORY);
    if (path == NULL)
        return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    GlobalFree(path);
    if (file == INVALID_HANDLE_VALUE) {
        ReportFailure(E_NOT_OPENED, kTextNotOpened, fileName);
        return false;
    }
    *size = GetFileSize(file, NULL);
    CloseHandle(file);
    return true;
}

int IdentifyEdition(const char *installDir)
{
    DWORD sizes[MEASURED_FILES];
    for (int i = 0; i < MEASURED_FILES; i++) {
        if (!Measure(installDir, kMeasuredFiles[i], &sizes[i]))
            return EDITION_UNKNOWN;
    }

    for (int edition = 0; edition < EDITION_COUNT; edition++) {
        const DWORD *row = EditionTable[edition];
        if (row[0] == sizes[0] && row[1] == sizes[1] && row[2] == sizes[2])
            return edition;
    }
    ReportFailure(E_NO_MATCH, kTextNotWellhaven);
    return EDITION_UNKNOWN;
}
