/*
 * File replacement: scratch files, splices and whole-file placement, judged by
 * what the player finds in the install folder and the temporary folder
 * afterwards and by the boxes shown on the way.
 */
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>

#include "replace/replace.h"
#include "tests/host/support.h"

namespace {

const char kTemp[] = "C:\\Temp\\";
const DWORD kArchive = 0x20;
const WORD kPayloadId = 104;
/* The data.xp3 recipe: finished, keepFirst, insertFirst, skipOld, keepSecond, insertTail. */
const SpliceRecipe kDataRecipe = {138482, 22408, 8992, 8981, 105475, 1591};
const DWORD kDataPayloadSize = 10599;

std::string In(const char *fileName)
{
    return std::string(kGameDir) + fileName;
}

/* Bytes from a fixed seed, varied enough that a byte out of place shows. */
std::string Noise(size_t length, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char &c : bytes)
        c = (char)(generator() & 0xFF);
    return bytes;
}

/* The scratch files in the temporary folder, with their bytes. */
std::vector<std::string> ScratchContents()
{
    std::vector<std::string> contents;
    for (const std::string &name : sim::List(kTemp))
        contents.push_back(sim::FileBytes(kTemp + name));
    return contents;
}

/* ------------------------------------------------------------ scratch files */

class ScratchTest : public SimTest {};

TEST_F(ScratchTest, TwoCallsGiveTwoNewEmptyFiles)
{
    char first[SCRATCH_NAME_SIZE];
    char second[SCRATCH_NAME_SIZE];
    ASSERT_TRUE(MakeScratchFile(first));
    ASSERT_TRUE(MakeScratchFile(second));
    EXPECT_STRNE(first, second);
    for (const char *name : {first, second}) {
        EXPECT_EQ(std::string(name).rfind("C:\\Temp\\xp3", 0), 0u) << name;
        EXPECT_TRUE(sim::Exists(name)) << name;
        EXPECT_EQ(sim::FileBytes(name), "") << name;
    }
    EXPECT_EQ(sim::List(kTemp).size(), 2u);
    ExpectBoxes({});
    ExpectAllReleased();
}

TEST_F(ScratchTest, LongestUsableFolder)
{
    /* 246 characters leave just room for "xp3", four hex digits and ".tmp". */
    const std::string folder = "C:\\" + std::string(242, 'b') + "\\";
    ASSERT_EQ(folder.size(), 246u);
    sim::MakeFolder(folder);
    sim::SetTempPath(folder);
    char name[SCRATCH_NAME_SIZE];
    ASSERT_TRUE(MakeScratchFile(name));
    EXPECT_TRUE(sim::Exists(name)) << name;
    EXPECT_EQ(std::string(name).rfind(folder + "xp3", 0), 0u);
    ExpectBoxes({});
}

TEST_F(ScratchTest, TemporaryFolderProblems)
{
    const std::string longName(400, 'a');
    const struct {
        const char *name;
        std::string tempPath; /* empty: C:\Temp\ */
        sim::Op failing;      /* OpCount: none */
        int code;
    } cases[] = {
        {"GetTempPathA fails", "", sim::OpGetTempPathA, 301},
        /* 260 characters and a terminator do not fit the 260-byte buffer. */
        {"folder of 260 characters", "C:\\" + longName.substr(0, 256) + "\\", sim::OpCount, 301},
        {"folder of 404 characters", "C:\\" + longName + "\\", sim::OpCount, 301},
        /* 259 fit, but leave no room for a name in the folder; neither
         * does anything past 246. */
        {"folder of 259 characters", "C:\\" + longName.substr(0, 255) + "\\", sim::OpCount, 302},
        {"folder of 247 characters", "C:\\" + longName.substr(0, 243) + "\\", sim::OpCount, 302},
        {"folder missing", "C:\\NoSuchFolder\\", sim::OpCount, 302},
        {"GetTempFileNameA fails", "", sim::OpGetTempFileNameA, 302},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset(root_);
        if (!c.tempPath.empty())
            sim::SetTempPath(c.tempPath);
        if (c.failing != sim::OpCount)
            sim::FailCall(c.failing, 1);
        char name[SCRATCH_NAME_SIZE];
        EXPECT_FALSE(MakeScratchFile(name));
        ExpectBoxes({CodeBox(c.code)});
        EXPECT_TRUE(sim::List(kTemp).empty());
        ExpectAllReleased();
    }
}

