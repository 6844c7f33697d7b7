/*
 * What the simulated file calls refuse: one ordered table, each row a rule
 * (the calls it holds for, the condition, the error Windows gives), each
 * rule written once. A call takes the first row that holds for it.
 */
#include "platform/sim/sim_state.h"

namespace sim {

/* What a row sees of the name a call asks about. */
struct At {
    Check check;
    const std::string &key;
    const Name *name;
    const File *file;
    const Ask &ask;
};
struct Row {
    unsigned checks;
    bool (*when)(const At &at);
    DWORD error;
};

static const unsigned ALL = ~0u;

/* Where it is not refused (PendingFileExists), a name deleted pending is
 * answered as any name whose file is open. */
static bool PendingRefused(const At &at)
{
    return at.name != nullptr && at.name->deletePending && S().pendingDelete == PendingAccessDenied;
}

static bool Creating(const At &at)
{
    return at.check == COPY_TO || at.ask.creation == CREATE_ALWAYS;
}

/* Whether an open with this access and share mode is compatible with every
 * handle already open on the file, both ways. */
static bool SharingRefuses(const At &at)
{
    for (const auto &h : S().handles) {
        const Handle &o = h.second;
        if (o.kind == Handle::FILE && o.file == at.name->file &&
            (((at.ask.access & GENERIC_READ) && !(o.shareMode & FILE_SHARE_READ)) ||
             ((at.ask.access & GENERIC_WRITE) && !(o.shareMode & FILE_SHARE_WRITE)) ||
             ((o.access & GENERIC_READ) && !(at.ask.shareMode & FILE_SHARE_READ)) ||
             ((o.access & GENERIC_WRITE) && !(at.ask.shareMode & FILE_SHARE_WRITE))))
            return true;
    }
    return false;
}

static bool ReadOnly(const At &at)
{
    return at.file != nullptr && (at.file->attributes & FILE_ATTRIBUTE_READONLY);
}

/* A file may be recreated (CREATE_ALWAYS, or a copy over it) as a file with
 * the new attributes: never a read-only file, and a hidden or system one
 * only when the new file carries the same mark. */
static bool MayNotRecreate(const At &at)
{
    const DWORD marks = at.file->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    return (at.file->attributes & FILE_ATTRIBUTE_READONLY) || (at.ask.attributes & marks) != marks;
}

static const Row kRows[] = {
    {ALL, [](const At &a) { return a.key.empty() || !IsFolder(Parent(a.key)); }, ERROR_PATH_NOT_FOUND},
    {ALL, PendingRefused, ERROR_ACCESS_DENIED},
    {OPEN, [](const At &a) { return a.ask.creation != OPEN_EXISTING && !Creating(a); }, ERROR_INVALID_PARAMETER},
    {COPY_TO, [](const At &a) { return IsFolder(a.key) && a.ask.failIfExists; }, ERROR_FILE_EXISTS},
    {MOVE_TO, [](const At &a) { return (a.name || IsFolder(a.key)) && !a.ask.replace; }, ERROR_ALREADY_EXISTS},
    {OPEN | COPY_FROM | COPY_TO | MOVE_TO | DELETE, [](const At &a) { return IsFolder(a.key); }, ERROR_ACCESS_DENIED},
    {ALL & ~COPY_TO & ~MOVE_TO, [](const At &a) { return !a.name && !Creating(a); }, ERROR_FILE_NOT_FOUND},
    {COPY_FROM, [](const At &a) { return SharingRefuses(a); }, ERROR_SHARING_VIOLATION},
    {MOVE_FROM | DELETE, [](const At &a) { return AnyHandle(a.name->file, true); }, ERROR_SHARING_VIOLATION},
    {COPY_TO, [](const At &a) { return a.name && a.ask.failIfExists; }, ERROR_FILE_EXISTS},
    {OPEN, [](const At &a) { return ReadOnly(a) && (a.ask.access & GENERIC_WRITE); }, ERROR_ACCESS_DENIED},
    {MOVE_TO | DELETE, ReadOnly, ERROR_ACCESS_DENIED},
    {OPEN | COPY_TO, [](const At &a) { return a.name && Creating(a) && MayNotRecreate(a); }, ERROR_ACCESS_DENIED},
    {OPEN, [](const At &a) { return a.name && SharingRefuses(a); }, ERROR_SHARING_VIOLATION},
    {COPY_TO, [](const At &a) { return a.name && (SharingRefuses(a) || a.name->file == a.ask.other); },
     ERROR_SHARING_VIOLATION},
    /* A rename replaces a hidden target, unlike a copy; one open at all
     * refuses it, whatever it shares. */
    {MOVE_TO, [](const At &a) { return a.name && AnyHandle(a.name->file); }, ERROR_ACCESS_DENIED},
};

DWORD Refusal(Check check, const std::string &key, const Ask &ask)
{
    const Name *name = NameOf(key);
    const At at{check, key, name, name != nullptr ? FileOf(name->file) : nullptr, ask};
    for (const Row &row : kRows)
        if ((row.checks & check) && row.when(at))
            return row.error;
    return 0;
}

} // namespace sim
