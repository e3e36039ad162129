// The snapshot file's format: the records as text, sealed with a checksum and read back
// only whole.
#pragma once

#include "kit/snapshot.h"

namespace mf::kit {

std::string Serialize(const Snapshot& snapshot);
std::optional<Snapshot> Parse(const std::string& text, std::wstring& error);
// The pieces of its text, which the lock's file and the dump use too.
std::string Hex(const BYTE* bytes, std::size_t size);
std::optional<std::vector<BYTE>> ParseHex(const std::string& text);
std::vector<std::string> Fields(const std::string& line);
std::optional<unsigned long> ParseNumber(const std::string& text);

}  // namespace mf::kit