/* ------------------------------------------------------------ splices */

class SpliceTest : public SimTest {
protected:
    /* An installed file (nullptr: none) and the payload (-1: none), both of
     * noise. */
    void Install(const char *fileName, const std::string *installed, long payloadSize,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        sim::MakeFolder(kGameDir);
        installed_ = installed != nullptr ? *installed : "";
        if (installed != nullptr)
            sim::PutFile(In(fileName), installed_, attributes);
        payload_ = Noise(payloadSize < 0 ? 0 : (size_t)payloadSize, 2);
        if (payloadSize >= 0)
            sim::AddResource(kPayloadId, "BINARY", payload_);
    }

    void Install(const char *fileName, const std::string &installed, long payloadSize,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        Install(fileName, &installed, payloadSize, attributes);
    }

    std::string installed_;
    std::string payload_;
};

/* The finished data.xp3 as its runs lie: the payload's head, installed bytes
 * 16 to 22423, 8992 payload bytes, installed bytes 31405 to 136879, and the
 * payload's last 1591 bytes. */
TEST_F(SpliceTest, DataArchiveIsLaidOutFromItsPieces)
{
    Install("data.xp3", Noise(138471, 1), kDataPayloadSize);
    ASSERT_EQ(SplicePatch(kGameDir, "data.xp3", &kDataRecipe, kPayloadId, sim::Module()), 1);

    const std::string expected = payload_.substr(0, 16) + installed_.substr(16, 22423 - 16 + 1) +
                                 payload_.substr(16, 8992) + installed_.substr(31405, 136879 - 31405 + 1) +
                                 payload_.substr(kDataPayloadSize - 1591);
    ASSERT_EQ(expected.size(), 138482u);
    EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == expected) << "the rebuilt data.xp3 differs";
    /* Written anew, by way of the scratch file, it is marked for archiving. */
    EXPECT_EQ(sim::Attributes(In("data.xp3")), kArchive);
    ExpectBoxes({});
    EXPECT_TRUE(sim::List(kTemp).empty()) << "the scratch file was not deleted";

    /* Only the two kept runs pass through memory, in one buffer. */
    EXPECT_LE(sim::LargestBlock(), (SIZE_T)105475);
    EXPECT_EQ(sim::BytesRead(), 22408u + 105475u);
    EXPECT_EQ(sim::WritesFromElsewhere(), 0);
    ExpectAllReleased();
}

/* A mebibyte archive by a recipe of odd sizes. */
const SpliceRecipe kBigRecipe = {999884, 393223, 70001, 65539, 524299, 12345};

TEST_F(SpliceTest, MebibyteFileMatchesAnIndependentReference)
{
    const SpliceRecipe &recipe = kBigRecipe;
    Install("big.xp3", Noise(1 << 20, 3), 16 + recipe.insertFirst + recipe.insertTail);
    ASSERT_EQ(SplicePatch(kGameDir, "big.xp3", &recipe, kPayloadId, sim::Module()), 1);
    ExpectBoxes({});

    std::string reference = payload_.substr(0, 16);
    reference += installed_.substr(16, recipe.keepFirst);
    reference += payload_.substr(16, recipe.insertFirst);
    reference += installed_.substr(16 + recipe.keepFirst + recipe.skipOld, recipe.keepSecond);
    reference += payload_.substr(16 + recipe.insertFirst, recipe.insertTail);
    const std::string rebuilt = sim::FileBytes(In("big.xp3"));
    ASSERT_EQ(rebuilt.size(), (size_t)recipe.finishedSize);
    EXPECT_TRUE(rebuilt == reference) << "the rebuilt file differs from the reference";
    EXPECT_LE(sim::LargestBlock(), (SIZE_T)recipe.keepSecond);
    EXPECT_EQ(sim::BytesRead(), (unsigned long long)recipe.keepFirst + recipe.keepSecond);
    EXPECT_EQ(sim::WritesFromElsewhere(), 0);
    ExpectAllReleased();
}

