// Fails every platform call of each scenario in turn, once and for good,
// and checks the safety invariants after every run (see fault_harness.h).
#include "fault_harness.h"

#include "install/result_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace quorin_fault {
namespace {

constexpr bool kX86 = QUORIN_X86_BUILD != 0;
const std::string kHardwareId = "USB\\VID_1F3A&PID_0C21";
const std::string kDevice = kEnum + "\\" + kHardwareId;
const std::string kCommandLine = "\"C:\\pkg\\Quorin64.exe\" driver.inf+" + kHardwareId;
// Far above any run that ends; a run that loops meets it.
constexpr std::uint64_t kBaselineCallLimit = 200000;

struct Scenario {
    std::string name;
    std::function<void()> prepare;
    bool underWow64 = false;
    int exitCode = INSTALL_OK;
    std::vector<std::string> survivingInstances;  // after a run without failures
    bool stationVisible = true;
};

void Instance(const std::string& name, const std::optional<std::string>& service,
              std::uint32_t tag, std::uint32_t denied = 0) {
    const std::string path = kDevice + "\\" + name;
    sim::CreateKey(path);
    if (service) {
        sim::SetString(path, "Service", *service);
    }
    sim::SetAccessList(path, {true, denied, tag});
}

void Subkey(const std::string& path, std::uint32_t tag, std::uint32_t denied = 0) {
    sim::CreateKey(kDevice + "\\" + path);
    sim::SetAccessList(kDevice + "\\" + path, {true, denied, tag});
}

// Keys next to the device key, which nothing may touch.
void AddNeighbours() {
    sim::SetString(kEnum + "\\USB\\VID_1F3A&PID_0C22\\0000", "Service", "usbhub");
    sim::SetString(kEnum + "\\USB\\VID_1F3A&PID_0C21_X\\0000", "Service", "other");
    sim::CreateKey(kEnum + "\\HID\\VID_1F3A&PID_0C21\\0000\\Device Parameters");
    sim::SetString("System\\CurrentControlSet\\Services\\TALMERIX", "Start", "3");
    sim::SetAccessList(kEnum + "\\USB", {true, 0, 90});
    sim::SetString(kDevice, "Note", "the device key's own value");
    sim::SetAccessList(kDevice, {true, 0, 91});
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> scenarios;
    scenarios.push_back({"typical install",
                         [] {
                             AddNeighbours();
                             Instance("0000", "TALMERIX", 1);
                             Subkey("0000\\Device Parameters", 2);
                             Instance("0001", "usbhub", 3);
                             Subkey("0001\\Device Parameters", 4);
                             Subkey("0001\\LogConf", 5);
                         },
                         false, INSTALL_OK, {"0000"}});
    // Started by a service: nobody can answer a box or an install's prompt.
    scenarios.push_back({"services' session",
                         [] {
                             AddNeighbours();
                             sim::SetSession(0);
                             Instance("0000", "TALMERIX", 1);
                             Instance("0001", "usbhub", 3);
                             Instance("0002", "usbhub", 4, WRITE_DAC);
                         },
                         false, INSTALL_OK, {"0000"}});
    scenarios.push_back({"nested stale trees",
                         [] {
                             AddNeighbours();
                             sim::QueueUpdateOutcome({TRUE, 0, TRUE});
                             Instance("A-served", "talmerix", 1);
                             Subkey("A-served\\Device Parameters\\Deep", 2);
                             Instance("B", std::nullopt, 3);
                             Subkey("B\\P1\\P2\\P3\\P4", 4);
                             Subkey("B\\P1\\Q", 5);
                             Subkey("B\\R\\S", 6);
                             Instance("C", "TALMERIX2", 7);
                             Subkey("C\\X\\Y\\Z", 8);
                         },
                         false, INSTALL_OK_REBOOT, {"A-served"}});
    scenarios.push_back({"served and stale mixed",
                         [] {
                             AddNeighbours();
                             sim::QueueUpdateOutcome({FALSE, ERROR_NO_SUCH_DEVINST, FALSE});
                             Instance("0", "TALMERIX", 1);
                             Instance("1", "usbhub", 2);
                             Instance("2", "TalMerix", 3);
                             Instance("3", "", 4);
                             Instance("4", std::nullopt, 5);
                             Instance("5", "talmerix", 6);
                             Instance("6", "TALMERI", 7);
                             Instance("7", "TALMERIX", 8);
                             for (const char* name : {"0", "1", "2", "3", "4", "5", "6", "7"}) {
                                 Subkey(std::string(name) + "\\Device Parameters", 20);
                             }
                         },
                         false, INSTALL_NO_DEVICE, {"0", "2", "5", "7"}});
    auto wow64Instances = [] {
        AddNeighbours();
        Instance("served", "TALMERIX", 1);
        Instance("stale-1", "usbhub", 2);
        Subkey("stale-1\\Device Parameters", 3);
        Instance("stale-2", std::nullopt, 4);
    };
    auto wow64Refusal = [wow64Instances] {
        wow64Instances();
        sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
        sim::QueueUpdateOutcome({TRUE, 0, FALSE});
    };
    auto wow64RefusedAlways = [wow64Instances] {
        wow64Instances();
        sim::SetDefaultUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    };
    if (kX86) {
        scenarios.push_back({"x86 retry", wow64Refusal, true, INSTALL_OK, {"served"}});
        scenarios.push_back({"x86 refused twice, unseen", wow64RefusedAlways, true,
                             INSTALL_IN_WOW64, {"served"}, false});
    } else {
        scenarios.push_back({"relaunch", wow64Refusal, false, INSTALL_OK, {"served"}});
        scenarios.push_back({"refused under WOW64", wow64Refusal, true, INSTALL_IN_WOW64,
                             {"served"}});
        // Windows refuses the relaunched copy too (an emulated x64 process
        // on ARM64), on a station nobody sees.
        scenarios.push_back({"copy refused, unseen", wow64RefusedAlways, false, INSTALL_IN_WOW64,
                             {"served"}, false});
    }
    scenarios.push_back({"refused access change",
                         [] {
                             AddNeighbours();
                             // Served, but its value cannot be read.
                             Instance("0-unreadable", "TALMERIX", 10, KEY_QUERY_VALUE);
                             // The list cannot be changed, removal is allowed.
                             Instance("1-locked", "usbhub", 11, WRITE_DAC);
                             Subkey("1-locked\\Device Parameters", 12);
                             // Neither change nor removal is allowed.
                             Instance("2-sealed", "usbhub", 13, WRITE_DAC | DELETE);
                             Subkey("2-sealed\\Device Parameters", 14);
                             // Taken away, then the removal is refused.
                             Instance("3-refused", std::nullopt, 15);
                             sim::RefuseRemoval(kDevice + "\\3-refused");
                             // A subkey whose list cannot even be read.
                             Instance("4-stale", "other", 16);
                             Subkey("4-stale\\Unreadable", 17, READ_CONTROL);
                             // A subkey that cannot be opened keeps its parents.
                             Instance("5-stale", "other", 18);
                             Subkey("5-stale\\Closed", 19, sim::ALL_KEY_RIGHTS);
                             Subkey("5-stale\\Open", 20);
                         },
                         false, INSTALL_OK,
                         {"0-unreadable", "2-sealed", "3-refused", "5-stale"}});
    return scenarios;
}

// What another process may do to the device key while the program walks it.
enum class Change { kInstanceRemoved, kSubkeyRemoved, kLeafRemoved, kInstancesAdded };
const Change kChanges[] = {Change::kInstanceRemoved, Change::kSubkeyRemoved,
                           Change::kLeafRemoved, Change::kInstancesAdded};

// The first key below path in enumeration order, descending `levels` times
// or, with levels < 0, down to a leaf; "" when path has no subkey.
std::string FirstBelow(const std::string& path, int levels) {
    std::string key = path;
    for (int level = 0; levels < 0 || level < levels; ++level) {
        const std::vector<std::string> names = sim::SubkeyNames(key);
        if (names.empty()) {
            break;
        }
        key += "\\" + names.front();
    }
    return key == path ? std::string() : key;
}

// Applies one change, aimed at the instance the walk is on or reaches
// next: the first one still there that a quiet run removes.
void MakeChange(Change change, const std::vector<std::string>& removable) {
    if (change == Change::kInstancesAdded) {
        Instance("!a", std::nullopt, 30);  // sorts ahead of every instance
        Subkey("!a\\Device Parameters", 31);
        Instance("!added-with-a-name-longer-than-any-counted", "usbhub", 32);
        Instance("~served", "TALMERIX", 33);  // sorts after every instance
        Subkey("~served\\Device Parameters", 34);
        return;
    }
    const std::vector<std::string> present = sim::SubkeyNames(kDevice);
    auto target = std::find_first_of(present.begin(), present.end(), removable.begin(),
                                     removable.end());
    if (target == present.end()) {
        return;
    }
    const std::string instance = kDevice + "\\" + *target;
    const std::string key = change == Change::kInstanceRemoved ? instance
                            : change == Change::kSubkeyRemoved ? FirstBelow(instance, 1)
                                                               : FirstBelow(instance, -1);
    if (!key.empty()) {
        sim::DeleteTree(key);
    }
}

struct Tally {
    std::uint64_t runs = 0;
    std::uint64_t transient = 0;
    std::uint64_t persistent = 0;
    std::uint64_t persistentPerOperation = 0;
    std::uint64_t interference = 0;
    std::uint64_t ended = 0;
    std::uint64_t exemptedKeys = 0;  // kept keys without their list, excused by a restore hit
    std::uint64_t exemptedRuns = 0;
    std::uint64_t exemptedTransientRuns = 0;
    double mostCallsPerBaselineCall = 0;
};

std::string DescribeFaults(const std::vector<Fault>& faults) {
    std::string text;
    for (const Fault& fault : faults) {
        if (!text.empty()) {
            text += ", ";
        }
        text += (fault.operation.empty() ? std::string("call") : fault.operation) + " " +
                std::to_string(fault.first) +
                (fault.last == kForever ? std::string(" on") : std::string()) + " error " +
                std::to_string(fault.error);
    }
    return text;
}

class FaultLoop {
public:
    FaultLoop(const Scenario& scenario, Tally* tally) : scenario_(scenario), tally_(tally) {
        setup_.commandLine = kCommandLine;
        setup_.underWow64 = scenario.underWow64;
        setup_.prepare = scenario.prepare;
        setup_.sweptHardwareId = kHardwareId;
        setup_.stationVisible = scenario.stationVisible;
    }

