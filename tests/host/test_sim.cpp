/*
 * The simulated Windows itself, where a test of the program cannot tell a
 * right refusal from a wrong one: what a refused call reports, and what
 * second names, other programs' holds and lasting faults do to the files.
 */
#include <string.h>

#include <functional>

#include "tests/host/support.h"

namespace {

const char kA[] = "C:\\G\\a", kB[] = "C:\\G\\b", kS[] = "C:\\G\\s";
const DWORD kShareAll = FILE_SHARE_READ | 0x2u | FILE_SHARE_DELETE;

BOOL Write(const char *path, const char *bytes)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    BOOL ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes, (DWORD)strlen(bytes), &written, NULL);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

BOOL Create(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h);
}

BOOL Rename(unsigned tries)
{
    BOOL ok = FALSE;
    while (!ok && tries-- > 0)
        ok = MoveFileExA(kS, kA, MOVEFILE_REPLACE_EXISTING);
    return ok;
}

/* C:\G\a holds "old" and C:\G\s "new"; each row sets a scene, makes a call,
 * and names the result, its error (when it fails) and a's bytes after every
 * hold is released ("-": gone). */
TEST_F(SimTest, RefusalsNamesAndHolds)
{
    const auto hold = [](const char *path, DWORD share, unsigned sleeps = 0) {
        return [=] { ASSERT_TRUE(sim::HoldOpen(path, GENERIC_READ, share, sleeps)); };
    };
    const auto pending = [] { ASSERT_TRUE(sim::HoldOpen(kA, GENERIC_READ, kShareAll) && DeleteFileA(kA)); };
    const auto linked = [] { ASSERT_TRUE(sim::Link(kA, kB)); };
    const struct {
        const char *name;
        std::function<void()> scene;
        std::function<BOOL()> call;
        BOOL result;
        DWORD error;
        const char *after;
    } rows[] = {
        {"delete, missing", [] {}, [] { return DeleteFileA("C:\\G\\x"); }, FALSE, 2, "old"},
        {"delete, held", hold(kA, FILE_SHARE_READ), [] { return DeleteFileA(kA); }, FALSE, 32, "old"},
        {"delete, held sharing delete", hold(kA, kShareAll), [] { return DeleteFileA(kA) && sim::Exists(kA); },
         TRUE, 0, "-"},
        {"open, pending", pending, [] { return Write(kA, "x"); }, FALSE, 5, "-"},
        {"copy onto, pending", pending, [] { return CopyFileA(kS, kA, FALSE); }, FALSE, 5, "-"},
        {"rename onto, pending", pending, [] { return Rename(1); }, FALSE, 5, "-"},
        {"copy, fail if exists", [] {}, [] { return CopyFileA(kS, kA, TRUE); }, FALSE, 80, "old"},
        {"rename, target held sharing all", hold(kA, kShareAll), [] { return Rename(1); }, FALSE, 5, "old"},
        {"rename, source held", hold(kS, FILE_SHARE_READ), [] { return Rename(1); }, FALSE, 32, "old"},
        {"fault of three, third try", [] { sim::FailCall(sim::OpMoveFileExA, 1, 32, 3); }, [] { return Rename(3); },
         FALSE, 32, "old"},
        {"fault of three, fourth try", [] { sim::FailCall(sim::OpMoveFileExA, 1, 32, 3); }, [] { return Rename(4); },
         TRUE, 0, "new"},
        {"lasting fault", [] { sim::FailCall(sim::OpMoveFileExA, 1, 33, sim::kLasting); }, [] { return Rename(9); },
         FALSE, 33, "old"},
        {"held for two sleeps, one", hold(kA, FILE_SHARE_READ, 2), [] { Sleep(200); return DeleteFileA(kA); }, FALSE,
         32, "old"},
        {"held for two sleeps, two", hold(kA, FILE_SHARE_READ, 2),
         [] { Sleep(200); Sleep(200); return DeleteFileA(kA) && sim::SleptMilliseconds() == 400; }, TRUE, 0, "-"},
        {"copy into a second name", linked, [] { return CopyFileA(kS, kB, FALSE); }, TRUE, 0, "new"},
        {"write through a second name", linked, [] { return Write(kB, "xy"); }, TRUE, 0, "xyd"},
        {"truncated through a second name", linked, [] { return Create(kB); }, TRUE, 0, ""},
        {"read-only through a second name", linked, [] { return SetFileAttributesA(kB, 1) && DeleteFileA(kA); },
         FALSE, 5, "old"},
        {"second name deleted", linked, [] { return DeleteFileA(kB) && !sim::Exists(kB); }, TRUE, 0, "old"},
        {"saved disk, written through a second name", linked,
         [] { sim::Disk d = sim::SaveDisk(); return Write(kB, "xy") && *d.files.at(sim::Key(kA)).bytes == "old"; },
         TRUE, 0, "xyd"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        sim::Reset();
        sim::PutFile(kA, "old");
        sim::PutFile(kS, "new");
        r.scene();
        EXPECT_EQ(r.call(), r.result);
        if (!r.result) {
            EXPECT_EQ(GetLastError(), r.error);
        }
        sim::ReleaseHeld();
        EXPECT_EQ(sim::Exists(kA) ? sim::FileBytes(kA) : "-", r.after);
    }
}

} // namespace
