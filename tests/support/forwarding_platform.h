// A Platform that passes every call to another one; tests derive from it and
// override the calls they script or break.
#pragma once

#include <memory>
#include <utility>

#include "platform.h"

namespace pkgtest {

// A file that passes every call to another one; tests derive from it to
// script or break the calls of the files a platform opens.
class ForwardingFile : public pkg::PlatformFile {
 public:
  explicit ForwardingFile(std::unique_ptr<pkg::PlatformFile> inner) : inner_(std::move(inner)) {}
  pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
    return inner_->Read(b, n, got);
  }
  pkg::Status Write(const void* b, std::size_t n) override { return inner_->Write(b, n); }
  pkg::Status Seek(std::uint64_t p) override { return inner_->Seek(p); }
  pkg::Status Size(std::uint64_t& s) override { return inner_->Size(s); }
  pkg::Status Identity(pkg::FileIdentity& id) override { return inner_->Identity(id); }
  pkg::Status Stamp(pkg::FileStamp& st) override { return inner_->Stamp(st); }
  pkg::Status Sync() override { return inner_->Sync(); }
  pkg::Status Close() override { return inner_->Close(); }

 protected:
  std::unique_ptr<pkg::PlatformFile> inner_;
};

class ForwardingPlatform : public pkg::Platform {
 public:
  explicit ForwardingPlatform(pkg::Platform& inner = pkg::SystemPlatform()) : inner_(inner) {}

  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    return inner_.CreateNewFile(p, f);
  }
  pkg::Status OpenExistingForWriting(const std::string& p,
                                     std::unique_ptr<pkg::PlatformFile>& f) override {
    return inner_.OpenExistingForWriting(p, f);
  }
  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    return inner_.OpenForReading(p, f);
  }
  pkg::Status RemoveFile(const std::string& p) override { return inner_.RemoveFile(p); }
  pkg::Status MoveFileOver(const std::string& a, const std::string& b) override {
    return inner_.MoveFileOver(a, b);
  }
  pkg::Status SyncFolderOf(const std::string& p) override { return inner_.SyncFolderOf(p); }
  pkg::Status CopyData(pkg::PlatformFile& from, pkg::PlatformFile& to, std::size_t count,
                       std::span<std::uint8_t> scratch, std::size_t& copied) override {
    return inner_.CopyData(from, to, count, scratch, copied);
  }
  pkg::Status ListDirectory(const std::string& p, std::vector<pkg::DirEntry>& e,
                            bool& missing) override {
    return inner_.ListDirectory(p, e, missing);
  }
  pkg::PathKind KindOf(const std::string& p) override { return inner_.KindOf(p); }
  pkg::Status IdentityOf(const std::string& p, pkg::FileIdentity& id) override {
    return inner_.IdentityOf(p, id);
  }
  pkg::Status StampOf(const std::string& p, pkg::FileStamp& s) override {
    return inner_.StampOf(p, s);
  }
  std::string JoinRelative(const std::string& d, const std::string& r) override {
    return inner_.JoinRelative(d, r);
  }
  std::string SiblingTempPath(const std::string& p) override { return inner_.SiblingTempPath(p); }
  bool ToCodePage936(std::string_view u, std::string& c) override {
    return inner_.ToCodePage936(u, c);
  }
  bool FromCodePage936(std::string_view c, std::string& u) override {
    return inner_.FromCodePage936(c, u);
  }
  bool SameTextIgnoreCase(std::string_view a, std::string_view b) override {
    return inner_.SameTextIgnoreCase(a, b);
  }
  std::uint32_t TickCount() override { return inner_.TickCount(); }

 protected:
  pkg::Platform& inner_;
};

}  // namespace pkgtest
