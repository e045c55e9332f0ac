// Every platform operation of a small job failing in turn: each run ends in
// exactly one defined outcome with the right reason, leaves no file behind,
// keeps an older archive intact, and never hangs.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>

#include "fault_platform.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;
using Outcome = std::pair<std::intptr_t, std::uintptr_t>;

const Outcome kFinished{pkg::NOTIFY_FINISHED, 1};
const Outcome kNoFiles{pkg::NOTIFY_FAILED, pkg::FAIL_NO_FILES};
const Outcome kCreate{pkg::NOTIFY_FAILED, pkg::FAIL_CREATE_PKG};
const Outcome kOpen{pkg::NOTIFY_FAILED, pkg::FAIL_OPEN_SOURCE};
const Outcome kWrite{pkg::NOTIFY_FAILED, pkg::FAIL_WRITE_PKG};

// What a failure of each kind of operation may lead to.
std::set<Outcome> Allowed(Op op) {
  switch (op) {
    case Op::kCreate:
      return {kCreate};
    // A worker that cannot open or read a file ahead leaves it to the job,
    // which tries it again at its turn.
    case Op::kOpen:
      return {kOpen, kFinished};
    case Op::kRead:
      return {kWrite, kFinished};
    case Op::kWrite:
    case Op::kSeek:
    case Op::kSize:
    case Op::kRename:
    case Op::kSync:
      return {kWrite};
    // The folder is flushed after the move: the new archive is in place, but
    // its name may not survive a power cut, and the job says so.
    case Op::kSyncFolder:
      return {kWrite};
    // Closing a source file that was only read loses nothing; closing the
    // archive can report a deferred write error.
    case Op::kClose:
      return {kFinished, kWrite};
    // A folder that cannot be listed fails the job, naming it.
    case Op::kList:
      return {kOpen};
    case Op::kDelete:
      return {kFinished};
  }
  return {};
}

const std::vector<std::uint8_t> kKey = {0x11, 0x22, 0x33};

std::map<std::string, Bytes> Tree() {
  return {{"a.txt", ToBytes("alpha")},
          {"empty", {}},
          {"sub/b.bin", Deterministic(150000, 5, false)},
          {"sub/c.txt", Deterministic(90000, 6, true)},
          {"sub/deeper/d.txt", ToBytes("delta")}};
}

// Pumps until the job's notification, failing instead of hanging.
std::optional<pkg::PackNotification> RunBounded(FaultPlatform& platform, const JobSettings& s) {
  pkg::QueueHost host;
  auto job = MakeJob(host, s, platform);
  if (!job->Start().ok()) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto n = host.Pump(std::chrono::milliseconds(100))) {
      EXPECT_FALSE(host.Pump(std::chrono::milliseconds(5)).has_value()) << "a second notification";
      return n;
    }
  }
  ADD_FAILURE() << "the job did not end";
  job->Abort();
  return std::nullopt;
}

void ExpectArchiveMatches(const fs::path& archive, const std::map<std::string, Bytes>& tree) {
  const Bytes raw = ReadFile(archive);
  pkg::TMemoryStream in;
  in.Write(raw.data(), raw.size());
  pkg::PkgArchive a;
  const pkg::Status s = pkg::ReadArchive(in, kKey, a);
  ASSERT_TRUE(s.ok()) << s.message();
  for (const auto& r : a.records) {
    std::string rel = r.name.substr(1);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    Bytes content;
    ASSERT_TRUE(pkg::ReadRecordData(in, a, r, content).ok()) << r.name;
    ASSERT_EQ(tree.count(rel), 1u) << r.name;
    EXPECT_EQ(content, tree.at(rel)) << r.name;
  }
}

TEST(FaultInjection, EveryOperationFailingInTurnEndsInADefinedOutcome) {
  TempDir dir;
  const auto tree = Tree();
  for (const auto& [rel, content] : tree) WriteFile(dir / ("src/" + rel), content);
  fs::create_directories(dir / "out");
  int runs = 0;

  for (const bool compress : {false, true}) {
    for (const bool older : {true, false}) {
      const JobSettings s{
          (dir / "src").string(), (dir / "out/o.pkg").string(), compress, 1, kKey, {}};
      auto reset = [&] {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        if (older) WriteFile(dir / "out/o.pkg", "older archive");
      };
      reset();
      FaultPlatform counter;
      ASSERT_EQ(RunBounded(counter, s).value().lParam, pkg::NOTIFY_FINISHED);

      for (const Op op : kAllOps) {
        for (int nth = 1; nth <= counter.Calls(op); ++nth) {
          SCOPED_TRACE(std::string(OpName(op)) + " #" + std::to_string(nth) +
                       (compress ? ", compressed" : ", stored") +
                       (older ? ", older archive" : ", no older archive"));
          reset();
          FaultPlatform platform;
          platform.FailAt(op, nth);
          const auto n = RunBounded(platform, s);
          ++runs;
          ASSERT_TRUE(n.has_value());
          const Outcome outcome{n->lParam, n->wParam};
          EXPECT_TRUE(Allowed(op).count(outcome))
              << "outcome " << n->lParam << "/" << n->wParam << ": " << pkg::FailureDetail;
          if (op == Op::kList) {
            EXPECT_TRUE(
                pkg::FailedSourceFile.ends_with(pkg::SystemPlatform().JoinRelative("", "\\")))
                << "names a folder: " << pkg::FailedSourceFile;
            EXPECT_NE(pkg::FailureDetail.find("injected fault"), std::string::npos)
                << pkg::FailureDetail;
          }
          if (outcome == kWrite) {
            EXPECT_NE(pkg::FailureDetail.find("injected fault"), std::string::npos)
                << pkg::FailureDetail;
          }
          if (outcome == kFinished || op == Op::kSyncFolder) {
            ExpectArchiveMatches(dir / "out/o.pkg", tree);
            EXPECT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
          } else if (older) {
            EXPECT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
            EXPECT_EQ(ReadFile(dir / "out/o.pkg"), ToBytes("older archive"));
          } else {
            EXPECT_TRUE(fs::is_empty(dir / "out")) << "something was left behind";
          }
        }
      }
    }
  }
  std::cout << "fault injection: " << runs << " runs, one fault each\n";
}

}  // namespace
