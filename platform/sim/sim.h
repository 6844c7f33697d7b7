/*
 * The simulated Windows of the host build: the operations of
 * platform/winapi.h realised over in-memory tables, with
 * the controls the native tests use to set the scene, inject faults and see
 * what the program did.
 *
 * What it models, as Windows does it:
 * - The drives are held in memory. Windows paths ("C:\Games\...") name
 *   their files and folders; a backslash is a separator only where it is a
 *   character of its own in code page 932, not the trail byte of a
 *   double-byte character. Names are matched as given.
 * - The whole attribute word of a file is kept here: a file the program
 *   creates (CREATE_ALWAYS, GetTempFileNameA) gets the archive bit with what
 *   it asked for, a copy carries the source's word to the target, and
 *   FILE_ATTRIBUTE_NORMAL stands alone or not at all.
 * - The disk is names, files and folders: a name points to a file, a file
 *   holds its bytes, attribute word and durable flag, and a handle points
 *   to a file. A file may have several names (Link); whatever is done to it
 *   through one shows under all, and renaming or deleting one name leaves
 *   the others and the file, as does renaming a name a handle was opened by.
 * - What each file call refuses, and with which error, is one ordered table
 *   of rules (sim_refusals.cpp), each rule one row: sharing against every
 *   handle open on the file, both ways; a name deleted pending
 *   (SetPendingDelete); folders, marks and open targets in the way.
 * - A call that fails sets the error GetLastError reports, the one Windows
 *   gives for that refusal; a call that succeeds leaves it alone, but for
 *   CREATE_ALWAYS and CreateMutexA, which report whether the name existed
 *   (ERROR_ALREADY_EXISTS, or 0). The registry calls return their error
 *   instead, as there.
 * - Sleep returns at once and is counted; another program's hold on a file
 *   can end at the program's nth Sleep.
 * - Durability: bytes written to a file (by WriteFile or a copy) are not
 *   durable until FlushFileBuffers on a handle to it; creating, renaming and
 *   deleting files, and their attributes, are durable in the order they were
 *   made. A power cut (Torn) tears every file whose bytes are not durable.
 * - Named mutexes, one program's run at a time: one can be held by another
 *   run that lets go (or is killed) when the program waits for it. A mutex
 *   the program holds is freed when its run ends (NewRun): its handle goes
 *   with its process, and the next run finds the mutex free.
 * - The loader: GetModuleHandleA knows kernel32.dll, whose
 *   SetDefaultDllDirectories GetProcAddress finds unless the system predates
 *   it; the search the program asked for is recorded.
 * - HKEY_LOCAL_MACHINE is an in-memory tree of typed values, seen as 64-bit
 *   Windows shows it to a 32-bit program: keys under SOFTWARE that a 32-bit
 *   installer wrote live under SOFTWARE\Wow6432Node, which a plain open (or
 *   KEY_WOW64_32KEY) reaches and KEY_WOW64_64KEY does not. The caller is a
 *   standard user: it may open keys for reading only, and a value can be
 *   read only through a key opened with KEY_QUERY_VALUE.
 * - Resources come from an in-memory table; message boxes are recorded as
 *   the player reads them and answered from a script. The system's ANSI
 *   code page is Japanese (932) unless told otherwise: the ANSI box reads
 *   its bytes in it, the Unicode box shows UTF-16 as it is.
 *   MultiByteToWideChar knows code pages 932 (glibc's CP932, whose table
 *   is Windows') and 1252.
 * - GlobalAlloc blocks, handles and loaded resources are counted, so a test
 *   can assert that everything was released. Memory is that of a 32-bit
 *   program: a GlobalAlloc of more than 0x7FFF0000 bytes (just under 2 GiB)
 *   fails, and one of 4 GiB or more is a size that wrapped around there.
 * - GetTempFileNameA makes the empty file it names, as Windows does when
 *   it picks the number itself. In a folder that leaves no room for the
 *   name within the path limit it answers as Wine does: it succeeds and
 *   hands back the name cut off at 259 characters, which names no file
 *   (the one made has the whole name; Windows fails the call).
 * - A call Windows would not take as the program means it (a GlobalAlloc
 *   block that is not GMEM_FIXED and so no pointer, a handle closed or a
 *   block freed twice, an unknown key or file handle), or in a form the
 *   program never uses (a high size or distance word, a move from the end,
 *   a temporary name of the caller's number, a conversion other than of a
 *   NUL-terminated text into a buffer) is a misuse, reported at the call.
 */
#ifndef WELLHAVEN_PLATFORM_SIM_H
#define WELLHAVEN_PLATFORM_SIM_H

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/winapi.h"

/* The errors and constants the simulated calls and the tests use besides
 * those of platform/winapi.h; the program knows only those. */
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L /* not modelled: only injected */
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_DIRECTORY 267L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u

