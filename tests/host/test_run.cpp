/*
 * Whole runs of the program on installations made from the sample release:
 * the boxes a player sees on each road, which files each edition's run
 * replaces and in what order, the folders it leaves, one run at a time, and
 * one sweep that stops every run everywhere (a failing call, a short
 * transfer, a killed process, a power cut) and then runs the program again
 * on what was left.
 */
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "control/control.h"
#include "release_catalogue.h"
#include "replace/replace.h"
#include "tests/host/support.h"

namespace {

const std::string kRelease = WELLHAVEN_SAMPLE_RELEASE;
/* The lock that keeps two runs apart. */
const char kLock[] = "Global\\WellhavenUpdater";

/* The operations of a run; the code families and the checks of each are in
 * ExpectedFailures() below. */
enum Operation { LOOKUP, IDENTIFY, SPLICE, SIGNATURE, WHOLE_NORMAL, WHOLE_HIDDEN, BOX };

/* The files a run replaces, in order, and the operation that writes each:
 * the design's list, kept apart from the program's. In each stage the file
 * identification measures comes last. */
struct Step {
    const char *file;
    Operation operation;
};
const Step kOldestSteps[] = {
    {"scr.xp3", SPLICE},
    {"scr.xp3.sig", SIGNATURE},
    {"data.xp3.sig", SIGNATURE},
    {"Wellhaven.exe.sig", SIGNATURE},
    {"data.xp3", SPLICE},
};
const Step kLineSteps[] = {
    {"ext.xp3", WHOLE_NORMAL}, {"ext.xp3.sig", WHOLE_HIDDEN}, {"auxtrans.dll.sig", SIGNATURE}, {"auxtrans.dll", WHOLE_NORMAL}};

std::vector<Step> StepsOf(int edition)
{
    std::vector<Step> steps;
    if (edition <= 1)
        steps.assign(std::begin(kOldestSteps), std::end(kOldestSteps));
    if (edition <= 5)
        steps.insert(steps.end(), std::begin(kLineSteps), std::end(kLineSteps));
    return steps;
}

/* The edition the sizes of a partly updated installation show, from the
 * edition table: a rebuilt data.xp3 makes ver1.00(a) read as ver1.01(a); a
 * new ext.xp3 with the old library reads as ver1.02 on the plain line and
 * as ver1.02a on the a-line; a new library means ver1.03(a). */
int EditionAfter(int edition, const std::set<std::string> &done)
{
    if (done.count("auxtrans.dll"))
        return 6 + edition % 2;
    if (done.count("ext.xp3"))
        return 4 + edition % 2;
    if (done.count("data.xp3"))
        return edition + 2;
    return edition;
}

bool EndsWith(const std::string &name, const std::string &ending)
{
    return name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
}

const std::string &HostFile(const std::string &path)
{
    static std::map<std::string, std::string> cache;
    auto it = cache.find(path);
    if (it != cache.end())
        return it->second;
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return cache[path] = all.str();
}

std::vector<std::string> HostList(const std::string &folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

/* A file as the player finds it: bytes and the whole attribute word. The
 * bytes are shared with the simulated disk, not copied. */
struct FileState {
    std::shared_ptr<const std::string> bytes;
    DWORD attributes;
    bool operator==(const FileState &o) const
    {
        return attributes == o.attributes && (bytes == o.bytes || *bytes == *o.bytes);
    }
};
using Folder = std::map<std::string, FileState>;

Folder ReadFolder(const std::string &windowsFolder = kGameDir)
{
    const sim::Disk &disk = sim::DiskNow();
    Folder folder;
    for (const std::string &name : sim::List(windowsFolder))
        folder[name] = FileState{disk.Find(sim::Key(windowsFolder + name))->bytes,
                                 sim::Attributes(windowsFolder + name)};
    return folder;
}

/* The names of the files that differ between two folders, for a message. */
std::string Differences(const Folder &actual, const Folder &expected)
{
    std::string names;
    std::set<std::string> all;
    for (const auto &f : actual)
        all.insert(f.first);
    for (const auto &f : expected)
        all.insert(f.first);
    for (const std::string &name : all) {
        auto a = actual.find(name), e = expected.find(name);
        if (a == actual.end() || e == expected.end() || !(a->second == e->second))
            names += " " + name;
    }
    return names;
}

/* The install folder names of the files the program replaced, in order. */
std::vector<std::string> Replaced()
{
    std::vector<std::string> names;
    for (const sim::Call &call : sim::Trace())
        if (call.op == sim::OpMoveFileExA)
            names.push_back(call.path.substr(call.path.rfind('\\') + 1));
    return names;
}

class RunTest : public SimTest {
protected:
    /* The program's payloads, as its resource script lists them, and an
     * installed edition of the sample release, its signature files hidden. */
    void Install(int edition)
    {
        sim::Reset();
        std::ifstream payloads(WELLHAVEN_PAYLOAD_LINES);
        for (std::string id, type, file; payloads >> id >> type >> std::quoted(file);)
            sim::AddResource((WORD)std::stoi(id), type, HostFile(kRelease + "/payload/" + file));
        Register();
        const std::string from = kRelease + "/installed/" + std::to_string(edition) + "/";
        const std::vector<std::string> names = HostList(from);
        ASSERT_FALSE(names.empty()) << "no sample release in " << kRelease;
        for (const std::string &name : names)
            sim::PutFile(kGameDir + name, HostFile(from + name),
                         EndsWith(name, ".sig") ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL);
        before_ = ReadFolder();
        finished_ = Finished(edition);
    }

    /* A run; before anything else it keeps DLLs loaded later to the system
     * folder (where the system has the call). */
    int Run(int answer = IDYES, bool loaderUpdate = true)
    {
        sim::Answer(answer);
        sim::SetLoaderUpdate(loaderUpdate);
        char commandLine[] = "";
        int status = WinMain(sim::Module(), NULL, commandLine, 1);
        EXPECT_EQ(sim::DllSearch(), loaderUpdate ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0u);
        EXPECT_EQ(sim::CallsBeforeDllSearch(), 0u) << "DLLs restricted only after other calls";
        return status;
    }

    /* What an edition's finished run leaves: the bytes of its finished folder
     * in the sample release; each file the run wrote anew marked for
     * archiving, or hidden for a signature; the others as installed. */
    Folder Finished(int edition)
    {
        if (edition >= 6)
            return before_;
        Folder finished;
        const std::string from = kRelease + "/finished/" + std::to_string(edition) + "/";
        for (const std::string &name : HostList(from))
            finished[name] =
                FileState{std::make_shared<const std::string>(HostFile(from + name)),
                          before_.count(name) ? before_[name].attributes : 0xFFFFFFFFu};
        for (const Step &step : StepsOf(edition))
            finished[step.file].attributes =
                EndsWith(step.file, ".sig") ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_ARCHIVE;
        return finished;
    }

    /* Nothing was written outside the install folder and the temporary folder. */
    void ExpectNothingElsewhere()
    {
        for (const std::string &path : sim::AllFiles())
            if (path.rfind(kGameDir, 0) != 0 && path.rfind(kTemp, 0) != 0)
                ADD_FAILURE() << "written outside the install and temporary folders: " << path;
    }

    Folder before_;
    Folder finished_;
};

/* On a system whose ANSI code page is Western European, too, the player
 * reads every box as on a Japanese one. */
TEST_F(RunTest, EveryOldEditionEndsAsItsFinishedFolderAndIsThenUpToDate)
{
    for (int run = 0; run < 12; run++) {
        const int edition = run % 6;
        SCOPED_TRACE(testing::Message() << "edition " << edition << (run < 6 ? "" : ", ANSI code page 1252"));
        Install(edition);
        sim::SetAnsiCodePage(run < 6 ? 932 : 1252);
        /* While the program writes a file no other program may open it, and
         * none may write to a file the program holds open. */
        sim::OnWrite([](const std::string &path) {
            EXPECT_FALSE(sim::TryOpen(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE))
                << path << " could be read by another program while it was written";
            for (const std::string &open : sim::OpenByProgram())
                EXPECT_FALSE(sim::TryOpen(open, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE))
                    << open << " could be written by another program while the updater held it";
        });
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({QuestionBox(edition), CompletedBox()});
        EXPECT_TRUE(ReadFolder() == finished_) << "differs from the finished folder:" << Differences(ReadFolder(), finished_);
        std::vector<std::string> steps;
        for (const Step &step : StepsOf(edition))
            steps.push_back(step.file);
        EXPECT_EQ(Replaced(), steps);
        EXPECT_TRUE(sim::List(kTemp).empty()) << "scratch files left behind";
        ExpectAllReleased();
        /* Only the kept runs of the two archives are read, one at a time,
         * and each new file once, before it is put in place, through a
         * buffer of at most 64 KiB. */
        static_assert(kReadBackChunk <= 64 * 1024, "the read-back buffer is at most 64 KiB");
        const SpliceRecipe data = RECIPE_DATA_XP3, scr = RECIPE_SCR_XP3;
        unsigned long long read = edition <= 1 ? data.keepFirst + data.keepSecond + scr.keepFirst + scr.keepSecond : 0;
        for (const Step &step : StepsOf(edition))
            read += finished_[step.file].bytes->size();
        EXPECT_EQ(sim::BytesRead(), read);
        size_t sideName = 0;
        for (const Step &step : StepsOf(edition))
            sideName = std::max(sideName, strlen(kGameDir) + strlen(step.file) + sizeof ".new");
        EXPECT_LE(sim::LargestBlock(), edition <= 1 ? (SIZE_T)scr.keepSecond : kReadBackChunk + sideName);
        EXPECT_EQ(sim::WritesFromElsewhere(), 0);

        sim::NewRun();
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({UpToDateBox(edition % 2 == 0 ? 6 : 7)});
        EXPECT_TRUE(ReadFolder() == finished_) << "the second run changed:" << Differences(ReadFolder(), finished_);
        ExpectAllReleased();
    }
}

/* Bytes a size cannot tell from the release's: a byte changed in a kept run
 * of either archive, or in a scr.xp3 that already has its finished size (as
 * a stopped run leaves it). The update stops at that file with E213 naming
 * it; it and every file after it stay as they were. */
TEST_F(RunTest, DamagedArchivesStopTheUpdateAtTheirFile)
{
    /* The edition, the file, the changed byte (the kept runs: scr.xp3 16 to
     * 932 and 322017 to 916366, data.xp3 16 to 22423 and 31405 to 136879),
     * the steps done before the file's, and whether it has the finished size. */
    const struct { int edition; const char *file; size_t offset, stepsDone; bool finishedSize; UINT codePage = 932; } cases[] = {
        {0, "scr.xp3", 932, 0, false}, {1, "scr.xp3", 322017, 0, false}, {1, "data.xp3", 16, 4, false},
        {0, "data.xp3", 136879, 4, false}, {0, "scr.xp3", 500000, 0, true}, {1, "data.xp3", 16, 4, false, 1252}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "edition " << c.edition << ", " << c.file << " at " << c.offset
                                        << ", ANSI code page " << c.codePage);
        Install(c.edition);
        sim::SetAnsiCodePage(c.codePage);
        std::string bytes = *(c.finishedSize ? finished_ : before_)[c.file].bytes;
        bytes[c.offset] ^= 1;
        sim::PutFile(kGameDir + std::string(c.file), bytes);
        Folder expected = ReadFolder();
        for (size_t step = 0; step < c.stepsDone; step++)
            expected[StepsOf(c.edition)[step].file] = finished_[StepsOf(c.edition)[step].file];
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({QuestionBox(c.edition), CodeBox(213, c.file)});
        EXPECT_TRUE(ReadFolder() == expected) << "changed:" << Differences(ReadFolder(), expected);
        EXPECT_TRUE(sim::List(kTemp).empty()) << "a scratch file was left";
        ExpectAllReleased();
    }
}

/* Up-to-date editions are only reported; anything but Yes to the question
 * leaves an old one alone. The plan, handed an edition it has no steps for
 * (as the program never does), refuses it with no box: it never tells of an
 * update it did not make. */
TEST_F(RunTest, RunsThatChangeNothing)
{
    const int kPlanAlone = 0; /* no run: the edition handed to the plan itself */
    struct Case {
        int edition;
        int answer;
        bool loaderUpdate = true;
    };
    /* Without the loader update there is no DLL search to restrict, and
     * the run goes on all the same. */
    std::vector<Case> cases = {{6, IDYES}, {7, IDYES}, {7, IDYES, false}, {-1, kPlanAlone}, {6, kPlanAlone}};
    /* No, the box closed with Escape, or answered OK by some other means. */
    for (int edition = 0; edition <= 5; edition++)
        for (int answer : {IDNO, IDCANCEL, IDOK})
            cases.push_back({edition, answer});
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "edition " << c.edition << ", answer " << c.answer);
        Install(c.edition < 0 ? 6 : c.edition);
        if (c.answer == kPlanAlone) {
            EXPECT_FALSE(RunUpdatePlan(kGameDir, c.edition, sim::Module()));
            ExpectBoxes({});
        } else {
            EXPECT_EQ(Run(c.answer, c.loaderUpdate), 0);
            ExpectBoxes({c.edition >= 6 ? UpToDateBox(c.edition) : QuestionBox(c.edition)});
        }
        EXPECT_TRUE(ReadFolder() == before_) << "changed:" << Differences(ReadFolder(), before_);
        EXPECT_TRUE(sim::List(kTemp).empty()) << "a scratch file was made";
        ExpectAllReleased();
    }
}

