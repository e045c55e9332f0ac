#include "uPKGPackWorker.h"

#include <algorithm>
#include <deque>
#include <new>
#include <stdexcept>
#include <thread>

#include "control_characters.h"
#include "exclusion_lines.h"
#include "pkg_format.h"
#include "pkg_index.h"
#include "spin_wait.h"

namespace pkg {

namespace {

// Large reads keep the per-file cost low; the buffer is the job's only copy
// of file data when it packs a file itself, whatever the file's size.
constexpr std::size_t kCopyBlock = 1 << 20;
// Small files reach the archive through this buffer, one write per megabyte.
constexpr std::size_t kWriteBuffer = 1 << 20;
// One kernel copy at most between two looks at the stop flag.
constexpr std::size_t kCopyChunk = 16 << 20;
// Stored files up to this size are read into the write buffer rather than
// copied by the system, which for them costs more calls than it saves.
constexpr std::uint64_t kSmallFile = 64 << 10;
// Files whose progress may be posted ahead of the file being stored.
constexpr std::size_t kTextsAhead = 128;

// A failure with no reason of its own: reported as PackResult::kWrite.
class EPackFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A folder is named with a separator at its end, as no file's path is; the
// outcome's text tells a folder from a file by it.
std::string AsFolder(Platform& platform, const std::string& path) {
  if (path.ends_with('\\') || path.ends_with('/')) return path;
  return platform.JoinRelative(path, "\\");
}

std::string PassesLimit(const std::string& file) {
  return "the archive would pass 4 GiB at " + Quoted(file) + "; a .pkg archive cannot hold more";
}

}  // namespace

std::shared_ptr<PKGPackWorker> PKGPackWorker::Create(JobHost& host, const PackRequest& request,
                                                     WindowHandle window, Platform& platform) {
  std::shared_ptr<PKGPackWorker> job(new PKGPackWorker(host, platform));
  job->FWindowHandle = window;
  job->FPKGType = request.type;
  job->FSourceDirectory = request.sourceDirectory;
  job->FOutputPKGPath = request.outputPath;
  job->FCompressData = request.compress;
  job->FKey = request.key;
  job->FExcludeList = request.exclude;
  job->FThreadCount = request.threads;
  job->FMemoryBudget = request.memoryBudget;
  job->FProgressBytes = request.progressBytes;
  job->FSyncOutput = request.sync;
  job->FVerifyStored = request.verify;
  job->FReuse = request.reuse;
  job->FReuseFrom = request.reuseFrom;
  return job;
}

PKGPackWorker::PKGPackWorker(JobHost& host, Platform& platform)
    : host_(host), platform_(platform), relay_(ProgressRelay::Create(host)) {}

PKGPackWorker::~PKGPackWorker() {
  // The compression stream refers to the archive's streams; it must go first.
  zstream_.reset();
  out_.reset();
}

Status PKGPackWorker::Start() {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (started_ || abortRequested_) return Status::Fail("the job was started already");
    started_ = true;
  }
  // The thread holds the job until its body returns: the job releases itself.
  Status s = host_.StartThread([self = shared_from_this()] { self->Execute(); });
  if (!s.ok()) {
    std::lock_guard<std::mutex> lock(m_);
    started_ = false;
    ended_ = true;
  }
  return s;
}

bool PKGPackWorker::Abort() {
  std::unique_lock<std::mutex> lock(m_);
  if (notified_ || ended_) return false;
  abortRequested_ = true;
  stop_.store(true);
  relay_->Stop();
  if (!started_) {
    ended_ = true;
    return false;
  }
  // The relay no longer shows what the job waits for, and releases it from
  // that wait instead of waiting for this (the user-interface) thread.
  if (pipeline_) pipeline_->Wake();
  cv_.notify_all();
  cv_.wait(lock, [this] { return ended_; });
  return true;
}

void PKGPackWorker::CheckStop() const {
  if (stop_.load(std::memory_order_relaxed)) throw EJobAborted();
}

