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
 * side file left by a stopped run is replaced by the next run's instead of
 * piling up. ".new" makes no name the game loads: not an archive, not a
 * library. One run at a time (the controller's lock) keeps two runs off it. */
static const char kSideSuffix[] = ".new";

/* The read-back goes through one buffer of at most this many bytes. */
static const DWORD kReadBackChunk = 65536;

/* A scanner, an indexer, a backup agent or the game itself may hold a file
 * for a moment just when the commit needs it: a call refused for access or
 * sharing is tried again, five more times, 200 ms apart. Anything else (a
 * full disk, say) fails at once. */
enum { kCommitRetries = 5, kCommitRetryPause = 200 };

enum CommitCall { COPY_TO_SIDE, OPEN_SIDE, RENAME_OVER_TARGET };

/* Makes one call of the commit, again while the refusal may pass. */
static bool TryCommitCall(CommitCall call, const char *scratchName, const char *side, const char *target,
                          HANDLE *file)
{
    for (int retry = 0;; retry++) {
        bool done;
        if (call == COPY_TO_SIDE) {
            /* Created new, never opened where it stands: a name planted
             * after the delete below stops the copy instead of having the
             * new bytes written through it. */
            done = CopyFileA(scratchName, side, TRUE) != FALSE;
        } else if (call == OPEN_SIDE) {
            /* Others may read it meanwhile, as a scanner does. */
            *file = CreateFileA(side, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
            done = *file != INVALID_HANDLE_VALUE;
        } else {
            /* Write-through matters only to a move that has to copy, which a
             * rename beside the target never is: the side file's bytes were
             * made durable before. */
            done = MoveFileExA(side, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        }
        if (done)
            return true;
        DWORD error = GetLastError();
        if (retry == kCommitRetries ||
            (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION))
            return false;
        Sleep(kCommitRetryPause);
    }
}

/* What became of the side file. */
enum SideResult { SIDE_READY, SIDE_FAILED, SIDE_MISMATCH };

/* Copies the scratch file to the side file, makes its bytes durable (after a
 * power cut it must never become the target half written) and reads them
 * back: they must be the expected file, whatever happened to the scratch
 * file or the installed copy. Shows the code of a failed step, or of the
 * mismatch, itself. */
static SideResult WriteSide(const char *scratchName, const char *side, BYTE *buffer, DWORD bufferSize,
                            const Commit *commit)
{
    if (!TryCommitCall(COPY_TO_SIDE, scratchName, side, NULL, NULL)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
        return SIDE_FAILED;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!TryCommitCall(OPEN_SIDE, NULL, side, NULL, &file)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
        return SIDE_FAILED;
    }
    SideResult result = SIDE_FAILED;
    const ReadCodes readCodes = {commit->failed, commit->failed};
    DWORD crc = 0;
    if (!FlushFileBuffers(file)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
    } else {
        /* All of it, whatever its size: a file of another length cannot have
         * the expected CRC-32 of the expected length. */
        DWORD size = GetFileSize(file, NULL);
        if (size == INVALID_FILE_SIZE)
            ReportFailure(commit->failed, kTextNoPatchFile);
        else if (ReadCrc(file, size, buffer, bufferSize, &readCodes, &crc))
            result = crc == commit->crc ? SIDE_READY : SIDE_MISMATCH;
        if (result == SIDE_MISMATCH)
            ReportFailure(commit->mismatch, commit->mismatchText, commit->fileName);
    }
    CloseHandle(file);
    return result;
}

bool MoveScratchOver(const char *scratchName, const char *target, const Commit *commit)
{
    /* One block holds the side name and the read-back buffer. */
    const DWORD nameSize = (DWORD)lstrlenA(target) + sizeof kSideSuffix;
    const DWORD bufferSize = commit->size != 0 && commit->size < kReadBackChunk ? commit->size : kReadBackChunk;
    char *side = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)nameSize + bufferSize);
    if (side == NULL) {
        ReportFailure(commit->failed, kTextNoPatchFile);
        return false;
    }
    wsprintfA(side, "%s%s", target, kSideSuffix);

    /* Whatever holds the side name goes first: a file left by a stopped
     * run, or a name planted there, perhaps a second name of a file
     * elsewhere, whose content and attributes are not the updater's to
     * touch. Its result is not needed: a name still there stops the copy. */
    DeleteFileA(side);

    /* The target is replaced whole, in one rename, or not at all: until the
     * rename it is the old file, after it the new one, durable. */
    SideResult result = WriteSide(scratchName, side, (BYTE *)side + nameSize, bufferSize, commit);
    if (result == SIDE_READY && !TryCommitCall(RENAME_OVER_TARGET, NULL, side, target, NULL)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
        result = SIDE_FAILED;
    }
    if (result != SIDE_READY) {
        DeleteFileA(side);
        GlobalFree(side);
        if (result == SIDE_MISMATCH)
            DeleteFileA(scratchName);
        return false;
    }
    GlobalFree(side);

    /* The mark goes on the target after the rename, so a side file is never
     * hidden; like the delete of the scratch file, its result is not needed
     * for the target's content. */
    if (commit->attributes != FILE_ATTRIBUTE_NORMAL)
        SetFileAttributesA(target, commit->attributes);
    DeleteFileA(scratchName);
    return true;
}
