// Malformed, over-long and odd arguments, through the whole program from
// its command line: the exit code, whether the update was asked for, and
// what changed in the registry (for a refusal: nothing).
#include "fault_harness.h"
#include "support/sim_test.h"

#include <optional>

namespace quorin_test {
namespace {

const std::string kProgram = "\"" + kProgramPath + "\"";
const std::string kX86Folder =
    "Program Files\\Common Files\\VID_1F3A&PID_0C21\\Salvenport\\QarnoD217";

// A hardware ID of exactly `length` characters whose components fit the
// registry's 255-character names, so that its device key can exist.
std::string LongId(std::size_t length) {
    std::string id = "USB";
    char letter = 'A';
    while (length - id.size() > 251) {
        id += "\\" + std::string(250, letter++);
    }
    return id + "\\" + std::string(length - id.size() - 1, letter);
}

std::string HighBytes() {
    std::string bytes;
    for (int b = 0x80; b <= 0xFF; ++b) {
        bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

struct BadInputRow {
    std::string what;
    std::string commandLine;
    std::string currentDirectory;
    int exitCode;
    bool updated;
    // A device key made for this row, with a stale instance "stale".
    std::optional<std::string> rowDevice;
    // Instances expected gone afterwards; none for "nothing changed".
    std::vector<std::string> removed;
    std::size_t infPathLength = 0;  // checked when not 0
};

BadInputRow Row(const std::string& what, const std::string& argument, int exitCode, bool updated,
                std::optional<std::string> rowDevice = std::nullopt,
                std::vector<std::string> removed = {}) {
    return {what, kProgram + " " + argument, "C:\\pkg", exitCode, updated, rowDevice, removed};
}

std::string StaleOf(const std::string& hardwareId) {
    return kEnum + "\\" + hardwareId + "\\stale";
}

std::vector<BadInputRow> Rows() {
    const std::string stale = kDevice + "\\stale";
    const std::string inf = "driver.inf+";
    // The longest INF name whose path still fits 1,023 characters.
    const std::size_t fittingInfName = kX86 ? 1023 - 3 - kX86Folder.size() : 1023 - 7;
    BadInputRow fitting = Row("INF name as long as fits",
                              std::string(fittingInfName, 'n') + "+" + kHardwareId, INSTALL_OK,
                              true, std::nullopt, {stale});
    fitting.infPathLength = 1023;
    std::vector<BadInputRow> rows = {
        {"no argument", kProgram, "C:\\pkg", INSTALL_FAILED, false, std::nullopt, {}},
        {"only blanks, tabs and control bytes", kProgram + " \t\x01\x1f ", "C:\\pkg",
         INSTALL_FAILED, false, std::nullopt, {}},
        Row("+", "+", INSTALL_FAILED, false),
        Row("INF name only", "a.inf", INSTALL_FAILED, false),
        Row("hardware ID only", "+" + kHardwareId, INSTALL_FAILED, false),
        Row("nothing after the +", "a.inf+", INSTALL_FAILED, false),
        Row("bus name only", "a.inf+USB", INSTALL_OK, true),
        Row("trailing backslash", "a.inf+USB\\", INSTALL_OK, true),
        Row("leading backslash", "a.inf+\\USB\\X", INSTALL_OK, true, "USB\\X"),
        Row("empty component", "a.inf+USB\\\\X", INSTALL_OK, true, "USB\\X"),
        // Device keys sit exactly two levels below Enum: a deeper ID, such as
        // an instance path given by mistake, never makes the sweep act.
        // (A subkey of the served instance that looks stale, so that a sweep
        // acting below it would show.)
        Row("ID naming a served instance", inf + kHardwareId + "\\served", INSTALL_OK, true,
            kHardwareId + "\\served"),
        Row("ID naming a stale instance", inf + kHardwareId + "\\stale", INSTALL_OK, true),
        Row("ID of two components of 255", inf + "USB\\" + std::string(255, 'T'), INSTALL_OK, true,
            "USB\\" + std::string(255, 'T'), {StaleOf("USB\\" + std::string(255, 'T'))}),
        Row("ID of 993", inf + LongId(993), INSTALL_OK, true, LongId(993)),
        Row("ID of 994", inf + LongId(994), INSTALL_OK, true, LongId(994)),
        Row("ID of 1,023", inf + LongId(1023), INSTALL_OK, true, LongId(1023)),
        Row("ID of 1,024", inf + LongId(1024), INSTALL_FAILED, false, LongId(1024)),
        Row("ID of 100,000", inf + std::string(100000, 'I'), INSTALL_FAILED, false),
        fitting,
        Row("INF name one too long", std::string(fittingInfName + 1, 'n') + "+" + kHardwareId,
            INSTALL_FAILED, false),
        Row("INF name of 1,023", std::string(1023, 'n') + "+" + kHardwareId, INSTALL_FAILED,
            false),
        Row("INF name of 1,024", std::string(1024, 'n') + "+" + kHardwareId, INSTALL_FAILED,
            false),
        Row("bytes 0x80-0xFF", HighBytes() + ".inf+USB\\VID_\x80\xA0\xFF", INSTALL_OK, true,
            "USB\\VID_\x80\xA0\xFF", {StaleOf("USB\\VID_\x80\xA0\xFF")}),
        Row("quoted argument", "\"driver.inf+" + kHardwareId + "\"", INSTALL_OK, true,
            kHardwareId + "\"", {StaleOf(kHardwareId + "\"")}),
        {"tabs around the argument", kProgram + "\t\tdriver.inf+" + kHardwareId + "\t", "C:\\pkg",
         INSTALL_OK, true, kHardwareId + "\t", {StaleOf(kHardwareId + "\t")}},
        Row("control bytes in the ID", "driver.inf+USB\x01\\VID\x7f", INSTALL_OK, true,
            "USB\x01\\VID\x7f", {StaleOf("USB\x01\\VID\x7f")}),
        Row("control bytes in the INF name", "\x01\x02\x1b.inf+" + kHardwareId, INSTALL_OK, true,
            std::nullopt, {stale}),
    };
    // The x64 program looks for the INF file in the current directory; the
    // x86 program never reads it.
    const std::vector<std::size_t> directories = {1012, 1013, 1023, 1024, 5000};
    for (std::size_t length : directories) {
        BadInputRow row = Row("current directory of " + std::to_string(length),
                              "driver.inf+" + kHardwareId, INSTALL_OK, true, std::nullopt,
                              {stale});
        row.currentDirectory = "C:\\" + std::string(length - 3, 'd');
        if (!kX86 && length > 1012) {
            row.exitCode = INSTALL_FAILED;
            row.updated = false;
            row.removed.clear();
        }
        if (!kX86 && length == 1012) {
            row.infPathLength = 1023;
        }
        rows.push_back(row);
    }
    return rows;
}

class BadInputTest : public SimTest {};

TEST_F(BadInputTest, EachRowEndsAsDocumentedAndChangesOnlyWhatItShould) {
    for (const BadInputRow& row : Rows()) {
        SCOPED_TRACE(row.what);
        sim::Reset();
        SetUp();
        AddInstance("served", "TALMERIX");
        sim::CreateKey(kDevice + "\\served\\Device Parameters");
        AddInstance("stale", "usbhub");
        sim::CreateKey(kDevice + "\\stale\\Device Parameters");
        // A bus key whose devices have no "Service" value: a sweep that
        // took a bus name for a device key would remove them all.
        sim::CreateKey(kEnum + "\\USB\\VID_1F3A&PID_0C22\\0000");
        sim::CreateKey(kEnum + "\\HID\\X\\0000");
        if (row.rowDevice) {
            sim::SetString(StaleOf(*row.rowDevice), "Service", "usbhub");
            sim::SetString(kEnum + "\\" + *row.rowDevice + "\\served", "Service", "TALMERIX");
        }
        sim::SetCurrentDirectory(row.currentDirectory);
        const sim::RegistrySnapshot before = sim::Snapshot();

        EXPECT_EQ(sim::RunProgram(row.commandLine), row.exitCode);
        EXPECT_EQ(sim::UpdateCalls().size(), row.updated ? 1u : 0u);
        if (row.updated && !sim::UpdateCalls().empty()) {
            const std::string argument = ArgumentStringFromCommandLine(row.commandLine.c_str());
            EXPECT_EQ(sim::UpdateCalls()[0].hardwareId, quorin_fault::HardwareIdOf(argument));
            if (row.infPathLength != 0) {
                EXPECT_EQ(sim::UpdateCalls()[0].infPath.size(), row.infPathLength);
            }
        }
        sim::RegistrySnapshot expected = before;
        for (const std::string& instance : row.removed) {
            for (auto it = expected.begin(); it != expected.end();) {
                bool below = it->first.compare(0, instance.size(), instance) == 0 &&
                             (it->first.size() == instance.size() ||
                              it->first[instance.size()] == '\\');
                it = below ? expected.erase(it) : std::next(it);
            }
        }
        if (!row.removed.empty()) {
            ASSERT_LT(expected.size(), before.size()) << "the row names no key that exists";
        }
        EXPECT_EQ(sim::Snapshot(), expected);
        EXPECT_TRUE(sim::CreateProcessCalls().empty());
        ExpectNothingLeft();
    }
}

}  // namespace
}  // namespace quorin_test