/* Two runs at once on ver1.00: the second waits for the first and then goes
 * on as if started afterwards, whether the first finished, was answered No,
 * or was killed after its first stage (leaving the lock abandoned). */
TEST_F(RunTest, OneRunAtATime)
{
    const struct {
        const char *name;
        size_t firstDid; /* steps the first run finished */
        bool killed;
        int seen; /* the edition the second run finds */
    } cases[] = {{"finished", 9, false, 6}, {"answered No", 0, false, 0}, {"killed", 5, true, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Install(0);
        bool held = true;
        sim::HoldMutexElsewhere(kLock, [&] {
            EXPECT_EQ(sim::Trace().size(), 2u) << "the second run did more than wait";
            for (size_t s = 0; s < c.firstDid; s++) {
                const char *file = StepsOf(0)[s].file;
                sim::PutFile(kGameDir + std::string(file), *finished_[file].bytes, finished_[file].attributes);
            }
        }, c.killed);
        sim::BeforeCall([&held](const sim::Call &call) {
            if (call.op != sim::OpCreateMutexA && call.op != sim::OpWaitForSingleObject)
                held = held && sim::MutexHeldByProgram(kLock);
        });
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(held) << "the run went on without the lock";
        if (c.seen >= 6)
            ExpectBoxes({UpToDateBox(c.seen)});
        else
            ExpectBoxes({QuestionBox(c.seen), CompletedBox()});
        EXPECT_TRUE(ReadFolder() == finished_) << "not finished:" << Differences(ReadFolder(), finished_);
        ExpectAllReleased();
    }
}

/* ------------------------------------------------------------ the sweep */

/* How a call is made to fail: with an error that is not worth a second try,
 * moving one byte short, or refused for sharing, for good or only for the
 * first three tries. */
enum FaultKind { FAILS, SHORT, REFUSED, REFUSED_BRIEFLY };

/* What each failing call of each operation shows, written from the design
 * apart from the program: the code of the check (0: the result is ignored
 * and the run goes on), the scratch file it leaves, what else the run
 * leaves (a target without its hidden mark, whose result is ignored), and
 * the file its box names when that is not the step's (identification's). */
const int kIgnored = 0;
enum Effect { NO_EFFECT, UNMARKED };
/* Which of the operation's calls of op a row is for: any, or those about the
 * step's target (identification's: the file its box names), its scratch file
 * or its side file. A block is about what the next call names; the registry's
 * size query is the one not right after a block (the data query's). */
enum Named { ANY, TARGET, SCRATCH_FILE, SIDE_FILE, SIZE_QUERY };
struct ExpectedFailure {
    Operation operation;
    sim::Op op;
    Named which;
    bool shortCall;
    int code;
    Scratch scratch;
    Effect effect = NO_EFFECT;
    const char *file = nullptr; /* the one file of which this row is */
};
const ExpectedFailure kOtherFailures[] = {
    /* Without the lock a run goes on as before. */
    {LOOKUP, sim::OpCreateMutexA, ANY, false, kIgnored, NONE},
    {LOOKUP, sim::OpWaitForSingleObject, ANY, false, kIgnored, NONE},
    /* A box whose text cannot be turned into UTF-16 is shown by the ANSI
     * box, which reads it right on this Japanese system. */
    {BOX, sim::OpMultiByteToWideChar, ANY, false, kIgnored, NONE},
    {LOOKUP, sim::OpRegOpenKeyExA, ANY, false, 1, NONE},
    {LOOKUP, sim::OpRegQueryValueExA, SIZE_QUERY, false, 2, NONE},
    {LOOKUP, sim::OpGlobalAlloc, ANY, false, 3, NONE},
    {LOOKUP, sim::OpRegQueryValueExA, TARGET, false, 4, NONE},
    /* One path buffer, made before any file is opened. */
    {IDENTIFY, sim::OpGlobalAlloc, ANY, false, 101, NONE},
    {IDENTIFY, sim::OpCreateFileA, TARGET, false, 102, NONE, NO_EFFECT, "data.xp3"},
    {IDENTIFY, sim::OpCreateFileA, TARGET, false, 102, NONE, NO_EFFECT, "ext.xp3"},
    {IDENTIFY, sim::OpCreateFileA, TARGET, false, 102, NONE, NO_EFFECT, "auxtrans.dll"},
    /* A size that cannot be read is all bits set, which matches no row. */
    {IDENTIFY, sim::OpGetFileSize, ANY, false, 103, NONE},

    /* The block of the side name and the read-back: the commit fails. */
    {SPLICE, sim::OpGlobalAlloc, SIDE_FILE, false, 212, WHOLE},
    {SPLICE, sim::OpGlobalAlloc, TARGET, false, 201, NONE},
    {SPLICE, sim::OpCreateFileA, TARGET, false, 202, NONE},
    /* A size that cannot be read stops the splice before anything is made:
     * taken for an unfinished size, it would splice a finished archive. */
    {SPLICE, sim::OpGetFileSize, TARGET, false, 210, NONE},
    {SPLICE, sim::OpGetFileSize, SIDE_FILE, false, 212, WHOLE},
    {SPLICE, sim::OpGetTempPathA, ANY, false, 301, NONE},
    {SPLICE, sim::OpGetTempFileNameA, ANY, false, 302, NONE},
    {SPLICE, sim::OpFindResourceA, ANY, false, 203, EMPTY},
    {SPLICE, sim::OpSizeofResource, ANY, false, 204, EMPTY},
    {SPLICE, sim::OpLoadResource, ANY, false, 204, EMPTY},
    {SPLICE, sim::OpLockResource, ANY, false, 205, EMPTY},
    {SPLICE, sim::OpCreateFileA, SCRATCH_FILE, false, 206, EMPTY},
    {SPLICE, sim::OpWriteFile, ANY, false, 207, PART},
    {SPLICE, sim::OpWriteFile, ANY, true, 208, PART},
    {SPLICE, sim::OpSetFilePointer, ANY, false, 209, PART},
    {SPLICE, sim::OpReadFile, TARGET, false, 210, PART},
    {SPLICE, sim::OpReadFile, TARGET, true, 211, PART},
    /* The commit: whatever holds the side name deleted, the copy to the
     * side file, its flush, the read-back and the rename; the delete of the
     * side name is of a name that is not there. */
    {SPLICE, sim::OpDeleteFileA, SIDE_FILE, false, kIgnored, NONE},
    {SPLICE, sim::OpCopyFileA, ANY, false, 212, WHOLE},
    {SPLICE, sim::OpCreateFileA, SIDE_FILE, false, 212, WHOLE},
    {SPLICE, sim::OpFlushFileBuffers, ANY, false, 212, WHOLE},
    {SPLICE, sim::OpReadFile, SIDE_FILE, false, 212, WHOLE},
    {SPLICE, sim::OpReadFile, SIDE_FILE, true, 212, WHOLE},
    {SPLICE, sim::OpMoveFileExA, ANY, false, 212, WHOLE},
    {SPLICE, sim::OpDeleteFileA, SCRATCH_FILE, false, kIgnored, WHOLE},
};

/* The codes of a placement family, by the check that shows each. */
struct FamilyCodes {
    int notFound, notLoaded, notLocked, notCreated, writeFailed, writeShort, noMemory, commitFailed;
};

/* Signature placement and whole-file placement: the same checks with the
 * codes of their family. A hidden target's attributes are read before the
 * rename and it is marked after it. */
std::vector<ExpectedFailure> PlacementFailures(Operation operation, const FamilyCodes &codes, bool hidden)
{
    std::vector<ExpectedFailure> rows = {
        {operation, sim::OpGetTempPathA, ANY, false, 301, NONE},
        {operation, sim::OpGetTempFileNameA, ANY, false, 302, NONE},
        {operation, sim::OpFindResourceA, ANY, false, codes.notFound, EMPTY},
        {operation, sim::OpSizeofResource, ANY, false, codes.notLoaded, EMPTY},
        {operation, sim::OpLoadResource, ANY, false, codes.notLoaded, EMPTY},
        {operation, sim::OpLockResource, ANY, false, codes.notLocked, EMPTY},
        {operation, sim::OpCreateFileA, SCRATCH_FILE, false, codes.notCreated, EMPTY},
        {operation, sim::OpWriteFile, ANY, false, codes.writeFailed, PART},
        {operation, sim::OpWriteFile, ANY, true, codes.writeShort, PART},
        {operation, sim::OpGlobalAlloc, TARGET, false, codes.noMemory, WHOLE},
        {operation, sim::OpGlobalAlloc, SIDE_FILE, false, codes.commitFailed, WHOLE},
        {operation, sim::OpDeleteFileA, SIDE_FILE, false, kIgnored, NONE},
        {operation, sim::OpCopyFileA, ANY, false, codes.commitFailed, WHOLE},
        {operation, sim::OpCreateFileA, SIDE_FILE, false, codes.commitFailed, WHOLE},
        {operation, sim::OpFlushFileBuffers, ANY, false, codes.commitFailed, WHOLE},
        {operation, sim::OpGetFileSize, ANY, false, codes.commitFailed, WHOLE},
        {operation, sim::OpReadFile, ANY, false, codes.commitFailed, WHOLE},
        {operation, sim::OpReadFile, ANY, true, codes.commitFailed, WHOLE},
        {operation, sim::OpMoveFileExA, ANY, false, codes.commitFailed, WHOLE},
        {operation, sim::OpDeleteFileA, SCRATCH_FILE, false, kIgnored, WHOLE},
    };
    if (hidden) {
        /* Unread, a target that is not read-only is renamed over all the
         * same; not marked, it stays as the rename left it. */
        rows.push_back({operation, sim::OpGetFileAttributesA, TARGET, false, kIgnored, NONE});
        rows.push_back({operation, sim::OpSetFileAttributesA, TARGET, false, kIgnored, NONE, UNMARKED});
    }
    return rows;
}

const std::vector<ExpectedFailure> &ExpectedFailures()
{
    static const FamilyCodes kSignature = {402, 403, 404, 405, 406, 407, 401, 408};
    static const FamilyCodes kWholeFile = {501, 502, 503, 504, 505, 506, 507, 508};
    static std::vector<ExpectedFailure> rows;
    if (rows.empty()) {
        rows.assign(std::begin(kOtherFailures), std::end(kOtherFailures));
        for (const auto &more : {PlacementFailures(SIGNATURE, kSignature, true),
                                 PlacementFailures(WHOLE_NORMAL, kWholeFile, false),
                                 PlacementFailures(WHOLE_HIDDEN, kWholeFile, true)})
            rows.insert(rows.end(), more.begin(), more.end());
    }
    return rows;
}

/* Where a call of a clean run belongs: its operation (BOX: the question or
 * the up-to-date box, or the completion box), the step of the plan
 * (steps.size() after the last step), what it is about, and whether the
 * player has answered the question. */
struct RunPart {
    Operation operation;
    size_t step;
    Named named;
    bool answered;
};

class RunSweepTest : public RunTest {
protected:
    /* Installs edition and runs it clean: its trace, where each call belongs,
     * and (with stops) the disk as a process killed before each call would
     * leave it, and as a power cut there would leave it (every file whose
     * bytes are not durable cut short, or at full length with a zeroed tail). */
    void CleanRun(int edition, bool stops = true)
    {
        Install(edition);
        steps_ = StepsOf(edition);
        kills_.clear();
        cuts_.clear();
        std::set<std::string> killed, cut;
        sim::BeforeCall([this, &killed, &cut, stops](const sim::Call &) {
            if (!stops)
                return;
            const sim::Disk &disk = sim::DiskNow();
            const std::string print = Fingerprint(disk);
            const bool newKill = killed.count(print) == 0;
            /* A cut tears only bytes not yet flushed. */
            const bool unflushed =
                std::any_of(disk.files.begin(), disk.files.end(), [](const auto &f) { return !f.second.durable; });
            if (!newKill && !unflushed && cut.count(print) != 0)
                return; /* left as by the call before */
            const sim::Disk saved = sim::SaveDisk();
            if (killed.insert(print).second)
                kills_.push_back(saved);
            for (bool zeroTail : {false, true}) {
                const sim::Disk torn = unflushed ? sim::Torn(saved, zeroTail) : saved;
                if (cut.insert(unflushed ? Fingerprint(torn) : print).second)
                    cuts_.push_back(torn);
            }
        });
        installed_ = sim::SaveDisk();
        ASSERT_EQ(Run(), 0);
        sim::BeforeCall(nullptr);
        trace_ = sim::Trace();
        ASSERT_TRUE(ReadFolder() == finished_);

        /* The lookup ends with its last registry call, identification with
         * the first box; after it, each step ends with the deletion of its
         * scratch file. */
        size_t lastRegistry = 0, firstBox = trace_.size();
        for (size_t i = 0; i < trace_.size(); i++) {
            if (trace_[i].op == sim::OpRegOpenKeyExA || trace_[i].op == sim::OpRegQueryValueExA)
                lastRegistry = i;
            if (trace_[i].op == sim::OpMessageBoxW && firstBox == trace_.size())
                firstBox = i;
        }
        parts_.assign(trace_.size(), RunPart{LOOKUP, 0, TARGET, false});
        size_t step = 0;
        const auto nameOf = [](const sim::Call &c) {
            return c.path.rfind(kTemp, 0) == 0 ? SCRATCH_FILE : EndsWith(c.path, ".new") ? SIDE_FILE : TARGET;
        };
        for (size_t i = 0; i < trace_.size(); i++) {
            RunPart &p = parts_[i];
            const sim::Call &call = trace_[i], &next = trace_[std::min(i + 1, trace_.size() - 1)];
            p.named = call.op == sim::OpGlobalAlloc ? nameOf(next)
                      : call.op == sim::OpRegQueryValueExA && trace_[i - 1].op != sim::OpGlobalAlloc ? SIZE_QUERY
                                                                                                   : nameOf(call);
            p.answered = i > firstBox;
            p.step = p.answered ? step : 0;
            p.operation = i <= lastRegistry                             ? LOOKUP
                          : trace_[i].op == sim::OpMultiByteToWideChar ? BOX
                          : i < firstBox                               ? IDENTIFY
                          : p.answered && step < steps_.size() ? steps_[step].operation
                                                              : BOX;
            if (p.answered && call.op == sim::OpDeleteFileA && nameOf(call) == SCRATCH_FILE)
                step++;
        }
        ASSERT_EQ(step, steps_.size()) << "one scratch file deleted per step";
    }

    /* What the next run can see of a disk: every file of the install
     * folder (name, attributes and a hash of its bytes) and how many
     * files the temporary folder holds (the program never reads a scratch
     * file it did not make; their names only keep new ones apart). */
    static std::string Fingerprint(const sim::Disk &disk)
    {
        std::ostringstream out;
        const std::string game = sim::Key(kGameDir) + "/", temp = sim::Key(kTemp) + "/";
        size_t scratch = 0;
        for (const auto &n : disk.names) {
            scratch += n.first.rfind(temp, 0) == 0;
            if (n.first.rfind(game, 0) == 0)
                out << n.first << ' ' << disk.files.at(n.second.file).attributes << ' '
                    << sim::Hash(disk.files.at(n.second.file)) << '\n';
        }
        out << scratch << " in the temporary folder\n";
        return out.str();
    }

    /* Counts what a stop left behind for the next run to deal with. */
    void CountLeftovers()
    {
        const Folder now = ReadFolder();
        leftSide_ += std::any_of(now.begin(), now.end(),
                                 [](const auto &f) { return f.first.find(".new") != std::string::npos; });
        leftScratch_ += !sim::List(kTemp).empty();
        stops_++;
    }

    /* The one row a failing call meets, whatever the rows' order; nullptr: none. */
    static const ExpectedFailure *Expected(const RunPart &part, const sim::Call &call, bool shortCall)
    {
        const std::string name = call.path.substr(call.path.rfind('\\') + 1);
        const ExpectedFailure *found = nullptr;
        for (const ExpectedFailure &e : ExpectedFailures())
            if (e.operation == part.operation && e.op == call.op && e.shortCall == shortCall &&
                (e.which == ANY || e.which == part.named) && (e.file == nullptr || name == e.file) &&
                std::exchange(found, &e) != nullptr)
                ADD_FAILURE() << "a second row for the call, code " << e.code;
        return found;
    }

    /* The next run, without faults, answered Yes: it must end with the
     * finished installation and the completion box, or the up-to-date box
     * where nothing was left to do. A hidden mark that could not be set is
     * the one thing it may leave (its result is ignored by design). Returns
     * whether it finished. */
    bool ExpectNextRunFinishes(int edition, const std::string &unmarked = std::string())
    {
        /* The program does the same on the same disk: a state already run
         * from has its outcome. */
        const std::string state = std::to_string(edition) + " " + unmarked + "\n" + Fingerprint(sim::DiskNow());
        auto known = outcomeOf_.find(state);
        if (known != outcomeOf_.end()) {
            outcomes_[known->second]++;
            return known->second != "not finished";
        }
        std::set<std::string> done;
        const Folder now = ReadFolder();
        for (const Step &step : steps_)
            if (now.count(step.file) && *now.at(step.file).bytes == *finished_.at(step.file).bytes)
                done.insert(step.file);
        const int seen = EditionAfter(edition, done);

        sim::NewRun();
        EXPECT_EQ(Run(), 0);
        if (seen >= 6)
            ExpectBoxes({UpToDateBox(seen)});
        else
            ExpectBoxes({QuestionBox(seen), CompletedBox()});
        Folder expected = finished_;
        if (!unmarked.empty())
            expected[unmarked].attributes = FILE_ATTRIBUTE_ARCHIVE;
        const bool finished = ReadFolder() == expected;
        EXPECT_TRUE(finished) << "not finished:" << Differences(ReadFolder(), expected);
        ExpectAllReleased();
        const char *outcome = !finished ? "not finished" : seen >= 6 ? "up to date" : "finished";
        outcomes_[outcomeOf_[state] = outcome]++;
        return finished;
    }

    /* One fault: the failing run's boxes, install folder and scratch file,
     * then the next run. */
    void Fault(int edition, size_t i, unsigned nthOfRun, FaultKind kind)
    {
        const sim::Call &call = trace_[i];
        const RunPart &part = parts_[i];
        const bool shortCall = kind == SHORT;
        sim::RestoreDisk(installed_);
        sim::NewRun();
        if (shortCall)
            sim::ShortCall(call.op, nthOfRun);
        else if (kind == FAILS)
            sim::FailCall(call.op, nthOfRun);
        else
            sim::FailCall(call.op, nthOfRun, ERROR_SHARING_VIOLATION, kind == REFUSED ? sim::kLasting : 3);
        EXPECT_EQ(Run(), 0);
        ASSERT_TRUE(sim::FaultFired());
        /* A refusal is waited out a pause at a time: three pauses for one
         * that passes, about a second for one that does not; nothing else
         * pauses. */
        EXPECT_EQ(sim::SleptMilliseconds(),
                  kind == REFUSED ? kFullWaitMilliseconds : kind == REFUSED_BRIEFLY ? 3 * kFullWaitMilliseconds / kRetries : 0);

        const bool oldEdition = edition <= 5;
        std::vector<ExpectedBox> boxes;
        if (part.answered)
            boxes.push_back(QuestionBox(edition));
        /* What each file should be: finished for the steps before the
         * failing one, as before for the rest. */
        size_t done = 0;
        std::string unmarked;
        if (call.op == sim::OpMessageBoxW) {
            /* The question, the up-to-date box or the completion box not
             * shown: nobody saw it, and nothing else happens. */
            done = part.answered ? steps_.size() : 0;
        } else if (kind == REFUSED_BRIEFLY) {
            /* Another program let go while the commit waited. */
            done = steps_.size();
            boxes.push_back(CompletedBox());
            ExpectScratch(NONE, "");
        } else {
            const ExpectedFailure *e = Expected(part, call, shortCall);
            if (e == nullptr) {
                ADD_FAILURE() << "no expectation for this failure";
                return;
            }
            const std::string file = part.step < steps_.size() ? steps_[part.step].file : "";
            if (e->code == kIgnored) {
                done = steps_.size();
                if (e->effect == UNMARKED)
                    unmarked = file;
                if (!part.answered && oldEdition) /* the lock: the whole run goes on */
                    boxes.push_back(QuestionBox(edition));
                boxes.push_back(oldEdition ? CompletedBox() : UpToDateBox(edition));
            } else {
                done = part.step;
                boxes.push_back(CodeBox(e->code, e->file != nullptr ? e->file : file));
            }
            static const std::string kNothing;
            ExpectScratch(e->scratch, e->scratch == NONE ? kNothing : *finished_.at(file).bytes);
        }
        ExpectBoxes(boxes);

        Folder expected = before_;
        for (size_t s = 0; s < done && s < steps_.size(); s++)
            expected[steps_[s].file] = finished_.at(steps_[s].file);
        if (!unmarked.empty())
            expected[unmarked].attributes = FILE_ATTRIBUTE_ARCHIVE;
        EXPECT_TRUE(ReadFolder() == expected) << "install folder:" << Differences(ReadFolder(), expected);
        ExpectNothingElsewhere();
        ExpectAllReleased();
        CountLeftovers();

        if (oldEdition && !ExpectNextRunFinishes(edition, unmarked))
            unrecoverable_++;
    }

    /* The calls of a commit that are tried again when refused for access
     * or sharing: the copy to the side file, its reopen and the rename. */
    static bool Retried(const sim::Call &c)
    {
        return c.op == sim::OpCopyFileA || c.op == sim::OpMoveFileExA ||
               (c.op == sim::OpCreateFileA && EndsWith(c.path, ".new"));
    }

    /* Every fault the sweep makes in the clean run of edition: the call, its
     * count among the run's calls of its kind, and how it fails. */
    template <typename Visit> void ForEachFault(int edition, Visit visit)
    {
        unsigned seen[sim::OpCount] = {};
        for (size_t i = 0; i < trace_.size(); i++) {
            const sim::Op op = trace_[i].op;
            const unsigned nth = ++seen[op];
            /* The calls before the question are the same for every edition:
             * swept on the first only. */
            if (edition != 0 && (parts_[i].operation == LOOKUP || parts_[i].operation == IDENTIFY))
                continue;
            for (FaultKind kind : {FAILS, SHORT, REFUSED, REFUSED_BRIEFLY}) {
                if (kind == SHORT && op != sim::OpReadFile && op != sim::OpWriteFile)
                    continue;
                if ((kind == REFUSED || kind == REFUSED_BRIEFLY) && !Retried(trace_[i]))
                    continue;
                visit(i, nth, kind);
            }
        }
    }

    void SweepEdition(int edition)
    {
        CleanRun(edition);
        ForEachFault(edition, [&](size_t i, unsigned nth, FaultKind kind) {
            static const char *const kKinds[] = {" fails", " short", " refused", " refused briefly"};
            SCOPED_TRACE(testing::Message() << "edition " << edition << ": " << sim::OpName(trace_[i].op) << " #"
                                            << nth << kKinds[kind] << " " << trace_[i].path);
            Fault(edition, i, nth, kind);
            faults_++;
        });
        if (edition > 5)
            return;

        /* A process killed before any call (handles closed by the system,
         * scratch and side files left), and the power cut there. */
        const struct { const char *name; const std::vector<sim::Disk> &states; int &count; } kStops[] = {
            {"killed", kills_, killed_}, {"power cut", cuts_, cut_}};
        for (const auto &stops : kStops) {
            for (size_t k = 0; k < stops.states.size(); k++) {
                SCOPED_TRACE(testing::Message() << "edition " << edition << ": " << stops.name << " at state " << k);
                sim::RestoreDisk(stops.states[k]);
                CountLeftovers();
                if (!ExpectNextRunFinishes(edition))
                    unrecoverable_++;
                stops.count++;
            }
        }
    }

    std::vector<Step> steps_;
    sim::Disk installed_;
    std::vector<sim::Call> trace_;
    std::vector<RunPart> parts_;
    std::vector<sim::Disk> kills_, cuts_;
    int faults_ = 0, killed_ = 0, cut_ = 0, unrecoverable_ = 0;
    int stops_ = 0, leftSide_ = 0, leftScratch_ = 0;
    std::map<std::string, int> outcomes_;
    std::map<std::string, std::string> outcomeOf_;
};

/* Every check of the table is met by some fault of the sweep, whose two
 * lines run apart (below). */
TEST_F(RunSweepTest, EveryExpectedFailureIsMet)
{
    std::set<const ExpectedFailure *> met;
    for (int edition = 0; edition <= 7; edition++) {
        CleanRun(edition, false);
        ForEachFault(edition, [&](size_t i, unsigned, FaultKind kind) {
            if (trace_[i].op != sim::OpMessageBoxW && kind != REFUSED_BRIEFLY)
                met.insert(Expected(parts_[i], trace_[i], kind == SHORT));
        });
    }
    for (const ExpectedFailure &e : ExpectedFailures())
        EXPECT_TRUE(met.count(&e)) << "no run met operation " << e.operation << ", " << sim::OpName(e.op) << " about "
                                     << e.which << (e.shortCall ? " short" : " fails");
}

/* The plain line (even editions) and the a-line are swept in tests of their
 * own, which run side by side; within a line, later editions meet states
 * that earlier ones' next runs have already run from. */
class RunSweepLineTest : public RunSweepTest, public testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Lines, RunSweepLineTest, testing::Values(0, 1));

TEST_P(RunSweepLineTest, EveryStopFinishesOnTheNextRun)
{
    for (int edition = GetParam(); edition <= 7; edition += 2)
        SweepEdition(edition);
    std::cout << "Sweep of the " << (GetParam() == 0 ? "plain line: " : "a-line: ") << faults_ << " injected faults, "
              << killed_ << " killed runs and " << cut_
              << " power cuts, each followed by a clean run: " << outcomes_["finished"] << " finished, "
              << outcomes_["up to date"] << " found it up to date, " << unrecoverable_ << " did not finish.\n"
              << outcomeOf_.size() << " different states were run from. Of the " << stops_ << " stops, "
              << leftSide_ << " left a side file in the install folder and " << leftScratch_
              << " a scratch file in the temporary folder; the next run deals with both.\n";
    RecordProperty("injected_faults", faults_);
    RecordProperty("killed_runs", killed_);
    RecordProperty("power_cuts", cut_);
    /* No stop is excused: each one leaves every file old or new. */
    EXPECT_EQ(unrecoverable_, 0);
}

} // namespace
