// pkgtool list, verify and extract as a script would use them, natively and
// under Wine: round trips through pack, and hostile archives that must be
// refused with a clear message, a non-zero exit, and nothing written outside
// the destination.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "run_tool.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Every file and folder below root, by relative path ("a/b" for files,
// "a/" for folders), with each file's content. Links are listed, not followed.
std::map<std::string, Bytes> Snapshot(const fs::path& root) {
  std::map<std::string, Bytes> out;
  if (!fs::exists(root)) return out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    const std::string rel = U8(fs::relative(it->path(), root).generic_string());
    const fs::file_status st = it->symlink_status();
    if (fs::is_directory(st))
      out[rel + "/"] = {};
    else if (fs::is_regular_file(st))
      out[rel] = ReadFile(it->path());
    else
      out[rel + "@"] = {};
  }
  return out;
}

// Snapshot of root without what lies below inside.
std::map<std::string, Bytes> SnapshotOutside(const fs::path& root, const std::string& inside) {
  std::map<std::string, Bytes> all = Snapshot(root);
  std::erase_if(all, [&](const auto& e) { return e.first.rfind(inside + "/", 0) == 0; });
  return all;
}

std::vector<std::string> Keys(const std::map<std::string, Bytes>& m) {
  std::vector<std::string> k;
  for (const auto& e : m) k.push_back(e.first);
  return k;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A source tree with Chinese names, an empty file, twice the same content and
// a file larger than the reader's 256 KiB pieces.
void MakeSourceTree(const TempDir& dir) {
  WriteFile(dir / "src/readme.txt", "alpha");
  WriteFile(dir / "src/copy.txt", "alpha");
  WriteFile(dir / "src/数据/文件.txt", "中文内容");
  WriteFile(dir / "src/数据/子目录/空.bin", "");
  WriteFile(dir / "src/deep/x/y/big.bin", Deterministic(300'000, 7, true));
  WriteFile(dir / "src/deep/noise.bin", Deterministic(70'000, 9, false));
}

// ---------------------------------------------------------------------------
// Round trips

struct KeyKind {
  const char* name;
  std::vector<std::string> packFlags;
  std::vector<std::string> readFlags;  // none: the built-in keys are tried
  const char* keyText;                 // as verify names the key
};

const KeyKind kKeyKinds[] = {
    {"Game1", {}, {}, "game 1"},
    {"Game2", {"--game", "2"}, {}, "game 2"},
    {"CustomKey", {"--key", "3A7F0C52E9"}, {"--key", "3a7f0c52e9"}, "the key 3A7F0C52E9"},
    {"OneByteKey", {"--key", "5A"}, {"--key", "5A"}, "the key 5A"},
};

class RoundTripTest : public testing::TestWithParam<std::tuple<bool, KeyKind>> {};

TEST_P(RoundTripTest, PackVerifyExtractGivesTheTreeBackByteForByte) {
  const auto& [compress, key] = GetParam();
  TempDir dir;
  MakeSourceTree(dir);
  const std::string pkg = U8(dir / "o.pkg");
  std::vector<std::string> pack = {"pack", U8(dir / "src"), pkg};
  if (compress) pack.push_back("--compress");
  pack.insert(pack.end(), key.packFlags.begin(), key.packFlags.end());
  const ToolRun packed = RunTool(pack);
  ASSERT_EQ(packed.exitCode, 0) << packed.err;

  auto withKey = [&](std::vector<std::string> args) {
    args.insert(args.end(), key.readFlags.begin(), key.readFlags.end());
    return RunTool(args);
  };
  const ToolRun verified = withKey({"verify", pkg});
  EXPECT_EQ(verified.exitCode, 0) << verified.out;
  EXPECT_TRUE(Has(verified.out, "sound: 6 files")) << verified.out;
  EXPECT_TRUE(Has(verified.out, key.keyText)) << verified.out;

  const ToolRun listed = withKey({"list", pkg});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  for (const char* name :
       {"\\readme.txt", "\\数据\\文件.txt", "\\数据\\子目录\\空.bin", "\\deep\\x\\y\\big.bin"})
    EXPECT_TRUE(Has(listed.out, name)) << name << "\n" << listed.out;
  EXPECT_TRUE(Has(listed.out, compress ? "compression 1" : "compression 0")) << listed.out;

  const ToolRun extracted = withKey({"extract", pkg, U8(dir / "dest")});
  ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_TRUE(Has(extracted.out, "extracted 6 files")) << extracted.out;
  const auto src = Snapshot(dir / "src"), dest = Snapshot(dir / "dest");
  EXPECT_EQ(Keys(dest), Keys(src));
  EXPECT_TRUE(dest == src);
}

// --verify reads the new archive back before it replaces OUT and --no-sync
// skips the flush: neither changes a byte of the archive or of what is
// extracted.
TEST(PkgtoolPack, VerifyAndNoSyncChangeNoByte) {
  TempDir dir;
  MakeSourceTree(dir);
  for (const bool compress : {false, true}) {
    std::vector<std::string> pack = {"pack", U8(dir / "src"), U8(dir / "plain.pkg")};
    if (compress) pack.push_back("--compress");
    ASSERT_EQ(RunTool(pack).exitCode, 0);
    const Bytes plain = ReadFile(dir / "plain.pkg");
    for (const std::vector<std::string>& flags : std::vector<std::vector<std::string>>{
             {"--verify"}, {"--no-sync"}, {"--verify", "--no-sync"}}) {
      SCOPED_TRACE(flags.size() == 2 ? "both" : flags[0]);
      std::vector<std::string> args = pack;
      args[2] = U8(dir / "o.pkg");
      args.insert(args.end(), flags.begin(), flags.end());
      const ToolRun r = RunTool(args);
      ASSERT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(ReadFile(dir / "o.pkg"), plain);
      fs::remove_all(dir / "dest");
      const ToolRun x = RunTool({"extract", U8(dir / "o.pkg"), U8(dir / "dest"), "--no-sync"});
      ASSERT_EQ(x.exitCode, 0) << x.err;
      EXPECT_TRUE(Snapshot(dir / "dest") == Snapshot(dir / "src"));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CompressionAndKeys, RoundTripTest,
                         testing::Combine(testing::Bool(), testing::ValuesIn(kKeyKinds)),
                         [](const testing::TestParamInfo<std::tuple<bool, KeyKind>>& info) {
                           return std::string(std::get<0>(info.param) ? "Compressed" : "Stored") +
                                  std::get<1>(info.param).name;
                         });

// ---------------------------------------------------------------------------
// list

TEST(PkgtoolList, ShowsHeaderRecordsAndTotals) {
  TempDir dir;
  // "\数据\b.bin" in code page 936, and an empty file.
  ArchivePieces pieces = PiecesOf(
      {{"\\a.txt", ToBytes("hello")}, {"\\\xCA\xFD\xBE\xDD\\b.bin", {0, 1, 2}}, {"\\e", {}}},
      false);
  WriteFile(dir / "a.pkg", Assemble(pieces));
  const ToolRun r = RunTool({"list", U8(dir / "a.pkg")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* line :
       {"header: type 1, compression 0 (files stored as they are), trailer at offset 32\n",
        "key: the built-in key of game 1 (Zerith), found by trying both built-in keys\n",
        "        24          5          5  \\a.txt\n",
        "        29          3          3  \\数据\\b.bin\n",
        "        32          0          0  \\e\n", "3 files, 8 bytes, stored in 8 bytes\n"})
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
  EXPECT_EQ(r.err, "");
}

// A count of one reads "1 byte", in each command's totals and in its problems.
TEST(PkgtoolList, CountsOfOneReadInTheSingular) {
  TempDir dir;
  WriteFile(dir / "one.pkg", Assemble(PiecesOf({{"\\a", ToBytes("x")}}, false)));
  const ToolRun l = RunTool({"list", U8(dir / "one.pkg")});
  EXPECT_EQ(l.exitCode, 0) << l.err;
  EXPECT_TRUE(Has(l.out, "1 file, 1 byte, stored in 1 byte\n")) << l.out;
  const ToolRun x = RunTool({"extract", U8(dir / "one.pkg"), U8(dir / "dest")});
  EXPECT_EQ(x.exitCode, 0) << x.err;
  EXPECT_TRUE(Has(x.out, "extracted 1 file, 1 byte, into ")) << x.out;

  // A second file whose one stored byte is the start of a zlib stream.
  ArchivePieces pieces = PiecesOf({{"\\a", ToBytes("0123456789abcdef")}}, true);
  const auto at = static_cast<std::uint32_t>(24 + pieces.data.size());
  pieces.data.push_back(0x78);
  pieces.records.push_back({"\\b", at, 1, 1});
  WriteFile(dir / "cut.pkg", Assemble(pieces));
  const ToolRun v = RunTool({"verify", U8(dir / "cut.pkg")});
  EXPECT_EQ(v.exitCode, 1);
  EXPECT_TRUE(Has(v.out, "index record 2 (\\b): the data at offset " + std::to_string(at) +
                             " (1 stored byte, size 1) is cut short: its zlib stream breaks off "
                             "before giving any of its 1 byte\n"))
      << v.out;
}

// Names come from whoever made the archive: escape sequences and bytes that
// are not code page 936 must not reach the terminal as they are.
TEST(PkgtoolList, ShowsUnprintableNamesEscaped) {
  TempDir dir;
  WriteFile(dir / "a.pkg",
            Assemble(PiecesOf({{"\\a\x1B[2Jb", ToBytes("x")}, {"\\\x81", ToBytes("y")}}, false)));
  const ToolRun r = RunTool({"list", U8(dir / "a.pkg")});
  EXPECT_TRUE(Has(r.out, "\\a\\x1B[2Jb\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "\\\\x81\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "\x1B"));
}

TEST(PkgtoolList, KeyThatDoesNotFitIsSaidSoNotShownAsGarbage) {
  TempDir dir;
  ArchivePieces game1 = PiecesOf({{"\\a.txt", ToBytes("hello")}}, true);
  ArchivePieces custom = game1;
  custom.key = {0x3A, 0x7F};
  WriteFile(dir / "g1.pkg", Assemble(game1));
  WriteFile(dir / "custom.pkg", Assemble(custom));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } kCases[] = {
      {{"list", U8(dir / "g1.pkg"), "--game", "2"}, "the index does not match this key"},
      {{"list", U8(dir / "g1.pkg"), "--key", "3A7F"}, "the index does not match this key"},
      {{"list", U8(dir / "custom.pkg")}, "neither built-in key (game 1 or game 2) fits"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    EXPECT_FALSE(Has(r.out, "a.txt")) << r.out;
  }
  const ToolRun fits = RunTool({"list", U8(dir / "custom.pkg"), "--key", "3A7F"});
  EXPECT_EQ(fits.exitCode, 0) << fits.err;
  EXPECT_TRUE(Has(fits.out, "\\a.txt")) << fits.out;
}

// ---------------------------------------------------------------------------
// verify

TEST(PkgtoolVerify, ReportsEveryProblemOnItsOwnLine) {
  TempDir dir;
  // Record 2's stream inflates to 10 bytes where the index says 5; record 3
  // repeats the name of record 1 and overlaps record 2's data.
  const Bytes ten = Deflate(ToBytes("0123456789"));
  ArchivePieces pieces = PiecesOf({{"\\a", ToBytes("hello")}}, true);
  const std::uint32_t at = static_cast<std::uint32_t>(24 + pieces.data.size());
  pieces.data.insert(pieces.data.end(), ten.begin(), ten.end());
  pieces.records.push_back({"\\..\\up", at, 5, static_cast<std::uint32_t>(ten.size())});
  pieces.records.push_back({"\\a", at, 10, static_cast<std::uint32_t>(ten.size())});
  Bytes bytes = Assemble(pieces);
  bytes[21] ^= 0x01;  // header constant
  WriteFile(dir / "a.pkg", bytes);

  const ToolRun r = RunTool({"verify", U8(dir / "a.pkg")});
  EXPECT_EQ(r.exitCode, 1);
  const std::string p = U8(dir / "a.pkg") + ": ";
  for (const std::string& line : std::vector<std::string>{
           p + "offset 20: the header constant is 0x006768ED, not 0x006769ED\n",
           p + "index record 3 (byte 40 of the index): its name is already that of index "
               "record 1 (name \\a)\n",
           p + "index record 3 (byte 40 of the index): its data (offset " + std::to_string(at) +
               ", " + std::to_string(ten.size()) + " bytes) overlaps that of index record 2",
           p + "index record 2: its name \\..\\up is not a relative path: it holds \"..\"",
           p + "index record 2 (\\..\\up): the data at offset " + std::to_string(at),
           "inflates to more than its size of 5 bytes\n",
           p + "5 problems found\n",
       })
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
}

TEST(PkgtoolVerify, ArchiveCutAnywhereFailsAndSaysWhere) {
  TempDir dir;
  const Bytes good = Assemble(PiecesOf({{"\\a.txt", ToBytes("hello")}}, true));
  const struct {
    std::size_t length;
    const char* message;
  } kCuts[] = {{0, "0 bytes long, shorter than its 24-byte header"},
               {23, "23 bytes long"},
               {24, "offset 16: the trailer offset 37"},
               {40, "offset 16: the trailer offset 37"},
               {good.size() - 1, "trailer at offset 37: the index"}};
  for (const auto& c : kCuts) {
    SCOPED_TRACE(c.length);
    WriteFile(dir / "cut.pkg", Bytes(good.begin(), good.begin() + c.length));
    const ToolRun r = RunTool({"verify", U8(dir / "cut.pkg")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.out, c.message)) << r.out;
  }
  const ToolRun missing = RunTool({"verify", U8(dir / "none.pkg")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Has(missing.out, "none.pkg")) << missing.out;
}

// Names from the areas code page 936 leaves to its users read as Windows
// reads them, private use characters, on every system.
TEST(PkgtoolVerify, NamesFromTheUserDefinedAreasAreSoundEverywhere) {
  TempDir dir;
  WriteFile(
      dir / "a.pkg",
      Assemble(PiecesOf({{"\\\xA1\x40", ToBytes("a")}, {"\\\xAA\xA1\\\xFE\xA0.txt", ToBytes("b")}},
                        false)));
  const ToolRun v = RunTool({"verify", U8(dir / "a.pkg")});
  EXPECT_EQ(v.exitCode, 0) << v.out;
  const ToolRun x = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  EXPECT_EQ(x.exitCode, 0) << x.err;
  // U+E4C6, U+E000 and U+E864.
  EXPECT_EQ(Snapshot(dir / "dest").size(), 3u);
  EXPECT_EQ(ReadFile(dir / "dest" / fs::u8path("\xEE\x93\x86")), ToBytes("a"));
  EXPECT_EQ(ReadFile(dir / "dest" / fs::u8path("\xEE\x80\x80/\xEE\xA1\xA4.txt")), ToBytes("b"));
}

// Stray bytes after the index: the key is right, and what is wrong is said.
TEST(PkgtoolVerify, BytesAfterTheIndexAreNamedNotTakenForAWrongKey) {
  TempDir dir;
  Bytes bytes = Assemble(PiecesOf({{"\\a.txt", ToBytes("hello")}}, true));
  const std::size_t end = bytes.size();
  bytes.resize(end + 5, 0);
  WriteFile(dir / "a.pkg", bytes);
  const std::string stray =
      "trailer at offset 37: the index has 5 bytes after the end of its zlib "
      "stream, which ends at offset " +
      std::to_string(end) + " instead of at the end of the file\n";
  const ToolRun v = RunTool({"verify", U8(dir / "a.pkg")});
  EXPECT_EQ(v.exitCode, 1);
  EXPECT_TRUE(Has(v.out, U8(dir / "a.pkg") + ": " + stray)) << v.out;
  EXPECT_FALSE(Has(v.out, "neither built-in key")) << v.out;
  const ToolRun l = RunTool({"list", U8(dir / "a.pkg")});
  EXPECT_EQ(l.exitCode, 1);
  EXPECT_EQ(l.err, "pkgtool list: " + stray);
  EXPECT_TRUE(Has(l.out, "key: the built-in key of game 1")) << l.out;
  EXPECT_TRUE(Has(l.out, "  \\a.txt\n")) << l.out;
}

// Hundreds of bad names: a bounded number of lines, then one saying that
// the rest is not shown.
TEST(PkgtoolVerify, ManyProblemsEndWithALineSayingSo) {
  TempDir dir;
  std::vector<ArchiveFile> files;
  for (int i = 0; i < 300; ++i) files.push_back({"\\..\\" + std::to_string(i), ToBytes("x")});
  WriteFile(dir / "a.pkg", Assemble(PiecesOf(files, false)));
  auto lines = [](const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  const ToolRun v = RunTool({"verify", U8(dir / "a.pkg")});
  EXPECT_EQ(v.exitCode, 1);
  EXPECT_EQ(lines(v.out), 102u) << v.out;
  EXPECT_TRUE(Has(v.out, ": stopped after 100 problems; the rest of the archive is not checked\n"))
      << v.out;
  EXPECT_TRUE(Has(v.out, ": 101 problems found\n")) << v.out;

  const ToolRun x = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  EXPECT_EQ(x.exitCode, 1);
  EXPECT_EQ(lines(x.err), 102u) << x.err;
  EXPECT_TRUE(Has(x.err, "more problems were found than these 100; they are not shown\n")) << x.err;
  EXPECT_FALSE(fs::exists(dir / "dest"));
}

// Letter case is compared as the system compares names: on Windows a file
// "\Data" and a folder "\data" are one, elsewhere they are two.
TEST(PkgtoolVerify, NameThatIsAlsoAFolderIsComparedAsTheSystemComparesNames) {
  TempDir dir;
  WriteFile(dir / "a.pkg",
            Assemble(PiecesOf({{"\\Data", ToBytes("file")}, {"\\data\\a.bin", ToBytes("below")}},
                              false)));
  const ToolRun v = RunTool({"verify", U8(dir / "a.pkg")});
  const ToolRun x = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  if (!kWindows) {
    EXPECT_EQ(v.exitCode, 0) << v.out;
    EXPECT_EQ(x.exitCode, 0) << x.err;
    EXPECT_EQ(Keys(Snapshot(dir / "dest")),
              (std::vector<std::string>{"Data", "data/", "data/a.bin"}));
    return;
  }
  EXPECT_EQ(v.exitCode, 1);
  EXPECT_TRUE(Has(v.out,
                  "index record 1: its name \\Data is also the folder of index record 2 "
                  "(\\data\\a.bin)"))
      << v.out;
  EXPECT_EQ(x.exitCode, 1);
  EXPECT_TRUE(Has(x.err, "index record 1 (\\Data): its name is also the folder of index record 2"))
      << x.err;
  EXPECT_TRUE(Has(x.err, "nothing was extracted")) << x.err;
  EXPECT_TRUE(Snapshot(dir / "dest").empty());
}

// ---------------------------------------------------------------------------
// extract: hostile archives

// A sound file first, then one with the given name, so that a refusal shows
// whether anything at all was written.
Bytes WithName(const std::string& name) {
  return Assemble(PiecesOf({{"\\ok.txt", ToBytes("fine")}, {name, ToBytes("evil")}}, false));
}

Bytes Mutated(void (*change)(ArchivePieces&)) {
  ArchivePieces pieces =
      PiecesOf({{"\\ok.txt", ToBytes("fine")}, {"\\b.txt", ToBytes("bad")}}, false);
  change(pieces);
  return Assemble(pieces);
}

struct HostileCase {
  const char* what;
  Bytes (*make)();
  const char* message;
  bool windowsOnly;  // a plain name elsewhere, extracted below DEST
};

const HostileCase kHostileCases[] = {
    {"parent folder", [] { return WithName("\\..\\..\\evil.txt"); }, "\"..\"", false},
    {"parent folder deeper in", [] { return WithName("\\sub\\..\\..\\..\\evil.txt"); }, "\"..\"",
     false},
    {"parent folder behind a slash", [] { return WithName("\\sub/../../../evil.txt"); }, "\"/\"",
     false},
    {"no leading backslash", [] { return WithName("..\\evil.txt"); },
     "does not begin with a backslash", false},
    {"absolute POSIX path", [] { return WithName("/tmp/evil.txt"); },
     "does not begin with a backslash", false},
    {"drive letter without backslash", [] { return WithName("C:\\evil.txt"); },
     "does not begin with a backslash", false},
    {"UNC path", [] { return WithName("\\\\server\\share\\evil.txt"); },
     "empty folder or file name", false},
    {"empty component", [] { return WithName("\\sub\\\\evil.txt"); }, "empty folder or file name",
     false},
    {"trailing backslash", [] { return WithName("\\sub\\"); }, "empty folder or file name", false},
    {"current folder", [] { return WithName("\\.\\evil.txt"); }, "\".\"", false},
    {"control character", [] { return WithName("\\evil\n.txt"); }, "control character \\x0A",
     false},
    {"not code page 936", [] { return WithName("\\\x81"); }, "not code page 936 text", false},
    {"drive letter", [] { return WithName("\\C:\\evil.txt"); }, "drive letter", true},
    {"alternate data stream", [] { return WithName("\\ok.txt:evil"); }, "data stream", true},
    {"device name", [] { return WithName("\\CON"); }, "device", true},
    {"device name with extension", [] { return WithName("\\sub\\nul.txt"); }, "device", true},
    {"serial port device", [] { return WithName("\\COM1.log"); }, "device", true},
    {"trailing dot", [] { return WithName("\\evil."); }, "dot or a blank", true},
    {"trailing blank", [] { return WithName("\\evil "); }, "dot or a blank", true},
    {"wildcard", [] { return WithName("\\evil?.txt"); }, "does not allow", true},
    {"overlapping records",
     [] { return Mutated([](ArchivePieces& s) { s.records[1].offset -= 2; }); }, "overlaps", false},
    {"offset past the end",
     [] { return Mutated([](ArchivePieces& s) { s.records[1].offset = 100000; }); },
     "outside the data area", false},
    {"huge index size", [] { return Mutated([](ArchivePieces& s) { s.indexSize = 0xFFFFFFF0u; }); },
     "claims 4294967280 bytes", false},
    {"truncated trailer",
     [] {
       Bytes b = WithName("\\b.txt");
       b.resize(24 + 8 + 20);
       return b;
     },
     "does not leave room for a trailer", false},
    {"flipped digest",
     [] {
       Bytes b = WithName("\\b.txt");
       b[24 + 8 + 4 + 7] ^= 0x20;
       return b;
     },
     "the digest at offset 36 differs", false},
    {"index sealed with another key",
     [] { return Mutated([](ArchivePieces& s) {
            s.key = {0x01, 0x02, 0x03};
          }); },
     "matches none of the 2 keys tried", false},
    // A name that is also another's folder: one of the two could be written,
    // the other not, so neither is.
    {"a file's name also a folder", [] { return WithName("\\ok.txt\\evil"); },
     "is also the folder of index record 2", false},
    {"a folder, then a file of its name",
     [] {
       return Assemble(
           PiecesOf({{"\\sub\\evil.txt", ToBytes("evil")}, {"\\sub", ToBytes("fine")}}, false));
     },
     "is also the folder of index record 1", false},
};

void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.what;
}

class ExtractHostileTest : public testing::TestWithParam<HostileCase> {};

TEST_P(ExtractHostileTest, IsRefusedAndNothingIsWrittenOutsideDest) {
  const HostileCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "a.pkg", c.make());
  fs::create_directories(dir / "inside/dest");
  const auto before = SnapshotOutside(dir.path(), "inside/dest");

  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "inside/dest")});
  EXPECT_EQ(SnapshotOutside(dir.path(), "inside/dest"), before);
  const auto dest = Snapshot(dir / "inside/dest");
  if (c.windowsOnly && !kWindows) {
    // A plain name here: both files land below DEST.
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "extracted 2 files")) << r.out;
    return;
  }
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, c.message)) << r.err;
  EXPECT_TRUE(Has(r.err, "nothing was extracted")) << r.err;
  EXPECT_TRUE(dest.empty()) << Keys(dest).front();

  const ToolRun v = RunTool({"verify", U8(dir / "a.pkg")});
  EXPECT_EQ(v.exitCode, c.windowsOnly ? 0 : 1) << v.out;
}

INSTANTIATE_TEST_SUITE_P(Table, ExtractHostileTest, testing::ValuesIn(kHostileCases),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

// A file whose stored bytes are damaged is left out, without a trace; the
// sound files are still written.
TEST(PkgtoolExtract, DamagedFileDataIsNotWrittenAndTheRestIs) {
  TempDir dir;
  const Bytes ten = Deflate(ToBytes("0123456789"));
  const Bytes cut(ten.begin(), ten.end() - 3);
  ArchivePieces pieces = PiecesOf({{"\\ok.txt", ToBytes("fine")}}, true);
  auto add = [&pieces](const std::string& name, const Bytes& stored, std::uint32_t size) {
    pieces.records.push_back({name, static_cast<std::uint32_t>(24 + pieces.data.size()), size,
                              static_cast<std::uint32_t>(stored.size())});
    pieces.data.insert(pieces.data.end(), stored.begin(), stored.end());
  };
  add("\\larger.txt", ten, 5);
  add("\\cut.txt", cut, 10);
  add("\\also-ok.txt", Deflate(ToBytes("also")), 4);
  WriteFile(dir / "a.pkg", Assemble(pieces));

  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "index record 2 (\\larger.txt): the data at offset")) << r.err;
  EXPECT_TRUE(Has(r.err, "inflates to more than its size of 5 bytes")) << r.err;
  EXPECT_TRUE(Has(r.err, "index record 3 (\\cut.txt)")) << r.err;
  EXPECT_TRUE(Has(r.err, "is cut short")) << r.err;
  EXPECT_EQ(Keys(Snapshot(dir / "dest")), (std::vector<std::string>{"also-ok.txt", "ok.txt"}));
}

