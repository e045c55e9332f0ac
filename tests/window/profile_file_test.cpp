// The INI reader and writer: lookups and assignments on the text, and the file
// kept whole when a write fails.
#include "profile_file.h"

#include <gtest/gtest.h>

#include <string>

#include "forwarding_platform.h"
#include "test_support.h"

namespace pkgui {
namespace {

using pkgtest::TempDir;

struct LookupCase {
  const char* what;
  const char* text;
  const char* section;
  const char* key;
  const char* expected;  // nullptr: not found
};

TEST(IniLookupTest, FindsValuesByTheRulesOfTheText) {
  const LookupCase kCases[] = {
      {"plain", "[Config]\r\nGame=2\r\n", "Config", "Game", "2"},
      {"LF line ends", "[Config]\nGame=2\n", "Config", "Game", "2"},
      {"no final line break", "[Config]\r\nGame=2", "Config", "Game", "2"},
      {"names ignore letter case", "[CONFIG]\r\ngame=3\r\n", "Config", "Game", "3"},
      {"blanks around names and value", "  [ Config ]  \r\n  Game =  2 \t\r\n", "Config", "Game",
       "2"},
      {"inner blanks stay", "[Config]\r\nSourceDirectory=D:\\my game\\data\r\n", "Config",
       "SourceDirectory", "D:\\my game\\data"},
      {"empty value", "[Config]\r\nGame=\r\n", "Config", "Game", ""},
      {"value holds =", "[Config]\r\nCustomPKGKey=a=b\r\n", "Config", "CustomPKGKey", "a=b"},
      {"code page 936 bytes kept", "[Config]\r\nSourceDirectory=D:\\\xd3\xce\xcf\xb7\r\n", "Config",
       "SourceDirectory", "D:\\\xd3\xce\xcf\xb7"},
      {"first key wins", "[Config]\r\nGame=2\r\nGame=3\r\n", "Config", "Game", "2"},
      {"first section wins", "[Config]\r\nA=1\r\n[Config]\r\nGame=3\r\n", "Config", "Game",
       nullptr},
      {"key of another section", "[Other]\r\nGame=2\r\n[Config]\r\n", "Config", "Game", nullptr},
      {"key before any section", "Game=2\r\n[Config]\r\n", "Config", "Game", nullptr},
      {"missing section", "[Other]\r\nGame=2\r\n", "Config", "Game", nullptr},
      {"comment line", "[Config]\r\n;Game=2\r\n", "Config", "Game", nullptr},
      {"line without =", "[Config]\r\nGame\r\n", "Config", "Game", nullptr},
      {"empty file", "", "Config", "Game", nullptr},
  };
  for (const LookupCase& c : kCases) {
    SCOPED_TRACE(c.what);
    const auto got = IniLookup(c.text, c.section, c.key);
    if (c.expected == nullptr) {
      EXPECT_FALSE(got.has_value()) << *got;
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, c.expected);
    }
  }
}

struct AssignCase {
  const char* what;
  const char* before;
  const char* key;
  const char* value;
  const char* after;
};

TEST(IniAssignTest, ChangesOnlyItsOwnLine) {
  const AssignCase kCases[] = {
      {"new file", "", "Game", "1", "[Config]\r\nGame=1\r\n"},
      {"new section after others", "[Other]\r\nX=1\r\n", "Game", "1",
       "[Other]\r\nX=1\r\n\r\n[Config]\r\nGame=1\r\n"},
      {"new section, last line without break", "[Other]\r\nX=1", "Game", "1",
       "[Other]\r\nX=1\r\n\r\n[Config]\r\nGame=1\r\n"},
      {"replaces the value, keeps LF", "[Config]\nGame=1\nPKGType=5\n", "Game", "3",
       "[Config]\nGame=3\nPKGType=5\n"},
      {"replaces a key of other case", "[config]\r\n  GAME = 1 \r\n", "Game", "2",
       "[config]\r\nGame=2\r\n"},
      {"new key at the end of its section", "[Config]\r\nA=1\r\n\r\n[Other]\r\nB=2\r\n", "Game",
       "2", "[Config]\r\nA=1\r\nGame=2\r\n\r\n[Other]\r\nB=2\r\n"},
      {"new key in an empty last section", "[Config]", "Game", "2", "[Config]\r\nGame=2\r\n"},
      {"other sections and comments untouched", ";note\r\n[A]\r\nGame=9\r\n[Config]\r\nGame=1\r\n",
       "Game", "2", ";note\r\n[A]\r\nGame=9\r\n[Config]\r\nGame=2\r\n"},
      {"empty value", "[Config]\r\nCustomPKGKey=AB\r\n", "CustomPKGKey", "",
       "[Config]\r\nCustomPKGKey=\r\n"},
      // A line break in a value would add keys or sections of its own.
      {"value cut at a line break", "[Config]\r\n", "CustomPKGKey", "AB\r\n[Evil]\r\nX=1",
       "[Config]\r\nCustomPKGKey=AB\r\n"},
      {"value cut at a lone LF", "", "CustomPKGKey", "AB\nGame=3",
       "[Config]\r\nCustomPKGKey=AB\r\n"},
  };
  for (const AssignCase& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IniAssign(c.before, "Config", c.key, c.value), c.after);
  }
}

