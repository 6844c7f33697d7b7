/*
 * The CRC-32 every file the updater puts in place is checked with: the one
 * of zip and PNG, so the release tools compute the same value with any
 * library they like.
 */
#include "replace/replace.h"

/* The reflected polynomial 0xEDB88320 applied to each value of four bits:
 * a nibble at a time is a quarter of the work of a bit at a time, and the
 * table is 64 bytes where a byte-wide one would take a kibibyte. */
static const DWORD kNibbleTable[16] = {
    0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu, 0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
    0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu, 0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu,
};

DWORD Crc32(DWORD crc, const BYTE *bytes, DWORD count)
{
    crc = ~crc;
    for (DWORD i = 0; i < count; i++) {
        crc ^= bytes[i];
        crc = (crc >> 4) ^ kNibbleTable[crc & 15];
        crc = (crc >> 4) ^ kNibbleTable[crc & 15];
    }
    return ~crc;
}
