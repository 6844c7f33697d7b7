#include "tests/host/support.h"

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

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

/* The box of each code as the player's guide shows it (the second column of
 * docs/errors.md), so one table checks the program and the guide together.
 * The guide's box of a code that names a file shows one of its files. */
ExpectedBox CodeBox(int code, const std::string &fileName)
{
    static const std::map<int, std::string> guide = [] {
        std::map<int, std::string> boxes;
        std::ifstream in(WELLHAVEN_SOURCE_DIR "/docs/errors.md");
        for (std::string line; std::getline(in, line);) {
            const size_t open = line.find('`'), close = line.find('`', open + 1);
            if (line.rfind("| E", 0) == 0 && close != std::string::npos)
                boxes[std::stoi(line.substr(3, 3))] = line.substr(open + 1, close - open - 1);
        }
        return boxes;
    }();
    const auto box = guide.find(code);
    EXPECT_TRUE(box != guide.end()) << "docs/errors.md has no box for E" << code;
    /* "E102: data.xp3 を開けません。": the word after the code is a file. */
    const std::string text = box != guide.end() ? box->second : std::string();
    const size_t name = text.find(' ') + 1, end = text.find(' ', name);
    const std::string ending = end != std::string::npos && end - name > 4 ? text.substr(end - 4, 4) : "";
    const bool names = ending == ".xp3" || ending == ".dll";
    return ErrorBox(names ? text.substr(0, name) + fileName + text.substr(end) : text);
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
