// libFuzzer target: the whole program, from its command line, on the
// simulated machine. The input decides the command line bytes, the registry
// tree below the device key (names, depth, "Service" values of any type and
// length, access lists, refused removals), the driver update's answers and
// which platform calls fail. Every invariant of the fault loop is an
// assertion here: a violation prints what happened and aborts.
//
// Input layout (read from the front; an input that runs out reads zeros),
// written by make_seeds.py for the seed corpus:
//   flags                     bit 0 under WOW64, 1 no IsWow64Process,
//                             2 no Quorin64.exe to relaunch, 3 raw command
//                             line, 4 tree at the usual device key instead of
//                             the argument's, 5 long current directory,
//                             6 tab after the program name
//   outcomes: n%4, n bytes    bit 0 success, bits 1-3 last error, bit 4 restart
//   [word]                    current directory length, with flag 5
//   text                      the argument (or the whole command line)
//   instances: n%8, n keys    key = name (1-32 or 200-255 bytes), attributes,
//                             [value], [access list],
//                             children (up to four levels)
//   faults: n%5, n faults     operation, nth, mode; 0xFF: all calls from a word on
#include "fault_harness.h"

#include "entry/entry.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using quorin_fault::Fault;

const std::string kUsualId = "USB\\VID_1F3A&PID_0C21";
constexpr std::size_t kMostKeys = 48;
constexpr int kDeepest = 4;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t Word() {
        std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Runs of one byte reach the length limits (1,024, 32,767) from a short
// input; literal bytes give the shape. A zero byte cannot be in a command
// line, so it stands for a backslash.
std::string Text(Input* in) {
    std::string text;
    int segments = in->Byte() % 16;
    for (int i = 0; i < segments; ++i) {
        std::uint8_t tag = in->Byte();
        if (tag & 0x80) {
            std::uint8_t c = in->Byte();
            std::size_t length = (tag & 0x40) ? in->Word() % 40000u : in->Byte();
            text.append(length, c == 0 ? '\\' : static_cast<char>(c));
        } else {
            for (int n = tag & 0x3F; n > 0; --n) {
                std::uint8_t c = in->Byte();
                text.push_back(c == 0 ? '\\' : static_cast<char>(c));
            }
        }
    }
    return text;
}

// The program's argument by the documented unsigned rule, worked out apart
// from the program (no double-byte code page is set here).
std::string ArgumentOf(const std::string& commandLine) {
    std::size_t at = 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(commandLine[i]); };
    if (!commandLine.empty() && commandLine[0] == '"') {
        std::size_t close = commandLine.find('"', 1);
        at = close == std::string::npos ? commandLine.size() : close + 1;
    } else {
        while (at < commandLine.size() && byte(at) > 32) {
            ++at;
        }
    }
    while (at < commandLine.size() && byte(at) <= 32) {
        ++at;
    }
    return commandLine.substr(at);
}

// A path the simulated registry can hold: non-empty names of at most 255.
bool CanHold(const std::string& id) {
    if (id.empty()) {
        return false;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = id.find('\\', start);
        std::size_t length = (end == std::string::npos ? id.size() : end) - start;
        if (length == 0 || length > 255) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::string Name(Input* in) {
    std::uint8_t shape = in->Byte();
    std::size_t length = (shape & 0x80) ? 200 + shape % 56 : 1 + shape % 32;
    std::string name;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t c = in->Byte();
        name.push_back(c == 0 || c == '\\' ? static_cast<char>('0' + i % 10) : static_cast<char>(c));
    }
    return name;
}

sim::Value ServiceValue(Input* in) {
    static const DWORD kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ,
                                   REG_NONE};
    std::uint8_t kind = in->Byte();
    std::uint8_t type = in->Byte();
    sim::Value value;
    value.type = type < 0xF0 ? kTypes[type % 6] : type;
    std::string text;
    switch (kind % 8) {
    case 0: text = std::string("TALMERIX", 9); break;
    case 1: text = std::string("talmerix", 9); break;
    case 2: {
        std::uint8_t pattern = in->Byte();
        text = "TALMERIX";
        for (int i = 0; i < 8; ++i) {
            if (pattern & (1 << i)) {
                text[static_cast<std::size_t>(i)] =
                    static_cast<char>(text[static_cast<std::size_t>(i)] - 'A' + 'a');
            }
        }
        text.push_back('\0');
        break;
    }
    case 3: text = "TALMERIX"; break;  // no terminator
    case 4: {
        text = std::string("TALMERIX", 9);
        for (int n = in->Byte() % 16; n > 0; --n) {
            text.push_back(static_cast<char>(in->Byte()));
        }
        break;
    }
    case 5: {
        std::size_t length = in->Word() % 300;
        std::uint8_t fill = in->Byte();
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(static_cast<char>(i < 16 ? in->Byte() : fill));
        }
        break;
    }
    case 6: break;  // zero length
    default: text = "TALMERIX" + std::string(1, static_cast<char>(in->Byte())) + '\0'; break;
    }
    value.data.assign(text.begin(), text.end());
    return value;
}

