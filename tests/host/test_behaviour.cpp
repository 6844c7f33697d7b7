/*
 * The behaviour table against the simulated Windows, in each setting of a
 * pending delete: Windows' answers, or Wine's where the simulation follows
 * Wine (a pending delete, unknown on Windows).
 */
#include <string.h>

#include "tests/host/support.h"
#include "tools/probe/behaviour.h"

namespace {

TEST_F(SimTest, BehaviourTable)
{
    const Machine sim = {[](const std::string &p) { return sim::MakeFolder(p), true; }, sim::Link};
    for (const BehaviourRow &row : std::vector<BehaviourRow>(kBehaviour, kBehaviour + kBehaviourRows))
        for (sim::PendingDelete setting : {sim::PendingAccessDenied, sim::PendingFileExists, sim::PendingFreed}) {
            const bool pending = strchr(row.setup, '-') != nullptr, wine = setting == sim::PendingFileExists;
            const long windows = setting == sim::PendingFreed && row.freed != kSame ? row.freed : row.windows;
            if (!pending && (setting == sim::PendingFreed || wine != (row.windows == kUnknown)))
                continue;
            sim::Reset(), sim::SetPendingDelete(setting), sim::MakeFolder("C:\\Probe");
            EXPECT_EQ(RunRow(row, "C:\\Probe", sim), wine && row.wine != kSame ? row.wine : windows)
                << row.setup << " | " << row.call << " in setting " << setting;
        }
}

} // namespace
