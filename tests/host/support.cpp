#include "tests/host/support.h"

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Wellhaven";
const char kGameDir[] = "C:\\Games\\Wellhaven\\";

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
    sim::Reset(root_);
}

void SimTest::TearDown()
{
    sim::ReleaseHeld();
    sim::Reset(root_);
    std::string command = "rm -rf '" + root_ + "'";
    if (system(command.c_str()) != 0)
        ADD_FAILURE() << "could not remove " << root_;
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
