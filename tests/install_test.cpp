// The install request: splitting, INF paths, result codes, the sweep on
// every install, and the WOW64 fallback of each program.
#include "support/sim_test.h"

namespace quorin_test {
namespace {

const std::string kX86Folder =
    "Program Files\\Common Files\\VID_1F3A&PID_0C21\\Salvenport\\QarnoD217";

struct SplitCase {
    std::string argument;
    bool accepted;
    std::string infName;
    std::string hardwareId;
};

TEST(SplitArgumentString, TakesTextBeforeFirstPlusAndLastRunAfterAPlus) {
    const std::string longest(1023, 'x');
    const std::string tooLong(1024, 'x');
    const std::vector<SplitCase> cases = {
        {"driver.inf+USB\\X", true, "driver.inf", "USB\\X"},
        {"a.inf+ID1+ID2", true, "a.inf", "ID2"},
        {"a.inf+ID1+", true, "a.inf", "ID1"},
        {"a.inf+LONGER+Z", true, "a.inf", "Z"},
        {"a.inf++ID", true, "a.inf", "ID"},
        {"my driver.inf+ID ", true, "my driver.inf", "ID "},
        {"\"a.inf+ID\"", true, "\"a.inf", "ID\""},
        {"a.inf+" + std::string(2000, 'L') + "+Z", true, "a.inf", "Z"},
        {longest + "+ID", true, longest, "ID"},
        {"a.inf+" + longest, true, "a.inf", longest},
        {"", false, "", ""},
        {"+", false, "", ""},
        {"a.inf", false, "", ""},
        {"+ID", false, "", ""},
        {"a.inf+", false, "", ""},
        {"a.inf++", false, "", ""},
        {tooLong + "+ID", false, "", ""},
        {"a.inf+" + tooLong, false, "", ""},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.argument.substr(0, 40));
        InstallRequest request;
        ASSERT_EQ(SplitArgumentString(c.argument.c_str(), &request) != 0, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(request.infName, c.infName);
            EXPECT_EQ(request.hardwareId, c.hardwareId);
        }
    }
}

class InstallTest : public SimTest {};

struct PathCase {
    std::string currentDirectory;
    std::string windowsDirectory;
    std::string infName;
    std::string expectedInfPath;
};

TEST_F(InstallTest, InfPathComesFromTheBuildsDirectory) {
    const std::vector<PathCase> cases =
        kX86 ? std::vector<PathCase>{
                   {"C:\\pkg", "C:\\Windows", "driver.inf",
                    "C:\\" + kX86Folder + "driver.inf"},
                   {"C:\\pkg", "E:\\WINNT", "\\x.inf", "E:\\" + kX86Folder + "\\x.inf"},
                   {"D:\\elsewhere", "C:\\", "d.inf", "C:\\" + kX86Folder + "d.inf"},
               }
             : std::vector<PathCase>{
                   {"C:\\pkg", "C:\\Windows", "driver.inf", "C:\\pkg\\driver.inf"},
                   {"C:\\", "C:\\Windows", "driver.inf", "C:\\\\driver.inf"},
                   {"D:\\elsewhere", "C:\\Windows", "my driver.inf",
                    "D:\\elsewhere\\my driver.inf"},
               };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.expectedInfPath);
        sim::Reset();
        SetUp();
        sim::SetCurrentDirectory(c.currentDirectory);
        sim::SetWindowsDirectory(c.windowsDirectory);
        EXPECT_EQ(RunWithArgument(c.infName + "+" + kHardwareId), INSTALL_OK);
        ASSERT_EQ(sim::UpdateCalls().size(), 1u);
        const sim::UpdateCall& call = sim::UpdateCalls()[0];
        EXPECT_EQ(call.infPath, c.expectedInfPath);
        EXPECT_EQ(call.hardwareId, kHardwareId);
        EXPECT_FALSE(call.hasParentWindow);
        EXPECT_EQ(call.flags, DWORD{INSTALLFLAG_FORCE});
        EXPECT_TRUE(call.hasRebootFlag);
        ExpectNothingLeft();
    }
}