    void Run() {
        const RunReport baseline = RunAndCheck(setup_, {}, kBaselineCallLimit);
        ASSERT_TRUE(baseline.violations.empty()) << scenario_.name << ": "
                                                 << baseline.violations[0];
        ASSERT_EQ(baseline.exitCode, scenario_.exitCode) << scenario_.name;
        ASSERT_EQ(sim::SubkeyNames(kDevice), scenario_.survivingInstances) << scenario_.name;
        const std::uint64_t calls = baseline.calls;
        const std::vector<std::string>& operations = baseline.operations;
        baselineCalls_ = calls;
        limit_ = 10 * calls + 1000;

        for (std::uint64_t k = 1; k <= calls; ++k) {
            for (DWORD error : RealisticErrors(operations[k - 1])) {
                const RunReport report = Check({{"", k, k, error}}, true);
                ++tally_->transient;
                EXPECT_EQ(report.injected, 1u) << scenario_.name << ": call " << k;
            }
            Check(PersistentFrom(k, operations));
            ++tally_->persistent;
        }
        // Another process changes the device key before each call in turn;
        // the sweep must still leave no stale instance behind.
        const std::vector<std::string> removable = RemovedInstances();
        for (std::uint64_t k = 1; k <= calls; ++k) {
            for (Change change : kChanges) {
                RunSetup disturbed = setup_;
                disturbed.interferenceAt = k;
                disturbed.interference = [change, &removable] { MakeChange(change, removable); };
                disturbed.requireSweepDone = true;
                disturbed.keptInstances = scenario_.survivingInstances;
                const RunReport report = Check({}, false, &disturbed);
                ++tally_->interference;
                EXPECT_EQ(report.exitCode, scenario_.exitCode) << scenario_.name << ": call " << k;
                // A key someone else removed raises no "Error" box. (Instances
                // added ahead of the walk make it meet kept ones again.)
                if (change != Change::kInstancesAdded) {
                    EXPECT_LE(report.errorBoxes, baseline.errorBoxes)
                        << scenario_.name << ": call " << k;
                }
            }
        }
        // The processes end at each call in turn: whatever was half done, no
        // key is left open to every account and every owner stays.
        for (std::uint64_t k = 1; k <= calls; ++k) {
            RunSetup killed = setup_;
            killed.endAt = k;
            const RunReport report = Check({}, false, &killed);
            ++tally_->ended;
            EXPECT_TRUE(report.ended) << scenario_.name << ": call " << k;
        }
        // One operation failing for good from its nth call on while the rest
        // works: the heap running out, removals refused from some key on.
        for (const std::string& operation : FaultableOperations()) {
            const auto count = std::count(operations.begin(), operations.end(), operation);
            for (std::uint64_t nth = 1; nth <= static_cast<std::uint64_t>(count); ++nth) {
                Check({{operation, nth, kForever, RealisticErrors(operation)[0]}});
                ++tally_->persistentPerOperation;
            }
        }
    }

