/*
 * The controller: which boxes a player sees on each road through the
 * program, and that nothing is written unless the player says Yes.
 */
#include "control/control.h"
#include "tests/host/support.h"

namespace {

const char *const kCaptions[] = {
    "現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
    "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです",
};
const long kSizes[8][3] = {
    {138471, 39808, 69632}, {138471, 30070, 69632}, {138482, 39808, 69632}, {138482, 30070, 69632},
    {138482, 30931, 69632}, {138482, 59697, 69632}, {138482, 30928, 90112}, {138482, 59697, 90112},
};

class ControllerTest : public SimTest {
protected:
    /* An installation of an edition, with the files the updater touches. */
    void Install(int edition)
    {
        Register();
        const char *names[] = {"data.xp3", "ext.xp3", "auxtrans.dll"};
        for (int i = 0; i < 3; i++)
            sim::PutFile(std::string(kGameDir) + names[i], std::string((size_t)kSizes[edition][i], (char)('0' + i)));
        sim::PutFile(std::string(kGameDir) + "scr.xp3", std::string(1000, 's'));
        sim::PutFile(std::string(kGameDir) + "data.xp3.sig", std::string(212, 'g'), FILE_ATTRIBUTE_HIDDEN);
        snapshot_ = Snapshot();
    }

    std::string Snapshot()
    {
        std::string all;
        for (const std::string &name : sim::List(kGameDir))
            all += name + ":" + std::to_string(sim::Attributes(kGameDir + name)) + ":" +
                   sim::FileBytes(kGameDir + name) + "\n";
        return all;
    }

    int Run()
    {
        char commandLine[] = "";
        return WinMain(sim::Module(), NULL, commandLine, 1);
    }

    void ExpectFolderUnchanged()
    {
        EXPECT_TRUE(Snapshot() == snapshot_) << "the install folder changed";
        EXPECT_TRUE(sim::List("C:\\Temp\\").empty()) << "a scratch file was made";
    }

    std::string snapshot_;
};

TEST_F(ControllerTest, UpToDateEditionsAreOnlyReported)
{
    for (int edition = 6; edition <= 7; edition++) {
        SCOPED_TRACE(edition);
        sim::Reset(root_);
        Install(edition);
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({InfoBox("既に最新の状態にアップデートされています。", kCaptions[edition])});
        ExpectFolderUnchanged();
        ExpectAllReleased();
    }
}

TEST_F(ControllerTest, AnythingButYesLeavesTheInstallationAlone)
{
    const struct {
        const char *name;
        int answer; /* 0: the question box cannot be shown */
    } answers[] = {{"No", IDNO}, {"closed (Escape)", IDCANCEL}, {"box failed", 0}, {"OK", IDOK}};
    for (int edition = 0; edition <= 5; edition++) {
        for (const auto &a : answers) {
            SCOPED_TRACE(testing::Message() << "edition " << edition << ", " << a.name);
            sim::Reset(root_);
            Install(edition);
            if (a.answer == 0)
                sim::FailCall(sim::OpMessageBoxA, 1);
            else
                sim::Answer(a.answer);
            EXPECT_EQ(Run(), 0);
            if (a.answer == 0)
                ExpectBoxes({});
            else
                ExpectBoxes({QuestionBox(kCaptions[edition])});
            ExpectFolderUnchanged();
            ExpectAllReleased();
        }
    }
}

TEST_F(ControllerTest, FailuresBeforeTheQuestionEndTheRun)
{
    const struct {
        const char *name;
        bool registered;
        const char *missing;
        const char *box;
    } cases[] = {
        {"no registry entry", false, nullptr, "E001: インストールフォルダの取得に失敗しました。"},
        {"no data.xp3", true, "data.xp3", "E102: data.xp3 を開けません。"},
        {"no auxtrans.dll", true, "auxtrans.dll", "E102: auxtrans.dll を開けません。"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset(root_);
        Install(0);
        if (!c.registered)
            sim::Reset(root_);
        if (c.missing != nullptr) {
            ASSERT_EQ(DeleteFileA((std::string(kGameDir) + c.missing).c_str()), TRUE);
        }
        snapshot_ = Snapshot();
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({ErrorBox(c.box)});
        ExpectFolderUnchanged();
        ExpectAllReleased();
    }
}

TEST_F(ControllerTest, UnknownSizesAreReportedWithoutAQuestion)
{
    Install(0);
    sim::PutFile(std::string(kGameDir) + "ext.xp3", std::string(30928, 'x'));
    snapshot_ = Snapshot();
    EXPECT_EQ(Run(), 0);
    ExpectBoxes({ErrorBox("E103: data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。")});
    ExpectFolderUnchanged();
    ExpectAllReleased();
}

} // namespace