// ---------------------------------------------------------------------------
// extract: what is already there

TEST(PkgtoolExtract, ExistingFilesAreReplacedOnlyWithForce) {
  TempDir dir;
  WriteFile(dir / "a.pkg",
            Assemble(PiecesOf(
                {{"\\new.txt", ToBytes("new")}, {"\\sub\\a.txt", ToBytes("archived")}}, true)));
  WriteFile(dir / "dest/sub/a.txt", "mine");
  const ToolRun refused = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Has(refused.err, "exists already; give --force to replace it")) << refused.err;
  EXPECT_EQ(ReadFile(dir / "dest/sub/a.txt"), ToBytes("mine"));
  EXPECT_FALSE(fs::exists(dir / "dest/new.txt"));

  const ToolRun forced = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest"), "--force"});
  EXPECT_EQ(forced.exitCode, 0) << forced.err;
  EXPECT_EQ(ReadFile(dir / "dest/sub/a.txt"), ToBytes("archived"));
  EXPECT_EQ(ReadFile(dir / "dest/new.txt"), ToBytes("new"));
  EXPECT_EQ(Keys(Snapshot(dir / "dest")),
            (std::vector<std::string>{"new.txt", "sub/", "sub/a.txt"}));
}

TEST(PkgtoolExtract, WhatStandsInTheWayIsRefusedBeforeWriting) {
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf({{"\\ok.txt", ToBytes("ok")},
                                              {"\\data\\a.bin", ToBytes("a")},
                                              {"\\folder", ToBytes("f")}},
                                             false)));
  WriteFile(dir / "dest/data", "a file where a folder is needed");
  fs::create_directories(dir / "dest/folder");
  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest"), "--force"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "is a file, where a folder is needed")) << r.err;
  EXPECT_TRUE(Has(r.err, "folder\' is a folder")) << r.err;
  EXPECT_FALSE(fs::exists(dir / "dest/ok.txt"));

  WriteFile(dir / "plain-file", "x");
  const ToolRun notFolder = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "plain-file")});
  EXPECT_EQ(notFolder.exitCode, 2);
  EXPECT_TRUE(Has(notFolder.err, "is a file, not a folder")) << notFolder.err;
}

