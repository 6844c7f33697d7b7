/*
 * The simulated file calls, over the disk of sim_disk.cpp; what each
 * refuses is in sim_refusals.cpp.
 */
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "platform/sim/sim_state.h"

namespace sim {

/* Fails a call with the error Windows gives. */
static BOOL Refused(DWORD error)
{
    SetError(error);
    return FALSE;
}

/* The entry of a call on a file the program holds open: its handle and the
 * file; nullptr when the call fails (an injected fault, or a misuse: a
 * handle that is no open file). */
static File *Opened(Op op, HANDLE file, Handle **h, bool *shortTransfer = nullptr)
{
    *h = Find(file, Handle::FILE);
    if (*h == nullptr) {
        Misuse(std::string(OpName(op)) + " on a handle that is no open file");
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return Enter(op, (*h)->path, std::string(), shortTransfer) ? nullptr : FileOf((*h)->file);
}

/* The bytes of a file, to be changed: copied first when a saved disk or
 * another file shares them. */
static std::string &Bytes(File &file)
{
    if (file.bytes.use_count() > 1)
        file.bytes = NewBytes(*file.bytes);
    file.hash = std::make_shared<size_t>(0);
    return const_cast<std::string &>(*file.bytes);
}

void SetTempPath(const std::string &windowsPath)
{
    S().tempPath = windowsPath;
}

void OnWrite(std::function<void(const std::string &windowsPath)> hook)
{
    S().writeHook = hook;
}

unsigned long long BytesRead()
{
    return S().bytesRead;
}

int WritesFromElsewhere()
{
    return S().writesFromElsewhere;
}

} // namespace sim

using namespace sim;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, void *security, DWORD creation,
                                     DWORD flags, HANDLE templateFile)
{
    (void)security;
    (void)templateFile;
    if (Enter(OpCreateFileA, fileName))
        return INVALID_HANDLE_VALUE;
    DWORD error;
    HANDLE h = Open(fileName, access, shareMode, creation, flags, false, &error);
    /* CREATE_ALWAYS tells whether it wrote over a file, even when it did. */
    if (h == nullptr || creation == CREATE_ALWAYS)
        SetError(error);
    return h == nullptr ? INVALID_HANDLE_VALUE : h;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, DWORD *sizeHigh)
{
    /* The program's files stay far below 4 GiB. */
    if (sizeHigh != NULL)
        Misuse("GetFileSize asked for a high size word");
    Handle *h;
    File *f = Opened(OpGetFileSize, file, &h);
    return f != nullptr ? (DWORD)f->bytes->size() : INVALID_FILE_SIZE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    (void)overlapped;
    *read = 0;
    bool shortTransfer = false;
    Handle *h;
    File *f = Opened(OpReadFile, file, &h, &shortTransfer);
    if (f == nullptr)
        return FALSE;
    if (!(h->access & GENERIC_READ))
        return Refused(ERROR_ACCESS_DENIED);
    if (toRead > 0 && !Given(buffer, toRead, false))
        Misuse("ReadFile into a buffer smaller than the count asked for");
    DWORD want = shortTransfer && toRead > 0 ? toRead - 1 : toRead;
    const std::string &bytes = *f->bytes;
    DWORD got = h->position >= bytes.size() ? 0 : (DWORD)std::min<size_t>(want, bytes.size() - h->position);
    memcpy(buffer, bytes.data() + h->position, got);
    h->position += got;
    *read = got;
    S().bytesRead += got;
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped)
{
    (void)overlapped;
    *written = 0;
    bool shortTransfer = false;
    Handle *h;
    File *f = Opened(OpWriteFile, file, &h, &shortTransfer);
    if (f == nullptr)
        return FALSE;
    if (toWrite > 0 && !Given(buffer, toWrite, true))
        S().writesFromElsewhere++;
    if (S().writeHook)
        S().writeHook(h->path);
    if (!(h->access & GENERIC_WRITE))
        return Refused(ERROR_ACCESS_DENIED);
    DWORD want = shortTransfer && toWrite > 0 ? toWrite - 1 : toWrite;
    /* An archive grows by runs of up to a megabyte: room for 2 MiB at once. */
    if ((size_t)h->position + want > std::max<size_t>(f->bytes->capacity(), 65536))
        f->bytes = NewBytes(*f->bytes, std::max<size_t>((size_t)h->position + want, 1 << 21));
    std::string &bytes = Bytes(*f);
    if (bytes.size() < h->position)
        bytes.resize(h->position);
    bytes.replace(h->position, want, static_cast<const char *>(buffer), want);
    h->position += want;
    *written = want;
    f->durable = f->durable && want == 0;
    return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method)
{
    /* The program moves by less than 2 GiB, from the start or from where it is. */
    if (distanceHigh != NULL || (method != FILE_BEGIN && method != FILE_CURRENT))
        Misuse("SetFilePointer with a high distance word, or from the end");
    Handle *h;
    if (Opened(OpSetFilePointer, file, &h) == nullptr)
        return INVALID_SET_FILE_POINTER;
    const long long target = (method == FILE_BEGIN ? 0 : (long long)h->position) + distance;
    if (target < 0) {
        SetError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    h->position = (size_t)target;
    return (DWORD)target;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    Handle *h;
    File *f = Opened(OpFlushFileBuffers, file, &h);
    if (f == nullptr)
        return FALSE;
    /* Only a handle that may write can flush. */
    if (!(h->access & GENERIC_WRITE))
        return Refused(ERROR_ACCESS_DENIED);
    f->durable = true;
    return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    if (Enter(OpCopyFileA, target, existing))
        return FALSE;
    const std::string from = Key(existing), to = Key(target);
    /* The source is read sharing read and write, the target written sharing
     * all, as Wine does it. */
    Ask ask{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
    if (DWORD error = Refusal(COPY_FROM, from, ask))
        return Refused(error);
    const File source = *FileOf(NameOf(from)->file);
    ask.access = GENERIC_WRITE;
    ask.attributes = source.attributes;
    ask.failIfExists = failIfExists != FALSE;
    ask.other = NameOf(from)->file;
    if (DWORD error = Refusal(COPY_TO, to, ask))
        return Refused(error);
    /* Written into an existing file, which takes the source's attributes and
     * keeps its other names; the bytes reach the disk in their own time. */
    File &copy = Create(to, std::string(), 0);
    copy = File{source.bytes, source.attributes, source.bytes->empty()};
    return TRUE;
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags)
{
    if (Enter(OpMoveFileExA, newName, existing))
        return FALSE;
    const std::string from = Key(existing), to = Key(newName);
    Ask ask;
    ask.replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    DWORD error = Refusal(MOVE_FROM, from);
    if (error == 0 && to != from)
        error = Refusal(MOVE_TO, to, ask);
    if (error != 0)
        return Refused(error);
    /* One step: the name moves; handles hold the file, not the name. */
    const Name moved = *NameOf(from);
    S().disk.names.erase(from);
    S().disk.names[to] = moved;
    Unname(std::string()); /* a target replaced goes, unless a handle holds it */
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR fileName)
{
    if (Enter(OpDeleteFileA, fileName))
        return FALSE;
    const std::string key = Key(fileName);
    if (DWORD error = Refusal(DELETE, key))
        return Refused(error);
    /* Every handle on it shares delete: the name goes with the last, or at
     * once where the system frees it. */
    Name *name = NameOf(key);
    if (AnyHandle(name->file) && S().pendingDelete != PendingFreed)
        name->deletePending = true;
    else
        Unname(key);
    return TRUE;
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD attributes)
{
    if (Enter(OpSetFileAttributesA, fileName))
        return FALSE;
    const std::string key = Key(fileName);
    /* A folder's attributes are not kept here. */
    if (DWORD error = Refusal(SET_ATTRIBUTES, key))
        return Refused(error);
    FileOf(NameOf(key)->file)->attributes = Settable(attributes);
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR fileName)
{
    if (Enter(OpGetFileAttributesA, fileName))
        return INVALID_FILE_ATTRIBUTES;
    const std::string key = Key(fileName);
    if (IsFolder(key))
        return FILE_ATTRIBUTE_DIRECTORY;
    if (DWORD error = Refusal(GET_ATTRIBUTES, key)) {
        SetError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return Attributes(fileName);
}

extern "C" DWORD WINAPI GetTempPathA(DWORD bufferLength, LPSTR buffer)
{
    if (Enter(OpGetTempPathA))
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
    if (Enter(OpGetTempFileNameA, pathName))
        return 0;
    std::string folder = pathName;
    if (!IsFolder(Key(folder))) {
        SetError(ERROR_DIRECTORY);
        return 0;
    }
    if (folder.back() != '\\')
        folder += '\\';
    if (unique != 0)
        Misuse("GetTempFileNameA with a number of the caller's: a name, and no file made");
    const std::string stem = folder + std::string(prefix).substr(0, 3);
    std::string name;
    UINT chosen;
    do {
        chosen = S().nextUnique++ & 0xFFFF;
        char number[8];
        snprintf(number, sizeof number, "%X", chosen);
        name = stem + number + ".tmp";
    } while (chosen == 0 || NameOf(Key(name)) != nullptr);
    Create(Key(name), std::string(), FILE_ATTRIBUTE_ARCHIVE);
    /* As Wine answers it: a folder that leaves no room for the name within
     * the path limit still succeeds, and the name handed back is cut off at
     * the limit, naming no file (the file made here has the whole name).
     * Windows refuses such a folder instead. */
    if (name.size() > 259)
        name.resize(259);
    memcpy(tempFileName, name.c_str(), name.size() + 1);
    return chosen;
}
