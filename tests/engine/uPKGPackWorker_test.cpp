#include "uPKGPackWorker.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <iostream>
#include <map>
#include <optional>

#include "fault_platform.h"
#include "file_stream.h"
#include "forwarding_platform.h"
#include "outcome_text.h"
#include "pkg_format.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;
using pkg::FAIL_CREATE_PKG;
using pkg::FAIL_NO_FILES;
using pkg::FAIL_OPEN_SOURCE;
using pkg::FAIL_WRITE_PKG;
using pkg::NOTIFY_FAILED;
using pkg::NOTIFY_FINISHED;

const std::string kText1 = "(1/5) 正在创建要打包的文件列表...";
const std::string kText2 = "(2/5) 正在创建PKG文件头...";
const std::string kText3 = "(3/5) 正在打包文件: ";
const std::string kText4 = "(4/5) 正在生成索引信息...";
const std::string kText5 = "(5/5) 正在保存...";

const std::vector<std::uint8_t> kGame1(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
const std::vector<std::uint8_t> kGame2(pkg::kGame2Key.begin(), pkg::kGame2Key.end());

struct ReadBack {
  pkg::PkgArchive archive;
  std::map<std::string, Bytes> contents;  // by CP936 name
  Bytes raw;
};

// After a failed job: the older archive at o.pkg is as it was, and nothing
// was left beside it.
void ExpectOlderArchiveKept(const TempDir& dir) {
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"o.pkg", "src"}));
}

ReadBack Read(const fs::path& path, const std::vector<std::uint8_t>& key) {
  ReadBack r;
  r.raw = ReadFile(path);
  pkg::TMemoryStream in;
  in.Write(r.raw.data(), r.raw.size());
  const pkg::Status s = pkg::ReadArchive(in, key, r.archive);
  EXPECT_TRUE(s.ok()) << s.message();
  for (const auto& rec : r.archive.records) {
    Bytes content;
    const pkg::Status d = pkg::ReadRecordData(in, r.archive, rec, content);
    EXPECT_TRUE(d.ok()) << rec.name << ": " << d.message();
    EXPECT_TRUE(r.contents.emplace(rec.name, content).second) << "duplicate " << rec.name;
  }
  return r;
}

Bytes Zlib6(const Bytes& in) {
  uLongf len = compressBound(in.size());
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, in.data(), in.size(), Z_DEFAULT_COMPRESSION), Z_OK);
  out.resize(len);
  return out;
}

std::string Cp936(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(pkg::SystemPlatform().ToCodePage936(utf8, out));
  return out;
}

// Everything the fixture tree holds, by relative path (UTF-8).
std::map<std::string, Bytes> MakeFixture(const fs::path& root) {
  std::map<std::string, Bytes> files = {
      {"\\readme.txt", ToBytes("read me\n")},
      {"\\empty.dat", {}},
      {"\\.hidden", ToBytes("hidden")},
      {"\\noext", Deterministic(70000, 1, true)},
      {"\\data\\a.bin", Deterministic(200000, 2, false)},
      {"\\data\\map\\town.dat", Deterministic(150000, 3, true)},
      {"\\data.old\\inside.txt", ToBytes("a folder named like a file")},
      {"\\数据\\文件.txt", ToBytes("中文内容")},
      {"\\数据\\子目录\\空.bin", {}},
      {"\\copy1.txt", ToBytes("same bytes")},
      {"\\copy2.txt", ToBytes("same bytes")},
  };
  for (const auto& [rel, content] : files) {
    std::string p = rel.substr(1);
    std::replace(p.begin(), p.end(), '\\', '/');
    WriteFile(root / fs::u8path(p), content);
  }
  fs::create_directories(root / "emptyfolder/inner");
  return files;
}

// Checks every header field, record and byte of an archive against the tree.
void ExpectArchiveOf(const fs::path& pkgPath, const std::map<std::string, Bytes>& tree,
                     const JobSettings& s, const std::vector<std::string>& order) {
  const ReadBack r = Read(pkgPath, s.key);
  const auto& a = r.archive;
  EXPECT_EQ(a.header.type, s.type);
  EXPECT_EQ(a.header.compression, s.compress ? 1u : 0u);
  ASSERT_EQ(a.records.size(), order.size());
  std::uint32_t next = pkg::kHeaderSize;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto& rec = a.records[i];
    SCOPED_TRACE(order[i]);
    EXPECT_EQ(rec.name, Cp936(order[i]));
    EXPECT_EQ(rec.offset, next) << "records lie back to back in list order";
    const Bytes& content = tree.at(order[i]);
    EXPECT_EQ(rec.size, content.size());
    const Bytes stored(r.raw.begin() + rec.offset, r.raw.begin() + rec.offset + rec.storedSize);
    EXPECT_EQ(stored, s.compress ? Zlib6(content) : content);
    next = rec.offset + rec.storedSize;
  }
  EXPECT_EQ(a.header.trailerOffset, next);
  // The index is one zlib level 6 stream of the records.
  std::vector<std::uint8_t> index;
  for (const auto& rec : a.records) pkg::AppendIndexRecord(index, rec);
  EXPECT_EQ(a.indexSize, index.size());
  Bytes compressed(r.raw.begin() + a.header.trailerOffset + pkg::kTrailerIndexOffset, r.raw.end());
  pkg::ScrambleWithKey(compressed, s.key);
  EXPECT_EQ(compressed, Zlib6(index));
}