PackProgress PKGPackWorker::Progress(PackStep step, PackProgress::Kind kind) const {
  PackProgress p;
  p.kind = kind;
  p.step = step;
  p.filesStored = filesStored_;
  p.bytesStored = bytesStored_;
  p.bytesReused = bytesReused_;
  if (!measured_.empty() || bytesTotal_ != 0) {
    p.filesTotal = fileList_.size();
    p.bytesTotal = bytesTotal_;
  }
  return p;
}

PackProgress PKGPackWorker::FileBegins(std::size_t i) const {
  PackProgress p = Progress(PackStep::kStore, PackProgress::Kind::kBegins);
  p.fileIndex = i;
  p.relative = fileList_[i].relative;
  if (i < measured_.size()) p.fileSize = measured_[i];
  return p;
}

void PKGPackWorker::StoredSoFar(std::size_t i, std::uint64_t fileBytes) {
  if (FProgressBytes == 0 || fileBytes < nextReport_) return;
  nextReport_ = fileBytes + FProgressBytes;
  PackProgress p = Progress(PackStep::kStore, PackProgress::Kind::kBytes);
  p.fileIndex = i;
  p.relative = fileList_[i].relative;
  if (i < measured_.size()) p.fileSize = measured_[i];
  p.bytesStored += fileBytes;
  // Not waited for: the job goes on storing while it is shown.
  relay_->Post(std::move(p));
}

void PKGPackWorker::Execute() {
  PackResult reason = PackResult::kFinished;
  bool aborted = false;
  try {
    reason = Pack();
  } catch (const EJobAborted&) {
    aborted = true;
  } catch (const std::bad_alloc&) {
    failureDetail_ = "out of memory while " + activity_;
    reason = PackResult::kWrite;
  } catch (const std::exception& e) {
    failureDetail_ = std::string(e.what()) + " (while " + activity_ + ")";
    reason = PackResult::kWrite;
  }
  if (aborted) {
    DiscardOutput();
    std::lock_guard<std::mutex> lock(m_);
    ended_ = true;
    cv_.notify_all();
    return;
  }
  Finish(reason);
}

// Commits or discards the archive and posts the one notification, unless an
// abort came first. Both happen under the lock that Abort takes, so an abort
// either stops the job before this point or finds it already ended.
void PKGPackWorker::Finish(PackResult reason) {
  std::unique_lock<std::mutex> lock(m_);
  if (abortRequested_) {
    lock.unlock();
    DiscardOutput();
    lock.lock();
    ended_ = true;
    cv_.notify_all();
    return;
  }
  if (reason == PackResult::kFinished) {
    if (Status s = output_.Commit(FSyncOutput); !s.ok()) {
      failureDetail_ = s.message();
      reason = PackResult::kWrite;
    }
  }
  if (reason != PackResult::kFinished) DiscardOutput();

  PackOutcome outcome;
  outcome.result = reason;
  if (reason == PackResult::kFinished) {
    const std::uint32_t elapsed = platform_.TickCount() - startTick_;
    outcome.elapsedSeconds = static_cast<float>(static_cast<double>(elapsed) / 1000.0);
    outcome.unmatchedExclusions = UnmatchedEntries(FExcludeList, entryMatched_);
  } else {
    if (reason == PackResult::kOpenSource) outcome.failedFile = failedSourceFile_;
    outcome.detail = failureDetail_;
  }
  // The window reads its results when the notification arrives.
  PublishOutcome(outcome);
  host_.PostOutcome(FWindowHandle, outcome);
  notified_ = true;
  ended_ = true;
  cv_.notify_all();
}

void PKGPackWorker::DiscardOutput() {
  CloseReuse();
  zstream_.reset();
  out_.reset();  // what is still buffered is dropped, not written
  output_.Discard();
}