/* The release tools rebuild archives too; both must agree. */
TEST_F(SpliceTest, MebibyteFileMatchesTheReleaseTools)
{
    const std::string source = __FILE__;
    const std::filesystem::path tools = source.substr(0, source.rfind("tests/host/")) + "tools/release";
    const std::filesystem::path python = "/usr/bin/python3";
    if (!std::filesystem::exists(tools / "check_release.py") || !std::filesystem::exists(python))
        GTEST_SKIP() << "needs " << python << " and " << (tools / "check_release.py");

    const SpliceRecipe &recipe = kBigRecipe;
    Install("big.xp3", Noise(1 << 20, 3), 16 + recipe.insertFirst + recipe.insertTail);
    ASSERT_EQ(SplicePatch(kGameDir, "big.xp3", &recipe, kPayloadId, sim::Module()), 1);
    const std::string oldPath = root_ + "/old.bin", payloadPath = root_ + "/payload.bin";
    std::ofstream(oldPath, std::ios::binary) << installed_;
    std::ofstream(payloadPath, std::ios::binary) << payload_;
    char recipeText[200];
    snprintf(recipeText, sizeof recipeText,
             "dict(finishedSize=%u, keepFirst=%u, insertFirst=%u, skipOld=%u, keepSecond=%u, insertTail=%u)",
             recipe.finishedSize, recipe.keepFirst, recipe.insertFirst, recipe.skipOld, recipe.keepSecond,
             recipe.insertTail);
    const std::string command = python.string() + " -c \"import sys; sys.path.insert(0, '" + tools.string() +
                                "'); import check_release as c; r = open; "
                                "sys.exit(0 if c.splice(r('" + oldPath + "', 'rb').read(), r('" + payloadPath +
                                "', 'rb').read(), " + recipeText + ") == r('" + sim::HostPath(In("big.xp3")) +
                                "', 'rb').read() else 3)\"";
    EXPECT_EQ(system(command.c_str()), 0) << "check_release.py rebuilds it differently: " << command;
}

TEST_F(SpliceTest, InstalledSizes)
{
    /* The recipe consumes 16 + 22408 + 8981 + 105475 = 136880 installed bytes. */
    const struct {
        size_t size;
        int code; /* 0: success */
    } cases[] = {
        {138471, 0}, {136880, 0}, {136879, 211}, {31405, 211}, {22423, 211}, {100, 211}, {0, 211},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        sim::Reset(root_);
        Install("data.xp3", Noise(c.size, 1), kDataPayloadSize);
        EXPECT_EQ(SplicePatch(kGameDir, "data.xp3", &kDataRecipe, kPayloadId, sim::Module()), c.code == 0);
        if (c.code == 0) {
            ExpectBoxes({});
            EXPECT_EQ(sim::FileBytes(In("data.xp3")).size(), 138482u);
            EXPECT_TRUE(sim::List(kTemp).empty());
        } else {
            ExpectBoxes({CodeBox(c.code)});
            EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == installed_) << "the target changed";
            EXPECT_EQ(sim::List(kTemp).size(), 1u) << "the scratch file should stay";
        }
        ExpectAllReleased();
    }
}

TEST_F(SpliceTest, FinishedSizeIsLeftAloneUnread)
{
    Install("data.xp3", Noise(138482, 5), kDataPayloadSize, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(SplicePatch(kGameDir, "data.xp3", &kDataRecipe, kPayloadId, sim::Module()), 1);
    ExpectBoxes({});
    EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == installed_);
    EXPECT_EQ(sim::Attributes(In("data.xp3")), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(sim::List(kTemp).empty()) << "a scratch file was made";
    EXPECT_EQ(sim::BytesRead(), 0u);
    ExpectAllReleased();
}

TEST_F(SpliceTest, FinishedFileWhoseSizeCannotBeReadIsNotSplicedAgain)
{
    Install("data.xp3", Noise(138482, 5), kDataPayloadSize);
    sim::FailCall(sim::OpGetFileSize, 1);
    EXPECT_EQ(SplicePatch(kGameDir, "data.xp3", &kDataRecipe, kPayloadId, sim::Module()), 0);
    ExpectBoxes({CodeBox(210)});
    EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == installed_);
    EXPECT_TRUE(sim::List(kTemp).empty()) << "a scratch file was made";
    ExpectAllReleased();
}