TEST(IniAssignTest, WhatIsWrittenReadsBack) {
  std::string text = "[Config]\r\nGame=1\r\n";
  for (const char* value : {"", "x", "D:\\a b\\c", "\xd3\xce\xcf\xb7", "1=2"}) {
    text = IniAssign(text, "Config", "SourceDirectory", value);
    EXPECT_EQ(IniLookup(text, "Config", "SourceDirectory").value_or("?"), value);
    EXPECT_EQ(IniLookup(text, "Config", "Game").value_or("?"), "1");
  }
}

class ProfileFileTest : public testing::Test {
 protected:
  std::string Path() const { return pkgtest::U8(dir_ / "Zerith_DURAdazov.ini"); }
  std::string Contents() const {
    const pkgtest::Bytes b = pkgtest::ReadFile(dir_ / "Zerith_DURAdazov.ini");
    return std::string(b.begin(), b.end());
  }
  void Write(const std::string& text) const {
    pkgtest::WriteFile(dir_ / "Zerith_DURAdazov.ini", text);
  }
  TempDir dir_;
};

TEST_F(ProfileFileTest, ReadsTextsIntegersAndBooleansWithTheirDefaults) {
  Write("[Config]\r\nText=abc\r\nHex=$1F\r\nBad=12a\r\nNeg=-7\r\nZero=0\r\nTwo=2\r\nWord=true\r\n");
  TProfileFile f(Path());
  ASSERT_TRUE(f.Exists());
  EXPECT_EQ(f.ReadString("Config", "Text"), "abc");
  EXPECT_EQ(f.ReadString("Config", "Missing"), "");
  EXPECT_EQ(f.ReadString("Nowhere", "Text"), "");
  EXPECT_EQ(f.ReadInteger("Config", "Hex", 1), 31);
  EXPECT_EQ(f.ReadInteger("Config", "Neg", 1), -7);
  EXPECT_EQ(f.ReadInteger("Config", "Bad", 1), 1);
  EXPECT_EQ(f.ReadInteger("Config", "Text", 5), 5);
  EXPECT_EQ(f.ReadInteger("Config", "Missing", 4), 4);
  EXPECT_FALSE(f.ReadBool("Config", "Zero", true));
  EXPECT_TRUE(f.ReadBool("Config", "Two", false));
  EXPECT_TRUE(f.ReadBool("Config", "Neg", false));
  EXPECT_FALSE(f.ReadBool("Config", "Word", false));
  EXPECT_TRUE(f.ReadBool("Config", "Missing", true));
}

TEST_F(ProfileFileTest, ReadsAtMost2047BytesOfAValue) {
  const std::string longValue(3000, 'x');
  Write("[Config]\r\nA=" + longValue + "\r\nB=" + std::string(2047, 'y') + "\r\n");
  TProfileFile f(Path());
  EXPECT_EQ(f.ReadString("Config", "A"), std::string(2047, 'x'));
  EXPECT_EQ(f.ReadString("Config", "B"), std::string(2047, 'y'));
}

TEST_F(ProfileFileTest, AFolderOfTheNameIsNoFile) {
  pkgtest::fs::create_directory(dir_ / "Zerith_DURAdazov.ini");
  TProfileFile f(Path());
  EXPECT_FALSE(f.Exists());
  EXPECT_EQ(f.ReadString("Config", "Game"), "");
  try {
    f.WriteString("Config", "Game", "1");
    FAIL() << "a folder was written over";
  } catch (const EProfileWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path());
  }
}