void PKGPackWorker::RemoveExcluded(std::size_t from) {
  const std::vector<std::size_t> by =
      ExcludingEntries(platform_, std::span(fileList_).subspan(from), FExcludeList);
  MarkMatchedEntries(platform_, std::span(fileList_).subspan(from), by, FExcludeList,
                     entryMatched_);
  std::size_t kept = from;
  for (std::size_t f = from; f < fileList_.size(); ++f)
    if (by[f - from] == kNotExcluded) {
      if (kept != f) fileList_[kept] = std::move(fileList_[f]);
      ++kept;
    }
  fileList_.resize(kept);
}

ScanResult PKGPackWorker::ListSources(PackPipeline* pipeline) {
  std::vector<std::string> paths;
  std::vector<std::uint32_t> records;
  auto scan = BuildFileList(platform_, FSourceDirectory, fileList_, &stop_, [&](std::size_t from) {
    if (!FExcludeList.empty()) RemoveExcluded(from);
    paths.clear();
    records.clear();
    for (std::size_t f = from; f < fileList_.size(); ++f) {
      paths.push_back(platform_.JoinRelative(FSourceDirectory, fileList_[f].relative));
      records.push_back(reuse_ && fileList_[f].nameProblem == NameProblem::kNone
                            ? reuse_->Find(fileList_[f].name936)
                            : ReuseSource::kNone);
    }
    const auto append = [&] {
      for (std::string& p : paths) fullPaths_.push_back(std::move(p));
      reuseOf_.insert(reuseOf_.end(), records.begin(), records.end());
    };
    // The workers start on a folder's files while the next ones are listed.
    if (pipeline)
      pipeline->Extend(append, false);
    else
      append();
  });
  if (pipeline) pipeline->Extend(nullptr, true);
  return scan;
}

void PKGPackWorker::MeasureSources() {
  measured_.assign(fileList_.size(), 0);
  for (std::size_t i = 0; i < fileList_.size(); ++i) {
    CheckStop();
    // Only for the figures: a file that cannot be measured now counts as
    // empty, and meets its fate at its turn.
    FileStamp stamp;
    if (platform_.StampOf(fullPaths_[i], stamp).ok()) measured_[i] = stamp.size;
    bytesTotal_ += measured_[i];
  }
  relay_->Post(Progress(PackStep::kList, PackProgress::Kind::kTotals));
}

