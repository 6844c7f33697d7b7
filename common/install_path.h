/*
 * The path of a file in the install folder, as every operation makes it.
 */
#ifndef WELLHAVEN_COMMON_INSTALL_PATH_H
#define WELLHAVEN_COMMON_INSTALL_PATH_H

#include "platform/winapi.h"

/* Returns a new GMEM_FIXED block holding installDir followed by fileName (at
 * most 31 bytes), which the caller frees with GlobalFree; or NULL after
 * showing noMemoryCode. */
char *JoinInstallPath(const char *installDir, const char *fileName, int noMemoryCode);

#endif
