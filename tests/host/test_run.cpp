/*
 * Whole runs of the program on installations made from the sample release:
 * the boxes a player sees on each road, which files each edition's run
 * replaces and in what order, the folders it leaves, and one fault sweep over
 * the whole program, each stopped run followed by a run without faults.
 */
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "control/control.h"
#include "tests/host/support.h"

namespace {

const std::string kRelease = WELLHAVEN_SAMPLE_RELEASE;
const char kTemp[] = "C:\\Temp\\";
const DWORD kArchive = 0x20;
const DWORD kShareWrite = 0x2;

/* The files a run replaces, in order, and the hundreds digit of the codes
 * their failures show: the design's list, kept apart from the program's. */
struct Step {
    const char *file;
    int family;
};
const Step kOldestSteps[] = {
    {"data.xp3", 2}, {"data.xp3.sig", 4}, {"scr.xp3", 2}, {"scr.xp3.sig", 4}, {"Wellhaven.exe.sig", 4},
};
const Step kLineSteps[] = {{"ext.xp3", 5}, {"ext.xp3.sig", 5}, {"auxtrans.dll", 5}, {"auxtrans.dll.sig", 4}};

std::vector<Step> StepsOf(int edition)
{
    std::vector<Step> steps;
    if (edition <= 1)
        steps.assign(std::begin(kOldestSteps), std::end(kOldestSteps));
    if (edition <= 5)
        steps.insert(steps.end(), std::begin(kLineSteps), std::end(kLineSteps));
    return steps;
}

bool IsSignature(const std::string &name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".sig") == 0;
}

std::string HostFile(const std::string &path)
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

/* A file as the player finds it: bytes and the whole attribute word. */
struct FileState {
    std::string bytes;
    DWORD attributes;
    bool operator==(const FileState &o) const { return bytes == o.bytes && attributes == o.attributes; }
};
using Folder = std::map<std::string, FileState>;

Folder ReadFolder()
{
    Folder folder;
    for (const std::string &name : sim::List(kGameDir))
        folder[name] = FileState{sim::FileBytes(kGameDir + name), sim::Attributes(kGameDir + name)};
    return folder;
}

/* The names of the files that differ between two folders, for a message. */
std::string Differences(const Folder &actual, const Folder &expected)
{
    std::string names;
    std::map<std::string, int> all;
    for (const auto &f : actual)
        all[f.first]++;
    for (const auto &f : expected)
        all[f.first]++;
    for (const auto &f : all) {
        auto a = actual.find(f.first), e = expected.find(f.first);
        if (a == actual.end() || e == expected.end() || !(a->second == e->second))
            names += " " + f.first;
    }
    return names;
}

/* The install folder names of the files the program copied over, in order. */
std::vector<std::string> Replaced()
{
    std::vector<std::string> names;
    for (const sim::Call &call : sim::Trace())
        if (call.op == sim::OpCopyFileA)
            names.push_back(call.path.substr(call.path.rfind('\\') + 1));
    return names;
}

class RunTest : public SimTest {
protected:
    /* The program's payloads and an installed edition of the sample release,
     * its signature files hidden. */
    void Install(int edition)
    {
        sim::Reset(root_);
        for (WORD id = 103; id <= 113; id++)
            sim::AddResource(id, "BINARY", HostFile(kRelease + "/payload/" + std::to_string(id) + ".bin"));
        Register();
        const std::string from = kRelease + "/installed/" + std::to_string(edition) + "/";
        const std::vector<std::string> names = HostList(from);
        ASSERT_FALSE(names.empty()) << "no sample release in " << kRelease;
        for (const std::string &name : names)
            sim::PutFile(kGameDir + name, HostFile(from + name),
                         IsSignature(name) ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL);
        before_ = ReadFolder();
    }

    int Run(int answer = IDYES)
    {
        sim::Answer(answer);
        char commandLine[] = "";
        return WinMain(sim::Module(), NULL, commandLine, 1);
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
                FileState{HostFile(from + name), before_.count(name) ? before_[name].attributes : 0xFFFFFFFFu};
        for (const Step &step : StepsOf(edition))
            finished[step.file].attributes = IsSignature(step.file) ? FILE_ATTRIBUTE_HIDDEN : kArchive;
        return finished;
    }

    /* Nothing was written outside the install folder and the temporary folder. */
    void ExpectNothingElsewhere()
    {
        const std::string game = sim::HostPath(kGameDir) + "/", temp = sim::HostPath(kTemp) + "/";
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root_)) {
            const std::string path = entry.path().string();
            if (entry.is_regular_file() && path.rfind(game, 0) != 0 && path.rfind(temp, 0) != 0)
                ADD_FAILURE() << "written outside the install and temporary folders: " << path;
        }
    }

    Folder before_;
};

