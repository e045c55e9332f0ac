// The read-ahead pipeline on its own, driven the way the job's writer drives
// it: every file's bytes come out whole and in list order, the same as the
// one-thread job makes them, within the memory budget; what a worker met
// reaches the writer at the file's turn; a stop ends every wait.
#include "pack_pipeline.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <thread>

#include "file_stream.h"
#include "forwarding_platform.h"
#include "test_support.h"

namespace {

using namespace pkgtest;
using pkg::PackPipeline;
using Handover = PackPipeline::Handover;
constexpr std::size_t kBlock = PackPipeline::kBlockSize;

Bytes Zlib6(const Bytes& in) {
  uLongf len = compressBound(static_cast<uLong>(in.size()));
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
  out.resize(len);
  return out;
}

// What the writer gets for file i, as it drains it; sizeRead, the bytes the
// worker read.
Bytes Drain(PackPipeline& p, std::size_t i, std::uint64_t* sizeRead = nullptr) {
  Bytes out;
  std::uint64_t size = 0;
  for (bool end = false; !end;) {
    PackPipeline::Block* chain = p.NextBlocks(i, end, size);
    for (PackPipeline::Block* b = chain; b; b = b->next)
      out.insert(out.end(), b->data, b->data + b->used);
    p.RecycleChain(chain);
  }
  if (sizeRead) *sizeRead = size;
  return out;
}

struct Tree {
  std::vector<std::string> paths;
  std::vector<Bytes> contents;
};

// Sizes around the block size, and files larger than the small budgets below.
Tree MakeTree(const TempDir& dir) {
  const std::size_t sizes[] = {0,          1,       1000, kBlock - 1, kBlock, kBlock + 1,
                               3 * kBlock, 1 << 20, 5000, 0,          700000, 77};
  Tree t;
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    const fs::path p = dir / ("src/f" + std::to_string(i));
    t.contents.push_back(Deterministic(sizes[i], static_cast<std::uint32_t>(i), i % 3 != 0));
    WriteFile(p, t.contents.back());
    t.paths.push_back(U8(p));
  }
  return t;
}

struct DeliveryCase {
  const char* name;
  bool compress;
  unsigned workers;
  std::size_t budget;
  // The list grows, a file at a time, while the writer already takes files.
  bool growing = false;
};

class PipelineDelivery : public ::testing::TestWithParam<DeliveryCase> {};