PackResult PKGPackWorker::Pack() {
  startTick_ = platform_.TickCount();
  if (FKey.empty()) throw EPackFailure("the index key is empty");
  activity_ = "listing " + Quoted(FSourceDirectory);
  relay_->Show(Progress(PackStep::kList, PackProgress::Kind::kBegins));
  // An older archive inside the source folder is known before any file is
  // read ahead, so that the workers leave it alone. (A folder in its place
  // has an identity no file shares, and fails the job later.)
  haveOutputId_ = platform_.IdentityOf(FOutputPKGPath, outputId_).ok();
  OpenReuse();
  std::unique_ptr<PackPipeline> pipeline = StartPipeline(ThreadCount());
  // Before the pipeline goes, Abort must no longer reach it.
  struct Unregister {
    PKGPackWorker& job;
    ~Unregister() { job.SetPipeline(nullptr); }
  } unregister{*this};

  const ScanResult scan = ListSources(pipeline.get());
  CheckStop();
  // A folder left out would give an archive that silently lacks its files.
  if (!scan.status.ok()) {
    failedSourceFile_ = AsFolder(platform_, scan.failedFolder);
    failureDetail_ = scan.status.message();
    return PackResult::kOpenSource;
  }
  if (fileList_.empty()) return PackResult::kNoFiles;

  // A name the index cannot hold, or that would make the archive unreadable,
  // fails the job before anything is written, rather than being stored.
  for (const SourceFile& f : fileList_) {
    if (f.nameProblem == NameProblem::kNone) continue;
    const std::string full = platform_.JoinRelative(FSourceDirectory, f.relative);
    // A line break or an escape sequence would garble the message it is shown in.
    failedSourceFile_ = EscapeControlCharacters(full);
    failureDetail_ =
        "cannot pack " + Quoted(failedSourceFile_) + ": " + NameRefusal(full, f.nameProblem);
    return PackResult::kOpenSource;
  }
  if (FProgressBytes != 0) MeasureSources();

  relay_->Show(Progress(PackStep::kHeader, PackProgress::Kind::kBegins));
  activity_ = "creating " + Quoted(FOutputPKGPath);
  {
    // An older archive that the scan met may be in a worker's hands for a
    // moment; the system would then refuse it to the job.
    if (pipeline) pipeline->HoldOpens();
    struct Resume {
      PackPipeline* pipeline;
      ~Resume() {
        if (pipeline) pipeline->ResumeOpens();
      }
    } resume{pipeline.get()};
    if (!CreateArchive()) return PackResult::kCreateArchive;
    if (pipeline) pipeline->EnableReuse();
  }

  activity_ = "writing the header of " + Quoted(FOutputPKGPath);
  out_ = std::make_unique<TBufferedWriteStream>(*FPKGStream, kWriteBuffer);
  const auto header = MakeHeader(FPKGType, FCompressData, 0);
  out_->Write(header.data(), header.size());

  buffer_.resize(kCopyBlock);
  if (!StoreFiles(pipeline.get())) return PackResult::kOpenSource;
  SetPipeline(nullptr);
  pipeline.reset();  // its blocks, and its handles on the older archive, go first
  CloseReuse();
  if (FReuseSummary.reusedFiles > 0) {
    // Its streams were compared when they were read, and copied later: the
    // copies hold only if nothing changed it meanwhile.
    FileStamp now;
    if (!platform_.StampOf(reuse_->Path(), now).ok() || !(now == reuse_->Stamp()))
      throw EPackFailure(Quoted(reuse_->Path()) +
                         " changed while its compressed data was being reused; pack again");
  }
  if (FCompressData) {
    FReuseSummary.compressedFiles = fileList_.size() - FReuseSummary.reusedFiles;
    FReuseSummary.compressedBytes = bytesStored_ - FReuseSummary.reusedBytes;
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
  trailerOffset_ = static_cast<std::uint32_t>(out_->Position());

  relay_->Show(Progress(PackStep::kIndex, PackProgress::Kind::kBegins));
  WriteTrailer();
  return PackResult::kFinished;
}

bool PKGPackWorker::StoreFiles(PackPipeline* pipeline) {
  // A file's progress is shown before the file is stored. Later files' may
  // go ahead, so that the user-interface thread shows them in a run rather
  // than being woken for each, but only past files whose data is ready
  // (read, compressed, no failure): a file still being read, compressed or
  // copied, or that failed, is the last one named until it is stored.
  const std::size_t n = fileList_.size();
  std::size_t posted = 0;  // the events of files 0 to posted - 1
  // The numbers of the events of files i to posted - 1: a file's bytes may
  // be reported between two runs.
  std::deque<std::uint64_t> numbers;
  std::vector<PackProgress> events;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t until = std::max(posted, i + 1);
    // Topped up once half of those ahead are shown, so that they go in
    // runs rather than one per file. The files from i to the one before the
    // last one named were ready when their texts were posted: the run is
    // taken on from the last one named.
    if (pipeline && until - i <= kTextsAhead / 2) {
      const std::size_t last = until - 1;
      const std::size_t limit = std::min(n, i + kTextsAhead);
      until = std::min(limit, last + pipeline->ReadyRun(last, limit) + 1);
    }
    if (until > posted) {
      for (std::size_t f = posted; f < until; ++f) events.push_back(FileBegins(f));
      const std::uint64_t first = relay_->Post(std::move(events));
      events.clear();
      for (std::size_t f = posted; f < until; ++f) numbers.push_back(first + (f - posted));
      posted = until;
    }
    relay_->Await(numbers.front());
    numbers.pop_front();
    if (!StoreFile(i, pipeline)) return false;
  }
  return true;
}

bool PKGPackWorker::CreateArchive() {
  if (Status s = output_.Begin(FOutputPKGPath, outputId_, haveOutputId_); !s.ok()) {
    failureDetail_ = s.message();
    return false;
  }
  return true;
}