TEST_F(SpliceTest, TargetsThatRefuse)
{
    const struct {
        const char *name;
        bool present;
        DWORD attributes;
        DWORD heldAccess; /* 0: not held by another program */
        int code;
    } cases[] = {
        {"missing", false, FILE_ATTRIBUTE_NORMAL, 0, 202},
        {"held for writing without sharing", true, FILE_ATTRIBUTE_NORMAL, GENERIC_WRITE, 202},
        {"held for reading with read sharing", true, FILE_ATTRIBUTE_NORMAL, GENERIC_READ, 212},
        {"hidden", true, FILE_ATTRIBUTE_HIDDEN, 0, 212},
        {"read-only", true, FILE_ATTRIBUTE_READONLY, 0, 212},
        {"hidden and read-only", true, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, 0, 212},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset(root_);
        const std::string installed = Noise(138471, 1);
        Install("scr.xp3", c.present ? &installed : nullptr, kDataPayloadSize, c.attributes);
        if (c.heldAccess != 0) {
            ASSERT_TRUE(
                sim::HoldOpen(In("scr.xp3"), c.heldAccess, c.heldAccess == GENERIC_READ ? FILE_SHARE_READ : 0));
        }
        EXPECT_EQ(SplicePatch(kGameDir, "scr.xp3", &kDataRecipe, kPayloadId, sim::Module()), 0);
        sim::ReleaseHeld();
        /* E202 names the bare file, not its folder. */
        ExpectBoxes({CodeBox(c.code, "scr.xp3")});
        EXPECT_EQ(sim::Exists(In("scr.xp3")), c.present);
        EXPECT_TRUE(sim::FileBytes(In("scr.xp3")) == installed_) << "the target changed";
        EXPECT_EQ(sim::Attributes(In("scr.xp3")), c.attributes);
        /* A refused copy leaves the finished file in the temporary folder. */
        std::vector<std::string> scratch = ScratchContents();
        if (c.code == 212) {
            ASSERT_EQ(scratch.size(), 1u);
            EXPECT_EQ(scratch[0].size(), 138482u);
        } else {
            EXPECT_TRUE(scratch.empty());
        }
        ExpectAllReleased();
    }
}

TEST_F(SpliceTest, PayloadSizes)
{
    /* The recipe takes 16 + 8992 + 1591 = 10599 payload bytes. */
    const struct {
        long size; /* -1: no such payload */
        int code;
    } cases[] = {
        {10599, 0}, {20000, 0}, {10598, 204}, {16, 204}, {0, 204}, {-1, 203},
    };
    std::string finished;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        sim::Reset(root_);
        Install("data.xp3", Noise(138471, 1), c.size);
        EXPECT_EQ(SplicePatch(kGameDir, "data.xp3", &kDataRecipe, kPayloadId, sim::Module()), c.code == 0);
        if (c.code == 0) {
            ExpectBoxes({});
            /* Bytes past what the recipe takes are not used. */
            if (finished.empty())
                finished = sim::FileBytes(In("data.xp3"));
            EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == finished);
        } else {
            ExpectBoxes({CodeBox(c.code)});
            EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == installed_) << "the target changed";
            /* Nothing was written: the scratch file is as it was made. */
            EXPECT_EQ(ScratchContents(), std::vector<std::string>{""});
        }
        ExpectAllReleased();
    }
}

/* ------------------------------------------------------------ placement */

class PlaceTest : public SimTest {};