struct OutcomeCase {
    sim::UpdateOutcome outcome;
    int exitCode;
};

// Every outcome, failures included, is followed by the sweep.
TEST_F(InstallTest, MapsEachOutcomeAndSweepsEveryTime) {
    const std::vector<OutcomeCase> cases = {
        {{TRUE, 0, FALSE}, INSTALL_OK},
        {{TRUE, 0, TRUE}, INSTALL_OK_REBOOT},
        {{TRUE, ERROR_FILE_NOT_FOUND, FALSE}, INSTALL_OK},
        {{FALSE, ERROR_FILE_NOT_FOUND, FALSE}, INSTALL_INF_NOT_FOUND},
        {{FALSE, ERROR_NO_SUCH_DEVINST, FALSE}, INSTALL_NO_DEVICE},
        {{FALSE, ERROR_INVALID_FLAGS, FALSE}, INSTALL_BAD_FLAGS},
        {{FALSE, ERROR_ACCESS_DENIED, FALSE}, INSTALL_FAILED},
        {{FALSE, 0, TRUE}, INSTALL_FAILED},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.exitCode);
        sim::Reset();
        SetUp();
        AddInstance("served", "TALMERIX");
        AddInstance("stale", "usbhub");
        sim::QueueUpdateOutcome(c.outcome);
        EXPECT_EQ(RunWithArgument(kArgument), c.exitCode);
        EXPECT_EQ(Instances(), std::vector<std::string>{"served"});
        ExpectNothingLeft();
    }
}

TEST_F(InstallTest, SweepsWithTheHardwareIdAsWritten) {
    sim::CreateKey(kDevice + "\\kept");
    sim::CreateKey(kDevice + " \\stale");
    EXPECT_EQ(RunWithArgument("a.inf+" + kHardwareId + " "), INSTALL_OK);
    EXPECT_EQ(sim::UpdateCalls()[0].hardwareId, kHardwareId + " ");
    EXPECT_FALSE(sim::KeyExists(kDevice + " \\stale"));
    EXPECT_TRUE(sim::KeyExists(kDevice + "\\kept"));
}

TEST_F(InstallTest, RefusesArgumentsWithoutBothParts) {
    AddInstance("stale", "usbhub");
    const sim::RegistrySnapshot before = sim::Snapshot();
    for (const std::string& argument :
         std::vector<std::string>{"", "+", "a.inf", "+" + kHardwareId, "a.inf+"}) {
        SCOPED_TRACE(argument);
        EXPECT_EQ(RunWithArgument(argument), INSTALL_FAILED);
    }
    EXPECT_TRUE(sim::UpdateCalls().empty());
    EXPECT_EQ(sim::Snapshot(), before);
    EXPECT_EQ(CountEvents("RegOpenKeyA"), 0);
}

struct RefusalCase {
    const char* what;
    std::string argument;
    std::string currentDirectory;
    std::string windowsDirectory;
};

// Nothing that does not fit is cut short: the install is refused before
// anything happens.
TEST_F(InstallTest, RefusesWhatDoesNotFitBeforeDoingAnything) {
    std::vector<RefusalCase> cases = {
        {"hardware ID of 1,024", "a.inf+" + std::string(1024, 'I'), "C:\\pkg", "C:\\Windows"},
        {"INF name of 1,024", std::string(1024, 'n') + "+" + kHardwareId, "C:\\pkg",
         "C:\\Windows"},
        {"INF path over 1,023", std::string(1000, 'n') + "+" + kHardwareId,
         "C:\\" + std::string(30, 'd'), "C:\\Windows"},
    };
    if (kX86) {
        cases.push_back({"Windows directory that does not fit", kArgument, "C:\\pkg",
                         "C:\\" + std::string(1024, 'w')});
        cases.push_back({"Windows directory without a drive root", kArgument, "C:\\pkg", "C:"});
    } else {
        cases.push_back({"current directory of 1,024", kArgument,
                         "C:\\" + std::string(1021, 'd'), "C:\\Windows"});
        cases.push_back({"relaunch line over 32,767",
                         "a.inf+" + std::string(21000, '+') + std::string(12000, 'L') + "+" +
                             kHardwareId,
                         "C:\\pkg", "C:\\Windows"});
    }
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        SetUp();
        AddInstance("stale", "usbhub");
        sim::SetCurrentDirectory(c.currentDirectory);
        sim::SetWindowsDirectory(c.windowsDirectory);
        const sim::RegistrySnapshot before = sim::Snapshot();
        EXPECT_EQ(RunWithArgument(c.argument), INSTALL_FAILED);
        EXPECT_TRUE(sim::UpdateCalls().empty());
        EXPECT_TRUE(sim::CreateProcessCalls().empty());
        EXPECT_EQ(sim::Snapshot(), before);
        ExpectNothingLeft();
    }
}

