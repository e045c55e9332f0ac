// A platform that fails the Nth call of one kind of operation, as a disk, a
// network share or an anti-virus scanner might, and counts every call.
#pragma once

#include <array>
#include <atomic>
#include <string>

#include "forwarding_platform.h"

namespace pkgtest {

// kSync flushes a file's data to the disk, kSyncFolder a folder's names.
enum class Op {
  kCreate,
  kOpen,
  kRead,
  kWrite,
  kSeek,
  kSize,
  kClose,
  kRename,
  kDelete,
  kList,
  kSync,
  kSyncFolder
};
inline constexpr std::array<Op, 12> kAllOps = {Op::kCreate, Op::kOpen, Op::kRead,  Op::kWrite,
                                               Op::kSeek,   Op::kSize, Op::kClose, Op::kRename,
                                               Op::kDelete, Op::kList, Op::kSync,  Op::kSyncFolder};
const char* OpName(Op op);

class FaultPlatform : public ForwardingPlatform {
 public:
  // Fails call number `nth` (1-based) of kind `op`; 0 fails nothing.
  void FailAt(Op op, int nth) {
    failOp_ = op;
    failAt_ = nth;
  }
  // A listing that fails does so part-way: after the system has listed the
  // folder, with half of its entries given, as a listing that a disk or a
  // network breaks off. Otherwise it fails at the start, with none.
  void FailListingPartWay(bool partWay) { listPartWay_ = partWay; }
  int Calls(Op op) const { return counts_[static_cast<std::size_t>(op)].load(); }
  bool Injected() const { return injected_.load(); }

  // Counts a call; true when this one must fail.
  bool Hit(Op op);

  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override;
  pkg::Status OpenExistingForWriting(const std::string& p,
                                     std::unique_ptr<pkg::PlatformFile>& f) override;
  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override;
  pkg::Status RemoveFile(const std::string& p) override;
  pkg::Status MoveFileOver(const std::string& a, const std::string& b) override;
  pkg::Status SyncFolderOf(const std::string& p) override;
  pkg::Status ListDirectory(const std::string& p, std::vector<pkg::DirEntry>& e,
                            bool& missing) override;

 private:
  pkg::Status Wrap(pkg::Status s, std::unique_ptr<pkg::PlatformFile>& f);

  std::array<std::atomic<int>, kAllOps.size()> counts_{};
  Op failOp_ = Op::kCreate;
  int failAt_ = 0;
  bool listPartWay_ = false;
  std::atomic<bool> injected_{false};
};

}  // namespace pkgtest