std::vector<std::string> ScanOrder(const std::string& source) {
  std::vector<pkg::SourceFile> files;
  EXPECT_TRUE(pkg::BuildFileList(pkg::SystemPlatform(), source, files).status.ok());
  std::vector<std::string> out;
  for (auto& f : files) out.push_back(f.relative);
  return out;
}

struct KindCase {
  const char* name;
  bool compress;
  std::vector<std::uint8_t> key;
  std::int32_t type;
};

class PackKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(PackKinds, ArchiveHoldsEveryFileAsTheLayoutSays) {
  const KindCase& c = GetParam();
  TempDir dir;
  const auto tree = MakeFixture(dir / "src");
  JobSettings s{(dir / "src").string(), (dir / "out.pkg").string(), c.compress, c.type, c.key, {}};
  const JobRun run = RunJob(s);
  ASSERT_EQ(run.notification.lParam, NOTIFY_FINISHED);
  EXPECT_EQ(run.notification.wParam, 1u);
  EXPECT_EQ(run.notification.window, 0x1234u);

  const auto order = ScanOrder(s.source);
  ExpectArchiveOf(dir / "out.pkg", tree, s, order);

  // n + 5 texts, in order.
  std::vector<std::string> expected = {kText1, kText2};
  for (const auto& rel : order) expected.push_back(kText3 + rel);
  expected.push_back(kText4);
  expected.push_back(kText5);
  EXPECT_EQ(run.texts, expected);
  // Nothing but the archive was left beside it.
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"out.pkg", "src"}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PackKinds,
                         ::testing::Values(KindCase{"stored_game1", false, kGame1, 1},
                                           KindCase{"compressed_game1", true, kGame1, 1},
                                           KindCase{"stored_game2", false, kGame2, -7},
                                           KindCase{"compressed_game2", true, kGame2, 0x7FFFFFFF},
                                           KindCase{"compressed_one_byte_key", true, {0xA5}, 3},
                                           KindCase{"stored_long_key", false,
                                                    std::vector<std::uint8_t>(5000, 0x3C), 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PackJob, EmptyFileArchivesStoredAndCompressed) {
  struct Case {
    bool compress;
    std::uint32_t storedSize, trailerOffset;
    Bytes data;
  } cases[] = {{false, 0, 24, {}}, {true, 8, 32, {0x78, 0x9C, 0x03, 0, 0, 0, 0, 0x01}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.compress);
    TempDir dir;
    WriteFile(dir / "src/e", Bytes{});
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), c.compress, 1, kGame1, {}};
    ASSERT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
    const ReadBack r = Read(dir / "o.pkg", kGame1);
    ASSERT_EQ(r.archive.records.size(), 1u);
    EXPECT_EQ(r.archive.records[0].offset, 24u);
    EXPECT_EQ(r.archive.records[0].size, 0u);
    EXPECT_EQ(r.archive.records[0].storedSize, c.storedSize);
    EXPECT_EQ(r.archive.header.trailerOffset, c.trailerOffset);
    EXPECT_EQ(Bytes(r.raw.begin() + 24, r.raw.begin() + c.trailerOffset), c.data);
  }
}

TEST(PackJob, TwoKeysGiveTheSameMaskedDigestAndDifferentScrambledIndexes) {
  TempDir dir;
  MakeFixture(dir / "src");
  JobSettings s{(dir / "src").string(), (dir / "1.pkg").string(), true, 1, kGame1, {}};
  ASSERT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
  s.output = (dir / "2.pkg").string();
  s.key = kGame2;
  ASSERT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
  const ReadBack a = Read(dir / "1.pkg", kGame1), b = Read(dir / "2.pkg", kGame2);
  EXPECT_EQ(a.archive.storedDigest, b.archive.storedDigest);
  const std::size_t t = a.archive.header.trailerOffset + pkg::kTrailerIndexOffset;
  EXPECT_NE(Bytes(a.raw.begin() + t, a.raw.end()), Bytes(b.raw.begin() + t, b.raw.end()));
  EXPECT_EQ(Bytes(a.raw.begin(), a.raw.begin() + t), Bytes(b.raw.begin(), b.raw.begin() + t));
}