#ifndef _WIN32
// A link inside DEST must not carry files outside it.
TEST(PkgtoolExtract, DoesNotWriteThroughLinksInDest) {
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf({{"\\sub\\x.txt", ToBytes("x")}}, false)));
  fs::create_directories(dir / "outside");
  fs::create_directories(dir / "dest");
  fs::create_directory_symlink(dir / "outside", dir / "dest/sub");
  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "is a link or a device")) << r.err;
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
}
#else
// Names that differ only in letter case are one file on Windows: the second
// must not silently replace the first, even with --force.
TEST(PkgtoolExtract, NamesThatDifferOnlyInCaseAreNotMerged) {
  TempDir dir;
  WriteFile(
      dir / "a.pkg",
      Assemble(PiecesOf({{"\\a.txt", ToBytes("first")}, {"\\A.TXT", ToBytes("second")}}, false)));
  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest"), "--force"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "this system takes the two names for one")) << r.err;
  EXPECT_EQ(ReadFile(dir / "dest/a.txt"), ToBytes("first"));
  EXPECT_EQ(Keys(Snapshot(dir / "dest")), (std::vector<std::string>{"a.txt"}));
}
#endif

#ifndef _WIN32
// A file name may hold an escape sequence or a line break on Linux, and so
// may a path the user gives or a name in a downloaded archive: whatever
// pkgtool says about them (packing refuses such names), it shows them
// escaped, never as they are.
TEST(PkgtoolNames, EveryCommandShowsNamesAndPathsEscaped) {
  TempDir dir;
  const std::string evil = "d\x1B[2J\nx";
  WriteFile(dir / ("src/" + evil + "/f\x1B]0;t\x07.txt"), "data");
  WriteFile(dir / ("src/" + evil + "/line\nbreak.txt"), "data");
  const std::string pkg = U8(dir / (evil + ".pkg"));
  WriteFile(pkg, Assemble(PiecesOf({{"\\" + evil + "\\f\x1B]0;t\x07.txt", ToBytes("data")},
                                    {"\\line\nbreak.txt", ToBytes("data")}},
                                   true)));
  const std::vector<std::vector<std::string>> runs = {
      {"pack", U8(dir / "src"), U8(dir / (evil + "-new.pkg"))},
      {"list", pkg},
      {"verify", pkg},
      {"extract", pkg, U8(dir / ("dest" + evil))},
      {"extract", U8(dir / "none\x1B.pkg"), U8(dir / "d2")},
      {"pack", U8(dir / ("none" + evil)), U8(dir / "o.pkg")},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    const ToolRun r = RunTool(args);
    const std::string all = r.out + r.err;
    EXPECT_EQ(all.find('\x1B'), std::string::npos) << all;
    EXPECT_EQ(all.find('\x07'), std::string::npos) << all;
    EXPECT_FALSE(Has(all, "line\nbreak")) << all;
    EXPECT_FALSE(Has(all, "[2J\nx")) << all;
    EXPECT_TRUE(Has(all, "\\x1B")) << all;
  }
}
#endif

