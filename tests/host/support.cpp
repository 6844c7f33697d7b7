#include "tests/host/support.h"

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

#include <zlib.h>

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Wellhaven";
const char kGameDir[] = "C:\\Games\\Wellhaven\\";

const char *const kCaptions[8] = {
    "現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
    "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです",
};
const char kTextUpToDate[] = "既に最新の状態にアップデートされています。";
const char kTextDone[] = "アップデートが完了しました。";
const char kCaptionInfo[] = "情報";

std::string Sjis(const std::string &utf8)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) {
        ADD_FAILURE() << "no CP932 converter";
        return utf8;
    }
    std::string in = utf8;
    std::string out(in.size() * 2 + 4, '\0');
    char *inp = &in[0];
    size_t inLeft = in.size();
    char *outp = &out[0];
    size_t outLeft = out.size();
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == (size_t)-1)
        ADD_FAILURE() << "cannot encode in CP932: " << utf8;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

ExpectedBox ErrorBox(const std::string &text)
{
    return ExpectedBox{text, false, "", 0x30};
}

ExpectedBox InfoBox(const std::string &text, const std::string &caption)
{
    return ExpectedBox{text, true, caption, 0x40};
}

ExpectedBox QuestionBox(const std::string &caption)
{
    return ExpectedBox{"Wellhaven ver1.03 へのアップデートを行いますか？", true, caption, 0x24};
}

ExpectedBox CodeBox(int code, const std::string &fileName)
{
    const char *sentence = "パッチファイルの作成に失敗しました。";
    if (code == 3 || code == 101 || code == 201 || code == 401 || code == 507)
        sentence = "メモリ確保に失敗しました。";
    else if (code < 100)
        sentence = "インストールフォルダの取得に失敗しました。";
    else if (code == 103)
        sentence = "data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。";
    else if ((code >= 203 && code <= 205) || (code >= 402 && code <= 404) || (code >= 501 && code <= 503))
        sentence = "パッチデータのロードに失敗しました。";
    else if (code == 301 || code == 302)
        sentence = "一時ファイルの作成に失敗しました。";
    else if (code == 214 || code == 409 || code == 509)
        sentence = "パッチデータが壊れています。";
    char head[8];
    snprintf(head, sizeof head, "E%03d: ", code % 1000);
    if (code == 102 || code == 202)
        return ErrorBox(head + fileName + " を開けません。");
    if (code == 213)
        return ErrorBox(head + fileName + " が Wellhaven のものでないか壊れています。");
    return ErrorBox(head + std::string(sentence));
}

static std::string Hex(const std::string &bytes)
{
    std::string out;
    char b[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
    return out;
}

std::string Describe(const sim::Box &box)
{
    char flags[16];
    snprintf(flags, sizeof flags, "0x%02X", box.flags);
    return std::string("[") + (box.hasCaption ? Hex(box.caption) : "(default caption)") + "] " + Hex(box.text) +
           " flags " + flags + (box.owner != NULL ? " (owned)" : "");
}

void ExpectBoxes(const std::vector<ExpectedBox> &expected)
{
    const std::vector<sim::Box> &shown = sim::Boxes();
    std::string seen;
    for (const sim::Box &b : shown)
        seen += "\n  " + Describe(b);
    ASSERT_EQ(shown.size(), expected.size()) << "boxes shown:" << seen;
    for (size_t i = 0; i < expected.size(); i++) {
        const sim::Box &b = shown[i];
        const ExpectedBox &e = expected[i];
        EXPECT_EQ(b.text, Sjis(e.text)) << "box " << i << ":" << seen;
        EXPECT_EQ(b.hasCaption, e.hasCaption) << "box " << i << ":" << seen;
        if (e.hasCaption) {
            EXPECT_EQ(b.caption, Sjis(e.caption)) << "box " << i << ":" << seen;
        }
        EXPECT_EQ(b.flags, e.flags) << "box " << i << ":" << seen;
        EXPECT_TRUE(b.owner == NULL) << "box " << i;
    }
}

void SimTest::SetUp()
{
    char pattern[] = "/tmp/wellhaven-sim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    sim::OnMisuse([](const std::string &what) { ADD_FAILURE() << "the program misused Windows: " << what; });
    sim::Reset();
}

void SimTest::TearDown()
{
    sim::ReleaseHeld();
    sim::Reset();
    sim::OnMisuse(nullptr);
    std::error_code error;
    std::filesystem::remove_all(root_, error);
    if (error)
        ADD_FAILURE() << "could not remove " << root_ << ": " << error.message();
}

void SimTest::Register(const std::string &folder)
{
    sim::SetRegistryString(kUninstallKey, "InstallLocation", folder);
}

void SimTest::ExpectAllReleased()
{
    EXPECT_EQ(sim::OpenHandles(), 0) << "handles or keys left open";
    EXPECT_EQ(sim::LiveBlocks(), 0) << "GlobalAlloc blocks not freed";
    EXPECT_EQ(sim::LoadedResources(), 0) << "payloads not released";
}

DWORD Crc(const std::string &bytes)
{
    return (DWORD)crc32(0, reinterpret_cast<const Bytef *>(bytes.data()), (uInt)bytes.size());
}
