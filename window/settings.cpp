#include "settings.h"

namespace pkgui {

std::string SettingsFilePath(std::string_view executablePath) {
  const std::size_t cut = executablePath.find_last_of("\\:");
  const std::string_view folder =
      cut == std::string_view::npos ? std::string_view() : executablePath.substr(0, cut + 1);
  return std::string(folder) + kSettingsFileName;
}

void WriteSettings(TProfileFile& file, const TSettingsValues& values) {
  file.WriteString(kSettingsSection, kKeySourceDirectory, values.SourceDirectory);
  file.WriteString(kSettingsSection, kKeyOutputPKGPath, values.OutputPKGPath);
  file.WriteString(kSettingsSection, kKeyCustomPKGKey, values.CustomPKGKey);
  file.WriteBool(kSettingsSection, kKeyCompressData, values.CompressData);
  file.WriteInteger(kSettingsSection, kKeyPKGType, values.PKGType);
  file.WriteInteger(kSettingsSection, kKeyGame, values.Game);
}

}  // namespace pkgui
