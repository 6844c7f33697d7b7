/*
 * File replacement: every change to the install folder is written to a
 * scratch file in the temporary folder first and then committed over its
 * target in one rename, so a step that fails or stops anywhere leaves the
 * target either as it was or finished.
 */
#ifndef WELLHAVEN_REPLACE_H
#define WELLHAVEN_REPLACE_H

#include "common/install_path.h"
#include "common/report.h"
#include "platform/winapi.h"

/* ---- Scratch files */

/* Scratch names and the temporary folder fit the platform's path limit. */
enum { SCRATCH_NAME_SIZE = 260 };

/* Fills name (SCRATCH_NAME_SIZE bytes) with the path of a new, empty,
 * uniquely named file in the temporary folder. Returns false after showing
 * E301 or E302. */
bool MakeScratchFile(char *name);

/* ---- Checked file calls */

/* The codes an operation shows when a read fails. */
struct ReadCodes {
    int failed;    /* the call failed */
    int shortRead; /* it read fewer bytes than asked */
};

/* The codes an operation shows when a write fails. */
struct WriteCodes {
    int failed;     /* the call failed */
    int shortWrite; /* it wrote fewer bytes than asked */
};

/* Closes *file unless it is already closed (INVALID_HANDLE_VALUE), and marks
 * it closed. */
void CloseFile(HANDLE *file);

/* Reads count bytes from file's position into buffer. Returns false after
 * showing the code of the check that failed. */
bool ReadChecked(HANDLE file, BYTE *buffer, DWORD count, const ReadCodes *codes);

/* Writes count bytes to file. Returns false after showing the code of the
 * check that failed. */
bool WriteChecked(HANDLE file, const void *bytes, DWORD count, const WriteCodes *codes);

/* Moves file's position by distance from method (FILE_BEGIN, FILE_CURRENT).
 * Returns false after showing failedCode. */
bool SeekChecked(HANDLE file, DWORD distance, DWORD method, int failedCode);

/* The CRC-32 of zip and PNG (reflected polynomial 0xEDB88320, initial and
 * final value all ones) of count more bytes after those that gave crc; 0
 * before the first byte. */
DWORD Crc32(DWORD crc, const BYTE *bytes, DWORD count);

/* Reads length bytes from file's position, bufferSize at a time through
 * buffer, and gives their CRC-32 in *crc. Returns false after showing the
 * code of the check that failed. */
bool ReadCrc(HANDLE file, DWORD length, BYTE *buffer, DWORD bufferSize, const ReadCodes *codes, DWORD *crc);

/* ---- Payloads */

/* A payload the updater carries in its resources (type "BINARY"): its
 * resource id, its size and the CRC-32 the release gives its bytes. */
struct Payload {
    WORD id;
    DWORD size;
    DWORD crc;
};

/* The codes an operation shows when its payload cannot be had. */
struct PayloadCodes {
    int notFound;
    int notLoaded; /* also: the payload is shorter than the operation needs */
    int notLocked;
    int damaged; /* the bytes it needs are not the release's */
};

/* Finds, loads and locks payload->id of module, which must hold at least
 * `needed` bytes whose CRC-32 is payload->crc: the operations
 * write straight from the resource and never read past what it holds, and
 * a damaged updater must not write its damage into the game. Returns the
 * payload's bytes, or NULL after showing the failing check's code. *loaded
 * is set to what the caller releases with ReleasePayload, NULL when nothing
 * was loaded. */
const BYTE *LoadPayload(HMODULE module, const Payload *payload, unsigned long long needed, const PayloadCodes *codes,
                        HGLOBAL *loaded);

/* Releases what LoadPayload loaded, if anything. */
void ReleasePayload(HGLOBAL loaded);

/* ---- The commit */

/* What a commit puts in place: the finished file's size and CRC-32, and
 * the codes it shows. Any step that fails shows failed; a side file that is
 * not the expected one (a kept run damaged in the installed copy, a scratch
 * file changed in the temporary folder, a bad copy) shows mismatch with its
 * sentence, which may name fileName. */
struct Commit {
    DWORD size; /* the finished file's: sizes the read-back's buffer, which reads all the side file holds */
    DWORD crc;
    DWORD attributes; /* given to the target after the rename, unless FILE_ATTRIBUTE_NORMAL */
    int failed;
    int mismatch;
    const char *mismatchText;
    const char *fileName;
};

/* The read-back goes through one buffer of at most this many bytes. */
static const DWORD kReadBackChunk = 65536;

/* A scanner, an indexer, a backup agent or the game itself may hold a file
 * for a moment just when the commit needs it: a call refused for access or
 * sharing is tried again, five more times, 200 ms apart. */
enum { kRetries = 5, kRetryPause = 200 };

/* Commits the filled and closed scratch file to target: removes whatever
 * holds the side name beside the target (target + ".new"), copies the
 * scratch file to a side file made new, makes that durable, reads it back
 * and compares it with the expected file, and renames it over the target in
 * one step, so the target is at every moment either the old file or the new
 * one; the side file is held open from its read-back through the rename, so
 * nobody writes it in between. A copy, reopen or rename refused for access
 * or sharing (a scanner, an indexer or the game holding the file for a
 * moment), and a copy onto a side name whose delete waits for such a
 * program, is tried again for about a second. Then gives the target its
 * attributes and deletes the scratch file. Returns false after showing a
 * code; the side file is then removed and the target is as it was, content
 * and attributes; the scratch file stays in the temporary folder after a
 * failed step, and goes after a mismatch, since its bytes are not the
 * release's. */
bool CommitScratch(const char *scratchName, const char *target, const Commit *commit);

/* ---- Splice patching */

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
 * the payload in module, whose first 16 + insertFirst + insertTail bytes
 * must have the payload's CRC-32; the finished file must have finishedCrc. A file that
 * already has finishedSize bytes and finishedCrc counts as done and is not
 * touched; one of that size with another CRC is damaged. Returns true on
 * success, false after showing an error box (E201 to E214, or E301/E302). */
bool SplicePatch(const char *installDir, const char *fileName, const SpliceRecipe *recipe, const Payload *payload,
                 DWORD finishedCrc, HMODULE module);

/* ---- Whole-file placement */

/* Writes the payload in module, its size in bytes with its CRC-32, over
 * installDir + fileName. The new file has the attributes the
 * commit's copy gives it, plus any other than FILE_ATTRIBUTE_NORMAL asked
 * for here. Returns true on success, false after showing an error box (E501
 * to E509, or E301/E302). */
bool PlaceWholeFile(const char *installDir, const char *fileName, DWORD attributes, const Payload *payload,
                    HMODULE module);

/* Writes a 212-byte signature file from the payload in module, whose first
 * 212 bytes must have its CRC-32, as a hidden file, over an existing one too. Returns true on
 * success, false after showing an error box (E401 to E409, or E301/E302). */
bool PlaceSignature(const char *installDir, const char *fileName, const Payload *payload, HMODULE module);

#endif
