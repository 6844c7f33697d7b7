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
    int copyFailed; /* also: the side file is not the payload */
};

static const PlacementCodes kSignatureCodes = {{402, 403, 404, 409}, 405, {406, 407}, 401, 408};
static const PlacementCodes kWholeFileCodes = {{501, 502, 503, 509}, 504, {505, 506}, 507, 508};

static const DWORD kSignatureSize = 212;

static bool Place(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                  WORD payloadId, DWORD crc, HMODULE module, const PlacementCodes *codes)
{
    char scratchName[SCRATCH_NAME_SIZE];
    if (!MakeScratchFile(scratchName))
        return false;

    bool result = false;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    HGLOBAL payload = NULL;
    char *target = NULL;
    do {
        /* The payload, which must hold the length asked for, undamaged. */
        const BYTE *bytes = LoadPayload(module, payloadId, length, crc, &codes->payload, &payload);
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

        /* The new file takes its attributes from the side file, not from
         * the target it replaces, and then those asked for here. */
        /* What the commit puts in place is the payload's length, so its CRC
         * is the payload's. */
        const Commit commit = {length, crc, attributes, codes->copyFailed, codes->copyFailed, kTextNoPatchFile,
                               fileName};
        result = MoveScratchOver(scratchName, target, &commit);
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
                    WORD payloadId, DWORD crc, HMODULE module)
{
    return Place(installDir, fileName, length, attributes, payloadId, crc, module, &kWholeFileCodes);
}

bool PlaceSignature(const char *installDir, const char *fileName, WORD payloadId, DWORD crc, HMODULE module)
{
    return Place(installDir, fileName, kSignatureSize, FILE_ATTRIBUTE_HIDDEN, payloadId, crc, module,
                 &kSignatureCodes);
}
