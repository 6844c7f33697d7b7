/*
 * Splice patching: an archive rebuilt from runs kept from the installed copy
 * and runs carried in a payload. Only the two kept runs pass through memory,
 * one at a time, in one work buffer; the payload runs are written straight
 * from the resource.
 */
#include "replace/replace.h"

enum {
    E_NO_MEMORY = 201,
    E_NOT_OPENED = 202,
    E_PAYLOAD_NOT_FOUND = 203,
    E_PAYLOAD_NOT_LOADED = 204,
    E_PAYLOAD_NOT_LOCKED = 205,
    E_SCRATCH_NOT_CREATED = 206,
    E_WRITE_FAILED = 207,
    E_WRITE_SHORT = 208,
    E_SEEK_FAILED = 209,
    E_READ_FAILED = 210,
    E_READ_SHORT = 211,
    E_COPY_FAILED = 212,
    E_DAMAGED = 213,
    E_PAYLOAD_DAMAGED = 214
};

static const PayloadCodes kPayloadCodes = {E_PAYLOAD_NOT_FOUND, E_PAYLOAD_NOT_LOADED, E_PAYLOAD_NOT_LOCKED,
                                           E_PAYLOAD_DAMAGED};
static const WriteCodes kWriteCodes = {E_WRITE_FAILED, E_WRITE_SHORT};
static const ReadCodes kReadCodes = {E_READ_FAILED, E_READ_SHORT};

/* The XP3 head: magic and the low bytes of the finished index position. */
static const DWORD kHeadSize = 16;

/* Carries count bytes from the installed file's position to the scratch file
 * through the work buffer. */
static bool KeepRun(HANDLE installed, HANDLE scratch, BYTE *work, DWORD count)
{
    return ReadChecked(installed, work, count, &kReadCodes) && WriteChecked(scratch, work, count, &kWriteCodes);
}

bool SplicePatch(const char *installDir, const char *fileName, const SpliceRecipe *recipe, const Payload *payload,
                 DWORD finishedCrc, HMODULE module)
{
    char *target = JoinInstallPath(installDir, fileName, E_NO_MEMORY);
    if (target == NULL)
        return false;

    bool result = false;
    HANDLE installed = INVALID_HANDLE_VALUE;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    HGLOBAL loaded = NULL;
    BYTE *work = NULL;
    char scratchName[SCRATCH_NAME_SIZE];
    do {
        /* The installed copy, read only: the target itself is never opened
         * for writing. */
        installed = CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                NULL);
        if (installed == INVALID_HANDLE_VALUE) {
            ReportFailure(E_NOT_OPENED, kTextNotOpened, fileName);
            break;
        }

        /* A size that cannot be read is no size at all: taken for an
         * unfinished one, it would have a finished archive spliced again,
         * and ruined. */
        DWORD installedSize = GetFileSize(installed, NULL);
        if (installedSize == INVALID_FILE_SIZE) {
            ReportFailure(E_READ_FAILED, kTextNoPatchFile);
            break;
        }

        /* One work buffer serves both kept runs, and the check below. */
        DWORD longerRun = recipe->keepFirst > recipe->keepSecond ? recipe->keepFirst : recipe->keepSecond;
        work = (BYTE *)GlobalAlloc(GMEM_FIXED, longerRun);
        if (work == NULL) {
            ReportFailure(E_NO_MEMORY, kTextNoMemory);
            break;
        }

        /* A file of the finished size has been rebuilt already, by a run
         * that stopped later, when it is the release's finished file; one
         * that is not is damaged, and splicing it again would only ruin it
         * further. */
        if (installedSize == recipe->finishedSize) {
            DWORD crc = 0;
            if (!ReadCrc(installed, installedSize, work, longerRun, &kReadCodes, &crc))
                break;
            if (crc != finishedCrc) {
                ReportFailure(E_DAMAGED, kTextDamaged, fileName);
                break;
            }
            result = true;
            break;
        }

        if (!MakeScratchFile(scratchName))
            break;

        /* The payload, which must hold every byte the recipe takes from it. */
        unsigned long long needed =
            (unsigned long long)kHeadSize + recipe->insertFirst + (unsigned long long)recipe->insertTail;
        const BYTE *bytes = LoadPayload(module, payload, needed, &kPayloadCodes, &loaded);
        if (bytes == NULL)
            break;

        scratch = CreateFileA(scratchName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (scratch == INVALID_HANDLE_VALUE) {
            ReportFailure(E_SCRATCH_NOT_CREATED, kTextNoPatchFile);
            break;
        }

        /* The finished file in order: the payload's head, the first kept
         * run, the payload's first run, the second kept run after skipping
         * the replaced stretch, and the payload's tail. */
        if (!WriteChecked(scratch, bytes, kHeadSize, &kWriteCodes) ||
            !SeekChecked(installed, kHeadSize, FILE_BEGIN, E_SEEK_FAILED) ||
            !KeepRun(installed, scratch, work, recipe->keepFirst) ||
            !WriteChecked(scratch, bytes + kHeadSize, recipe->insertFirst, &kWriteCodes) ||
            !SeekChecked(installed, recipe->skipOld, FILE_CURRENT, E_SEEK_FAILED) ||
            !KeepRun(installed, scratch, work, recipe->keepSecond) ||
            !WriteChecked(scratch, bytes + kHeadSize + recipe->insertFirst, recipe->insertTail, &kWriteCodes))
            break;

        CloseFile(&scratch);
        CloseFile(&installed);

        /* Only now does the target change, and only into the release's
         * finished file: a kept run damaged in the installed copy shows
         * here, naming the file. */
        const Commit commit = {recipe->finishedSize, finishedCrc, FILE_ATTRIBUTE_NORMAL, E_COPY_FAILED,
                               E_DAMAGED, kTextDamaged, fileName};
        result = CommitScratch(scratchName, target, &commit);
    } while (false);

    /* Release in reverse order: the open files (the scratch file first), the
     * payload, the work buffer, the path. */
    CloseFile(&scratch);
    CloseFile(&installed);
    ReleasePayload(loaded);
    if (work != NULL)
        GlobalFree(work);
    GlobalFree(target);
    return result;
}