/* Every call whose failure the program acts on, each traced, shown to the
 * hook and open to faults. Not these: the releases (CloseHandle,
 * RegCloseKey, GlobalFree, FreeResource), whose answer it ignores, and the
 * loader's (GetModuleHandleA, GetProcAddress), whose one failure here is a
 * system without SetDefaultDllDirectories (SetLoaderUpdate). */
#define SIM_CALLS(X)                                                                                               \
    X(CreateFileA) X(GetFileSize) X(ReadFile) X(WriteFile) X(SetFilePointer) X(CopyFileA) X(DeleteFileA)          \
    X(SetFileAttributesA) X(GetTempPathA) X(GetTempFileNameA) X(FindResourceA) X(SizeofResource) X(LoadResource)  \
    X(LockResource) X(GlobalAlloc) X(RegOpenKeyExA) X(RegQueryValueExA) X(MessageBoxA) X(FlushFileBuffers)        \
    X(MoveFileExA) X(CreateMutexA) X(WaitForSingleObject) X(GetFileAttributesA) X(MessageBoxW)                     \
    X(MultiByteToWideChar)

namespace sim {

#define SIM_OP(name) Op##name,
enum Op { SIM_CALLS(SIM_OP) OpCount };
#undef SIM_OP
const char *OpName(Op op);

/* Starts a fresh machine: drive C: holds nothing but the temporary folder
 * C:\Temp\; no registry, resources, boxes, counters, faults or hooks. */
void Reset();

/* Another run of the program on the same machine: forgets the boxes, the
 * answers, the counters and the faults; keeps files, attributes, registry
 * and resources. */
void NewRun();

/* Files, by Windows path. */
void PutFile(const std::string &windowsPath, const std::string &bytes, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
bool Exists(const std::string &windowsPath);
std::string FileBytes(const std::string &windowsPath); /* empty when missing */
void MakeFolder(const std::string &windowsPath);
/* FILE_ATTRIBUTE_NORMAL when none is set. */
DWORD Attributes(const std::string &windowsPath);
/* The names in a folder, sorted. */
std::vector<std::string> List(const std::string &windowsFolder);
/* The Windows paths of every file on the machine. */
std::vector<std::string> AllFiles();

/* The disk as it stands. Saving is cheap (the bytes are shared until one
 * side changes them), so a test can keep one before every call of a run. */
struct File {
    std::shared_ptr<const std::string> bytes;
    DWORD attributes;    /* the settable bits; 0 for normal */
    bool durable = true; /* no bytes written since the last flush */
    /* A hash of the bytes once asked for (Hash), shared with them; 0: not yet. */
    std::shared_ptr<size_t> hash = std::make_shared<size_t>(0);
};
struct Name {
    unsigned file;
    bool deletePending = false; /* the name goes when the file's last handle closes */
};
struct Disk {
    std::map<std::string, Name> names; /* by Key() */
    std::map<unsigned, File> files;
    std::set<std::string> folders;
    unsigned nextFile = 1;
    /* The file a key names; nullptr when none. */
    const File *Find(const std::string &key) const;
};
Disk SaveDisk();
/* The disk as it stands, not copied: good until the next call of the
 * program or of this interface. */
const Disk &DiskNow();
/* A hash of a file's bytes, computed once for bytes however often saved. */
size_t Hash(const File &file);
/* The key of a Windows path in Disk::names and Disk::folders: the drive
 * upper-cased, separators as '/' ("C:/Games/Wellhaven/data.xp3"); empty
 * when it names no drive. */
std::string Key(const std::string &windowsPath);
/* Puts a saved disk back; no file may be open, so names deleted pending
 * are gone. */
void RestoreDisk(const Disk &disk);
/* The disk as a power cut leaves it: every file whose bytes are not durable
 * is cut to the first half of its length, or (zeroTail) keeps its length
 * with the second half zero, as a file system that journals sizes but not
 * data shows it. Names, renames, deletions and attributes stand. */
Disk Torn(const Disk &disk, bool zeroTail);
/* Gives an existing file a second name, in an existing folder where no
 * file or folder has it yet; false when it cannot. */
bool Link(const std::string &existingWindowsPath, const std::string &newWindowsPath);

/* What a name deleted while another handle holds its file with delete
 * sharing answers: access denied to every open, copy onto it, rename onto
 * or from it, delete and attribute call (Windows before 10 1903; the
 * default after Reset); opened still, and a create or a copy onto it
 * answering ERROR_FILE_EXISTS (Wine); or gone at once, the holders keeping
 * the file (Windows 10 1903 and later on NTFS). */
enum PendingDelete { PendingAccessDenied, PendingFileExists, PendingFreed };
void SetPendingDelete(PendingDelete answer);

/* Holds a file open as another program would, with the given access and
 * share mode, until ReleaseHeld or, when untilSleeps is not 0, until the
 * program's untilSleeps-th Sleep from now; returns false when the open is
 * refused. It leaves the program's last error alone, so a BeforeCall hook
 * may hold a file the program made in an earlier call. */
bool HoldOpen(const std::string &windowsPath, DWORD access, DWORD shareMode, unsigned untilSleeps = 0);
void ReleaseHeld();

/* The program's Sleep calls since NewRun, and the milliseconds they asked
 * for in all. */
unsigned Sleeps();
unsigned long long SleptMilliseconds();

/* The temporary folder GetTempPathA reports, as given (any length). */
void SetTempPath(const std::string &windowsPath);

/* Files as another program would open them while the program runs: whether
 * the open is allowed; the handle is closed again at once. */
bool TryOpen(const std::string &windowsPath, DWORD access, DWORD shareMode);
/* The Windows paths of the files the program holds open. */
std::vector<std::string> OpenByProgram();
/* Called with the file's Windows path at every WriteFile of the program,
 * before the bytes are written; none after Reset. */
void OnWrite(std::function<void(const std::string &windowsPath)> hook);

/* HKEY_LOCAL_MACHINE, in the view of the program that wrote the key: a
 * 32-bit installer's keys under SOFTWARE are stored under
 * SOFTWARE\Wow6432Node. */
enum RegistryView { Registry32, Registry64 };
void SetRegistryKey(const std::string &subKey, RegistryView view = Registry32);
void SetRegistryValue(const std::string &subKey, const std::string &name, DWORD type, const std::string &bytes,
                      RegistryView view = Registry32);
void SetRegistryString(const std::string &subKey, const std::string &name, const std::string &text,
                       DWORD type = REG_SZ, RegistryView view = Registry32); /* stored with its NUL */
/* What the size query of an existing value reports from now on, where it
 * differs from the bytes the data query gives: a string stored in UTF-16
 * reports more than its ANSI text needs, and a value may report any 32-bit
 * size, more than a 32-bit program can ever allocate. */
void SetRegistryValueSize(const std::string &subKey, const std::string &name, DWORD reportedSize,
                          RegistryView view = Registry32);

/* Another run holds the named mutex; when the program waits for it,
 * meanwhile() runs (what that run does until it ends) and the mutex is then
 * released, or left abandoned by a run that was killed. */
void HoldMutexElsewhere(const std::string &name, std::function<void()> meanwhile, bool abandoned);
/* Whether the program holds the named mutex now (until NewRun). */
bool MutexHeldByProgram(const std::string &name);

/* Whether the system has SetDefaultDllDirectories (true after Reset). */
void SetLoaderUpdate(bool present);
/* The flags the program gave SetDefaultDllDirectories (0: never called),
 * and how many calls of the trace came before it. */
DWORD DllSearch();
size_t CallsBeforeDllSearch();

/* The program's module and its resources. */
HMODULE Module();
void AddResource(WORD id, const std::string &type, const std::string &bytes);

/* Message boxes, their caption and text as the player reads them, in
 * UTF-8. */
struct Box {
    HWND owner;
    bool hasCaption;
    std::string caption;
    std::string text;
    UINT flags;
};
/* The system's ANSI code page: 932 (Japanese) after Reset, or 1252
 * (Western European). Files, names and CharNextA stay code page 932's. */
void SetAnsiCodePage(UINT codePage);
const std::vector<Box> &Boxes();
/* The next box answers with this; unscripted boxes answer IDOK (IDYES for a
 * Yes/No box). */
void Answer(int result);

/* What is still held. */
int OpenHandles(); /* files, registry keys and mutexes */
int LiveBlocks();  /* GlobalAlloc blocks not freed */
int LoadedResources();
/* The largest GlobalAlloc asked for since NewRun. */
SIZE_T LargestBlock();
/* Bytes read through ReadFile since NewRun. */
unsigned long long BytesRead();
/* WriteFile calls whose bytes did not come straight from a resource or from
 * a GlobalAlloc block (a copy in some other memory). */
int WritesFromElsewhere();

/* Every call of SIM_CALLS, in order, since NewRun, with the Windows path
 * it names (the target of a copy or rename, the file of a handle; empty
 * for calls that name none). */
struct Call {
    Op op;
    std::string path;
    std::string source; /* the source of a copy or rename */
};
const std::vector<Call> &Trace();
/* Called at every call of SIM_CALLS, before it acts (and after it has been
 * added to the trace); none after Reset. */
void BeforeCall(std::function<void(const Call &call)> hook);

/* Where misuses go: by default they are printed and the process aborts. */
void OnMisuse(std::function<void(const std::string &what)> handler);

/* Faults: the nth call (from 1) of op fails, with error as its last error
 * (a registry call returns it), and so do the calls after it until times
 * calls have failed (kLasting: every call from the nth on); for ReadFile and
 * WriteFile a short fault moves one byte fewer than asked and succeeds (the
 * nearest miss a count check can make). Counting starts at the moment of
 * the call to FailCall; a new fault of op replaces the old. */
const unsigned kLasting = ~0u;
void FailCall(Op op, unsigned nth, DWORD error = ERROR_GEN_FAILURE, unsigned times = 1);
void ShortCall(Op op, unsigned nth);
bool FaultFired();

} // namespace sim

#endif
