// The entry: which install variant runs, and the x86 program's notice.
#include "support/sim_test.h"

namespace quorin_test {
namespace {

class EntryTest : public SimTest {};

#if QUORIN_X86_BUILD

TEST_F(EntryTest, ShowsTheDebugNoticeBeforeAnyWork) {
    sim::SetMessageBoxAnswer(0);  // its answer is ignored
    AddInstance("stale", std::nullopt);
    EXPECT_EQ(RunWithArgument(kArgument), INSTALL_OK);
    ASSERT_EQ(sim::MessageBoxes().size(), 1u);
    const sim::MessageBoxShown& box = sim::MessageBoxes()[0];
    EXPECT_FALSE(box.hasOwner);
    EXPECT_EQ(box.text, "UpdateDriver 32Bit");
    EXPECT_EQ(box.caption, "Debug");
    EXPECT_EQ(box.type, MB_OK);
    int shown = FirstEvent("MessageBoxA");
    for (const char* work : {"GetWindowsDirectoryA", "UpdateDriverForPlugAndPlayDevicesA",
                             "RegOpenKeyA", "RegDeleteKeyA"}) {
        SCOPED_TRACE(work);
        EXPECT_GT(FirstEvent(work), shown);
    }
    EXPECT_TRUE(Instances().empty());
}

TEST_F(EntryTest, HasNoWow64QueryAndStartsNoProgram) {
    sim::SetDefaultUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    EXPECT_EQ(RunWithArgument(kArgument, true), INSTALL_IN_WOW64);
    for (const char* absent : {"IsWow64Process", "CreateProcessA", "GetCurrentDirectoryA"}) {
        EXPECT_EQ(CountEvents(absent), 0) << absent;
    }
    for (const sim::Event& event : sim::Events()) {
        EXPECT_NE(event.detail, "\"IsWow64Process\"") << event.operation;
    }
}

#else

struct DispatchCase {
    const char* what;
    bool hasIsWow64Process;
    bool underWow64;
    bool relaunches;
};

// Only a process that Windows reports as running under WOW64 answers the
// refusal itself; everywhere else the 64-bit program is started.
TEST_F(EntryTest, PicksTheVariantByTheWow64Query) {
    const std::vector<DispatchCase> cases = {
        {"64-bit process", true, false, true},
        {"under WOW64", true, true, false},
        {"Windows without IsWow64Process", false, true, true},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        SetUp();
        sim::SetHasIsWow64Process(c.hasIsWow64Process);
        sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
        sim::QueueUpdateOutcome({TRUE, 0, FALSE});
        int exitCode = RunWithArgument(kArgument, c.underWow64);
        EXPECT_EQ(exitCode, c.relaunches ? INSTALL_OK : INSTALL_IN_WOW64);
        EXPECT_EQ(sim::CreateProcessCalls().size(), c.relaunches ? 1u : 0u);
        EXPECT_EQ(CountEvents("IsWow64Process"), c.hasIsWow64Process ? (c.relaunches ? 2 : 1) : 0);
        EXPECT_TRUE(sim::MessageBoxes().empty());
        ExpectNothingLeft();
    }
}

TEST_F(EntryTest, LooksUpIsWow64ProcessByName) {
    RunWithArgument(kArgument);
    int module = FirstEvent("GetModuleHandleA");
    int function = FirstEvent("GetProcAddress");
    ASSERT_GE(module, 0);
    ASSERT_GT(function, module);
    EXPECT_EQ(sim::Events()[static_cast<std::size_t>(module)].detail, "\"kernel32\"");
    EXPECT_EQ(sim::Events()[static_cast<std::size_t>(function)].detail, "\"IsWow64Process\"");
    EXPECT_LT(function, FirstEvent("UpdateDriverForPlugAndPlayDevicesA"));
}

TEST_F(EntryTest, FailedWow64QueryCountsAsNotUnderWow64) {
    sim::FailOperation("IsWow64Process", ERROR_ACCESS_DENIED);
    sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    EXPECT_EQ(RunWithArgument(kArgument, true), INSTALL_OK);
    EXPECT_EQ(sim::CreateProcessCalls().size(), 1u);
}

#endif

// The DLL search is narrowed first: before any box, any DLL load and any
// registry key. Windows without the functions runs the same install.
TEST_F(EntryTest, NarrowsTheDllSearchBeforeAnythingElse) {
    for (bool has : {true, false}) {
        SCOPED_TRACE(has);
        sim::Reset();
        SetUp();
        sim::SetHasDllSearchFunctions(has);
        AddInstance("stale", std::nullopt);
        EXPECT_EQ(RunWithArgument(kArgument), INSTALL_OK);
        EXPECT_TRUE(Instances().empty());
        const int setDefault = FirstEvent("SetDefaultDllDirectories");
        const int setDirectory = FirstEvent("SetDllDirectoryA");
        ASSERT_EQ(setDefault >= 0, has);
        ASSERT_EQ(setDirectory >= 0, has);
        if (!has) {
            continue;
        }
        EXPECT_EQ(sim::Events()[static_cast<std::size_t>(setDefault)].detail,
                  std::to_string(LOAD_LIBRARY_SEARCH_SYSTEM32));
        EXPECT_EQ(sim::Events()[static_cast<std::size_t>(setDirectory)].detail, "\"\"");
        for (const char* later : {"MessageBoxA", "LoadLibraryExA", "RegOpenKeyA"}) {
            const int at = FirstEvent(later);
            EXPECT_TRUE(at < 0 || at > std::max(setDefault, setDirectory)) << later;
        }
        EXPECT_GE(FirstEvent("LoadLibraryExA"), 0);
    }
}

struct StationCase {
    const char* what;
    bool visible;
    const char* failingQuery;  // nullptr: the question is answered
    bool boxesShown;
    DWORD session = 1;
    BYTE windowsMajor = 6;
};

// Every call but the boxes and the question whether anyone sees them.
std::vector<std::string> WorkDone() {
    std::vector<std::string> work;
    for (const sim::Event& event : sim::Events()) {
        if (event.operation != "MessageBoxA" && event.operation != "GetProcessWindowStation" &&
            event.operation != "GetUserObjectInformationA" &&
            event.operation != "ProcessIdToSessionId") {
            work.push_back(event.operation + " " + event.detail);
        }
    }
    return work;
}

// On a station nobody sees (a deployment as SYSTEM) a box would wait for
// ever: the program goes on as if each had been dismissed, doing the same
// work with the same result. A question that cannot be answered shows them.
// Session 0 is the services' since Vista, whatever its station's flags say;
// on XP it is the console's.
TEST_F(EntryTest, ShowsBoxesOnlyWhereSomeoneCanDismissThem) {
    const std::vector<StationCase> cases = {
        {"visible", true, nullptr, true},
        {"nobody sees it", false, nullptr, false},
        {"station unknown", false, "GetProcessWindowStation", true},
        {"flags unknown", false, "GetUserObjectInformationA", true},
        {"session 0 on Vista and later", true, nullptr, false, 0, 6},
        {"session 0 on XP, the console", true, nullptr, true, 0, 5},
        {"session 2, a second user's", true, nullptr, true, 2, 6},
        {"session unknown, station visible", true, "ProcessIdToSessionId", true, 0, 6},
        {"session unknown, station unseen", false, "ProcessIdToSessionId", false, 0, 6},
    };
    std::vector<std::string> visibleWork;
    sim::RegistrySnapshot visibleAfter;
    for (const StationCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        SetUp();
        sim::SetWindowStationVisible(c.visible);
        sim::SetSession(c.session);
        sim::SetWindowsVersion(c.windowsMajor, 0);
        if (c.failingQuery != nullptr) {
            sim::FailOperation(c.failingQuery, ERROR_ACCESS_DENIED, 1, -1);
        }
        AddInstance("locked", "usbhub");
        sim::SetAccessList(kDevice + "\\locked", {true, WRITE_DAC, 7});
        AddInstance("stale", std::nullopt);
        EXPECT_EQ(RunWithArgument(kArgument), INSTALL_OK);
        EXPECT_TRUE(Instances().empty());
        const std::size_t boxes = kX86 ? 2u : 1u;  // "Debug", then "Error" for the locked key
        EXPECT_EQ(sim::MessageBoxes().size(), c.boxesShown ? boxes : 0u);
        // Where no box shows, the install may not prompt either.
        ASSERT_EQ(sim::UpdateCalls().size(), 1u);
        EXPECT_EQ(sim::UpdateCalls()[0].flags,
                  c.boxesShown ? DWORD{INSTALLFLAG_FORCE}
                               : DWORD{INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE});
        const int questions = static_cast<int>(boxes) + 1;  // each box and the install
        EXPECT_EQ(CountEvents("ProcessIdToSessionId"), questions);
        const bool servicesSession = c.session == 0 && c.windowsMajor >= 6 && c.failingQuery == nullptr;
        EXPECT_EQ(CountEvents("GetProcessWindowStation"), servicesSession ? 0 : questions);
        if (c.visible && c.session == 1) {
            visibleWork = WorkDone();
            visibleAfter = sim::Snapshot();
        } else {
            EXPECT_EQ(WorkDone(), visibleWork);
            EXPECT_EQ(sim::Snapshot(), visibleAfter);
        }
        ExpectNothingLeft();
    }
}

TEST_F(EntryTest, NegativeResultsBecomeTheExitCode) {
    sim::QueueUpdateOutcome({FALSE, ERROR_NO_SUCH_DEVINST, FALSE});
    EXPECT_EQ(static_cast<DWORD>(RunWithArgument(kArgument)), 4294967293u);
}

}  // namespace
}  // namespace quorin_test
