// An in-memory registry with Win32 semantics, for builds without advapi32 and for tests:
// two hives kept apart, key and value names case-insensitive and case-preserving, default
// and named values, open handles with the rights they were granted, access denials set
// per key the way a deny access-control entry would, and volatile keys. Every call is
// logged, and a chosen call can be made to fail, so each failure path of the callers can be
// reached.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registration/RegistryFunctions.h"
#include "shared/text.h"

namespace mf {

class SubstituteStore final : public RegistryFunctions {
  public:
    enum class CallKind { Create, Open, SetValue, Close, Flush };
    struct Call {
        CallKind kind;
        Text path;  // the key the call reached (hive-relative), or the handle's key
        Text name;  // value name for SetValue
        RegSam access;
        RegStatus status;
    };

    // RegCreateKeyExW's REG_OPTION_VOLATILE, and its refusal of a non-volatile key below one.
    static constexpr std::uint32_t kOptionVolatile = 1;
    static constexpr RegStatus kErrorChildMustBeVolatile = 1021;

    SubstituteStore();
    ~SubstituteStore() override;

    RegStatus CreateKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                          RegSam access, RegHandle* result, std::uint32_t* disposition) override;
    RegStatus OpenKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options, RegSam access,
                        RegHandle* result) override;
    RegStatus SetValueEx(RegHandle key, const char16_t* name, std::uint32_t type,
                         const std::uint8_t* data, std::uint32_t size) override;
    RegStatus CloseKey(RegHandle key) override;
    RegStatus FlushKey(RegHandle key) override;

    // Direct access for tests; `path` is below `hive`, levels separated by "\".
    void AddKey(RegHandle hive, TextView path);
    void PutString(RegHandle hive, TextView path, TextView name, TextView value);
    bool HasKey(RegHandle hive, TextView path) const;
    bool IsVolatile(RegHandle hive, TextView path) const;
    // The REG_SZ text without its terminating NUL; nullopt when absent or not REG_SZ.
    std::optional<Text> ReadString(RegHandle hive, TextView path, TextView name) const;
    // Names as stored, in case-insensitive order.
    // The value's bytes as written, with its type.
    std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> ReadRaw(RegHandle hive,
                                                                               TextView path,
                                                                               TextView name) const;
    std::vector<Text> SubKeyNames(RegHandle hive, TextView path) const;
    std::vector<Text> ValueNames(RegHandle hive, TextView path) const;
    // Refuses `rights` on the key to every opener, like a deny entry in its ACL.
    void Deny(RegHandle hive, TextView path, RegSam rights);
    // The next calls with these ordinals (0-based, counting Create, Open and SetValue
    // only) fail with ERROR_ACCESS_DENIED and change nothing.
    void RefuseCall(std::size_t ordinal);
    std::size_t OpenHandleCount() const { return handles_.size(); }
    const std::vector<Call>& Calls() const { return calls_; }
    // The call log is on by default; a benchmark turns it off to time the store alone.
    void KeepCallLog(bool keep) { logCalls_ = keep; }
    // Every key and value of a hive, one per line, sorted, volatile keys marked; for
    // whole-hive comparisons.
    std::string Export(RegHandle hive) const;

  private:
    struct Value {
        Text name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    };
    // Orders names as the registry compares them: case-insensitively (ASCII, Latin-1,
    // Latin Extended-A, Greek and Cyrillic letters, which covers every name used here).
    struct NameLess {
        using is_transparent = void;
        bool operator()(TextView a, TextView b) const;
    };
    struct Node {
        Text name;
        Text path;
        RegSam denied = 0;
        bool isVolatile = false;
        std::map<Text, std::unique_ptr<Node>, NameLess> children;
        std::map<Text, Value, NameLess> values;
    };
    struct OpenHandle {
        Node* node;
        RegSam granted;
    };

    Node* Root(RegHandle hive) const;
    Node* FromHandle(RegHandle handle, RegSam* granted) const;
    static Node* Find(Node* from, TextView path);
    static Node* Make(Node* from, TextView path);
    RegHandle NewHandle(Node* node, RegSam access);
    bool Refused();
    RegStatus Log(CallKind kind, const Node* node, TextView name, RegSam access, RegStatus status);
    RegStatus LogPath(CallKind kind, const Node* base, TextView path, RegSam access,
                      RegStatus status);
    static void PutValue(Node& node, TextView name, std::uint32_t type, const std::uint8_t* data,
                         std::size_t size);

    std::unique_ptr<Node> classesRoot_;
    std::unique_ptr<Node> currentUser_;
    std::map<RegHandle, OpenHandle> handles_;
    RegHandle nextHandle_ = 0x1000;
    std::vector<Call> calls_;
    std::vector<std::size_t> refusedOrdinals_;
    std::size_t ordinal_ = 0;
    bool logCalls_ = true;
};

}  // namespace mf
