/*
 * Whole-file placement: a payload written unchanged over a file in the
 * install folder, by way of a scratch file, with the attributes the target
 * should have. Signature files and other whole files go through the same
 * steps and differ only in their codes.
 */
#include "replace/replace.h"

struct PlacementCodes {
    PayloadCodes payload;
    int scratchNotCreated;
    int writeFailed;
    int writeShort;
    int noMemory;
    int copyFailed;
};

static const PlacementCodes kSignatureCodes = {{402, 403, 404}, 405, 406, 407, 401, 408};
static const PlacementCodes kWholeFileCodes = {{501, 502, 503}, 504, 505, 506, 507, 508};

static const DWORD kSignatureSize = 212;

static StepResult Place(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                        WORD payloadId, HMODULE module, const PlacementCodes *codes)
{
    /* 1. */
    char scratchName[SCRATCH_NAME_SIZE];
    if (!MakeScratchFile(scratchName))
        return 0;

    StepResult result = 0;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    HGLOBAL payload = NULL;
    char *target = NULL;
    do {
        /* 2. The payload, which must hold the length asked for. */
        const BYTE *bytes = LoadPayload(module, payloadId, length, &codes->payload, &payload);
        if (bytes == NULL)
            break;

        /* 3. */
        scratch = CreateFileA(scratchName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (scratch == INVALID_HANDLE_VALUE) {
            ReportFailure(codes->scratchNotCreated, kTextNoPatchFile);
            break;
        }

        /* 4. */
        DWORD written = 0;
        if (!WriteFile(scratch, bytes, length, &written, NULL)) {
            ReportFailure(codes->writeFailed, kTextNoPatchFile);
            break;
        }
        if (written != length) {
            ReportFailure(codes->writeShort, kTextNoPatchFile);
            break;
        }

        /* 5. */
        target = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)lstrlenA(installDir) + 32);
        if (target == NULL) {
            ReportFailure(codes->noMemory, kTextNoMemory);
            break;
        }
        wsprintfA(target, "%s%s", installDir, fileName);

        /* 6. */
        CloseHandle(scratch);
        scratch = INVALID_HANDLE_VALUE;

        /* 7-9. The system refuses to copy over a hidden or read-only file, so
         * a target that is to carry attributes is cleared first; a target
         * that may not exist yet makes the clearing fail harmlessly. Normal
         * attributes leave the target's own alone. */
        if (attributes != FILE_ATTRIBUTE_NORMAL)
            SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
        if (!CopyFileA(scratchName, target, FALSE)) {
            ReportFailure(codes->copyFailed, kTextNoPatchFile);
            break;
        }
        if (attributes != FILE_ATTRIBUTE_NORMAL)
            SetFileAttributesA(target, attributes);

        /* 10. */
        DeleteFileA(scratchName);
        result = 1;
    } while (false);

    /* 11. */
    if (scratch != INVALID_HANDLE_VALUE)
        CloseHandle(scratch);
    if (payload != NULL)
        FreeResource(payload);
    if (target != NULL)
        GlobalFree(target);
    return result;
}

StepResult PlaceWholeFile(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                          WORD payloadId, HMODULE module)
{
    return Place(installDir, fileName, length, attributes, payloadId, module, &kWholeFileCodes);
}

StepResult PlaceSignature(const char *installDir, const char *fileName, WORD payloadId, HMODULE module)
{
    return Place(installDir, fileName, kSignatureSize, FILE_ATTRIBUTE_HIDDEN, payloadId, module, &kSignatureCodes);
}
