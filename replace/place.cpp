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
    WriteCodes write;
    int noMemory;
    int copyFailed;
};

static const PlacementCodes kSignatureCodes = {{402, 403, 404}, 405, {406, 407}, 401, 408};
static const PlacementCodes kWholeFileCodes = {{501, 502, 503}, 504, {505, 506}, 507, 508};

static const DWORD kSignatureSize = 212;

static bool Place(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                  WORD payloadId, HMODULE module, const PlacementCodes *codes)
{
    char scratchName[SCRATCH_NAME_SIZE];
    if (!MakeScratchFile(scratchName))
        return false;

    bool result = false;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    HGLOBAL payload = NULL;
    char *target = NULL;
    do {
        /* The payload, which must hold the length asked for. */
        const BYTE *bytes = LoadPayload(module, payloadId, length, &codes->payload, &payload);
        if (bytes == NULL)
            break;

        scratch = CreateFileA(scratchName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (scratch == INVALID_HANDLE_VALUE) {
            ReportFailure(codes->scratchNotCreated, kTextNoPatchFile);
            break;
        }

        if (!WriteScratch(scratch, bytes, length, &codes->write))
            break;

        target = JoinInstallPath(installDir, fileName, codes->noMemory);
        if (target == NULL)
            break;

        CloseFile(&scratch);

        /* The system refuses to copy over a hidden or read-only file, so
         * a target that is to carry attributes is cleared first; a target
         * that may not exist yet makes the clearing fail harmlessly. Normal
         * attributes leave the target's own alone. */
        if (attributes != FILE_ATTRIBUTE_NORMAL)
            SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
        result = MoveScratchOver(scratchName, target, attributes, codes->copyFailed);
    } while (false);

    /* Release in reverse order: the scratch file if still open, the
     * payload, the path. */
    CloseFile(&scratch);
    ReleasePayload(payload);
    if (target != NULL)
        GlobalFree(target);
    return result;
}

bool PlaceWholeFile(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                    WORD payloadId, HMODULE module)
{
    return Place(installDir, fileName, length, attributes, payloadId, module, &kWholeFileCodes);
}

bool PlaceSignature(const char *installDir, const char *fileName, WORD payloadId, HMODULE module)
{
    return Place(installDir, fileName, kSignatureSize, FILE_ATTRIBUTE_HIDDEN, payloadId, module, &kSignatureCodes);
}
