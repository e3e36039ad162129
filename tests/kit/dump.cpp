#include "kit/dump.h"

#include <algorithm>
#include <cstdio>

#include "kit/file_trust.h"
#include "kit/key_access.h"
#include "kit/key_records.h"
#include "kit/snapshot_file.h"

namespace mf::kit {

namespace {

// Case-insensitive order as the registry sorts, exact order between names that tie.
bool NameLess(const std::wstring& a, const std::wstring& b) {
    const int order = CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                           static_cast<int>(b.size()), TRUE);
    return order == CSTR_EQUAL ? a < b : order == CSTR_LESS_THAN;
}

std::string Escaped(const std::wstring& text) {
    std::string out;
    char unit[8];
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f && c != L'\\' && c != L'"') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(unit, sizeof unit, "\\u%04x", static_cast<unsigned>(c));
            out += unit;
        }
    }
    return out;
}

// Key names hold no backslash: the separators are kept as they are.
std::string EscapedPath(const std::wstring& path) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t cut = path.find(L'\\'); cut != std::wstring::npos;
         cut = path.find(L'\\', start)) {
        out += Escaped(path.substr(start, cut - start)) + "\\";
        start = cut + 1;
    }
    return out + Escaped(path.substr(start));
}

void RenderKey(const std::string& path, const KeyRecord& key, std::string& out) {
    out += "[" + path + "]\n";
    out += "security=" + Escaped(key.security) + "\n";
    std::vector<const ValueRecord*> values;
    for (const ValueRecord& value : key.values) {
        values.push_back(&value);
    }
    std::sort(values.begin(), values.end(), [](const ValueRecord* a, const ValueRecord* b) {
        return NameLess(a->name, b->name);
    });
    for (const ValueRecord* value : values) {
        out += "\"" + Escaped(value->name) + "\"=" + std::to_string(value->type) + ":";
        // Strings as text where that is exact: even length, one terminating NUL, no other.
        const std::size_t units = value->data.size() / 2;
        std::wstring text(units, L'\0');
        std::copy(value->data.begin(), value->data.begin() + units * 2,
                  reinterpret_cast<BYTE*>(text.data()));
        const bool isText = (value->type == REG_SZ || value->type == REG_EXPAND_SZ) &&
                            value->data.size() % 2 == 0 && units > 0 && text.back() == L'\0' &&
                            text.find(L'\0') == units - 1;
        if (isText) {
            text.pop_back();
            out += "\"" + Escaped(text) + "\"\n";
        } else {
            out += Hex(value->data.data(), value->data.size()) + "\n";
        }
    }
    std::vector<const KeyRecord*> subkeys;
    for (const KeyRecord& sub : key.subkeys) {
        subkeys.push_back(&sub);
    }
    std::sort(subkeys.begin(), subkeys.end(),
              [](const KeyRecord* a, const KeyRecord* b) { return NameLess(a->name, b->name); });
    for (const KeyRecord* sub : subkeys) {
        RenderKey(path + "\\" + Escaped(sub->name), *sub, out);
    }
}

}  // namespace

std::string Render(const std::wstring& path, const KeyRecord& key) {
    std::string out;
    RenderKey(EscapedPath(path), key, out);
    return out;
}

int DumpCommand(const std::wstring& file, bool whole, Problems& problems) {
    const Privileged privileged;
    // Read only: a key that refuses reading is named, not opened up.
    std::vector<RootRecord> roots;
    if (whole) {
        for (const wchar_t* hive : {L"HKLM", L"HKCU"}) {
            roots.push_back(
                ReadRoot({hive, L"Software", L"Classes", std::nullopt}, problems, false));
        }
    } else {
        roots = Take(KitScope(), problems, false).roots;
    }
    std::string out;
    for (const RootRecord& root : roots) {
        const std::string path = EscapedPath(RootPath(root));
        if (root.key) {
            RenderKey(path, *root.key, out);
        } else {
            out += "[" + path + "]\nabsent\n";
        }
    }
    if (!problems.empty()) {
        return kFailed;
    }
    if (!WriteFileAtomically(file, out, true)) {
        problems.push_back(file + L": cannot write (" + ErrorText(GetLastError()) + L")");
        return kFailed;
    }
    return kOk;
}

}  // namespace mf::kit
