/*
 * Edition identification: the sizes of three installed files tell which of
 * the eight known editions is installed.
 */
#include "discovery/discovery.h"

#include "common/install_path.h"
#include "common/report.h"
#include "release_catalogue.h"

/* The files measured, in the order they are opened; only the first that
 * cannot be opened is reported. */
enum { MEASURED_FILES = 3 };
static const char *const kMeasuredFiles[MEASURED_FILES] = {"data.xp3", "ext.xp3", "auxtrans.dll"};

/* One row per known state of an installation, searched in order; the first
 * row whose three sizes all match gives the edition. The rows are the
 * release catalogue's: each edition's, then those of an update stopped part
 * way with the edition that finishes it. Even editions are the plain line,
 * odd ones the a-line. */
struct EditionRow {
    int edition;
    DWORD sizes[MEASURED_FILES]; /* in the order of kMeasuredFiles */
};

static const EditionRow EditionTable[] = {EDITION_ROWS};

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
