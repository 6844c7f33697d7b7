/*
 * Scratch files: a new, empty, uniquely named file in the temporary folder,
 * the checked write that fills one, and the commit that makes one the
 * target.
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

void CloseFile(HANDLE *file)
{
    if (*file != INVALID_HANDLE_VALUE)
        CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
}

bool WriteScratch(HANDLE file, const void *bytes, DWORD count, const WriteCodes *codes)
{
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, NULL)) {
        ReportFailure(codes->failed, kTextNoPatchFile);
        return false;
    }
    if (written != count) {
        ReportFailure(codes->shortWrite, kTextNoPatchFile);
        return false;
    }
    return true;
}

/* The side file a target is committed through: beside it, so that the
 * rename stays on one volume and is one step, and named after it, so that a
 * side file left by a stopped run is overwritten by the next run's instead
 * of piling up. ".new" makes no name the game loads: not an archive, not a
 * library. One run at a time (the controller's lock) keeps two runs off it. */
static const char kSideSuffix[] = ".new";

/* Copies the scratch file to the side file and makes its bytes durable:
 * after a power cut it must never become the target half written. */
static bool WriteSide(const char *scratchName, const char *side)
{
    if (!CopyFileA(scratchName, side, FALSE))
        return false;
    HANDLE file = CreateFileA(side, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed != FALSE;
}

bool MoveScratchOver(const char *scratchName, const char *target, DWORD attributes, int copyFailedCode)
{
    char *side = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)lstrlenA(target) + sizeof kSideSuffix);
    if (side == NULL) {
        ReportFailure(copyFailedCode, kTextNoPatchFile);
        return false;
    }
    wsprintfA(side, "%s%s", target, kSideSuffix);

    /* The target is replaced whole, in one rename, or not at all: until the
     * rename it is the old file, after it the new one, durable. */
    if (!WriteSide(scratchName, side) ||
        !MoveFileExA(side, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ReportFailure(copyFailedCode, kTextNoPatchFile);
        DeleteFileA(side);
        GlobalFree(side);
        return false;
    }
    GlobalFree(side);

    /* The mark goes on the target after the rename, so a side file is never
     * hidden and can always be overwritten; like the delete of the scratch
     * file, its result is not needed for the target's content. */
    if (attributes != FILE_ATTRIBUTE_NORMAL)
        SetFileAttributesA(target, attributes);
    DeleteFileA(scratchName);
    return true;
}
