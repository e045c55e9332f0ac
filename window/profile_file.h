// An INI file read and written one key at a time, as the system's profile
// functions do, but byte for byte: values stay code page 936 text whatever the
// system's ANSI code page, and every write replaces the file in one step, so a
// write that fails leaves the previous file whole.
//
// Rules of the text:
// - lines end with LF or CR LF; blanks (space, tab) at both ends of a line and
//   around "=" are not part of names or values;
// - "[name]" starts a section; "name=value" is a key; lines starting with ";"
//   and lines without "=" are kept but never matched;
// - section and key names match without regard to ASCII letter case; the first
//   section and the first key of a name win;
// - a write changes only the line of its key, or adds one line at the end of
//   its section (and the section at the end of the file when it is missing);
//   every other byte of the file stays as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform.h"

namespace pkgui {

// A read gives at most this many bytes of a value, the capacity of a
// 2048-byte buffer with its terminating zero.
inline constexpr std::size_t kMaxProfileValue = 2047;

// The value of key in section, as the file text holds it, or nothing.
std::optional<std::string> IniLookup(std::string_view text, std::string_view section,
                                     std::string_view key);
// The file text with key in section set to value. A value ends at its first
// line break: what follows could otherwise be read as keys and sections.
std::string IniAssign(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value);

// A write that the system refused; the message is "Unable to write to PATH".
class EProfileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The file exists but cannot be read.
class EProfileReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TProfileFile {
 public:
  // path: UTF-8, as the platform takes it.
  explicit TProfileFile(std::string path, pkg::Platform& platform = pkg::SystemPlatform());

  const std::string& Path() const { return path_; }
  // A plain file at the path; a folder of that name does not count.
  bool Exists();

  // Missing section or key: the empty text. Longer values are cut to
  // kMaxProfileValue bytes.
  std::string ReadString(std::string_view section, std::string_view key);
  // The integer text conversion of the value; def when it does not convert.
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def);
  // An integer with the default def ? 1 : 0; every value but 0 is true.
  bool ReadBool(std::string_view section, std::string_view key, bool def);

  // Creates the file, the section or the key as needed.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  // The whole file; empty when there is none.
  std::string Load(bool forWrite);
  void Store(const std::string& text);
  [[noreturn]] void WriteFailed();

  std::string path_;
  pkg::Platform& platform_;
};

}  // namespace pkgui
