/*
 * Simulated files: Windows paths over a host folder, attributes and share
 * modes kept here and honoured as Windows honours them.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/sim/sim_state.h"

namespace sim {

static const DWORD kShareWrite = 0x00000002u;
static const DWORD kSystem = 0x00000004u;
static const DWORD kArchive = 0x00000020u;
/* The attributes a program can give a file: read-only, hidden, system,
 * archive, normal, temporary, offline, not content indexed. */
static const DWORD kSettable = 0x000031A7u;

std::string HostPath(const std::string &windowsPath)
{
    const std::string &p = windowsPath;
    if (p.size() < 3 || p[1] != ':' || (p[2] != '\\' && p[2] != '/'))
        return std::string();
    char drive = p[0];
    if (drive >= 'a' && drive <= 'z')
        drive = (char)(drive - 'a' + 'A');
    if (drive < 'A' || drive > 'Z')
        return std::string();
    std::string out = S().hostRoot + "/" + drive;
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
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

static bool IsFile(const std::string &host)
{
    struct stat st;
    return !host.empty() && stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

static bool IsFolder(const std::string &host)
{
    struct stat st;
    return !host.empty() && stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static std::string Parent(const std::string &host)
{
    size_t slash = host.rfind('/');
    return slash == std::string::npos ? std::string() : host.substr(0, slash);
}

static DWORD HostAttributes(const std::string &host)
{
    auto it = S().attributes.find(host);
    return it == S().attributes.end() ? 0 : it->second;
}

/* Keeps the settable bits; "normal" means none of the others and is kept
 * as none. */
static void SetHostAttributes(const std::string &host, DWORD attributes)
{
    attributes &= kSettable & ~FILE_ATTRIBUTE_NORMAL;
    if (attributes == 0)
        S().attributes.erase(host);
    else
        S().attributes[host] = attributes;
}

/* Whether an open with this access and share mode is compatible with every
 * handle already open on the file. */
static bool SharingAllows(const std::string &host, DWORD access, DWORD shareMode)
{
    for (OpenFile *f : S().files) {
        if (f->hostPath != host)
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

static bool AnyOpen(const std::string &host)
{
    for (OpenFile *f : S().files)
        if (f->hostPath == host)
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
    std::string host = HostPath(windowsPath);
    if (host.empty() || IsFolder(host) || !IsFolder(Parent(host)))
        return nullptr;
    bool exists = IsFile(host);
    DWORD attributes = HostAttributes(host);
    if (!SharingAllows(host, access, shareMode))
        return nullptr;

    int oflags = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (creation == OPEN_EXISTING) {
        if (!exists)
            return nullptr;
        if ((access & GENERIC_WRITE) && (attributes & FILE_ATTRIBUTE_READONLY))
            return nullptr;
    } else if (creation == CREATE_ALWAYS) {
        if (exists && !MayRecreate(attributes, flags))
            return nullptr;
        oflags |= O_CREAT | O_TRUNC;
    } else {
        return nullptr;
    }

    int fd = open(host.c_str(), oflags | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    /* A file written anew is marked for archiving. */
    if (creation == CREATE_ALWAYS)
        SetHostAttributes(host, (flags & kSettable) | kArchive);
    OpenFile *f = new OpenFile{fd, windowsPath, host, access, shareMode, heldByOther};
    S().files.insert(f);
    return f;
}

static OpenFile *Lookup(HANDLE handle)
{
    OpenFile *f = static_cast<OpenFile *>(handle);
    return S().files.count(f) ? f : nullptr;
}

static void MakeParents(const std::string &host)
{
    for (size_t i = S().hostRoot.size() + 1; i < host.size(); i++)
        if (host[i] == '/')
            mkdir(host.substr(0, i).c_str(), 0755);
}

void MakeFolder(const std::string &windowsPath)
{
    std::string host = HostPath(windowsPath);
    MakeParents(host + "/");
}

void PutFile(const std::string &windowsPath, const std::string &bytes, DWORD attributes)
{
    std::string host = HostPath(windowsPath);
    MakeParents(host);
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, bytes.data(), bytes.size());
        (void)ignored;
        close(fd);
    }
    SetHostAttributes(host, attributes);
}

bool Exists(const std::string &windowsPath)
{
    return IsFile(HostPath(windowsPath));
}

std::string FileBytes(const std::string &windowsPath)
{
    std::string out;
    int fd = open(HostPath(windowsPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, (size_t)n);
    close(fd);
    return out;
}

DWORD Attributes(const std::string &windowsPath)
{
    DWORD a = HostAttributes(HostPath(windowsPath));
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

std::vector<std::string> List(const std::string &windowsFolder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(HostPath(windowsFolder), error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
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
    close(f->fd);
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
            close((*it)->fd);
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
    struct stat st;
    if (f == nullptr || fstat(f->fd, &st) != 0)
        return INVALID_FILE_SIZE;
    if (sizeHigh != NULL)
        *sizeHigh = (DWORD)((unsigned long long)st.st_size >> 32);
    return (DWORD)st.st_size;
}

extern "C" BOOL WINAPI ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    (void)overlapped;
    *read = 0;
    bool shortTransfer = false;
    if (Faulted(OpReadFile, &shortTransfer) && !shortTransfer)
        return FALSE;
    OpenFile *f = Lookup(file);
    if (f == nullptr || !(f->access & GENERIC_READ))
        return FALSE;
    DWORD want = shortTransfer && toRead > 0 ? toRead - 1 : toRead;
    DWORD got = 0;
    while (got < want) {
        ssize_t n = ::read(f->fd, static_cast<char *>(buffer) + got, want - got);
        if (n < 0)
            return FALSE;
        if (n == 0)
            break;
        got += (DWORD)n;
    }
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
    if (f == nullptr || !(f->access & GENERIC_WRITE))
        return FALSE;
    DWORD want = shortTransfer && toWrite > 0 ? toWrite - 1 : toWrite;
    DWORD put = 0;
    while (put < want) {
        ssize_t n = ::write(f->fd, static_cast<const char *>(buffer) + put, want - put);
        if (n <= 0)
            return FALSE;
        put += (DWORD)n;
    }
    *written = put;
    return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method)
{
    if (Faulted(OpSetFilePointer))
        return INVALID_SET_FILE_POINTER;
    OpenFile *f = Lookup(file);
    if (f == nullptr)
        return INVALID_SET_FILE_POINTER;
    long long move = distance;
    if (distanceHigh != NULL)
        move = (long long)(((unsigned long long)(DWORD)*distanceHigh << 32) | (DWORD)distance);
    long long base;
    if (method == FILE_BEGIN) {
        base = 0;
    } else if (method == FILE_CURRENT) {
        base = lseek(f->fd, 0, SEEK_CUR);
    } else {
        struct stat st;
        fstat(f->fd, &st);
        base = st.st_size;
    }
    long long target = base + move;
    if (target < 0 || lseek(f->fd, target, SEEK_SET) < 0)
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh != NULL)
        *distanceHigh = (LONG)(target >> 32);
    return (DWORD)target;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE object)
{
    OpenFile *f = Lookup(object);
    if (f == nullptr || f->heldByOther) {
        Misuse("CloseHandle of a handle the program does not hold");
        return FALSE;
    }
    close(f->fd);
    S().files.erase(f);
    delete f;
    return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    if (Faulted(OpCopyFileA, nullptr, target))
        return FALSE;
    std::string from = HostPath(existing);
    std::string to = HostPath(target);
    if (!IsFile(from) || !SharingAllows(from, GENERIC_READ, FILE_SHARE_READ))
        return FALSE;
    if (to.empty() || IsFolder(to) || !IsFolder(Parent(to)))
        return FALSE;
    if (IsFile(to)) {
        /* The target is recreated with the source's attributes. */
        if (failIfExists || !MayRecreate(HostAttributes(to), HostAttributes(from)) || AnyOpen(to))
            return FALSE;
    }
    std::string bytes = FileBytes(existing);
    int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return FALSE;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    close(fd);
    if (!ok)
        return FALSE;
    SetHostAttributes(to, HostAttributes(from));
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR fileName)
{
    if (Faulted(OpDeleteFileA, nullptr, fileName))
        return FALSE;
    std::string host = HostPath(fileName);
    if (!IsFile(host) || (HostAttributes(host) & FILE_ATTRIBUTE_READONLY) || AnyOpen(host))
        return FALSE;
    if (unlink(host.c_str()) != 0)
        return FALSE;
    S().attributes.erase(host);
    return TRUE;
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD attributes)
{
    if (Faulted(OpSetFileAttributesA, nullptr, fileName))
        return FALSE;
    std::string host = HostPath(fileName);
    if (!IsFile(host))
        return FALSE;
    SetHostAttributes(host, attributes);
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
    /* The folder leaves room for the prefix, the number and ".tmp". */
    if (folder.size() > 260 - 14 || !IsFolder(HostPath(folder)))
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
            if (!IsFile(HostPath(stem + number + ".tmp")))
                break;
        }
        snprintf(number, sizeof number, "%X", chosen);
        std::string host = HostPath(stem + number + ".tmp");
        int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return 0;
        close(fd);
        SetHostAttributes(host, kArchive);
    } else {
        snprintf(number, sizeof number, "%X", chosen);
    }
    std::string name = stem + number + ".tmp";
    memcpy(tempFileName, name.c_str(), name.size() + 1);
    return chosen;
}
