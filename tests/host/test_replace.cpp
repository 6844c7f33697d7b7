/*
 * File replacement: scratch files, splices and whole-file placement, judged by
 * what the player finds in the install folder and the temporary folder
 * afterwards and by the boxes shown on the way.
 */
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <algorithm>
#include <random>

#include "release_catalogue.h"
#include "replace/replace.h"
#include "tests/host/support.h"

namespace {

const WORD kPayloadId = 104;
/* The release's recipes: finished, keepFirst, insertFirst, skipOld, keepSecond, insertTail. */
const SpliceRecipe kDataRecipe = {138482, 22408, 8992, 8981, 105475, 1591};
const SpliceRecipe kScrRecipe = {920821, 917, 321102, 321084, 594350, 4436};

std::string In(const char *fileName)
{
    return std::string(kGameDir) + fileName;
}

/* Bytes from a fixed seed, varied enough that a byte out of place shows:
 * the start of the seed's one stream, made once as far as asked for. */
std::string Noise(size_t length, unsigned seed)
{
    static std::map<unsigned, std::pair<std::mt19937, std::string>> streams;
    auto &stream = streams.emplace(seed, std::make_pair(std::mt19937(seed), std::string())).first->second;
    while (stream.second.size() < length)
        stream.second.push_back((char)(stream.first() & 0xFF));
    return stream.second.substr(0, length);
}

/* The attribute words the tables give files. */
const DWORD N = FILE_ATTRIBUTE_NORMAL, H = FILE_ATTRIBUTE_HIDDEN, R = FILE_ATTRIBUTE_READONLY;

/* What else is on the machine while a file is replaced. The target held by
 * another program: for writing without sharing, or for reading with read
 * sharing; with delete sharing too, for good or until a pause of the
 * commit; its size or its bytes that cannot be read, or a read that comes
 * up short. A byte of the payload, or of the scratch file before its
 * commit, that is not the release's, or one more in the scratch file. Under
 * the side name: a file left by a stopped run, a folder, someone else's
 * hidden or read-only file, a second name of a file elsewhere, or a file
 * planted after the delete; a stale side file held with delete sharing
 * until the second pause (its name answering as older Windows or as Wine);
 * the new side file held without write sharing for a moment, or by a
 * scanner sharing everything; a program that tries to write the checked
 * side file before the rename. The rename refused for a lock three times;
 * no room for the copy. (Damaged installed archives are run whole in
 * test_run.cpp.) */
enum Other {
    ALONE, HELD_FOR_WRITING, HELD_FOR_READING, TARGET_HELD, TARGET_HELD_BRIEFLY, SIZE_UNREADABLE, UNREADABLE,
    READ_SHORT, PAYLOAD_DAMAGED, SCRATCH_CHANGED, SCRATCH_GROWN, SIDE_LEFT, SIDE_FOLDER, SIDE_HIDDEN,
    SIDE_READ_ONLY, SIDE_LINK, SIDE_PLANTED_AGAIN, SIDE_PENDING, SIDE_PENDING_WINE, SIDE_HELD_BRIEFLY, SIDE_SCANNED,
    SIDE_WRITER, RENAME_LOCKED, DISK_FULL
};

/* ------------------------------------------------------------ scratch files */

class ScratchTest : public SimTest {};

/* The temporary folder as the system reports it; the scratch name needs room
 * for "xp3", four hex digits and ".tmp" within the path limit. Each call
 * makes a new empty file of its own. */
TEST_F(ScratchTest, TemporaryFolders)
{
    const std::string longName(400, 'a');
    const struct {
        const char *name;
        std::string tempPath; /* empty: C:\Temp\ */
        bool exists;
        sim::Op failing; /* OpCount: none */
        int code;        /* 0: a scratch file is made */
        unsigned calls = 1;
    } cases[] = {
        {"two calls", "", true, sim::OpCount, 0, 2},
        /* 246 characters leave just room for the name. */
        {"folder of 246 characters", "C:\\" + longName.substr(0, 242) + "\\", true, sim::OpCount, 0},
        {"GetTempPathA fails", "", true, sim::OpGetTempPathA, 301},
        /* 260 characters and a terminator do not fit the 260-byte buffer. */
        {"folder of 260 characters", "C:\\" + longName.substr(0, 256) + "\\", true, sim::OpCount, 301},
        {"folder of 404 characters", "C:\\" + longName + "\\", false, sim::OpCount, 301},
        /* 259 fit, but leave no room for a name in the folder; neither
         * does anything past 246. The folder exists: the system would hand
         * back a name cut off at the limit. */
        {"folder of 259 characters", "C:\\" + longName.substr(0, 255) + "\\", true, sim::OpCount, 302},
        {"folder of 247 characters", "C:\\" + longName.substr(0, 243) + "\\", true, sim::OpCount, 302},
        {"folder missing", "C:\\NoSuchFolder\\", false, sim::OpCount, 302},
        {"GetTempFileNameA fails", "", true, sim::OpGetTempFileNameA, 302},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        const std::string folder = c.tempPath.empty() ? kTemp : c.tempPath;
        if (c.exists)
            sim::MakeFolder(folder);
        sim::SetTempPath(folder);
        if (c.failing != sim::OpCount)
            sim::FailCall(c.failing, 1);
        char names[2][SCRATCH_NAME_SIZE];
        for (unsigned n = 0; n < c.calls; n++) {
            EXPECT_EQ(MakeScratchFile(names[n]), c.code == 0);
        }
        if (c.code == 0) {
            ExpectBoxes({});
            for (unsigned n = 0; n < c.calls; n++) {
                EXPECT_EQ(std::string(names[n]).rfind(folder + "xp3", 0), 0u) << names[n];
                EXPECT_TRUE(sim::Exists(names[n]) && sim::FileBytes(names[n]).empty()) << names[n];
            }
            if (c.calls == 2) {
                EXPECT_STRNE(names[0], names[1]);
            }
            EXPECT_EQ(sim::List(folder).size(), c.calls);
        } else {
            ExpectBoxes({CodeBox(c.code)});
            if (c.exists) {
                EXPECT_TRUE(sim::List(folder).empty()) << "a file was made";
            }
        }
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

    /* The finished file the recipe makes of an installed file and a
     * payload, written here apart from the program: the payload's head,
     * keepFirst installed bytes from 16, insertFirst payload bytes from 16,
     * keepSecond installed bytes after skipping skipOld, and the payload's
     * tail. */
    static std::string Finished(const SpliceRecipe &r, const std::string &installed, const std::string &payload)
    {
        return payload.substr(0, 16) + installed.substr(16, r.keepFirst) + payload.substr(16, r.insertFirst) +
               installed.substr(16 + r.keepFirst + r.skipOld, r.keepSecond) +
               payload.substr(16 + r.insertFirst, r.insertTail);
    }

    /* The payload a recipe needs: its head, then what it inserts. */
    static size_t PayloadSize(const SpliceRecipe &r) { return 16 + r.insertFirst + r.insertTail; }

    bool Splice(const SpliceRecipe &r, const std::string &finished)
    {
        const Payload payload = {kPayloadId, (DWORD)PayloadSize(r), Crc(payload_.substr(0, PayloadSize(r)))};
        return SplicePatch(kGameDir, "big.xp3", &r, &payload, Crc(finished), sim::Module());
    }

    std::string installed_;
    std::string payload_;
};

/* A mebibyte archive by a recipe of odd sizes. */
const SpliceRecipe kBigRecipe = {999884, 393223, 70001, 65539, 524299, 12345};
/* The first kept run the longer one. */
const SpliceRecipe kLongFirstRecipe = {700016, 500000, 30000, 4000, 150000, 20000};

/* The rebuilt file against a reference made from the recipe here. Only the
 * two kept runs pass through memory, one at a time, in one buffer as large
 * as the longer; the finished file is read back once before it is put in
 * place. */
TEST_F(SpliceTest, RebuiltFileMatchesAnIndependentReference)
{
    const SpliceRecipe carried[] = {RECIPE_DATA_XP3, RECIPE_SCR_XP3}, release[] = {kDataRecipe, kScrRecipe};
    EXPECT_EQ(memcmp(carried, release, sizeof carried), 0) << "the release catalogue's recipes are not these";
    const struct {
        const char *name;
        const SpliceRecipe *recipe;
        size_t installedSize;
    } cases[] = {
        {"data.xp3", &kDataRecipe, 138471},
        {"scr.xp3", &kScrRecipe, 920803},
        {"mebibyte", &kBigRecipe, 1 << 20},
        {"first run longer", &kLongFirstRecipe, 700000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        const SpliceRecipe &r = *c.recipe;
        Install("big.xp3", Noise(c.installedSize, 3), PayloadSize(r));
        const std::string reference = Finished(r, installed_, payload_);
        ASSERT_EQ(Splice(r, reference), 1);
        ExpectBoxes({});
        const std::string rebuilt = sim::FileBytes(In("big.xp3"));
        ASSERT_EQ(rebuilt.size(), (size_t)r.finishedSize);
        EXPECT_TRUE(rebuilt == reference) << "the rebuilt file differs from the reference";
        /* Written anew, by way of the scratch file, it is marked for archiving. */
        EXPECT_EQ(sim::Attributes(In("big.xp3")), FILE_ATTRIBUTE_ARCHIVE);
        EXPECT_TRUE(sim::List(kTemp).empty()) << "the scratch file was not deleted";
        EXPECT_EQ(sim::LargestBlock(), (SIZE_T)std::max(r.keepFirst, r.keepSecond));
        EXPECT_EQ(sim::BytesRead(), (unsigned long long)r.keepFirst + r.keepSecond + r.finishedSize);
        EXPECT_EQ(sim::WritesFromElsewhere(), 0);
        ExpectAllReleased();
    }
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
    Install("big.xp3", Noise(1 << 20, 3), PayloadSize(recipe));
    ASSERT_EQ(Splice(recipe, Finished(recipe, installed_, payload_)), 1);
    char folder[] = "/tmp/wellhaven-splice-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder, oldPath = root + "/old.bin", payloadPath = root + "/payload.bin",
                      rebuiltPath = root + "/rebuilt.bin";
    std::ofstream(oldPath, std::ios::binary) << installed_;
    std::ofstream(payloadPath, std::ios::binary) << payload_;
    std::ofstream(rebuiltPath, std::ios::binary) << sim::FileBytes(In("big.xp3"));
    char recipeText[200];
    snprintf(recipeText, sizeof recipeText,
             "dict(finishedSize=%u, keepFirst=%u, insertFirst=%u, skipOld=%u, keepSecond=%u, insertTail=%u)",
             recipe.finishedSize, recipe.keepFirst, recipe.insertFirst, recipe.skipOld, recipe.keepSecond,
             recipe.insertTail);
    const std::string command = python.string() + " -c \"import sys; sys.path.insert(0, '" + tools.string() +
                                "'); import check_release as c; r = open; "
                                "sys.exit(0 if c.splice(r('" + oldPath + "', 'rb').read(), r('" + payloadPath +
                                "', 'rb').read(), " + recipeText + ") == r('" + rebuiltPath +
                                "', 'rb').read() else 3)\"";
    EXPECT_EQ(system(command.c_str()), 0) << "check_release.py rebuilds it differently: " << command;
    std::filesystem::remove_all(root);
}

/* What a splice of data.xp3 makes of the installed file and the payload it
 * finds: the box, the target afterwards, and the scratch file it leaves. */
TEST_F(SpliceTest, InstalledFilesAndPayloads)
{
    const struct {
        const char *name;
        long installed; /* -1: missing */
        DWORD attributes;
        long payload; /* -1: no such payload */
        int code;     /* 0: success */
        Scratch scratch;
        Other other = ALONE;
    } cases[] = {
        /* The recipe consumes 16 + 22408 + 8981 + 105475 = 136880 installed
         * bytes and 16 + 8992 + 1591 = 10599 payload bytes; anything past
         * them is not used. */
        {"installed 138471", 138471, N, 10599, 0, NONE},
        {"installed 136880", 136880, N, 10599, 0, NONE},
        {"payload 20000", 138471, N, 20000, 0, NONE},
        {"installed 136879", 136879, N, 10599, 211, PART},
        {"installed 31405", 31405, N, 10599, 211, PART},
        {"installed 22423", 22423, N, 10599, 211, PART},
        {"installed 100", 100, N, 10599, 211, PART},
        {"installed 0", 0, N, 10599, 211, PART},
        {"payload 10598", 138471, N, 10598, 204, EMPTY},
        {"payload 16", 138471, N, 16, 204, EMPTY},
        {"payload 0", 138471, N, 0, 204, EMPTY},
        {"no payload", 138471, N, -1, 203, EMPTY},
        /* The finished size is done already when it is the release's
         * finished file: read, not touched, even read-only; but a size that
         * cannot be read is no size at all, and a finished archive is never
         * spliced again on its account. */
        {"finished, read-only", 138482, R, 10599, 0, NONE},
        {"finished, size unreadable", 138482, N, 10599, 210, NONE, SIZE_UNREADABLE},
        {"finished, unreadable", 138482, N, 10599, 210, NONE, UNREADABLE},
        {"finished, read short", 138482, N, 10599, 211, NONE, READ_SHORT},
        /* Not the release's bytes: the updater's payload is refused before
         * anything is written, the finished file before it is put in place. */
        {"payload damaged", 138471, N, 10599, 214, EMPTY, PAYLOAD_DAMAGED},
        {"scratch file changed", 138471, N, 10599, 213, NONE, SCRATCH_CHANGED},
        {"missing", -1, N, 10599, 202, NONE},
        {"held for writing without sharing", 138471, N, 10599, 202, NONE, HELD_FOR_WRITING},
        /* The rename over the target is refused, or the side file cannot be
         * made: the finished file stays in the temporary folder. A hidden
         * target is renamed over, and the new file is not hidden. */
        {"held for reading with read sharing", 138471, N, 10599, 212, WHOLE, HELD_FOR_READING},
        {"hidden", 138471, H, 10599, 0, NONE},
        {"read-only", 138471, R, 10599, 212, WHOLE},
        {"hidden and read-only", 138471, H | R, 10599, 212, WHOLE},
        {"a side file left by a stopped run", 138471, N, 10599, 0, NONE, SIDE_LEFT},
        {"a folder in the way of the side file", 138471, N, 10599, 212, WHOLE, SIDE_FOLDER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        const std::string installed = Noise(c.installed < 0 ? 0 : (size_t)c.installed, 1);
        Install("data.xp3", c.installed < 0 ? nullptr : &installed, c.payload, c.attributes);
        /* The release's files, before any damage. */
        std::string whole = installed_, payload = payload_;
        whole.resize(std::max<size_t>(whole.size(), 138471));
        payload.resize(std::max(payload.size(), PayloadSize(kDataRecipe)));
        const std::string finished = Finished(kDataRecipe, whole, payload);
        const DWORD finishedCrc = Crc(c.installed == 138482 ? installed_ : finished);
        /* A payload whose bytes are not the release's is one whose CRC-32
         * is not the one the release gives. */
        const Payload record = {kPayloadId, (DWORD)PayloadSize(kDataRecipe),
                                Crc(payload.substr(0, PayloadSize(kDataRecipe))) ^ (c.other == PAYLOAD_DAMAGED)};
        if (c.other == READ_SHORT)
            sim::ShortCall(sim::OpReadFile, 1);
        sim::BeforeCall([&c](const sim::Call &call) {
            if (c.other == SCRATCH_CHANGED && call.op == sim::OpCopyFileA)
                sim::PutFile(call.source, sim::FileBytes(call.source).replace(40000, 1, "?"));
        });
        if (c.other == HELD_FOR_WRITING || c.other == HELD_FOR_READING) {
            const bool reading = c.other == HELD_FOR_READING;
            ASSERT_TRUE(
                sim::HoldOpen(In("data.xp3"), reading ? GENERIC_READ : GENERIC_WRITE, reading ? FILE_SHARE_READ : 0));
        }
        if (c.other == SIZE_UNREADABLE || c.other == UNREADABLE)
            sim::FailCall(c.other == UNREADABLE ? sim::OpReadFile : sim::OpGetFileSize, 1);
        if (c.other == SIDE_LEFT)
            sim::PutFile(In("data.xp3.new"), Noise(5000, 3));
        if (c.other == SIDE_FOLDER)
            sim::MakeFolder(In("data.xp3.new"));
        EXPECT_EQ(SplicePatch(kGameDir, "data.xp3", &kDataRecipe, &record, finishedCrc, sim::Module()),
                  c.code == 0);
        sim::BeforeCall(nullptr);
        sim::ReleaseHeld();
        /* What the splice writes; for a file too short, the part of it
         * written before the short read. */
        const bool rebuilt = c.code == 0 && c.installed != 138482;
        /* E202 names the bare file, not its folder. */
        ExpectBoxes(c.code == 0 ? std::vector<ExpectedBox>{} : std::vector<ExpectedBox>{CodeBox(c.code, "data.xp3")});
        EXPECT_EQ(sim::Exists(In("data.xp3")), c.installed >= 0);
        EXPECT_TRUE(sim::FileBytes(In("data.xp3")) == (rebuilt ? finished : installed_))
            << (rebuilt ? "not rebuilt" : "the target changed");
        EXPECT_EQ(sim::Attributes(In("data.xp3")), rebuilt ? FILE_ATTRIBUTE_ARCHIVE : c.attributes);
        EXPECT_FALSE(sim::Exists(In("data.xp3.new"))) << "a side file was left";
        if (!rebuilt && c.installed != 138482 && c.code != 213 && (c.scratch == NONE || c.scratch == EMPTY)) {
            EXPECT_EQ(sim::BytesRead(), 0u) << "the installed file was read";
        }
        ExpectScratch(c.scratch, finished);
        ExpectAllReleased();
    }
}

/* ------------------------------------------------------------ placement */

class PlaceTest : public SimTest {};

TEST_F(PlaceTest, TargetsAndAttributes)
{
    /* A failed step leaves its scratch file: empty when the payload was
     * refused, whole when the commit was; one changed in the temporary
     * folder is not the release's and goes. */
    const DWORD A = FILE_ATTRIBUTE_ARCHIVE;
    const struct {
        const char *name;
        bool signature; /* PlaceSignature, else PlaceWholeFile */
        DWORD length;   /* PlaceWholeFile */
        DWORD requested;
        DWORD existing; /* 0: no target yet */
        DWORD payloadSize;
        int code;
        Scratch left;
        DWORD attributesAfter;
        Other other = ALONE;
        unsigned pauses = 0; /* the commit's waits for a file another program holds */
    } cases[] = {
        {"signature over a hidden signature", true, 0, H, H, 212, 0, NONE, H},
        {"signature from a longer payload", true, 0, H, H, 300, 0, NONE, H},
        {"signature over a read-only file", true, 0, H, R, 212, 0, NONE, H},
        {"signature where there was none", true, 0, H, 0, 212, 0, NONE, H},
        {"signature from a short payload", true, 0, H, H, 211, 403, EMPTY, H},
        {"signature from a damaged payload", true, 0, H, H, 212, 409, EMPTY, H, PAYLOAD_DAMAGED},
        /* A commit that fails leaves the target's marks as they were. */
        {"signature held open", true, 0, H, H, 212, 408, WHOLE, H, TARGET_HELD, kRetries},
        {"read-only signature held open", true, 0, H, H | R, 212, 408, WHOLE, H | R, TARGET_HELD, kRetries},
        {"signature held for a moment", true, 0, H, H, 212, 0, NONE, H, TARGET_HELD_BRIEFLY, 3},
        {"signature, a folder in the way", true, 0, H, H, 212, 408, WHOLE, H, SIDE_FOLDER},
        {"read-only signature, scratch file changed", true, 0, H, H | R, 212, 408, NONE, H | R, SCRATCH_CHANGED},
        {"normal over read-only", false, 600, N, R, 600, 508, WHOLE, R, ALONE, kRetries},
        {"normal over hidden", false, 600, N, H, 600, 0, NONE, A},
        {"normal over normal, shorter length", false, 600, N, N, 1000, 0, NONE, A},
        {"normal where there was none", false, 600, N, 0, 600, 0, NONE, A},
        {"normal from a short payload", false, 600, N, N, 599, 502, EMPTY, N},
        {"normal from a damaged payload", false, 600, N, N, 600, 509, EMPTY, N, PAYLOAD_DAMAGED},
        {"normal, scratch file changed", false, 600, N, N, 600, 508, NONE, N, SCRATCH_CHANGED},
        {"normal, side file held for a moment", false, 600, N, N, 600, 0, NONE, A, SIDE_HELD_BRIEFLY, 2},
        {"normal, side file scanned", false, 600, N, N, 600, 0, NONE, A, SIDE_SCANNED},
        {"normal, side name hidden", false, 600, N, N, 600, 0, NONE, A, SIDE_HIDDEN},
        {"normal, side name read-only", false, 600, N, N, 600, 508, WHOLE, N, SIDE_READ_ONLY},
        {"normal, side name a link", false, 600, N, N, 600, 0, NONE, A, SIDE_LINK},
        {"normal, side name planted again", false, 600, N, N, 600, 508, WHOLE, N, SIDE_PLANTED_AGAIN},
        {"normal, stale side file held", false, 600, N, N, 600, 0, NONE, A, SIDE_PENDING, 2},
        {"normal, stale side file held, Wine", false, 600, N, N, 600, 0, NONE, A, SIDE_PENDING_WINE, 2},
        {"normal, side file written before the rename", false, 600, N, N, 600, 0, NONE, A, SIDE_WRITER},
        {"normal, rename locked three times", false, 600, N, N, 600, 0, NONE, A, RENAME_LOCKED, 3},
        {"normal, scratch file grown", false, 600, N, N, 600, 508, NONE, N, SCRATCH_GROWN},
        {"normal, disk full", false, 600, N, N, 600, 508, WHOLE, N, DISK_FULL},
        {"hidden where there was none", false, 212, H, 0, 212, 0, NONE, H},
        {"hidden over hidden", false, 212, H, H, 212, 0, NONE, H},
        {"hidden over read-only", false, 212, H, R, 212, 0, NONE, H},
    };
    const std::string side = In("file.sig.new"), elsewhere = "C:\\Users\\Public\\owned.bin";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        sim::MakeFolder(kGameDir);
        const std::string old = Noise(700, 7), planted = Noise(300, 9);
        const std::string payload = Noise(c.payloadSize, 8);
        const size_t length = c.signature ? 212 : c.length;
        const Payload record = {kPayloadId, (DWORD)length,
                                Crc(payload.substr(0, length)) ^ (c.other == PAYLOAD_DAMAGED)};
        if (c.existing != 0)
            sim::PutFile(In("file.sig"), old, c.existing);
        sim::AddResource(kPayloadId, "BINARY", payload);
        if (c.other == TARGET_HELD || c.other == TARGET_HELD_BRIEFLY) {
            ASSERT_TRUE(sim::HoldOpen(In("file.sig"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      c.other == TARGET_HELD ? 0 : c.pauses));
        }
        if (c.other == SIDE_FOLDER)
            sim::MakeFolder(side);
        if (c.other == SIDE_HIDDEN || c.other == SIDE_READ_ONLY || c.other == SIDE_LINK)
            sim::PutFile(c.other == SIDE_LINK ? elsewhere : side, planted, c.other == SIDE_READ_ONLY ? R : H);
        if (c.other == SIDE_LINK)
            sim::Link(elsewhere, side);
        if (c.other == SIDE_PENDING || c.other == SIDE_PENDING_WINE) {
            sim::PutFile(side, planted);
            sim::SetPendingDelete(c.other == SIDE_PENDING ? sim::PendingAccessDenied : sim::PendingFileExists);
            ASSERT_TRUE(sim::HoldOpen(side, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, c.pauses));
        }
        if (c.other == RENAME_LOCKED)
            sim::FailCall(sim::OpMoveFileExA, 1, ERROR_LOCK_VIOLATION, c.pauses);
        if (c.other == DISK_FULL)
            sim::FailCall(sim::OpCopyFileA, 1, ERROR_DISK_FULL);
        sim::BeforeCall([&](const sim::Call &call) {
            /* A run stopped between the rename's tries leaves a hidden target hidden. */
            if (call.op == sim::OpMoveFileExA && (c.existing & H) != 0) {
                EXPECT_NE(sim::Attributes(In("file.sig")) & H, 0u) << "a stop here shows the signature";
            }
            std::string bytes = call.op == sim::OpCopyFileA ? sim::FileBytes(call.source) : "";
            if (c.other == SIDE_PLANTED_AGAIN && call.op == sim::OpCopyFileA)
                sim::PutFile(side, planted);
            if (c.other == SCRATCH_CHANGED && call.op == sim::OpCopyFileA)
                sim::PutFile(call.source, bytes.replace(bytes.size() / 2, 1, "?"));
            if (c.other == SCRATCH_GROWN && call.op == sim::OpCopyFileA)
                sim::PutFile(call.source, bytes + "?");
            /* Were the checked side file open to writers, this one would
             * change it before the rename. */
            if (c.other == SIDE_WRITER && call.op == sim::OpMoveFileExA &&
                sim::TryOpen(side, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
                sim::PutFile(side, planted);
            /* On the first try only: the hold ends at the second pause. */
            if (c.other == SIDE_HELD_BRIEFLY && call.op == sim::OpCreateFileA && call.path == side && !sim::Sleeps()) {
                EXPECT_TRUE(sim::HoldOpen(side, GENERIC_READ, FILE_SHARE_READ, c.pauses));
            } else if (c.other == SIDE_SCANNED && call.op == sim::OpFlushFileBuffers) {
                EXPECT_TRUE(sim::HoldOpen(side, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
                    << "the side file cannot be read while it is flushed";
            }
        });

        bool result = c.signature ? PlaceSignature(kGameDir, "file.sig", &record, sim::Module())
                                  : PlaceWholeFile(kGameDir, "file.sig", c.requested, &record, sim::Module());
        sim::BeforeCall(nullptr);
        sim::ReleaseHeld();
        EXPECT_EQ(result, c.code == 0);
        EXPECT_EQ(sim::Sleeps(), c.pauses);
        EXPECT_EQ(sim::SleptMilliseconds(), kFullWaitMilliseconds / kRetries * c.pauses);
        EXPECT_EQ(sim::Attributes(In("file.sig")), c.attributesAfter);
        /* Whatever held the side name is gone, unless it could not be
         * deleted; nothing was ever written through it. */
        EXPECT_EQ(sim::Exists(side), c.other == SIDE_READ_ONLY) << "a side file was left";
        if (c.other == SIDE_READ_ONLY || c.other == SIDE_LINK) {
            const std::string &kept = c.other == SIDE_LINK ? elsewhere : side;
            EXPECT_TRUE(sim::FileBytes(kept) == planted) << "written through " << kept;
            EXPECT_EQ(sim::Attributes(kept), c.other == SIDE_LINK ? H : R);
        }
        if (c.code == 0) {
            ExpectBoxes({});
            EXPECT_TRUE(sim::FileBytes(In("file.sig")) == payload.substr(0, length));
        } else {
            ExpectBoxes({CodeBox(c.code)});
            EXPECT_EQ(sim::Exists(In("file.sig")), c.existing != 0);
            EXPECT_TRUE(sim::FileBytes(In("file.sig")) == (c.existing != 0 ? old : "")) << "the target changed";
        }
        ExpectScratch(c.left, payload.substr(0, length));
        ExpectAllReleased();
    }
}

/* A power cut tears a copy until a flush makes it durable; the commit relies on its flush. */
TEST_F(SimTest, CopyDurableOnceFlushed)
{
    for (bool flushed : {false, true}) {
        sim::Reset(), sim::PutFile("C:\\Temp\\a", "12345678");
        HANDLE h = CopyFileA("C:\\Temp\\a", "C:\\Temp\\b", TRUE) ? CreateFileA("C:\\Temp\\b", GENERIC_WRITE, 0, NULL,
                                                                                OPEN_EXISTING, 0, NULL) : NULL;
        ASSERT_TRUE(h != NULL && (!flushed || FlushFileBuffers(h)) && CloseHandle(h));
        EXPECT_EQ(*sim::Torn(sim::SaveDisk(), false).Find("C:/Temp/b")->bytes, flushed ? "12345678" : "1234");
    }
}

} // namespace
