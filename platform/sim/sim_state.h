/*
 * The simulated machine's state, shared by the files of platform/sim/.
 */
#ifndef WELLHAVEN_PLATFORM_SIM_STATE_H
#define WELLHAVEN_PLATFORM_SIM_STATE_H

#include "platform/sim/sim.h" /* and the standard headers it uses */

namespace sim {

/* One handle table: an open file, a registry key or a mutex. */
struct Handle {
    enum Kind { FILE, KEY, MUTEX } kind;
    std::string path;     /* the Windows path opened; the key's stored path; the mutex's name */
    DWORD access;         /* GENERIC_* for a file, the REGSAM of a key */
    unsigned file = 0;    /* the file it holds */
    DWORD shareMode = 0;
    size_t position = 0;
    bool heldByOther = false;
    unsigned untilSleeps = 0; /* held by another program until this many Sleeps; 0: until ReleaseHeld */
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

enum MutexOwner { MUTEX_FREE, MUTEX_PROGRAM, MUTEX_ELSEWHERE };
struct Mutex {
    MutexOwner owner;
    bool abandoned; /* the run elsewhere is killed while it holds it */
    std::function<void()> meanwhile;
};

struct Fault {
    unsigned skip;  /* calls still to pass before the first that fails */
    unsigned times; /* calls still to fail; kLasting: all; 0: no fault */
    bool shortTransfer;
    DWORD error;
};

struct State {
    Disk disk;
    PendingDelete pendingDelete;
    std::string tempPath;
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle;
    std::map<std::string, std::map<std::string, RegistryValue>> registry; /* upper-cased names */
    std::vector<std::unique_ptr<Resource>> resources;
    int loadedResources;
    std::vector<Box> boxes;
    UINT ansiCodePage;
    std::vector<int> answers;
    std::map<void *, SIZE_T> blocks;
    std::map<SIZE_T, std::vector<void *>> freed; /* blocks freed, kept for the next of their size */
    SIZE_T largestBlock;
    unsigned long long bytesRead;
    int writesFromElsewhere;
    Fault faults[OpCount];
    bool faultFired;
    std::vector<Call> trace;
    std::function<void(const Call &)> callHook;
    unsigned nextUnique;
    std::function<void(const std::string &)> writeHook;
    DWORD lastError;
    unsigned sleeps;
    unsigned long long slept;
    std::map<std::string, Mutex> mutexes;
    bool loaderUpdate;
    DWORD dllSearch;
    size_t callsBeforeDllSearch;
};

State &S();

/* The entry of every call of SIM_CALLS: traces it with the path it names
 * (and a copy's or rename's source), runs the hook, then decides an
 * injected fault. Returns the fault's error (0: none), which is also the
 * last error, but for a registry call, which returns it instead, and a
 * short transfer (*shortTransfer), which succeeds. */
DWORD Enter(Op op, const std::string &path = std::string(), const std::string &source = std::string(),
            bool *shortTransfer = nullptr);

/* Sets the last error of a call that fails. */
inline void SetError(DWORD error)
{
    S().lastError = error;
}

/* The handle table (sim_handles.cpp): a new handle, and the handle of the
 * given kind that h is (nullptr when it is none: closed, never opened,
 * another kind). */
HANDLE NewHandle(const Handle &handle);
Handle *Find(HANDLE h, Handle::Kind kind);
/* Takes a handle out of the table; a file's last handle takes the names of
 * it deleted meanwhile with it. */
void Close(HANDLE h);
/* Whether any handle, or one not sharing delete, holds the file. */
bool AnyHandle(unsigned file, bool withoutDeleteSharing = false);
/* Opens a file as CreateFileA does; on a refusal, returns nullptr with
 * *error the error Windows gives (see sim_refusals.cpp). */
HANDLE Open(const std::string &windowsPath, DWORD access, DWORD shareMode, DWORD creation, DWORD flags,
            bool heldByOther, DWORD *error);
/* Closes the holds of other programs that end: all (ReleaseHeld), or, at a
 * Sleep of the program, those that end after so many Sleeps. */
void EndHolds(bool all);

/* Reports a call Windows would not take as the program means it. */
void Misuse(const std::string &what);

/* Whether c begins a double-byte character in code page 932. */
bool IsLeadByte932(unsigned char c);

/* Whether count bytes at p lie in a live GlobalAlloc block or (orResource)
 * in a resource's bytes. */
bool Given(const void *p, size_t count, bool orResource);

/* The file calls' view of the disk (sim_disk.cpp), by Key(). */
Name *NameOf(const std::string &key);
File *FileOf(unsigned id);
bool IsFolder(const std::string &key);
std::string Parent(const std::string &key);
/* Gives a name a file of these bytes and attributes, as a create does: the
 * file it names, rewritten in place under all its names, or a new one. */
File &Create(const std::string &key, const std::string &bytes, DWORD attributes);
/* Bytes for a file, with room for at least room of them. The sweeps write
 * and drop files of up to a megabyte thousands of times: the buffers of
 * large ones are kept for the next instead of going back to the allocator,
 * whose fresh pages cost more than the bytes copied into them. */
std::shared_ptr<const std::string> NewBytes(const std::string &bytes, size_t room = 0);
/* Removes a name; a file goes with its last name and handle. */
void Unname(const std::string &key);
/* Keeps the settable bits; "normal" means none of the others and is kept
 * as none. */
DWORD Settable(DWORD attributes);

/* What a file call asks of a name: its refusals, in the order Windows
 * checks them. */
enum Check { OPEN = 1, COPY_FROM = 2, COPY_TO = 4, MOVE_FROM = 8, MOVE_TO = 16, DELETE = 32, SET_ATTRIBUTES = 64,
             GET_ATTRIBUTES = 128 };
struct Ask {
    DWORD access = 0, shareMode = 0, creation = 0;
    DWORD attributes = 0; /* of the file a create or copy makes */
    bool failIfExists = false, replace = false;
    unsigned other = 0; /* the source's file, for a copy onto it */
};
/* The error the first row that holds for check on key gives; 0: none. */
DWORD Refusal(Check check, const std::string &key, const Ask &ask = Ask());

} // namespace sim

#endif
