/*
 * The simulated Windows of the host build: the operations of
 * platform/winapi.h realised over a host folder and in-memory tables, with
 * the controls the native tests use to set the scene, inject faults and see
 * what the program did.
 *
 * What it models, as Windows does it:
 * - Windows paths ("C:\Games\...") map onto a host folder; a backslash is a
 *   separator only where it is a character of its own in code page 932, not
 *   the trail byte of a double-byte character. Names are matched as given.
 * - File attributes (read-only, hidden) are kept here. CopyFileA over an
 *   existing hidden or read-only target fails with access denied, as does
 *   CREATE_ALWAYS or GENERIC_WRITE on one; the copy carries the source's
 *   attributes to the target.
 * - An open file's share mode is honoured by later opens, copies and deletes.
 * - HKEY_LOCAL_MACHINE is an in-memory tree of typed values.
 * - The program's module holds resources from an in-memory table.
 * - Message boxes are recorded and answered from a script.
 * - GlobalAlloc blocks, open handles and keys, and loaded resources are
 *   counted, so a test can assert that everything was released.
 */
#ifndef WELLHAVEN_PLATFORM_SIM_H
#define WELLHAVEN_PLATFORM_SIM_H

#include <string>
#include <vector>

#include "platform/winapi.h"

namespace sim {

/* The operations that can be made to fail. */
enum Op {
    OpCreateFileA,
    OpGetFileSize,
    OpReadFile,
    OpWriteFile,
    OpSetFilePointer,
    OpCopyFileA,
    OpDeleteFileA,
    OpSetFileAttributesA,
    OpGetTempPathA,
    OpGetTempFileNameA,
    OpFindResourceA,
    OpSizeofResource,
    OpLoadResource,
    OpLockResource,
    OpGlobalAlloc,
    OpRegOpenKeyExA,
    OpRegQueryValueExA,
    OpMessageBoxA,
    OpCount
};
const char *OpName(Op op);

/* Starts a fresh machine whose drives live under hostRoot (created if
 * missing): C:\ is hostRoot/C. Removes the drives' files, clears attributes, the registry, the
 * resources, the boxes, the counters and the faults. The temporary folder
 * becomes C:\Temp\ (created). */
void Reset(const std::string &hostRoot);

/* Another run of the program on the same machine: forgets the boxes, the
 * answers, the counters and the faults; keeps files, attributes, registry
 * and resources. */
void NewRun();

/* The host path of a Windows path. */
std::string HostPath(const std::string &windowsPath);

/* Files, by Windows path. */
void PutFile(const std::string &windowsPath, const std::string &bytes, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
bool Exists(const std::string &windowsPath);
std::string FileBytes(const std::string &windowsPath); /* empty when missing */
void MakeFolder(const std::string &windowsPath);
/* FILE_ATTRIBUTE_NORMAL when none is set. */
DWORD Attributes(const std::string &windowsPath);
void SetAttributes(const std::string &windowsPath, DWORD attributes);
/* The names in a folder, sorted. */
std::vector<std::string> List(const std::string &windowsFolder);
/* Holds a file open as another program would, with the given access and
 * share mode; returns false when the open is refused. */
bool HoldOpen(const std::string &windowsPath, DWORD access, DWORD shareMode);
void ReleaseHeld();

/* The temporary folder GetTempPathA reports, as given (any length). */
void SetTempPath(const std::string &windowsPath);

/* HKEY_LOCAL_MACHINE. */
void SetRegistryKey(const std::string &subKey);
void SetRegistryValue(const std::string &subKey, const std::string &name, DWORD type, const std::string &bytes);
void SetRegistryString(const std::string &subKey, const std::string &name, const std::string &text,
                       DWORD type = REG_SZ); /* stored with its NUL */

/* The program's module and its resources. */
HMODULE Module();
void AddResource(WORD id, const std::string &type, const std::string &bytes);

/* Message boxes. */
struct Box {
    HWND owner;
    bool hasCaption;
    std::string caption;
    std::string text;
    UINT flags;
};
const std::vector<Box> &Boxes();
/* The next box answers with this; unscripted boxes answer IDOK (IDYES for a
 * Yes/No box). */
void Answer(int result);

/* What is still held. */
int OpenHandles(); /* files and registry keys */
int LiveBlocks();  /* GlobalAlloc blocks not freed */
int LoadedResources();
/* The largest GlobalAlloc asked for since Reset. */
SIZE_T LargestBlock();
/* Bytes read through ReadFile since Reset. */
unsigned long long BytesRead();
/* WriteFile calls whose bytes did not come straight from a resource or from
 * a GlobalAlloc block (a copy in some other memory). */
int WritesFromElsewhere();

/* Calls made, per operation, since Reset. */
unsigned Calls(Op op);
/* The Windows paths passed to SetFileAttributesA, in order, with the
 * attributes asked for. */
struct AttributeCall {
    std::string path;
    DWORD attributes;
};
const std::vector<AttributeCall> &AttributeCalls();

/* Faults: the nth call (from 1) of op fails; for ReadFile and WriteFile a
 * short fault moves fewer bytes than asked and succeeds. Counting starts at
 * the moment of the call to FailCall. */
void FailCall(Op op, unsigned nth);
void ShortCall(Op op, unsigned nth);
bool FaultFired();

} // namespace sim

#endif
