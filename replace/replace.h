/*
 * File replacement: every change to the install folder is written to a
 * scratch file in the temporary folder first and then committed over its
 * target in one rename, so a step that fails or stops anywhere leaves the
 * target either as it was or finished.
 */
#ifndef WELLHAVEN_REPLACE_H
#define WELLHAVEN_REPLACE_H

#include "common/report.h"
#include "platform/winapi.h"

/* Scratch names and the temporary folder fit the platform's path limit. */
enum { SCRATCH_NAME_SIZE = 260 };

/* Fills name (SCRATCH_NAME_SIZE bytes) with the path of a new, empty,
 * uniquely named file in the temporary folder. Returns false after showing
 * E301 or E302. */
bool MakeScratchFile(char *name);

/* The codes an operation shows when a write to its scratch file fails. */
struct WriteCodes {
    int failed; /* the call failed */
    int shortWrite; /* it wrote fewer bytes than asked */
};

/* Writes count bytes to file. Returns false after showing the code of the
 * check that failed. */
bool WriteScratch(HANDLE file, const void *bytes, DWORD count, const WriteCodes *codes);

/* Commits the filled and closed scratch file to target: copies it to a side
 * file beside the target (target + ".new"), makes that durable and renames
 * it over the target in one step, so the target is at every moment either
 * the old file or the new one. Then gives the target attributes unless they
 * are FILE_ATTRIBUTE_NORMAL (which leaves what the side file gave it) and
 * deletes the scratch file. Returns false after showing copyFailedCode; the
 * side file is then removed, the target is as it was and the scratch file
 * stays in the temporary folder. */
bool MoveScratchOver(const char *scratchName, const char *target, DWORD attributes, int copyFailedCode);

/* Closes *file unless it is already closed (INVALID_HANDLE_VALUE), and marks
 * it closed. */
void CloseFile(HANDLE *file);

/* The codes an operation shows when its payload cannot be had. */
struct PayloadCodes {
    int notFound;
    int notLoaded; /* also: the payload is shorter than the operation needs */
    int notLocked;
};

/* Finds, loads and locks payload payloadId (type "BINARY") of module, which
 * must hold at least `needed` bytes: the operations write straight from the
 * resource and never read past what it holds. Returns the payload's bytes,
 * or NULL after showing the failing check's code. *loaded is set to what the
 * caller releases with FreeResource, NULL when nothing was loaded. */
const BYTE *LoadPayload(HMODULE module, WORD payloadId, unsigned long long needed, const PayloadCodes *codes,
                        HGLOBAL *loaded);

/* Releases what LoadPayload loaded, if anything. */
void ReleasePayload(HGLOBAL loaded);

/* How an archive is rebuilt from the installed copy and a payload. The
 * finished file is: payload bytes 0-15 (the head), keepFirst installed bytes
 * from offset 16, insertFirst payload bytes from offset 16, keepSecond
 * installed bytes from 16 + keepFirst + skipOld, and insertTail payload bytes
 * from 16 + insertFirst. The payload holds 16 + insertFirst + insertTail
 * bytes; finishedSize = 16 + keepFirst + insertFirst + keepSecond + insertTail. */
struct SpliceRecipe {
    DWORD finishedSize;
    DWORD keepFirst;
    DWORD insertFirst;
    DWORD skipOld;
    DWORD keepSecond;
    DWORD insertTail;
};

/* Rebuilds installDir + fileName by the recipe from the installed copy and
 * payload payloadId (type "BINARY" in module). A file that already has
 * finishedSize bytes counts as done and is not touched. Returns true on
 * success, false after showing an error box (E201 to E212, or E301/E302). */
bool SplicePatch(const char *installDir, const char *fileName, const SpliceRecipe *recipe, WORD payloadId,
                       HMODULE module);

/* Writes the first length bytes of payload payloadId over installDir +
 * fileName. Attributes other than FILE_ATTRIBUTE_NORMAL are cleared before
 * the copy and set after it; normal ones leave the target's attributes alone.
 * Returns true on success, false after showing an error box (E501 to E508, or
 * E301/E302). */
bool PlaceWholeFile(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                          WORD payloadId, HMODULE module);

/* Writes a 212-byte signature file from payload payloadId as a hidden file,
 * over an existing one too. Returns true on success, false after showing an
 * error box (E401 to E408, or E301/E302). */
bool PlaceSignature(const char *installDir, const char *fileName, WORD payloadId, HMODULE module);

#endif