    std::uint64_t BaselineCalls() const { return baselineCalls_; }

private:
    // The instances a quiet run removes, in enumeration order.
    std::vector<std::string> RemovedInstances() const {
        sim::Reset();
        scenario_.prepare();
        std::vector<std::string> removed;
        for (const std::string& name : sim::SubkeyNames(kDevice)) {
            const auto& kept = scenario_.survivingInstances;
            if (std::find(kept.begin(), kept.end(), name) == kept.end()) {
                removed.push_back(name);
            }
        }
        return removed;
    }

    RunReport Check(const std::vector<Fault>& faults, bool transient = false,
                    const RunSetup* setup = nullptr) {
        RunReport report = RunAndCheck(setup != nullptr ? *setup : setup_, faults, limit_);
        ++tally_->runs;
        if (report.survivorsWithoutOwnList > 0) {
            tally_->exemptedKeys += static_cast<std::uint64_t>(report.survivorsWithoutOwnList);
            ++tally_->exemptedRuns;
            tally_->exemptedTransientRuns += transient ? 1 : 0;
        }
        tally_->mostCallsPerBaselineCall =
            std::max(tally_->mostCallsPerBaselineCall,
                     static_cast<double>(report.calls) / static_cast<double>(baselineCalls_));
        if (!report.violations.empty() && ++failures_ <= 10) {
            std::string all;
            for (const std::string& violation : report.violations) {
                all += "\n  " + violation;
            }
            ADD_FAILURE() << scenario_.name << " with " << DescribeFaults(faults) << " (exit "
                          << report.exitCode << ")" << all;
        }
        return report;
    }

