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

/* The bytes of a file, to be changed: shared with a saved disk, they are
 * copied first. */
static std::string &Writable(FileNode *node)
{
    if (node->bytes.use_count() > 1)
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
 * handle already open on the file. */
static bool SharingAllows(const std::string &key, DWORD access, DWORD shareMode)
{
    for (OpenFile *f : S().files) {
        if (f->key != key)
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

static bool AnyOpen(const std::string &key)
{
    for (OpenFile *f : S().files)
        if (f->key == key)
            return true;
    return false;
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

static OpenFile *Open(const std::string &windowsPath, DWORD access, DWORD shareMode, DWORD creation, DWORD flags,
                      bool heldByOther)
{
    std::string key = Key(windowsPath);
    if (key.empty() || IsFolder(key) || !IsFolder(Parent(key)))
        return nullptr;
    FileNode *node = Node(key);
    if (!SharingAllows(key, access, shareMode))
        return nullptr;

    if (creation == OPEN_EXISTING) {
        if (node == nullptr)
            return nullptr;
        if ((access & GENERIC_WRITE) && (node->attributes & FILE_ATTRIBUTE_READONLY))
            return nullptr;
    } else if (creation == CREATE_ALWAYS) {
        if (node != nullptr && !MayRecreate(node->attributes, flags))
            return nullptr;
        /* A file written anew is empty and marked for archiving. */
        S().disk.files[key] = FileNode{std::make_shared<std::string>(), Settable(flags | kArchive)};
    } else {
        return nullptr;
    }
    OpenFile *f = new OpenFile{windowsPath, key, 0, access, shareMode, heldByOther};
    S().files.insert(f);
    return f;
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

Disk SaveDisk()
{
    return S().disk;
}

void RestoreDisk(const Disk &disk)
{
    if (!S().files.empty())
        Misuse("the disk restored under open files");
    S().disk = disk;
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

DWORD MoveError()
{
    return S().moveError;
}

bool HoldOpen(const std::string &windowsPath, DWORD access, DWORD shareMode)
{
    return Open(windowsPath, access, shareMode, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true) != nullptr;
}

bool TryOpen(const std::string &windowsPath, DWORD access, DWORD shareMode)
{
    OpenFile *f = Open(windowsPath, access, shareMode, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true);
    if (f == nullptr)
        return false;
    S().files.erase(f);
    delete f;
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
    State &s = S();
    for (auto it = s.files.begin(); it != s.files.end();) {
        if ((*it)->heldByOther) {
            delete *it;
            it = s.files.erase(it);
        } else {
            ++it;
        }
    }
}

void SetTempPath(const std::string &windowsPath)
{
    S().tempPath = windowsPath;
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
    OpenFile *f = Open(fileName, access, shareMode, creation, flags, false);
    return f == nullptr ? INVALID_HANDLE_VALUE : f;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, DWORD *sizeHigh)
{
    if (Faulted(OpGetFileSize))
        return INVALID_FILE_SIZE;
    OpenFile *f = Lookup(file);
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr)
        return INVALID_FILE_SIZE;
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
    if (node == nullptr || !(f->access & GENERIC_READ))
        return FALSE;
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
    if (node == nullptr || !(f->access & GENERIC_WRITE))
        return FALSE;
    DWORD want = shortTransfer && toWrite > 0 ? toWrite - 1 : toWrite;
    std::string &bytes = Writable(node);
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
    return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method)
{
    if (Faulted(OpSetFilePointer))
        return INVALID_SET_FILE_POINTER;
    OpenFile *f = Lookup(file);
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    if (node == nullptr)
        return INVALID_SET_FILE_POINTER;
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
    if (target < 0)
        return INVALID_SET_FILE_POINTER;
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
        return FALSE;
    }
    S().files.erase(f);
    delete f;
    return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    if (Faulted(OpCopyFileA, nullptr, target, existing))
        return FALSE;
    std::string from = Key(existing);
    std::string to = Key(target);
    FileNode *source = Node(from);
    if (source == nullptr || !SharingAllows(from, GENERIC_READ, FILE_SHARE_READ))
        return FALSE;
    if (to.empty() || IsFolder(to) || !IsFolder(Parent(to)))
        return FALSE;
    FileNode *old = Node(to);
    /* The target is recreated with the source's attributes. */
    if (old != nullptr && (failIfExists || !MayRecreate(old->attributes, source->attributes) || AnyOpen(to)))
        return FALSE;
    FileNode copy = *source;
    /* The copy's bytes reach the disk in their own time. */
    copy.durable = source->bytes->empty();
    S().disk.files[to] = copy;
    return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    OpenFile *f = Lookup(file);
    if (Faulted(OpFlushFileBuffers, nullptr, f != nullptr ? f->windowsPath : std::string()))
        return FALSE;
    FileNode *node = f != nullptr ? Node(f->key) : nullptr;
    /* Only a handle that may write can flush. */
    if (node == nullptr || !(f->access & GENERIC_WRITE))
        return FALSE;
    node->durable = true;
    return TRUE;
}

/* Whether every handle open on the file lets it be deleted or renamed. */
static bool DeleteSharingAllows(const std::string &key)
{
    for (OpenFile *f : S().files)
        if (f->key == key && !(f->shareMode & FILE_SHARE_DELETE))
            return false;
    return true;
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags)
{
    State &s = S();
    if (Faulted(OpMoveFileExA, nullptr, newName, existing)) {
        s.moveError = 5;
        return FALSE;
    }
    std::string from = Key(existing);
    std::string to = Key(newName);
    s.moveError = 2; /* ERROR_FILE_NOT_FOUND */
    if (Node(from) == nullptr || to.empty() || !IsFolder(Parent(to)))
        return FALSE;
    s.moveError = 5; /* ERROR_ACCESS_DENIED */
    if (!DeleteSharingAllows(from) || IsFolder(to))
        return FALSE;
    FileNode *old = Node(to);
    if (old != nullptr && to != from) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
            s.moveError = 183; /* ERROR_ALREADY_EXISTS */
            return FALSE;
        }
        /* A hidden target is no obstacle to a rename, unlike a copy. */
        if ((old->attributes & FILE_ATTRIBUTE_READONLY) || !DeleteSharingAllows(to))
            return FALSE;
    }
    FileNode moved = *Node(from);
    s.disk.files.erase(from);
    s.disk.files[to] = moved;
    s.moveError = 0;
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR fileName)
{
    if (Faulted(OpDeleteFileA, nullptr, fileName))
        return FALSE;
    std::string key = Key(fileName);
    FileNode *node = Node(key);
    if (node == nullptr || (node->attributes & FILE_ATTRIBUTE_READONLY) || AnyOpen(key))
        return FALSE;
    S().disk.files.erase(key);
    return TRUE;
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD attributes)
{
    if (Faulted(OpSetFileAttributesA, nullptr, fileName))
        return FALSE;
    FileNode *node = Node(Key(fileName));
    if (node == nullptr)
        return FALSE;
    node->attributes = Settable(attributes);
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
    if (!IsFolder(Key(folder)))
        return 0;
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
