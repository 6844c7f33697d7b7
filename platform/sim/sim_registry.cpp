/*
 * The simulated registry: HKEY_LOCAL_MACHINE as an in-memory tree of typed
 * values, read through the ANSI calls.
 */
#include <string.h>

#include "platform/sim/sim_state.h"

namespace sim {

static const LONG kFileNotFound = 2;
static const LONG kInvalidHandle = 6;
static const LONG kInvalidParameter = 87;
static const LONG kMoreData = 234;

void SetRegistryKey(const std::string &subKey)
{
    S().registry[Upper(subKey)];
}

void SetRegistryValue(const std::string &subKey, const std::string &name, DWORD type, const std::string &bytes)
{
    S().registry[Upper(subKey)][Upper(name)] = RegistryValue{type, bytes};
}

void SetRegistryString(const std::string &subKey, const std::string &name, const std::string &text, DWORD type)
{
    SetRegistryValue(subKey, name, type, text + std::string(1, '\0'));
}

} // namespace sim

using namespace sim;

extern "C" LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, HKEY *result)
{
    (void)options;
    (void)desired;
    if (Faulted(OpRegOpenKeyExA))
        return kFileNotFound;
    if (key != HKEY_LOCAL_MACHINE)
        return kInvalidHandle;
    std::string name = Upper(subKey);
    if (S().registry.count(name) == 0)
        return kFileNotFound;
    std::string *opened = new std::string(name);
    S().openKeys.insert(opened);
    *result = reinterpret_cast<HKEY>(opened);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD *reserved, DWORD *type, BYTE *data,
                                        DWORD *dataSize)
{
    (void)reserved;
    if (Faulted(OpRegQueryValueExA))
        return kFileNotFound;
    std::string *opened = reinterpret_cast<std::string *>(key);
    if (S().openKeys.count(opened) == 0)
        return kInvalidHandle;
    auto &values = S().registry[*opened];
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
            *dataSize = (DWORD)v.bytes.size();
        return ERROR_SUCCESS;
    }
    if (*dataSize < v.bytes.size()) {
        *dataSize = (DWORD)v.bytes.size();
        return kMoreData;
    }
    memcpy(data, v.bytes.data(), v.bytes.size());
    *dataSize = (DWORD)v.bytes.size();
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key)
{
    std::string *opened = reinterpret_cast<std::string *>(key);
    if (S().openKeys.erase(opened) == 0)
        return kInvalidHandle;
    delete opened;
    return ERROR_SUCCESS;
}