TEST_P(PipelineDelivery, EveryFileComesOutWholeInListOrderWithinTheBudget) {
  const DeliveryCase& c = GetParam();
  TempDir dir;
  const Tree t = MakeTree(dir);
  PackPipeline::Settings s;
  s.compress = c.compress;
  s.workers = c.workers;
  s.budget = c.budget;
  s.largestRead = UINT64_MAX;  // stored files stream through blocks too
  std::atomic<bool> stop{false};
  std::vector<std::string> paths;
  if (!c.growing) paths = t.paths;
  PackPipeline p(pkg::SystemPlatform(), paths, s, stop, !c.growing);
  ASSERT_EQ(p.Workers(), c.workers);
  std::thread lister;
  if (c.growing) {
    lister = std::thread([&] {
      for (std::size_t i = 0; i < t.paths.size(); ++i) {
        if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        p.Extend([&] { paths.push_back(t.paths[i]); }, i + 1 == t.paths.size());
      }
    });
  }
  struct Join {
    std::thread& t;
    ~Join() {
      if (t.joinable()) t.join();
    }
  } join{lister};
  for (std::size_t i = 0; i < t.paths.size(); ++i) {
    SCOPED_TRACE(t.paths[i]);
    // A slow writer now and then, so that the workers run into the budget.
    if (i % 4 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pkg::FileStamp stamp, now;
    std::string message;
    ASSERT_EQ(p.Take(i, stamp, message), Handover::kStream) << message;
    ASSERT_TRUE(pkg::SystemPlatform().StampOf(t.paths[i], now).ok());
    EXPECT_EQ(stamp, now);
    std::uint64_t sizeRead = 0;
    EXPECT_EQ(Drain(p, i, &sizeRead), c.compress ? Zlib6(t.contents[i]) : t.contents[i]);
    EXPECT_EQ(sizeRead, t.contents[i].size());
  }
  EXPECT_LE(p.PeakBytes(), std::max(c.budget, 4 * kBlock));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PipelineDelivery,
    ::testing::Values(DeliveryCase{"stored_one_worker", false, 1, 64 << 20},
                      DeliveryCase{"stored_three_workers_four_blocks", false, 3, 4 * kBlock},
                      DeliveryCase{"compressed_one_worker", true, 1, 64 << 20},
                      DeliveryCase{"compressed_two_workers", true, 2, 64 << 20},
                      DeliveryCase{"compressed_four_workers_four_blocks", true, 4, 4 * kBlock},
                      DeliveryCase{"compressed_three_workers_six_blocks", true, 3, 6 * kBlock},
                      DeliveryCase{"stored_growing_list", false, 2, 64 << 20, true},
                      DeliveryCase{"compressed_growing_list_four_blocks", true, 3, 4 * kBlock,
                                   true}),
    [](const auto& info) { return std::string(info.param.name); });

// Files the writer is to meet itself, among them those that could not be
// opened ahead: the writer tries them again at their turn.
TEST(Pipeline, HandsOverWhatTheWriterMustDealWithItself) {
  struct Case {
    const char* what;
    bool compress;
    std::function<void(const TempDir&, const fs::path&, PackPipeline::Settings&)> setup;
    Handover expected;
    const char* message;  // part of why the workers gave it up
  };
  const Case cases[] = {
      {"missing", true, [](const TempDir&, const fs::path&, PackPipeline::Settings&) {},
       Handover::kByWriter, "cannot open"},
      {"a folder", false,
       [](const TempDir&, const fs::path& p, PackPipeline::Settings&) {
         fs::create_directories(p);
       },
       Handover::kByWriter, "cannot open"},
      {"refused", true,
       [](const TempDir&, const fs::path& p, PackPipeline::Settings& s) {
         WriteFile(p, "the archive itself");
         pkg::FileIdentity id;
         ASSERT_TRUE(pkg::SystemPlatform().IdentityOf(U8(p), id).ok());
         s.refused = {id};
       },
       Handover::kByWriter, ""},
      {"stored above largestRead", false,
       [](const TempDir&, const fs::path& p, PackPipeline::Settings& s) {
         WriteFile(p, Deterministic(5000, 1, true));
         s.largestRead = 4999;
       },
       Handover::kByWriter, ""},
      {"4 GiB, never read", true,
       [](const TempDir&, const fs::path& p, PackPipeline::Settings&) {
         WriteFile(p, "");
         fs::resize_file(p, 4ull << 30);  // sparse
       },
       Handover::kByWriter, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const fs::path p = dir / "x";
    PackPipeline::Settings s;
    s.compress = c.compress;
    s.workers = 2;
    c.setup(dir, p, s);
    std::atomic<bool> stop{false};
    const std::vector<std::string> paths = {U8(p), U8(dir / "next")};
    WriteFile(dir / "next", "after it");
    PackPipeline pipeline(pkg::SystemPlatform(), paths, s, stop);
    pkg::FileStamp stamp;
    std::string message;
    EXPECT_EQ(pipeline.Take(0, stamp, message), c.expected);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    // The next file is not held up by it.
    ASSERT_EQ(pipeline.Take(1, stamp, message), Handover::kStream);
    const Bytes next = Drain(pipeline, 1);
    EXPECT_EQ(next, c.compress ? Zlib6(ToBytes("after it")) : ToBytes("after it"));
  }
}

// The source file "big" fails its reads once a given number of bytes was
// read.
class FailingReads : public ForwardingPlatform {
 public:
  explicit FailingReads(std::uint64_t failAt) : failAt_(failAt) {}
  class File : public ForwardingFile {
   public:
    File(std::unique_ptr<pkg::PlatformFile> f, std::uint64_t failAt)
        : ForwardingFile(std::move(f)), left_(failAt) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      got = 0;
      if (left_ == 0) return pkg::Status::Fail("cannot read: the disk is on fire");
      pkg::Status s =
          inner_->Read(b, static_cast<std::size_t>(std::min<std::uint64_t>(n, left_)), got);
      left_ -= got;
      return s;
    }

   private:
    std::uint64_t left_;
  };
  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    std::unique_ptr<pkg::PlatformFile> inner;
    pkg::Status s = inner_.OpenForReading(p, inner);
    if (s.ok() && p.ends_with("big"))
      f = std::make_unique<File>(std::move(inner), failAt_);
    else
      f = std::move(inner);
    return s;
  }

 private:
  std::uint64_t failAt_;
};

