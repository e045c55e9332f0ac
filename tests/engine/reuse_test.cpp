// Repacking over an older archive: files whose content it holds take its
// stored streams, every other file is compressed, and the result is the
// archive a fresh pack writes, whatever the older archive holds and however
// many threads work.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "fault_platform.h"
#include "pkg_index.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

const std::vector<std::uint8_t> kKey = {0x3D, 0x91, 0xC4, 0x58, 0xE2, 0x07, 0xAF, 0x6B};
const std::vector<std::uint8_t> kOtherKey = {0x72, 0xE8, 0x1A, 0xB5};

using Tree = std::map<std::string, Bytes>;

// Small files, two of the same size, one larger than a worker's read and
// one empty: each way a comparison can go.
Tree BaseTree() {
  return {{"a.txt", Deterministic(5000, 1, true)},        {"b.txt", Deterministic(5000, 2, true)},
          {"big.bin", Deterministic(600 << 10, 3, true)}, {"empty", {}},
          {"sub/c.dat", Deterministic(70000, 4, false)},  {"sub/d.txt", ToBytes("delta")}};
}

void WriteTree(const fs::path& root, const Tree& tree) {
  fs::remove_all(root);
  fs::create_directories(root);
  for (const auto& [rel, content] : tree) WriteFile(root / rel, content);
}

struct Packed {
  pkg::PackNotification notification;
  pkg::ReuseSummary summary;
};

Packed Pack(const JobSettings& s, pkg::Platform& platform = pkg::SystemPlatform()) {
  pkg::QueueHost host;
  auto job = MakeJob(host, s, platform);
  EXPECT_TRUE(job->Start().ok());
  Packed p{host.RunUntilNotified(), {}};
  p.summary = job->FReuseSummary;
  return p;
}