struct NewdevCase {
    const char* what;
    std::string systemDirectory;
    bool present;
    bool exportsUpdate;
    const char* failing;  // operation failed with ERROR_FILE_NOT_FOUND, or nullptr
};

// newdev.dll comes from the system directory by its full path, or not at
// all: then the attempt fails with -1 (whatever error the load left) and the
// sweep still runs. Where Windows has SetDefaultDllDirectories its
// dependencies are kept to the system directory too; elsewhere the new
// flags would be refused, and the altered search order is used.
TEST_F(InstallTest, LoadsNewdevByFullPathFromTheSystemDirectoryOnly) {
    const std::vector<NewdevCase> cases = {
        {"loaded", "C:\\Windows\\system32", true, true, nullptr},
        {"another system directory", "D:\\WINNT\\System32", true, true, nullptr},
        {"no newdev.dll", "C:\\Windows\\system32", false, true, nullptr},
        {"no update in it", "C:\\Windows\\system32", true, false, nullptr},
        {"load refused", "C:\\Windows\\system32", true, true, "LoadLibraryExA"},
        {"system directory unknown", "C:\\Windows\\system32", true, true,
         "GetSystemDirectoryA"},
        {"system directory too long", "C:\\" + std::string(1020, 's'), true, true, nullptr},
    };
    for (const NewdevCase& c : cases) {
        for (bool searchFunctions : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (searchFunctions ? "" : ", older Windows"));
            sim::Reset();
            SetUp();
            sim::SetHasDllSearchFunctions(searchFunctions);
            sim::SetSystemDirectory(c.systemDirectory);
            sim::SetNewdev(c.present, c.exportsUpdate);
            if (c.failing != nullptr) {
                sim::FailOperation(c.failing, ERROR_FILE_NOT_FOUND);
            }
            AddInstance("stale", "usbhub");
            const bool loads = c.present && c.exportsUpdate && c.failing == nullptr &&
                               c.systemDirectory.size() < 1000;
            EXPECT_EQ(RunWithArgument(kArgument), loads ? INSTALL_OK : INSTALL_FAILED);
            EXPECT_EQ(sim::UpdateCalls().size(), loads ? 1u : 0u);
            EXPECT_TRUE(Instances().empty()) << "the sweep runs either way";
            for (const sim::LoadLibraryCall& call : sim::LoadLibraryCalls()) {
                EXPECT_EQ(call.fileName, c.systemDirectory + "\\newdev.dll");
                EXPECT_EQ(call.flags, searchFunctions ? DWORD{LOAD_LIBRARY_SEARCH_SYSTEM32}
                                                      : DWORD{LOAD_WITH_ALTERED_SEARCH_PATH});
                EXPECT_FALSE(call.hasFile);
            }
            EXPECT_LE(sim::LoadLibraryCalls().size(), 1u);
            ExpectNothingLeft();
        }
    }
}

TEST_F(InstallTest, LastErrorIsReadBeforeTheSweepTouchesIt) {
    for (int i = 0; i < 3; ++i) {
        AddInstance("stale" + std::to_string(i), std::nullopt);
    }
    sim::QueueUpdateOutcome({FALSE, ERROR_NO_SUCH_DEVINST, FALSE});
    EXPECT_EQ(RunWithArgument(kArgument), INSTALL_NO_DEVICE);
    EXPECT_TRUE(Instances().empty());
}

