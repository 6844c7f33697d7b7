/*
 * Edition identification: the sizes of three installed files tell which of
 * the eight known editions is installed.
 */
#include "discovery/discovery.h"

#include "common/install_path.h"
#include "common/report.h"

/* The files measured, in the order they are opened; only the first that
 * cannot be opened is reported. */
enum { MEASURED_FILES = 3 };
static const char *const kMeasuredFiles[MEASURED_FILES] = {"data.xp3", "ext.xp3", "auxtrans.dll"};

/* One row per known state of an installation, searched in order; the first
 * row whose three sizes all match gives the edition. Even editions are the
 * plain line, odd ones the a-line. */
struct EditionRow {
    int edition;
    DWORD sizes[MEASURED_FILES];
};

static const EditionRow EditionTable[] = {
    /*             data.xp3 ext.xp3 auxtrans.dll */
    {VER1_00,  {138471, 39808, 69632}},
    {VER1_00A, {138471, 30070, 69632}},
    {VER1_01,  {138482, 39808, 69632}},
    {VER1_01A, {138482, 30070, 69632}},
    {VER1_02,  {138482, 30931, 69632}},
    {VER1_02A, {138482, 59697, 69632}},
    {VER1_03,  {138482, 30928, 90112}},
    {VER1_03A, {138482, 59697, 90112}},
    /* A plain-line update stopped after its new ext.xp3 and before the new
     * auxtrans.dll: the rest of ver1.02's plan finishes it. The a-line's
     * stopped state already has ver1.02a's sizes. */
    {VER1_02,  {138482, 30928, 69632}},
};

enum {
    E_NO_MEMORY = 101,
    E_NOT_OPENED = 102,
    E_NO_MATCH = 103
};

int IdentifyEdition(const char *installDir)
{
    /* One path buffer, made before anything is opened and reused for the
     * three files. */
    char *path = JoinInstallPath(installDir, kMeasuredFiles[0], E_NO_MEMORY);
    if (path == NULL)
        return EDITION_UNKNOWN;

    /* Each file is opened for reading only and measured. A failed size query
     * yields all bits set, which matches no row. The last file stays open
     * until the search has ended. */
    int edition = EDITION_UNKNOWN;
    DWORD sizes[MEASURED_FILES];
    HANDLE file = INVALID_HANDLE_VALUE;
    bool measured = true;
    for (int i = 0; i < MEASURED_FILES && measured; i++) {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        wsprintfA(path, "%s%s", installDir, kMeasuredFiles[i]);
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            ReportFailure(E_NOT_OPENED, kTextNotOpened, kMeasuredFiles[i]);
            measured = false;
        } else {
            sizes[i] = GetFileSize(file, NULL);
        }
    }

    if (measured) {
        for (const EditionRow &row : EditionTable) {
            if (row.sizes[0] == sizes[0] && row.sizes[1] == sizes[1] && row.sizes[2] == sizes[2]) {
                edition = row.edition;
                break;
            }
        }
        if (edition == EDITION_UNKNOWN)
            ReportFailure(E_NO_MATCH, kTextNotWellhaven);
    }

    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    GlobalFree(path);
    return edition;
}
