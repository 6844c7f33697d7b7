/*
 * The CRC-32 every file the updater puts in place is checked with: the one
 * of zip and PNG, so the release tools compute the same value with any
 * library they like.
 */
#include "replace/replace.h"

/* Four tables of 256 in a row. Entry b of table k is the CRC register's
 * change for the byte b followed by k zero bytes, under the reflected
 * polynomial 0xEDB88320; so four bytes take four look-ups that do not wait
 * on one another, about four times the speed of a look-up a nibble, for the
 * megabytes an update reads back. They are made on first use, in
 * zero-filled memory that takes no room in the executable. */
static DWORD tables[4 * 256];

DWORD Crc32(DWORD crc, const BYTE *bytes, DWORD count)
{
    if (tables[128] == 0) /* the polynomial, once they are made */
        for (DWORD i = 0; i < 4 * 256; i++) {
            /* Eight steps of a bit: a byte, or one more zero byte. */
            DWORD c = i < 256 ? i : tables[i - 256];
            for (int bit = 0; bit < 8; bit++)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            tables[i] = c;
        }
    crc = ~crc;
    /* The bytes beyond a multiple of four one at a time, then four at a
     * time, read as one little-endian word (x86's order). */
    for (; count % 4 != 0; count--, bytes++)
        crc = (crc >> 8) ^ tables[(crc ^ *bytes) & 255];
    for (; count != 0; count -= 4, bytes += 4) {
        DWORD word, next = 0;
        __builtin_memcpy(&word, bytes, 4);
        crc ^= word;
        for (int k = 3; k >= 0; k--, crc >>= 8)
            next ^= tables[k * 256 + (crc & 255)];
        crc = next;
    }
    return ~crc;
}