TEST(PackJob, ExclusionsMatchWholeEntriesIgnoringCase) {
  struct Case {
    std::vector<std::string> excludes;
    std::vector<std::string> left;
  } cases[] = {
      {{"\\DATA\\A.BIN"}, {"\\top.txt", "\\data\\b.bin"}},
      {{"data\\a.bin"}, {"\\top.txt", "\\data\\a.bin", "\\data\\b.bin"}},  // no leading backslash
      {{"\\data"}, {"\\top.txt", "\\data\\a.bin", "\\data\\b.bin"}},       // a folder: no file
      {{"\\data\\a.bin "}, {"\\top.txt", "\\data\\a.bin", "\\data\\b.bin"}},  // blanks count
      {{"\\data\\*.bin"}, {"\\top.txt", "\\data\\a.bin", "\\data\\b.bin"}},   // no wildcards
      {{"", "\\nothing", "\\Top.TXT", "\\data\\b.bin"}, {"\\data\\a.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.excludes[0]);
    TempDir dir;
    WriteFile(dir / "src/top.txt", "t");
    WriteFile(dir / "src/data/a.bin", "a");
    WriteFile(dir / "src/data/b.bin", "b");
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, c.excludes};
    ASSERT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
    std::vector<std::string> names;
    for (const auto& rec : Read(dir / "o.pkg", kGame1).archive.records) names.push_back(rec.name);
    std::sort(names.begin(), names.end());
    auto left = c.left;
    std::sort(left.begin(), left.end());
    EXPECT_EQ(names, left);
  }
}

// What each early failure leaves behind: the reason, the texts shown, and an
// older file at the output path untouched.
TEST(PackJob, EarlyFailuresReportTheirReasonAndLeaveTheOutputAlone) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& dir, JobSettings& s)> setup;
    std::uintptr_t reason;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"empty source",
       [](const fs::path& d, JobSettings&) { fs::create_directories(d / "src/sub"); },
       FAIL_NO_FILES,
       {kText1}},
      {"missing source",
       [](const fs::path&, JobSettings& s) { s.source += "-missing"; },
       FAIL_NO_FILES,
       {kText1}},
      {"everything excluded",
       [](const fs::path& d, JobSettings& s) {
         WriteFile(d / "src/a", "a");
         s.excludes = {"\\A"};
       },
       FAIL_NO_FILES,
       {kText1}},
      {"empty scan with exclusions",
       [](const fs::path& d, JobSettings& s) {
         fs::create_directories(d / "src");
         s.excludes = {"\\a"};
       },
       FAIL_NO_FILES,
       {kText1}},
      {"output folder missing",
       [](const fs::path& d, JobSettings& s) {
         WriteFile(d / "src/a", "a");
         s.output = (d / "nofolder/o.pkg").string();
       },
       FAIL_CREATE_PKG,
       {kText1, kText2}},
      {"output is a folder",
       [](const fs::path& d, JobSettings& s) {
         WriteFile(d / "src/a", "a");
         fs::create_directories(d / "dirout");
         s.output = (d / "dirout").string();
       },
       FAIL_CREATE_PKG,
       {kText1, kText2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), true, 1, kGame1, {}};
    WriteFile(dir / "o.pkg", "older archive");
    c.setup(dir.path(), s);
    const JobRun run = RunJob(s);
    EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
    EXPECT_EQ(run.notification.wParam, c.reason);
    EXPECT_EQ(run.texts, c.texts);
    EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
    std::vector<std::string> names = ListNames(dir.path());
    std::erase(names, "src");
    std::erase(names, "dirout");
    EXPECT_EQ(names, (std::vector<std::string>{"o.pkg"})) << "no temporary file is left";
  }
}

TEST(PackJob, CreateFailureLeavesNoFileWhereThereWasNone) {
  TempDir dir;
  WriteFile(dir / "src/a", "a");
  fs::create_directories(dir / "ro");
  // A name no file system takes: the placeholder claim fails at once.
  JobSettings s{
      (dir / "src").string(), (dir / "ro" / std::string(300, 'n')).string(), false, 1, kGame1, {}};
  const JobRun run = RunJob(s);
  EXPECT_EQ(run.notification.wParam, FAIL_CREATE_PKG);
  EXPECT_NE(pkg::FailureDetail.find("cannot create"), std::string::npos) << pkg::FailureDetail;
  EXPECT_TRUE(fs::is_empty(dir / "ro"));
}

TEST(PackJob, SourceFileVanishingBeforeItsTurnFailsAndKeepsTheOlderArchive) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/b.txt", "b");
  WriteFile(dir / "o.pkg", "older archive");
  JobRun run;
  pkg::QueueHost host([&](const std::string& t) {
    run.texts.push_back(t);
    // The job waits while its text is shown: delete the other file now,
    // between the scan and its turn.
    if (run.texts.size() == 3)
      fs::remove(dir / "src" / (t == kText3 + "\\a.txt" ? "b.txt" : "a.txt"));
  });
  auto job = MakeJob(host, {(dir / "src").string(), (dir / "o.pkg").string(), true, 1, kGame1, {}});
  ASSERT_TRUE(job->Start().ok());
  run.notification = host.RunUntilNotified();
  EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
  ASSERT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
  ASSERT_EQ(run.texts.size(), 4u);
  const std::string missing = run.texts[3].substr(kText3.size());
  EXPECT_EQ(pkg::FailedSourceFile,
            pkg::SystemPlatform().JoinRelative((dir / "src").string(), missing));
  ExpectOlderArchiveKept(dir);
}

