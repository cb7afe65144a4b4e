// Cases the fault loop found, kept on their own so that each defect stays
// fixed even if the loop's scenarios change.
#include "fault_harness.h"

#include <gtest/gtest.h>

#include <optional>

namespace quorin_fault {
namespace {

const std::string kDevice = kEnum + "\\USB\\VID_1F3A&PID_0C21";

struct ServiceQueryCase {
    const char* what;
    DWORD error;
    bool kept;
};

// Found by the loop: a "Service" query refused for want of access or memory
// made a served instance count as foreign, and it was removed. Only "no
// such value" and "too long" may make an instance foreign.
TEST(Regression, ServedInstanceWhoseServiceQueryFailsIsKept) {
    const std::vector<ServiceQueryCase> cases = {
        {"access denied", ERROR_ACCESS_DENIED, true},
        {"out of memory", ERROR_NOT_ENOUGH_MEMORY, true},
        {"key deleted meanwhile", ERROR_KEY_DELETED, true},
        {"value missing", ERROR_FILE_NOT_FOUND, false},
        {"value too long", ERROR_MORE_DATA, false},
    };
    RunSetup setup;
    setup.commandLine = "\"C:\\pkg\\Quorin64.exe\" driver.inf+USB\\VID_1F3A&PID_0C21";
    setup.sweptHardwareId = "USB\\VID_1F3A&PID_0C21";
    setup.prepare = [] {
        sim::SetString(kDevice + "\\0-served", "Service", "TALMERIX");
        sim::CreateKey(kDevice + "\\0-served\\Device Parameters");
        sim::SetString(kDevice + "\\1-stale", "Service", "usbhub");
    };
    for (const ServiceQueryCase& c : cases) {
        SCOPED_TRACE(c.what);
        const RunReport report = RunAndCheck(setup, {{"RegQueryValueExA", 1, 1, c.error}}, 10000);
        EXPECT_EQ(report.injected, 1u);
        EXPECT_EQ(sim::KeyExists(kDevice + "\\0-served"), c.kept);
        EXPECT_EQ(sim::KeyExists(kDevice + "\\0-served\\Device Parameters"), c.kept);
        EXPECT_FALSE(sim::KeyExists(kDevice + "\\1-stale"));
        if (c.kept) {
            EXPECT_TRUE(report.violations.empty()) << report.violations[0];
        }
        EXPECT_EQ(sim::Resources().heapBlocks, 0);
        EXPECT_EQ(sim::Resources().openKeys, 0);
    }
}

}  // namespace
}  // namespace quorin_fault
