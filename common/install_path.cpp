#include "common/install_path.h"

#include "common/report.h"

/* File names are bare names of at most 31 bytes: room for the longest one. */
enum { kFileNameRoom = 32 };

char *JoinInstallPath(const char *installDir, const char *fileName, int noMemoryCode)
{
    char *path = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)lstrlenA(installDir) + kFileNameRoom);
    if (path == NULL) {
        ReportFailure(noMemoryCode, kTextNoMemory);
        return NULL;
    }
    wsprintfA(path, "%s%s", installDir, fileName);
    return path;
}
