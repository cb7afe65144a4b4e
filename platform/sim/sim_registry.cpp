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
    return key.accessList.present ? ALL_KEY_RIGHTS & ~key.accessList.denied : ALL_KEY_RIGHTS;
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

static bool ReadAcl(const void* blob, AccessList* list) {
    SimulatedAcl acl;
    std::memcpy(&acl, blob, sizeof acl);
    if (acl.magic != SIMULATED_ACL_MAGIC) {
        return false;
    }
    list->present = true;
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
    if (blob == nullptr || !ReadAcl(blob, list)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return ERROR_SUCCESS;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim {

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
        << (key.accessList.present ? "denying " + std::to_string(key.accessList.denied) +
                                         " tag " + std::to_string(key.accessList.tag)
                                   : std::string("taken away"))
        << "}";
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

LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                              PSECURITY_DESCRIPTOR descriptor) {
    if (auto error = Enter("RegSetKeySecurity", std::to_string(information))) {
        return static_cast<LONG>(*error);
    }
    KeyHandle* handle = nullptr;
    LONG status = Check(key, "RegSetKeySecurity", WRITE_DAC, &handle);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (descriptor == nullptr || information != DACL_SECURITY_INFORMATION) {
        return ERROR_INVALID_PARAMETER;
    }
    AccessList list;
    status = AccessListFrom(descriptor, &list);
    if (status == ERROR_SUCCESS) {
        handle->key->accessList = list;
    }
    return status;
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
    DWORD needed = sizeof(RelativeDescriptor) + (list.present ? sizeof(SimulatedAcl) : 0);
    DWORD room = *descriptorLength;
    *descriptorLength = needed;
    if (descriptor == nullptr || room < needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    RelativeDescriptor header = {};
    header.revision = SECURITY_DESCRIPTOR_REVISION;
    header.control = static_cast<WORD>(SE_SELF_RELATIVE | (list.present ? SE_DACL_PRESENT : 0));
    header.dacl = list.present ? sizeof(RelativeDescriptor) : 0;
    std::memcpy(descriptor, &header, sizeof header);
    if (list.present) {
        SimulatedAcl acl = {SIMULATED_ACL_MAGIC, list.denied, list.tag};
        std::memcpy(static_cast<BYTE*>(descriptor) + sizeof header, &acl, sizeof acl);
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
