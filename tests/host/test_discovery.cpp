/*
 * Install folder lookup and edition identification: what the registry and
 * three file sizes make of an installation, and the boxes on the way.
 */
#include "discovery/discovery.h"
#include "tests/host/support.h"

namespace {

const char kE102Data[] = "E102: data.xp3 を開けません。";
const char kE102Ext[] = "E102: ext.xp3 を開けません。";
const char kE102Aux[] = "E102: auxtrans.dll を開けません。";
const char kE103[] = "E103: data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。";

class LookupTest : public SimTest {};

/* How the registry is set, what the lookup returns (empty: none), and the
 * box shown. */
struct LookupCase {
    const char *name;
    bool key;
    bool value;
    DWORD type;
    std::string bytes; /* UTF-8, converted to code page 932 */
    bool terminated;
    const char *expected; /* UTF-8 folder, or nullptr for none */
    const char *box;
    /* The view the installer wrote to, and whether the other view holds a
     * folder of its own. */
    sim::RegistryView view = sim::Registry32;
    bool otherView = false;
};

TEST_F(LookupTest, RegistryValues)
{
    const LookupCase cases[] = {
        {"folder without backslash", true, true, REG_SZ, "C:\\Games\\Wellhaven", true, "C:\\Games\\Wellhaven\\",
         nullptr},
        {"folder with backslash", true, true, REG_SZ, "D:\\Wellhaven\\", true, "D:\\Wellhaven\\", nullptr},
        {"drive root", true, true, REG_SZ, "E:\\", true, "E:\\", nullptr},
        {"stored without NUL", true, true, REG_SZ, "C:\\Games\\Wellhaven", false, "C:\\Games\\Wellhaven\\", nullptr},
        {"stored without NUL, with backslash", true, true, REG_SZ, "C:\\W\\", false, "C:\\W\\", nullptr},
        {"trail byte 0x5C of 表", true, true, REG_SZ, "C:\\ゲーム\\表", true, "C:\\ゲーム\\表\\", nullptr},
        {"trail byte 0x5C of ソ, no NUL", true, true, REG_SZ, "C:\\ソ", false, "C:\\ソ\\", nullptr},
        {"double-byte folder with backslash", true, true, REG_SZ, "C:\\ゲーム\\表\\", true, "C:\\ゲーム\\表\\",
         nullptr},
        {"no key", false, false, REG_SZ, "", true, nullptr, "E001: インストールフォルダの取得に失敗しました。"},
        {"key without value", true, false, REG_SZ, "", true, nullptr,
         "E002: インストールフォルダの取得に失敗しました。"},
        {"expandable string", true, true, REG_EXPAND_SZ, "C:\\Games\\Wellhaven", true, nullptr,
         "E005: インストールフォルダの取得に失敗しました。"},
        {"number", true, true, 4, "\x01\x02\x03", false, nullptr, "E005: インストールフォルダの取得に失敗しました。"},
        {"empty string", true, true, REG_SZ, "", true, nullptr, "E005: インストールフォルダの取得に失敗しました。"},
        {"no bytes at all", true, true, REG_SZ, "", false, nullptr,
         "E005: インストールフォルダの取得に失敗しました。"},
        /* A 32-bit installer's key is in the 32-bit view, the one a
         * 32-bit program reads. */
        {"key only in the 64-bit view", true, true, REG_SZ, "C:\\Games\\Wellhaven", true, nullptr,
         "E001: インストールフォルダの取得に失敗しました。", sim::Registry64},
        {"another folder in the 64-bit view", true, true, REG_SZ, "C:\\Games\\Wellhaven", true,
         "C:\\Games\\Wellhaven\\", nullptr, sim::Registry32, true},
    };
    for (const LookupCase &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset(root_);
        if (c.key)
            sim::SetRegistryKey(kUninstallKey, c.view);
        if (c.value) {
            std::string bytes = Sjis(c.bytes);
            if (c.terminated)
                bytes += '\0';
            sim::SetRegistryValue(kUninstallKey, "InstallLocation", c.type, bytes, c.view);
        }
        if (c.otherView)
            sim::SetRegistryString(kUninstallKey, "InstallLocation", "D:\\Elsewhere", REG_SZ,
                                   c.view == sim::Registry32 ? sim::Registry64 : sim::Registry32);
        char *folder = LocateInstallDir();
        if (c.expected != nullptr) {
            ASSERT_NE(folder, nullptr);
            EXPECT_EQ(std::string(folder), Sjis(c.expected));
            ExpectBoxes({});
            GlobalFree(folder);
        } else {
            EXPECT_EQ(folder, nullptr);
            ExpectBoxes({ErrorBox(c.box)});
        }
        ExpectAllReleased();
    }
}

TEST_F(LookupTest, EachFailingCallShowsItsCode)
{
    const struct {
        sim::Op op;
        unsigned nth;
        const char *box;
    } cases[] = {
        {sim::OpRegOpenKeyExA, 1, "E001: インストールフォルダの取得に失敗しました。"},
        {sim::OpRegQueryValueExA, 1, "E002: インストールフォルダの取得に失敗しました。"},
        {sim::OpGlobalAlloc, 1, "E003: メモリ確保に失敗しました。"},
        {sim::OpRegQueryValueExA, 2, "E004: インストールフォルダの取得に失敗しました。"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sim::OpName(c.op));
        sim::Reset(root_);
        Register();
        sim::FailCall(c.op, c.nth);
        EXPECT_EQ(LocateInstallDir(), nullptr);
        EXPECT_TRUE(sim::FaultFired());
        ExpectBoxes({ErrorBox(c.box)});
        ExpectAllReleased();
    }
}

class IdentifyTest : public SimTest {
protected:
    void Install(long data, long ext, long aux)
    {
        if (data >= 0)
            sim::PutFile(std::string(kGameDir) + "data.xp3", std::string((size_t)data, 'd'));
        if (ext >= 0)
            sim::PutFile(std::string(kGameDir) + "ext.xp3", std::string((size_t)ext, 'e'));
        if (aux >= 0)
            sim::PutFile(std::string(kGameDir) + "auxtrans.dll", std::string((size_t)aux, 'a'));
    }
};

TEST_F(IdentifyTest, SizesGiveTheEdition)
{
    /* data.xp3, ext.xp3, auxtrans.dll; -1 = missing. */
    const struct {
        long data, ext, aux;
        int edition;
        const char *box;
    } cases[] = {
        {138471, 39808, 69632, 0, nullptr},
        {138471, 30070, 69632, 1, nullptr},
        {138482, 39808, 69632, 2, nullptr},
        {138482, 30070, 69632, 3, nullptr},
        {138482, 30931, 69632, 4, nullptr},
        {138482, 59697, 69632, 5, nullptr},
        {138482, 30928, 90112, 6, nullptr},
        {138482, 59697, 90112, 7, nullptr},
        /* Near misses: an ext.xp3 already new with an old library, one byte
         * off in each file, rows mixed across lines. */
        {138482, 30928, 69632, -1, kE103},
        {138471, 39808, 69631, -1, kE103},
        {138472, 39808, 69632, -1, kE103},
        {138471, 39809, 69632, -1, kE103},
        {138471, 30928, 90112, -1, kE103},
        {138471, 59697, 69632, -1, kE103},
        {0, 0, 0, -1, kE103},
        /* Only the first file that cannot be opened is named. */
        {-1, -1, 69632, -1, kE102Data},
        {-1, 39808, -1, -1, kE102Data},
        {138471, -1, -1, -1, kE102Ext},
        {138471, 39808, -1, -1, kE102Aux},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.data << " " << c.ext << " " << c.aux);
        sim::Reset(root_);
        sim::MakeFolder(kGameDir);
        Install(c.data, c.ext, c.aux);
        EXPECT_EQ(IdentifyEdition(kGameDir), c.edition);
        if (c.box != nullptr)
            ExpectBoxes({ErrorBox(c.box)});
        else
            ExpectBoxes({});
        ExpectAllReleased();
    }
}

