/*
 * Installation discovery: where the game is installed and which edition it is.
 */
#ifndef WELLHAVEN_DISCOVERY_H
#define WELLHAVEN_DISCOVERY_H

#include "platform/winapi.h"

/* The edition whose row matched, 0 (ver1.00) to 7 (ver1.03a); even editions
 * are the plain line, odd ones the a-line. */
enum {
    EDITION_UNKNOWN = -1,
    VER1_00,
    VER1_00A,
    VER1_01,
    VER1_01A,
    VER1_02,
    VER1_02A,
    VER1_03,
    VER1_03A,
    EDITION_COUNT,
    EDITION_FIRST_UP_TO_DATE = VER1_03
};

/* Reads the game's install folder from its uninstall registration. Returns a
 * GMEM_FIXED block holding the folder, always ending in a backslash, which
 * the caller frees with GlobalFree; or NULL after showing an error box
 * (E001 to E005). */
char *LocateInstallDir(void);

/* Identifies the installed edition from the sizes of data.xp3, ext.xp3 and
 * auxtrans.dll in installDir. Returns 0 to 7, or EDITION_UNKNOWN after
 * showing an error box (E101 to E103). Nothing is written. */
int IdentifyEdition(const char *installDir);

#endif
