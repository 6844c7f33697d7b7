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
    int fd;
    std::string windowsPath;
    std::string hostPath;
    DWORD access;
    DWORD shareMode;
    bool heldByOther;
};

struct OpenKey {
    std::string path; /* upper-cased, in the view it was opened in */
    REGSAM access;
};

struct RegistryValue {
    DWORD type;
    std::string bytes;
};

struct Resource {
    WORD id;
    std::string type;
    std::string bytes;
};

struct Fault {
    unsigned remaining; /* calls still to pass before the fault; 0 = none */
    bool shortTransfer;
};

struct State {
    std::string hostRoot;
    std::string tempPath;
    std::map<std::string, DWORD> attributes; /* by host path; absent = normal */
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
    unsigned nextUnique;
    std::function<void(const std::string &)> writeHook;
    std::function<void(const std::string &)> misuseHandler;
};

State &S();

/* Counts a call of op, naming path; true when an injected fault makes it
 * fail. For ReadFile and WriteFile, *shortTransfer tells that the fault is a
 * short one. */
bool Faulted(Op op, bool *shortTransfer = nullptr, const std::string &path = std::string());

/* Reports a call Windows would not take as the program means it. */
void Misuse(const std::string &what);

/* Whether c begins a double-byte character in code page 932. */
bool IsLeadByte932(unsigned char c);

/* Closes and frees everything the program left open or allocated. */
void ReleaseAll();

/* Upper-cases ASCII letters, as Windows compares names. */
std::string Upper(const std::string &text);

/* Whether p points into a resource's bytes or a live GlobalAlloc block. */
bool InResource(const void *p, size_t count);
bool InBlock(const void *p, size_t count);

} // namespace sim

#endif
