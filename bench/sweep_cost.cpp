// What the sweep costs on the simulated Windows layer: platform calls per
// removed key for a device with many stale instances, and the most heap
// blocks and open keys held at once for stale trees of a given depth.
//
//   sweep_cost instances N   one served and N stale instances, each with two
//                            levels of subkeys and a few values
//   sweep_cost depth D       one stale instance D keys deep
//
// Prints one line of key=value figures. Under callgrind, collect only
// RemoveStaleInstances to count the sweep's instructions.
#include "platform/sim/sim_machine.h"
#include "registry/sweep.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const std::string kHardwareId = "USB\\VID_1F3A&PID_0C21";
const std::string kDevice = "System\\CurrentControlSet\\Enum\\" + kHardwareId;

int AddStaleInstance(const std::string& name) {
    const std::string instance = kDevice + "\\" + name;
    const std::string parameters = instance + "\\Device Parameters";
    const std::string management = parameters + "\\Interrupt Management";
    sim::SetString(instance, "Service", "usbhub");
    sim::SetString(instance, "Driver", "{36fc9e60-c465-11cf-8056-444553540000}\\0001");
    sim::SetString(parameters, "SymbolicName", "\\??\\USB#" + name);
    sim::SetString(management, "MessageNumberLimit", "8");
    return 3;
}

int BuildWideDevice(int instances) {
    sim::SetString(kDevice + "\\0000-served", "Service", "TALMERIX");
    int keys = 0;
    char name[32];
    for (int i = 0; i < instances; ++i) {
        std::snprintf(name, sizeof name, "%06d", i + 1);
        keys += AddStaleInstance(name);
    }
    return keys;
}

int BuildDeepInstance(int depth) {
    std::string path = kDevice + "\\stale";
    for (int level = 1; level < depth; ++level) {
        path += "\\level" + std::to_string(level);
    }
    sim::CreateKey(path);
    return depth;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "instances") != 0 &&
                      std::strcmp(argv[1], "depth") != 0)) {
        std::fprintf(stderr, "usage: %s instances N | depth D\n", argv[0]);
        return 2;
    }
    const int size = std::atoi(argv[2]);
    sim::Reset();
    const int keys = std::strcmp(argv[1], "instances") == 0 ? BuildWideDevice(size)
                                                            : BuildDeepInstance(size);
    const std::uint64_t callsBefore = sim::CallCount();
    RemoveStaleInstances(kHardwareId.c_str());
    const std::uint64_t calls = sim::CallCount() - callsBefore;

    const sim::Accounting& used = sim::Resources();
    const bool clean = sim::SubkeyNames(kDevice).size() ==
                           (std::strcmp(argv[1], "instances") == 0 ? 1u : 0u) &&
                       used.openKeys == 0 && used.heapBlocks == 0 && used.misuses.empty();
    std::printf("keys=%d calls=%llu calls_per_key=%.3f peak_heap_blocks=%d peak_open_keys=%d "
                "clean=%d\n",
                keys, static_cast<unsigned long long>(calls),
                static_cast<double>(calls) / keys, used.peakHeapBlocks, used.peakOpenKeys,
                clean ? 1 : 0);
    return clean ? 0 : 1;
}
