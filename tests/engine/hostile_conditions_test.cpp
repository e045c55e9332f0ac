// The job under conditions it does not control: a disk that fills up, sources
// that change or vanish while it runs, names at the edges of code page 936.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include "forwarding_platform.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

const std::vector<std::uint8_t> kKey = {0x5E, 0x11};

struct ArchiveFiles {
  bool ok = false;
  std::map<std::string, Bytes> contents;  // by CP936 name
};

ArchiveFiles ReadAll(const fs::path& p) {
  ArchiveFiles out;
  const Bytes raw = ReadFile(p);
  pkg::TMemoryStream in;
  in.Write(raw.data(), raw.size());
  pkg::PkgArchive a;
  const pkg::Status s = pkg::ReadArchive(in, kKey, a);
  EXPECT_TRUE(s.ok()) << s.message();
  if (!s.ok()) return out;
  for (const auto& r : a.records) {
    Bytes c;
    const pkg::Status d = pkg::ReadRecordData(in, a, r, c);
    EXPECT_TRUE(d.ok()) << r.name << ": " << d.message();
    out.contents[r.name] = c;
  }
  out.ok = true;
  return out;
}

#ifndef _WIN32
// A small tmpfs that the test mounts; the job's archive fills it up.
class SmallDisk {
 public:
  SmallDisk(const fs::path& where, const char* size) : where_(where) {
    fs::create_directories(where);
    const std::string cmd = "mount -t tmpfs -o size=" + std::string(size) + " pkgtest '" +
                            where.string() + "' 2>/dev/null";
    mounted_ = std::system(cmd.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) std::system(("umount '" + where_.string() + "'").c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

TEST(HostileConditions, FullDiskFailsWithItsCauseAndKeepsTheOlderArchive) {
  TempDir dir;
  for (int i = 0; i < 6; ++i)
    WriteFile(dir / ("src/f" + std::to_string(i)), Deterministic(400000, i, false));
  SmallDisk disk(dir / "disk", "1m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root and mount rights)";
  const Bytes older = Deterministic(300000, 99, false);
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "stored");
    WriteFile(dir / "disk/o.pkg", older);
    const JobRun run =
        RunJob({(dir / "src").string(), (dir / "disk/o.pkg").string(), compress, 1, kKey, {}});
    EXPECT_EQ(run.notification.lParam, pkg::NOTIFY_FAILED);
    EXPECT_EQ(run.notification.wParam, pkg::FAIL_WRITE_PKG);
    EXPECT_NE(pkg::FailureDetail.find("No space left on device"), std::string::npos)
        << pkg::FailureDetail;
    EXPECT_EQ(ReadFile(dir / "disk/o.pkg"), older);
    EXPECT_EQ(ListNames(dir / "disk"), (std::vector<std::string>{"o.pkg"}));
  }
}
#endif

// Between the scan and its turn a file is truncated, grown, or replaced: the
// archive holds what was read, and its record agrees with its stored bytes.
TEST(HostileConditions, SourcesChangingBeforeTheirTurnGiveAConsistentArchive) {
  struct Case {
    const char* what;
    Bytes before, after;
  } cases[] = {
      {"truncated", Deterministic(300000, 1, true), Deterministic(1000, 1, true)},
      {"emptied", Deterministic(5000, 2, false), {}},
      {"grown", ToBytes("small"), Deterministic(2500000, 3, false)},
  };
  for (const bool compress : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (compress ? " compressed" : " stored"));
      TempDir dir;
      WriteFile(dir / "src/a.first", "first");
      WriteFile(dir / "src/sub/z.changing", c.before);
      pkg::QueueHost host([&](const std::string& t) {
        if (t == "(3/5) 正在打包文件: \\a.first") WriteFile(dir / "src/sub/z.changing", c.after);
      });
      auto job =
          MakeJob(host, {(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kKey, {}});
      ASSERT_TRUE(job->Start().ok());
      ASSERT_EQ(host.RunUntilNotified().lParam, pkg::NOTIFY_FINISHED);
      const ArchiveFiles a = ReadAll(dir / "o.pkg");
      ASSERT_TRUE(a.ok);
      const Bytes& got = a.contents.at("\\sub\\z.changing");
      EXPECT_TRUE(got == c.after || got == c.before) << "stored " << got.size() << " bytes";
    }
  }
}

// The scan meets a folder that another program removes meanwhile.
class VanishingFolder : public ForwardingPlatform {
 public:
  explicit VanishingFolder(fs::path victim) : victim_(std::move(victim)) {}
  pkg::Status ListDirectory(const std::string& p, std::vector<pkg::DirEntry>& e,
                            bool& missing) override {
    pkg::Status s = inner_.ListDirectory(p, e, missing);
    if (!removed_) {
      removed_ = true;
      fs::remove_all(victim_);
    }
    return s;
  }

