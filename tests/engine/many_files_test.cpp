// A tree of 100,000 small files packs, and the job's memory grows with the
// index, not with the data.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST(ManyFiles, HundredThousandSmallFilesPackWithMemoryBoundedByTheIndex) {
  constexpr int kFiles = 100000;
  TempDir dir;
  std::uint64_t bytes = 0;
  for (int i = 0; i < kFiles; ++i) {
    const std::string rel = "src/d" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".dat";
    const std::size_t size = static_cast<std::size_t>(i % 997);
    bytes += size;
    WriteFile(dir / rel, Deterministic(size, static_cast<std::uint32_t>(i), true));
  }
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "stored");
    const long before = PeakKiB();
    const JobRun run =
        RunJob({(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, {0x42}, {}});
    ASSERT_EQ(run.notification.lParam, pkg::NOTIFY_FINISHED);
    EXPECT_EQ(run.texts.size(), static_cast<std::size_t>(kFiles) + 4);
    // The list, the index and the buffers: a few hundred bytes a file and a
    // fixed amount for the compression threads, far below the data's size.
    const long grownKiB = PeakKiB() - before;
    EXPECT_LT(grownKiB, 96 * 1024 + kFiles / 2) << "peak grew by " << grownKiB << " KiB";

    const Bytes raw = ReadFile(dir / "o.pkg");
    pkg::TMemoryStream in;
    in.Write(raw.data(), raw.size());
    pkg::PkgArchive a;
    ASSERT_TRUE(pkg::ReadArchive(in, std::vector<std::uint8_t>{0x42}, a).ok());
    EXPECT_EQ(a.records.size(), static_cast<std::size_t>(kFiles));
    std::uint64_t total = 0;
    for (const auto& r : a.records) total += r.size;
    EXPECT_EQ(total, bytes);
  }
}

}  // namespace
