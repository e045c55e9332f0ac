// Reads, and compresses when asked, the files of a pack job on worker threads
// ahead of the job's own thread, which writes them into the archive in list
// order. One worker takes one file from its first byte to its last through a
// zlib stream reset for that file, so every file's bytes are those the job
// makes alone, whatever the number of threads.
//
// The bytes wait in fixed-size blocks from one pool, capped by a byte budget.
// A worker that finds the pool spent waits, except the one working on the
// file the writer needs next, which may always take a few more: a file
// larger than the whole budget streams through into the archive while the
// files after it wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZLibEx.h"
#include "platform.h"
#include "reuse_source.h"

namespace pkg {

class PackPipeline {
 public:
  static constexpr std::size_t kBlockSize = 16 << 10;
  // Blocks that only the worker of the file the writer needs may take.
  static constexpr std::size_t kHeadReserve = 2;
  // A writer that ran dry waits for this many files ready, unless the workers
  // need room or a file is already flowing; it then goes through them in one
  // run, with one wake-up for the lot instead of one per file.
  static constexpr std::size_t kBatch = 128;

  struct Block {
    Block* next = nullptr;
    std::size_t used = 0;
    // Bytes of the file read when the block was queued: how far its progress
    // has come once the block is written.
    std::uint64_t read = 0;
    std::uint8_t data[kBlockSize];
  };

  struct Settings {
    bool compress = false;
    unsigned workers = 1;
    std::size_t budget = 64 << 20;  // bytes of blocks in use at once
    // Stored files larger than this are left to the writer, whose copy in the
    // kernel beats reading them into blocks.
    std::uint64_t largestRead = 256 << 10;
    // Files never read as sources: the archive being written and the one it
    // will replace.
    std::vector<FileIdentity> refused;
    // When compressing: the older archive whose stored streams may be
    // copied, and for each file of the list the record it is compared with
    // (ReuseSource::kNone for none). reuseOf grows with the list.
    const ReuseSource* reuse = nullptr;
    const std::vector<std::uint32_t>* reuseOf = nullptr;
  };

  // Starts the workers on paths, the full paths of the files in list order.
  // Every wait ends with EJobAborted once stop is set and Wake was called.
  // With listEnded false, the list is still being made: it grows only through
  // Extend, and the workers start on the files already in it.
  PackPipeline(Platform& platform, const std::vector<std::string>& paths, const Settings& settings,
               const std::atomic<bool>& stop, bool listEnded = true);
  // Stops the workers and waits for them.
  ~PackPipeline();
  PackPipeline(const PackPipeline&) = delete;
  PackPipeline& operator=(const PackPipeline&) = delete;

  // Workers running; 0 when the system would not create a thread.
  unsigned Workers() const { return static_cast<unsigned>(threads_.size()); }

  // While the list is being made: append adds paths at the end of the list
  // given at the start, while no worker looks at it; listEnded tells that no
  // more will follow. Only the thread that makes the list may read it
  // without taking part here.
  void Extend(const std::function<void()>& append, bool listEnded);

  // Keeps the workers from opening more files, once each that is opening
  // one has learnt what it is (and let go of a refused one), until
  // ResumeOpens: a file then opened without sharing, such as an older
  // archive met by the scan, finds no worker holding it. Raises EJobAborted
  // on a stop.
  void HoldOpens();
  void ResumeOpens();

  // Lets the workers compare files with the older archive. Until then a
  // worker whose file is to be compared waits, holding no handle on the
  // older archive: the job first learns whether the archive at the output
  // path may be replaced, which Windows refuses while any handle is open.
  void EnableReuse();

  // The writer's side, one file after the other in list order.
  //
  // What the workers made of a file.
  enum class Handover {
    kStream,  // read: its bytes follow through NextBlocks
    // The writer stores it itself: it could not be identified or changed
    // while it was opened, it is a refused file, it is 4 GiB or more, or it
    // is a stored file above largestRead. Also a file that could not be
    // opened or read ahead: a scanner or an editor may hold a file for a
    // moment, so only what the writer meets at the file's turn counts.
    kByWriter,
    // Its content is that of its record in the older archive, whose stored
    // bytes the writer copies; nothing follows through NextBlocks.
    kReused,
  };
  // Waits until a worker has opened file i, or has given up on it. Raises
  // only memory running out ahead. stamp is the file's as it was before it
  // was read (kStream); message, why opening or reading it failed ahead
  // (kByWriter), empty otherwise.
  Handover Take(std::size_t i, FileStamp& stamp, std::string& message);
  // How many files from `from` on, up to `to`, one after the other, are read
  // to their end without a failure, so that storing them cannot wait nor
  // fail here. Does not wait; any files, in any order.
  std::size_t ReadyRun(std::size_t from, std::size_t to);
  // After kStream: every block of file i queued by now, linked through next,
  // waiting until there is one or the file is read to its end. end tells
  // that no more follow; sizeRead is then the bytes read. A small file comes
  // whole in one call. Raises what the worker met while reading or
  // compressing after Take: part of the file may be in the archive by then.
  Block* NextBlocks(std::size_t i, bool& end, std::uint64_t& sizeRead);
  void Recycle(Block* block);
  // Recycles blocks linked through next.
  void RecycleChain(Block* first);
  // After kStream: gives file i up without writing it.
  void Drop(std::size_t i);

