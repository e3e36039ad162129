#include "platform/substitute/SubstituteStore.h"

#include <algorithm>
#include <cstdio>

namespace mf {

namespace {

char16_t FoldChar(char16_t c) {
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c < 0x80) {
        return c;
    }
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<char16_t>(c - 0x50);
    }
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        // Latin Extended-A pairs upper/lower on even/odd code points, with the run
        // 0x139-0x148 and 0x179-0x17E shifted by one.
        const bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        const bool lower = shifted ? (c % 2 == 0) : (c % 2 == 1);
        return lower ? static_cast<char16_t>(c - 1) : c;
    }
    return c;
}

// A key path's levels, one at a time. A trailing "\\" is allowed; a leading one or an empty
// level in the middle is a bad path name, as it is for the registry.
class Levels {
  public:
    explicit Levels(TextView path) : rest_(path) {
        if (!rest_.empty() && rest_.back() == u'\\') {
            rest_.remove_suffix(1);
        }
    }
    bool Valid() const {
        if (rest_.empty()) {
            return true;
        }
        return rest_.front() != u'\\' && rest_.find(u"\\\\") == TextView::npos;
    }
    bool Next(TextView& level) {
        if (done_ || rest_.empty()) {
            return false;
        }
        const std::size_t end = rest_.find(u'\\');
        if (end == TextView::npos) {
            level = rest_;
            done_ = true;
        } else {
            level = rest_.substr(0, end);
            rest_.remove_prefix(end + 1);
        }
        return true;
    }

  private:
    TextView rest_;
    bool done_ = false;
};

TextView OrEmpty(const char16_t* text) {
    return text != nullptr ? TextView(text) : TextView();
}

Text JoinPath(const Text& parent, TextView child) {
    if (parent.empty()) {
        return Text(child);
    }
    if (child.empty()) {
        return parent;
    }
    return parent + u'\\' + Text(child);
}

RegSam Rights(RegSam access) {
    return access & ~kKeyWow64Res;
}

}  // namespace

bool SubstituteStore::NameLess::operator()(TextView a, TextView b) const {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t x = FoldChar(a[i]);
        const char16_t y = FoldChar(b[i]);
        if (x != y) {
            return x < y;
        }
    }
    return a.size() < b.size();
}

SubstituteStore::SubstituteStore()
    : classesRoot_(std::make_unique<Node>()), currentUser_(std::make_unique<Node>()) {}

SubstituteStore::~SubstituteStore() = default;

SubstituteStore::Node* SubstituteStore::Root(RegHandle hive) const {
    if (hive == kHkeyClassesRoot) {
        return classesRoot_.get();
    }
    if (hive == kHkeyCurrentUser) {
        return currentUser_.get();
    }
    return nullptr;
}

SubstituteStore::Node* SubstituteStore::FromHandle(RegHandle handle, RegSam* granted) const {
    if (Node* root = Root(handle)) {
        *granted = kKeyAllAccess;
        return root;
    }
    const auto it = handles_.find(handle);
    if (it == handles_.end()) {
        return nullptr;
    }
    *granted = it->second.granted;
    return it->second.node;
}

SubstituteStore::Node* SubstituteStore::Find(Node* from, TextView path) {
    Levels levels(path);
    if (!levels.Valid()) {
        return nullptr;
    }
    Node* node = from;
    for (TextView level; levels.Next(level);) {
        const auto it = node->children.find(level);
        if (it == node->children.end()) {
            return nullptr;
        }
        node = it->second.get();
    }
    return node;
}

SubstituteStore::Node* SubstituteStore::Make(Node* from, TextView path) {
    Levels levels(path);
    Node* node = from;
    for (TextView level; levels.Next(level);) {
        auto it = node->children.find(level);
        if (it == node->children.end()) {
            auto child = std::make_unique<Node>();
            child->name = Text(level);
            child->path = JoinPath(node->path, level);
            it = node->children.emplace(Text(level), std::move(child)).first;
        }
        node = it->second.get();
    }
    return node;
}

RegHandle SubstituteStore::NewHandle(Node* node, RegSam access) {
    const RegHandle handle = nextHandle_;
    nextHandle_ += 4;
    handles_[handle] = OpenHandle{node, Rights(access)};
    return handle;
}

bool SubstituteStore::Refused() {
    const std::size_t ordinal = ordinal_++;
    const auto it = std::find(refusedOrdinals_.begin(), refusedOrdinals_.end(), ordinal);
    if (it == refusedOrdinals_.end()) {
        return false;
    }
    refusedOrdinals_.erase(it);
    return true;
}