TEST(PackJob, ExistingArchiveInsideTheSourceIsDetectedAsTheJobsOwnOutput) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/out.pkg", "older archive");
  JobSettings s{(dir / "src").string(), (dir / "src/out.pkg").string(), false, 1, kGame1, {}};
  JobRun run = RunJob(s);
  ASSERT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
  EXPECT_EQ(pkg::FailedSourceFile, (dir / "src/out.pkg").string());
  EXPECT_EQ(ReadFile(dir / "src/out.pkg"), ToBytes("older archive"));
  EXPECT_EQ(ListNames(dir / "src"), (std::vector<std::string>{"a.txt", "out.pkg"}));

  // Excluded, it is replaced by the new archive, which does not hold itself.
  s.excludes = {"\\OUT.PKG"};
  run = RunJob(s);
  ASSERT_EQ(run.notification.lParam, NOTIFY_FINISHED);
  const ReadBack r = Read(dir / "src/out.pkg", kGame1);
  ASSERT_EQ(r.archive.records.size(), 1u);
  EXPECT_EQ(r.archive.records[0].name, "\\a.txt");
}

// The workers read ahead while the files are still being listed. When the
// system does not tell the older archive's identity by its path, they read it
// like any file; the job must still know it at its turn, once it has opened it.
TEST(PackJob, ArchiveInsideTheSourceReadAheadUnknownIsStillRefused) {
  struct NoIdentityByPath : ForwardingPlatform {
    pkg::Status IdentityOf(const std::string& p, pkg::FileIdentity& id) override {
      if (p.ends_with(".pkg")) return pkg::Status::Fail("no identity for " + p);
      return ForwardingPlatform::IdentityOf(p, id);
    }
  } platform;
  TempDir dir;
  for (int i = 0; i < 50; ++i) WriteFile(dir / "src" / ("f" + std::to_string(i)), "x");
  WriteFile(dir / "src/out.pkg", Deterministic(200000, 4, false));
  const Bytes older = ReadFile(dir / "src/out.pkg");
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "stored");
    JobSettings s{(dir / "src").string(), (dir / "src/out.pkg").string(), compress, 1, kGame1, {}};
    s.threads = 3;
    const JobRun run = RunJob(s, platform);
    ASSERT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
    EXPECT_EQ(pkg::FailedSourceFile, (dir / "src/out.pkg").string());
    EXPECT_EQ(ReadFile(dir / "src/out.pkg"), older);
    EXPECT_EQ(ListNames(dir / "src").size(), 51u) << "no temporary file is left";
  }
}

// Memory running out while a file is opened, on the job's thread or on a
// worker's, fails the job with its reason; nothing ends the program.
TEST(PackJob, OutOfMemoryWhileOpeningASourceFailsTheJob) {
  struct NoMemoryForOneFile : ForwardingPlatform {
    pkg::Status OpenForReading(const std::string& p,
                               std::unique_ptr<pkg::PlatformFile>& f) override {
      if (p.ends_with("f7")) throw std::bad_alloc();
      return ForwardingPlatform::OpenForReading(p, f);
    }
  } platform;
  TempDir dir;
  for (int i = 0; i < 20; ++i) WriteFile(dir / "src" / ("f" + std::to_string(i)), "x");
  WriteFile(dir / "o.pkg", "older archive");
  for (const unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), true, 1, kGame1, {}};
    s.threads = threads;
    const JobRun run = RunJob(s, platform);
    ASSERT_EQ(run.notification.lParam, NOTIFY_FAILED);
    EXPECT_EQ(run.notification.wParam, FAIL_WRITE_PKG);
    EXPECT_NE(pkg::FailureDetail.find("out of memory"), std::string::npos) << pkg::FailureDetail;
    ExpectOlderArchiveKept(dir);
  }
}

TEST(PackJob, ArchiveCreatedInsideTheSourceDuringTheJobIsNotPacked) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  JobSettings s{(dir / "src").string(), (dir / "src/out.pkg").string(), true, 1, kGame1, {}};
  ASSERT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
  EXPECT_EQ(Read(dir / "src/out.pkg", kGame1).archive.records.size(), 1u);
}

TEST(PackJob, NameWithoutCodePage936FormFailsBeforeTheArchiveIsCreated) {
  TempDir dir;
  WriteFile(dir / "src/ok.txt", "a");
  WriteFile(dir / "src/\xF0\x9F\x98\x80.txt", "b");
  WriteFile(dir / "o.pkg", "older archive");
  JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, {}};
  JobRun run = RunJob(s);
  EXPECT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
  EXPECT_EQ(pkg::FailedSourceFile, U8(dir / "src/\xF0\x9F\x98\x80.txt"));
  EXPECT_EQ(run.texts, (std::vector<std::string>{kText1}));
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));

  // Leaving it out lets the rest pack.
  s.excludes = {"\\\xF0\x9F\x98\x80.txt"};
  EXPECT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
}