TEST(Pipeline, AReadFailureAheadGoesToTheWriterAndOneAfterTheTurnIsRaised) {
  // At once, before its turn: the file is handed to the writer, which reads
  // it again as a job without workers would. Far into a file larger than
  // the budget, which cannot get there before the writer drains it: part of
  // it is in the archive already, and NextBlocks raises the failure.
  for (const bool midway : {false, true}) {
    SCOPED_TRACE(midway ? "midway" : "at once");
    TempDir dir;
    WriteFile(dir / "big", Deterministic(2 << 20, 4, false));
    WriteFile(dir / "next", "after it");
    FailingReads platform(midway ? 1 << 20 : 0);
    PackPipeline::Settings s;
    s.compress = true;
    s.workers = 2;
    s.budget = 4 * kBlock;
    std::atomic<bool> stop{false};
    const std::vector<std::string> paths = {U8(dir / "big"), U8(dir / "next")};
    PackPipeline p(platform, paths, s, stop);
    pkg::FileStamp stamp;
    std::string message;
    if (!midway) {
      EXPECT_EQ(p.Take(0, stamp, message), Handover::kByWriter);
      EXPECT_EQ(message, "cannot read: the disk is on fire");
      // The next file is not held up by it.
      ASSERT_EQ(p.Take(1, stamp, message), Handover::kStream);
      EXPECT_EQ(Drain(p, 1), Zlib6(ToBytes("after it")));
      continue;
    }
    ASSERT_EQ(p.Take(0, stamp, message), Handover::kStream);
    EXPECT_TRUE(message.empty()) << message;
    try {
      Drain(p, 0);
      FAIL() << "NextBlocks should have raised";
    } catch (const pkg::EStreamError& e) {
      EXPECT_STREQ(e.what(), "cannot read: the disk is on fire");
    }
  }
}

// Opens wait until the gate is open: a worker held before its first byte.
class GatedOpens : public ForwardingPlatform {
 public:
  std::atomic<bool> open{false};
  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return inner_.OpenForReading(p, f);
  }
};

