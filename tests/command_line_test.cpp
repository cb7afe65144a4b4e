// Cutting the argument string out of the full command line.
#include "support/sim_test.h"

namespace quorin_test {
namespace {

struct TailCase {
    const char* what;
    std::string commandLine;
    std::string argument;
};

class ArgumentStringTest : public SimTest {};

TEST_F(ArgumentStringTest, IsTheTailAfterTheProgramName) {
    const std::vector<TailCase> cases = {
        TailCase{"quoted name, one blank", "\"C:\\pkg\\Quorin64.exe\" a.inf+ID", "a.inf+ID"},
        TailCase{"blank inside the quoted name", "\"C:\\my pkg\\Q.exe\" a.inf+ID", "a.inf+ID"},
        TailCase{"plain name", "Q.exe a.inf+ID", "a.inf+ID"},
        TailCase{"two blanks and a quoted argument", "Q.exe  \"a.inf+ID\"", "\"a.inf+ID\""},
        TailCase{"tabs and control bytes are skipped", "Q.exe\t\x01\x1f a", "a"},
        TailCase{"inner and trailing blanks stay", "Q.exe my a.inf+ID ", "my a.inf+ID "},
        TailCase{"argument right after the closing quote", "\"Q.exe\"a.inf+ID", "a.inf+ID"},
        TailCase{"no argument", "Q.exe", ""},
        TailCase{"only blanks after the name", "\"Q.exe\"   ", ""},
        TailCase{"unterminated quote takes the whole line", "\"C:\\a b.exe x", ""},
        TailCase{"high bytes in a plain name", "C:\\\xE9t\xE9\\Q.exe a.inf+ID", "a.inf+ID"},
        TailCase{"high bytes in the argument", "Q.exe \xE9.inf+ID\xFF", "\xE9.inf+ID\xFF"},
        TailCase{"0xA0 is not a blank", "Q.exe \xA0x", "\xA0x"},
        TailCase{"empty command line", "", ""}};
    for (const TailCase& c : cases) {
        EXPECT_EQ(ArgumentStringFromCommandLine(c.commandLine.c_str()), c.argument) << c.what;
    }
}

TEST_F(ArgumentStringTest, LeadByteCarriesItsTrailByteInAQuotedName) {
    std::string commandLine = "\"C:\\\x81\"b.exe\" arg";
    EXPECT_STREQ(ArgumentStringFromCommandLine(commandLine.c_str()), "b.exe\" arg")
        << "without a double-byte code page the quote ends the name";
    sim::SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
    EXPECT_STREQ(ArgumentStringFromCommandLine(commandLine.c_str()), "arg");
}

TEST_F(ArgumentStringTest, LeadByteBeforeTheEndDoesNotRunPastIt) {
    sim::SetLeadByteRanges({{0x81, 0x9F}});
    std::string commandLine = "\"C:\\a\x81";
    EXPECT_STREQ(ArgumentStringFromCommandLine(commandLine.c_str()), "");
}

// MinGW's own start-up code would cut these lines differently; the program
// must not depend on it.
TEST_F(ArgumentStringTest, ProgramUsesTheUnsignedRuleWithHighBytes) {
    sim::AddFile("C:\\\xE9t\xE9\\Quorin64.exe");
    std::string argument = "dr\xE9ver.inf+" + kHardwareId + "\xFF";
    std::string commandLine = "C:\\\xE9t\xE9\\Quorin64.exe " + argument;
    ASSERT_NE(sim::MinGwArgument(commandLine), argument);

    EXPECT_EQ(sim::RunProgram(commandLine), INSTALL_OK);
    ASSERT_EQ(sim::UpdateCalls().size(), 1u);
    EXPECT_EQ(sim::UpdateCalls()[0].hardwareId, kHardwareId + "\xFF");
    if (!kX86) {
        EXPECT_EQ(sim::UpdateCalls()[0].infPath, "C:\\pkg\\dr\xE9ver.inf");
    }
}

}  // namespace
}  // namespace quorin_test
