/*
 * Install folder lookup and edition identification: what the registry and
 * three file sizes make of an installation, and the boxes on the way.
 */
#include "discovery/discovery.h"
#include "tests/host/support.h"

namespace {

class LookupTest : public SimTest {};

/* What the installer left in the registry, and how the value's bytes are
 * stored. */
enum Registration { NO_KEY, NO_VALUE, VALUE };
enum Stored { WITH_NUL, WITHOUT_NUL };

struct LookupCase {
    const char *name;
    Registration registration;
    DWORD type;
    std::string bytes; /* UTF-8, converted to code page 932 */
    Stored stored;
    const char *expected; /* UTF-8 folder, or nullptr for none */
    int code;             /* the box's; 0: none */
    /* The view the installer wrote to, and whether the other view holds a
     * folder of its own. */
    sim::RegistryView view = sim::Registry32;
    bool otherView = false;
    /* What the size query reports instead of the value's size (0: its
     * size), and the largest block the lookup may then ask for. */
    DWORD reportedSize = 0;
    SIZE_T largestBlock = 0;
};

TEST_F(LookupTest, RegistryValues)
{
    const char *const games = "C:\\Games\\Wellhaven";
    const LookupCase cases[] = {
        {"folder without backslash", VALUE, REG_SZ, games, WITH_NUL, "C:\\Games\\Wellhaven\\", 0},
        {"folder with backslash", VALUE, REG_SZ, "D:\\Wellhaven\\", WITH_NUL, "D:\\Wellhaven\\", 0},
        {"drive root", VALUE, REG_SZ, "E:\\", WITH_NUL, "E:\\", 0},
        {"stored without NUL", VALUE, REG_SZ, games, WITHOUT_NUL, "C:\\Games\\Wellhaven\\", 0},
        {"stored without NUL, with backslash", VALUE, REG_SZ, "C:\\W\\", WITHOUT_NUL, "C:\\W\\", 0},
        {"trail byte 0x5C of 表", VALUE, REG_SZ, "C:\\ゲーム\\表", WITH_NUL, "C:\\ゲーム\\表\\", 0},
        {"trail byte 0x5C of ソ, no NUL", VALUE, REG_SZ, "C:\\ソ", WITHOUT_NUL, "C:\\ソ\\", 0},
        {"double-byte folder with backslash", VALUE, REG_SZ, "C:\\ゲーム\\表\\", WITH_NUL, "C:\\ゲーム\\表\\", 0},
        {"no key", NO_KEY, REG_SZ, "", WITH_NUL, nullptr, 1},
        {"key without value", NO_VALUE, REG_SZ, "", WITH_NUL, nullptr, 2},
        {"expandable string", VALUE, REG_EXPAND_SZ, games, WITH_NUL, nullptr, 5},
        {"number", VALUE, 4, "\x01\x02\x03", WITHOUT_NUL, nullptr, 5},
        {"empty string", VALUE, REG_SZ, "", WITH_NUL, nullptr, 5},
        {"no bytes at all", VALUE, REG_SZ, "", WITHOUT_NUL, nullptr, 5},
        /* A 32-bit installer's key is in the 32-bit view, the one a
         * 32-bit program reads. */
        {"key only in the 64-bit view", VALUE, REG_SZ, games, WITH_NUL, nullptr, 1, sim::Registry64},
        {"another folder in the 64-bit view", VALUE, REG_SZ, games, WITH_NUL, "C:\\Games\\Wellhaven\\", 0,
         sim::Registry32, true},
        /* A string stored in UTF-16 reports twice its ANSI size: the text
         * ends where the data query says, not at the size first reported. */
        {"size reported larger than the text", VALUE, REG_SZ, games, WITHOUT_NUL, "C:\\Games\\Wellhaven\\", 0,
         sim::Registry32, false, 36, 38},
        /* The value's size, a terminator and a backslash must fit 32 bits:
         * the largest size that does is asked for (and is more than a
         * 32-bit program can have), the next is refused before asking. */
        {"size 0xFFFFFFFD", VALUE, REG_SZ, games, WITH_NUL, nullptr, 3, sim::Registry32, false, 0xFFFFFFFDu,
         0xFFFFFFFFu},
        {"size 0xFFFFFFFE", VALUE, REG_SZ, games, WITH_NUL, nullptr, 3, sim::Registry32, false, 0xFFFFFFFEu, 0},
        {"size 0xFFFFFFFF", VALUE, REG_SZ, games, WITH_NUL, nullptr, 3, sim::Registry32, false, 0xFFFFFFFFu, 0},
    };
    for (const LookupCase &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        if (c.registration != NO_KEY)
            sim::SetRegistryKey(kUninstallKey, c.view);
        if (c.registration == VALUE) {
            std::string bytes = Cp932(c.bytes);
            if (c.stored == WITH_NUL)
                bytes += '\0';
            sim::SetRegistryValue(kUninstallKey, "InstallLocation", c.type, bytes, c.view);
            if (c.reportedSize != 0)
                sim::SetRegistryValueSize(kUninstallKey, "InstallLocation", c.reportedSize, c.view);
        }
        if (c.otherView)
            sim::SetRegistryString(kUninstallKey, "InstallLocation", "D:\\Elsewhere", REG_SZ,
                                   c.view == sim::Registry32 ? sim::Registry64 : sim::Registry32);
        char *folder = LocateInstallDir();
        if (c.expected != nullptr) {
            ASSERT_NE(folder, nullptr);
            EXPECT_EQ(std::string(folder), Cp932(c.expected));
            ExpectBoxes({});
            GlobalFree(folder);
        } else {
            EXPECT_EQ(folder, nullptr);
            ExpectBoxes({CodeBox(c.code)});
        }
        if (c.reportedSize != 0) {
            EXPECT_EQ(sim::LargestBlock(), c.largestBlock);
        }
        ExpectAllReleased();
    }
}

class IdentifyTest : public SimTest {};

/* Three file sizes (-1: missing), a file held open by another program, and
 * the edition or the box. The calls that fail are swept with whole runs. */
TEST_F(IdentifyTest, SizesGiveTheEdition)
{
    const DWORD none = 0;
    const ExpectedBox kE102Data = CodeBox(102, "data.xp3"), kE102Ext = CodeBox(102, "ext.xp3"),
                      kE102Aux = CodeBox(102, "auxtrans.dll"), kE103 = CodeBox(103);
    const struct {
        long data, ext, aux;
        int edition;
        const ExpectedBox *box;
        const char *held = nullptr; /* held open by another program */
        DWORD heldAccess = none;
    } cases[] = {
        {138471, 39808, 69632, 0, nullptr},
        {138471, 30070, 69632, 1, nullptr},
        {138482, 39808, 69632, 2, nullptr},
        {138482, 30070, 69632, 3, nullptr},
        {138482, 30931, 69632, 4, nullptr},
        {138482, 59697, 69632, 5, nullptr},
        {138482, 30928, 90112, 6, nullptr},
        {138482, 59697, 90112, 7, nullptr},
        /* An update of the plain line stopped after its new ext.xp3 is
         * finished by ver1.02's plan. */
        {138482, 30928, 69632, 4, nullptr},
        /* Near misses: one byte off in each file, rows mixed across lines. */
        {138482, 30927, 69632, -1, &kE103},
        {138471, 39808, 69631, -1, &kE103},
        {138472, 39808, 69632, -1, &kE103},
        {138471, 39809, 69632, -1, &kE103},
        {138471, 30928, 90112, -1, &kE103},
        {138471, 30928, 69632, -1, &kE103},
        {138471, 59697, 69632, -1, &kE103},
        {0, 0, 0, -1, &kE103},
        /* Only the first file that cannot be opened is named. */
        {-1, -1, 69632, -1, &kE102Data},
        {-1, 39808, -1, -1, &kE102Data},
        {138471, -1, -1, -1, &kE102Ext},
        {138471, 39808, -1, -1, &kE102Aux},
        /* Held without read sharing, a file cannot be opened; held with it,
         * it is measured. */
        {138471, 39808, 69632, -1, &kE102Data, "data.xp3", GENERIC_WRITE},
        {138471, 39808, 69632, -1, &kE102Ext, "ext.xp3", GENERIC_WRITE},
        {138471, 39808, 69632, -1, &kE102Aux, "auxtrans.dll", GENERIC_WRITE},
        {138482, 59697, 90112, 7, nullptr, "data.xp3", GENERIC_READ},
        {138482, 59697, 90112, 7, nullptr, "auxtrans.dll", GENERIC_READ},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.data << " " << c.ext << " " << c.aux << " held "
                                        << (c.held ? c.held : "-"));
        sim::Reset();
        sim::MakeFolder(kGameDir);
        const struct {
            const char *name;
            long size;
        } files[] = {{"data.xp3", c.data}, {"ext.xp3", c.ext}, {"auxtrans.dll", c.aux}};
        for (const auto &f : files)
            if (f.size >= 0)
                sim::PutFile(std::string(kGameDir) + f.name, std::string((size_t)f.size, 'x'));
        if (c.held != nullptr) {
            ASSERT_TRUE(sim::HoldOpen(std::string(kGameDir) + c.held, c.heldAccess,
                                      c.heldAccess == GENERIC_READ ? FILE_SHARE_READ : 0));
        }
        EXPECT_EQ(IdentifyEdition(kGameDir), c.edition);
        if (c.box != nullptr)
            ExpectBoxes({*c.box});
        else
            ExpectBoxes({});
        ExpectAllReleased();
        sim::ReleaseHeld();
    }
}

} // namespace
