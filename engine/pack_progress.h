// A pack job's progress as data: the step, the file being stored, and the
// figures so far. Each front end words it its own way; the window's status
// texts are made here, once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pkg {

enum class PackStep : std::uint8_t {
  kList = 1,    // scanning the source folder
  kHeader = 2,  // creating the archive and its header
  kStore = 3,   // storing the files, one after the other
  kIndex = 4,   // building the index
  kSave = 5,    // writing the index and completing the archive
};

// The status texts of the steps, code page 936 text in the window's panel.
inline constexpr std::string_view kListText = "(1/5) 正在创建要打包的文件列表...";
inline constexpr std::string_view kHeaderText = "(2/5) 正在创建PKG文件头...";
// Followed by the file's relative path.
inline constexpr std::string_view kStoreText = "(3/5) 正在打包文件: ";
inline constexpr std::string_view kIndexText = "(4/5) 正在生成索引信息...";
inline constexpr std::string_view kSaveText = "(5/5) 正在保存...";

struct PackProgress {
  enum class Kind : std::uint8_t {
    kBegins,  // the step begins or, while storing, the file: a status text
    kTotals,  // the scan is done: filesTotal and bytesTotal are known
    kBytes,   // more of the file is stored
  };
  Kind kind = Kind::kBegins;
  PackStep step = PackStep::kList;
  // While storing: the file's place in the list, its relative path and its
  // size as measured after the scan (0 when not measured).
  std::size_t fileIndex = 0;
  std::string relative;
  std::uint64_t fileSize = 0;
  // Figures when the job reached this point. Files and bytes stored count
  // the source's files and bytes, including those of the file being stored;
  // reused bytes are those taken over from an older archive.
  std::size_t filesStored = 0;
  std::uint64_t bytesStored = 0, bytesReused = 0;
  // 0 until the totals are known, and unless the job was asked to measure.
  std::size_t filesTotal = 0;
  std::uint64_t bytesTotal = 0;
};

// The status text of an event that begins a step or a file; empty for the
// others, which change no text.
std::string StatusText(const PackProgress& p);

}  // namespace pkg