unsigned PKGPackWorker::ThreadCount() const {
  if (FThreadCount != 0) return FThreadCount;
  return std::max(1u, std::thread::hardware_concurrency());
}

std::unique_ptr<PackPipeline> PKGPackWorker::StartPipeline(unsigned threads) {
  if (threads <= 1) return nullptr;
  PackPipeline::Settings s;
  s.compress = FCompressData;
  s.workers = threads;
  s.budget = FMemoryBudget;
  if (haveOutputId_) s.refused.push_back(outputId_);
  if (reuse_) {
    s.reuse = reuse_.get();
    s.reuseOf = &reuseOf_;
  }
  auto pipeline = std::make_unique<PackPipeline>(platform_, fullPaths_, s, stop_, false);
  if (pipeline->Workers() == 0) return nullptr;
  SetPipeline(pipeline.get());
  return pipeline;
}

void PKGPackWorker::SetPipeline(PackPipeline* pipeline) {
  std::lock_guard<std::mutex> lock(m_);
  pipeline_ = pipeline;
}

bool PKGPackWorker::StoreFile(std::size_t i, PackPipeline* pipeline) {
  const std::string& full = fullPaths_[i];
  activity_ = "packing " + Quoted(full);
  nextReport_ = FProgressBytes;
  if (pipeline) {
    FileStamp read, now;
    std::string why;
    switch (pipeline->Take(i, read, why)) {
      case PackPipeline::Handover::kStream:
        // Read ahead of its turn: a file changed, replaced or deleted since
        // is dealt with as if it were opened only now, and so is the archive
        // itself, read before it was known.
        if (!IsOwnArchive(read.id) && platform_.StampOf(full, now).ok() && now == read) {
          WriteFromPipeline(i, *pipeline);
          return true;
        }
        pipeline->Drop(i);
        break;
      case PackPipeline::Handover::kReused:
        // Compared ahead of its turn: only the file as it was then was
        // found equal.
        if (!IsOwnArchive(read.id) && platform_.StampOf(full, now).ok() && now == read &&
            CopyReused(i))
          return true;
        break;
      case PackPipeline::Handover::kByWriter:
        // Also a file that could not be opened or read ahead: it is opened
        // now, at its turn, and only a failure now fails the job.
        break;
    }
  }
  return StoreInline(i);
}

bool PKGPackWorker::IsOwnArchive(const FileIdentity& id) const {
  return (haveOutputId_ && id == outputId_) || output_.IsTemporary(id);
}

void PKGPackWorker::WriteFromPipeline(std::size_t i, PackPipeline& pipeline) {
  const std::string& full = fullPaths_[i];
  const std::int64_t offset = out_->Position();
  std::uint64_t end = static_cast<std::uint64_t>(offset);
  std::uint64_t size = 0;
  for (bool last = false; !last;) {
    // The blocks go back to the pool however the writing ends.
    struct Chain {
      PackPipeline& pipeline;
      PackPipeline::Block* first;
      ~Chain() { pipeline.RecycleChain(first); }
    } chain{pipeline, pipeline.NextBlocks(i, last, size)};
    for (PackPipeline::Block* b = chain.first; b; b = b->next) {
      end += b->used;
      if (end > kMaxOffset) throw EPackFailure(PassesLimit(full));
      out_->Write(b->data, b->used);
      StoredSoFar(i, b->read);
    }
  }
  if (size > kMaxOffset) throw EPackFailure(Quoted(full) + " grew past 4 GiB while it was packed");
  Record(i, offset, size);
}

