/*
 * Scratch files: a new, empty, uniquely named file in the temporary folder.
 */
#include "replace/replace.h"

enum {
    E_NO_TEMP_FOLDER = 301,
    E_NO_TEMP_FILE = 302
};

BOOL MakeScratchFile(char *name)
{
    char folder[SCRATCH_NAME_SIZE];

    /* A folder that does not fit makes the system report the size it needs
     * instead, with nothing in the buffer: that is no folder either. */
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) {
        ReportFailure(E_NO_TEMP_FOLDER, kTextNoScratchFile);
        return FALSE;
    }

    /* With a unique number of 0 the system picks one and creates the file. */
    if (GetTempFileNameA(folder, "xp3", 0, name) == 0) {
        ReportFailure(E_NO_TEMP_FILE, kTextNoScratchFile);
        return FALSE;
    }
    return TRUE;
}
