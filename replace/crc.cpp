/*
 * The CRC-32 every file the updater puts in place is checked with: the one
 * of zip and PNG, so the release tools compute the same value with any
 * library they like.
 */
#include "replace/replace.h"

/* Entry b is the CRC register's change for the byte b, under the reflected
 * polynomial 0xEDB88320: a look-up a byte, twice the speed of one a nibble,
 * for the megabytes an update reads back. It is made on first use, in
 * zero-filled memory that takes no room in the executable. */
static DWORD byteTable[256];

DWORD Crc32(DWORD crc, const BYTE *bytes, DWORD count)
{
    if (byteTable[128] == 0) /* the polynomial, once it is made */
        for (DWORD b = 0; b < 256; b++) {
            DWORD c = b;
            for (int bit = 0; bit < 8; bit++)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            byteTable[b] = c;
        }
    crc = ~crc;
    for (DWORD i = 0; i < count; i++)
        crc = (crc >> 8) ^ byteTable[(crc ^ bytes[i]) & 255];
    return ~crc;
}