    const Scenario& scenario_;
    Tally* tally_;
    RunSetup setup_;
    std::uint64_t baselineCalls_ = 1;
    std::uint64_t limit_ = 0;
    int failures_ = 0;
};

TEST(FaultLoop, EveryCallFailingOnceOrForGoodKeepsEveryInvariant) {
    Tally tally;
    for (const Scenario& scenario : Scenarios()) {
        SCOPED_TRACE(scenario.name);
        const std::uint64_t before = tally.runs;
        FaultLoop loop(scenario, &tally);
        loop.Run();
        std::printf("fault loop %s: %-22s %4llu calls, %6llu runs\n", kX86 ? "x86" : "x64",
                    scenario.name.c_str(), static_cast<unsigned long long>(loop.BaselineCalls()),
                    static_cast<unsigned long long>(tally.runs - before));
    }
    std::printf("fault loop %s: %llu runs (%llu transient, %llu persistent from a call, %llu "
                "persistent in one operation, %llu with another process changing the device "
                "key, %llu ended half-way); %llu kept key(s) in %llu run(s) (%llu of them "
                "transient) without their own access list because a failure hit its restore; "
                "longest run %.1fx its baseline\n",
                kX86 ? "x86" : "x64", static_cast<unsigned long long>(tally.runs),
                static_cast<unsigned long long>(tally.transient),
                static_cast<unsigned long long>(tally.persistent),
                static_cast<unsigned long long>(tally.persistentPerOperation),
                static_cast<unsigned long long>(tally.interference),
                static_cast<unsigned long long>(tally.ended),
                static_cast<unsigned long long>(tally.exemptedKeys),
                static_cast<unsigned long long>(tally.exemptedRuns),
                static_cast<unsigned long long>(tally.exemptedTransientRuns),
                tally.mostCallsPerBaselineCall);
    RecordProperty("runs", std::to_string(tally.runs));
    EXPECT_GT(tally.runs, 0u);
}

}  // namespace
}  // namespace quorin_fault
