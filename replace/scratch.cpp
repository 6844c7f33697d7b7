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

/* Makes one call of the commit, again while the refusal may pass. A copy
 * also waits out ERROR_FILE_EXISTS when sideDeleted: the delete before it
 * removed the side name, but a program that held that file with delete
 * sharing keeps the name until it lets go, and Wine answers so meanwhile. */
static bool TryCommitCall(CommitCall call, const char *scratchName, const char *side, const char *target,
                          bool sideDeleted, HANDLE *file)
{
    for (int retry = 0;; retry++) {
        bool done;
        if (call == COPY_TO_SIDE) {
            /* Created new, never opened where it stands: a name planted
             * after the delete below stops the copy instead of having the
             * new bytes written through it. */
            done = CopyFileA(scratchName, side, TRUE) != FALSE;
        } else if (call == OPEN_SIDE) {
            /* Others may read it meanwhile, as a scanner does, but not
             * write it; the handle shares delete so that the rename can
             * take the file while it is held. */
            *file = CreateFileA(side, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
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
        bool passing = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                       error == ERROR_LOCK_VIOLATION ||
                       (call == COPY_TO_SIDE && sideDeleted && error == ERROR_FILE_EXISTS);
        if (retry == kCommitRetries || !passing)
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
 * mismatch, itself. When the side file is ready, *file is left open on it,
 * so that nobody else can write it until it is renamed; otherwise it is
 * closed. */
static SideResult WriteSide(const char *scratchName, const char *side, bool sideDeleted, BYTE *buffer,
                            DWORD bufferSize, const Commit *commit, HANDLE *file)
{
    if (!TryCommitCall(COPY_TO_SIDE, scratchName, side, NULL, sideDeleted, NULL)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
        return SIDE_FAILED;
    }
    if (!TryCommitCall(OPEN_SIDE, NULL, side, NULL, false, file)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
        return SIDE_FAILED;
    }
    SideResult result = SIDE_FAILED;
    const ReadCodes readCodes = {commit->failed, commit->failed};
    DWORD crc = 0;
    if (!FlushFileBuffers(*file)) {
        ReportFailure(commit->failed, kTextNoPatchFile);
    } else {
        /* All of it, whatever its size: a file of another length cannot have
         * the expected CRC-32 of the expected length. */
        DWORD size = GetFileSize(*file, NULL);
        if (size == INVALID_FILE_SIZE)
            ReportFailure(commit->failed, kTextNoPatchFile);
        else if (ReadCrc(*file, size, buffer, bufferSize, &readCodes, &crc))
            result = crc == commit->crc ? SIDE_READY : SIDE_MISMATCH;
        if (result == SIDE_MISMATCH)
            ReportFailure(commit->mismatch, commit->mismatchText, commit->fileName);
    }
    if (result != SIDE_READY)
        CloseFile(file);
    return result;
}

/* Renames the checked side file over the target. A target that is to carry
 * attributes of its own (a signature) may be read-only, which a rename
 * refuses: that bit alone is cleared right before, and the target's word
 * is written back when the rename fails, so a failed commit leaves the
 * target as it was, marks included. A normal target is left as it is:
 * read-only, it refuses the rename. */
static bool RenameOverTarget(const char *side, const char *target, const Commit *commit)
{
    DWORD kept = INVALID_FILE_ATTRIBUTES;
    if (commit->attributes != FILE_ATTRIBUTE_NORMAL) {
        DWORD word = GetFileAttributesA(target);
        if (word != INVALID_FILE_ATTRIBUTES && (word & FILE_ATTRIBUTE_READONLY)) {
            DWORD cleared = word & ~FILE_ATTRIBUTE_READONLY;
            if (SetFileAttributesA(target, cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL))
                kept = word;
        }
    }
    if (TryCommitCall(RENAME_OVER_TARGET, NULL, side, target, false, NULL))
        return true;
    if (kept != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesA(target, kept);
    ReportFailure(commit->failed, kTextNoPatchFile);
    return false;
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
     * touch. A name still there stops the copy; one whose delete waits for
     * another program to let go is waited for. */
    const bool sideDeleted = DeleteFileA(side) != FALSE;

    /* The target is replaced whole, in one rename, or not at all: until the
     * rename it is the old file, after it the new one, durable. The handle
     * on the side file stays open through the rename, so the bytes renamed
     * are the bytes checked: no other program can write them meanwhile. One
     * that may rename or delete files in the game folder still can take the
     * side file away, but such a program could as well replace the target
     * after the update. */
    HANDLE file = INVALID_HANDLE_VALUE;
    SideResult result =
        WriteSide(scratchName, side, sideDeleted, (BYTE *)side + nameSize, bufferSize, commit, &file);
    if (result == SIDE_READY && !RenameOverTarget(side, target, commit))
        result = SIDE_FAILED;
    CloseFile(&file);
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
