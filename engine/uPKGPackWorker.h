// The pack job: scans a source folder, writes the archive on a thread of its
// own, shows a progress text before each step and each file, and ends with one
// WM_PACKNOTIFY to the window that started it.
//
// The archive is written to a temporary file beside the output path and moved
// over it only when it is complete, so a failed or aborted job never leaves a
// partial archive nor destroys the file that was there before.
//
// Worker threads read and compress the files ahead of the job's thread, which
// alone writes the archive, file after file in list order; each file's text
// is shown before its bytes are written. The archive's bytes do not depend on
// the number of threads.
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
#include "pack_pipeline.h"
#include "platform.h"
#include "reuse_source.h"
#include "source_scan.h"
#include "spin_wait.h"
#include "status.h"

namespace pkg {

// Results a job hands to the window, each written before the notification that
// tells the window to read it.
extern float ElapsedSeconds;  // duration of the last finished job
// Full path of the file a job could not open, or of the folder it could not
// list, then with a separator at its end.
extern std::string FailedSourceFile;
// What failed and why, for FAIL_WRITE_PKG (shown to the user), and the system's
// reason for FAIL_CREATE_PKG and FAIL_OPEN_SOURCE (for the console's message).
extern std::string FailureDetail;

class PKGPackWorker : public std::enable_shared_from_this<PKGPackWorker> {
 public:
  // A job whose thread does not run yet. The job stays alive while its thread
  // runs, so it may be released by the caller at any time.
  static std::shared_ptr<PKGPackWorker> Create(JobHost& host,
                                               Platform& platform = SystemPlatform());
  ~PKGPackWorker();

  // Job fields: filled by the caller before Start and never changed afterwards.
  std::string FStatusText;
  WindowHandle FWindowHandle = 0;
  std::int32_t FPKGType = 1;
  std::string FSourceDirectory;  // as the user gave it, not normalised
  std::string FOutputPKGPath;
  bool FCompressData = false;
  std::uint32_t FKeyLength = 0;  // at least 1, the size of FKey
  std::vector<std::uint8_t> FKey;
  std::uint32_t FExcludeCount = 0;  // the size of FExcludeList
  std::vector<std::string> FExcludeList;
  // Threads that read and compress; 0: one per core. With 1 the job's own
  // thread does everything.
  unsigned FThreadCount = 0;
  // Bytes of packed data that may wait in memory for their turn to be written.
  std::size_t FMemoryBudget = 64 << 20;
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
  // further text, posts no notification, and its temporary file is gone.
  // Call on the user-interface thread. Returns false, doing nothing, when the
  // job has already posted its notification (or never started).
  bool Abort();

  // The thread body.
  void Execute();
  // Shows FStatusText in status panel 0; runs on the user-interface thread.
  void UpdateStatus();

 private:
  PKGPackWorker(JobHost& host, Platform& platform);

  // Each returns 0 when the step succeeded, else the failure reason.
  std::uintptr_t Pack();
  bool CreateArchive();
  unsigned ThreadCount() const;
  std::unique_ptr<PackPipeline> StartPipeline(unsigned threads);
  void SetPipeline(PackPipeline* pipeline);
  // Lists the sources into fileList_ and fullPaths_, feeding the pipeline.
  ScanResult ListSources(PackPipeline* pipeline);
  void RemoveExcluded(std::size_t from);
  // False when a source could not be opened.
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

  // Texts are numbered in the order they are posted, and shown in that order.
  // ShowText posts one and waits until it has been shown.
  void ShowText(std::string text);
  std::uint64_t PostText(std::string text);
  // Posts texts to be shown in turn; returns the number of the first.
  std::uint64_t PostTexts(std::vector<std::string> texts);
  void AwaitText(std::uint64_t number);
  // Shows one text; false once the job was aborted.
  bool RunStatusCall(std::uint64_t number, std::string text);
  // Wakes the job if it sleeps for a text up to shown.
  void WakeForText(std::uint64_t shown);
  void CheckStop() const;
  void DiscardOutput();
  void Finish(std::uintptr_t reason);

  JobHost& host_;
  Platform& platform_;

  std::mutex m_;  // protects everything down to ended_
  std::condition_variable cv_;
  PackPipeline* pipeline_ = nullptr;  // woken by Abort while the job may wait on it
  bool started_ = false;
  bool abortRequested_ = false;
  bool notified_ = false;
  bool ended_ = false;
  // The text the job sleeps on cv_ for, 0 for none; set under m_.
  std::atomic<std::uint64_t> waitingFor_{0};
  std::atomic<std::uint64_t> shownTexts_{0};  // texts shown so far
  std::uint64_t postedTexts_ = 0;             // the job's thread only

  std::atomic<bool> stop_{false};  // set with abortRequested_, read lock-free by the job

  // Owned by the job's thread.
  std::vector<SourceFile> fileList_;
  std::vector<std::string> fullPaths_;
  std::vector<std::uint32_t> offsets_, sizes_, storedSizes_;
  IndexStream index_;  // the records of the files stored so far
  std::uint32_t trailerOffset_ = 0;
  std::uint32_t startTick_ = 0;
  std::string tempPath_;
  bool placeholderCreated_ = false;  // the job created the file at the output path
  bool haveOutputId_ = false, haveTempId_ = false;
  FileIdentity outputId_, tempId_;
  std::string failedSourceFile_, failureDetail_, activity_;
  std::unique_ptr<TBufferedWriteStream> out_;  // in front of FPKGStream
  AdaptiveSpin statusSpin_;
  std::vector<std::uint8_t> buffer_;
  std::unique_ptr<TZCompressionStream> zstream_;  // kept across files, reset per file
  std::unique_ptr<ReuseSource> reuse_;            // null: nothing to reuse
  std::unique_ptr<ReuseReader> reuseReader_;      // the job's own handle on it
  std::vector<std::uint32_t> reuseOf_;            // per file: its record, or kNone
};

}  // namespace pkg
