/*
 * Runs a row of the behaviour table over the calls of platform/winapi.h.
 */
#include <sstream>
#include <vector>

#include "tools/probe/behaviour.h"

const BehaviourRow kBehaviour[] = {
#include "tools/probe/table.inc"
};
const size_t kBehaviourRows = sizeof kBehaviour / sizeof kBehaviour[0];

long WineAnswer(const BehaviourRow &row, int version, bool root)
{
    const long wine = row.newer.since != 0 && version >= row.newer.since ? row.newer.answer : row.wine;
    return root && row.root != kSame ? row.root : wine != kSame ? wine : row.windows;
}

static DWORD Letters(const std::string &letters, const char *known, const DWORD *bits)
{
    DWORD out = 0;
    for (char c : letters)
        for (size_t i = 0; known[i] != '\0'; i++)
            if (c == known[i])
                out |= bits[i];
    return out;
}

/* "r/rd": the access and share mode. */
static void Mode(const std::string &text, DWORD *access, DWORD *share)
{
    static const DWORD kAccess[] = {GENERIC_READ, GENERIC_WRITE};
    static const DWORD kShare[] = {FILE_SHARE_READ, 0x2u, FILE_SHARE_DELETE};
    const size_t slash = text.find('/');
    *access = Letters(text.substr(0, slash), "rw", kAccess);
    *share = Letters(text.substr(slash + 1), "rwd", kShare);
}

static DWORD Attributes(const std::string &letters)
{
    static const DWORD kBits[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN};
    const DWORD bits = Letters(letters, "RH", kBits);
    return bits != 0 ? bits : FILE_ATTRIBUTE_NORMAL;
}

static long Answer(BOOL ok)
{
    return ok ? 0 : (long)GetLastError();
}

long RunRow(const BehaviourRow &row, const std::string &folder, const Machine &machine)
{
    std::vector<HANDLE> handles;
    auto in = [&folder](const std::string &name) { return folder + "\\" + name; };
    auto open = [&](const std::string &name, const std::string &mode, DWORD creation) {
        DWORD access, share;
        Mode(mode, &access, &share);
        HANDLE h = CreateFileA(in(name).c_str(), access, share, NULL, creation, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h != INVALID_HANDLE_VALUE)
            handles.push_back(h);
        return h;
    };
    bool setUp = true;
    std::istringstream setup(row.setup);
    for (std::string t; setUp && setup >> t;) {
        const std::string name = t.substr(0, 1), rest = t.size() > 2 ? t.substr(2) : "";
        DWORD written;
        if (t[0] == '-')
            setUp = DeleteFileA(in(t.substr(1)).c_str());
        else if (t.size() > 1 && t[1] == '/')
            setUp = machine.makeFolder(in(name));
        else if (t.size() > 1 && t[1] == '>')
            setUp = machine.link(in(name), in(rest));
        else if (t.size() > 1 && t[1] == '@')
            setUp = open(name, rest, OPEN_EXISTING) != INVALID_HANDLE_VALUE;
        else {
            HANDLE h =
                CreateFileA(in(name).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            setUp = h != INVALID_HANDLE_VALUE && (WriteFile(h, "data", 4, &written, NULL) & CloseHandle(h)) &&
                    SetFileAttributesA(in(name).c_str(), Attributes(rest));
        }
    }
    std::istringstream call(row.call);
    std::string verb, a, b, c;
    call >> verb >> a >> b >> c;
    long answer = kSetupFailed;
    if (!setUp)
        ;
    else if (verb == "open")
        answer = open(a, b, c == "new" ? CREATE_ALWAYS : OPEN_EXISTING) != INVALID_HANDLE_VALUE ? 0 : GetLastError();
    else if (verb == "copy")
        answer = Answer(CopyFileA(in(a).c_str(), in(b).c_str(), c == "fail"));
    else if (verb == "move")
        answer = Answer(MoveFileExA(in(a).c_str(), in(b).c_str(), c == "replace" ? MOVEFILE_REPLACE_EXISTING : 0));
    else if (verb == "delete")
        answer = Answer(DeleteFileA(in(a).c_str()));
    else if (verb == "setattr")
        answer = Answer(SetFileAttributesA(in(a).c_str(), Attributes(b)));
    else if (verb == "getattr")
        answer = Answer(GetFileAttributesA(in(a).c_str()) != INVALID_FILE_ATTRIBUTES);
    else if (verb == "flush") {
        HANDLE h = open(a, b, OPEN_EXISTING);
        answer = h == INVALID_HANDLE_VALUE ? kSetupFailed : Answer(FlushFileBuffers(h));
    } else if (verb == "temp") {
        char name[260];
        answer = Answer(GetTempFileNameA(in(a).c_str(), "xp3", 0, name) != 0);
    }
    for (HANDLE h : handles)
        CloseHandle(h);
    return answer;
}
