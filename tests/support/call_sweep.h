// Pieces shared by the fault sweeps: the call sites of a recorded run and
// what a run has left behind.
#pragma once

#include "platform/sim/sim.h"
#include "support/sim_test.h"

#include <string>
#include <vector>

// One platform call of a recorded run. `section` counts the "Found device"
// lines printed before it (0: before the walk over the targets; n: while
// the n-th target is worked on); `localOccurrence` is the call's place
// among the calls of its name within that section.
struct CallSite {
    std::string name;
    std::string args;
    int occurrence = 0;
    int section = 0;
    int localOccurrence = 0;
    std::string Text() const
    {
        return name + " #" + std::to_string(occurrence) + " (section " + std::to_string(section) +
               ", #" + std::to_string(localOccurrence) + " there)";
    }
};

// The calls of the run since the last Reset, without the printed lines.
inline std::vector<CallSite> RecordedCallSites()
{
    std::vector<CallSite> sites;
    std::vector<std::pair<std::string, int>> counts;
    auto bump = [](std::vector<std::pair<std::string, int>>& in, const std::string& name) {
        for (auto& entry : in)
            if (entry.first == name)
                return ++entry.second;
        in.emplace_back(name, 1);
        return 1;
    };
    std::vector<std::pair<std::string, int>> local;
    int section = 0;
    for (const sim::CallRecord& call : sim::Calls()) {
        if (call.name == "stdout" || call.name == "stderr") {
            if (call.name == "stdout" && call.args.rfind("Found device ", 0) == 0) {
                ++section;
                local.clear();
            }
            continue;
        }
        CallSite site;
        site.name = call.name;
        site.args = call.args;
        site.occurrence = bump(counts, call.name);
        site.section = section;
        site.localOccurrence = bump(local, call.name);
        sites.push_back(site);
    }
    return sites;
}

// Everything a run left that it should not have: handles other than the
// pipe files, blocks, BSTRs, filled variants, COM references, COM left
// initialised, and any misuse the platform saw.
inline std::vector<std::string> LeftBehind()
{
    std::vector<std::string> left;
    auto add = [&left](const char* what, const std::vector<std::string>& items) {
        for (const std::string& item : items)
            left.push_back(std::string(what) + ": " + item);
    };
    add("handle", sim::OpenHandlesOtherThanPipes());
    add("block", sim::LiveBlocks());
    add("BSTR", sim::LiveBstrs());
    add("variant", sim::LiveVariants());
    add("COM object", sim::LiveComObjects());
    if (sim::ComInitDepth() != 0)
        left.push_back("COM initialised " + std::to_string(sim::ComInitDepth()) + " time(s)");
    add("problem", sim::Problems());
    return left;
}

// One test per edition; the platform is checked after every rerun and, by
// SimTest, once more at the end.
class FaultSweep : public SimTest {};
