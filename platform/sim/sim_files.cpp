/*
 * Simulated files: the drives of the machine held in memory, with
 * attributes and share modes honoured as Windows honours them.
 */
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "platform/sim/sim_state.h"

namespace sim {

static const DWORD kShareWrite = 0x00000002u;
static const DWORD kSystem = 0x00000004u;
static const DWORD kArchive = 0x00000020u;
static const DWORD kDirectory = 0x00000010u;
/* The attributes a program can give a file: read-only, hidden, system,
 * archive, normal, temporary, offline, not content indexed. */
static const DWORD kSettable = 0x000031A7u;

/* A Windows path as the key of the disk: the drive letter upper-cased,
 * separators as '/', none doubled or trailing ("C:/Games/Wellhaven"; a drive
 * alone is "C:"). A backslash that is the trail byte of a double-byte
 * character stays what it is. Empty for a path that names no drive. */
std::string Key(const std::string &windowsPath)
{
    const std::string &p = windowsPath;
    if (p.size() < 3 || p[1] != ':' || (p[2] != '\\' && p[2] != '/'))
        return std::string();
    char drive = p[0];
    if (drive >= 'a' && drive <= 'z')
        drive = (char)(drive - 'a' + 'A');
    if (drive < 'A' || drive > 'Z')
        return std::string();
    std::string out(1, drive);
    out += ':';
    for (size_t i = 2; i < p.size(); i++) {
        unsigned char c = (unsigned char)p[i];
        if (IsLeadByte932(c) && i + 1 < p.size()) {
            out += p[i];
            out += p[++i];
        } else if (c == '\\' || c == '/') {
            if (out.back() != '/')
                out += '/';
        } else {
            out += p[i];
        }
    }
    while (out.back() == '/')
        out.pop_back();
    return out;
}

static std::string Parent(const std::string &key)
{
    size_t slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

static FileNode *Node(const std::string &key)
{
    auto it = S().disk.files.find(key);
    return it == S().disk.files.end() ? nullptr : &it->second;
}

static bool IsFolder(const std::string &key)
{
    return !key.empty() && S().disk.folders.count(key) != 0;
}

/* The link of the next file given a second name. Never reused, not even
 * after Reset, so that no saved disk can hold the same link for another
 * file. */
static unsigned gNextLink = 1;

/* Whether two names are one file. */
static bool SameFile(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    FileNode *x = Node(a);
    FileNode *y = Node(b);
    return x != nullptr && y != nullptr && x->link != 0 && x->link == y->link;
}

/* After a change to the file through this name: every other name of the
 * file shows it too. */
static void Propagate(const std::string &key)
{
    FileNode *node = Node(key);
    if (node == nullptr || node->link == 0)
        return;
    for (auto &f : S().disk.files) {
        if (f.second.link != node->link || f.first == key)
            continue;
        f.second.bytes = node->bytes;
        f.second.attributes = node->attributes;
        f.second.durable = node->durable;
    }
}

/* The bytes of a file, to be changed (then Propagate): shared with a saved
 * disk or another file, they are copied first; the other names of the file
 * share them and do not count. */
static std::string &Writable(const std::string &key)
{
    FileNode *node = Node(key);
    long holders = 1;
    if (node->link != 0)
        for (const auto &f : S().disk.files)
            if (f.first != key && f.second.link == node->link && f.second.bytes == node->bytes)
                holders++;
    if (node->bytes.use_count() > holders)
        node->bytes = std::make_shared<std::string>(*node->bytes);
    return *node->bytes;
}

/* Keeps the settable bits; "normal" means none of the others and is kept
 * as none. */
static DWORD Settable(DWORD attributes)
{
    return attributes & kSettable & ~FILE_ATTRIBUTE_NORMAL;
}

/* Whether an open with this access and share mode is compatible with every
 * handle already open on the file, through any of its names. */
static bool SharingAllows(const std::string &key, DWORD access, DWORD shareMode)
{
    for (OpenFile *f : S().files) {
        if (!SameFile(f->key, key))
            continue;
        if ((access & GENERIC_READ) && !(f->shareMode & FILE_SHARE_READ))
            return false;
        if ((access & GENERIC_WRITE) && !(f->shareMode & kShareWrite))
            return false;
        if ((f->access & GENERIC_READ) && !(shareMode & FILE_SHARE_READ))
            return false;
        if ((f->access & GENERIC_WRITE) && !(shareMode & kShareWrite))
            return false;
    }
    return true;
}

/* Whether every handle open on the file lets it be deleted or renamed. */
static bool DeleteSharingAllows(const std::string &key)
{
    for (OpenFile *f : S().files)
        if (SameFile(f->key, key) && !(f->shareMode & FILE_SHARE_DELETE))
            return false;
    return true;
}

static bool AnyOpen(const std::string &key)
{
    for (OpenFile *f : S().files)
        if (SameFile(f->key, key))
            return true;
    return false;
}

/* Where a path can name no file: no drive, or a folder that is not there. */
static bool NoFolder(const std::string &key)
{
    return key.empty() || !IsFolder(Parent(key));
}

/* Whether a file with these attributes may be recreated (CREATE_ALWAYS, or
 * a copy over it) as a file with the new ones: never a read-only file, and a
 * hidden or system one only when the new file carries the same mark. */
static bool MayRecreate(DWORD existing, DWORD created)
{
    if (existing & FILE_ATTRIBUTE_READONLY)
        return false;
    DWORD marks = existing & (FILE_ATTRIBUTE_HIDDEN | kSystem);
    return (created & marks) == marks;
}

/* Opens a file as CreateFileA does; on a refusal, *error is the error
 * Windows gives. A CREATE_ALWAYS that succeeds sets *error too, as Windows
 * sets the last error then: ERROR_ALREADY_EXISTS when it wrote over a file,
 * else 0. */
static OpenFile *Open(const std::string &windowsPath, DWORD access, DWORD shareMode, DWORD creation, DWORD flags,
                      bool heldByOther, DWORD *error)
{
    std::string key = Key(windowsPath);
    FileNode *node = Node(key);
    if (NoFolder(key))
        *error = ERROR_PATH_NOT_FOUND;
    else if (IsFolder(key) || (node != nullptr && node->deletePending && S().pendingDelete == PendingAccessDenied))
        *error = ERROR_ACCESS_DENIED;
    else if (node != nullptr && node->deletePending && creation == CREATE_ALWAYS)
        *error = ERROR_FILE_EXISTS;
    else if (creation != OPEN_EXISTING && creation != CREATE_ALWAYS)
        *error = ERROR_INVALID_PARAMETER;
    else if (node == nullptr && creation == OPEN_EXISTING)
        *error = ERROR_FILE_NOT_FOUND;
    else if (node != nullptr && (access & GENERIC_WRITE) && (node->attributes & FILE_ATTRIBUTE_READONLY))
        *error = ERROR_ACCESS_DENIED;
    else if (node != nullptr && creation == CREATE_ALWAYS && !MayRecreate(node->attributes, flags))
        *error = ERROR_ACCESS_DENIED;
    else if (!SharingAllows(key, access, shareMode))
        *error = ERROR_SHARING_VIOLATION;
    else
        *error = 0;
    if (*error != 0)
        return nullptr;

    if (creation == CREATE_ALWAYS) {
        /* A file written anew is empty and marked for archiving; an existing
         * one is cut to nothing in place, under all its names. */
        FileNode fresh{std::make_shared<std::string>(), Settable(flags | kArchive)};
        if (node != nullptr) {
            *error = ERROR_ALREADY_EXISTS;
            fresh.link = node->link;
            *node = fresh;
            Propagate(key);
        } else {
            S().disk.files[key] = fresh;
        }
    }
    OpenFile *f = new OpenFile{windowsPath, key, 0, access, shareMode, heldByOther, 0};
    S().files.insert(f);
    return f;
}

/* Closes a handle; the last on a file takes the names of it deleted
 * meanwhile with it. */
static void Close(OpenFile *f)
{
    const std::string key = f->key;
    S().files.erase(f);
    delete f;
    if (AnyOpen(key))
        return;
    const unsigned link = Node(key) != nullptr ? Node(key)->link : 0;
    auto &files = S().disk.files;
    for (auto it = files.begin(); it != files.end();) {
        if (it->second.deletePending && (it->first == key || (link != 0 && it->second.link == link)))
            it = files.erase(it);
        else
            ++it;
    }
}

static OpenFile *Lookup(HANDLE handle)
{
    OpenFile *f = static_cast<OpenFile *>(handle);
    return S().files.count(f) ? f : nullptr;
}

void MakeFolder(const std::string &windowsPath)
{
    std::string key = Key(windowsPath);
    for (size_t slash = key.find('/'); !key.empty(); slash = key.find('/', slash + 1)) {
        S().disk.folders.insert(key.substr(0, slash));
        if (slash == std::string::npos)
            break;
    }
}

void PutFile(const std::string &windowsPath, const std::string &bytes, DWORD attributes)
{
    std::string key = Key(windowsPath);
    MakeFolder(windowsPath.substr(0, windowsPath.find_last_of("\\/")));
    S().disk.files[key] = FileNode{std::make_shared<std::string>(bytes), Settable(attributes)};
}

bool Exists(const std::string &windowsPath)
{
    return Node(Key(windowsPath)) != nullptr;
}

std::string FileBytes(const std::string &windowsPath)
{
    FileNode *node = Node(Key(windowsPath));
    return node == nullptr ? std::string() : *node->bytes;
}

DWORD Attributes(const std::string &windowsPath)
{
    FileNode *node = Node(Key(windowsPath));
    DWORD a = node == nullptr ? 0 : node->attributes;
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

std::vector<std::string> List(const std::string &windowsFolder)
{
    const std::string prefix = Key(windowsFolder) + "/";
    std::vector<std::string> names;
    auto inside = [&](const std::string &key) {
        if (key.compare(0, prefix.size(), prefix) == 0 && key.find('/', prefix.size()) == std::string::npos)
            names.push_back(key.substr(prefix.size()));
    };
    for (const auto &f : S().disk.files)
        inside(f.first);
    for (const std::string &folder : S().disk.folders)
        inside(folder);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> AllFiles()
{
    std::vector<std::string> paths;
    for (const auto &f : S().disk.files) {
        std::string path = f.first;
        std::replace(path.begin(), path.end(), '/', '\\');
        paths.push_back(path);
    }
    return paths;
}

bool Link(const std::string &existingWindowsPath, const std::string &newWindowsPath)
{
    const std::string from = Key(existingWindowsPath);
    const std::string to = Key(newWindowsPath);
    FileNode *node = Node(from);
    if (node == nullptr || node->deletePending || NoFolder(to) || IsFolder(to) || Node(to) != nullptr)
        return false;
    if (node->link == 0)
        node->link = gNextLink++;
    S().disk.files[to] = *node;
    return true;
}

Disk SaveDisk()
{
    return S().disk;
}

void RestoreDisk(const Disk &disk)
{
    if (!S().files.empty())
        Misuse("the disk restored under open files");
    S().disk = disk;
    auto &files = S().disk.files;
    for (auto it = files.begin(); it != files.end();)
        it = it->second.deletePending ? files.erase(it) : std::next(it);
}

Disk Torn(const Disk &disk, bool zeroTail)
{
    Disk torn = disk;
    for (auto &f : torn.files) {
        FileNode &node = f.second;
        if (node.durable)
            continue;
        const std::string &bytes = *node.bytes;
        const size_t half = bytes.size() / 2;
        if (zeroTail)
            node.bytes = std::make_shared<std::string>(bytes.substr(0, half) + std::string(bytes.size() - half, '\0'));
        else
            node.bytes = std::make_shared<std::string>(bytes.substr(0, half));
        node.durable = true;
    }
    return torn;
}

bool HoldOpen(const std::string &windowsPath, DWORD access, DWORD shareMode, unsigned untilSleeps)
{
    DWORD error;
    OpenFile *f = Open(windowsPath, access, shareMode, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true, &error);
    if (f == nullptr)
        return false;
    f->untilSleeps = untilSleeps;
    return true;
}

bool TryOpen(const std::string &windowsPath, DWORD access, DWORD shareMode)
{
    DWORD error;
    OpenFile *f = Open(windowsPath, access, shareMode, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true, &error);
    if (f == nullptr)
        return false;
    Close(f);
    return true;
}

std::vector<std::string> OpenByProgram()
{
    std::vector<std::string> paths;
    for (OpenFile *f : S().files)
        if (!f->heldByOther)
            paths.push_back(f->windowsPath);
    std::sort(paths.begin(), paths.end());
    return paths;
}

void OnWrite(std::function<void(const std::string &windowsPath)> hook)
{
    S().writeHook = hook;
}

void ReleaseHeld()
{
    std::vector<OpenFile *> held;
    for (OpenFile *f : S().files)
        if (f->heldByOther)
            held.push_back(f);
    for (OpenFile *f : held)
        Close(f);
}

void SleepOnHolds()
{
    std::vector<OpenFile *> ending;
    for (OpenFile *f : S().files)
        if (f->heldByOther && f->untilSleeps != 0 && --f->untilSleeps == 0)
            ending.push_back(f);
    for (OpenFile *f : ending)
        Close(f);
}

void SetTempPath(const std::string &windowsPath)
{
    S().tempPath = windowsPath;
}

/* Fails a call with the error Windows gives. */
static BOOL Refused(DWORD error)
{
    SetError(error);
    return FALSE;
}

/* The error a call on an existing file meets first, 0 for none: its folder
 * missing, a folder under its name (where the call refuses folders), no such
 * file, or a name deleted pending. */
static DWORD ExistingFileError(const std::string &key, bool folderRefused)
{
    if (NoFolder(key))
        return ERROR_PATH_NOT_FOUND;
    if (folderRefused && IsFolder(key))
        return ERROR_ACCESS_DENIED;
    FileNode *node = Node(key);
    if (node == nullptr)
        return ERROR_FILE_NOT_FOUND;
    return node->deletePending && S().pendingDelete == PendingAccessDenied ? ERROR_ACCESS_DENIED : 0;
}

void SetPendingDelete(PendingDelete answer)
{
    S().pendingDelete = answer;
}

} // namespace sim

using namespace sim;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, void *security, DWORD creation,
                                     DWORD flags, HANDLE templateFile)
{
    (void)security;
    (void)templateFile;
    if (Faulted(OpCreateFileA, nullptr, fileName))
        return INVALID_HANDLE_VALUE;
    DWORD error;
    OpenFile *f = Open(fileName, access, shareMode, creation, flags, false, &error);
    if (f == nullptr || creation == CREATE_ALWAYS)
        SetError(error);
    return f == nullptr ? INVALID_HANDLE_VALUE : f;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, DWORD *sizeHigh)
{
    if (Faulted(OpGetFileSize))
        return INVALID_FILE_SIZE;
    OpenFile *f = Lookup(file);
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    unsigned long long size = node->bytes->size();
    if (sizeHigh != NULL)
        *sizeHigh = (DWORD)(size >> 32);
    return (DWORD)size;
}

extern "C" BOOL WINAPI ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    (void)overlapped;
    *read = 0;
    bool shortTransfer = false;
    if (Faulted(OpReadFile, &shortTransfer) && !shortTransfer)
        return FALSE;
    OpenFile *f = Lookup(file);
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr)
        return Refused(ERROR_INVALID_HANDLE);
    if (!(f->access & GENERIC_READ))
        return Refused(ERROR_ACCESS_DENIED);
    if (toRead > 0 && !InBlock(buffer, toRead))
        Misuse("ReadFile into a buffer smaller than the count asked for");
    DWORD want = shortTransfer && toRead > 0 ? toRead - 1 : toRead;
    const std::string &bytes = *node->bytes;
    DWORD got = f->position >= bytes.size() ? 0 : (DWORD)std::min<size_t>(want, bytes.size() - f->position);
    memcpy(buffer, bytes.data() + f->position, got);
    f->position += got;
    *read = got;
    S().bytesRead += got;
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped)
{
    (void)overlapped;
    *written = 0;
    if (toWrite > 0 && !InResource(buffer, toWrite) && !InBlock(buffer, toWrite))
        S().writesFromElsewhere++;
    bool shortTransfer = false;
    OpenFile *f = Lookup(file);
    if (f != nullptr && S().writeHook)
        S().writeHook(f->windowsPath);
    if (Faulted(OpWriteFile, &shortTransfer, f != nullptr ? f->windowsPath : std::string()) && !shortTransfer)
        return FALSE;
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr)
        return Refused(ERROR_INVALID_HANDLE);
    if (!(f->access & GENERIC_WRITE))
        return Refused(ERROR_ACCESS_DENIED);
    DWORD want = shortTransfer && toWrite > 0 ? toWrite - 1 : toWrite;
    std::string &bytes = Writable(f->key);
    const char *from = static_cast<const char *>(buffer);
    if (f->position == bytes.size()) {
        bytes.append(from, want);
    } else {
        if (bytes.size() < f->position + want)
            bytes.resize(f->position + want);
        bytes.replace(f->position, want, from, want);
    }
    f->position += want;
    *written = want;
    if (want > 0)
        node->durable = false;
    Propagate(f->key);
    return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method)
{
    if (Faulted(OpSetFilePointer))
        return INVALID_SET_FILE_POINTER;
    OpenFile *f = Lookup(file);
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    long long move = distance;
    if (distanceHigh != NULL)
        move = (long long)(((unsigned long long)(DWORD)*distanceHigh << 32) | (DWORD)distance);
    long long base;
    if (method == FILE_BEGIN)
        base = 0;
    else if (method == FILE_CURRENT)
        base = (long long)f->position;
    else
        base = (long long)node->bytes->size();
    long long target = base + move;
    if (target < 0) {
        SetError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    f->position = (size_t)target;
    if (distanceHigh != NULL)
        *distanceHigh = (LONG)(target >> 32);
    return (DWORD)target;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE object)
{
    if (CloseMutexHandle(object))
        return TRUE;
    OpenFile *f = Lookup(object);
    if (f == nullptr || f->heldByOther) {
        Misuse("CloseHandle of a handle the program does not hold");
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Close(f);
    return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    if (Faulted(OpCopyFileA, nullptr, target, existing))
        return FALSE;
    const std::string from = Key(existing);
    const std::string to = Key(target);
    FileNode *source = Node(from);
    if (DWORD error = ExistingFileError(from, true))
        return Refused(error);
    if (!SharingAllows(from, GENERIC_READ, FILE_SHARE_READ))
        return Refused(ERROR_SHARING_VIOLATION);
    if (NoFolder(to))
        return Refused(ERROR_PATH_NOT_FOUND);
    if (IsFolder(to))
        return Refused(failIfExists ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    FileNode *old = Node(to);
    /* The copy's bytes reach the disk in their own time. */
    const bool durable = source->bytes->empty();
    if (old == nullptr) {
        FileNode copy{source->bytes, source->attributes};
        copy.durable = durable;
        S().disk.files[to] = copy;
        return TRUE;
    }
    if (old->deletePending)
        return Refused(S().pendingDelete == PendingAccessDenied ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS);
    if (failIfExists)
        return Refused(ERROR_FILE_EXISTS);
    if (!MayRecreate(old->attributes, source->attributes))
        return Refused(ERROR_ACCESS_DENIED);
    if (AnyOpen(to) || SameFile(from, to))
        return Refused(ERROR_SHARING_VIOLATION);
    /* Written into the existing file, which takes the source's attributes
     * and keeps its other names. */
    old->bytes = source->bytes;
    old->attributes = source->attributes;
    old->durable = durable;
    Propagate(to);
    return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    OpenFile *f = Lookup(file);
    if (Faulted(OpFlushFileBuffers, nullptr, f != nullptr ? f->windowsPath : std::string()))
        return FALSE;
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr)
        return Refused(ERROR_INVALID_HANDLE);
    /* Only a handle that may write can flush. */
    if (!(f->access & GENERIC_WRITE))
        return Refused(ERROR_ACCESS_DENIED);
    node->durable = true;
    Propagate(f->key);
    return TRUE;
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags)
{
    if (Faulted(OpMoveFileExA, nullptr, newName, existing))
        return FALSE;
    const std::string from = Key(existing);
    const std::string to = Key(newName);
    if (DWORD error = ExistingFileError(from, false))
        return Refused(error);
    if (!DeleteSharingAllows(from))
        return Refused(ERROR_SHARING_VIOLATION);
    if (NoFolder(to))
        return Refused(ERROR_PATH_NOT_FOUND);
    FileNode *old = Node(to);
    if (to != from && (old != nullptr || IsFolder(to))) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return Refused(ERROR_ALREADY_EXISTS);
        /* A hidden target is no obstacle to a rename, unlike a copy; one
         * open at all is, whatever it shares. */
        if (IsFolder(to) || old->deletePending || (old->attributes & FILE_ATTRIBUTE_READONLY) || AnyOpen(to))
            return Refused(ERROR_ACCESS_DENIED);
    }
    FileNode moved = *Node(from);
    S().disk.files.erase(from);
    S().disk.files[to] = moved;
    /* Handles open on the file follow it to its new name. */
    for (OpenFile *f : S().files)
        if (f->key == from) {
            f->key = to;
            f->windowsPath = newName;
        }
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR fileName)
{
    if (Faulted(OpDeleteFileA, nullptr, fileName))
        return FALSE;
    const std::string key = Key(fileName);
    FileNode *node = Node(key);
    if (DWORD error = ExistingFileError(key, true))
        return Refused(error);
    if (!DeleteSharingAllows(key))
        return Refused(ERROR_SHARING_VIOLATION);
    if (node->attributes & FILE_ATTRIBUTE_READONLY)
        return Refused(ERROR_ACCESS_DENIED);
    /* Every handle on it shares delete: the name goes with the last. */
    if (AnyOpen(key))
        node->deletePending = true;
    else
        S().disk.files.erase(key);
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR fileName)
{
    if (Faulted(OpGetFileAttributesA, nullptr, fileName))
        return INVALID_FILE_ATTRIBUTES;
    const std::string key = Key(fileName);
    if (!NoFolder(key) && IsFolder(key))
        return kDirectory;
    if (DWORD error = ExistingFileError(key, false)) {
        SetError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    const DWORD attributes = Node(key)->attributes;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD attributes)
{
    if (Faulted(OpSetFileAttributesA, nullptr, fileName))
        return FALSE;
    const std::string key = Key(fileName);
    /* A folder's attributes are not kept here. */
    if (DWORD error = ExistingFileError(key, false))
        return Refused(error);
    FileNode *node = Node(key);
    node->attributes = Settable(attributes);
    Propagate(key);
    return TRUE;
}

extern "C" DWORD WINAPI GetTempPathA(DWORD bufferLength, LPSTR buffer)
{
    if (Faulted(OpGetTempPathA))
        return 0;
    const std::string &path = S().tempPath;
    /* Too small a buffer gets the size it would need, terminator included,
     * and no path. */
    if (path.size() + 1 > bufferLength)
        return (DWORD)path.size() + 1;
    memcpy(buffer, path.c_str(), path.size() + 1);
    return (DWORD)path.size();
}

extern "C" UINT WINAPI GetTempFileNameA(LPCSTR pathName, LPCSTR prefix, UINT unique, LPSTR tempFileName)
{
    if (Faulted(OpGetTempFileNameA))
        return 0;
    std::string folder = pathName;
    if (!IsFolder(Key(folder))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (folder.back() != '\\')
        folder += '\\';
    std::string stem = folder + std::string(prefix).substr(0, 3);
    char number[16];
    UINT chosen = unique;
    if (unique == 0) {
        for (;;) {
            chosen = (S().nextUnique++) & 0xFFFF;
            if (chosen == 0)
                continue;
            snprintf(number, sizeof number, "%X", chosen);
            if (Node(Key(stem + number + ".tmp")) == nullptr)
                break;
        }
        snprintf(number, sizeof number, "%X", chosen);
        S().disk.files[Key(stem + number + ".tmp")] = FileNode{std::make_shared<std::string>(), kArchive};
    } else {
        snprintf(number, sizeof number, "%X", chosen);
    }
    /* As Wine does it: a folder that leaves no room for the name within the
     * path limit still gets its file, and the name handed back is cut off at
     * the limit, naming no file. (Windows refuses such a folder instead.) */
    std::string name = stem + number + ".tmp";
    if (name.size() > 259)
        name.resize(259);
    memcpy(tempFileName, name.c_str(), name.size() + 1);
    return chosen;
}
