/* The file the box robot holds open while the program runs (--hold), and the
 * moment it lets go (--until). */
#include "robot.h"

#include <stdlib.h>
#include <string.h>

HANDLE holdFile(const char *argument)
{
    char path[MAX_PATH + 16];
    char *colon;
    DWORD share;
    HANDLE h;
    if (strlen(argument) >= sizeof path) fail("--hold path too long", argument);
    strcpy(path, argument);
    colon = strrchr(path, ':');
    if (!colon || colon == path + 1) fail("--hold takes FILE:none, FILE:read or FILE:delete", argument);
    *colon = '\0';
    if (strcmp(colon + 1, "none") == 0) share = 0;
    else if (strcmp(colon + 1, "read") == 0) share = FILE_SHARE_READ;
    else if (strcmp(colon + 1, "delete") == 0) share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    else fail("--hold takes FILE:none, FILE:read or FILE:delete", argument);
    h = CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) fail("cannot hold the file", path);
    return h;
}

/* The whole content of a file (caller frees) and its size; NULL when it cannot be read. Every sharing is
 * granted, so the look stops no writer; a rename over the file in that moment is refused, and the
 * updater tries it again. */
static char *readWhole(const char *path, DWORD *size)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    char *bytes = NULL;
    DWORD got = 0;
    if (h == INVALID_HANDLE_VALUE) return NULL;
    *size = GetFileSize(h, NULL);
    if (*size != INVALID_FILE_SIZE) bytes = (char *)malloc(*size + 1);
    if (bytes && (!ReadFile(h, bytes, *size, &got, NULL) || got != *size)) {
        free(bytes);
        bytes = NULL;
    }
    CloseHandle(h);
    return bytes;
}

/* Whether FILE of "FILE=REFERENCE" holds the bytes of REFERENCE now. */
int untilReached(const char *until)
{
    char file[MAX_PATH + 1];
    const char *reference = strchr(until, '=') + 1;
    DWORD fileSize = 0, referenceSize = 0;
    char *a, *b;
    int same;
    if ((size_t)(reference - until) > sizeof file) fail("--until path too long", until);
    memcpy(file, until, (size_t)(reference - until - 1));
    file[reference - until - 1] = '\0';
    a = readWhole(file, &fileSize);
    b = readWhole(reference, &referenceSize);
    if (!b) fail("cannot read the reference", reference);
    same = a && fileSize == referenceSize && memcmp(a, b, fileSize) == 0;
    free(a);
    free(b);
    return same;
}