bool PKGPackWorker::StoreInline(std::size_t i, bool reuse) {
  const std::string& full = fullPaths_[i];
  std::unique_ptr<PlatformFile> source;
  if (Status s = platform_.OpenForReading(full, source); !s.ok()) {
    failedSourceFile_ = full;
    failureDetail_ = s.message();
    return false;
  }
  FileIdentity id;
  if (source->Identity(id).ok() && IsOwnArchive(id)) {
    failedSourceFile_ = full;
    failureDetail_ = "cannot open " + Quoted(full) + ": it is the archive being written";
    return false;
  }
  std::uint64_t size = 0;
  if (Status s = source->Size(size); !s.ok()) throw EPackFailure(s.message());
  if (size > kMaxOffset)
    throw EPackFailure(Quoted(full) + " is " + std::to_string(size) +
                       " bytes; a .pkg archive holds only files below 4 GiB");

  const std::int64_t offset = out_->Position();
  // Stored as is, the file's end is known before a byte is copied.
  if (!FCompressData && static_cast<std::uint64_t>(offset) + size > kMaxOffset)
    throw EPackFailure(PassesLimit(full));
  // The size recorded is what was read, so a file that changes after the scan
  // still gets a record that agrees with its stored bytes.
  std::uint64_t total = 0;
  if (FCompressData) {
    ReuseComparison compared;
    if (const std::uint32_t r = reuse ? ReuseCandidate(i, size) : ReuseSource::kNone;
        r != ReuseSource::kNone) {
      compared = reuseReader_->Compare(r, *source, buffer_, false, [this] { CheckStop(); });
      if (compared.same) {
        (void)source->Close();
        return CopyReused(i) || StoreInline(i, false);
      }
    }
    if (zstream_)
      zstream_->Restart(*out_);
    else
      zstream_ = std::make_unique<TZCompressionStream>(*out_, TZCompressionLevel::zcDefault);
    if (compared.held > 0) {
      total = compared.held;
      zstream_->Write(buffer_.data(), compared.held);
    }
    while (!compared.atEnd) {
      CheckStop();
      std::size_t got = 0;
      if (Status s = source->Read(buffer_.data(), buffer_.size(), got); !s.ok())
        throw EPackFailure(s.message());
      if (got == 0) break;
      total += got;
      if (total > kMaxOffset)
        throw EPackFailure(Quoted(full) + " grew past 4 GiB while it was packed");
      zstream_->Write(buffer_.data(), got);
      StoredSoFar(i, total);
    }
    zstream_->Finish();
  } else {
    // Small files are read straight into the write buffer; larger ones are
    // copied by the system, without passing through this program.
    const bool small = size <= kSmallFile;
    for (;;) {
      CheckStop();
      // Never a byte at or past 4 GiB: a file that grew fails at that point.
      const std::uint64_t room = kMaxOffset + 1 - (static_cast<std::uint64_t>(offset) + total);
      std::uint64_t chunk = kCopyChunk;
      // Progress asked within a file moves between copies.
      if (FProgressBytes != 0) chunk = std::clamp<std::uint64_t>(FProgressBytes, kSmallFile, chunk);
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(room, chunk));
      const std::size_t got =
          small ? out_->ReadFrom(*source, want) : out_->CopyFrom(platform_, *source, want, buffer_);
      if (got == 0) break;
      total += got;
      if (static_cast<std::uint64_t>(offset) + total > kMaxOffset)
        throw EPackFailure(PassesLimit(full));
      StoredSoFar(i, total);
    }
  }
  (void)source->Close();
  Record(i, offset, total);
  return true;
}

void PKGPackWorker::Record(std::size_t i, std::int64_t offset, std::uint64_t size) {
  const std::int64_t end = out_->Position();
  if (static_cast<std::uint64_t>(end) > kMaxOffset) throw EPackFailure(PassesLimit(fullPaths_[i]));
  index_.Append({fileList_[i].name936, static_cast<std::uint32_t>(offset),
                 static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(end - offset)});
  ++filesStored_;
  bytesStored_ += size;
}

