#include "tests/host/support.h"

#include <iconv.h>
#include <stdio.h>

#include <fstream>
#include <map>

#include <zlib.h>

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Wellhaven";
const char kGameDir[] = "C:\\Games\\Wellhaven\\";
const char kTemp[] = "C:\\Temp\\";

std::string Cp932(const std::string &utf8)
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

/* A text of tests/boxes.txt by its name. */
static std::string Said(const std::string &name)
{
    static const std::map<std::string, std::string> texts = [] {
        std::map<std::string, std::string> said;
        std::ifstream in(WELLHAVEN_SOURCE_DIR "/tests/boxes.txt");
        for (std::string line; std::getline(in, line);)
            if (line.find('\t') != std::string::npos && line[0] != '#')
                said[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
        return said;
    }();
    const auto text = texts.find(name);
    EXPECT_TRUE(text != texts.end()) << "tests/boxes.txt has no " << name;
    return text != texts.end() ? text->second : std::string();
}

ExpectedBox QuestionBox(int edition)
{
    return ExpectedBox{Said("question"), true, Said("caption " + std::to_string(edition)), 0x24};
}

ExpectedBox UpToDateBox(int edition)
{
    return ExpectedBox{Said("up to date"), true, Said("caption " + std::to_string(edition)), 0x40};
}

ExpectedBox CompletedBox()
{
    return ExpectedBox{Said("completed"), true, Said("completed caption"), 0x40};
}

/* The box of each code as the player's guide shows it (the second column of
 * docs/errors.md), so one table checks the program and the guide together.
 * A code whose box names a file says in the third column which it may name:
 * "表示されたファイル（`data.xp3` または `scr.xp3`）" (the file shown). */
ExpectedBox CodeBox(int code, const std::string &fileName)
{
    static const std::map<int, std::pair<std::string, std::string>> guide = [] {
        std::map<int, std::pair<std::string, std::string>> rows;
        std::ifstream in(WELLHAVEN_SOURCE_DIR "/docs/errors.md");
        for (std::string line; std::getline(in, line);) {
            const size_t open = line.find('`'), close = line.find('`', open + 1);
            const size_t shown = line.find(" | 表示されたファイル（", close), end = line.find("）", shown);
            if (line.rfind("| E", 0) == 0 && close != std::string::npos)
                rows[std::stoi(line.substr(3, 3))] = {line.substr(open + 1, close - open - 1),
                                                      shown == close + 1 ? line.substr(shown, end - shown) : ""};
        }
        return rows;
    }();
    const auto row = guide.find(code);
    EXPECT_TRUE(row != guide.end()) << "docs/errors.md has no box for E" << code;
    std::string text = row != guide.end() ? row->second.first : std::string();
    if (row != guide.end() && !row->second.second.empty()) {
        EXPECT_NE(row->second.second.find("`" + fileName + "`"), std::string::npos)
            << "docs/errors.md names no " << fileName << " for E" << code;
        /* "E102: data.xp3 を開けません。": the word after the code is the file. */
        const size_t name = text.find(' ') + 1;
        text = text.substr(0, name) + fileName + text.substr(text.find(' ', name));
    }
    return ExpectedBox{text, false, "", 0x30};
}

static std::string Describe(const sim::Box &box)
{
    char flags[16];
    snprintf(flags, sizeof flags, "0x%02X", box.flags);
    return "[" + (box.hasCaption ? box.caption : "(default caption)") + "] " + box.text + " flags " + flags +
           (box.owner != NULL ? " (owned)" : "");
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
        EXPECT_EQ(b.text, e.text) << "box " << i << ":" << seen;
        EXPECT_EQ(b.hasCaption, e.hasCaption) << "box " << i << ":" << seen;
        if (e.hasCaption) {
            EXPECT_EQ(b.caption, e.caption) << "box " << i << ":" << seen;
        }
        EXPECT_EQ(b.flags, e.flags) << "box " << i << ":" << seen;
        EXPECT_TRUE(b.owner == NULL) << "box " << i;
    }
}

void ExpectScratch(Scratch left, const std::string &finished)
{
    const std::vector<std::string> names = sim::List(kTemp);
    if (left == NONE) {
        EXPECT_TRUE(names.empty()) << "a scratch file was left";
        return;
    }
    ASSERT_EQ(names.size(), 1u) << "scratch files, expected one";
    const std::string &bytes = *sim::DiskNow().Find(sim::Key(kTemp + names[0]))->bytes;
    if (left == EMPTY)
        EXPECT_EQ(bytes.size(), 0u) << "the scratch file is not empty";
    else if (left == WHOLE)
        EXPECT_TRUE(bytes == finished) << "the scratch file is not the finished file";
    else
        EXPECT_TRUE(bytes.size() < finished.size() && finished.compare(0, bytes.size(), bytes) == 0)
            << "the scratch file does not begin the finished file";
}

void SimTest::SetUp()
{
    sim::OnMisuse([](const std::string &what) { ADD_FAILURE() << "the program misused Windows: " << what; });
    sim::Reset();
}

void SimTest::TearDown()
{
    sim::ReleaseHeld();
    sim::Reset();
    sim::OnMisuse(nullptr);
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