// Names that extraction refuses everywhere are refused before anything is
// written, as names without a code page 936 form are: an archive that holds
// them is one its own tools reject.
TEST(PackJob, NameWithAControlCharacterFailsBeforeTheArchiveIsCreated) {
  struct Case {
    std::string name;   // below src, "/" between folders
    std::string shown;  // as FailedSourceFile ends
    std::string control;
  } cases[] = {
      {"del\x7F.txt", "del\\x7F.txt", "\\x7F"},
#ifndef _WIN32  // Windows allows none of these in names
      {"line\nbreak.txt", "line\\x0Abreak.txt", "\\x0A"},
      {"\x1B]0;title\x07.txt", "\\x1B]0;title\\x07.txt", "\\x1B"},
      {"tab\tfolder/inner.txt", "tab\\x09folder/inner.txt", "\\x09"},
#endif
  };
  for (const unsigned threads : {1u, 3u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.shown + ", " + std::to_string(threads) + " threads");
      TempDir dir;
      WriteFile(dir / "src/ok.txt", "a");
      WriteFile(dir / ("src/" + c.name), "b");
      WriteFile(dir / "o.pkg", "older archive");
      JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), true, 1, kGame1, {}};
      s.threads = threads;
      const JobRun run = RunJob(s);
      EXPECT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
      EXPECT_EQ(pkg::FailedSourceFile, U8(dir / "src" / fs::u8path(c.shown)));
      EXPECT_NE(pkg::FailureDetail.find("control character " + c.control), std::string::npos)
          << pkg::FailureDetail;
      EXPECT_EQ(run.texts, (std::vector<std::string>{kText1}));
      ExpectOlderArchiveKept(dir);

      // Leaving it out lets the rest pack.
      std::string excluded = "\\" + c.name;
      std::replace(excluded.begin(), excluded.end(), '/', '\\');
      s.excludes = {excluded};
      EXPECT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED) << pkg::FailureDetail;
    }
  }
}

// A folder that cannot be listed, at once or part-way, fails the job naming
// the folder: its files would otherwise be missing from an archive reported
// as complete.
TEST(PackJob, FolderThatCannotBeListedFailsTheJobNamingTheFolder) {
  TempDir dir;
  WriteFile(dir / "src/top.txt", "t");
  for (const char* name : {"a", "b", "c", "d"})
    WriteFile(dir / ("src/sub/" + std::string(name)), name);
  WriteFile(dir / "o.pkg", "older archive");
  const std::string source = (dir / "src").string();
  const std::string sub = pkg::SystemPlatform().JoinRelative(source, "\\sub");
  struct Case {
    bool partWay;
    int nth;  // the listing that fails
    std::string folder;
  } cases[] = {{false, 1, source}, {true, 1, source}, {false, 2, sub}, {true, 2, sub}};
  for (const unsigned threads : {1u, 3u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.partWay ? "part-way" : "at the start") + ", listing " +
                   std::to_string(c.nth) + ", " + std::to_string(threads) + " threads");
      FaultPlatform platform;
      platform.FailListingPartWay(c.partWay);
      platform.FailAt(Op::kList, c.nth);
      JobSettings s{source, (dir / "o.pkg").string(), true, 1, kGame1, {}};
      s.threads = threads;
      const JobRun run = RunJob(s, platform);
      EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
      EXPECT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
      EXPECT_EQ(pkg::FailedSourceFile, pkg::SystemPlatform().JoinRelative(c.folder, "\\"));
      EXPECT_NE(pkg::FailureDetail.find("injected fault in list"), std::string::npos)
          << pkg::FailureDetail;
      EXPECT_EQ(run.texts, (std::vector<std::string>{kText1}));
      ExpectOlderArchiveKept(dir);
      // The window and pkgtool call it a folder.
      EXPECT_EQ(pkg::DescribeOutcome(NOTIFY_FAILED, FAIL_OPEN_SOURCE, pkg::FailedSourceFile,
                                     pkg::FailureDetail, 0, ".")
                    .boxText,
                "无法打开源文件：" + pkg::FailedSourceFile);
    }
  }
}

#ifndef _WIN32
// Folders the system itself refuses to list. Without write permission only
// for a user other than root; past PATH_MAX for everyone.
TEST(PackJob, RealFolderThatCannotBeListedFailsTheJob) {
  for (const bool pastPathMax : {true, false}) {
    SCOPED_TRACE(pastPathMax ? "past PATH_MAX" : "no permission");
    if (!pastPathMax && ::geteuid() == 0) {
      std::cout << "[  SKIPPED ] a folder without permission: root may list it\n";
      continue;
    }
    TempDir dir;
    WriteFile(dir / "src/top.txt", "t");
    WriteFile(dir / "o.pkg", "older archive");
    std::optional<FolderPastPathMax> deep;
    std::string folder = (dir / "src/locked").string();
    if (pastPathMax) {
      deep.emplace(dir / "src");
      folder = deep->path();
    } else {
      WriteFile(dir / "src/locked/inside.txt", "i");
      fs::permissions(dir / "src/locked", fs::perms::none);
    }
    for (const unsigned threads : {1u, 3u}) {
      JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, {}};
      s.threads = threads;
      const JobRun run = RunJob(s);
      EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
      EXPECT_EQ(run.notification.wParam, FAIL_OPEN_SOURCE);
      EXPECT_EQ(pkg::FailedSourceFile, folder + "/");
      EXPECT_NE(pkg::FailureDetail.find(pastPathMax ? "File name too long" : "Permission denied"),
                std::string::npos)
          << pkg::FailureDetail;
      EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
      EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"o.pkg", "src"}));
    }
    if (!pastPathMax) fs::permissions(dir / "src/locked", fs::perms::owner_all);
  }
}

