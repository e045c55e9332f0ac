#include "fault_platform.h"

namespace pkgtest {
namespace {

pkg::Status InjectedFault(Op op) {
  return pkg::Status::Fail(std::string("injected fault in ") + OpName(op));
}

class FaultFile : public pkg::PlatformFile {
 public:
  FaultFile(std::unique_ptr<pkg::PlatformFile> f, FaultPlatform& p) : f_(std::move(f)), p_(p) {}
  pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
    got = 0;
    return p_.Hit(Op::kRead) ? InjectedFault(Op::kRead) : f_->Read(b, n, got);
  }
  pkg::Status Write(const void* b, std::size_t n) override {
    return p_.Hit(Op::kWrite) ? InjectedFault(Op::kWrite) : f_->Write(b, n);
  }
  pkg::Status Seek(std::uint64_t pos) override {
    return p_.Hit(Op::kSeek) ? InjectedFault(Op::kSeek) : f_->Seek(pos);
  }
  pkg::Status Size(std::uint64_t& s) override {
    return p_.Hit(Op::kSize) ? InjectedFault(Op::kSize) : f_->Size(s);
  }
  pkg::Status Identity(pkg::FileIdentity& id) override { return f_->Identity(id); }
  pkg::Status Stamp(pkg::FileStamp& st) override { return f_->Stamp(st); }
  pkg::Status Sync() override { return p_.Hit(Op::kSync) ? InjectedFault(Op::kSync) : f_->Sync(); }
  pkg::Status Close() override {
    // The file is released either way, as a system's close does.
    pkg::Status s = f_->Close();
    return p_.Hit(Op::kClose) ? InjectedFault(Op::kClose) : s;
  }

 private:
  std::unique_ptr<pkg::PlatformFile> f_;
  FaultPlatform& p_;
};

}  // namespace

const char* OpName(Op op) {
  switch (op) {
    case Op::kCreate:
      return "create";
    case Op::kOpen:
      return "open";
    case Op::kRead:
      return "read";
    case Op::kWrite:
      return "write";
    case Op::kSeek:
      return "seek";
    case Op::kSize:
      return "size";
    case Op::kClose:
      return "close";
    case Op::kRename:
      return "rename";
    case Op::kDelete:
      return "delete";
    case Op::kList:
      return "list";
    case Op::kSync:
      return "sync";
    case Op::kSyncFolder:
      return "folder sync";
  }
  return "?";
}

bool FaultPlatform::Hit(Op op) {
  const int n = ++counts_[static_cast<std::size_t>(op)];
  if (op != failOp_ || n != failAt_) return false;
  injected_ = true;
  return true;
}

pkg::Status FaultPlatform::Wrap(pkg::Status s, std::unique_ptr<pkg::PlatformFile>& f) {
  if (s.ok()) f = std::make_unique<FaultFile>(std::move(f), *this);
  return s;
}

pkg::Status FaultPlatform::CreateNewFile(const std::string& p,
                                         std::unique_ptr<pkg::PlatformFile>& f) {
  if (Hit(Op::kCreate)) return InjectedFault(Op::kCreate);
  return Wrap(inner_.CreateNewFile(p, f), f);
}

pkg::Status FaultPlatform::OpenExistingForWriting(const std::string& p,
                                                  std::unique_ptr<pkg::PlatformFile>& f) {
  if (Hit(Op::kCreate)) return InjectedFault(Op::kCreate);
  return Wrap(inner_.OpenExistingForWriting(p, f), f);
}

pkg::Status FaultPlatform::OpenForReading(const std::string& p,
                                          std::unique_ptr<pkg::PlatformFile>& f) {
  if (Hit(Op::kOpen)) return InjectedFault(Op::kOpen);
  return Wrap(inner_.OpenForReading(p, f), f);
}

pkg::Status FaultPlatform::RemoveFile(const std::string& p) {
  if (Hit(Op::kDelete)) return InjectedFault(Op::kDelete);
  return inner_.RemoveFile(p);
}

pkg::Status FaultPlatform::MoveFileOver(const std::string& a, const std::string& b) {
  if (Hit(Op::kRename)) return InjectedFault(Op::kRename);
  return inner_.MoveFileOver(a, b);
}

pkg::Status FaultPlatform::SyncFolderOf(const std::string& p) {
  if (Hit(Op::kSyncFolder)) return InjectedFault(Op::kSyncFolder);
  return inner_.SyncFolderOf(p);
}

pkg::Status FaultPlatform::ListDirectory(const std::string& p, std::vector<pkg::DirEntry>& e,
                                         bool& missing) {
  if (!listPartWay_) {
    missing = false;
    e.clear();
    if (Hit(Op::kList)) return InjectedFault(Op::kList);
    return inner_.ListDirectory(p, e, missing);
  }
  pkg::Status s = inner_.ListDirectory(p, e, missing);
  if (!Hit(Op::kList) || !s.ok()) return s;
  e.resize(e.size() / 2);
  return pkg::Status::Fail("injected fault in list of '" + p + "' after " +
                           std::to_string(e.size()) + " entries");
}

}  // namespace pkgtest
