// Runs the whole program on the simulated machine with injected failures
// and checks, after every run, the promises that make it safe to run
// elevated: nothing left open, nothing outside the device key touched, no
// served instance removed, no key ever open to every account, no owner
// changed, no list set but a key's own or the admin-only one, no survivor
// left without its own list, at most one relaunched copy, no box where
// nobody can see it, a documented exit code, and an end within a bounded
// number of calls.
// Shared by the fault loop and the fuzz target, so it uses no test framework.
#ifndef QUORIN_TESTS_FAULT_HARNESS_H
#define QUORIN_TESTS_FAULT_HARNESS_H

#include "platform/sim/sim_machine.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorin_fault {

extern const std::string kEnum;  // System\CurrentControlSet\Enum

// Errors an operation really returns when it fails. For the "Service" query
// only failures to read are listed: "no such value" and "more data" are
// answers about the registry's content, on which the program rightly acts.
const std::vector<DWORD>& RealisticErrors(const std::string& operation);
// Every operation the simulated layer lets fail.
const std::vector<std::string>& FaultableOperations();

// One injected failure: operation "" means any call, counted by call number;
// otherwise the nth calls of that operation. last is inclusive.
struct Fault {
    std::string operation;
    std::uint64_t first = 1;
    std::uint64_t last = 1;
    DWORD error = 0;
};
constexpr std::uint64_t kForever = UINT64_MAX;

struct RunSetup {
    std::string commandLine;
    bool underWow64 = false;
    // Sets up the registry, update outcomes, directories; runs on a fresh
    // machine that already has the program and C:\pkg\Quorin64.exe.
    std::function<void()> prepare;
    // The ID whose device key the sweep may change; empty when the
    // argument names no device key, so that nothing may change at all.
    std::string sweptHardwareId;
    // Another process's change to the registry, made just before the
    // program's call number interferenceAt (0: none). What it adds or
    // removes is exempt from the checks, but an instance it adds that the
    // driver serves must stay.
    std::uint64_t interferenceAt = 0;
    std::function<void()> interference;
    // When set, every instance there from start to end that the driver does
    // not serve must be gone, except these (names below the device key),
    // which the program rightly keeps.
    bool requireSweepDone = false;
    std::vector<std::string> keptInstances;
    // The program's processes end instead of making this call (0: never):
    // killed, crashed, or the power lost. Keys it was removing may then
    // keep the admin-only list, but none may be open to every account.
    std::uint64_t endAt = 0;
    // false: nobody sees the window station (a deployment as SYSTEM), so no
    // box may show unless the question whether anyone does was failed.
    bool stationVisible = true;
};

struct RunReport {
    int exitCode = 0;
    std::uint64_t calls = 0;
    std::uint64_t injected = 0;
    int restoreHits = 0;  // injected failures that hit an access-list restore
    // Kept keys that still hold the admin-only list instead of their own.
    int survivorsWithoutOwnList = 0;
    std::vector<std::string> keysWithoutOwnList;
    bool ended = false;  // the processes were ended half-way
    std::vector<std::string> operations;  // operation of each faultable call, in order
    int errorBoxes = 0;                   // "Error" boxes shown
    std::vector<std::string> violations;
};

// "Every call from call k on fails", each operation with its first
// realistic error. ops are the operations of calls 1..k-1 of a run that
// went the same way up to k.
std::vector<Fault> PersistentFrom(std::uint64_t k, const std::vector<std::string>& operations);

// A fresh machine, the setup, the faults, one run of the program, every
// invariant checked.
RunReport RunAndCheck(const RunSetup& setup, const std::vector<Fault>& faults,
                      std::uint64_t callLimit);

// The hardware ID the documented rule cuts from an argument string, and
// whether the sweep may act on it (exactly two non-empty components, at
// most 993 characters). Written apart from the program's own code so it can judge it.
std::string HardwareIdOf(const std::string& argumentString);
bool SweepMayActOn(const std::string& hardwareId);

// "TALMERIX" in any case, within 256 bytes, up to the first zero.
bool NamesDriverService(const sim::Value& value);

// Program start-up as each simulated process runs it.
void StartProgram();

}  // namespace quorin_fault

#endif