 private:
  fs::path victim_;
  bool removed_ = false;
};

TEST(HostileConditions, FolderRemovedDuringTheScanIsLeftOut) {
  TempDir dir;
  WriteFile(dir / "src/keep.txt", "k");
  WriteFile(dir / "src/gone/a.txt", "a");
  WriteFile(dir / "src/stays/b.txt", "b");
  VanishingFolder platform(dir / "src/gone");
  const JobRun run =
      RunJob({(dir / "src").string(), (dir / "o.pkg").string(), true, 1, kKey, {}}, platform);
  ASSERT_EQ(run.notification.lParam, pkg::NOTIFY_FINISHED);
  const ArchiveFiles a = ReadAll(dir / "o.pkg");
  std::set<std::string> names;
  for (const auto& [n, c] : a.contents) names.insert(n);
  EXPECT_EQ(names, (std::set<std::string>{"\\keep.txt", "\\stays\\b.txt"}));
}

// One character from each corner of every two-byte range of code page 936,
// plus characters it has no byte form for.
TEST(HostileConditions, NamesAtTheEdgesOfCodePage936KeepTheirExactBytes) {
  pkg::Platform& p = pkg::SystemPlatform();
  std::vector<std::string> gbk;  // two-byte names as code page 936 bytes
  for (const int lead : {0x81, 0xA1, 0xA8, 0xB0, 0xD7, 0xF7, 0xFE}) {
    for (const int trail : {0x40, 0x7E, 0x80, 0xA1, 0xFE}) {
      const std::string bytes{static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf8, back;
      // Only pairs the code page maps both ways name a character.
      if (p.FromCodePage936(bytes, utf8) && p.ToCodePage936(utf8, back) && back == bytes &&
          utf8.find('?') == std::string::npos)
        gbk.push_back(bytes);
    }
  }
  ASSERT_GT(gbk.size(), 20u) << "the code page tables are missing";

  TempDir dir;
  std::map<std::string, std::string> expected;  // UTF-8 relative path -> CP936 bytes
  for (std::size_t i = 0; i < gbk.size(); ++i) {
    std::string utf8;
    ASSERT_TRUE(p.FromCodePage936(gbk[i], utf8));
    const std::string name = "n" + std::to_string(i) + "_" + utf8 + ".bin";
    WriteFile(dir / ("src/" + name), name);
    expected["\\n" + std::to_string(i) + "_" + gbk[i] + ".bin"] = name;
  }
  // The euro sign is the one single byte above 0x7F.
  WriteFile(dir / "src/\xE2\x82\xAC.txt", "euro");
  expected["\\\x80.txt"] = "\xE2\x82\xAC.txt";
  // Eight of them: each byte widens to three in UTF-8 on the way back.
  std::string euros, euros936;
  for (int i = 0; i < 8; ++i) euros += "\xE2\x82\xAC", euros936 += "\x80";
  WriteFile(dir / ("src/" + euros + ".txt"), "euros");
  expected["\\" + euros936 + ".txt"] = euros + ".txt";
  std::string back;
  ASSERT_TRUE(p.FromCodePage936(euros936, back));
  EXPECT_EQ(back, euros);

  ASSERT_EQ(RunJob({(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kKey, {}})
                .notification.lParam,
            pkg::NOTIFY_FINISHED);
  const ArchiveFiles a = ReadAll(dir / "o.pkg");
  ASSERT_EQ(a.contents.size(), expected.size());
  for (const auto& [name936, utf8] : expected) {
    ASSERT_EQ(a.contents.count(name936), 1u) << utf8;
  }

  // Characters without a code page 936 form stop the job before it writes.
  for (const char* bad : {"\xED\x95\x9C", "\xF0\x9F\x98\x80", "\xE0\xB8\x81"}) {  // 한 😀 ก
    SCOPED_TRACE(bad);
    TempDir d2;
    WriteFile(d2 / "src/ok.txt", "ok");
    WriteFile(d2 / (std::string("src/") + bad), "x");
    const JobRun run = RunJob({(d2 / "src").string(), (d2 / "o.pkg").string(), false, 1, kKey, {}});
    EXPECT_EQ(run.notification.wParam, pkg::FAIL_OPEN_SOURCE);
    EXPECT_FALSE(fs::exists(d2 / "o.pkg"));
  }
}

}  // namespace