#if QUORIN_X86_BUILD

TEST_F(InstallTest, RetriesACompleteInstallOnWow64Refusal) {
    AddInstance("stale", "usbhub");
    sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    sim::QueueUpdateOutcome({TRUE, 0, TRUE});
    EXPECT_EQ(RunWithArgument(kArgument), INSTALL_OK_REBOOT);
    ASSERT_EQ(sim::UpdateCalls().size(), 2u);
    EXPECT_EQ(sim::UpdateCalls()[1].hardwareId, sim::UpdateCalls()[0].hardwareId);
    EXPECT_EQ(sim::UpdateCalls()[1].infPath, sim::UpdateCalls()[0].infPath);
    EXPECT_EQ(CountEvents("GetWindowsDirectoryA"), 2);
    EXPECT_EQ(CountEvents("RegQueryInfoKeyA") >= 2, true);
    EXPECT_EQ(sim::LoadLibraryCalls().size(), 1u) << "the second attempt reuses newdev.dll";
    EXPECT_EQ(CountEvents("FreeLibrary"), 1);
    EXPECT_TRUE(sim::CreateProcessCalls().empty());
    EXPECT_TRUE(Instances().empty());
}

TEST_F(InstallTest, SecondWow64RefusalEndsWithItsCode) {
    sim::SetDefaultUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    EXPECT_EQ(RunWithArgument(kArgument), INSTALL_IN_WOW64);
    EXPECT_EQ(sim::UpdateCalls().size(), 2u);
}

#else

sim::UpdateOutcome OutcomeGiving(int code) {
    switch (code) {
    case INSTALL_INF_NOT_FOUND:
        return {FALSE, ERROR_FILE_NOT_FOUND, FALSE};
    case INSTALL_IN_WOW64:
        return {FALSE, ERROR_IN_WOW64, FALSE};
    default:
        return {TRUE, 0, code == INSTALL_OK_REBOOT};
    }
}

// The started copy is marked, never relaunches in turn (where Windows
// refuses it too, it ends with -6), and its exit code is passed on.
TEST_F(InstallTest, RelaunchesFromTheCurrentDirectoryAndPassesTheExitCodeOn) {
    for (int childCode : {INSTALL_INF_NOT_FOUND, INSTALL_OK_REBOOT, INSTALL_OK, INSTALL_IN_WOW64}) {
        SCOPED_TRACE(childCode);
        sim::Reset();
        SetUp();
        sim::CreateKey(kDevice + " \\stale");  // the ID below ends in a blank
        sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
        sim::QueueUpdateOutcome(OutcomeGiving(childCode));
        sim::QueueUpdateOutcome({TRUE, 0, FALSE});  // what a second relaunch would get
        const std::string argument = "  my driver.inf+" + kHardwareId + " ";
        EXPECT_EQ(sim::RunProgram("\"C:\\pkg\\Quorin64.exe\"" + argument), childCode);

        ASSERT_EQ(sim::CreateProcessCalls().size(), 1u);
        const sim::CreateProcessCall& call = sim::CreateProcessCalls()[0];
        EXPECT_EQ(call.commandLine, "\"C:\\pkg\\Quorin64.exe\" my driver.inf+" + kHardwareId + " ");
        EXPECT_FALSE(call.hasApplicationName);
        EXPECT_FALSE(call.hasAttributes);
        EXPECT_FALSE(call.inheritHandles);
        EXPECT_EQ(call.creationFlags, 0u);
        EXPECT_FALSE(call.hasEnvironment);
        EXPECT_FALSE(call.hasCurrentDirectory);
        EXPECT_TRUE(call.startupRecordZeroBesidesSize);

        ASSERT_EQ(sim::Processes().size(), 2u);
        EXPECT_EQ(sim::Processes()[1].environment,
                  (std::map<std::string, std::string>{{"QUORIN64_RELAUNCHED", "1"}}));
        EXPECT_TRUE(sim::Processes()[0].environment.empty());
        const int marked = FirstEvent("SetEnvironmentVariableA");
        ASSERT_GE(marked, 0);
        EXPECT_LT(marked, FirstEvent("CreateProcessA"));
        const int unmarked = FirstEvent("SetEnvironmentVariableA", marked + 1);
        ASSERT_GT(unmarked, FirstEvent("CreateProcessA"));
        EXPECT_EQ(sim::Events()[static_cast<std::size_t>(unmarked)].detail,
                  "\"QUORIN64_RELAUNCHED\"=NULL");
        EXPECT_EQ(sim::Events()[static_cast<std::size_t>(unmarked)].process, 1);
        ASSERT_EQ(sim::UpdateCalls().size(), 2u);
        EXPECT_EQ(sim::UpdateCalls()[1].process, 2);
        EXPECT_EQ(sim::UpdateCalls()[1].hardwareId, sim::UpdateCalls()[0].hardwareId);
        EXPECT_EQ(sim::UpdateCalls()[1].infPath, sim::UpdateCalls()[0].infPath);
        // The first process swept before it started the second.
        int removal = FirstEvent("RegDeleteKeyA");
        ASSERT_GE(removal, 0);
        EXPECT_LT(removal, FirstEvent("CreateProcessA"));
        EXPECT_EQ(sim::Events()[static_cast<std::size_t>(removal)].process, 1);
        // Each process loads newdev.dll itself; the first lets go of it first.
        ASSERT_EQ(sim::LoadLibraryCalls().size(), 2u);
        EXPECT_EQ(sim::LoadLibraryCalls()[1].process, 2);
        EXPECT_LT(FirstEvent("FreeLibrary"), FirstEvent("CreateProcessA"));
        ExpectNothingLeft();
    }
}

