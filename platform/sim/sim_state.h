/*
 * The simulated machine's state, shared by the files of platform/sim/.
 */
#ifndef WELLHAVEN_PLATFORM_SIM_STATE_H
#define WELLHAVEN_PLATFORM_SIM_STATE_H

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace sim {

struct OpenFile {
    std::string windowsPath;
    std::string key; /* the file on the disk, see Key() */
    size_t position;
    DWORD access;
    DWORD shareMode;
    bool heldByOther;
    unsigned untilSleeps; /* held by another program until this many Sleeps; 0: until ReleaseHeld */
};

struct OpenKey {
    std::string path; /* upper-cased, in the view it was opened in */
    REGSAM access;
};

struct RegistryValue {
    DWORD type;
    std::string bytes;
    DWORD reportedSize; /* what a query for the size answers */
};

struct Resource {
    WORD id;
    std::string type;
    std::string bytes;
};

struct Mutex {
    int owner; /* MUTEX_FREE, MUTEX_PROGRAM or MUTEX_ELSEWHERE */
    bool abandoned; /* the run elsewhere is killed while it holds it */
    std::function<void()> meanwhile;
};
enum { MUTEX_FREE, MUTEX_PROGRAM, MUTEX_ELSEWHERE };

/* A handle the program holds on a named mutex. */
struct MutexHandle {
    std::string name;
};

struct Fault {
    unsigned skip;  /* calls still to pass before the first that fails */
    unsigned times; /* calls still to fail; kLasting: all; 0: no fault */
    bool shortTransfer;
    DWORD error;
};

struct State {
    Disk disk;
    std::string tempPath;
    PendingDelete pendingDelete = PendingAccessDenied;
    std::set<OpenFile *> files;
    std::map<std::string, std::map<std::string, RegistryValue>> registry; /* upper-cased names */
    std::set<OpenKey *> openKeys;
    bool administrator;
    std::vector<Resource *> resources;
    int loadedResources;
    std::vector<Box> boxes;
    std::vector<int> answers;
    std::map<void *, SIZE_T> blocks;
    SIZE_T largestBlock;
    unsigned long long bytesRead;
    int writesFromElsewhere;
    unsigned calls[OpCount];
    Fault faults[OpCount];
    bool faultFired;
    std::vector<Call> trace;
    std::function<void(const Call &)> callHook;
    unsigned nextUnique;
    std::function<void(const std::string &)> writeHook;
    std::function<void(const std::string &)> misuseHandler;
    DWORD lastError;
    unsigned sleeps;
    unsigned long long slept;
    std::map<std::string, Mutex> mutexes;
    std::set<MutexHandle *> mutexHandles;
    bool loaderUpdate;
    DWORD dllSearch;
    size_t callsBeforeDllSearch;
};

State &S();

/* Counts a call of op, naming path (and, for a copy, its source); true
 * when an injected fault makes it fail. For ReadFile and WriteFile,
 * *shortTransfer tells that the fault is a short one. */
bool Faulted(Op op, bool *shortTransfer = nullptr, const std::string &path = std::string(),
             const std::string &source = std::string());


/* Sets the last error of a call that fails. */
inline void SetError(DWORD error)
{
    S().lastError = error;
}

/* Counts a Sleep of the program against the holds of other programs that
 * end after so many; those that end are closed. */
void SleepOnHolds();

/* Reports a call Windows would not take as the program means it. */
void Misuse(const std::string &what);

/* Whether c begins a double-byte character in code page 932. */
bool IsLeadByte932(unsigned char c);

/* Closes a mutex handle of the program; false when the handle is none. */
bool CloseMutexHandle(HANDLE object);

/* Closes and frees everything the program left open or allocated. */
void ReleaseAll();

/* Upper-cases ASCII letters, as Windows compares names. */
std::string Upper(const std::string &text);

/* Whether p points into a resource's bytes or a live GlobalAlloc block. */
bool InResource(const void *p, size_t count);
bool InBlock(const void *p, size_t count);

} // namespace sim

#endif
