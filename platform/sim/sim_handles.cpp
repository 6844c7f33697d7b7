/*
 * The simulated handle table: open files, registry keys and mutexes, of the
 * program and of other programs, and the holds of other programs on files.
 */
#include <algorithm>

#include "platform/sim/sim_state.h"

namespace sim {

HANDLE NewHandle(const Handle &handle)
{
    State &s = S();
    const uintptr_t h = s.nextHandle += 4;
    s.handles.emplace(h, handle);
    return reinterpret_cast<HANDLE>(h);
}

Handle *Find(HANDLE h, Handle::Kind kind)
{
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == S().handles.end() || it->second.kind != kind ? nullptr : &it->second;
}

void Close(HANDLE h)
{
    auto &handles = S().handles;
    auto it = handles.find(reinterpret_cast<uintptr_t>(h));
    const unsigned file = it->second.kind == Handle::FILE ? it->second.file : 0;
    handles.erase(it);
    if (file == 0 || AnyHandle(file))
        return;
    std::vector<std::string> pending;
    for (const auto &n : S().disk.names)
        if (n.second.file == file && n.second.deletePending)
            pending.push_back(n.first);
    for (const std::string &key : pending)
        Unname(key);
    Unname(std::string()); /* a file with no name left goes with its last handle */
}

bool AnyHandle(unsigned file, bool withoutDeleteSharing)
{
    for (const auto &h : S().handles)
        if (h.second.kind == Handle::FILE && h.second.file == file &&
            !(withoutDeleteSharing && (h.second.shareMode & FILE_SHARE_DELETE)))
            return true;
    return false;
}

HANDLE Open(const std::string &windowsPath, DWORD access, DWORD shareMode, DWORD creation, DWORD flags,
            bool heldByOther, DWORD *error)
{
    const std::string key = Key(windowsPath);
    *error = Refusal(OPEN, key, Ask{access, shareMode, creation, flags});
    if (*error != 0)
        return nullptr;
    if (creation == CREATE_ALWAYS) {
        /* A file written anew is empty and marked for archiving; an existing
         * one is cut to nothing in place, under all its names. */
        *error = NameOf(key) != nullptr ? ERROR_ALREADY_EXISTS : 0;
        Create(key, std::string(), flags | FILE_ATTRIBUTE_ARCHIVE);
    }
    const Name *name = NameOf(key);
    Handle h{Handle::FILE, windowsPath, access, name != nullptr ? name->file : 0, shareMode};
    h.heldByOther = heldByOther;
    return NewHandle(h);
}

/* An existing file opened by another program; nullptr when refused. */
static HANDLE OpenElsewhere(const std::string &windowsPath, DWORD access, DWORD shareMode)
{
    DWORD error;
    return Open(windowsPath, access, shareMode, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true, &error);
}

bool HoldOpen(const std::string &windowsPath, DWORD access, DWORD shareMode, unsigned untilSleeps)
{
    HANDLE h = OpenElsewhere(windowsPath, access, shareMode);
    if (h != nullptr)
        Find(h, Handle::FILE)->untilSleeps = untilSleeps;
    return h != nullptr;
}

bool TryOpen(const std::string &windowsPath, DWORD access, DWORD shareMode)
{
    HANDLE h = OpenElsewhere(windowsPath, access, shareMode);
    if (h != nullptr)
        Close(h);
    return h != nullptr;
}

void EndHolds(bool all)
{
    std::vector<HANDLE> ending;
    for (auto &h : S().handles)
        if (h.second.heldByOther && (all || (h.second.untilSleeps != 0 && --h.second.untilSleeps == 0)))
            ending.push_back(reinterpret_cast<HANDLE>(h.first));
    for (HANDLE h : ending)
        Close(h);
}

void ReleaseHeld()
{
    EndHolds(true);
}

std::vector<std::string> OpenByProgram()
{
    std::vector<std::string> paths;
    for (const auto &h : S().handles)
        if (h.second.kind == Handle::FILE && !h.second.heldByOther)
            paths.push_back(h.second.path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

int OpenHandles()
{
    int n = 0;
    for (const auto &h : S().handles)
        n += !h.second.heldByOther;
    return n;
}

} // namespace sim

using namespace sim;

extern "C" BOOL WINAPI CloseHandle(HANDLE object)
{
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(object));
    if (it == S().handles.end() || it->second.heldByOther || it->second.kind == Handle::KEY) {
        Misuse("CloseHandle of a handle the program does not hold");
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Close(object);
    return TRUE;
}
