/*
 * Payloads: the bytes the updater carries in its own resources.
 */
#include "replace/replace.h"

const BYTE *LoadPayload(HMODULE module, const Payload *payload, unsigned long long needed, const PayloadCodes *codes,
                        HGLOBAL *loaded)
{
    *loaded = NULL;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(payload->id), "BINARY");
    if (found == NULL) {
        ReportFailure(codes->notFound, kTextNoPayload);
        return NULL;
    }
    if (SizeofResource(module, found) < needed) {
        ReportFailure(codes->notLoaded, kTextNoPayload);
        return NULL;
    }
    *loaded = LoadResource(module, found);
    if (*loaded == NULL) {
        ReportFailure(codes->notLoaded, kTextNoPayload);
        return NULL;
    }
    const BYTE *bytes = (const BYTE *)LockResource(*loaded);
    if (bytes == NULL) {
        ReportFailure(codes->notLocked, kTextNoPayload);
        return NULL;
    }
    /* Checked before a byte of it is written anywhere; it fits the resource,
     * whose size is a DWORD. */
    if (Crc32(0, bytes, (DWORD)needed) != payload->crc) {
        ReportFailure(codes->damaged, kTextPayloadDamaged);
        return NULL;
    }
    return bytes;
}

void ReleasePayload(HGLOBAL loaded)
{
    if (loaded != NULL)
        FreeResource(loaded);
}
