/*
 * The behaviour table: call sequences on files, each with the answer Windows
 * gives (and where it comes from) and Wine's where Wine differs. The host
 * suite runs it against the simulated Windows; the probe (probe.cpp) runs it
 * on a real Windows or under Wine. Both run a row through runner.cpp, over
 * the calls of platform/winapi.h.
 */
#ifndef WELLHAVEN_TOOLS_PROBE_BEHAVIOUR_H
#define WELLHAVEN_TOOLS_PROBE_BEHAVIOUR_H

#include <string>

#include "platform/winapi.h"

/* An answer: 0 for success, else the call's last error. */
const long kSame = -1;    /* as Windows answers */
const long kUnknown = -2; /* no source tells Windows' answer */
const long kSetupFailed = -3;

/* The Wine versions whose answers the table holds (major numbers), oldest
 * first; a Wine of another version is held to the newest's answers. */
const int kWineVersions[] = {8, 10};
const size_t kWineVersionCount = sizeof kWineVersions / sizeof kWineVersions[0];

/* From Wine `since` on (0: never), a player's Wine answers `answer`. */
struct WineChange {
    int since;
    long answer;
};

/* setup: tokens run in order in an empty folder, names one letter each:
 *   a        a file "a" holding four bytes      a=RH   the same, read-only and hidden
 *   d/       a folder "d"                       a>b    a second name b for a's file
 *   a@r/rd   another handle on a: access r, w or - (none), then sharing r, w, d or -
 *   -a       DeleteFileA(a)
 * call: the one call whose answer counts:
 *   open a ACCESS/SHARE old|new (OPEN_EXISTING or CREATE_ALWAYS)   copy a b [fail]
 *   move a b [replace]   delete a   setattr a R|H|RH|-   getattr a
 *   flush a ACCESS/SHARE (open, then flush)   temp a (GetTempFileNameA in folder a)
 * wine: Wine run by a user without privileges, as players run it (the
 * oldest known Wine; newer: where a later one answers otherwise).
 * freed: the answer where a name deleted pending goes at once (Windows 10
 * 1903 and later on NTFS); windows then answers as before 1903.
 * root: Wine run by root, where it differs from wine: root passes the Unix
 * permission checks that Wine maps a read-only file onto. */
struct BehaviourRow {
    const char *setup;
    const char *call;
    long windows;
    /* Of the Windows answer: "doc" (a page of Microsoft's documentation names
     * the code; the row's comment names the page), "report" (a public report
     * shows it; the comment names it), "unknown". */
    const char *source;
    long wine = kSame;
    long freed = kSame;
    long root = kSame;
    WineChange newer = {0, kSame};
};
extern const BehaviourRow kBehaviour[];
extern const size_t kBehaviourRows;

/* The answer the table gives for Wine `version` (one of kWineVersions), run
 * by root or by a player. */
long WineAnswer(const BehaviourRow &row, int version, bool root);

/* What the runner needs besides the seam: a folder, and a second name. */
struct Machine {
    bool (*makeFolder)(const std::string &windowsPath);
    bool (*link)(const std::string &existing, const std::string &newName);
};

/* Runs a row in an empty folder (no trailing backslash) and closes every
 * handle it opened; returns the call's answer, or kSetupFailed. */
long RunRow(const BehaviourRow &row, const std::string &folder, const Machine &machine);

#endif
