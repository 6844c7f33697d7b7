/*
 * The behaviour probe: runs every row of the behaviour table on this
 * machine's Windows (or Wine), each in a folder of its own under the folder
 * given, and prints one line per row with its answer and the table's. The
 * exit status is the number of rows whose answer is not the table's for the
 * system named: "wine" (Wine as a user without privileges), "wine-root" (Wine
 * run by root) or "windows" (the Windows column, a pending delete answered
 * either way; rows unknown on Windows do not count).
 *
 *   probe.exe C:\scratch windows
 */
#include <stdio.h>
#include <string.h>

#include "tools/probe/behaviour.h"

WINAPI_IMPORT BOOL WINAPI CreateDirectoryA(LPCSTR pathName, void *security);
WINAPI_IMPORT BOOL WINAPI CreateHardLinkA(LPCSTR fileName, LPCSTR existingFileName, void *security);

static bool MakeFolder(const std::string &path)
{
    return CreateDirectoryA(path.c_str(), NULL) != FALSE;
}

static bool Link(const std::string &existing, const std::string &newName)
{
    return CreateHardLinkA(newName.c_str(), existing.c_str(), NULL) != FALSE;
}

static const char *Text(long answer, char *buffer)
{
    if (answer == kUnknown)
        return "unknown";
    if (answer == kSetupFailed)
        return "setup failed";
    snprintf(buffer, 16, "%ld", answer);
    return buffer;
}

int main(int argc, char **argv)
{
    static const char *const kSystems[] = {"windows", "wine", "wine-root"};
    static const char *const kColumns[] = {"Windows", "Wine", "Wine-as-root"};
    size_t system = 0;
    while (argc == 3 && system < 3 && strcmp(argv[2], kSystems[system]) != 0)
        system++;
    if (argc != 3 || system == 3) {
        fprintf(stderr, "usage: probe FOLDER windows|wine|wine-root\n");
        return 255;
    }
    const Machine machine = {MakeFolder, Link};
    int disagreeing = 0;
    for (size_t i = 0; i < kBehaviourRows; i++) {
        const BehaviourRow &row = kBehaviour[i];
        char name[16];
        snprintf(name, sizeof name, "\\row%02u", (unsigned)i + 1);
        const std::string folder = argv[1] + std::string(name);
        const long got = MakeFolder(folder) ? RunRow(row, folder, machine) : kSetupFailed;
        const long freed = row.freed == kSame ? row.windows : row.freed;
        const long wine = row.wine == kSame ? row.windows : row.wine;
        const long root = row.root == kSame ? wine : row.root;
        const long expected = system == 0 ? row.windows : system == 1 ? wine : root;
        const bool agrees = got == expected || (system == 0 && (got == freed || row.windows == kUnknown));
        disagreeing += !agrees;
        char a[16], b[16], c[16], d[16];
        printf("row %02u %-14s %-18s got %-12s Windows %-8s (%s) Wine %-8s root %-8s %s\n", (unsigned)i + 1,
               row.setup, row.call, Text(got, a), Text(row.windows, b), row.source, Text(wine, c), Text(root, d),
               agrees ? "agrees" : "DISAGREES");
    }
    printf("%d of %u rows disagree with the %s column\n", disagreeing, (unsigned)kBehaviourRows, kColumns[system]);
    return disagreeing > 255 ? 255 : disagreeing;
}