std::uint32_t Denied(std::uint8_t bits) {
    std::uint32_t denied = 0;
    const std::uint32_t rights[] = {KEY_QUERY_VALUE, KEY_ENUMERATE_SUB_KEYS, DELETE,
                                    READ_CONTROL, WRITE_DAC, sim::ALL_KEY_RIGHTS};
    for (int i = 0; i < 6; ++i) {
        if (bits & (1 << i)) {
            denied |= rights[i];
        }
    }
    return denied;
}

// One key of the tree, read from the input before the run and made on the
// fresh machine by the run's set-up.
struct KeySpec {
    std::string path;
    std::string serviceName;  // empty: no "Service" value
    sim::Value service;
    bool driverValue = false;
    bool hasAccessList = false;
    sim::AccessList accessList;
    bool refuseRemoval = false;
};

void Key(Input* in, const std::string& parent, int depth, std::vector<KeySpec>* keys) {
    if (keys->size() >= kMostKeys) {
        return;
    }
    KeySpec key;
    key.path = parent + "\\" + Name(in);
    std::uint8_t attributes = in->Byte();
    if (attributes & 0x01) {
        key.serviceName = (attributes & 0x40) ? "service" : "Service";
        key.service = ServiceValue(in);
    }
    key.driverValue = (attributes & 0x02) != 0;
    if (attributes & 0x04) {
        std::uint8_t list = in->Byte();
        key.hasAccessList = true;
        // A key without a list (bit 7) has nothing to deny or to tell apart.
        key.accessList = (list & 0x80) != 0
                             ? sim::AccessList{false, 0, 0}
                             : sim::AccessList{true, Denied(list),
                                               static_cast<std::uint32_t>(keys->size() + 1)};
    }
    key.refuseRemoval = (attributes & 0x08) != 0;
    keys->push_back(key);
    int children = depth < kDeepest ? (attributes >> 4) % 4 : 0;
    for (int i = 0; i < children; ++i) {
        Key(in, key.path, depth + 1, keys);
    }
}

void Make(const KeySpec& key) {
    sim::CreateKey(key.path);
    if (!key.serviceName.empty()) {
        sim::SetValue(key.path, key.serviceName, key.service);
    }
    if (key.driverValue) {
        sim::SetString(key.path, "Driver", "{4d36e96c}\\0001");
    }
    if (key.hasAccessList) {
        sim::SetAccessList(key.path, key.accessList);
    }
    if (key.refuseRemoval) {
        sim::RefuseRemoval(key.path);
    }
}

std::vector<Fault> Faults(Input* in) {
    const std::vector<std::string>& operations = quorin_fault::FaultableOperations();
    std::vector<Fault> faults;
    int count = in->Byte() % 5;
    for (int i = 0; i < count; ++i) {
        std::uint8_t which = in->Byte();
        if (which == 0xFF) {
            // Everything from one call on, each call with its own usual error.
            faults.push_back({"", 1u + in->Word() % 4096u, quorin_fault::kForever, 0});
            continue;
        }
        const std::string& operation = operations[which % operations.size()];
        std::uint64_t nth = 1u + in->Byte() % 64u;
        std::uint8_t mode = in->Byte();
        const std::vector<DWORD>& errors = quorin_fault::RealisticErrors(operation);
        std::uint64_t last = mode % 4 == 3 ? quorin_fault::kForever : nth + mode % 4;
        faults.push_back({operation, nth, last, errors[(mode >> 2) % errors.size()]});
    }
    return faults;
}

// With QUORIN_FUZZ_DESCRIBE set, says what an input decoded to and how the
// run went: for reading a crash input or checking the seeds.
void Describe(const quorin_fault::RunSetup& setup, const std::vector<KeySpec>& keys,
              const std::vector<Fault>& faults, const quorin_fault::RunReport& report) {
    const std::string argument = ArgumentOf(setup.commandLine);
    std::fprintf(stderr, "argument: %zu bytes \"%.100s\"\nswept ID: %zu bytes \"%.100s\"\n",
                 argument.size(), argument.c_str(), setup.sweptHardwareId.size(),
                 setup.sweptHardwareId.c_str());
    for (const KeySpec& key : keys) {
        std::fprintf(stderr, "key: %.120s%s%s%s\n", key.path.c_str(),
                     key.serviceName.empty() ? "" : " +Service",
                     key.hasAccessList ? " +list" : "", key.refuseRemoval ? " +refused" : "");
    }
    for (const Fault& fault : faults) {
        std::fprintf(stderr, "fault: %s %llu..%llu error %u\n",
                     fault.operation.empty() ? "call" : fault.operation.c_str(),
                     static_cast<unsigned long long>(fault.first),
                     static_cast<unsigned long long>(fault.last), fault.error);
    }
    std::fprintf(stderr, "exit %d after %llu calls, %llu failed, %zu update(s), %zu key(s) left\n",
                 report.exitCode, static_cast<unsigned long long>(report.calls),
                 static_cast<unsigned long long>(report.injected), sim::UpdateCalls().size(),
                 sim::Snapshot().size());
}