TEST_F(InstallTest, RelaunchFromADriveRootKeepsBothBackslashes) {
    sim::SetCurrentDirectory("C:\\");
    sim::AddFile("C:\\\\Quorin64.exe");
    sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    EXPECT_EQ(RunWithArgument(kArgument), INSTALL_OK);
    ASSERT_EQ(sim::CreateProcessCalls().size(), 1u);
    EXPECT_EQ(sim::CreateProcessCalls()[0].commandLine,
              "\"C:\\\\Quorin64.exe\" " + kArgument);
}

TEST_F(InstallTest, RelaunchWithoutTheProgramInTheCurrentDirectoryFails) {
    sim::SetCurrentDirectory("D:\\elsewhere");
    sim::QueueUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
    EXPECT_EQ(RunWithArgument(kArgument), INSTALL_FAILED);
    ASSERT_EQ(sim::CreateProcessCalls().size(), 1u);
    EXPECT_FALSE(sim::CreateProcessCalls()[0].started);
    EXPECT_EQ(sim::Processes().size(), 1u);
}

struct RelaunchFailureCase {
    const char* operation;
    int exitCode;
    std::size_t processes;
};

// No made-up exit code, and no relaunch that could not be marked: a copy
// that cannot tell whether it was relaunched answers the refusal itself.
TEST_F(InstallTest, FailuresAroundTheRelaunchEndWithoutAChain) {
    const std::vector<RelaunchFailureCase> cases = {
        {"WaitForSingleObject", INSTALL_FAILED, 2},
        {"GetExitCodeProcess", INSTALL_FAILED, 2},
        {"SetEnvironmentVariableA", INSTALL_FAILED, 1},
        {"GetEnvironmentVariableA", INSTALL_IN_WOW64, 1},
    };
    for (const RelaunchFailureCase& c : cases) {
        SCOPED_TRACE(c.operation);
        sim::Reset();
        SetUp();
        sim::SetDefaultUpdateOutcome({FALSE, ERROR_IN_WOW64, FALSE});
        sim::FailOperation(c.operation, ERROR_INVALID_HANDLE);
        EXPECT_EQ(RunWithArgument(kArgument), c.exitCode);
        EXPECT_EQ(sim::Processes().size(), c.processes);
        ExpectNothingLeft();
    }
}

#endif

}  // namespace
}  // namespace quorin_test