RegStatus SubstituteStore::LogPath(CallKind kind, const Node* base, TextView path, RegSam access,
                                   RegStatus status) {
    if (logCalls_) {
        calls_.push_back(Call{kind, base != nullptr ? JoinPath(base->path, path) : Text(path),
                              Text(), access, status});
    }
    return status;
}

RegStatus SubstituteStore::Log(CallKind kind, const Node* node, TextView name, RegSam access,
                               RegStatus status) {
    if (!logCalls_) {
        return status;
    }
    calls_.push_back(Call{kind, node != nullptr ? node->path : Text(), Text(name), access, status});
    return status;
}

RegStatus SubstituteStore::CreateKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                                       RegSam access, RegHandle* result,
                                       std::uint32_t* disposition) {
    const TextView path = OrEmpty(subKey);
    RegSam granted = 0;
    Node* base = FromHandle(key, &granted);
    const auto log = [&](RegStatus status) {
        return LogPath(CallKind::Create, base, path, access, status);
    };
    if (Refused()) {
        return log(kErrorAccessDenied);
    }
    if (base == nullptr) {
        return log(kErrorInvalidHandle);
    }
    Levels levels(path);
    if (!levels.Valid()) {
        return log(kErrorBadPathname);
    }
    // Walk down, creating what is missing; a parent that refuses new subkeys stops the walk
    // and leaves the levels made so far, as the registry does. A new subkey is checked
    // against the parent key's own security (its deny entries), not the rights of the handle
    // it is reached through: "even if hKey was opened with a samDesired of KEY_READ, it can be
    // used in operations that modify the registry if allowed by its security descriptor"
    // (https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regcreatekeyexw).
    // With REG_OPTION_VOLATILE "all keys created by the function are volatile" (the same
    // page); the option does not change a key that exists; and a non-volatile key cannot go
    // below a volatile one: ERROR_CHILD_MUST_BE_VOLATILE, "Cannot create a stable subkey under
    // a volatile parent key" (https://learn.microsoft.com/en-us/windows/win32/debug/
    // system-error-codes--1000-1299-).
    const bool makeVolatile = (options & kOptionVolatile) != 0;
    Node* node = base;
    bool created = false;
    for (TextView level; levels.Next(level);) {
        const auto it = node->children.find(level);
        if (it != node->children.end()) {
            node = it->second.get();
            continue;
        }
        if ((node->denied & kKeyCreateSubKey) != 0) {
            return log(kErrorAccessDenied);
        }
        if (node->isVolatile && !makeVolatile) {
            return log(kErrorChildMustBeVolatile);
        }
        node = Make(node, level);
        node->isVolatile = makeVolatile;
        created = true;
    }
    if ((node->denied & Rights(access)) != 0) {
        return log(kErrorAccessDenied);
    }
    *result = NewHandle(node, access);
    if (disposition != nullptr) {
        *disposition = created ? 1u : 2u;  // REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY
    }
    return log(kErrorSuccess);
}

RegStatus SubstituteStore::OpenKeyEx(RegHandle key, const char16_t* subKey,
                                     std::uint32_t /*options*/, RegSam access, RegHandle* result) {
    const TextView path = OrEmpty(subKey);
    RegSam granted = 0;
    Node* base = FromHandle(key, &granted);
    const auto log = [&](RegStatus status) {
        return LogPath(CallKind::Open, base, path, access, status);
    };
    if (Refused()) {
        return log(kErrorAccessDenied);
    }
    if (base == nullptr) {
        return log(kErrorInvalidHandle);
    }
    if (!Levels(path).Valid()) {
        return log(kErrorBadPathname);
    }
    Node* node = Find(base, path);
    if (node == nullptr) {
        return log(kErrorFileNotFound);
    }
    if ((node->denied & Rights(access)) != 0) {
        return log(kErrorAccessDenied);
    }
    *result = NewHandle(node, access);
    return log(kErrorSuccess);
}

RegStatus SubstituteStore::SetValueEx(RegHandle key, const char16_t* name, std::uint32_t type,
                                      const std::uint8_t* data, std::uint32_t size) {
    RegSam granted = 0;
    Node* node = key != 0 ? FromHandle(key, &granted) : nullptr;
    if (Refused()) {
        return Log(CallKind::SetValue, node, OrEmpty(name), granted, kErrorAccessDenied);
    }
    if (node == nullptr) {
        return Log(CallKind::SetValue, node, OrEmpty(name), granted, kErrorInvalidHandle);
    }
    if ((granted & kKeySetValue) == 0) {
        return Log(CallKind::SetValue, node, OrEmpty(name), granted, kErrorAccessDenied);
    }
    const TextView valueName = OrEmpty(name);
    PutValue(*node, valueName, type, data, size);
    return Log(CallKind::SetValue, node, valueName, granted, kErrorSuccess);
}

