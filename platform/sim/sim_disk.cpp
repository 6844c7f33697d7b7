/*
 * The simulated disk: names that point to files, files that hold bytes,
 * attributes and a durable flag, and folders; the controls the tests set
 * the scene with and save, restore and tear it by.
 */
#include <algorithm>

#include "platform/sim/sim_state.h"

namespace sim {

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

std::string Parent(const std::string &key)
{
    size_t slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

bool IsFolder(const std::string &key)
{
    return !key.empty() && S().disk.folders.count(key) != 0;
}

Name *NameOf(const std::string &key)
{
    auto it = S().disk.names.find(key);
    return it == S().disk.names.end() ? nullptr : &it->second;
}

File *FileOf(unsigned id)
{
    auto it = S().disk.files.find(id);
    return it == S().disk.files.end() ? nullptr : &it->second;
}

const File *Disk::Find(const std::string &key) const
{
    auto name = names.find(key);
    return name == names.end() ? nullptr : &files.at(name->second.file);
}

size_t Hash(const File &file)
{
    if (*file.hash == 0)
        *file.hash = std::hash<std::string>()(*file.bytes) | 1;
    return *file.hash;
}

DWORD Settable(DWORD attributes)
{
    return attributes & kSettable & ~FILE_ATTRIBUTE_NORMAL;
}

/* Files that neither a name nor a handle holds go. */
static void Collect(Disk &disk, bool keepHeld)
{
    std::vector<unsigned> named;
    named.reserve(disk.names.size());
    for (const auto &n : disk.names)
        named.push_back(n.second.file);
    std::sort(named.begin(), named.end());
    for (auto it = disk.files.begin(); it != disk.files.end();)
        it = std::binary_search(named.begin(), named.end(), it->first) || (keepHeld && AnyHandle(it->first))
                 ? std::next(it)
                 : disk.files.erase(it);
}

/* Buffers of at least kLarge bytes are kept, up to kKept of them. */
static const size_t kLarge = 64 * 1024, kKept = 32;

static std::vector<std::string *> &Spares()
{
    static auto *spares = new std::vector<std::string *>; /* outlives every file, static ones too */
    return *spares;
}

std::shared_ptr<const std::string> NewBytes(const std::string &bytes, size_t room)
{
    room = std::max(room, bytes.size());
    std::vector<std::string *> &spares = Spares();
    std::string *buffer = nullptr;
    if (room >= kLarge && !spares.empty()) {
        buffer = spares.back();
        spares.pop_back();
    } else {
        buffer = new std::string;
    }
    buffer->reserve(room);
    buffer->assign(bytes);
    return std::shared_ptr<const std::string>(buffer, [](const std::string *gone) {
        if (gone->capacity() >= kLarge && Spares().size() < kKept)
            Spares().push_back(const_cast<std::string *>(gone));
        else
            delete gone;
    });
}

File &Create(const std::string &key, const std::string &bytes, DWORD attributes)
{
    Disk &disk = S().disk;
    if (NameOf(key) == nullptr)
        disk.names[key] = Name{disk.nextFile++};
    return disk.files[disk.names[key].file] = File{NewBytes(bytes), Settable(attributes)};
}

void Unname(const std::string &key)
{
    S().disk.names.erase(key);
    Collect(S().disk, true);
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
    MakeFolder(windowsPath.substr(0, windowsPath.find_last_of("\\/")));
    Create(Key(windowsPath), bytes, attributes);
}

bool Exists(const std::string &windowsPath)
{
    return NameOf(Key(windowsPath)) != nullptr;
}

std::string FileBytes(const std::string &windowsPath)
{
    const File *file = S().disk.Find(Key(windowsPath));
    return file == nullptr ? std::string() : *file->bytes;
}

DWORD Attributes(const std::string &windowsPath)
{
    const File *file = S().disk.Find(Key(windowsPath));
    return file == nullptr || file->attributes == 0 ? FILE_ATTRIBUTE_NORMAL : file->attributes;
}

std::vector<std::string> List(const std::string &windowsFolder)
{
    const std::string prefix = Key(windowsFolder) + "/";
    std::vector<std::string> names;
    auto inside = [&](const std::string &key) {
        if (key.compare(0, prefix.size(), prefix) == 0 && key.find('/', prefix.size()) == std::string::npos)
            names.push_back(key.substr(prefix.size()));
    };
    for (const auto &n : S().disk.names)
        inside(n.first);
    for (const std::string &folder : S().disk.folders)
        inside(folder);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> AllFiles()
{
    std::vector<std::string> paths;
    for (const auto &n : S().disk.names) {
        std::string path = n.first;
        std::replace(path.begin(), path.end(), '/', '\\');
        paths.push_back(path);
    }
    return paths;
}

bool Link(const std::string &existingWindowsPath, const std::string &newWindowsPath)
{
    const std::string to = Key(newWindowsPath);
    const Name *name = NameOf(Key(existingWindowsPath));
    if (name == nullptr || name->deletePending || to.empty() || !IsFolder(Parent(to)) || IsFolder(to) ||
        NameOf(to) != nullptr)
        return false;
    S().disk.names[to] = Name{name->file};
    return true;
}

void SetPendingDelete(PendingDelete answer)
{
    S().pendingDelete = answer;
}

Disk SaveDisk()
{
    return S().disk;
}

const Disk &DiskNow()
{
    return S().disk;
}

void RestoreDisk(const Disk &disk)
{
    if (!S().handles.empty())
        Misuse("the disk restored under open files");
    Disk &now = S().disk = disk;
    for (auto it = now.names.begin(); it != now.names.end();)
        it = it->second.deletePending ? now.names.erase(it) : std::next(it);
    Collect(now, false);
}

Disk Torn(const Disk &disk, bool zeroTail)
{
    Disk torn = disk;
    for (auto &f : torn.files) {
        File &file = f.second;
        if (file.durable)
            continue;
        const std::string &bytes = *file.bytes;
        const size_t half = bytes.size() / 2, length = zeroTail ? bytes.size() : half;
        std::shared_ptr<const std::string> cut = NewBytes(std::string(), length);
        std::string &made = const_cast<std::string &>(*cut); /* not shared yet */
        made.assign(bytes, 0, half);
        made.resize(length, '\0');
        file = File{cut, file.attributes};
    }
    return torn;
}

} // namespace sim
