#include "exclude_file.h"

#include <memory>

#include "exclusion_lines.h"
#include "utf8.h"

namespace pkgtool {

pkg::Status ReadExcludeFile(pkg::Platform& platform, const std::string& path,
                            std::vector<std::string>& entries) {
  std::unique_ptr<pkg::PlatformFile> file;
  if (pkg::Status s = platform.OpenForReading(path, file); !s.ok()) return s;
  std::string text;
  char buffer[64 * 1024];
  for (;;) {
    std::size_t got = 0;
    if (pkg::Status s = file->Read(buffer, sizeof buffer, got); !s.ok()) return s;
    if (got == 0) break;
    text.append(buffer, got);
  }
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::vector<std::string> lines = pkg::ExclusionLines(text);
  std::u32string decoded;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!pkg::DecodeUtf8(lines[i], decoded))
      return pkg::Status::Fail("'" + path + "' line " + std::to_string(i + 1) +
                               " is not UTF-8 text; save the file as UTF-8");
  }
  entries.insert(entries.end(), lines.begin(), lines.end());
  return pkg::Status::Ok();
}

}  // namespace pkgtool