TEST_F(PlaceTest, TargetsAndAttributes)
{
    const DWORD N = FILE_ATTRIBUTE_NORMAL, H = FILE_ATTRIBUTE_HIDDEN, R = FILE_ATTRIBUTE_READONLY, A = kArchive;
    const struct {
        const char *name;
        bool signature; /* PlaceSignature, else PlaceWholeFile */
        DWORD length;   /* PlaceWholeFile */
        DWORD requested;
        DWORD existing; /* 0: no target yet */
        bool held;      /* held open for reading by another program */
        DWORD payloadSize;
        int code;
        DWORD attributesAfter;
    } cases[] = {
        {"signature over a hidden signature", true, 0, H, H, false, 212, 0, H},
        {"signature from a longer payload", true, 0, H, H, false, 300, 0, H},
        {"signature over a read-only file", true, 0, H, R, false, 212, 0, H},
        {"signature where there was none", true, 0, H, 0, false, 212, 0, H},
        {"signature from a short payload", true, 0, H, H, false, 211, 403, H},
        /* Cleared before a copy that then fails: the mark is gone. */
        {"signature held open", true, 0, H, H, true, 212, 408, N},
        {"normal over read-only", false, 600, N, R, false, 600, 508, R},
        {"normal over hidden", false, 600, N, H, false, 600, 508, H},
        {"normal over normal, shorter length", false, 600, N, N, false, 1000, 0, A},
        {"normal where there was none", false, 600, N, 0, false, 600, 0, A},
        {"normal from a short payload", false, 600, N, N, false, 599, 502, N},
        {"hidden where there was none", false, 212, H, 0, false, 212, 0, H},
        {"hidden over hidden", false, 212, H, H, false, 212, 0, H},
        {"hidden over read-only", false, 212, H, R, false, 212, 0, H},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset(root_);
        sim::MakeFolder(kGameDir);
        const std::string old = Noise(700, 7);
        const std::string payload = Noise(c.payloadSize, 8);
        if (c.existing != 0)
            sim::PutFile(In("file.sig"), old, c.existing);
        if (c.held) {
            ASSERT_TRUE(sim::HoldOpen(In("file.sig"), GENERIC_READ, FILE_SHARE_READ));
        }
        sim::AddResource(kPayloadId, "BINARY", payload);

        bool result =
            c.signature ? PlaceSignature(kGameDir, "file.sig", kPayloadId, sim::Module())
                        : PlaceWholeFile(kGameDir, "file.sig", c.length, c.requested, kPayloadId, sim::Module());
        sim::ReleaseHeld();
        const size_t length = c.signature ? 212 : c.length;
        EXPECT_EQ(result, c.code == 0);
        EXPECT_EQ(sim::Attributes(In("file.sig")), c.attributesAfter);
        if (c.code == 0) {
            ExpectBoxes({});
            EXPECT_TRUE(sim::FileBytes(In("file.sig")) == payload.substr(0, length));
            EXPECT_TRUE(sim::List(kTemp).empty());
        } else {
            ExpectBoxes({CodeBox(c.code)});
            EXPECT_EQ(sim::Exists(In("file.sig")), c.existing != 0);
            EXPECT_TRUE(sim::FileBytes(In("file.sig")) == (c.existing != 0 ? old : "")) << "the target changed";
            /* The scratch file stays: empty when the payload was refused, full when the copy was. */
            EXPECT_EQ(ScratchContents(),
                      std::vector<std::string>{c.payloadSize < length ? "" : payload.substr(0, length)});
        }
        ExpectAllReleased();
    }
}

/* ------------------------------------------------------------ fault sweep */

/* What a failing call leaves behind. */
enum class Target { Old, OldNormal, New, NewUnmarked };
enum class Scratch { None, Empty, Part, Whole };

struct Expectation {
    sim::Op op;
    unsigned nth; /* 0: every call */
    bool shortCall;
    int code; /* 0: success, no box */
    Target target;
    Scratch scratch;
};

struct Operation {
    const char *name;
    const char *fileName;
    std::string before;
    DWORD attributesBefore;
    std::string after;
    DWORD attributesAfter;
    std::string payload;
    std::function<bool()> run;
    std::vector<Expectation> table;
};

class FaultSweepTest : public SimTest {
protected:
    void Prepare(const Operation &o)
    {
        sim::Reset(root_);
        sim::PutFile(In(o.fileName), o.before, o.attributesBefore);
        sim::AddResource(kPayloadId, "BINARY", o.payload);
    }

    /* Runs the operation once to count its calls, then once for every call
     * that can fail, failing it (and, for reads and writes, cutting it
     * short), and checks what each run leaves. */
    void Sweep(const Operation &o)
    {
        Prepare(o);
        ASSERT_EQ(o.run(), 1);
        ExpectBoxes({});
        ASSERT_TRUE(sim::FileBytes(In(o.fileName)) == o.after);
        unsigned counts[sim::OpCount];
        for (int op = 0; op < sim::OpCount; op++)
            counts[op] = sim::Calls((sim::Op)op);

        std::vector<bool> used(o.table.size(), false);
        int injected = 0;
        for (int op = 0; op < sim::OpCount; op++) {
            if (op == sim::OpMessageBoxA)
                continue;
            for (unsigned n = 1; n <= counts[op]; n++) {
                for (bool shortCall : {false, true}) {
                    if (shortCall && op != sim::OpReadFile && op != sim::OpWriteFile)
                        continue;
                    SCOPED_TRACE(testing::Message() << o.name << ": " << sim::OpName((sim::Op)op) << " #" << n
                                                    << (shortCall ? " short" : " fails"));
                    size_t row = 0;
                    while (row < o.table.size() &&
                           !(o.table[row].op == op && (o.table[row].nth == 0 || o.table[row].nth == n) &&
                             o.table[row].shortCall == shortCall))
                        row++;
                    if (row == o.table.size()) {
                        ADD_FAILURE() << "no expectation for this failure";
                        continue;
                    }
                    used[row] = true;
                    Check(o, o.table[row], n);
                    injected++;
                }
            }
        }
        for (size_t row = 0; row < used.size(); row++)
            EXPECT_TRUE(used[row]) << o.name << ": " << sim::OpName(o.table[row].op) << " #" << o.table[row].nth
                                   << " was never called";
        RecordProperty("injected_failures", injected);
        std::cout << o.name << " fault sweep: " << injected << " injected failures\n";
    }