TEST_F(ProfileFileTest, WritesCreateTheFileAndKeepTheRest) {
  TProfileFile f(Path());
  EXPECT_FALSE(f.Exists());
  f.WriteString("Config", "A", "1");
  EXPECT_EQ(Contents(), "[Config]\r\nA=1\r\n");
  Write("[Other]\nX=\xd3\xce\n[Config]\nA=1\n");
  f.WriteInteger("Config", "A", -12);
  f.WriteBool("Config", "B", true);
  EXPECT_EQ(Contents(), "[Other]\nX=\xd3\xce\n[Config]\nA=-12\nB=1\r\n");
  EXPECT_EQ(pkgtest::ListNames(dir_.path()), std::vector<std::string>{"Zerith_DURAdazov.ini"})
      << "a temporary file was left behind";
}

// Breaks one step of a write; every other call reaches the system.
class BrokenWrites : public pkgtest::ForwardingPlatform {
 public:
  enum class Step { kCreate, kWrite, kMove, kRead, kReadOnly };
  explicit BrokenWrites(Step step) : step_(step) {}

  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    if (step_ == Step::kCreate) return pkg::Status::Fail("denied");
    pkg::Status s = inner_.CreateNewFile(p, f);
    if (s.ok() && step_ == Step::kWrite) f = std::make_unique<FullDisk>(std::move(f));
    return s;
  }
  pkg::Status MoveFileOver(const std::string& a, const std::string& b) override {
    if (step_ == Step::kMove) return pkg::Status::Fail("read-only");
    return inner_.MoveFileOver(a, b);
  }
  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    if (step_ == Step::kRead) return pkg::Status::Fail("locked");
    return inner_.OpenForReading(p, f);
  }
  pkg::Status OpenExistingForWriting(const std::string& p,
                                     std::unique_ptr<pkg::PlatformFile>& f) override {
    if (step_ == Step::kReadOnly) return pkg::Status::Fail("read-only");
    return inner_.OpenExistingForWriting(p, f);
  }

 private:
  class FullDisk : public pkg::PlatformFile {
   public:
    explicit FullDisk(std::unique_ptr<pkg::PlatformFile> f) : f_(std::move(f)) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      return f_->Read(b, n, got);
    }
    pkg::Status Write(const void*, std::size_t) override { return pkg::Status::Fail("disk full"); }
    pkg::Status Seek(std::uint64_t p) override { return f_->Seek(p); }
    pkg::Status Size(std::uint64_t& s) override { return f_->Size(s); }
    pkg::Status Identity(pkg::FileIdentity& id) override { return f_->Identity(id); }
    pkg::Status Stamp(pkg::FileStamp& st) override { return f_->Stamp(st); }
    pkg::Status Sync() override { return f_->Sync(); }
    pkg::Status Close() override { return f_->Close(); }

   private:
    std::unique_ptr<pkg::PlatformFile> f_;
  };
  Step step_;
};

TEST_F(ProfileFileTest, AFailedWriteReportsThePathAndKeepsTheOldFile) {
  const struct {
    const char* what;
    BrokenWrites::Step step;
  } kCases[] = {
      {"folder refuses a new file", BrokenWrites::Step::kCreate},
      {"disk full", BrokenWrites::Step::kWrite},
      {"file cannot be replaced", BrokenWrites::Step::kMove},
      {"file cannot be read", BrokenWrites::Step::kRead},
      {"file is read-only", BrokenWrites::Step::kReadOnly},
  };
  const std::string old = "[Other]\r\nX=1\r\n[Config]\r\nGame=2\r\n";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Write(old);
    BrokenWrites platform(c.step);
    TProfileFile f(Path(), platform);
    try {
      f.WriteString("Config", "Game", "3");
      ADD_FAILURE() << "the write did not fail";
    } catch (const EProfileWriteError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path());
    }
    EXPECT_EQ(Contents(), old);
    EXPECT_EQ(pkgtest::ListNames(dir_.path()), std::vector<std::string>{"Zerith_DURAdazov.ini"});
  }
}

TEST_F(ProfileFileTest, AnUnreadableFileFailsAReadInsteadOfLookingEmpty) {
  Write("[Config]\r\nGame=2\r\n");
  BrokenWrites platform(BrokenWrites::Step::kRead);
  TProfileFile f(Path(), platform);
  EXPECT_THROW(f.ReadString("Config", "Game"), EProfileReadError);
}

}  // namespace
}  // namespace pkgui
