// Values this tool shares with the player it serves. Only AudioExtensions is used here;
// the rest is kept so that both programs read them from one place.
#pragma once

#include <array>

#include "shared/player_version.h"

namespace mf::constants {

// Lower case, with the leading dot, in the order they are registered.
inline constexpr std::array<const char16_t*, 21> AudioExtensions = {
    u".wav", u".mp3", u".ogg", u".flac", u".wma",  u".ape", u".mpc",
    u".m4a", u".aac", u".m4b", u".wv",   u".alac", u".ac3", u".mod",
    u".mo3", u".mp1", u".mp2", u".mp4",  u".aif",  u".ofr", u".tta",
};

// Registered on its own, after the table.
inline constexpr const char16_t* CueSheetExtension = u".cue";

// Prefix of every ProgID this tool writes: "Marblefinch" + extension.
inline constexpr const char16_t* ProgIdPrefix = u"Marblefinch";

inline constexpr const char16_t* PlayerSettingsKey = u"\\Software\\Marblefinch\\AudioPlayer\\";
inline constexpr const char16_t* PlayerDisplayName = u"Marblefinch Player";
inline constexpr const char16_t* PlayerVersion = u"" MF_PLAYER_VERSION_TEXT;
inline constexpr const char16_t* AssociateToolName = u"Marblefinch_associate";
// Placeholder until the player's real default playlist name is settled.
inline constexpr const char16_t* DefaultPlaylistFileName = u"default-playlist.example.m3u";
inline constexpr const char16_t* TagsFileName = u"tags.txt";
// The host is a reserved placeholder; the path is the one the player checks.
inline constexpr const char16_t* UpdateCheckUrl =
    u"https://updates.marblefinch.example/player/lastversion.txt";
inline constexpr const char16_t* UpdateCheckFileName = u"lastversion.txt";

}  // namespace mf::constants