TEST_F(RunTest, EveryOldEditionEndsAsItsFinishedFolderAndIsThenUpToDate)
{
    for (int edition = 0; edition <= 5; edition++) {
        SCOPED_TRACE(testing::Message() << "edition " << edition);
        Install(edition);
        /* While the program writes a file no other program may open it, and
         * none may write to a file the program holds open. */
        sim::OnWrite([](const std::string &path) {
            EXPECT_FALSE(sim::TryOpen(path, GENERIC_READ, FILE_SHARE_READ | kShareWrite))
                << path << " could be read by another program while it was written";
            for (const std::string &open : sim::OpenByProgram())
                EXPECT_FALSE(sim::TryOpen(open, GENERIC_WRITE, FILE_SHARE_READ | kShareWrite))
                    << open << " could be written by another program while the updater held it";
        });
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({QuestionBox(kCaptions[edition]), InfoBox(kTextDone, kCaptionInfo)});
        const Folder finished = Finished(edition);
        EXPECT_TRUE(ReadFolder() == finished) << "differs from the finished folder:" << Differences(ReadFolder(), finished);
        std::vector<std::string> steps;
        for (const Step &step : StepsOf(edition))
            steps.push_back(step.file);
        EXPECT_EQ(Replaced(), steps);
        EXPECT_TRUE(sim::List(kTemp).empty()) << "scratch files left behind";
        ExpectAllReleased();
        /* Only the kept runs of the two archives are read, one at a time. */
        EXPECT_EQ(sim::BytesRead(), edition <= 1 ? (22408u + 105475u + 917u + 594350u) : 0u);
        EXPECT_LE(sim::LargestBlock(), edition <= 1 ? (SIZE_T)594350 : (SIZE_T)260);
        EXPECT_EQ(sim::WritesFromElsewhere(), 0);

        sim::NewRun();
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({InfoBox(kTextUpToDate, kCaptions[edition % 2 == 0 ? 6 : 7])});
        EXPECT_TRUE(ReadFolder() == finished) << "the second run changed:" << Differences(ReadFolder(), finished);
        ExpectAllReleased();
    }
}

TEST_F(RunTest, UpToDateEditionsAreOnlyReported)
{
    for (int edition = 6; edition <= 7; edition++) {
        SCOPED_TRACE(testing::Message() << "edition " << edition);
        Install(edition);
        EXPECT_EQ(Run(), 0);
        ExpectBoxes({InfoBox(kTextUpToDate, kCaptions[edition])});
        EXPECT_TRUE(ReadFolder() == before_) << "changed:" << Differences(ReadFolder(), before_);
        EXPECT_TRUE(sim::List(kTemp).empty()) << "a scratch file was made";
        ExpectAllReleased();
    }
}

TEST_F(RunTest, AnythingButYesLeavesTheInstallationAlone)
{
    const struct {
        const char *name;
        int answer;
    } answers[] = {{"No", IDNO}, {"closed (Escape)", IDCANCEL}, {"OK", IDOK}};
    for (int edition = 0; edition <= 5; edition++) {
        for (const auto &a : answers) {
            SCOPED_TRACE(testing::Message() << "edition " << edition << ", " << a.name);
            Install(edition);
            EXPECT_EQ(Run(a.answer), 0);
            ExpectBoxes({QuestionBox(kCaptions[edition])});
            EXPECT_TRUE(ReadFolder() == before_) << "changed:" << Differences(ReadFolder(), before_);
            EXPECT_TRUE(sim::List(kTemp).empty()) << "a scratch file was made";
            ExpectAllReleased();
        }
    }
}

/* ------------------------------------------------------------ fault sweep */

/* How the run after a stopped one ends. */
const char kFinished[] = "finished";
const char kCompleteFilesOld[] = "complete, files still old";
const char kUpToDate[] = "up to date";
const char kUpToDateFilesOld[] = "up to date, files still old";
const char kNoMatch[] = "E103";

/* What the design says the next run makes of a run that completed its
 * first `done` steps, stopping at the next one (done == the number of steps:
 * it completed). */