// Windows refuses to replace a read-only file; the superuser on Linux would
// not be refused by the system, so the job must see to it itself.
TEST(PackJob, ReadOnlyArchiveIsNotReplacedWhoeverRunsTheJob) {
  struct Case {
    fs::perms mode;
    bool replaced;
  } cases[] = {
      {fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, false},
      {fs::perms::owner_read, false},
      {fs::perms::none, false},
      {fs::perms::owner_write, true},  // writable, if only by its owner
      {fs::perms::others_write | fs::perms::owner_read, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    TempDir dir;
    WriteFile(dir / "src/a", "a");
    WriteFile(dir / "o.pkg", "older archive");
    fs::permissions(dir / "o.pkg", c.mode);
    const JobRun run =
        RunJob({(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, {}});
    if (c.replaced) {
      EXPECT_EQ(run.notification.lParam, NOTIFY_FINISHED) << pkg::FailureDetail;
      continue;
    }
    EXPECT_EQ(fs::status(dir / "o.pkg").permissions(), c.mode) << "the mode is kept";
    fs::permissions(dir / "o.pkg", fs::perms::owner_all);
    EXPECT_EQ(run.notification.wParam, FAIL_CREATE_PKG);
    EXPECT_NE(pkg::FailureDetail.find("o.pkg"), std::string::npos) << pkg::FailureDetail;
    EXPECT_EQ(run.texts, (std::vector<std::string>{kText1, kText2}));
    ExpectOlderArchiveKept(dir);
  }
}
#endif

TEST(PackJob, FileOf4GiBOrMoreFailsAtOnceWithoutReadingIt) {
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    TempDir dir;
    WriteFile(dir / "src/small.txt", "s");
    WriteFile(dir / "src/huge.bin", "");
    fs::resize_file(dir / "src/huge.bin", 5ull << 30);  // sparse: no data blocks
    WriteFile(dir / "o.pkg", "older archive");
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kGame1, {}};
    const JobRun run = RunJob(s);
    EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
    EXPECT_EQ(run.notification.wParam, FAIL_WRITE_PKG);
    EXPECT_NE(pkg::FailureDetail.find("huge.bin"), std::string::npos) << pkg::FailureDetail;
    EXPECT_NE(pkg::FailureDetail.find("4 GiB"), std::string::npos) << pkg::FailureDetail;
    ExpectOlderArchiveKept(dir);
  }
}

// A platform whose archive files refuse writes past a byte budget, as a disk
// that fills up would.
class FillingDisk : public ForwardingPlatform {
 public:
  explicit FillingDisk(std::uint64_t budget) : budget_(budget) {}
  class File : public pkg::PlatformFile {
   public:
    File(std::unique_ptr<pkg::PlatformFile> f, std::uint64_t& budget)
        : f_(std::move(f)), budget_(budget) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      return f_->Read(b, n, got);
    }
    pkg::Status Write(const void* b, std::size_t n) override {
      if (n > budget_)
        return pkg::Status::Fail("cannot write to the archive: No space left on device");
      budget_ -= n;
      return f_->Write(b, n);
    }
    pkg::Status Seek(std::uint64_t p) override { return f_->Seek(p); }
    pkg::Status Size(std::uint64_t& s) override { return f_->Size(s); }
    pkg::Status Identity(pkg::FileIdentity& id) override { return f_->Identity(id); }
    pkg::Status Stamp(pkg::FileStamp& st) override { return f_->Stamp(st); }
    pkg::Status Sync() override { return f_->Sync(); }
    pkg::Status Close() override { return f_->Close(); }

   private:
    std::unique_ptr<pkg::PlatformFile> f_;
    std::uint64_t& budget_;
  };
  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    std::unique_ptr<pkg::PlatformFile> inner;
    pkg::Status s = inner_.CreateNewFile(p, inner);
    if (s.ok()) f = std::make_unique<File>(std::move(inner), budget_);
    return s;
  }

 private:
  std::uint64_t budget_;
};

TEST(PackJob, WriteErrorFailsWithItsReasonAndLosesNothing) {
  for (const std::uint64_t budget : {0ull, 10ull, 30000ull, 150000ull}) {
    for (const bool compress : {false, true}) {
      SCOPED_TRACE(std::to_string(budget) + (compress ? " compressed" : " stored"));
      TempDir dir;
      MakeFixture(dir / "src");
      WriteFile(dir / "o.pkg", "older archive");
      FillingDisk disk(budget);
      JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kGame1, {}};
      const JobRun run = RunJob(s, disk);
      EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
      EXPECT_EQ(run.notification.wParam, FAIL_WRITE_PKG);
      EXPECT_NE(pkg::FailureDetail.find("No space left"), std::string::npos) << pkg::FailureDetail;
      ExpectOlderArchiveKept(dir);
    }
  }
}

