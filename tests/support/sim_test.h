// Shared ground for tests on the simulated machine: a fresh machine per
// test, the program installed as its process image, a device registry
// helper, and the check that nothing was left open.
#ifndef QUORIN_TESTS_SIM_TEST_H
#define QUORIN_TESTS_SIM_TEST_H

#include "entry/entry.h"
#include "install/install.h"
#include "platform/sim/sim_machine.h"
#include "registry/sweep.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorin_test {

constexpr bool kX86 = QUORIN_X86_BUILD != 0;
inline const std::string kEnum = "System\\CurrentControlSet\\Enum";
inline const std::string kHardwareId = "USB\\VID_1F3A&PID_0C21";
inline const std::string kDevice = kEnum + "\\" + kHardwareId;
inline const std::string kArgument = "driver.inf+" + kHardwareId;
inline const std::string kProgramPath = "C:\\pkg\\Quorin64.exe";

// Runs the program as Windows would start it from C:\pkg.
int RunWithArgument(const std::string& argument, bool underWow64 = false);
std::string CommandLineFor(const std::string& argument);

// An instance key below the device key; without a service it has no
// "Service" value.
void AddInstance(const std::string& name, const std::optional<std::string>& service);
std::vector<std::string> Instances();

// Whether every key outside `subtree` is as it was in `before`.
bool UnchangedOutside(const sim::RegistrySnapshot& before, const std::string& subtree);

// Index of the first event of an operation from `from` on, or -1.
int FirstEvent(const std::string& operation, std::size_t from = 0);
int CountEvents(const std::string& operation);

void ExpectNothingLeft();

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace quorin_test

#endif
