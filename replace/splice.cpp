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
    E_COPY_FAILED = 212
};

static const PayloadCodes kPayloadCodes = {E_PAYLOAD_NOT_FOUND, E_PAYLOAD_NOT_LOADED, E_PAYLOAD_NOT_LOCKED};

/* The XP3 head: magic and the low bytes of the finished index position. */
static const DWORD kHeadSize = 16;

/* Writes count bytes; a failed call and a short write have codes of their own. */
static BOOL WriteRun(HANDLE file, const void *bytes, DWORD count)
{
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, NULL)) {
        ReportFailure(E_WRITE_FAILED, kTextNoPatchFile);
        return FALSE;
    }
    if (written != count) {
        ReportFailure(E_WRITE_SHORT, kTextNoPatchFile);
        return FALSE;
    }
    return TRUE;
}

/* Carries count bytes from the installed file's position to the scratch file
 * through the work buffer. */
static BOOL KeepRun(HANDLE installed, HANDLE scratch, BYTE *work, DWORD count)
{
    DWORD read = 0;
    if (!ReadFile(installed, work, count, &read, NULL)) {
        ReportFailure(E_READ_FAILED, kTextNoPatchFile);
        return FALSE;
    }
    if (read != count) {
        ReportFailure(E_READ_SHORT, kTextNoPatchFile);
        return FALSE;
    }
    return WriteRun(scratch, work, read);
}

StepResult SplicePatch(const char *installDir, const char *fileName, const SpliceRecipe *recipe, WORD payloadId,
                       HMODULE module)
{
    /* 1. The target's path. */
    char *target = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)lstrlenA(installDir) + 32);
    if (target == NULL) {
        ReportFailure(E_NO_MEMORY, kTextNoMemory);
        return 0;
    }
    wsprintfA(target, "%s%s", installDir, fileName);

    StepResult result = 0;
    HANDLE installed = INVALID_HANDLE_VALUE;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    HGLOBAL payload = NULL;
    BYTE *work = NULL;
    char scratchName[SCRATCH_NAME_SIZE];
    do {
        /* 2. The installed copy, read only. */
        installed = CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                NULL);
        if (installed == INVALID_HANDLE_VALUE) {
            ReportOpenFailure(E_NOT_OPENED, fileName);
            break;
        }

        /* 3. A file of the finished size has been rebuilt already. A size
         * that cannot be read is no size at all: taken for an unfinished
         * one, it would have a finished archive spliced again, and ruined. */
        DWORD installedSize = GetFileSize(installed, NULL);
        if (installedSize == INVALID_FILE_SIZE) {
            ReportFailure(E_READ_FAILED, kTextNoPatchFile);
            break;
        }
        if (installedSize == recipe->finishedSize) {
            result = 1;
            break;
        }

        /* 4. One work buffer serves both kept runs. */
        DWORD longerRun = recipe->keepFirst > recipe->keepSecond ? recipe->keepFirst : recipe->keepSecond;
        work = (BYTE *)GlobalAlloc(GMEM_FIXED, longerRun);
        if (work == NULL) {
            ReportFailure(E_NO_MEMORY, kTextNoMemory);
            break;
        }

        /* 5. */
        if (!MakeScratchFile(scratchName))
            break;

        /* 6. The payload, which must hold every byte the recipe takes from it. */
        unsigned long long needed =
            (unsigned long long)kHeadSize + recipe->insertFirst + (unsigned long long)recipe->insertTail;
        const BYTE *bytes = LoadPayload(module, payloadId, needed, &kPayloadCodes, &payload);
        if (bytes == NULL)
            break;

        /* 7. */
        scratch = CreateFileA(scratchName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (scratch == INVALID_HANDLE_VALUE) {
            ReportFailure(E_SCRATCH_NOT_CREATED, kTextNoPatchFile);
            break;
        }

        /* 8-14. Head, first kept run, first payload run, skip, second kept
         * run, tail. */
        if (!WriteRun(scratch, bytes, kHeadSize))
            break;
        if (SetFilePointer(installed, (LONG)kHeadSize, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
            ReportFailure(E_SEEK_FAILED, kTextNoPatchFile);
            break;
        }
        if (!KeepRun(installed, scratch, work, recipe->keepFirst))
            break;
        if (!WriteRun(scratch, bytes + kHeadSize, recipe->insertFirst))
            break;
        if (SetFilePointer(installed, (LONG)recipe->skipOld, NULL, FILE_CURRENT) == INVALID_SET_FILE_POINTER) {
            ReportFailure(E_SEEK_FAILED, kTextNoPatchFile);
            break;
        }
        if (!KeepRun(installed, scratch, work, recipe->keepSecond))
            break;
        if (!WriteRun(scratch, bytes + kHeadSize + recipe->insertFirst, recipe->insertTail))
            break;

        /* 15. */
        CloseHandle(scratch);
        scratch = INVALID_HANDLE_VALUE;
        CloseHandle(installed);
        installed = INVALID_HANDLE_VALUE;

        /* 16. Only now does the target change. After a failed copy the
         * scratch file stays in the temporary folder. */
        if (!CopyFileA(scratchName, target, FALSE)) {
            ReportFailure(E_COPY_FAILED, kTextNoPatchFile);
            break;
        }

        /* 17. */
        DeleteFileA(scratchName);
        result = 1;
    } while (false);

    /* 18. */
    if (scratch != INVALID_HANDLE_VALUE)
        CloseHandle(scratch);
    if (installed != INVALID_HANDLE_VALUE)
        CloseHandle(installed);
    if (payload != NULL)
        FreeResource(payload);
    if (work != NULL)
        GlobalFree(work);
    GlobalFree(target);
    return result;
}
