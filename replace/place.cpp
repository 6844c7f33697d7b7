/*
 * Whole-file placement: a payload written unchanged over a file in the
 * install folder, by way of a scratch file, with the attributes the target
 * should have. Signature files and other whole files go through the same
 * steps and differ only in their codes.
 */
#include "replace/replace.h"

#include "release_catalogue.h"

enum {
    E_SIGNATURE_NO_MEMORY = 401,
    E_SIGNATURE_PAYLOAD_NOT_FOUND = 402,
    E_SIGNATURE_PAYLOAD_NOT_LOADED = 403,
    E_SIGNATURE_PAYLOAD_NOT_LOCKED = 404,
    E_SIGNATURE_SCRATCH_NOT_CREATED = 405,
    E_SIGNATURE_WRITE_FAILED = 406,
    E_SIGNATURE_WRITE_SHORT = 407,
    E_SIGNATURE_COPY_FAILED = 408, /* also: the side file is not the payload */
    E_SIGNATURE_PAYLOAD_DAMAGED = 409,

    E_WHOLE_PAYLOAD_NOT_FOUND = 501,
    E_WHOLE_PAYLOAD_NOT_LOADED = 502,
    E_WHOLE_PAYLOAD_NOT_LOCKED = 503,
    E_WHOLE_SCRATCH_NOT_CREATED = 504,
    E_WHOLE_WRITE_FAILED = 505,
    E_WHOLE_WRITE_SHORT = 506,
    E_WHOLE_NO_MEMORY = 507,
    E_WHOLE_COPY_FAILED = 508, /* also: the side file is not the payload */
    E_WHOLE_PAYLOAD_DAMAGED = 509
};

struct PlacementCodes {
    PayloadCodes payload;
    int scratchNotCreated;
    WriteCodes write;
    int noMemory;
    int copyFailed;
};

static const PlacementCodes kSignatureCodes = {
    {E_SIGNATURE_PAYLOAD_NOT_FOUND, E_SIGNATURE_PAYLOAD_NOT_LOADED, E_SIGNATURE_PAYLOAD_NOT_LOCKED,
     E_SIGNATURE_PAYLOAD_DAMAGED},
    E_SIGNATURE_SCRATCH_NOT_CREATED,
    {E_SIGNATURE_WRITE_FAILED, E_SIGNATURE_WRITE_SHORT},
    E_SIGNATURE_NO_MEMORY,
    E_SIGNATURE_COPY_FAILED};
static const PlacementCodes kWholeFileCodes = {
    {E_WHOLE_PAYLOAD_NOT_FOUND, E_WHOLE_PAYLOAD_NOT_LOADED, E_WHOLE_PAYLOAD_NOT_LOCKED, E_WHOLE_PAYLOAD_DAMAGED},
    E_WHOLE_SCRATCH_NOT_CREATED,
    {E_WHOLE_WRITE_FAILED, E_WHOLE_WRITE_SHORT},
    E_WHOLE_NO_MEMORY,
    E_WHOLE_COPY_FAILED};

static const DWORD kSignatureSize = SIGNATURE_SIZE;

static bool Place(const char *installDir, const char *fileName, DWORD length, DWORD attributes,
                  const Payload *payload, HMODULE module, const PlacementCodes *codes)
{
    char scratchName[SCRATCH_NAME_SIZE];
    if (!MakeScratchFile(scratchName))
        return false;

    bool result = false;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    HGLOBAL loaded = NULL;
    char *target = NULL;
    do {
        /* The payload, which must hold the length asked for, undamaged. */
        const BYTE *bytes = LoadPayload(module, payload, length, &codes->payload, &loaded);
        if (bytes == NULL)
            break;

        scratch = CreateFileA(scratchName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (scratch == INVALID_HANDLE_VALUE) {
            ReportFailure(codes->scratchNotCreated, kTextNoPatchFile);
            break;
        }

        if (!WriteChecked(scratch, bytes, length, &codes->write))
            break;

        target = JoinInstallPath(installDir, fileName, codes->noMemory);
        if (target == NULL)
            break;

        CloseFile(&scratch);

        /* The new file takes its attributes from the side file, not from
         * the target it replaces, and then those asked for here. */
        /* What the commit puts in place is the payload's length, so its CRC
         * is the payload's. */
        const Commit commit = {length, payload->crc, attributes, codes->copyFailed, codes->copyFailed, kTextNoPatchFile,
                               fileName};
        result = CommitScratch(scratchName, target, &commit);
    } while (false);

    /* Release in reverse order: the scratch file if still open, the
     * payload, the path. */
    CloseFile(&scratch);
    ReleasePayload(loaded);
    if (target != NULL)
        GlobalFree(target);
    return result;
}

bool PlaceWholeFile(const char *installDir, const char *fileName, DWORD attributes, const Payload *payload,
                    HMODULE module)
{
    return Place(installDir, fileName, payload->size, attributes, payload, module, &kWholeFileCodes);
}

bool PlaceSignature(const char *installDir, const char *fileName, const Payload *payload, HMODULE module)
{
    return Place(installDir, fileName, kSignatureSize, FILE_ATTRIBUTE_HIDDEN, payload, module, &kSignatureCodes);
}