// Sources named "big*" read as 3 GiB of bytes that are never really read, and
// the archive's bytes are counted but not kept: an archive past 4 GiB in
// moments and without the disk space.
class HugeVirtualFiles : public ForwardingPlatform {
 public:
  class Source : public pkg::PlatformFile {
   public:
    pkg::Status Read(void*, std::size_t n, std::size_t& got) override {
      got = static_cast<std::size_t>(std::min<std::uint64_t>(n, left_));
      left_ -= got;
      return pkg::Status::Ok();
    }
    pkg::Status Write(const void*, std::size_t) override { return pkg::Status::Fail("read-only"); }
    pkg::Status Seek(std::uint64_t) override { return pkg::Status::Ok(); }
    pkg::Status Size(std::uint64_t& s) override {
      s = kSize;
      return pkg::Status::Ok();
    }
    pkg::Status Identity(pkg::FileIdentity& id) override {
      id = {99, reinterpret_cast<std::uintptr_t>(this)};
      return pkg::Status::Ok();
    }
    pkg::Status Stamp(pkg::FileStamp& st) override {
      st = {{99, reinterpret_cast<std::uintptr_t>(this)}, kSize, 0};
      return pkg::Status::Ok();
    }
    pkg::Status Sync() override { return pkg::Status::Fail("read-only"); }
    pkg::Status Close() override { return pkg::Status::Ok(); }
    static constexpr std::uint64_t kSize = 3ull << 30;

   private:
    std::uint64_t left_ = kSize;
  };
  class Sink : public pkg::PlatformFile {
   public:
    explicit Sink(std::unique_ptr<pkg::PlatformFile> f) : f_(std::move(f)) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      return f_->Read(b, n, got);
    }
    pkg::Status Write(const void*, std::size_t) override { return pkg::Status::Ok(); }
    pkg::Status Seek(std::uint64_t) override { return pkg::Status::Ok(); }
    pkg::Status Size(std::uint64_t& s) override { return f_->Size(s); }
    pkg::Status Identity(pkg::FileIdentity& id) override { return f_->Identity(id); }
    pkg::Status Stamp(pkg::FileStamp& st) override { return f_->Stamp(st); }
    pkg::Status Sync() override { return f_->Sync(); }
    pkg::Status Close() override { return f_->Close(); }

   private:
    std::unique_ptr<pkg::PlatformFile> f_;
  };

  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    if (fs::path(p).filename().string().rfind("big", 0) != 0) return inner_.OpenForReading(p, f);
    f = std::make_unique<Source>();
    return pkg::Status::Ok();
  }
  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    std::unique_ptr<pkg::PlatformFile> inner;
    pkg::Status s = inner_.CreateNewFile(p, inner);
    if (s.ok()) f = std::make_unique<Sink>(std::move(inner));
    return s;
  }
};

TEST(PackJob, ArchivePassing4GiBFailsInsteadOfWrappingOffsets) {
  TempDir dir;
  WriteFile(dir / "src/big1", "");
  WriteFile(dir / "src/big2", "");
  WriteFile(dir / "o.pkg", "older archive");
  HugeVirtualFiles platform;
  JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, {}};
  const JobRun run = RunJob(s, platform);
  EXPECT_EQ(run.notification.wParam, FAIL_WRITE_PKG);
  EXPECT_NE(pkg::FailureDetail.find("would pass 4 GiB"), std::string::npos) << pkg::FailureDetail;
  // Both files were reached: the first one fits, the second does not.
  EXPECT_EQ(run.texts.size(), 4u);
  ExpectOlderArchiveKept(dir);
}

class SteppedClock : public ForwardingPlatform {
 public:
  std::vector<std::uint32_t> ticks;
  std::uint32_t TickCount() override {
    const std::uint32_t t = ticks.front();
    if (ticks.size() > 1) ticks.erase(ticks.begin());
    return t;
  }
};

TEST(PackJob, ElapsedTimeSurvivesTheTickCounterWrapping) {
  struct Case {
    std::uint32_t start, end;
    float seconds;
  } cases[] = {{1000, 2500, 1.5f}, {0xFFFFFF00u, 0x100u, 0.512f}, {5, 17, 0.012f}};
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "src/a", "a");
    SteppedClock clock;
    clock.ticks = {c.start, c.end};
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, {}};
    ASSERT_EQ(RunJob(s, clock).notification.lParam, NOTIFY_FINISHED);
    EXPECT_FLOAT_EQ(pkg::ElapsedSeconds, c.seconds);
  }
}

TEST(PackJob, SuccessReplacesAnOlderArchive) {
  TempDir dir;
  WriteFile(dir / "src/a", "a");
  WriteFile(dir / "o.pkg", Deterministic(100000, 9, false));
  JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kGame1, {}};
  ASSERT_EQ(RunJob(s).notification.lParam, NOTIFY_FINISHED);
  EXPECT_EQ(Read(dir / "o.pkg", kGame1).archive.records.size(), 1u);
}