// What a fresh pack of src writes, with the given threads.
Bytes FreshPack(const TempDir& dir, const fs::path& src, unsigned threads) {
  const fs::path out = dir / "fresh/o.pkg";
  fs::remove_all(dir / "fresh");
  fs::create_directories(dir / "fresh");
  JobSettings s{U8(src), U8(out), true, 1, kKey, {}};
  s.threads = threads;
  s.reuse = false;
  const Packed p = Pack(s);
  EXPECT_EQ(p.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
  return ReadFile(out);
}

// The records of an archive and each one's stored bytes.
struct Piece {
  pkg::IndexRecord record;
  Bytes stored;
  bool crafted = false;  // the record's offset and stored size are kept as they are
};

std::vector<Piece> Pieces(const Bytes& archive) {
  pkg::TMemoryStream in;
  in.Write(archive.data(), archive.size());
  pkg::PkgArchive a;
  const pkg::Status s = pkg::ReadArchive(in, kKey, a);
  EXPECT_TRUE(s.ok()) << s.message();
  std::vector<Piece> pieces;
  for (const pkg::IndexRecord& r : a.records)
    pieces.push_back(
        {r, Bytes(archive.begin() + r.offset, archive.begin() + r.offset + r.storedSize), false});
  return pieces;
}

// An archive of the pieces' bytes back to back, sealed with key. Each
// record's offset and stored size are those of its bytes, but for a crafted
// record.
Bytes Build(const std::vector<Piece>& pieces, const std::vector<std::uint8_t>& key,
            bool compressed = true) {
  Bytes out(pkg::kHeaderSize);
  std::vector<std::uint8_t> index;
  for (const Piece& p : pieces) {
    pkg::IndexRecord r = p.record;
    if (!p.crafted) {
      r.offset = static_cast<std::uint32_t>(out.size());
      r.storedSize = static_cast<std::uint32_t>(p.stored.size());
    }
    out.insert(out.end(), p.stored.begin(), p.stored.end());
    pkg::AppendIndexRecord(index, r);
  }
  const auto trailerOffset = static_cast<std::uint32_t>(out.size());
  const auto header = pkg::MakeHeader(1, compressed, trailerOffset);
  std::copy(header.begin(), header.end(), out.begin());
  const Bytes trailer = pkg::TrailerBytes(pkg::SealIndex(index, key));
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

Piece& Named(std::vector<Piece>& pieces, const std::string& name) {
  for (Piece& p : pieces)
    if (p.record.name == name) return p;
  ADD_FAILURE() << "no record " << name;
  return pieces.front();
}

// ---------------------------------------------------------------------------
// A changed tree repacked over the archive of the tree before.

struct TreeChange {
  const char* what;
  std::function<void(Tree&)> change;
  std::uint64_t reused;  // of the files of the changed tree
};

class RepackChange : public ::testing::TestWithParam<std::tuple<TreeChange, unsigned>> {};

TEST_P(RepackChange, GivesTheFreshPacksBytesReusingWhatIsUnchanged) {
  const auto& [c, threads] = GetParam();
  TempDir dir;
  Tree tree = BaseTree();
  WriteTree(dir / "src", tree);
  const Bytes older = FreshPack(dir, dir / "src", threads);
  WriteFile(dir / "out/o.pkg", older);

  c.change(tree);
  WriteTree(dir / "src", tree);
  const Bytes fresh = FreshPack(dir, dir / "src", threads);

  JobSettings s{U8(dir / "src"), U8(dir / "out/o.pkg"), true, 1, kKey, {}};
  s.threads = threads;
  const Packed p = Pack(s);
  ASSERT_EQ(p.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
  EXPECT_EQ(ReadFile(dir / "out/o.pkg"), fresh);
  EXPECT_EQ(p.summary.unavailable, "");
  EXPECT_EQ(p.summary.reusedFiles, c.reused);
  EXPECT_EQ(p.summary.reusedFiles + p.summary.compressedFiles, tree.size());
  std::uint64_t total = 0;
  for (const auto& [rel, content] : tree) total += content.size();
  EXPECT_EQ(p.summary.reusedBytes + p.summary.compressedBytes, total);
  EXPECT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
}

void FlipByte(Bytes& b, std::size_t at) {
  b[at] ^= 0x20;
}

const TreeChange kChanges[] = {
    {"unchanged", [](Tree&) {}, 6},
    // Same sizes: a small file rejected by its checksum, a large one found
    // different while it streams, near its end.
    {"changed_in_place",
     [](Tree& t) {
       FlipByte(t["a.txt"], 17);
       FlipByte(t["big.bin"], (600 << 10) - 9);
     },
     4},
    {"big_changed_at_its_start", [](Tree& t) { FlipByte(t["big.bin"], 0); }, 5},
    {"grown",
     [](Tree& t) {
       t["sub/d.txt"].push_back('!');
       t["big.bin"].push_back('x');
     },
     4},
    {"shrunk_to_empty", [](Tree& t) { t["b.txt"].clear(); }, 5},
    {"renamed",
     [](Tree& t) {
       t["sub/e.txt"] = t["sub/d.txt"];
       t.erase("sub/d.txt");
     },
     5},
    {"letter_case_changed",
     [](Tree& t) {
       t["A.txt"] = t["a.txt"];
       t.erase("a.txt");
     },
     5},
    {"deleted", [](Tree& t) { t.erase("sub/c.dat"); }, 5},
    {"added", [](Tree& t) { t["sub/new.txt"] = Deterministic(3000, 9, true); }, 6},
};

INSTANTIATE_TEST_SUITE_P(Reuse, RepackChange,
                         ::testing::Combine(::testing::ValuesIn(kChanges),
                                            ::testing::Values(1u, 3u)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).what) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_threads";
                         });

// ---------------------------------------------------------------------------
// Older archives that cannot be trusted, whole or in part.

struct Hostile {
  const char* what;
  // Makes the older archive from the fresh one of the same tree.
  std::function<Bytes(const Bytes& fresh)> make;
  std::uint64_t reused;
  const char* why;  // a part of the reason nothing was reused, or ""
};

Bytes Edited(const Bytes& fresh, const std::function<void(std::vector<Piece>&)>& edit) {
  std::vector<Piece> pieces = Pieces(fresh);
  edit(pieces);
  return Build(pieces, kKey);
}

Bytes CutAt(const Bytes& fresh, std::size_t keep) {
  return Bytes(fresh.begin(), fresh.begin() + static_cast<std::ptrdiff_t>(keep));
}

const Hostile kHostile[] = {
    {"another_key", [](const Bytes& f) { return Build(Pieces(f), kOtherKey); }, 0,
     "does not open with this key"},
    {"stored", [](const Bytes& f) { return Build(Pieces(f), kKey, false); }, 0,
     "is stored without compression"},
    {"cut_in_the_header", [](const Bytes& f) { return CutAt(f, 20); }, 0, "too short"},
    {"cut_in_the_data", [](const Bytes& f) { return CutAt(f, 5000); }, 0, "is damaged"},
    {"cut_in_the_index", [](const Bytes& f) { return CutAt(f, f.size() - 10); }, 0, ""},
    {"cut_by_one_byte", [](const Bytes& f) { return CutAt(f, f.size() - 1); }, 0, ""},
    {"a_record_of_other_bytes_of_the_same_size",
     [](const Bytes& f) {
       return Edited(f, [](std::vector<Piece>& p) {
         std::swap(Named(p, "\\a.txt").stored, Named(p, "\\b.txt").stored);
       });
     },
     4, ""},
    {"a_stream_with_trailing_bytes",
     [](const Bytes& f) {
       return Edited(f, [](std::vector<Piece>& p) {
         Bytes& s = Named(p, "\\sub\\c.dat").stored;
         s.insert(s.end(), {0, 1, 2});
       });
     },
     5, ""},
    {"a_stream_cut_short",
     [](const Bytes& f) {
       return Edited(f, [](std::vector<Piece>& p) { Named(p, "\\big.bin").stored.resize(9000); });
     },
     5, ""},
    {"a_record_overlapping_another",
     [](const Bytes& f) {
       // d.txt's record points into a.txt's stream: both are left alone.
       return Edited(f, [](std::vector<Piece>& p) {
         Piece& d = Named(p, "\\sub\\d.txt");
         d.record.offset = Named(p, "\\a.txt").record.offset + 2;
         d.crafted = true;
       });
     },
     4, ""},
    {"a_repeated_record",
     [](const Bytes& f) {
       return Edited(f, [](std::vector<Piece>& p) { p.push_back(Named(p, "\\a.txt")); });
     },
     5, ""},
    {"a_huge_claimed_size",
     [](const Bytes& f) {
       return Edited(f,
                     [](std::vector<Piece>& p) { Named(p, "\\b.txt").record.size = 0xFFFFFFF0u; });
     },
     5, ""},
    {"a_huge_stored_size",
     [](const Bytes& f) {
       return Edited(f, [](std::vector<Piece>& p) {
         Piece& big = Named(p, "\\big.bin");
         big.record.storedSize = 0x7FFFFFF0u;
         big.crafted = true;
       });
     },
     5, ""},
};

class RepackOverHostile : public ::testing::TestWithParam<std::tuple<Hostile, unsigned>> {};

TEST_P(RepackOverHostile, GivesTheFreshPacksBytes) {
  const auto& [h, threads] = GetParam();
  TempDir dir;
  WriteTree(dir / "src", BaseTree());
  const Bytes fresh = FreshPack(dir, dir / "src", threads);
  const Bytes older = h.make(fresh);
  WriteFile(dir / "out/o.pkg", older);

  JobSettings s{U8(dir / "src"), U8(dir / "out/o.pkg"), true, 1, kKey, {}};
  s.threads = threads;
  const Packed p = Pack(s);
  ASSERT_EQ(p.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
  EXPECT_EQ(ReadFile(dir / "out/o.pkg"), fresh);
  EXPECT_EQ(p.summary.reusedFiles, h.reused);
  if (h.reused == 0) {
    EXPECT_NE(p.summary.unavailable.find(h.why), std::string::npos) << p.summary.unavailable;
    EXPECT_NE(p.summary.unavailable, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Reuse, RepackOverHostile,
                         ::testing::Combine(::testing::ValuesIn(kHostile),
                                            ::testing::Values(1u, 3u)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).what) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_threads";
                         });

// ---------------------------------------------------------------------------
// Failures and aborts while reusing.

// An older archive that serves for some files but not all: the base tree's,
// repacked after a.txt and big.bin changed.
struct Reusing {
  TempDir dir;
  Bytes older, fresh;
  Reusing() {
    Tree tree = BaseTree();
    WriteTree(dir / "src", tree);
    older = FreshPack(dir, dir / "src", 1);
    FlipByte(tree["a.txt"], 3);
    FlipByte(tree["big.bin"], 300000);
    WriteTree(dir / "src", tree);
    fresh = FreshPack(dir, dir / "src", 1);
  }
  void Reset() {
    fs::remove_all(dir / "out");
    WriteFile(dir / "out/o.pkg", older);
  }
  JobSettings Settings(unsigned threads) const {
    JobSettings s{U8(dir / "src"), U8(dir / "out/o.pkg"), true, 1, kKey, {}};
    s.threads = threads;
    return s;
  }
};

// Reading the older archive failing only costs its reuse; every other
// failure fails the job as without reuse. A finished job wrote the fresh
// pack's bytes; a failed one left the older archive as it was.
TEST(Reuse, EveryOperationFailingInTurnFinishesWithTheFreshBytesOrKeepsTheOlderArchive) {
  Reusing r;
  int runs = 0;
  for (const unsigned threads : {1u, 3u}) {
    r.Reset();
    FaultPlatform counter;
    const Packed reference = Pack(r.Settings(threads), counter);
    ASSERT_EQ(reference.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
    ASSERT_EQ(reference.summary.reusedFiles, 4u);
    for (const Op op : kAllOps) {
      for (int nth = 1; nth <= counter.Calls(op); ++nth) {
        SCOPED_TRACE(std::string(OpName(op)) + " #" + std::to_string(nth) + ", " +
                     std::to_string(threads) + " threads");
        r.Reset();
        FaultPlatform platform;
        platform.FailAt(op, nth);
        const Packed p = Pack(r.Settings(threads), platform);
        ++runs;
        EXPECT_EQ(ListNames(r.dir / "out"), (std::vector<std::string>{"o.pkg"}));
        // The folder's flush fails once the new archive is in place.
        if (p.notification.lParam == pkg::NOTIFY_FINISHED || op == Op::kSyncFolder) {
          EXPECT_EQ(ReadFile(r.dir / "out/o.pkg"), r.fresh);
        } else {
          EXPECT_EQ(ReadFile(r.dir / "out/o.pkg"), r.older);
          EXPECT_NE(pkg::FailureDetail.find("injected fault"), std::string::npos)
              << pkg::FailureDetail;
          EXPECT_NE(op, Op::kDelete) << pkg::FailureDetail;
        }
      }
    }
  }
  EXPECT_GT(runs, 50);
}

TEST(Reuse, AnAbortAtEveryTextKeepsTheOlderArchive) {
  Reusing r;
  const std::size_t steps = BaseTree().size() + 4;  // (1/5), (2/5), a text per file, (4/5), (5/5)
  for (const unsigned threads : {1u, 3u}) {
    for (std::size_t k = 0; k < steps; ++k) {
      SCOPED_TRACE("abort at text " + std::to_string(k) + ", " + std::to_string(threads) +
                   " threads");
      r.Reset();
      std::shared_ptr<pkg::PKGPackWorker> job;
      std::size_t texts = 0;
      bool aborted = false;
      pkg::QueueHost host([&](const std::string&) {
        if (++texts == k + 1) aborted = job->Abort();
      });
      job = MakeJob(host, r.Settings(threads));
      ASSERT_TRUE(job->Start().ok());
      while (!aborted) ASSERT_FALSE(host.Pump(std::chrono::milliseconds(2000)).has_value());
      EXPECT_FALSE(host.Pump(std::chrono::milliseconds(20)).has_value());
      EXPECT_EQ(texts, k + 1);
      EXPECT_EQ(ListNames(r.dir / "out"), (std::vector<std::string>{"o.pkg"}));
      EXPECT_EQ(ReadFile(r.dir / "out/o.pkg"), r.older);
    }
  }
}

// The older archive met inside the source tree is refused as before, unless
// it is excluded: then it serves for reuse all the same.
TEST(Reuse, AnOlderArchiveInsideTheSourceServesOnlyWhenExcluded) {
  Reusing r;
  WriteFile(r.dir / "src/o.pkg", r.older);
  JobSettings s = r.Settings(3);
  s.output = U8(r.dir / "src/o.pkg");
  const Packed refused = Pack(s);
  EXPECT_EQ(refused.notification.wParam, pkg::FAIL_OPEN_SOURCE);
  EXPECT_EQ(ReadFile(r.dir / "src/o.pkg"), r.older);

  s.excludes = {"\\o.pkg"};
  const Packed p = Pack(s);
  ASSERT_EQ(p.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
  EXPECT_EQ(p.summary.reusedFiles, 4u);
  EXPECT_EQ(ReadFile(r.dir / "src/o.pkg"), r.fresh);
}

}  // namespace
