#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pkgtest {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "pkgtest";
  std::replace(name.begin(), name.end(), '/', '_');
  path_ = fs::temp_directory_path() /
          ("pkgtest-" + name + "-" + std::to_string(rd()) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make read-only files and folders; open them up so they can go.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

std::string U8(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

void WriteFile(const fs::path& path, const Bytes& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
}

void WriteFile(const fs::path& path, const std::string& content) {
  WriteFile(path, ToBytes(content));
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ListNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Bytes Deterministic(std::size_t size, std::uint32_t seed, bool compressible) {
  Bytes b(size);
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < size; ++i)
    b[i] = compressible ? static_cast<std::uint8_t>("abcabdabe\n"[rng() % 10])
                        : static_cast<std::uint8_t>(rng());
  return b;
}

std::shared_ptr<pkg::PKGPackWorker> MakeJob(pkg::QueueHost& host, const JobSettings& s,
                                            pkg::Platform& platform) {
  pkg::PackRequest request;
  request.sourceDirectory = s.source;
  request.outputPath = s.output;
  request.compress = s.compress;
  request.type = s.type;
  request.key = s.key;
  request.exclude = s.excludes;
  request.threads = s.threads;
  if (s.budget) request.memoryBudget = s.budget;
  request.progressBytes = s.progressBytes;
  request.sync = s.sync;
  request.verify = s.verify;
  request.reuse = s.reuse;
  request.reuseFrom = s.reuseFrom;
  return pkg::PKGPackWorker::Create(host, request, 0x1234, platform);
}

JobRun RunJob(const JobSettings& s, pkg::Platform& platform) {
  JobRun run;
  pkg::QueueHost host([&](const std::string& t) { run.texts.push_back(t); },
                      [&](const pkg::PackProgress& p) { run.events.push_back(p); });
  auto job = MakeJob(host, s, platform);
  if (!job->Start().ok()) throw std::runtime_error("cannot start the job");
  run.notification = host.RunUntilNotified();
  return run;
}

#ifndef _WIN32
namespace {
const std::string kChainPart(200, 'd');
}  // namespace

FolderPastPathMax::FolderPastPathMax(const fs::path& parent) : parent_(parent), path_(parent) {
  int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd >= 0 && path_.size() < PATH_MAX) {
    const int made = ::mkdirat(fd, kChainPart.c_str(), 0755);
    const int next = made == 0 ? ::openat(fd, kChainPart.c_str(), O_RDONLY | O_DIRECTORY) : -1;
    ::close(fd);
    fd = next;
    if (fd >= 0) ++levels_, path_ += "/" + kChainPart;
  }
  const int file = fd >= 0 ? ::openat(fd, "deep.txt", O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
  if (file >= 0) ::close(file);
  if (fd >= 0) ::close(fd);
  if (file < 0) throw std::runtime_error("cannot build a folder chain past PATH_MAX");
}

FolderPastPathMax::~FolderPastPathMax() {
  std::vector<int> fds = {::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  for (int i = 0; i < levels_ && fds.back() >= 0; ++i)
    fds.push_back(::openat(fds.back(), kChainPart.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fds.back() >= 0) ::unlinkat(fds.back(), "deep.txt", 0);
  for (std::size_t i = fds.size() - 1; i > 0; --i) {
    if (fds[i] >= 0) ::close(fds[i]);
    if (fds[i - 1] >= 0) ::unlinkat(fds[i - 1], kChainPart.c_str(), AT_REMOVEDIR);
  }
  if (fds[0] >= 0) ::close(fds[0]);
}
#endif

}  // namespace pkgtest