// Workers waiting for room or held in an open, a writer waiting for a block
// or for its file: a stop ends every wait, and the pipeline goes without a
// hang.
TEST(Pipeline, StopEndsEveryWaitAndTheWorkersAreJoined) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    WriteFile(dir / ("f" + std::to_string(i)), Deterministic(1 << 20, i, i % 2 == 0));
    paths.push_back(U8(dir / ("f" + std::to_string(i))));
  }
  // kWaitsForTheList: nothing is listed yet, and the workers wait for it too.
  // kHoldsOpens: waits for the workers held in an open to get out of it.
  enum class Writer { kIdle, kWaitsForABlock, kWaitsForItsFile, kWaitsForTheList, kHoldsOpens };
  const std::vector<std::string> none;
  for (const bool compress : {false, true}) {
    for (const Writer w : {Writer::kIdle, Writer::kWaitsForABlock, Writer::kWaitsForItsFile,
                           Writer::kWaitsForTheList, Writer::kHoldsOpens}) {
      SCOPED_TRACE(std::string(compress ? "compressed, " : "stored, ") + "writer " +
                   std::to_string(static_cast<int>(w)));
      GatedOpens platform;
      platform.open = w != Writer::kWaitsForItsFile && w != Writer::kHoldsOpens;
      PackPipeline::Settings s;
      s.compress = compress;
      s.workers = 3;
      s.budget = 4 * kBlock;
      s.largestRead = UINT64_MAX;
      std::atomic<bool> stop{false};
      std::thread writer;
      {
        const bool unlisted = w == Writer::kWaitsForTheList;
        PackPipeline p(platform, unlisted ? none : paths, s, stop, !unlisted);
        pkg::FileStamp stamp;
        std::string message;
        if (w == Writer::kWaitsForABlock) {
          // Keeps every block it takes: the pool runs dry and NextBlocks waits.
          writer = std::thread([&] {
            EXPECT_THROW(
                {
                  p.Take(0, stamp, message);
                  bool end = false;
                  std::uint64_t size = 0;
                  while (!end) p.NextBlocks(0, end, size);
                },
                pkg::EJobAborted);
          });
        } else if (w == Writer::kHoldsOpens) {
          writer = std::thread([&] { EXPECT_THROW(p.HoldOpens(), pkg::EJobAborted); });
        } else if (w == Writer::kWaitsForItsFile || unlisted) {
          writer = std::thread([&] { EXPECT_THROW(p.Take(0, stamp, message), pkg::EJobAborted); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop = true;
        p.Wake();
        if (writer.joinable()) writer.join();
        EXPECT_THROW(p.Take(0, stamp, message), pkg::EJobAborted);
        platform.open = true;
      }  // joins the workers
    }
  }
}

// While the job claims the archive's place, no worker may hold a file it has
// not identified yet: one in the middle of an open is waited for, and no new
// open starts until the job lets them go on.
TEST(Pipeline, HeldOpensWaitForTheOpeningWorkersAndStartNoOther) {
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<Bytes> contents;
  for (int i = 0; i < 8; ++i) {
    contents.push_back(Deterministic(3000, i, true));
    WriteFile(dir / ("f" + std::to_string(i)), contents.back());
    paths.push_back(U8(dir / ("f" + std::to_string(i))));
  }
  struct CountedOpens : GatedOpens {
    std::atomic<int> entered{0}, done{0};
    pkg::Status OpenForReading(const std::string& p,
                               std::unique_ptr<pkg::PlatformFile>& f) override {
      ++entered;
      pkg::Status s = GatedOpens::OpenForReading(p, f);
      ++done;
      return s;
    }
  } platform;
  PackPipeline::Settings s;
  s.compress = true;
  s.workers = 2;
  std::atomic<bool> stop{false};
  PackPipeline p(platform, paths, s, stop);
  while (platform.entered < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::atomic<bool> held{false};
  std::thread holder([&] {
    p.HoldOpens();
    held = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(held) << "two workers are still inside an open";
  platform.open = true;
  holder.join();
  const int opened = platform.entered;
  EXPECT_EQ(opened, platform.done.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(platform.entered, opened) << "an open started while opens were held";

  p.ResumeOpens();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    pkg::FileStamp stamp;
    std::string message;
    ASSERT_EQ(p.Take(i, stamp, message), Handover::kStream) << message;
    EXPECT_EQ(Drain(p, i), Zlib6(contents[i]));
  }
}

TEST(Pipeline, ADroppedFileFreesItsRoomAndTheNextOnesFollow) {
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<Bytes> contents;
  for (int i = 0; i < 4; ++i) {
    contents.push_back(Deterministic(i == 0 ? 3 << 20 : 100000, i, true));
    WriteFile(dir / ("f" + std::to_string(i)), contents.back());
    paths.push_back(U8(dir / ("f" + std::to_string(i))));
  }
  PackPipeline::Settings s;
  s.compress = true;
  s.workers = 2;
  s.budget = 4 * kBlock;
  std::atomic<bool> stop{false};
  PackPipeline p(pkg::SystemPlatform(), paths, s, stop);
  pkg::FileStamp stamp;
  std::string message;
  // File 0 is larger than the budget: its worker waits for the writer, which
  // gives it up after the first blocks.
  ASSERT_EQ(p.Take(0, stamp, message), Handover::kStream);
  bool end = false;
  std::uint64_t size = 0;
  p.RecycleChain(p.NextBlocks(0, end, size));
  p.Drop(0);
  for (std::size_t i = 1; i < paths.size(); ++i) {
    ASSERT_EQ(p.Take(i, stamp, message), Handover::kStream);
    EXPECT_EQ(Drain(p, i), Zlib6(contents[i]));
  }
  EXPECT_LE(p.PeakBytes(), 4 * kBlock);
}

}  // namespace
