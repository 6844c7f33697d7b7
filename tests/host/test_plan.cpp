/*
 * Whole updates on installations made from the sample release: each old
 * edition ends byte for byte and attribute for attribute as its finished
 * folder, and an update stopped part way is picked up by the next run.
 */
#include <dirent.h>
#include <stdio.h>

#include <fstream>
#include <sstream>

#include "control/control.h"
#include "tests/host/support.h"

namespace {

const std::string kRelease = WELLHAVEN_SAMPLE_RELEASE;

const char *const kCaptions[] = {
    "現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
    "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです",
};
const char kUpToDate[] = "既に最新の状態にアップデートされています。";
const char kDone[] = "アップデートが完了しました。";
const char kCaptionInfo[] = "情報";

std::string HostFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> HostList(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *d = opendir(folder.c_str());
    while (d != nullptr) {
        struct dirent *e = readdir(d);
        if (e == nullptr)
            break;
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsSignature(const std::string &name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".sig") == 0;
}

class PlanTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_FALSE(HostList(kRelease + "/payload").empty()) << "no sample release in " << kRelease;
    }

    /* The program's payloads and an installed edition of the sample release,
     * its signature files hidden. */
    void Install(int edition)
    {
        sim::Reset(root_);
        for (WORD id = 103; id <= 113; id++)
            sim::AddResource(id, "BINARY", HostFile(kRelease + "/payload/" + std::to_string(id) + ".bin"));
        Register();
        std::string from = kRelease + "/installed/" + std::to_string(edition) + "/";
        for (const std::string &name : HostList(from))
            sim::PutFile(kGameDir + name, HostFile(from + name),
                         IsSignature(name) ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL);
    }

    int Run(int answer = IDYES)
    {
        sim::Answer(answer);
        char commandLine[] = "";
        return WinMain(sim::Module(), NULL, commandLine, 1);
    }

    /* The install folder holds exactly the files of folder/edition of the
     * sample release, with every signature hidden and nothing else marked. */
    void ExpectFolderIs(const std::string &folder, int edition)
    {
        std::string from = kRelease + "/" + folder + "/" + std::to_string(edition) + "/";
        std::vector<std::string> expected = HostList(from);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(sim::List(kGameDir), expected);
        for (const std::string &name : expected) {
            EXPECT_TRUE(sim::FileBytes(kGameDir + name) == HostFile(from + name)) << name << " differs";
            EXPECT_EQ(sim::Attributes(kGameDir + name),
                      IsSignature(name) ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL)
                << name;
        }
    }
};

TEST_F(PlanTest, EveryOldEditionEndsAsItsFinishedFolder)
{
    for (int edition = 0; edition <= 5; edition++) {
        SCOPED_TRACE(testing::Message() << "edition " << edition);
        Install(edition);
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({QuestionBox(kCaptions[edition]), InfoBox(kDone, kCaptionInfo)});
        ExpectFolderIs("finished", edition);
        EXPECT_TRUE(sim::List("C:\\Temp\\").empty()) << "scratch files left behind";
        ExpectAllReleased();
        /* ver1.00 and ver1.00a rebuild both archives and write five signature
         * files; later editions begin with ext.xp3 and leave data.xp3,
         * scr.xp3 and their signatures alone. */
        EXPECT_EQ(sim::Calls(sim::OpCopyFileA), edition <= 1 ? 9u : 4u);
        EXPECT_EQ(sim::BytesRead(), edition <= 1 ? (22408u + 105475u + 917u + 594350u) : 0u);
    }
}

TEST_F(PlanTest, SecondRunReportsUpToDate)
{
    for (int edition = 0; edition <= 5; edition++) {
        SCOPED_TRACE(testing::Message() << "edition " << edition);
        Install(edition);
        ASSERT_EQ(Run(), 0);
        sim::NewRun();
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({InfoBox(kUpToDate, kCaptions[edition % 2 == 0 ? 6 : 7])});
        ExpectFolderIs("finished", edition);
    }
}

TEST_F(PlanTest, UpToDateEditionsAreNotTouched)
{
    for (int edition = 6; edition <= 7; edition++) {
        SCOPED_TRACE(testing::Message() << "edition " << edition);
        Install(edition);
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({InfoBox(kUpToDate, kCaptions[edition])});
        ExpectFolderIs("installed", edition);
        EXPECT_EQ(sim::Calls(sim::OpCopyFileA), 0u);
    }
}