TEST(PkgtoolExtract, OnlyChoosesFilesAndFoldersIgnoringCase) {
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf({{"\\top.txt", ToBytes("t")},
                                              {"\\Data\\a.bin", ToBytes("a")},
                                              {"\\Data\\sub\\b.bin", ToBytes("b")},
                                              {"\\Database.txt", ToBytes("not in \\Data")}},
                                             false)));
  const struct {
    std::vector<std::string> only;
    std::vector<std::string> files;
  } kCases[] = {
      {{"--only", "\\data"}, {"Data/", "Data/a.bin", "Data/sub/", "Data/sub/b.bin"}},
      {{"--only", "/DATA/SUB/B.BIN"}, {"Data/", "Data/sub/", "Data/sub/b.bin"}},
      {{"--only", "\\top.txt", "--only", "Data\\a.bin\\"}, {"Data/", "Data/a.bin", "top.txt"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.only[1]);
    TempDir out;
    std::vector<std::string> args = {"extract", U8(dir / "a.pkg"), U8(out.path())};
    args.insert(args.end(), c.only.begin(), c.only.end());
    const ToolRun r = RunTool(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Keys(Snapshot(out.path())), c.files);
  }
  TempDir out;
  const ToolRun none = RunTool(
      {"extract", U8(dir / "a.pkg"), U8(out.path()), "--only", "\\top.txt", "--only", "\\nope"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_TRUE(Has(none.err, "--only \\nope: the archive holds no file or folder of that name"))
      << none.err;
  EXPECT_TRUE(fs::is_empty(out.path()));
}

// ---------------------------------------------------------------------------
// pack --exclude-from

TEST(PkgtoolPack, ExcludeFromTakesOneRelativePathPerLine) {
  TempDir dir;
  for (const char* f : {"keep.txt", "drop.txt", "sub/drop me.txt", "sub/keep.txt", "数据.txt"})
    WriteFile(dir / (std::string("src/") + f), f);
  // A byte order mark, CR LF, LF and lone CR line ends, a blank-kept entry
  // that matches nothing, an empty line, and no line break at the end.
  WriteFile(dir / "list.txt",
            "\xEF\xBB\xBF\\DROP.TXT\r\n\\sub\\drop me.txt\r\\sub\\keep.txt \n\n\\数据.txt");
  const ToolRun r =
      RunTool({"pack", U8(dir / "src"), U8(dir / "o.pkg"), "--exclude-from", U8(dir / "list.txt")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The blank kept in the third entry makes it name no file, and pack says so.
  EXPECT_TRUE(Has(r.out, "exclusion entry \\sub\\keep.txt  matched no file\n")) << r.out;
  const ToolRun listed = RunTool({"list", U8(dir / "o.pkg")});
  EXPECT_TRUE(Has(listed.out, "\\keep.txt\n")) << listed.out;
  EXPECT_TRUE(Has(listed.out, "\\sub\\keep.txt\n")) << listed.out;
  EXPECT_TRUE(Has(listed.out, "2 files,")) << listed.out;

  WriteFile(dir / "bad.txt", "\\keep.txt\n\\\xCA\xFD.txt\n");  // code page 936, not UTF-8
  const struct {
    std::string file;
    const char* message;
  } kBad[] = {{U8(dir / "bad.txt"), "line 2 is not UTF-8 text"},
              {U8(dir / "missing.txt"), "missing.txt"}};
  for (const auto& c : kBad) {
    const ToolRun bad =
        RunTool({"pack", U8(dir / "src"), U8(dir / "p.pkg"), "--exclude-from", c.file});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(Has(bad.err, c.message)) << bad.err;
    EXPECT_FALSE(fs::exists(dir / "p.pkg"));
  }
}

// ---------------------------------------------------------------------------
// pack: what the exclusion entries did

// The text after the outcome line of a pack that finished.
std::string AfterOutcome(const std::string& out) {
  const std::size_t at = out.find("打包结束，耗时");
  if (at == std::string::npos) return "(no outcome) " + out;
  return out.substr(out.find('\n', at) + 1);
}

// A misspelt entry is no longer silently ignored: pack names each entry that
// left no file out, after the outcome, and still succeeds.
TEST(PkgtoolPack, NamesEachExclusionEntryThatMatchedNoFile) {
  TempDir dir;
  for (const char* f : {"a.bin", "data/a.bin", "data/b.bin"})
    WriteFile(dir / (std::string("src/") + f), f);
  const struct {
    const char* what;
    std::vector<std::string> entries;
    const char* after;  // the lines after the outcome
    std::size_t packed;
  } kCases[] = {
      {"misspelt", {"\\data\\a.bn"}, "exclusion entry \\data\\a.bn matched no file\n", 3},
      {"case ignored, two entries for one file", {"\\DATA\\A.BIN", "\\data\\a.bin"}, "", 2},
      {"no backslash, a folder, a blank kept, in the order given",
       {"data\\a.bin", "\\data", "\\data\\b.bin ", "\\a.bin"},
       "exclusion entry data\\a.bin matched no file\n"
       "exclusion entry \\data matched no file\n"
       "exclusion entry \\data\\b.bin  matched no file\n",
       2},
      {"shown escaped", {"\\x\x1B[2J"}, "exclusion entry \\x\\x1B[2J matched no file\n", 3},
      {"an empty entry names no file and is not reported", {"", "\\a.bin"}, "", 2},
      {"the same entry twice, named once",
       {"\\nope", "\\nope"},
       "exclusion entry \\nope matched no file\n",
       3},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"pack", U8(dir / "src"), U8(dir / "o.pkg")};
    for (const std::string& e : c.entries) args.insert(args.end(), {"--exclude", e});
    const ToolRun r = RunTool(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(AfterOutcome(r.out), c.after);
    EXPECT_TRUE(
        Has(RunTool({"list", U8(dir / "o.pkg")}).out, std::to_string(c.packed) + " files,"));
  }
}

std::map<std::string, Bytes> SnapshotWithTimes(const fs::path& root,
                                               std::map<std::string, fs::file_time_type>& times) {
  times.clear();
  for (const auto& e : fs::recursive_directory_iterator(root))
    times[U8(fs::relative(e.path(), root).generic_string())] = fs::last_write_time(e.path());
  return Snapshot(root);
}

// The dry run writes nothing at all (no temporary file, no placeholder, an
// older archive untouched) and lists the files in archive order with their
// sizes, then what was left out and by which entry, then the totals.
TEST(PkgtoolPack, DryRunListsWhatWouldBePackedAndWritesNothing) {
  TempDir dir;
  WriteFile(dir / "src/b.txt", "bb");
  WriteFile(dir / "src/A.txt", "a");
  WriteFile(dir / "src/_z", "");
  WriteFile(dir / "src/sub/c.bin", Deterministic(300, 1, false));
  WriteFile(dir / "src/sub/数据.txt", "中文");
  WriteFile(dir / "src/skip.me", "left out");
  WriteFile(dir / "src/sub/drop", "left out");
  WriteFile(dir / "drop.txt", "\\sub\\DROP\r\n\\sub\\drop\r\n");
  const std::string kListing =
      "dry run: nothing is written\n"
      "      size  name\n"
      "         1  \\A.txt\n"
      "         2  \\b.txt\n"
      "         0  \\_z\n"
      "       300  \\sub\\c.bin\n"
      "         6  \\sub\\数据.txt\n"
      "excluded \\skip.me by exclusion entry \\SKIP.ME\n"
      "excluded \\sub\\drop by exclusion entry \\sub\\DROP\n"
      "exclusion entry \\nope matched no file\n"
      "would pack 5 files, 309 bytes; 2 files excluded\n";
  for (const bool older : {false, true}) {
    SCOPED_TRACE(older ? "an older archive" : "no archive");
    if (older) WriteFile(dir / "o.pkg", "older archive");
    std::map<std::string, fs::file_time_type> before, after;
    const auto snapshot = SnapshotWithTimes(dir.path(), before);
    const ToolRun r =
        RunTool({"pack", U8(dir / "src"), U8(dir / "o.pkg"), "--compress", "--dry-run", "--exclude",
                 "\\SKIP.ME", "--exclude", "\\nope", "--exclude-from", U8(dir / "drop.txt")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, kListing);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(SnapshotWithTimes(dir.path(), after) == snapshot);
    EXPECT_TRUE(after == before);
  }
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
}

// Where the pack would fail before writing, so does the dry run, saying the
// same; it still writes nothing.
TEST(PkgtoolPack, DryRunFailsWhereThePackWould) {
  TempDir dir;
  fs::create_directories(dir / "empty");
  WriteFile(dir / "one/a", "a");
  const struct {
    const char* what;
    std::vector<std::string> args;
    const char* out;  // part of the output
    const char* err;
  } kCases[] = {
      {"no file",
       {"pack", U8(dir / "empty"), U8(dir / "o.pkg"), "--dry-run"},
       "would pack 0 files, 0 bytes; 0 files excluded\n",
       "没有需要打包的文件！\n"},
      {"every file excluded",
       {"pack", U8(dir / "one"), U8(dir / "o.pkg"), "--exclude", "\\A", "--dry-run"},
       "excluded \\a by exclusion entry \\A\n",
       "没有需要打包的文件！\n"},
#ifndef _WIN32
      {"a name no archive may hold",
       {"pack", U8(dir / "ctrl"), U8(dir / "o.pkg"), "--dry-run"},
       "would pack 2 files",
       "control character \\x0A, which an archive's names may not hold"},
#endif
  };
#ifndef _WIN32
  WriteFile(dir / "ctrl/a", "a");
  WriteFile(dir / "ctrl/new\nline", "n");
#endif
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.out, c.out)) << r.out;
    EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    EXPECT_FALSE(fs::exists(dir / "o.pkg"));
  }
}

// ---------------------------------------------------------------------------
// Names that differ only in letter case

// Sound everywhere, but one file once extracted on Windows: verify warns and
// keeps its verdict. A file that is, but for case, another's folder is a
// problem on Windows already, and only that.
TEST(PkgtoolVerify, WarnsOfNamesThatDifferOnlyInLetterCase) {
  const struct {
    const char* what;
    std::vector<std::string> names;  // code page 936
    std::vector<std::string> warnings;
    int exitCode;
  } kCases[] = {
      {"two files",
       {"\\a.txt", "\\b", "\\A.TXT"},
       {"warning: index record 1 (\\a.txt) and index record 3 (\\A.TXT) differ only in letter "
        "case; extracted on Windows they would be one file"},
       0},
      {"Greek, in a folder",
       {"\\d\\\xA6\xC1", "\\D\\\xA6\xA1"},
       {"warning: index record 1 (\\d\\α) and index record 2 (\\D\\Α) differ only in letter "
        "case"},
       0},
      {"a file and a folder",
       {"\\Data", "\\data\\a.bin"},
       {kWindows ? ""
                 : "warning: index record 1 (\\Data) differs only in letter case from the "
                   "folder of index record 2 (\\data\\a.bin); extracted on Windows the file "
                   "and the folder would collide"},
       kWindows ? 1 : 0},
      {"no case", {"\\a", "\\b\\a", "\\\xCA\xFD\xBE\xDD"}, {}, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::vector<ArchiveFile> files;
    for (const std::string& n : c.names) files.push_back({n, ToBytes("x")});
    WriteFile(dir / "a.pkg", Assemble(PiecesOf(files, false)));
    const ToolRun r = RunTool({"verify", U8(dir / "a.pkg")});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    std::size_t shown = 0;
    for (const std::string& w : c.warnings) {
      if (w.empty()) continue;
      ++shown;
      EXPECT_TRUE(Has(r.out, U8(dir / "a.pkg") + ": " + w)) << r.out;
    }
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = r.out.find(": warning: ", at)) != std::string::npos; ++at)
      ++lines;
    EXPECT_EQ(lines, shown) << r.out;
  }
}

// ---------------------------------------------------------------------------
// Command lines

TEST(PkgtoolReadCommands, BadCommandLinesExitWithUsage) {
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf({{"\\a", ToBytes("a")}}, false)));
  const std::string a = U8(dir / "a.pkg"), d = U8(dir / "d");
  const struct {
    std::vector<std::string> args;
    const char* message;
  } kCases[] = {
      {{"list"}, "give one archive"},
      {{"verify", a, a}, "give one archive"},
      {{"extract", a}, "give the archive and the folder DEST"},
      {{"extract", a, ""}, "the folder DEST is empty"},
      {{"list", a, "--game", "3"}, "--game takes 1, 2 or auto, not '3'"},
      {{"verify", a, "--game", "auto", "--key", "AA"}, "give one of --game and --key"},
      {{"verify", a, "--key", "ABC"}, "odd number of characters"},
      {{"extract", a, d, "--only"}, "--only needs a relative path"},
      {{"extract", a, d, "--compress"}, "unknown option '--compress'"},
      {{"pack", U8(dir.path()), U8(dir / "o.pkg"), "--game", "auto"}, "--game takes 1 or 2"},
      {{"pack", U8(dir.path()), U8(dir / "o.pkg"), "--exclude-from"},
       "--exclude-from needs a file"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    EXPECT_FALSE(fs::exists(dir / "d"));
  }
}

TEST(PkgtoolReadCommands, EachCommandHasHelp) {
  const struct {
    const char* command;
    std::vector<const char*> options;
  } kCases[] = {
      {"pack", {"--compress", "--exclude-from", "terminal", "--verify", "--no-sync"}},
      {"list", {"--game 1|2|auto", "--key"}},
      {"verify", {"--game auto", "--key", "Exit codes"}},
      {"extract", {"--only", "--force", "130", "--no-sync"}},
  };
  for (const auto& c : kCases) {
    const ToolRun r = RunTool({c.command, "--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* o : c.options) EXPECT_TRUE(Has(r.out, o)) << c.command << " " << o;
  }
}

}  // namespace
