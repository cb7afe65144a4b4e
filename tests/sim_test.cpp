// The simulated layer must be at least as strict as Windows, or the other
// tests would pass where Windows fails.
#include "support/sim_test.h"

namespace quorin_test {
namespace {

class SimulationTest : public SimTest {
protected:
    HKEY Open(const std::string& path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS) << path;
        return key;
    }
};

TEST_F(SimulationTest, RemovesOnlyKeysWithoutSubkeys) {
    sim::CreateKey("A\\B");
    HKEY a = Open("A");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(a, "B"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(a, "B"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "a"), ERROR_SUCCESS);
    EXPECT_FALSE(sim::KeyExists("A"));
}

TEST_F(SimulationTest, NamesAreCaseInsensitiveAndEnumeratedInOrder) {
    sim::CreateKey("K\\beta");
    sim::CreateKey("K\\Alpha");
    sim::CreateKey("K\\BETA");
    HKEY key = Open("k");
    char name[6];
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Alpha");
    EXPECT_EQ(RegEnumKeyA(key, 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "beta");
    EXPECT_EQ(RegEnumKeyA(key, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, 5), ERROR_MORE_DATA);
    RegCloseKey(key);
}

TEST_F(SimulationTest, EmptyNameOpensTheSameHandleAndBadPathsFail) {
    sim::CreateKey("A\\B");
    HKEY a = Open("A");
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyA(a, "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, a);
    for (const char* bad : {"\\A", "A\\\\B", "A\\"}) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, bad, &key), ERROR_BAD_PATHNAME) << bad;
    }
    RegCloseKey(a);
}

TEST_F(SimulationTest, DenyEntriesBiteAsUnderWine) {
    sim::CreateKey("Locked\\Sub");
    sim::SetAccessList("Locked", {true, WRITE_DAC, 1});
    sim::CreateKey("Sealed");
    sim::SetAccessList("Sealed", {true, sim::ALL_KEY_RIGHTS, 2});
    HKEY locked = Open("Locked");
    SECURITY_DESCRIPTOR open;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, &open), ERROR_ACCESS_DENIED);
    RegCloseKey(locked);
    HKEY sealed = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Sealed", &sealed), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Sealed"), ERROR_ACCESS_DENIED);
}

TEST_F(SimulationTest, AccessListsRoundTripThroughSecurityCalls) {
    sim::CreateKey("K");
    sim::SetAccessList("K", {true, DELETE, 42});
    HKEY key = Open("K");
    DWORD length = 4;
    BYTE saved[64];
    EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved, &length),
              ERROR_INSUFFICIENT_BUFFER);
    length = sizeof saved;
    ASSERT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved, &length), ERROR_SUCCESS);
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open), ERROR_SUCCESS);
    EXPECT_FALSE(sim::GetAccessList("K").present);
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved), ERROR_SUCCESS);
    EXPECT_EQ(sim::GetAccessList("K"), (sim::AccessList{true, DELETE, 42}));
    RegCloseKey(key);
}

// The checks rely on the layer telling the admin-only list from any other
// real list, also after a round trip, and on owners changing only when a
// program asks for it.
TEST_F(SimulationTest, RecognisesOnlyTheProtectedAdminOnlyList) {
    sim::CreateKey("K");
    HKEY key = Open("K");
    AdminOnlyAccess access;
    BuildAdminOnlyAccess(&access);
    ASSERT_TRUE(access.ready);
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &access.descriptor), ERROR_SUCCESS);
    EXPECT_EQ(sim::GetAccessList("K"), sim::AdminOnlyAccessList());
    BYTE saved[128];
    DWORD length = sizeof saved;
    ASSERT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved, &length), ERROR_SUCCESS);
    sim::SetAccessList("K", {true, 0, 5});
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved), ERROR_SUCCESS);
    EXPECT_EQ(sim::GetAccessList("K"), sim::AdminOnlyAccessList());
    EXPECT_EQ(sim::Snapshot()["K"].owner, sim::OWNER_ADMINISTRATORS);

    SetSecurityDescriptorControl(&access.descriptor, SE_DACL_PROTECTED, 0);
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &access.descriptor), ERROR_SUCCESS);
    EXPECT_EQ(sim::GetAccessList("K").tag, sim::UNRECOGNISED_LIST_TAG) << "not protected";
    EXPECT_FALSE(sim::GetAccessList("K").adminOnly);

    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open), ERROR_SUCCESS);
    EXPECT_FALSE(sim::GetAccessList("K").present);
    EXPECT_EQ(sim::Snapshot()["K"].owner, sim::OWNER_ADMINISTRATORS);
    ASSERT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, &open), ERROR_SUCCESS);
    EXPECT_EQ(sim::Snapshot()["K"].owner, sim::OWNER_PRIMARY_GROUP);
    EXPECT_EQ(sim::AccessListsSet().size(), 4u);
    RegCloseKey(key);
}

TEST_F(SimulationTest, ValueQueriesReportSizesAndMissingValues) {
    sim::SetString("K", "Service", "TALMERIX");
    HKEY key = Open("K");
    BYTE data[4];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "service", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 9u);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, data, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(SimulationTest, CountsWhatIsLeftOpenAndMisused) {
    sim::CreateKey("K");
    HKEY key = Open("K");
    void* block = HeapAlloc(GetProcessHeap(), 0, 16);
    EXPECT_EQ(sim::Resources().openKeys, 1);
    EXPECT_EQ(sim::Resources().heapBlocks, 1);
    RegCloseKey(key);
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_EQ(sim::Resources().misuses.size(), 2u);
    sim::Reset();
}

TEST_F(SimulationTest, InjectsTransientAndPersistentFailures) {
    sim::CreateKey("K");
    sim::FailCall(2, ERROR_ACCESS_DENIED, false);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);
    RegCloseKey(key);  // call 2 fails but still releases the key
    EXPECT_EQ(sim::Resources().openKeys, 0);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);
    sim::FailCall(4, 0, true);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 1), nullptr);
    EXPECT_EQ(sim::InjectedFailures(), 4u);
}

TEST_F(SimulationTest, RegistryCallsDoNotKeepTheLastError) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    HKEY key = nullptr;
    RegOpenKeyA(HKEY_LOCAL_MACHINE, "Missing", &key);
    EXPECT_NE(GetLastError(), ERROR_NO_SUCH_DEVINST);
}

}  // namespace
}  // namespace quorin_test