void PKGPackWorker::OpenReuse() {
  FReuseSummary = ReuseSummary();
  if (!FCompressData) return;
  if (!FReuse) {
    FReuseSummary.unavailable = "reuse is turned off";
    return;
  }
  activity_ = "reading the index of the older archive";
  const std::string& from = FReuseFrom.empty() ? FOutputPKGPath : FReuseFrom;
  reuse_ = ReuseSource::Open(platform_, from, {FKey.data(), FKey.size()}, FReuseSummary.unavailable,
                             &stop_);
  if (reuse_) reuseReader_ = std::make_unique<ReuseReader>(platform_, *reuse_);
}

std::uint32_t PKGPackWorker::ReuseCandidate(std::size_t i, std::uint64_t size) const {
  if (!reuse_ || i >= reuseOf_.size()) return ReuseSource::kNone;
  const std::uint32_t r = reuseOf_[i];
  return r != ReuseSource::kNone && reuse_->Record(r).size == size ? r : ReuseSource::kNone;
}

bool PKGPackWorker::CopyReused(std::size_t i) {
  const IndexRecord& record = reuse_->Record(reuseOf_[i]);
  const std::string& from = reuse_->Path();
  const std::int64_t offset = out_->Position();
  if (static_cast<std::uint64_t>(offset) + record.storedSize > kMaxOffset)
    throw EPackFailure(PassesLimit(fullPaths_[i]));
  // Before a byte is copied, an older archive that cannot be read only
  // means that the file is compressed after all.
  PlatformFile* archive = reuseReader_->Archive();
  if (!archive || !archive->Seek(record.offset).ok()) return false;
  // Small streams join the write buffer; larger ones are copied by the system.
  const bool small = record.storedSize <= kSmallFile;
  for (std::uint64_t left = record.storedSize; left > 0;) {
    CheckStop();
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyChunk));
    const std::size_t got =
        small ? out_->ReadFrom(*archive, want) : out_->CopyFrom(platform_, *archive, want, buffer_);
    if (got == 0)
      throw EPackFailure(Quoted(from) + " became shorter while the data of " +
                         Quoted(fullPaths_[i]) + " was copied from it");
    left -= got;
  }
  ++FReuseSummary.reusedFiles;
  FReuseSummary.reusedBytes += record.size;
  bytesReused_ += record.size;
  Record(i, offset, record.size);
  return true;
}

void PKGPackWorker::CloseReuse() {
  // The older archive may be the one the new archive replaces: no handle on
  // it may stay open.
  if (reuseReader_) reuseReader_->Close();
}

void PKGPackWorker::WriteTrailer() {
  // The records were compressed as the files were stored.
  activity_ = "building the index of " + Quoted(FOutputPKGPath);
  if (index_.Size() > kMaxOffset) throw EPackFailure("the index would pass 4 GiB");
  const SealedIndex sealed = index_.Seal({FKey.data(), FKey.size()});

  relay_->Show(Progress(PackStep::kSave, PackProgress::Kind::kBegins));
  activity_ = "writing the index of " + Quoted(FOutputPKGPath);
  const std::vector<std::uint8_t> trailer = TrailerBytes(sealed);
  out_->Write(trailer.data(), trailer.size());
  std::uint8_t offset[4];
  PutU32LE(offset, trailerOffset_);
  out_->SetPosition(kHeaderTrailerOffsetOffset);
  out_->Write(offset, sizeof offset);
  out_->Flush();
  zstream_.reset();
  out_.reset();

  // What reached the disk is what was meant, before it replaces anything.
  activity_ = "reading back " + Quoted(FOutputPKGPath);
  const auto header = MakeHeader(FPKGType, FCompressData, trailerOffset_);
  if (Status s = output_.CheckHeaderAndTrailer(header, trailerOffset_, trailer); !s.ok())
    throw EPackFailure(s.message());
  if (FVerifyStored) {
    if (Status s = output_.CompareStoredFiles(platform_, FKey, fileList_, fullPaths_); !s.ok())
      throw EPackFailure(s.message());
  }
  activity_ = "flushing " + Quoted(FOutputPKGPath) + " to the disk";
  if (Status s = output_.Seal(FSyncOutput); !s.ok()) throw EPackFailure(s.message());
}

}  // namespace pkg
