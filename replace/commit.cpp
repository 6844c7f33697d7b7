/*
 * The commit: a filled scratch file becomes its target in one rename. It is
 * copied to a side file beside the target, made durable, read back and
 * checked, and renamed over the target while still held, so the target is
 * at every moment either the old file or the release's new one.
 */
#include "replace/replace.h"

/* The side file a target is committed through: beside it, so that the
 * rename stays on one volume and is one step, and named after it, so that a
 * side file left by a stopped run is replaced by the next run's instead of
 * piling up. ".new" makes no name the game loads: not an archive, not a
 * library. One run at a time (the controller's lock) keeps two runs off it. */
static const char kSideSuffix[] = ".new";

/* Called right after a call of the commit was refused, with the tries made
 * again so far: whether the refusal may pass, after a pause. Anything but a
 * refusal for access, sharing or a lock (a full disk, say) fails at once,
 * and so does a name that exists, unless it is one the commit deleted: a
 * file deleted while another program holds it with delete sharing keeps its
 * name until that program lets go, and Wine refuses the name meanwhile with
 * ERROR_FILE_EXISTS. */
static bool RetryAfterPause(int *retries, bool nameDeleted)
{
    DWORD error = GetLastError();
    bool passing = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                   error == ERROR_LOCK_VIOLATION || (nameDeleted && error == ERROR_FILE_EXISTS);
    if (!passing || *retries == kRetries)
        return false;
    ++*retries;
    Sleep(kRetryPause);
    return true;
}

/* What became of the side file. */
enum SideState { SIDE_READY, SIDE_FAILED, SIDE_MISMATCH };

/* Shows the code of a failed step of the commit; returns what became of the
 * side file. */
static SideState Failed(const Commit *commit)
{
    ReportFailure(commit->failed, kTextNoPatchFile);
    return SIDE_FAILED;
}

/* Copies the scratch file to the side file, makes its bytes durable (after a
 * power cut it must never become the target half written) and reads them
 * back: they must be the expected file, whatever happened to the scratch
 * file or the installed copy. Shows the code of a failed step, or of the
 * mismatch, itself. A ready side file is left open in *file, so that nobody
 * else can write it until it is renamed; otherwise *file is closed. */
static SideState MakeSideFile(const char *scratchName, const char *side, bool sideDeleted, BYTE *buffer,
                              DWORD bufferSize, const Commit *commit, HANDLE *file)
{
    /* Created new, never opened where it stands: a name planted after the
     * delete stops the copy instead of having the new bytes written through
     * it. */
    int retries = 0;
    while (!CopyFileA(scratchName, side, TRUE)) {
        if (!RetryAfterPause(&retries, sideDeleted))
            return Failed(commit);
    }

    /* Others may read it meanwhile, as a scanner does, but not write it; the
     * handle shares delete so that the rename can take the file while it is
     * held. */
    retries = 0;
    while ((*file = CreateFileA(side, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)) == INVALID_HANDLE_VALUE) {
        if (!RetryAfterPause(&retries, false))
            return Failed(commit);
    }

    SideState state = SIDE_FAILED;
    const ReadCodes readCodes = {commit->failed, commit->failed};
    DWORD crc = 0;
    if (!FlushFileBuffers(*file)) {
        Failed(commit);
    } else {
        /* All of it, whatever its size: a file of another length cannot have
         * the expected CRC-32 of the expected length. */
        DWORD size = GetFileSize(*file, NULL);
        if (size == INVALID_FILE_SIZE)
            Failed(commit);
        else if (ReadCrc(*file, size, buffer, bufferSize, &readCodes, &crc))
            state = crc == commit->crc ? SIDE_READY : SIDE_MISMATCH;
        if (state == SIDE_MISMATCH)
            ReportFailure(commit->mismatch, commit->mismatchText, commit->fileName);
    }
    if (state != SIDE_READY)
        CloseFile(file);
    return state;
}

/* Renames the checked side file over the target. A target that is to carry
 * attributes of its own (a signature) may be read-only, which a rename
 * refuses: that bit alone is cleared right before, and the target's word is
 * written back when the rename fails, so a failed commit leaves the target
 * as it was, marks included. A normal target is left as it is: read-only,
 * it refuses the rename. */
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

    /* Write-through matters only to a move that has to copy, which a rename
     * beside the target never is: the side file's bytes were made durable
     * before. */
    int retries = 0;
    while (!MoveFileExA(side, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (!RetryAfterPause(&retries, false)) {
            if (kept != INVALID_FILE_ATTRIBUTES)
                SetFileAttributesA(target, kept);
            Failed(commit);
            return false;
        }
    }
    return true;
}

bool CommitScratch(const char *scratchName, const char *target, const Commit *commit)
{
    /* One block holds the side name and the read-back buffer. */
    const DWORD nameSize = (DWORD)lstrlenA(target) + sizeof kSideSuffix;
    const DWORD bufferSize = commit->size != 0 && commit->size < kReadBackChunk ? commit->size : kReadBackChunk;
    char *side = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)nameSize + bufferSize);
    if (side == NULL) {
        Failed(commit);
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
     * rename it is the old file, after it the new one, durable. The side
     * file stays open from its read-back through the rename, so the bytes
     * renamed are the bytes checked. A program that may rename or delete
     * files in the game folder can still take the side file away, but it
     * could as well replace the target after the update. */
    HANDLE file = INVALID_HANDLE_VALUE;
    SideState state = MakeSideFile(scratchName, side, sideDeleted, (BYTE *)side + nameSize, bufferSize, commit, &file);
    if (state == SIDE_READY && !RenameOverTarget(side, target, commit))
        state = SIDE_FAILED;
    CloseFile(&file);
    if (state != SIDE_READY) {
        DeleteFileA(side);
        GlobalFree(side);
        if (state == SIDE_MISMATCH)
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
