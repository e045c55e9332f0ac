// The pack job: scans a source folder, writes the archive on a thread of its
// own, reports its progress before each step and each file (and, when asked,
// within large files), and ends with one outcome for the window that started
// it: WM_PACKNOTIFY on Windows.
//
// The archive is written to a temporary file beside the output path and moved
// over it only when it is complete, so a failed or aborted job never leaves a
// partial archive nor destroys the file that was there before.
//
// Worker threads read and compress the files ahead of the job's thread, which
// alone writes the archive, file after file in list order; each file's
// progress is shown before its bytes are written. The archive's bytes do not
// depend on the number of threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZLibEx.h"
#include "file_stream.h"
#include "index_stream.h"
#include "job_host.h"
#include "output_file.h"
#include "pack_notify.h"
#include "pack_pipeline.h"
#include "pack_request.h"
#include "platform.h"
#include "progress_relay.h"
#include "reuse_source.h"
#include "source_scan.h"
#include "status.h"

namespace pkg {

class PKGPackWorker : public std::enable_shared_from_this<PKGPackWorker> {
 public:
  // A job for request whose thread does not run yet; its outcome goes to
  // window. The job stays alive while its thread runs, so it may be released
  // by the caller at any time.
  static std::shared_ptr<PKGPackWorker> Create(JobHost& host, const PackRequest& request,
                                               WindowHandle window = 0,
                                               Platform& platform = SystemPlatform());
  ~PKGPackWorker();

  // Job fields, the request in the window's names: filled by Create and never
  // changed afterwards (see PackRequest for their meaning).
  WindowHandle FWindowHandle = 0;
  std::int32_t FPKGType = 1;
  std::string FSourceDirectory;
  std::string FOutputPKGPath;
  bool FCompressData = false;
  std::vector<std::uint8_t> FKey;
  std::vector<std::string> FExcludeList;
  unsigned FThreadCount = 0;
  std::size_t FMemoryBudget = 64 << 20;
  // Flush the archive to the disk before it replaces the older one, and its
  // folder after; off only for scratch builds.
  bool FSyncOutput = true;
  // Read every file's stored bytes back before the archive replaces the older
  // one, and compare them with the source files.
  bool FVerifyStored = false;
  std::uint64_t FProgressBytes = 0;
  // A compressed pack copies the stored stream of each file whose content
  // the older archive holds unchanged, verified byte for byte, instead of
  // compressing it; FReuseFrom names that archive (empty: the one at
  // FOutputPKGPath).
  bool FReuse = true;
  std::string FReuseFrom;
  // What reuse achieved: written before the notification, for the caller.
  ReuseSummary FReuseSummary;
  // The archive being written (a temporary file until the job completes); the
  // job's thread only.
  std::unique_ptr<TPlatformFileStream> FPKGStream;

  // Lets the thread run Execute. Fails when the system cannot create a thread.
  Status Start();

  // Stops the job where it stands: afterwards it writes nothing more, shows no
  // further progress, posts no outcome, and its temporary file is gone.
  // Call on the user-interface thread. Returns false, doing nothing, when the
  // job has already posted its notification (or never started).
  bool Abort();

  // The thread body.
  void Execute();

 private:
  PKGPackWorker(JobHost& host, Platform& platform);

  // Returns the failure reason, kFinished once the archive is written in full
  // (not yet moved to the output path); raises what else stops it.
  PackResult Pack();
  // False when the output path cannot be created or replaced, failureDetail_
  // saying why.
  bool CreateArchive();
  unsigned ThreadCount() const;
  std::unique_ptr<PackPipeline> StartPipeline(unsigned threads);
  void SetPipeline(PackPipeline* pipeline);
  // Lists the sources into fileList_ and fullPaths_, feeding the pipeline.
  ScanResult ListSources(PackPipeline* pipeline);
  void RemoveExcluded(std::size_t from);
  // Measures the files for the totals of the progress.
  void MeasureSources();
  // False when a source could not be opened, failedSourceFile_ and
  // failureDetail_ saying which and why; raises any other failure.
  bool StoreFiles(PackPipeline* pipeline);
  bool StoreFile(std::size_t i, PackPipeline* pipeline);
  bool IsOwnArchive(const FileIdentity& id) const;
  bool StoreInline(std::size_t i, bool reuse = true);
  void WriteFromPipeline(std::size_t i, PackPipeline& pipeline);
  void Record(std::size_t i, std::int64_t offset, std::uint64_t size);
  void OpenReuse();
  // The older archive's record file i may be compared with, or kNone.
  std::uint32_t ReuseCandidate(std::size_t i, std::uint64_t size) const;
  // False, having written nothing, when the older archive cannot be read.
  bool CopyReused(std::size_t i);
  void CloseReuse();
  void WriteTrailer();

  // Progress as the job stands now.
  PackProgress Progress(PackStep step, PackProgress::Kind kind) const;
  PackProgress FileBegins(std::size_t i) const;
  // fileBytes of file i, whose storing began, are stored by now: reported
  // each time FProgressBytes more are.
  void StoredSoFar(std::size_t i, std::uint64_t fileBytes);
  void CheckStop() const;
  void DiscardOutput();
  void Finish(PackResult reason);

  JobHost& host_;
  Platform& platform_;

  std::mutex m_;  // protects everything down to ended_
  std::condition_variable cv_;
  PackPipeline* pipeline_ = nullptr;  // woken by Abort while the job may wait on it
  bool started_ = false;
  bool abortRequested_ = false;
  bool notified_ = false;
  bool ended_ = false;

  std::atomic<bool> stop_{false};  // set with abortRequested_, read lock-free by the job
  // Stopped with stop_; posted to by the job's thread only.
  const std::shared_ptr<ProgressRelay> relay_;

  // Owned by the job's thread.
  std::vector<SourceFile> fileList_;
  // Per exclusion entry: whether it left out a file.
  std::vector<bool> entryMatched_;
  std::vector<std::string> fullPaths_;
  // Progress: each file's size when measured, and what is stored so far.
  std::vector<std::uint64_t> measured_;
  std::uint64_t bytesTotal_ = 0, bytesStored_ = 0, nextReport_ = 0;
  // Of bytesStored_, those taken over from an older archive rather than read
  // and compressed again: none as long as every file is packed anew.
  std::uint64_t bytesReused_ = 0;
  std::size_t filesStored_ = 0;
  IndexStream index_;  // the records of the files stored so far
  std::uint32_t trailerOffset_ = 0;
  std::uint32_t startTick_ = 0;
  OutputFile output_{platform_, FPKGStream, &stop_};  // the temporary file and its commit
  bool haveOutputId_ = false;
  FileIdentity outputId_;
  std::string failedSourceFile_, failureDetail_, activity_;
  std::unique_ptr<TBufferedWriteStream> out_;  // in front of FPKGStream
  std::vector<std::uint8_t> buffer_;
  std::unique_ptr<TZCompressionStream> zstream_;  // kept across files, reset per file
  std::unique_ptr<ReuseSource> reuse_;            // null: nothing to reuse
  std::unique_ptr<ReuseReader> reuseReader_;      // the job's own handle on it
  std::vector<std::uint32_t> reuseOf_;            // per file: its record, or kNone
};

}  // namespace pkg