const char *ExpectedNextRun(int edition, size_t done, bool leftFinished)
{
    const std::vector<Step> steps = StepsOf(edition);
    if (done >= steps.size())
        return leftFinished ? kUpToDate : kUpToDateFilesOld;
    const std::string stopped = steps[done].file;
    /* Nothing replaced: the same edition again. */
    if (done == 0 || stopped == "ext.xp3")
        return kFinished;
    /* A rebuilt data.xp3 makes ver1.00 and ver1.00a look like ver1.01 and
     * ver1.01a, whose run leaves scr.xp3 and the first signatures old. */
    if (edition <= 1 && done < 5)
        return kCompleteFilesOld;
    /* A new ext.xp3 with the old library: no plain-line row, and the a-line
     * row of ver1.02a. */
    if (stopped == "ext.xp3.sig" || stopped == "auxtrans.dll")
        return edition % 2 == 0 ? kNoMatch : kFinished;
    /* Everything but auxtrans.dll.sig: the sizes of ver1.03 or ver1.03a. */
    return kUpToDateFilesOld;
}

/* Where a call of the clean run belongs: before the question (lookup or
 * identification) or in a step of the plan (steps.size(): the completion). */
struct Place {
    bool beforeQuestion;
    int family;  /* before the question: 0 lookup, 1 identification */
    size_t step; /* after it */
};

class RunFaultSweepTest : public RunTest {
protected:
    void SweepEdition(int edition)
    {
        const std::vector<Step> steps = StepsOf(edition);
        Install(edition);
        ASSERT_EQ(Run(), 0);
        const std::vector<sim::Call> trace = sim::Trace();
        const Folder finished = Finished(edition);
        ASSERT_TRUE(ReadFolder() == finished);

        /* Lookup calls end with its last registry query. After the
         * question, a call that names a file of the install folder belongs
         * to that file's step, any other to the step of the next copy. */
        size_t lastRegistry = 0, question = trace.size();
        for (size_t i = 0; i < trace.size(); i++) {
            if (trace[i].op == sim::OpRegOpenKeyExA || trace[i].op == sim::OpRegQueryValueExA)
                lastRegistry = i;
            if (trace[i].op == sim::OpMessageBoxA && question == trace.size())
                question = i;
        }
        std::vector<Place> places(trace.size());
        size_t step = steps.size();
        for (size_t i = trace.size(); i-- > 0;) {
            if (trace[i].op == sim::OpCopyFileA)
                step--;
            size_t own = step;
            for (size_t s = 0; s < steps.size(); s++)
                if (trace[i].path == kGameDir + std::string(steps[s].file))
                    own = s;
            places[i] = Place{i <= question, i <= lastRegistry ? 0 : 1, own};
        }
        ASSERT_EQ(step, 0u) << "one copy per step";

        unsigned seen[sim::OpCount] = {};
        for (size_t i = 0; i < trace.size(); i++) {
            const sim::Op op = trace[i].op;
            const unsigned nth = ++seen[op];
            for (bool shortCall : {false, true}) {
                if (shortCall && op != sim::OpReadFile && op != sim::OpWriteFile)
                    continue;
                SCOPED_TRACE(testing::Message() << "edition " << edition << ": " << sim::OpName(op) << " #" << nth
                                                << (shortCall ? " short" : " fails") << " " << trace[i].path);
                Check(edition, steps, finished, trace[i], places[i], nth, shortCall);
                cases_++;
            }
        }
    }