// Asked for detailed progress, the job gives the totals after its scan and
// moves the figures within a large file, whether the file is stored or
// compressed, on the job's thread or read ahead by workers; the texts stay
// those the window shows without it.
TEST(PackJob, ProgressMovesWithinALargeFileAndAddsUpToTheTotals) {
  TempDir dir;
  constexpr std::uint64_t kBig = (3 << 20) + 17, kInterval = 256 << 10;
  WriteFile(dir / "src/a.txt", Deterministic(1000, 1, true));
  WriteFile(dir / "src/big.bin", Deterministic(kBig, 2, false));
  WriteFile(dir / "src/c.txt", Deterministic(5000, 3, true));
  const std::uint64_t total = 1000 + kBig + 5000;
  using Kind = pkg::PackProgress::Kind;
  for (bool compress : {false, true}) {
    for (unsigned threads : {1u, 2u}) {
      SCOPED_TRACE(std::string(compress ? "compressed" : "stored") + ", threads " +
                   std::to_string(threads));
      JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kGame1, {}};
      s.threads = threads;
      const JobRun plain = RunJob(s);
      ASSERT_EQ(plain.notification.lParam, NOTIFY_FINISHED) << pkg::FailureDetail;
      for (const pkg::PackProgress& p : plain.events) EXPECT_EQ(p.kind, Kind::kBegins);
      const Bytes archive = ReadFile(dir / "o.pkg");

      s.progressBytes = kInterval;
      s.reuse = false;  // compressed, not copied from the archive of the run before
      const JobRun run = RunJob(s);
      ASSERT_EQ(run.notification.lParam, NOTIFY_FINISHED) << pkg::FailureDetail;
      EXPECT_EQ(run.texts, plain.texts);
      EXPECT_EQ(ReadFile(dir / "o.pkg"), archive);

      const std::map<std::string, std::uint64_t> sizes = {
          {"\\a.txt", 1000}, {"\\big.bin", kBig}, {"\\c.txt", 5000}};
      std::size_t totals = 0, bigBytes = 0, bigIndex = 0;
      bool seenBig = false;
      std::uint64_t before = 0, last = 0;  // bytes of the files before big.bin, and so far
      for (const pkg::PackProgress& p : run.events) {
        EXPECT_GE(p.bytesStored, last);
        last = p.bytesStored;
        if (p.kind == Kind::kTotals) {
          ++totals;
          EXPECT_EQ(p.step, pkg::PackStep::kList);
          EXPECT_EQ(p.filesTotal, 3u);
          EXPECT_EQ(p.bytesTotal, total);
        } else if (p.kind == Kind::kBegins && p.step != pkg::PackStep::kList) {
          // Everything after the scan knows the totals.
          EXPECT_EQ(p.bytesTotal, total);
        }
        if (p.kind == Kind::kBegins && p.step == pkg::PackStep::kStore) {
          EXPECT_EQ(p.fileSize, sizes.at(p.relative));
          // The files' events come in list order.
          if (p.relative == "\\big.bin") {
            bigIndex = p.fileIndex;
            seenBig = true;
          } else if (!seenBig) {
            before += p.fileSize;
          }
        }
        if (p.kind != Kind::kBytes) continue;
        ASSERT_EQ(p.relative, "\\big.bin");
        EXPECT_EQ(p.fileIndex, bigIndex);
        EXPECT_EQ(p.fileSize, kBig);
        ++bigBytes;
        // Within big.bin, in steps of at least the interval.
        EXPECT_GE(p.bytesStored, before + kInterval);
        EXPECT_LE(p.bytesStored, before + kBig);
        EXPECT_EQ(p.bytesReused, 0u);
      }
      EXPECT_EQ(totals, 1u);
      EXPECT_GE(bigBytes, 2u) << "the figures did not move within big.bin";
      ASSERT_FALSE(run.events.empty());
      const pkg::PackProgress& end = run.events.back();
      EXPECT_EQ(end.step, pkg::PackStep::kSave);
      EXPECT_EQ(end.filesStored, 3u);
      EXPECT_EQ(end.bytesStored, total);
    }
  }
}

// The outcome travels as a value; the window's results are written from it
// before the notification goes.
TEST(PackJob, TheOutcomeValueIsWhatTheWindowReads) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  fs::create_directories(dir / "empty");
  const struct {
    const char* what;
    std::string source;
    pkg::PackResult result;
  } kCases[] = {
      {"finished", (dir / "src").string(), pkg::PackResult::kFinished},
      {"no files", (dir / "empty").string(), pkg::PackResult::kNoFiles},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    pkg::FailureDetail = "stale";
    const JobRun run = RunJob({c.source, (dir / "o.pkg").string(), false, 1, kGame1, {}});
    const pkg::PackOutcome& o = run.notification.outcome;
    EXPECT_EQ(o.result, c.result);
    const pkg::NotifyParams params = pkg::NotifyParamsOf(o.result);
    EXPECT_EQ(run.notification.wParam, params.wParam);
    EXPECT_EQ(run.notification.lParam, params.lParam);
    if (c.result == pkg::PackResult::kFinished) {
      EXPECT_EQ(run.notification.lParam, NOTIFY_FINISHED);
      EXPECT_EQ(o.elapsedSeconds, pkg::ElapsedSeconds);
      EXPECT_EQ(pkg::FailureDetail, "stale");  // untouched by a finished job
    } else {
      EXPECT_EQ(run.notification.lParam, NOTIFY_FAILED);
      EXPECT_EQ(run.notification.wParam, FAIL_NO_FILES);
      EXPECT_EQ(pkg::FailureDetail, o.detail);
    }
  }
}

}  // namespace
