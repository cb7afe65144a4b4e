#include "sim_test.h"

namespace quorin_test {

// Stands in for the program's static initialisation in each new process.
static void StartProgram() {
#if !QUORIN_X86_BUILD
    pfnIsWow64Process = LookUpIsWow64Process();
#endif
}

std::string CommandLineFor(const std::string& argument) {
    return "\"" + kProgramPath + "\" " + argument;
}

int RunWithArgument(const std::string& argument, bool underWow64) {
    return sim::RunProgram(CommandLineFor(argument), underWow64);
}

void AddInstance(const std::string& name, const std::optional<std::string>& service) {
    std::string path = kDevice + "\\" + name;
    sim::CreateKey(path);
    if (service) {
        sim::SetString(path, "Service", *service);
    }
}

std::vector<std::string> Instances() {
    return sim::KeyExists(kDevice) ? sim::SubkeyNames(kDevice) : std::vector<std::string>{};
}

bool UnchangedOutside(const sim::RegistrySnapshot& before, const std::string& subtree) {
    auto inside = [&](const std::string& path) {
        return path.size() > subtree.size() && path.compare(0, subtree.size(), subtree) == 0 &&
               path[subtree.size()] == '\\';
    };
    sim::RegistrySnapshot after = sim::Snapshot();
    for (const auto& [path, key] : before) {
        if (inside(path)) {
            continue;
        }
        auto found = after.find(path);
        if (found == after.end() || !(found->second == key)) {
            return false;
        }
    }
    for (const auto& [path, key] : after) {
        if (!inside(path) && before.count(path) == 0) {
            return false;
        }
    }
    return true;
}

int FirstEvent(const std::string& operation, std::size_t from) {
    const auto& events = sim::Events();
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].operation == operation) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CountEvents(const std::string& operation) {
    int count = 0;
    for (const auto& event : sim::Events()) {
        count += event.operation == operation ? 1 : 0;
    }
    return count;
}

void ExpectNothingLeft() {
    const sim::Accounting& used = sim::Resources();
    EXPECT_EQ(used.openKeys, 0) << "registry keys left open";
    EXPECT_EQ(used.openHandles, 0) << "handles left open";
    EXPECT_EQ(used.heapBlocks, 0) << "heap blocks not freed";
    EXPECT_EQ(used.loadedModules, 0) << "DLLs left loaded";
    EXPECT_TRUE(used.misuses.empty()) << "first misuse: "
                                      << (used.misuses.empty() ? "" : used.misuses[0]);
    EXPECT_FALSE(sim::CallLimitReached()) << "the program did not come to an end";
}

void SimTest::SetUp() {
    sim::Reset();
    sim::SetProgramImage({&StartProgram, &WinMain});
    sim::AddFile(kProgramPath);
}

void SimTest::TearDown() { ExpectNothingLeft(); }

}  // namespace quorin_test