    void Check(int edition, const std::vector<Step> &steps, const Folder &finished, const sim::Call &call,
               const Place &place, unsigned nth, bool shortCall)
    {
        Install(edition);
        if (shortCall)
            sim::ShortCall(call.op, nth);
        else
            sim::FailCall(call.op, nth);
        EXPECT_EQ(Run(), 0);
        ASSERT_TRUE(sim::FaultFired());

        /* The boxes: none where the result is ignored, else one error box of
         * the failing step's family. */
        const std::vector<sim::Box> boxes = sim::Boxes();
        const bool oldEdition = edition <= 5;
        const bool completed = oldEdition && !boxes.empty() && boxes.back().text == Sjis(kTextDone);
        size_t done = completed ? steps.size() : place.beforeQuestion ? 0 : place.step;
        std::vector<ExpectedBox> expected;
        if (!place.beforeQuestion && oldEdition)
            expected.push_back(QuestionBox(kCaptions[edition]));
        bool ignored = call.op == sim::OpDeleteFileA || call.op == sim::OpSetFileAttributesA;
        if (call.op == sim::OpMessageBoxA) {
            /* The question, the up-to-date box or the completion box not shown. */
            if (place.beforeQuestion)
                expected.clear();
            done = place.beforeQuestion ? 0 : steps.size();
        } else if (completed && ignored) {
            expected.push_back(InfoBox(kTextDone, kCaptionInfo));
        } else if (place.beforeQuestion || place.step < steps.size()) {
            int family = place.beforeQuestion ? place.family : steps[place.step].family;
            if (call.op == sim::OpGetTempPathA || call.op == sim::OpGetTempFileNameA)
                family = 3;
            const sim::Box *error = boxes.empty() ? nullptr : &boxes.back();
            int code = 0;
            if (error == nullptr || sscanf(error->text.c_str(), "E%3d: ", &code) != 1 || code / 100 != family)
                ADD_FAILURE() << "expected an error box of the E" << family << "xx family, got "
                              << (error != nullptr ? Describe(*error) : "none");
            expected.push_back(CodeBox(code, call.path.substr(call.path.rfind('\\') + 1)));
        } else {
            ADD_FAILURE() << "a failing call after the last step";
        }
        ExpectBoxes(expected);

        /* Each file of the install folder is as it was or as finished: the
         * steps done finished, the others as before. Two marks are the
         * exceptions: a target cleared for a copy that then failed, and one
         * whose hidden mark was not set after its copy. */
        const Folder now = ReadFolder();
        std::map<std::string, const FileState *> wanted;
        for (const auto &f : before_)
            wanted[f.first] = &f.second;
        for (size_t s = 0; s < done; s++)
            wanted[steps[s].file] = &finished.at(steps[s].file);
        for (const auto &f : finished)
            if (before_.count(f.first) == 0 && wanted.count(f.first) == 0)
                wanted[f.first] = nullptr;
        for (const auto &f : now)
            if (wanted.count(f.first) == 0)
                ADD_FAILURE() << f.first << " appeared";
        const std::string failingFile = place.step < steps.size() ? steps[place.step].file : "";
        for (const auto &w : wanted) {
            auto n = now.find(w.first);
            if (w.second == nullptr) {
                EXPECT_TRUE(n == now.end()) << w.first << " appeared";
                continue;
            }
            if (n == now.end()) {
                ADD_FAILURE() << w.first << " vanished";
                continue;
            }
            if (n->second == *w.second)
                continue;
            const bool clearedForACopy = call.op == sim::OpCopyFileA && w.first == failingFile &&
                                         n->second.bytes == w.second->bytes &&
                                         n->second.attributes == FILE_ATTRIBUTE_NORMAL;
            const bool unmarked = call.op == sim::OpSetFileAttributesA && w.first == failingFile &&
                                  n->second.bytes == finished.at(w.first).bytes && n->second.attributes == kArchive;
            EXPECT_TRUE(clearedForACopy || unmarked)
                << w.first << " is neither as before nor as finished (attributes 0x" << std::hex
                << n->second.attributes << ")";
        }
        ExpectNothingElsewhere();
        ExpectAllReleased();

        /* The next run, without faults. */
        const bool leftFinished = now == finished;
        sim::NewRun();
        EXPECT_EQ(Run(), 0);
        const std::vector<sim::Box> next = sim::Boxes();
        const Folder after = ReadFolder();
        std::string outcome = "other:";
        for (const sim::Box &b : next)
            outcome += " " + Describe(b);
        if (next.size() == 1 && next[0].text == Sjis(kTextUpToDate))
            outcome = after == Finished(edition) ? kUpToDate : kUpToDateFilesOld;
        else if (next.size() == 1 && next[0].text == CodeBoxText(103))
            outcome = kNoMatch;
        else if (next.size() == 2 && next[1].text == Sjis(kTextDone))
            outcome = after == Finished(edition) ? kFinished : kCompleteFilesOld;
        ExpectAllReleased();

        const std::string stoppedAt = call.op == sim::OpMessageBoxA && place.beforeQuestion ? "(question not shown)"
                                      : place.beforeQuestion                               ? "(before the question)"
                                      : done >= steps.size()                              ? "(completed)"
                                                                                           : steps[done].file;
        EXPECT_EQ(outcome, ExpectedNextRun(oldEdition ? edition : 6, oldEdition ? done : 0, leftFinished))
            << "stopped at " << stoppedAt;
        table_[std::to_string(edition) + "  " + stoppedAt + (leftFinished || !completed ? "" : " (mark not set)") +
               " -> " + outcome]++;
    }

    static std::string CodeBoxText(int code) { return Sjis(CodeBox(code).text); }

    void PrintTable()
    {
        std::cout << "Fault sweep over whole runs: " << cases_ << " injected faults. How the next run ends:\n";
        std::cout << "edition  stopped at -> next run (faults)\n";
        for (const auto &row : table_)
            std::cout << "  " << row.first << " (" << row.second << ")\n";
        RecordProperty("injected_faults", cases_);
    }

    int cases_ = 0;
    std::map<std::string, int> table_;
};

TEST_F(RunFaultSweepTest, EveryCallOfEveryEditionsRun)
{
    for (int edition = 0; edition <= 7; edition++)
        SweepEdition(edition);
    PrintTable();
}

} // namespace
