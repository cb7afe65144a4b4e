// The stale-instance sweep and the removal of key trees.
#include "support/sim_test.h"

#include <algorithm>

namespace quorin_test {
namespace {

class SweepTest : public SimTest {
protected:
    void Sweep(const std::string& hardwareId = kHardwareId) {
        RemoveStaleInstances(hardwareId.c_str());
    }
};

sim::Value Bytes(DWORD type, const std::string& bytes) {
    sim::Value value;
    value.type = type;
    value.data.assign(bytes.begin(), bytes.end());
    return value;
}

struct ServiceCase {
    const char* what;
    std::optional<sim::Value> service;
    bool kept;
};

TEST_F(SweepTest, KeepsOnlyInstancesServedByTalmerix) {
    const std::string z(1, '\0');
    const std::vector<ServiceCase> cases = {
        {"upper case", Bytes(REG_SZ, "TALMERIX" + z), true},
        {"lower case", Bytes(REG_SZ, "talmerix" + z), true},
        {"mixed case", Bytes(REG_SZ, "TalMerix" + z), true},
        {"stored without terminator", Bytes(REG_SZ, "TALMERIX"), true},
        {"text after the terminator", Bytes(REG_SZ, "TALMERIX" + z + "junk"), true},
        {"longer name", Bytes(REG_SZ, "TALMERIX2" + z), false},
        {"shorter name", Bytes(REG_SZ, "TALMERI" + z), false},
        {"empty string", Bytes(REG_SZ, z), false},
        {"zero-length value", Bytes(REG_SZ, ""), false},
        {"another service", Bytes(REG_SZ, "usbhub" + z), false},
        {"a number", Bytes(REG_DWORD, std::string("\x01\0\0\0", 4)), false},
        {"256 bytes without a zero", Bytes(REG_BINARY, std::string(256, 'T')), false},
        {"does not fit 256 bytes", Bytes(REG_SZ, "TALMERIX" + z + std::string(300, 'x')), false},
        {"high byte inside", Bytes(REG_SZ, "T\xC1LMERIX" + z), false},
        {"no Service value", std::nullopt, false},
    };
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string name = "inst" + std::string(1, static_cast<char>('a' + i));
        sim::CreateKey(kDevice + "\\" + name + "\\Device Parameters");
        if (cases[i].service) {
            sim::SetValue(kDevice + "\\" + name, "Service", *cases[i].service);
        }
        if (cases[i].kept) {
            expected.push_back(name);
        }
    }
    Sweep();
    EXPECT_EQ(Instances(), expected);
}

TEST_F(SweepTest, RemovesAdjacentStaleInstancesAndKeepsServedOnesInPlace) {
    AddInstance("0000", "TALMERIX");
    AddInstance("0001", "usbhub");
    AddInstance("0002", std::nullopt);
    AddInstance("0003", "talmerix");
    AddInstance("0004", "other");
    AddInstance("0005", "other");
    Sweep();
    EXPECT_EQ(Instances(), (std::vector<std::string>{"0000", "0003"}));
}

TEST_F(SweepTest, RemovesTreesDepthFirstAndTouchesNothingElse) {
    AddInstance("a", "usbhub");
    sim::CreateKey(kDevice + "\\a\\Device Parameters\\Deep\\Leaf");
    sim::CreateKey(kDevice + "\\a\\Control");
    AddInstance("b", "TALMERIX");
    sim::CreateKey(kDevice + "\\b\\Device Parameters");
    sim::CreateKey(kEnum + "\\USB\\VID_1F3A&PID_0C22\\other");
    sim::CreateKey(kEnum + "\\USB\\VID_1F3A&PID_0C21_X\\other");
    sim::CreateKey(kEnum + "\\HID\\VID_1F3A&PID_0C21\\other");
    const sim::RegistrySnapshot before = sim::Snapshot();
    Sweep();

    std::vector<std::string> removedNames;
    for (const sim::Event& event : sim::Events()) {
        if (event.operation == "RegDeleteKeyA") {
            removedNames.push_back(event.detail);
        }
    }
    EXPECT_EQ(removedNames, (std::vector<std::string>{"\"Control\"", "\"Leaf\"", "\"Deep\"",
                                                      "\"Device Parameters\"", "\"a\""}));
    EXPECT_EQ(Instances(), std::vector<std::string>{"b"});
    EXPECT_TRUE(sim::KeyExists(kDevice + "\\b\\Device Parameters"));
    EXPECT_TRUE(UnchangedOutside(before, kDevice));
    EXPECT_TRUE(sim::KeyExists(kDevice));
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST_F(SweepTest, MissingOrEmptyDeviceKeyChangesNothing) {
    sim::CreateKey(kEnum + "\\USB");
    Sweep();
    EXPECT_EQ(CountEvents("RegQueryInfoKeyA"), 0);
    sim::CreateKey(kDevice);
    const sim::RegistrySnapshot before = sim::Snapshot();
    Sweep();
    EXPECT_EQ(sim::Snapshot(), before);
    EXPECT_EQ(CountEvents("RegEnumKeyA"), 0);
}

// IDs that would put the sweep on a bus key, on Enum itself, or on one
// instance's own subkeys (which have no "Service" value).
TEST_F(SweepTest, IgnoresIdsThatDoNotNameADeviceKey) {
    AddInstance("stale", std::nullopt);
    sim::CreateKey(kDevice + "\\stale\\LogConf");
    AddInstance("served", "TALMERIX");
    sim::CreateKey(kDevice + "\\served\\Device Parameters");
    sim::CreateKey(kEnum + "\\USB\\OTHER\\x");
    const sim::RegistrySnapshot before = sim::Snapshot();
    for (const std::string& id :
         std::vector<std::string>{"", "USB", "USB\\", "\\USB\\X", "USB\\\\X", "USB\\X\\", "\\",
                                  kHardwareId + "\\served", kHardwareId + "\\stale",
                                  kHardwareId + "\\served\\Device Parameters"}) {
        SCOPED_TRACE(id);
        Sweep(id);
    }
    EXPECT_EQ(CountEvents("RegOpenKeyA"), 0);
    EXPECT_EQ(sim::Snapshot(), before);
}

TEST_F(SweepTest, DevicePathHoldsIdsUpTo993Characters) {
    const std::string fits = "USB\\" + std::string(989, 'D');
    Sweep(fits);
    ASSERT_EQ(CountEvents("RegOpenKeyA"), 1);
    EXPECT_EQ(sim::Events()[0].detail.size(), 30 + 993 + 2u);
    Sweep(fits + "D");
    EXPECT_EQ(CountEvents("RegOpenKeyA"), 1);
}

TEST_F(SweepTest, RefusedAccessChangeShowsTheBoxOnceAndStillRemoves) {
    AddInstance("locked", "usbhub");
    sim::CreateKey(kDevice + "\\locked\\Device Parameters");
    sim::SetAccessList(kDevice + "\\locked", {true, WRITE_DAC, 7});
    AddInstance("open", std::nullopt);
    Sweep();
    EXPECT_TRUE(Instances().empty());
    ASSERT_EQ(sim::MessageBoxes().size(), 1u);
    const sim::MessageBoxShown& box = sim::MessageBoxes()[0];
    EXPECT_FALSE(box.hasOwner);
    EXPECT_EQ(box.text, "Can't perform registry operation, driver install not complete.");
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.type, MB_OK);
}

// Each removed key first gets the admin-only list, never one that is open
// to every account, and its owner stays.
TEST_F(SweepTest, GivesEachKeyTheAdminOnlyListBeforeRemoving) {
    AddInstance("guarded", "usbhub");
    sim::SetAccessList(kDevice + "\\guarded", {true, DELETE, 3});
    sim::CreateKey(kDevice + "\\guarded\\Device Parameters");
    Sweep();
    EXPECT_TRUE(Instances().empty());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    std::vector<std::string> paths;
    for (const sim::AccessListSet& set : sim::AccessListsSet()) {
        EXPECT_EQ(set.accessList, sim::AdminOnlyAccessList()) << set.path;
        paths.push_back(set.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{kDevice + "\\guarded",
                                               kDevice + "\\guarded\\Device Parameters"}));
    EXPECT_EQ(CountEvents("InitializeAcl"), 1) << "one list for the whole sweep";
}

// Where the admin-only list cannot be built, no list is changed at all: each
// key raises the box, and removal is tried as for a key whose list is locked.
TEST_F(SweepTest, ListThatCannotBeBuiltChangesNoList) {
    for (const char* operation : {"InitializeAcl", "AddAccessAllowedAce", "SetSecurityDescriptorDacl",
                                  "SetSecurityDescriptorControl"}) {
        SCOPED_TRACE(operation);
        sim::Reset();
        SetUp();
        AddInstance("stale", "usbhub");
        sim::SetAccessList(kDevice + "\\stale", {true, 0, 8});
        AddInstance("sealed", "usbhub");
        sim::SetAccessList(kDevice + "\\sealed", {true, DELETE, 9});
        sim::FailOperation(operation, ERROR_INVALID_PARAMETER, 1, -1);
        Sweep();
        EXPECT_EQ(Instances(), std::vector<std::string>{"sealed"});
        EXPECT_EQ(sim::GetAccessList(kDevice + "\\sealed"), (sim::AccessList{true, DELETE, 9}));
        EXPECT_TRUE(sim::AccessListsSet().empty());
        EXPECT_EQ(sim::MessageBoxes().size(), 2u);
        ExpectNothingLeft();
    }
}

// A key that survives its removal is stepped over, keeps its original
// access list, and the rest is still removed.
TEST_F(SweepTest, SurvivingKeysEndTheLoopsWithTheirAccessListsBack) {
    AddInstance("a-survivor", "usbhub");
    sim::CreateKey(kDevice + "\\a-survivor\\child");
    sim::RefuseRemoval(kDevice + "\\a-survivor");
    sim::SetAccessList(kDevice + "\\a-survivor", {true, 0, 11});
    AddInstance("b-deep", std::nullopt);
    sim::CreateKey(kDevice + "\\b-deep\\one\\stuck");
    sim::CreateKey(kDevice + "\\b-deep\\one\\gone");
    sim::CreateKey(kDevice + "\\b-deep\\two");
    sim::RefuseRemoval(kDevice + "\\b-deep\\one\\stuck");
    sim::SetAccessList(kDevice + "\\b-deep\\one\\stuck", {true, WRITE_DAC, 12});
    sim::SetAccessList(kDevice + "\\b-deep", {true, 0, 13});
    AddInstance("c-stale", "other");

    Sweep();
    EXPECT_EQ(Instances(), (std::vector<std::string>{"a-survivor", "b-deep"}));
    EXPECT_FALSE(sim::KeyExists(kDevice + "\\a-survivor\\child"));
    EXPECT_EQ(sim::SubkeyNames(kDevice + "\\b-deep"), std::vector<std::string>{"one"});
    EXPECT_EQ(sim::SubkeyNames(kDevice + "\\b-deep\\one"), std::vector<std::string>{"stuck"});
    EXPECT_EQ(sim::GetAccessList(kDevice + "\\a-survivor"), (sim::AccessList{true, 0, 11}));
    EXPECT_EQ(sim::GetAccessList(kDevice + "\\b-deep"), (sim::AccessList{true, 0, 13}));
    EXPECT_EQ(sim::GetAccessList(kDevice + "\\b-deep\\one"), sim::AccessList{});
    EXPECT_EQ(sim::GetAccessList(kDevice + "\\b-deep\\one\\stuck"),
              (sim::AccessList{true, WRITE_DAC, 12}));
    EXPECT_EQ(sim::MessageBoxes().size(), 1u) << "one box for the one locked key";
}

struct KeptCase {
    const char* what;
    const char* operation;
    int nth;
};

// When the key query, the access-list copy or an open fails, the key is
// left exactly as it was.
TEST_F(SweepTest, KeyThatCannotBeExaminedIsLeftAsItWas) {
    const std::vector<KeptCase> cases = {
        {"instance open", "RegOpenKeyA", 2},
        {"subkey open", "RegOpenKeyA", 3},
        {"key query", "RegQueryInfoKeyA", 2},
        {"subkey removal", "RegDeleteKeyA", 1},
    };
    for (const KeptCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        SetUp();
        AddInstance("stale", "usbhub");
        sim::SetAccessList(kDevice + "\\stale", {true, 0, 21});
        sim::CreateKey(kDevice + "\\stale\\Device Parameters");
        sim::SetAccessList(kDevice + "\\stale\\Device Parameters", {true, 0, 22});
        const sim::RegistrySnapshot before = sim::Snapshot();
        sim::FailOperation(c.operation, ERROR_ACCESS_DENIED, c.nth);
        Sweep();
        EXPECT_EQ(sim::Snapshot(), before);
        EXPECT_EQ(sim::InjectedFailures(), 1u);
        ExpectNothingLeft();
    }
}

TEST_F(SweepTest, UnreadableAccessListIsNotTakenAwayButRemovalIsTried) {
    AddInstance("stale", "usbhub");
    sim::SetAccessList(kDevice + "\\stale", {true, READ_CONTROL, 5});
    Sweep();
    EXPECT_TRUE(Instances().empty());
    EXPECT_EQ(CountEvents("RegSetKeySecurity"), 0);
    EXPECT_EQ(sim::MessageBoxes().size(), 1u);
}

// Wine reports no descriptor length at all; a length that is too small must
// not cost the key its access-list change either.
TEST_F(SweepTest, AccessListIsReadWhateverLengthTheKeyQueryReports) {
    for (DWORD reported : {0u, 8u}) {
        SCOPED_TRACE(reported);
        sim::Reset();
        SetUp();
        sim::SetReportedDescriptorLength(reported);
        AddInstance("stale", "usbhub");
        sim::CreateKey(kDevice + "\\stale\\Device Parameters");
        sim::SetAccessList(kDevice + "\\stale", {true, DELETE, 4});
        Sweep();
        EXPECT_TRUE(Instances().empty());
        EXPECT_TRUE(sim::MessageBoxes().empty());
        EXPECT_EQ(CountEvents("RegSetKeySecurity"), 2);
        EXPECT_EQ(CountEvents("RegGetKeySecurity"), reported == 0 ? 2 : 4);
        ExpectNothingLeft();
    }
}

// However the heap runs out, a key is never removed because of it, and a
// served instance never.
TEST_F(SweepTest, AllocationFailuresNeverCauseARemoval) {
    auto build = [] {
        AddInstance("0-served", "TALMERIX");
        AddInstance("1-stale", std::nullopt);
        sim::CreateKey(kDevice + "\\1-stale\\Device Parameters\\Leaf");
        AddInstance("2-stale", "other");
        sim::SetAccessList(kDevice + "\\2-stale", {true, 0, 9});
    };
    build();
    Sweep();
    const int allocations = CountEvents("HeapAlloc");
    ASSERT_GT(allocations, 8);
    for (int nth = 1; nth <= allocations; ++nth) {
        SCOPED_TRACE(nth);
        sim::Reset();
        SetUp();
        build();
        const sim::RegistrySnapshot before = sim::Snapshot();
        sim::FailOperation("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, nth);
        Sweep();
        EXPECT_TRUE(sim::KeyExists(kDevice + "\\0-served"));
        for (const auto& [path, key] : sim::Snapshot()) {
            auto original = before.find(path);
            ASSERT_NE(original, before.end());
            EXPECT_EQ(key.accessList, original->second.accessList) << path;
        }
        ExpectNothingLeft();
    }
}

TEST_F(SweepTest, MissingValueBufferKeepsThatInstanceOnly) {
    AddInstance("a", "other");
    AddInstance("b", "other");
    sim::FailOperation("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 2);  // a's value buffer
    Sweep();
    EXPECT_EQ(Instances(), std::vector<std::string>{"a"});
}

}  // namespace
}  // namespace quorin_test
