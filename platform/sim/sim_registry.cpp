/*
 * The simulated registry: HKEY_LOCAL_MACHINE as an in-memory tree of typed
 * values, as 64-bit Windows shows it to a 32-bit program run by a standard
 * user, read through the ANSI calls.
 */
#include <string.h>

#include "platform/sim/sim_state.h"

namespace sim {

static const LONG kFileNotFound = 2;
static const LONG kAccessDenied = 5;
static const LONG kInvalidHandle = 6;
static const LONG kInvalidParameter = 87;
static const LONG kMoreData = 234;

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

void SetAdministrator(bool administrator)
{
    S().administrator = administrator;
}

static OpenKey *Lookup(HKEY key)
{
    OpenKey *opened = reinterpret_cast<OpenKey *>(key);
    return S().openKeys.count(opened) ? opened : nullptr;
}

} // namespace sim

using namespace sim;

extern "C" LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, HKEY *result)
{
    if (Faulted(OpRegOpenKeyExA))
        return kFileNotFound;
    if (key != HKEY_LOCAL_MACHINE) {
        Misuse("RegOpenKeyExA under a key other than HKEY_LOCAL_MACHINE");
        return kInvalidHandle;
    }
    if (options != 0 || ((desired & KEY_WOW64_32KEY) && (desired & KEY_WOW64_64KEY)))
        return kInvalidParameter;
    /* A 32-bit program sees the 32-bit view unless it asks for the other. */
    RegistryView view = (desired & KEY_WOW64_64KEY) ? Registry64 : Registry32;
    REGSAM access = desired & ~(REGSAM)(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (!S().administrator && (access & ~kKeyRead) != 0)
        return kAccessDenied;
    std::string name = Stored(subKey, view);
    if (S().registry.count(name) == 0)
        return kFileNotFound;
    OpenKey *opened = new OpenKey{name, access};
    S().openKeys.insert(opened);
    *result = reinterpret_cast<HKEY>(opened);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD *reserved, DWORD *type, BYTE *data,
                                        DWORD *dataSize)
{
    if (Faulted(OpRegQueryValueExA))
        return kFileNotFound;
    OpenKey *opened = Lookup(key);
    if (opened == nullptr) {
        Misuse("RegQueryValueExA on a key that is not open");
        return kInvalidHandle;
    }
    if (reserved != NULL)
        return kInvalidParameter;
    if (!(opened->access & KEY_QUERY_VALUE))
        return kAccessDenied;
    auto &values = S().registry[opened->path];
    auto it = values.find(Upper(valueName));
    if (it == values.end())
        return kFileNotFound;
    const RegistryValue &v = it->second;
    if (type != NULL)
        *type = v.type;
    if (data != NULL && dataSize == NULL)
        return kInvalidParameter;
    if (data == NULL) {
        if (dataSize != NULL)
            *dataSize = v.reportedSize;
        return ERROR_SUCCESS;
    }
    if (*dataSize < v.bytes.size()) {
        *dataSize = (DWORD)v.bytes.size();
        return kMoreData;
    }
    if (!InBlock(data, *dataSize))
        Misuse("RegQueryValueExA into a buffer smaller than the capacity given");
    memcpy(data, v.bytes.data(), v.bytes.size());
    *dataSize = (DWORD)v.bytes.size();
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key)
{
    OpenKey *opened = Lookup(key);
    if (opened == nullptr) {
        Misuse("RegCloseKey of a key that is not open");
        return kInvalidHandle;
    }
    S().openKeys.erase(opened);
    delete opened;
    return ERROR_SUCCESS;
}
