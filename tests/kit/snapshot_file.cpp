#include "kit/snapshot_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "kit/key_access.h"

namespace mf::kit {

namespace {

constexpr const char* kHeader = "kit_guard snapshot 2";
// Written before snapshots said whose HKEY_CURRENT_USER they hold.
constexpr const char* kOldHeader = "kit_guard snapshot 1";

// UTF-16 code units, four digits each: any name survives, unpaired surrogates included.
std::string HexText(const std::wstring& text) {
    if (text.empty()) {
        return "-";
    }
    std::string hex;
    char unit[5];
    for (const wchar_t c : text) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        hex += unit;
    }
    return hex;
}

int Digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<std::wstring> ParseHexText(const std::string& text) {
    const std::optional<std::vector<BYTE>> bytes = ParseHex(text);
    if (!bytes || bytes->size() % 2 != 0) {
        return std::nullopt;
    }
    std::wstring result;
    for (std::size_t index = 0; index < bytes->size(); index += 2) {
        result += static_cast<wchar_t>((*bytes)[index] << 8 | (*bytes)[index + 1]);
    }
    return result;
}

std::uint64_t Checksum(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string ChecksumText(std::uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

void SerializeKey(const KeyRecord& key, int depth, std::string& out) {
    out += "key " + std::to_string(depth) + " " + HexText(key.name) + " " + HexText(key.security) +
           "\n";
    for (const ValueRecord& value : key.values) {
        out += "value " + HexText(value.name) + " " + std::to_string(value.type) + " " +
               Hex(value.data.data(), value.data.size()) + "\n";
    }
    for (const KeyRecord& sub : key.subkeys) {
        SerializeKey(sub, depth + 1, out);
    }
}

}  // namespace

std::string Hex(const BYTE* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    if (size == 0) {
        return "-";
    }
    std::string text;
    text.reserve(size * 2);
    for (std::size_t index = 0; index < size; ++index) {
        text += kDigits[bytes[index] >> 4];
        text += kDigits[bytes[index] & 15];
    }
    return text;
}

std::optional<std::vector<BYTE>> ParseHex(const std::string& text) {
    std::vector<BYTE> bytes;
    if (text == "-") {
        return bytes;
    }
    if (text.empty() || text.size() % 2 != 0) {
        return std::nullopt;
    }
    for (std::size_t index = 0; index < text.size(); index += 2) {
        const int high = Digit(text[index]);
        const int low = Digit(text[index + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return bytes;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

std::optional<unsigned long> ParseNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const unsigned long long number = std::stoull(text);
    if (number > 0xffffffffull) {
        return std::nullopt;
    }
    return static_cast<unsigned long>(number);
}

std::string Serialize(const Snapshot& snapshot) {
    std::string out = std::string(kHeader) + "\n";
    out += "user " + HexText(snapshot.user) + "\n";
    out += "folder " + std::string(snapshot.folderExisted ? "1" : "0") + " " +
           HexText(snapshot.folder) + "\n";
    for (const RootRecord& root : snapshot.roots) {
        out += "root " + HexText(root.hive) + " " + HexText(root.parent) + " " +
               HexText(root.name) + (root.key ? " present\n" : " absent\n");
        if (root.key) {
            SerializeKey(*root.key, 0, out);
        }
    }
    out += "end " + ChecksumText(Checksum(out)) + "\n";
    return out;
}

std::optional<Snapshot> Parse(const std::string& text, std::wstring& error) {
    const auto fail = [&](std::size_t line, const wchar_t* what) {
        error = L"line " + std::to_wstring(line) + L": " + what;
        return std::nullopt;
    };
    const std::size_t endLine = text.rfind("end ");
    if (endLine == std::string::npos || (endLine != 0 && text[endLine - 1] != '\n') ||
        text.back() != '\n') {
        error = L"no end line: cut off";
        return std::nullopt;
    }
    if (text.substr(endLine) != "end " + ChecksumText(Checksum(text.substr(0, endLine))) + "\n") {
        error = L"checksum does not match: damaged";
        return std::nullopt;
    }
    Snapshot snapshot;
    // The open keys of the current root, one per depth.
    std::vector<KeyRecord*> open;
    bool sawFolder = false;
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < endLine) {
        const std::size_t stop = text.find('\n', start);
        const std::string line = text.substr(start, stop - start);
        start = stop + 1;
        ++number;
        const std::vector<std::string> fields = Fields(line);
        if (number == 1) {
            if (line == kOldHeader) {
                return fail(number,
                            L"an older snapshot that does not say whose HKEY_CURRENT_USER "
                            L"it holds");
            }
            if (line != kHeader) {
                return fail(number, L"not a kit_guard snapshot");
            }
            continue;
        }
        if (number == 2) {
            const std::optional<std::wstring> user =
                fields.size() == 2 && fields[0] == "user" ? ParseHexText(fields[1]) : std::nullopt;
            if (!user || user->empty()) {
                return fail(number, L"no user recorded");
            }
            snapshot.user = *user;
            continue;
        }
        if (fields[0] == "folder" && fields.size() == 3 && !sawFolder &&
            (fields[1] == "0" || fields[1] == "1")) {
            const std::optional<std::wstring> folder = ParseHexText(fields[2]);
            if (!folder) {
                return fail(number, L"bad folder");
            }
            snapshot.folder = *folder;
            snapshot.folderExisted = fields[1] == "1";
            sawFolder = true;
        } else if (fields[0] == "root" && fields.size() == 5 && sawFolder) {
            if (!snapshot.roots.empty() && snapshot.roots.back().key && open.empty()) {
                return fail(number, L"present root without its key");
            }
            const std::optional<std::wstring> hive = ParseHexText(fields[1]);
            const std::optional<std::wstring> parent = ParseHexText(fields[2]);
            const std::optional<std::wstring> name = ParseHexText(fields[3]);
            if (!hive || !HiveKey(*hive) || !parent || !name || name->empty() ||
                (fields[4] != "present" && fields[4] != "absent")) {
                return fail(number, L"bad root");
            }
            snapshot.roots.push_back({*hive, *parent, *name, std::nullopt});
            if (fields[4] == "present") {
                snapshot.roots.back().key.emplace();
            }
            open.clear();
        } else if (fields[0] == "key" && fields.size() == 4 && !snapshot.roots.empty() &&
                   snapshot.roots.back().key) {
            const std::optional<unsigned long> depth = ParseNumber(fields[1]);
            const std::optional<std::wstring> name = ParseHexText(fields[2]);
            const std::optional<std::wstring> security = ParseHexText(fields[3]);
            if (!depth || *depth > open.size() || (*depth == 0) != open.empty() || !name ||
                name->empty() || !security || !LocalSecurity(*security).get()) {
                return fail(number, L"bad key");
            }
            open.resize(*depth);
            KeyRecord* key = nullptr;
            if (open.empty()) {
                key = &*snapshot.roots.back().key;
            } else {
                open.back()->subkeys.emplace_back();
                key = &open.back()->subkeys.back();
            }
            key->name = *name;
            key->security = *security;
            open.push_back(key);
        } else if (fields[0] == "value" && fields.size() == 4 && !open.empty()) {
            const std::optional<std::wstring> name = ParseHexText(fields[1]);
            const std::optional<unsigned long> type = ParseNumber(fields[2]);
            const std::optional<std::vector<BYTE>> data = ParseHex(fields[3]);
            if (!name || !type || !data) {
                return fail(number, L"bad value");
            }
            open.back()->values.push_back({*name, static_cast<DWORD>(*type), *data});
        } else {
            return fail(number, L"unexpected line");
        }
    }
    if (!sawFolder || (!snapshot.roots.empty() && snapshot.roots.back().key && open.empty())) {
        return fail(number, L"incomplete");
    }
    return snapshot;
}

}  // namespace mf::kit
