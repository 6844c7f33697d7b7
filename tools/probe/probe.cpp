/*
 * The behaviour probe: runs every row of the behaviour table on this
 * machine's Windows (or Wine), each in a folder of its own under the folder
 * given, and prints one line per row with its answer and the table's. The
 * exit status is the number of rows whose answer is not the table's for the
 * system named: "wine" (Wine as a user without privileges), "wine-root" (Wine
 * run by root), each followed by what `wine --version` prints, or "windows"
 * (the Windows column, a pending delete answered either way; rows unknown on
 * Windows do not count). With --expect, it prints the table's answer to one
 * row for such a Wine and runs nothing.
 *
 *   probe.exe C:\scratch windows
 *   probe.exe C:\scratch wine-root "wine-10.0 (Debian 10.0~repack-6)"
 *   probe.exe --expect "a b=R" "move a b replace" wine "wine-8.0"
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

/* The Wine column a version string ("wine-10.0 ...") is held to: its own
 * where the table knows it, else the newest, which a line says. */
static int WineColumn(const char *version)
{
    int major = 0;
    sscanf(version, "wine-%d", &major);
    for (size_t i = 0; i < kWineVersionCount; i++)
        if (kWineVersions[i] == major)
            return major;
    const int newest = kWineVersions[kWineVersionCount - 1];
    printf("%s is not a Wine the table knows: checked against the answers of Wine %d\n", version, newest);
    return newest;
}

int main(int argc, char **argv)
{
    static const char *const kSystems[] = {"windows", "wine", "wine-root"};
    const bool expect = argc == 6 && strcmp(argv[1], "--expect") == 0;
    const char *name = expect ? argv[4] : argc > 2 ? argv[2] : "";
    size_t system = 0;
    while (system < 3 && strcmp(name, kSystems[system]) != 0)
        system++;
    if (system == 3 || (!expect && argc != (system == 0 ? 3 : 4))) {
        fprintf(stderr, "usage: probe FOLDER windows | probe FOLDER wine|wine-root VERSION\n"
                        "       probe --expect SETUP CALL wine|wine-root VERSION\n");
        return 255;
    }
    const int version = system == 0 ? kWineVersions[kWineVersionCount - 1] : WineColumn(argv[argc - 1]);
    if (expect) {
        for (size_t i = 0; i < kBehaviourRows; i++)
            if (strcmp(kBehaviour[i].setup, argv[2]) == 0 && strcmp(kBehaviour[i].call, argv[3]) == 0) {
                printf("%ld\n", WineAnswer(kBehaviour[i], version, system == 2));
                return 0;
            }
        fprintf(stderr, "no row %s | %s\n", argv[2], argv[3]);
        return 255;
    }
    const Machine machine = {MakeFolder, Link};
    int disagreeing = 0;
    for (size_t i = 0; i < kBehaviourRows; i++) {
        const BehaviourRow &row = kBehaviour[i];
        char folderName[16];
        snprintf(folderName, sizeof folderName, "\\row%02u", (unsigned)i + 1);
        const std::string folder = argv[1] + std::string(folderName);
        const long got = MakeFolder(folder) ? RunRow(row, folder, machine) : kSetupFailed;
        const long freed = row.freed == kSame ? row.windows : row.freed;
        const long wine = WineAnswer(row, version, false), root = WineAnswer(row, version, true);
        const long expected = system == 0 ? row.windows : system == 1 ? wine : root;
        const bool agrees = got == expected || (system == 0 && (got == freed || row.windows == kUnknown));
        disagreeing += !agrees;
        char a[16], b[16], c[16], d[16];
        printf("row %02u %-14s %-18s got %-12s Windows %-8s (%s) Wine %-8s root %-8s %s\n", (unsigned)i + 1,
               row.setup, row.call, Text(got, a), Text(row.windows, b), row.source, Text(wine, c), Text(root, d),
               agrees ? "agrees" : "DISAGREES");
    }
    if (system == 0)
        printf("%d of %u rows disagree with the Windows column\n", disagreeing, (unsigned)kBehaviourRows);
    else
        printf("%d of %u rows disagree with the column of Wine %d%s\n", disagreeing, (unsigned)kBehaviourRows,
               version, system == 2 ? " as root" : "");
    return disagreeing > 255 ? 255 : disagreeing;
}