  // Makes every waiting thread look at the stop flag.
  void Wake();

  // Most bytes held in blocks at one time.
  std::size_t PeakBytes();

 private:
  enum class Failure { kNone, kError, kNoMemory };

  // One file on its way, in a ring of slots indexed by list position.
  struct Slot {
    std::size_t file = 0;
    bool settled = false;  // the worker is past opening the file
    Handover handover = Handover::kStream;
    bool busy = false;       // a worker is still on it
    bool dropped = false;    // the writer gave it up; the worker stops
    bool finished = false;   // every block has been queued
    bool wantsRoom = false;  // its worker waits for a block
    bool opening = false;    // its worker has not learnt yet what the file is
    FileStamp stamp;
    std::uint64_t sizeRead = 0;
    Failure failure = Failure::kNone;
    std::string message;
    Block* first = nullptr;
    Block* last = nullptr;
  };

  class BlockSink;
  class FileDropped {};

  void WorkerMain();
  void ProcessFile(std::size_t file, const std::string& path, std::uint32_t record,
                   std::vector<std::uint8_t>& input, std::unique_ptr<TZCompressionStream>& zstream,
                   std::unique_ptr<ReuseReader>& reader);

  // All below take the lock themselves.
  Block* Acquire(std::size_t file);
  void Publish(std::size_t file, Block* block);
  // The file is read to its end; last is its last block, if any.
  void Complete(std::size_t file, std::uint64_t sizeRead, Block* last);
  // The worker of slot's file has opened it and knows what it is, or has
  // given up opening it.
  void OpenedLocked(Slot& slot);
  // The worker lets go of the file, telling the writer how it ended.
  void Settle(std::size_t file, Handover handover, Failure failure, std::string message);
  void ReleaseWorker(std::size_t file);
  // Waits until EnableReuse; false on a stop.
  bool AwaitReuse();

  // With m_ held, but for Stopped.
  Slot& SlotOf(std::size_t file) { return slots_[file % slots_.size()]; }
  const Slot& SlotOf(std::size_t file) const { return slots_[file % slots_.size()]; }
  bool Stopped() const {
    return closing_.load(std::memory_order_relaxed) || stop_.load(std::memory_order_relaxed);
  }
  std::size_t RingResume() const { return slots_.size() - slots_.size() / 4; }
  std::size_t BlocksResume() const { return (maxBlocks_ - kHeadReserve) * 3 / 4; }
  void NotifyRoom();
  // A worker has news of file: wakes the writer when it may go on.
  void NotifyWriter(std::size_t file);
  bool BatchReady() const;
  bool Settled(std::size_t file) const {
    return next_ > file && SlotOf(file).file == file && SlotOf(file).settled;
  }
  // A worker is about to wait for room.
  void Blocked();
  void RecycleLocked(Block* block);
  void ClearQueue(Slot& slot);
  void CheckWriterStop() const;
  [[noreturn]] static void Raise(const Slot& slot);

  Platform& platform_;
  const std::vector<std::string>& paths_;
  const Settings settings_;
  const std::atomic<bool>& stop_;
  const std::size_t maxBlocks_;

  std::atomic<bool> closing_{false};  // set under m_, read anywhere

  std::mutex m_;                      // protects everything below
  std::condition_variable workCv_;    // workers wait here for a file or a block
  std::condition_variable writerCv_;  // the writer waits here for its file
  enum class WriterWait { kNone, kBatch, kBlock, kOpens };
  WriterWait writerWaiting_ = WriterWait::kNone;
  unsigned workersWaiting_ = 0;
  unsigned ringWaiting_ = 0;  // of those, the ones waiting for a file
  unsigned listWaiting_ = 0;  // workers waiting for the list to grow or opens to resume
  unsigned opening_ = 0;      // workers between taking a file and knowing what it is
  bool opensHeld_ = false;
  bool reuseEnabled_ = false;
  bool listEnded_ = true;       // no more files will be added
  bool headWaiting_ = false;    // the worker of the writer's file waits for a block
  bool roomSignalled_ = false;  // workers were woken for room since one last waited
  std::size_t next_ = 0;        // next file to hand to a worker
  std::size_t head_ = 0;        // the file the writer needs
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<Block>> allBlocks_;
  Block* free_ = nullptr;
  std::size_t inUse_ = 0;
  std::size_t peakInUse_ = 0;

  std::vector<std::thread> threads_;  // started last, joined first
};

}  // namespace pkg
