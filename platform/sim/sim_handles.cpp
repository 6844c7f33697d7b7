/*
 * The simulated handle table: open files, registry keys and mutexes, of the
 * program and of other programs.
 */
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