    void Check(const Operation &o, const Expectation &e, unsigned n)
    {
        Prepare(o);
        if (e.shortCall)
            sim::ShortCall(e.op, n);
        else
            sim::FailCall(e.op, n);
        bool result = o.run();
        EXPECT_TRUE(sim::FaultFired());
        EXPECT_EQ(result, e.code == 0);
        if (e.code == 0)
            ExpectBoxes({});
        else
            ExpectBoxes({CodeBox(e.code, o.fileName)});

        const bool isNew = e.target == Target::New || e.target == Target::NewUnmarked;
        EXPECT_TRUE(sim::FileBytes(In(o.fileName)) == (isNew ? o.after : o.before))
            << (isNew ? "the target was not replaced" : "the target changed");
        const DWORD attributes[] = {o.attributesBefore, FILE_ATTRIBUTE_NORMAL, o.attributesAfter, kArchive};
        EXPECT_EQ(sim::Attributes(In(o.fileName)), attributes[(int)e.target]);

        std::vector<std::string> scratch = ScratchContents();
        if (e.scratch == Scratch::None) {
            EXPECT_TRUE(scratch.empty()) << "a scratch file was left";
        } else if (scratch.size() != 1) {
            ADD_FAILURE() << scratch.size() << " scratch files, expected one";
        } else if (e.scratch == Scratch::Empty) {
            EXPECT_EQ(scratch[0].size(), 0u);
        } else if (e.scratch == Scratch::Whole) {
            EXPECT_TRUE(scratch[0] == o.after) << "the scratch file is not the finished file";
        } else {
            EXPECT_LT(scratch[0].size(), o.after.size());
            EXPECT_TRUE(o.after.compare(0, scratch[0].size(), scratch[0]) == 0)
                << "the scratch file does not begin the finished file";
        }
        ExpectAllReleased();
    }
};

using namespace sim;

/* The placement rows shared by both families: codes[] are, in order, not
 * found, not loaded, not locked, not created, write fails, write short, no
 * memory, copy fails. */
std::vector<Expectation> PlacementTable(const int codes[8], bool hidden)
{
    std::vector<Expectation> table = {
        {OpGetTempPathA, 0, false, 301, Target::Old, Scratch::None},
        {OpGetTempFileNameA, 0, false, 302, Target::Old, Scratch::None},
        {OpFindResourceA, 0, false, codes[0], Target::Old, Scratch::Empty},
        {OpSizeofResource, 0, false, codes[1], Target::Old, Scratch::Empty},
        {OpLoadResource, 0, false, codes[1], Target::Old, Scratch::Empty},
        {OpLockResource, 0, false, codes[2], Target::Old, Scratch::Empty},
        {OpCreateFileA, 0, false, codes[3], Target::Old, Scratch::Empty},
        {OpWriteFile, 0, false, codes[4], Target::Old, Scratch::Part},
        {OpWriteFile, 0, true, codes[5], Target::Old, Scratch::Part},
        {OpGlobalAlloc, 0, false, codes[6], Target::Old, Scratch::Whole},
        /* The clearing has already happened when the copy fails. */
        {OpCopyFileA, 0, false, codes[7], hidden ? Target::OldNormal : Target::Old, Scratch::Whole},
        {OpDeleteFileA, 0, false, 0, Target::New, Scratch::Whole},
    };
    if (hidden) {
        /* Uncleared, the hidden target refuses the copy; unmarked afterwards,
         * it keeps the scratch file's normal attributes. */
        table.push_back({OpSetFileAttributesA, 1, false, codes[7], Target::Old, Scratch::Whole});
        table.push_back({OpSetFileAttributesA, 2, false, 0, Target::NewUnmarked, Scratch::None});
    }
    return table;
}