TEST_F(PlanTest, AStoppedUpdateIsPickedUpByTheNextRun)
{
    /* The copies of a ver1.00 or ver1.00a run, in order: 1 data.xp3,
     * 2 data.xp3.sig, 3 scr.xp3, 4 scr.xp3.sig, 5 Wellhaven.exe.sig,
     * 6 ext.xp3, 7 ext.xp3.sig, 8 auxtrans.dll, 9 auxtrans.dll.sig; of a later
     * edition's: 1 ext.xp3, 2 ext.xp3.sig, 3 auxtrans.dll, 4 auxtrans.dll.sig. */
    const char kE103[] = "E103: data.xp3, ext.xp3, auxtrans.dll のいずれかが Wellhaven のものでないか壊れています。";
    const struct {
        const char *name;
        int edition;
        unsigned failingCopy;
        const char *box;
        int nextEdition; /* what the next run identifies; -1 for E103 */
        unsigned nextCopies;
    } cases[] = {
        {"ver1.00 stopped at ext.xp3", 0, 6, "E508: パッチファイルの作成に失敗しました。", 2, 4},
        {"ver1.00a stopped at ext.xp3", 1, 6, "E508: パッチファイルの作成に失敗しました。", 3, 4},
        {"ver1.00 stopped at auxtrans.dll", 0, 8, "E508: パッチファイルの作成に失敗しました。", -1, 0},
        {"ver1.00a stopped at auxtrans.dll", 1, 8, "E508: パッチファイルの作成に失敗しました。", 5, 4},
        {"ver1.00a stopped at ext.xp3.sig", 1, 7, "E508: パッチファイルの作成に失敗しました。", 5, 4},
        {"ver1.02a stopped at auxtrans.dll", 5, 3, "E508: パッチファイルの作成に失敗しました。", 5, 4},
        {"ver1.02 stopped at ext.xp3.sig", 4, 2, "E508: パッチファイルの作成に失敗しました。", -1, 0},
        {"ver1.00 stopped at auxtrans.dll.sig", 0, 9, "E408: パッチファイルの作成に失敗しました。", 6, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Install(c.edition);
        sim::FailCall(sim::OpCopyFileA, c.failingCopy);
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({QuestionBox(kCaptions[c.edition]), ErrorBox(c.box)});
        ExpectAllReleased();

        sim::NewRun();
        EXPECT_EQ(Run(), 0);
        if (c.nextEdition < 0) {
            ExpectBoxes({ErrorBox(kE103)});
        } else if (c.nextEdition >= 6) {
            ExpectBoxes({InfoBox(kUpToDate, kCaptions[c.nextEdition])});
        } else {
            ExpectBoxes({QuestionBox(kCaptions[c.nextEdition]), InfoBox(kDone, kCaptionInfo)});
            ExpectFolderIs("finished", c.edition);
        }
        EXPECT_EQ(sim::Calls(sim::OpCopyFileA), c.nextCopies);
        ExpectAllReleased();
    }
}

TEST_F(PlanTest, SignatureStepsReportInTheirOwnFamilies)
{
    /* ext.xp3.sig is placed as a whole file (E5xx), auxtrans.dll.sig as a
     * signature (E4xx); no scratch file at all is E302 for either. */
    const struct {
        const char *name;
        sim::Op op;
        unsigned nth;
        const char *box;
    } cases[] = {
        {"ext.xp3.sig payload not found", sim::OpFindResourceA, 2, "E501: パッチデータのロードに失敗しました。"},
        {"ext.xp3.sig write fails", sim::OpWriteFile, 2, "E505: パッチファイルの作成に失敗しました。"},
        {"ext.xp3.sig no scratch file", sim::OpGetTempFileNameA, 2, "E302: 一時ファイルの作成に失敗しました。"},
        {"auxtrans.dll.sig payload not found", sim::OpFindResourceA, 4, "E402: パッチデータのロードに失敗しました。"},
        {"auxtrans.dll.sig write fails", sim::OpWriteFile, 4, "E406: パッチファイルの作成に失敗しました。"},
        /* Blocks: the folder, one path per identified file, then one path per step. */
        {"auxtrans.dll.sig no memory", sim::OpGlobalAlloc, 8, "E401: メモリ確保に失敗しました。"},
        {"auxtrans.dll.sig no temporary folder", sim::OpGetTempPathA, 4, "E301: 一時ファイルの作成に失敗しました。"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Install(2);
        sim::FailCall(c.op, c.nth);
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({QuestionBox(kCaptions[2]), ErrorBox(c.box)});
        ExpectAllReleased();
    }
}

} // namespace