RegStatus SubstituteStore::CloseKey(RegHandle key) {
    if (Root(key) != nullptr) {
        return kErrorSuccess;
    }
    const auto it = handles_.find(key);
    if (it == handles_.end()) {
        return Log(CallKind::Close, nullptr, u"", 0, kErrorInvalidHandle);
    }
    const Node* node = it->second.node;
    handles_.erase(it);
    return Log(CallKind::Close, node, u"", 0, kErrorSuccess);
}

RegStatus SubstituteStore::FlushKey(RegHandle key) {
    RegSam granted = 0;
    const Node* node = FromHandle(key, &granted);
    return Log(CallKind::Flush, node, u"", 0,
               node != nullptr ? kErrorSuccess : kErrorInvalidHandle);
}

// An existing value keeps the case of its name, as in the registry.
void SubstituteStore::PutValue(Node& node, TextView name, std::uint32_t type,
                               const std::uint8_t* data, std::size_t size) {
    auto it = node.values.find(name);
    if (it == node.values.end()) {
        it = node.values.emplace(Text(name), Value{Text(name), type, {}}).first;
    }
    it->second.type = type;
    it->second.data.assign(data, data + size);
}

void SubstituteStore::AddKey(RegHandle hive, TextView path) {
    Make(Root(hive), path);
}

void SubstituteStore::PutString(RegHandle hive, TextView path, TextView name, TextView value) {
    Node* node = Make(Root(hive), path);
    Text text(value);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.c_str());
    PutValue(*node, name, kRegSz, bytes, (text.size() + 1) * sizeof(char16_t));
}

bool SubstituteStore::HasKey(RegHandle hive, TextView path) const {
    return Find(Root(hive), path) != nullptr;
}

bool SubstituteStore::IsVolatile(RegHandle hive, TextView path) const {
    const Node* node = Find(Root(hive), path);
    return node != nullptr && node->isVolatile;
}

std::optional<Text> SubstituteStore::ReadString(RegHandle hive, TextView path,
                                                TextView name) const {
    const Node* node = Find(Root(hive), path);
    if (node == nullptr) {
        return std::nullopt;
    }
    const auto it = node->values.find(name);
    if (it == node->values.end() || it->second.type != kRegSz) {
        return std::nullopt;
    }
    const auto& data = it->second.data;
    Text text(data.size() / sizeof(char16_t), u'\0');
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(text.size() * 2),
              reinterpret_cast<std::uint8_t*>(text.data()));
    if (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return text;
}

std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> SubstituteStore::ReadRaw(
    RegHandle hive, TextView path, TextView name) const {
    const Node* node = Find(Root(hive), path);
    if (node == nullptr) {
        return std::nullopt;
    }
    const auto it = node->values.find(name);
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return std::make_pair(it->second.type, it->second.data);
}

std::vector<Text> SubstituteStore::SubKeyNames(RegHandle hive, TextView path) const {
    std::vector<Text> names;
    if (const Node* node = Find(Root(hive), path)) {
        for (const auto& [folded, child] : node->children) {
            names.push_back(child->name);
        }
    }
    return names;
}

std::vector<Text> SubstituteStore::ValueNames(RegHandle hive, TextView path) const {
    std::vector<Text> names;
    if (const Node* node = Find(Root(hive), path)) {
        for (const auto& [folded, value] : node->values) {
            names.push_back(value.name);
        }
    }
    return names;
}

void SubstituteStore::Deny(RegHandle hive, TextView path, RegSam rights) {
    Make(Root(hive), path)->denied |= rights;
}

void SubstituteStore::RefuseCall(std::size_t ordinal) {
    refusedOrdinals_.push_back(ordinal);
}

std::string SubstituteStore::Export(RegHandle hive) const {
    std::string out;
    const auto walk = [&out](const auto& self, const Node& node) -> void {
        out.append("[").append(ToUtf8(node.path)).append(node.isVolatile ? "] volatile\n" : "]\n");
        for (const auto& [folded, value] : node.values) {
            char type[16];
            std::snprintf(type, sizeof type, "%u", static_cast<unsigned>(value.type));
            out.append("\"").append(ToUtf8(value.name)).append("\"=").append(type).append(":");
            for (const std::uint8_t byte : value.data) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x", byte);
                out += hex;
            }
            out += "\n";
        }
        for (const auto& [folded, child] : node.children) {
            self(self, *child);
        }
    };
    walk(walk, *Root(hive));
    return out;
}

}  // namespace mf
