// The settings file: "Zerith_DURAdazov.ini" beside the executable, section
// Config, one key per input of the window but the exclusion list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "profile_file.h"

namespace pkgui {

inline constexpr char kSettingsFileName[] = "Zerith_DURAdazov.ini";
inline constexpr char kSettingsSection[] = "Config";

// Keys, in the order a save writes them.
inline constexpr char kKeySourceDirectory[] = "SourceDirectory";
inline constexpr char kKeyOutputPKGPath[] = "OutputPKGPath";
inline constexpr char kKeyCustomPKGKey[] = "CustomPKGKey";
inline constexpr char kKeyCompressData[] = "CompressData";
inline constexpr char kKeyPKGType[] = "PKGType";
inline constexpr char kKeyGame[] = "Game";

inline constexpr std::int32_t kDefaultPKGType = 1;
inline constexpr std::int32_t kDefaultGame = 1;  // 1 Zerith, 2 Zerith前传, 3 a custom key

// The folder part of the executable's full path (up to and including its last
// backslash or colon) followed by kSettingsFileName, whatever the executable
// is called.
std::string SettingsFilePath(std::string_view executablePath);

// What a save writes; texts are code page 936 bytes.
struct TSettingsValues {
  std::string SourceDirectory;
  std::string OutputPKGPath;
  std::string CustomPKGKey;
  bool CompressData = false;
  std::int32_t PKGType = kDefaultPKGType;
  std::int32_t Game = kDefaultGame;
};

// Writes the six keys in their order, each by its own write. A refused write
// throws EProfileWriteError and leaves the keys after it unwritten.
void WriteSettings(TProfileFile& file, const TSettingsValues& values);

}  // namespace pkgui
