/*
 * Install folder lookup: the game's uninstall registration names its folder.
 */
#include "discovery/discovery.h"

#include "common/report.h"

static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Wellhaven";
static const char kInstallLocation[] = "InstallLocation";

/* The game's installer is a 32-bit program, so on 64-bit Windows its key
 * lives in the registry view of 32-bit programs. The updater is a 32-bit
 * program too and reaches that view by default; a build for another width
 * (the 64-bit one the tests use where 32-bit programs cannot run) asks for
 * it by name. */
#if defined(_WIN64)
static const REGSAM kKeyAccess = KEY_QUERY_VALUE | KEY_WOW64_32KEY;
#else
static const REGSAM kKeyAccess = KEY_QUERY_VALUE;
#endif

enum {
    E_KEY_NOT_OPENED = 1,
    E_SIZE_QUERY_FAILED = 2,
    E_NO_MEMORY = 3,
    E_DATA_QUERY_FAILED = 4,
    E_NOT_A_FOLDER = 5
};

/* Appends a backslash unless the folder's last character is one. The test
 * walks the text character by character in the system's code page, so a
 * double-byte character whose trail byte is 0x5C (as in "表" or "ソ") does not
 * pass for a backslash. The buffer has room for two more bytes. */
static void EndWithBackslash(char *folder)
{
    char *last = folder;
    char *end = folder;
    while (*end != '\0') {
        last = end;
        end = CharNextA(end);
    }
    if (end == last + 1 && *last == '\\')
        return;
    end[0] = '\\';
    end[1] = '\0';
}

char *LocateInstallDir(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, kKeyAccess, &key) != ERROR_SUCCESS) {
        ReportFailure(E_KEY_NOT_OPENED, kTextNoInstallDir);
        return NULL;
    }

    char *folder = NULL;
    bool found = false;
    do {
        DWORD size = 0;
        if (RegQueryValueExA(key, kInstallLocation, NULL, NULL, NULL, &size) != ERROR_SUCCESS) {
            ReportFailure(E_SIZE_QUERY_FAILED, kTextNoInstallDir);
            break;
        }

        /* The value's bytes, a terminator of our own in case the value was
         * stored without one, and room for the backslash; a size that would
         * wrap around is no block at all. */
        if (size > 0xFFFFFFFDu) {
            ReportFailure(E_NO_MEMORY, kTextNoMemory);
            break;
        }
        folder = (char *)GlobalAlloc(GMEM_FIXED, (SIZE_T)size + 2);
        if (folder == NULL) {
            ReportFailure(E_NO_MEMORY, kTextNoMemory);
            break;
        }

        DWORD type = 0;
        DWORD got = size;
        if (RegQueryValueExA(key, kInstallLocation, NULL, &type, (BYTE *)folder, &got) != ERROR_SUCCESS) {
            ReportFailure(E_DATA_QUERY_FAILED, kTextNoInstallDir);
            break;
        }
        /* A query that succeeds has filled no more than the capacity it was
         * given, and may have filled less: a string stored in UTF-16 reports
         * more than its ANSI text needs. */
        folder[got] = '\0';

        /* An expandable string is refused like any other type, and an empty
         * text names no folder. */
        if (type != REG_SZ || lstrlenA(folder) == 0) {
            ReportFailure(E_NOT_A_FOLDER, kTextNoInstallDir);
            break;
        }
        EndWithBackslash(folder);
        found = true;
    } while (false);

    RegCloseKey(key);
    if (!found && folder != NULL) {
        GlobalFree(folder);
        folder = NULL;
    }
    return folder;
}
