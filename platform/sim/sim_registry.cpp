// The simulated registry below HKEY_LOCAL_MACHINE: case-insensitive key
// names kept in sorted order, typed values, per-key access lists, handles
// that keep the rights granted when they were opened, and removal only of
// keys without subkeys.
#include "sim_state.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim::detail {

constexpr std::size_t LONGEST_KEY_NAME = 255;
constexpr DWORD SIMULATED_ACL_MAGIC = 0x4C434153u;  // "SACL"

// The self-relative layout Windows hands out: a 20-byte header of offsets
// followed by the access list.
struct RelativeDescriptor {
    BYTE revision;
    BYTE sbz1;
    WORD control;
    DWORD owner;
    DWORD group;
    DWORD sacl;
    DWORD dacl;
};
struct SimulatedAcl {
    DWORD magic;
    DWORD denied;
    DWORD tag;
};

static std::vector<std::string> SplitPath(const std::string& path, bool* valid) {
    std::vector<std::string> parts;
    *valid = true;
    if (path.empty()) {
        return parts;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty()) {
            *valid = false;
        }
        parts.push_back(part);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

static std::shared_ptr<Key> FindChild(const Key& key, const std::string& name) {
    auto found = key.subkeys.find(Upper(name));
    return found == key.subkeys.end() ? nullptr : found->second;
}

static std::shared_ptr<Key> Walk(std::shared_ptr<Key> from, const std::string& path,
                                 LONG* status) {
    bool valid = true;
    std::vector<std::string> parts = SplitPath(path, &valid);
    if (!valid) {
        *status = ERROR_BAD_PATHNAME;
        return nullptr;
    }
    for (const std::string& part : parts) {
        from = FindChild(*from, part);
        if (!from) {
            *status = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
    }
    *status = ERROR_SUCCESS;
    return from;
}

static std::uint32_t Granted(const Key& key) {
    const AccessList& list = key.accessList;
    return list.present && !list.adminOnly ? ALL_KEY_RIGHTS & ~list.denied : ALL_KEY_RIGHTS;
}

static std::shared_ptr<Key> KeyAt(const std::string& path) {
    LONG status = 0;
    auto key = Walk(M().root, path, &status);
    if (!key) {
        throw std::runtime_error("simulated registry has no key " + path);
    }
    return key;
}

static std::string PathOf(const Key& key) {
    if (key.parent == nullptr) {
        return "";
    }
    std::string parentPath = PathOf(*key.parent);
    return parentPath.empty() ? key.name : parentPath + "\\" + key.name;
}

// Looks a handle up; logs a misuse for one that is not open.
static KeyHandle* Handle(HKEY key, const char* operation) {
    Machine& m = M();
    auto found = m.keys.find(key);
    if (found == m.keys.end()) {
        Misuse(std::string(operation) + " on a key that is not open");
        return nullptr;
    }
    return &found->second;
}

static LONG Check(HKEY key, const char* operation, std::uint32_t right, KeyHandle** handle) {
    *handle = Handle(key, operation);
    if (*handle == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((*handle)->key->deleted) {
        return ERROR_KEY_DELETED;
    }
    if (((*handle)->granted & right) != right) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

static void TrackKeys(int delta) {
    Accounting& a = M().accounting;
    a.openKeys += delta;
    a.peakOpenKeys = std::max(a.peakOpenKeys, a.openKeys);
}

void ResetRegistry() {
    Machine& m = M();
    m.root = std::make_shared<Key>();
    m.keys.clear();
    // The predefined key is always open and never counted as the program's.
    m.keys[HKEY_LOCAL_MACHINE] = {m.root, ALL_KEY_RIGHTS, 0};
}

// The two accounts of the admin-only list: SYSTEM (S-1-5-18) and the
// Administrators group (S-1-5-32-544), as SIDs are laid out in memory.
const std::vector<BYTE> SYSTEM_SID = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const std::vector<BYTE> ADMINISTRATORS_SID = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
constexpr std::size_t ACL_HEADER_SIZE = sizeof(ACL);
constexpr std::size_t ACE_HEADER_SIZE = 8;  // type, flags, size, access mask

static std::size_t SidLength(const BYTE* sid) { return 8 + 4 * static_cast<std::size_t>(sid[1]); }

static WORD ReadWord(const BYTE* at) {
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

static DWORD ReadDword(const BYTE* at) {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The SIDs a real access list grants KEY_ALL_ACCESS to, in order; empty if
// it holds anything else.
static std::vector<std::vector<BYTE>> FullControlSids(const BYTE* acl) {
    std::vector<std::vector<BYTE>> sids;
    const WORD count = ReadWord(acl + 4);
    std::size_t offset = ACL_HEADER_SIZE;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* ace = acl + offset;
        if (ace[0] != ACCESS_ALLOWED_ACE_TYPE || ReadDword(ace + 4) != KEY_ALL_ACCESS) {
            return {};
        }
        const BYTE* sid = ace + ACE_HEADER_SIZE;
        sids.emplace_back(sid, sid + SidLength(sid));
        offset += ReadWord(ace + 2);
    }
    return sids;
}

static bool IsAdminOnly(const BYTE* acl, WORD control) {
    std::vector<std::vector<BYTE>> sids = FullControlSids(acl);
    std::sort(sids.begin(), sids.end());
    std::vector<std::vector<BYTE>> wanted = {SYSTEM_SID, ADMINISTRATORS_SID};
    std::sort(wanted.begin(), wanted.end());
    return (control & SE_DACL_PROTECTED) != 0 && sids == wanted;
}

// The admin-only list as Windows hands it out.
static std::vector<BYTE> AdminOnlyAcl() {
    std::vector<BYTE> acl(ACL_HEADER_SIZE, 0);
    acl[0] = ACL_REVISION;
    for (const std::vector<BYTE>& sid : {SYSTEM_SID, ADMINISTRATORS_SID}) {
        const WORD size = static_cast<WORD>(ACE_HEADER_SIZE + sid.size());
        const DWORD mask = KEY_ALL_ACCESS;
        const std::size_t at = acl.size();
        acl.resize(at + size);
        acl[at] = ACCESS_ALLOWED_ACE_TYPE;
        std::memcpy(&acl[at + 2], &size, sizeof size);
        std::memcpy(&acl[at + 4], &mask, sizeof mask);
        std::memcpy(&acl[at + ACE_HEADER_SIZE], sid.data(), sid.size());
    }
    const WORD total = static_cast<WORD>(acl.size());
    const WORD count = 2;
    std::memcpy(&acl[2], &total, sizeof total);
    std::memcpy(&acl[4], &count, sizeof count);
    return acl;
}

// A list in the simulation's own form, or a real one built with InitializeAcl
// and AddAccessAllowedAce.
static bool ReadAcl(const void* blob, WORD control, AccessList* list) {
    const BYTE* bytes = static_cast<const BYTE*>(blob);
    *list = AccessList{};
    if (bytes[0] == ACL_REVISION) {
        if (IsAdminOnly(bytes, control)) {
            list->adminOnly = true;
        } else {
            list->tag = UNRECOGNISED_LIST_TAG;
        }
        return true;
    }
    SimulatedAcl acl;
    std::memcpy(&acl, blob, sizeof acl);
    if (acl.magic != SIMULATED_ACL_MAGIC) {
        return false;
    }
    list->denied = acl.denied;
    list->tag = acl.tag;
    return true;
}

// The access list a descriptor carries, in either layout. No access list in
// it means the key's list is taken away.
static LONG AccessListFrom(PSECURITY_DESCRIPTOR descriptor, AccessList* list) {
    BYTE header[4];
    std::memcpy(header, descriptor, sizeof header);
    WORD control = 0;
    std::memcpy(&control, header + 2, sizeof control);
    if (header[0] != SECURITY_DESCRIPTOR_REVISION) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    *list = AccessList{};
    if ((control & SE_DACL_PRESENT) == 0) {
        list->present = false;
        return ERROR_SUCCESS;
    }
    const void* blob = nullptr;
    if ((control & SE_SELF_RELATIVE) != 0) {
        RelativeDescriptor relative;
        std::memcpy(&relative, descriptor, sizeof relative);
        blob = static_cast<const BYTE*>(descriptor) + relative.dacl;
    } else {
        blob = static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Dacl;
    }
    if (blob == nullptr || !ReadAcl(blob, control, list)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return ERROR_SUCCESS;
}

// The owner a descriptor names, by its SID's last part; none named is the
// caller's default, its primary group.
static std::uint32_t OwnerFrom(PSECURITY_DESCRIPTOR descriptor) {
    WORD control = ReadWord(static_cast<const BYTE*>(descriptor) + 2);
    const BYTE* sid = nullptr;
    if ((control & SE_SELF_RELATIVE) != 0) {
        RelativeDescriptor relative;
        std::memcpy(&relative, descriptor, sizeof relative);
        sid = relative.owner != 0 ? static_cast<const BYTE*>(descriptor) + relative.owner : nullptr;
    } else {
        sid = static_cast<const BYTE*>(static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Owner);
    }
    if (sid == nullptr || sid[1] == 0) {
        return OWNER_PRIMARY_GROUP;
    }
    return ReadDword(sid + 8 + 4 * (sid[1] - 1));
}

static std::string Describe(const AccessList& list) {
    if (!list.present) {
        return "no list";
    }
    return list.adminOnly ? "admin-only" : "tag " + std::to_string(list.tag);
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim {

AccessList AdminOnlyAccessList() {
    AccessList list;
    list.adminOnly = true;
    return list;
}

const std::vector<AccessListSet>& AccessListsSet() { return M().accessListsSet; }

void CreateKey(const std::string& path) {
    bool valid = true;
    std::vector<std::string> parts = SplitPath(path, &valid);
    if (!valid || parts.empty()) {
        throw std::invalid_argument("not a key path: " + path);
    }
    std::shared_ptr<Key> key = M().root;
    for (const std::string& part : parts) {
        if (part.size() > LONGEST_KEY_NAME) {
            throw std::invalid_argument("key name longer than 255 characters");
        }
        auto child = FindChild(*key, part);
        if (!child) {
            child = std::make_shared<Key>();
            child->name = part;
            child->parent = key.get();
            key->subkeys[Upper(part)] = child;
        }
        key = child;
    }
}

void SetValue(const std::string& path, const std::string& name, const Value& value) {
    CreateKey(path);
    auto key = KeyAt(path);
    for (auto& [existing, data] : key->values) {
        if (SameName(existing, name)) {
            data = value;
            return;
        }
    }
    key->values.emplace_back(name, value);
}

void SetString(const std::string& path, const std::string& name, const std::string& text) {
    Value value;
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    SetValue(path, name, value);
}

void SetAccessList(const std::string& path, const AccessList& accessList) {
    KeyAt(path)->accessList = accessList;
}

AccessList GetAccessList(const std::string& path) { return KeyAt(path)->accessList; }

bool KeyExists(const std::string& path) {
    LONG status = 0;
    return Walk(M().root, path, &status) != nullptr;
}

std::vector<std::string> SubkeyNames(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& [upper, child] : KeyAt(path)->subkeys) {
        names.push_back(child->name);
    }
    return names;
}

static void SnapshotInto(const Key& key, RegistrySnapshot* snapshot) {
    for (const auto& [upper, child] : key.subkeys) {
        KeySnapshot entry;
        for (const auto& [name, value] : child->values) {
            entry.values[name] = value;
        }
        entry.accessList = child->accessList;
        entry.owner = child->owner;
        (*snapshot)[PathOf(*child)] = entry;
        SnapshotInto(*child, snapshot);
    }
}

RegistrySnapshot Snapshot() {
    RegistrySnapshot snapshot;
    SnapshotInto(*M().root, &snapshot);
    return snapshot;
}

std::ostream& operator<<(std::ostream& out, const KeySnapshot& key) {
    out << "{" << key.values.size() << " values, access list "
        << (!key.accessList.present   ? std::string("taken away")
            : key.accessList.adminOnly ? std::string("admin-only")
                                       : "denying " + std::to_string(key.accessList.denied) +
                                             " tag " + std::to_string(key.accessList.tag))
        << ", owner " << key.owner << "}";
    return out;
}

void SetReportedDescriptorLength(DWORD length) { M().reportedDescriptorLength = length; }

void RefuseRemoval(const std::string& path) { KeyAt(path)->removalRefused = true; }

static void MarkDeleted(Key& key) {
    for (auto& [upper, child] : key.subkeys) {
        MarkDeleted(*child);
    }
    key.subkeys.clear();
    key.deleted = true;
    key.parent = nullptr;
}

void DeleteTree(const std::string& path) {
    auto key = KeyAt(path);
    if (key->parent == nullptr) {
        throw std::invalid_argument("cannot remove the root");
    }
    key->parent->subkeys.erase(Upper(key->name));
    MarkDeleted(*key);
}

}  // namespace sim

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    if (auto error = Enter("RegOpenKeyA", Quoted(subKey))) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* parent = nullptr;
    LONG status = Check(key, "RegOpenKeyA", 0, &parent);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // Windows hands back the very handle it was given for an empty name.
    if (subKey == nullptr || *subKey == '\0') {
        *result = key;
        return ERROR_SUCCESS;
    }
    auto target = Walk(parent->key, subKey, &status);
    if (!target) {
        return status;
    }
    std::uint32_t granted = Granted(*target);
    if (granted == 0) {
        return ERROR_ACCESS_DENIED;
    }
    Machine& m = M();
    HKEY handle = reinterpret_cast<HKEY>(m.nextHandle += 4);
    m.keys[handle] = {target, granted, CurrentId()};
    TrackKeys(1);
    *result = handle;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved,
                             LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                             LPDWORD values, LPDWORD maxValueNameLength,
                             LPDWORD maxValueLength, LPDWORD securityDescriptorLength,
                             PFILETIME lastWriteTime) {
    if (auto error = Enter("RegQueryInfoKeyA", "")) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegQueryInfoKeyA", KEY_QUERY_VALUE, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (reserved != nullptr || (className != nullptr && classLength == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const Key& k = *handle->key;
    DWORD longestName = 0;
    for (const auto& [upper, child] : k.subkeys) {
        longestName = std::max(longestName, static_cast<DWORD>(child->name.size()));
    }
    DWORD longestValueName = 0;
    DWORD longestValue = 0;
    for (const auto& [name, value] : k.values) {
        longestValueName = std::max(longestValueName, static_cast<DWORD>(name.size()));
        longestValue = std::max(longestValue, static_cast<DWORD>(value.data.size()));
    }
    if (className != nullptr && *classLength > 0) {
        className[0] = '\0';
    }
    auto put = [](LPDWORD out, DWORD v) {
        if (out != nullptr) {
            *out = v;
        }
    };
    put(classLength, 0);
    put(subKeys, static_cast<DWORD>(k.subkeys.size()));
    put(maxSubKeyLength, longestName);
    put(maxClassLength, 0);
    put(values, static_cast<DWORD>(k.values.size()));
    put(maxValueNameLength, longestValueName);
    put(maxValueLength, longestValue);
    put(securityDescriptorLength, M().reportedDescriptorLength);
    if (lastWriteTime != nullptr) {
        *lastWriteTime = FILETIME{0x12345678u, 0x01D00000u};
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameLength) {
    if (auto error = Enter("RegEnumKeyA", std::to_string(index))) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegEnumKeyA", KEY_ENUMERATE_SUB_KEYS, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto& subkeys = handle->key->subkeys;
    if (index >= subkeys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::string& found = std::next(subkeys.begin(), index)->second->name;
    if (found.size() + 1 > nameLength) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, found.c_str(), found.size() + 1);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataLength) {
    if (auto error = Enter("RegQueryValueExA", Quoted(valueName))) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegQueryValueExA", KEY_QUERY_VALUE, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (reserved != nullptr || (data != nullptr && dataLength == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string wanted = valueName != nullptr ? valueName : "";
    for (const auto& [name, value] : handle->key->values) {
        if (!SameName(name, wanted)) {
            continue;
        }
        if (type != nullptr) {
            *type = value.type;
        }
        DWORD size = static_cast<DWORD>(value.data.size());
        DWORD room = dataLength != nullptr ? *dataLength : 0;
        if (dataLength != nullptr) {
            *dataLength = size;
        }
        if (data == nullptr) {
            return ERROR_SUCCESS;
        }
        if (size > room) {
            // What the buffer holds after ERROR_MORE_DATA is undefined.
            std::memset(data, 'T', room);
            return ERROR_MORE_DATA;
        }
        if (size != 0) {
            std::memcpy(data, value.data.data(), size);
        }
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    if (auto error = Enter("InitializeSecurityDescriptor", std::to_string(revision))) {
        SetLastError(*error);
        return FALSE;
    }
    if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(1305);  // ERROR_UNKNOWN_REVISION
        return FALSE;
    }
    SECURITY_DESCRIPTOR fresh = {};
    fresh.Revision = SECURITY_DESCRIPTOR_REVISION;
    std::memcpy(descriptor, &fresh, sizeof fresh);
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent,
                                      PACL dacl, BOOL daclDefaulted) {
    if (auto error = Enter("SetSecurityDescriptorDacl", std::to_string(daclPresent))) {
        SetLastError(*error);
        return FALSE;
    }
    auto* absolute = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    if (absolute == nullptr || (absolute->Control & SE_SELF_RELATIVE) != 0 || daclDefaulted) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    absolute->Dacl = daclPresent ? dacl : nullptr;
    absolute->Control = static_cast<WORD>(daclPresent ? absolute->Control | SE_DACL_PRESENT
                                                      : absolute->Control & ~SE_DACL_PRESENT);
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         SECURITY_DESCRIPTOR_CONTROL bitsOfInterest,
                                         SECURITY_DESCRIPTOR_CONTROL bitsToSet) {
    if (auto error = Enter("SetSecurityDescriptorControl", std::to_string(bitsToSet))) {
        SetLastError(*error);
        return FALSE;
    }
    auto* absolute = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    if (absolute == nullptr || (bitsOfInterest & ~SE_DACL_PROTECTED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    absolute->Control =
        static_cast<WORD>((absolute->Control & ~bitsOfInterest) | (bitsToSet & bitsOfInterest));
    return TRUE;
}

BOOL WINAPI InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision) {
    if (auto error = Enter("InitializeAcl", std::to_string(aclLength))) {
        SetLastError(*error);
        return FALSE;
    }
    if (acl == nullptr || aclRevision != ACL_REVISION || aclLength < sizeof(ACL) ||
        aclLength > 0xFFFF || aclLength % 4 != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ACL header = {};
    header.AclRevision = ACL_REVISION;
    header.AclSize = static_cast<WORD>(aclLength);
    std::memcpy(acl, &header, sizeof header);
    return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD aceRevision, DWORD accessMask, PSID sid) {
    if (auto error = Enter("AddAccessAllowedAce", std::to_string(accessMask))) {
        SetLastError(*error);
        return FALSE;
    }
    const BYTE* sidBytes = static_cast<const BYTE*>(sid);
    if (acl == nullptr || sidBytes == nullptr || aceRevision != ACL_REVISION ||
        acl->AclRevision != ACL_REVISION || sidBytes[0] != 1 || sidBytes[1] > 15) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE* bytes = reinterpret_cast<BYTE*>(acl);
    std::size_t end = ACL_HEADER_SIZE;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        end += ReadWord(bytes + end + 2);
    }
    const std::size_t sidLength = SidLength(sidBytes);
    const WORD aceSize = static_cast<WORD>(ACE_HEADER_SIZE + sidLength);
    if (end + aceSize > acl->AclSize) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    bytes[end] = ACCESS_ALLOWED_ACE_TYPE;
    bytes[end + 1] = 0;
    std::memcpy(bytes + end + 2, &aceSize, sizeof aceSize);
    std::memcpy(bytes + end + 4, &accessMask, sizeof accessMask);
    std::memcpy(bytes + end + ACE_HEADER_SIZE, sidBytes, sidLength);
    acl->AceCount = static_cast<WORD>(acl->AceCount + 1);
    return TRUE;
}

// Only what the security information names changes: a new access list
// leaves the owner alone.
LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                              PSECURITY_DESCRIPTOR descriptor) {
    AccessList list;
    LONG parsed = descriptor != nullptr ? AccessListFrom(descriptor, &list)
                                        : ERROR_INVALID_PARAMETER;
    std::string detail = std::to_string(information) + " " +
                         (parsed == ERROR_SUCCESS ? Describe(list) : std::string("invalid"));
    if (auto error = Enter("RegSetKeySecurity", detail)) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegSetKeySecurity", WRITE_DAC, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const SECURITY_INFORMATION known = DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION;
    if (descriptor == nullptr || information == 0 || (information & ~known) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    Key& target = *handle->key;
    if ((information & DACL_SECURITY_INFORMATION) != 0) {
        if (parsed != ERROR_SUCCESS) {
            return parsed;
        }
        target.accessList = list;
        M().accessListsSet.push_back({PathOf(target), list});
    }
    if ((information & OWNER_SECURITY_INFORMATION) != 0) {
        target.owner = OwnerFrom(descriptor);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                              PSECURITY_DESCRIPTOR descriptor, LPDWORD descriptorLength) {
    if (auto error = Enter("RegGetKeySecurity", std::to_string(information))) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegGetKeySecurity", READ_CONTROL, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (descriptorLength == nullptr || information != DACL_SECURITY_INFORMATION) {
        return ERROR_INVALID_PARAMETER;
    }
    const AccessList& list = handle->key->accessList;
    std::vector<BYTE> acl;
    if (list.adminOnly) {
        acl = AdminOnlyAcl();
    } else if (list.present) {
        SimulatedAcl simulated = {SIMULATED_ACL_MAGIC, list.denied, list.tag};
        acl.resize(sizeof simulated);
        std::memcpy(acl.data(), &simulated, sizeof simulated);
    }
    DWORD needed = static_cast<DWORD>(sizeof(RelativeDescriptor) + acl.size());
    DWORD room = *descriptorLength;
    *descriptorLength = needed;
    if (descriptor == nullptr || room < needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    RelativeDescriptor header = {};
    header.revision = SECURITY_DESCRIPTOR_REVISION;
    header.control = static_cast<WORD>(SE_SELF_RELATIVE | (list.present ? SE_DACL_PRESENT : 0) |
                                       (list.adminOnly ? SE_DACL_PROTECTED : 0));
    header.dacl = list.present ? sizeof(RelativeDescriptor) : 0;
    std::memcpy(descriptor, &header, sizeof header);
    if (!acl.empty()) {
        std::memcpy(static_cast<BYTE*>(descriptor) + sizeof header, acl.data(), acl.size());
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (auto error = Enter("RegDeleteKeyA", Quoted(subKey))) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegDeleteKeyA", 0, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // An empty name removes the key of the handle itself, as on Windows.
    auto target = *subKey == '\0' ? handle->key : Walk(handle->key, subKey, &status);
    if (!target) {
        return status;
    }
    if (target->parent == nullptr || (Granted(*target) & DELETE) == 0 ||
        target->removalRefused || !target->subkeys.empty()) {
        return ERROR_ACCESS_DENIED;
    }
    target->parent->subkeys.erase(Upper(target->name));
    target->deleted = true;
    target->parent = nullptr;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    auto error = Enter("RegCloseKey", "");
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    if (Handle(key, "RegCloseKey") == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    // A failed close still releases the key, as Windows does.
    M().keys.erase(key);
    TrackKeys(-1);
    return error ? static_cast<LONG>(*error) : ERROR_SUCCESS;
}
