/*
 * The simulated modules: the program's own, its resources from an in-memory
 * table, and kernel32.dll as the loader finds it, with or without
 * SetDefaultDllDirectories.
 */
#include <string.h>
#include <strings.h>

#include "platform/sim/sim_state.h"

namespace sim {

static char gModuleImage;

HMODULE Module()
{
    return reinterpret_cast<HMODULE>(&gModuleImage);
}

void AddResource(WORD id, const std::string &type, const std::string &bytes)
{
    S().resources.emplace_back(new Resource{id, type, bytes});
}

int LoadedResources()
{
    return S().loadedResources;
}

static Resource *Lookup(HRSRC resource)
{
    for (const auto &r : S().resources)
        if (reinterpret_cast<HRSRC>(r.get()) == resource)
            return r.get();
    return nullptr;
}

void SetLoaderUpdate(bool present)
{
    S().loaderUpdate = present;
}

DWORD DllSearch()
{
    return S().dllSearch;
}

size_t CallsBeforeDllSearch()
{
    return S().callsBeforeDllSearch;
}

/* The handle of kernel32.dll in the process. */
static char gKernel32Image;

static BOOL WINAPI SimSetDefaultDllDirectories(DWORD directoryFlags)
{
    State &s = S();
    s.dllSearch = directoryFlags;
    s.callsBeforeDllSearch = s.trace.size();
    return TRUE;
}

} // namespace sim

using namespace sim;

extern "C" HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type)
{
    if (Enter(OpFindResourceA))
        return NULL;
    /* The null module is the program's own. */
    if (module != NULL && module != Module()) {
        SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return NULL;
    }
    ULONG_PTR id = reinterpret_cast<ULONG_PTR>(name);
    bool typeFound = false;
    for (const auto &r : S().resources) {
        if (strcasecmp(r->type.c_str(), type) != 0)
            continue;
        typeFound = true;
        if (r->id == id)
            return reinterpret_cast<HRSRC>(r.get());
    }
    SetError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return NULL;
}

/* The resource a call of op names, after its entry; nullptr, with the
 * error set, when the call fails. */
static Resource *Named(Op op, const void *resource)
{
    if (Enter(op))
        return nullptr;
    Resource *r = Lookup(static_cast<HRSRC>(const_cast<void *>(resource)));
    if (r == nullptr)
        SetError(ERROR_INVALID_HANDLE);
    return r;
}

extern "C" DWORD WINAPI SizeofResource(HMODULE, HRSRC resource)
{
    Resource *r = Named(OpSizeofResource, resource);
    return r != nullptr ? (DWORD)r->bytes.size() : 0;
}

extern "C" HGLOBAL WINAPI LoadResource(HMODULE, HRSRC resource)
{
    Resource *r = Named(OpLoadResource, resource);
    S().loadedResources += r != nullptr;
    return r;
}

extern "C" void *WINAPI LockResource(HGLOBAL resourceData)
{
    Resource *r = Named(OpLockResource, resourceData);
    return r != nullptr ? const_cast<char *>(r->bytes.data()) : NULL;
}

extern "C" BOOL WINAPI FreeResource(HGLOBAL resourceData)
{
    if (Lookup(static_cast<HRSRC>(resourceData)) == nullptr || S().loadedResources == 0) {
        Misuse("FreeResource of a resource that is not loaded");
        return FALSE;
    }
    S().loadedResources--;
    return FALSE;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName)
{
    if (moduleName == NULL)
        return Module();
    if (strcasecmp(moduleName, "kernel32.dll") == 0 || strcasecmp(moduleName, "kernel32") == 0)
        return reinterpret_cast<HMODULE>(&gKernel32Image);
    return NULL;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module != reinterpret_cast<HMODULE>(&gKernel32Image) || !S().loaderUpdate ||
        strcmp(procName, "SetDefaultDllDirectories") != 0)
        return NULL;
    return reinterpret_cast<FARPROC>(&SimSetDefaultDllDirectories);
}
