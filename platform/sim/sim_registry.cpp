/*
 * The simulated registry: HKEY_LOCAL_MACHINE as an in-memory tree of typed
 * values, as 64-bit Windows shows it to a 32-bit program run by a standard
 * user, read through the ANSI calls.
 */
#include <string.h>

#include "platform/sim/sim_state.h"

namespace sim {

/* Upper-cases ASCII letters, as Windows compares the names of keys and
 * values. */
static std::string Upper(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return out;
}

/* What a standard user may ask for on a key of HKEY_LOCAL_MACHINE: KEY_READ
 * (read control, query value, enumerate subkeys, notify). */
static const REGSAM kKeyRead = 0x00020019u;

/* The key's place in the tree: under SOFTWARE, the 32-bit view's keys live
 * under SOFTWARE\Wow6432Node. */
static std::string Stored(const std::string &subKey, RegistryView view)
{
    static const std::string kSoftware = "SOFTWARE\\";
    std::string name = Upper(subKey);
    if (view == Registry32 && name.compare(0, kSoftware.size(), kSoftware) == 0 &&
        name.compare(0, kSoftware.size() + 12, kSoftware + "WOW6432NODE\\") != 0)
        name.insert(kSoftware.size(), "WOW6432NODE\\");
    return name;
}

void SetRegistryKey(const std::string &subKey, RegistryView view)
{
    S().registry[Stored(subKey, view)];
}

void SetRegistryValue(const std::string &subKey, const std::string &name, DWORD type, const std::string &bytes,
                      RegistryView view)
{
    S().registry[Stored(subKey, view)][Upper(name)] = RegistryValue{type, bytes, (DWORD)bytes.size()};
}

void SetRegistryValueSize(const std::string &subKey, const std::string &name, DWORD reportedSize, RegistryView view)
{
    S().registry[Stored(subKey, view)][Upper(name)].reportedSize = reportedSize;
}

void SetRegistryString(const std::string &subKey, const std::string &name, const std::string &text, DWORD type,
                       RegistryView view)
{
    SetRegistryValue(subKey, name, type, text + std::string(1, '\0'), view);
}

} // namespace sim

using namespace sim;

extern "C" LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, HKEY *result)
{
    if (DWORD error = Enter(OpRegOpenKeyExA, subKey))
        return (LONG)error;
    if (key != HKEY_LOCAL_MACHINE) {
        Misuse("RegOpenKeyExA under a key other than HKEY_LOCAL_MACHINE");
        return ERROR_INVALID_HANDLE;
    }
    if (options != 0 || ((desired & KEY_WOW64_32KEY) && (desired & KEY_WOW64_64KEY)))
        return ERROR_INVALID_PARAMETER;
    /* A 32-bit program sees the 32-bit view unless it asks for the other. */
    RegistryView view = (desired & KEY_WOW64_64KEY) ? Registry64 : Registry32;
    REGSAM access = desired & ~(REGSAM)(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if ((access & ~kKeyRead) != 0)
        return ERROR_ACCESS_DENIED;
    std::string name = Stored(subKey, view);
    if (S().registry.count(name) == 0)
        return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(NewHandle(Handle{Handle::KEY, name, access}));
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD *reserved, DWORD *type, BYTE *data,
                                        DWORD *dataSize)
{
    Handle *opened = Find(key, Handle::KEY);
    if (DWORD error = Enter(OpRegQueryValueExA, opened != nullptr ? opened->path : std::string()))
        return (LONG)error;
    if (opened == nullptr) {
        Misuse("RegQueryValueExA on a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    if (reserved != NULL)
        return ERROR_INVALID_PARAMETER;
    if (!(opened->access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    auto &values = S().registry[opened->path];
    auto it = values.find(Upper(valueName));
    if (it == values.end())
        return ERROR_FILE_NOT_FOUND;
    const RegistryValue &v = it->second;
    if (type != NULL)
        *type = v.type;
    if (data != NULL && dataSize == NULL)
        return ERROR_INVALID_PARAMETER;
    if (data == NULL) {
        if (dataSize != NULL)
            *dataSize = v.reportedSize;
        return ERROR_SUCCESS;
    }
    if (*dataSize < v.bytes.size()) {
        *dataSize = (DWORD)v.bytes.size();
        return ERROR_MORE_DATA;
    }
    if (!Given(data, *dataSize, false))
        Misuse("RegQueryValueExA into a buffer smaller than the capacity given");
    memcpy(data, v.bytes.data(), v.bytes.size());
    *dataSize = (DWORD)v.bytes.size();
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key)
{
    if (Find(key, Handle::KEY) == nullptr) {
        Misuse("RegCloseKey of a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    Close(key);
    return ERROR_SUCCESS;
}