/* A placement over an existing target with the attributes it is to get. */
Operation Placement(const char *name, const char *fileName, bool signature, DWORD length, DWORD attributes,
                    size_t sizeBefore)
{
    static const int kSignatureCodes[8] = {402, 403, 404, 405, 406, 407, 401, 408};
    static const int kWholeFileCodes[8] = {501, 502, 503, 504, 505, 506, 507, 508};
    Operation o;
    o.name = name;
    o.fileName = fileName;
    o.before = Noise(sizeBefore, 1);
    o.attributesBefore = attributes;
    o.attributesAfter = attributes == FILE_ATTRIBUTE_NORMAL ? kArchive : attributes;
    o.payload = o.after = Noise(length, 2);
    if (signature)
        o.run = [=] { return PlaceSignature(kGameDir, fileName, kPayloadId, Module()); };
    else
        o.run = [=] { return PlaceWholeFile(kGameDir, fileName, length, attributes, kPayloadId, Module()); };
    o.table = PlacementTable(signature ? kSignatureCodes : kWholeFileCodes, attributes != FILE_ATTRIBUTE_NORMAL);
    return o;
}

TEST_F(FaultSweepTest, SplicePatch)
{
    Operation o;
    o.name = "SplicePatch";
    o.fileName = "data.xp3";
    o.before = Noise(138471, 1);
    o.attributesBefore = FILE_ATTRIBUTE_NORMAL;
    o.attributesAfter = kArchive;
    o.payload = Noise(kDataPayloadSize, 2);
    o.after = o.payload.substr(0, 16) + o.before.substr(16, 22408) + o.payload.substr(16, 8992) +
              o.before.substr(31405, 105475) + o.payload.substr(16 + 8992);
    o.run = [] { return SplicePatch(kGameDir, "data.xp3", &kDataRecipe, kPayloadId, Module()); };
    o.table = {
        {OpGlobalAlloc, 0, false, 201, Target::Old, Scratch::None},
        {OpCreateFileA, 1, false, 202, Target::Old, Scratch::None},
        /* A size that cannot be read stops the splice before anything is
         * made. */
        {OpGetFileSize, 0, false, 210, Target::Old, Scratch::None},
        {OpGetTempPathA, 0, false, 301, Target::Old, Scratch::None},
        {OpGetTempFileNameA, 0, false, 302, Target::Old, Scratch::None},
        {OpFindResourceA, 0, false, 203, Target::Old, Scratch::Empty},
        {OpSizeofResource, 0, false, 204, Target::Old, Scratch::Empty},
        {OpLoadResource, 0, false, 204, Target::Old, Scratch::Empty},
        {OpLockResource, 0, false, 205, Target::Old, Scratch::Empty},
        {OpCreateFileA, 2, false, 206, Target::Old, Scratch::Empty},
        {OpWriteFile, 0, false, 207, Target::Old, Scratch::Part},
        {OpWriteFile, 0, true, 208, Target::Old, Scratch::Part},
        {OpSetFilePointer, 0, false, 209, Target::Old, Scratch::Part},
        {OpReadFile, 0, false, 210, Target::Old, Scratch::Part},
        {OpReadFile, 0, true, 211, Target::Old, Scratch::Part},
        {OpCopyFileA, 0, false, 212, Target::Old, Scratch::Whole},
        {OpDeleteFileA, 0, false, 0, Target::New, Scratch::Whole},
    };
    Sweep(o);
}

TEST_F(FaultSweepTest, PlaceSignature)
{
    Sweep(Placement("PlaceSignature", "data.xp3.sig", true, 212, FILE_ATTRIBUTE_HIDDEN, 212));
}

TEST_F(FaultSweepTest, PlaceWholeFileNormal)
{
    Sweep(Placement("PlaceWholeFile (normal)", "ext.xp3", false, 30928, FILE_ATTRIBUTE_NORMAL, 39808));
}

TEST_F(FaultSweepTest, PlaceWholeFileHidden)
{
    Sweep(Placement("PlaceWholeFile (hidden)", "ext.xp3.sig", false, 212, FILE_ATTRIBUTE_HIDDEN, 212));
}

} // namespace