[[noreturn]] void Report(const quorin_fault::RunSetup& setup, const std::vector<KeySpec>& keys,
                         const std::vector<Fault>& faults,
                         const quorin_fault::RunReport& report) {
    std::fprintf(stderr, "invariant broken\n");
    Describe(setup, keys, faults, report);
    for (const std::string& violation : report.violations) {
        std::fprintf(stderr, "  %s\n", violation.c_str());
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t flags = in.Byte();
    std::vector<sim::UpdateOutcome> outcomes;
    static const DWORD kLastErrors[] = {0, ERROR_FILE_NOT_FOUND, ERROR_INVALID_FLAGS,
                                        ERROR_NO_SUCH_DEVINST, ERROR_IN_WOW64,
                                        ERROR_ACCESS_DENIED, 0, ERROR_IN_WOW64};
    for (int n = in.Byte() % 4; n > 0; --n) {
        std::uint8_t b = in.Byte();
        outcomes.push_back({static_cast<BOOL>(b & 1), kLastErrors[(b >> 1) % 8],
                            static_cast<BOOL>((b >> 4) & 1)});
    }
    std::string directory = "C:\\pkg";
    if (flags & 0x20) {
        directory = "C:\\" + std::string(in.Word() % 2100u, 'd');
    }
    const std::string text = Text(&in);
    quorin_fault::RunSetup setup;
    setup.commandLine =
        (flags & 0x08) ? text
                       : "\"C:\\pkg\\Quorin64.exe\"" + std::string((flags & 0x40) ? "\t" : " ") +
                             text;
    setup.underWow64 = (flags & 0x01) != 0;
    const std::string hardwareId = quorin_fault::HardwareIdOf(ArgumentOf(setup.commandLine));
    setup.sweptHardwareId = hardwareId;
    const std::string treeId = (flags & 0x10) ? kUsualId : hardwareId;
    std::vector<KeySpec> keys;
    const bool hasTree = CanHold(treeId);
    const std::string device = quorin_fault::kEnum + "\\" + treeId;
    for (int n = in.Byte() % 8; hasTree && n > 0; --n) {
        Key(&in, device, 0, &keys);
    }
    const std::vector<Fault> faults = Faults(&in);

    setup.prepare = [&] {
        sim::SetHasIsWow64Process((flags & 0x02) == 0);
        sim::SetStartedProcessesUnderWow64(setup.underWow64);
        sim::SetCurrentDirectory(directory);
        if ((flags & 0x04) == 0) {
            sim::AddFile(directory + "\\Quorin64.exe");
        }
        for (const sim::UpdateOutcome& outcome : outcomes) {
            sim::QueueUpdateOutcome(outcome);
        }
        // Neighbours that nothing may touch.
        sim::SetString(quorin_fault::kEnum + "\\USB\\VID_1F3A&PID_0C22\\0000", "Service", "x");
        sim::CreateKey(quorin_fault::kEnum + "\\HID\\X\\0000");
        if (hasTree) {
            sim::CreateKey(device);
        }
        for (const KeySpec& key : keys) {
            Make(key);
        }
    };

    // Each install walks every key a bounded number of times; the x86 retry
    // and a chain of relaunches (at most eight processes deep here) repeat it.
    const std::uint64_t limit = 9 * (40 * (keys.size() + 2) + 200);
    const quorin_fault::RunReport report = quorin_fault::RunAndCheck(setup, faults, limit);
    if (!report.violations.empty()) {
        Report(setup, keys, faults, report);
    }
    if (std::getenv("QUORIN_FUZZ_DESCRIBE") != nullptr) {
        Describe(setup, keys, faults, report);
    }
    // The update always gets the ID the documented rule cuts out.
    for (const sim::UpdateCall& call : sim::UpdateCalls()) {
        if (call.hardwareId != hardwareId) {
            quorin_fault::RunReport wrong = report;
            wrong.violations.push_back("update asked for \"" + call.hardwareId.substr(0, 80) +
                                       "\"");
            Report(setup, keys, faults, wrong);
        }
    }
    return 0;
}