TEST_F(IdentifyTest, FileHeldWithoutReadSharingCannotBeOpened)
{
    Install(138471, 39808, 69632);
    const struct {
        const char *file;
        const char *box;
    } cases[] = {
        {"data.xp3", kE102Data},
        {"ext.xp3", kE102Ext},
        {"auxtrans.dll", kE102Aux},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        sim::Reset(root_);
        Install(138471, 39808, 69632);
        ASSERT_TRUE(sim::HoldOpen(std::string(kGameDir) + c.file, GENERIC_WRITE, 0));
        EXPECT_EQ(IdentifyEdition(kGameDir), -1);
        ExpectBoxes({ErrorBox(c.box)});
        ExpectAllReleased();
        sim::ReleaseHeld();
    }
}

TEST_F(IdentifyTest, FileHeldWithReadSharingIsMeasured)
{
    Install(138482, 59697, 90112);
    ASSERT_TRUE(sim::HoldOpen(std::string(kGameDir) + "data.xp3", GENERIC_READ, FILE_SHARE_READ));
    EXPECT_EQ(IdentifyEdition(kGameDir), 7);
    ExpectBoxes({});
}

TEST_F(IdentifyTest, FailingCalls)
{
    const struct {
        sim::Op op;
        unsigned nth;
        const char *box;
    } cases[] = {
        {sim::OpGlobalAlloc, 1, "E101: メモリ確保に失敗しました。"},
        {sim::OpCreateFileA, 1, kE102Data},
        {sim::OpCreateFileA, 2, kE102Ext},
        {sim::OpCreateFileA, 3, kE102Aux},
        /* A failed size query reads as all bits set and matches no row. */
        {sim::OpGetFileSize, 1, kE103},
        {sim::OpGetFileSize, 3, kE103},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << sim::OpName(c.op) << " #" << c.nth);
        sim::Reset(root_);
        Install(138471, 39808, 69632);
        sim::FailCall(c.op, c.nth);
        EXPECT_EQ(IdentifyEdition(kGameDir), -1);
        ExpectBoxes({ErrorBox(c.box)});
        ExpectAllReleased();
    }
}

} // namespace
