/*
 * Scratch files: a new, empty, uniquely named file in the temporary folder,
 * which an operation fills and then commits over its target.
 */
#include "replace/replace.h"

enum {
    E_NO_TEMP_FOLDER = 301,
    E_NO_TEMP_FILE = 302
};

bool MakeScratchFile(char *name)
{
    char folder[SCRATCH_NAME_SIZE];

    /* A folder that does not fit makes the system report the size it needs
     * instead, with nothing in the buffer: that is no folder either. */
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) {
        ReportFailure(E_NO_TEMP_FOLDER, kTextNoScratchFile);
        return false;
    }

    /* With a unique number of 0 the system picks one and creates the file.
     * The name is the folder, the prefix, up to four hex digits and ".tmp",
     * so a folder longer than the path limit less 14 leaves it no room:
     * Windows refuses such a folder, and Wine would hand back a name cut off
     * at the limit, naming no file, so it is refused here for both. */
    if (length > SCRATCH_NAME_SIZE - 14 || GetTempFileNameA(folder, "xp3", 0, name) == 0) {
        ReportFailure(E_NO_TEMP_FILE, kTextNoScratchFile);
        return false;
    }
    return true;
}
