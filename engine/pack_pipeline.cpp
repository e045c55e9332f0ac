#include "pack_pipeline.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <system_error>

#include "file_stream.h"
#include "pkg_format.h"

namespace pkg {
namespace {

// Enough slots that for files of a few bytes the pool, not the ring, limits
// how far the workers run ahead.
constexpr std::size_t kSlots = 4096;
// Large reads keep system calls few; small enough that a worker compressing
// sees a stop within milliseconds.
constexpr std::size_t kReadSize = 256 << 10;

}  // namespace

// Collects one file's stored bytes into blocks and queues each full block for
// the writer, so a large file flows on while it is being read.
class PackPipeline::BlockSink : public TStream {
 public:
  BlockSink(PackPipeline& pipeline, std::size_t file) : p_(pipeline), file_(file) {}
  ~BlockSink() override { Abandon(); }

  std::size_t Read(void*, std::size_t) override {
    throw EStreamError("cannot read from a write-only stream");
  }

  void Write(const void* buffer, std::size_t count) override {
    if (abandoned_) return;  // a failed zlib stream being torn down
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (count > 0) {
      Block* b = Room();
      const std::size_t n = std::min(count, kBlockSize - b->used);
      std::memcpy(b->data + b->used, in, n);
      Commit(n);
      in += n;
      count -= n;
    }
  }

  // Only appends: the zlib stream asks for its own position and nothing else.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    if ((origin == TSeekOrigin::soCurrent && offset == 0) ||
        (origin == TSeekOrigin::soBeginning && offset == written_))
      return written_;
    throw EStreamError("a block sink only appends");
  }

  // The block the next bytes go into, taken from the pool when needed.
  Block* Room() {
    if (!block_) block_ = p_.Acquire(file_);
    return block_;
  }

  // n more bytes of the current block are filled.
  void Commit(std::size_t n) {
    block_->used += n;
    written_ += static_cast<std::int64_t>(n);
    if (block_->used == kBlockSize) Send();
  }

  // The last block, partly filled, or null; Complete queues it with the end
  // of the file in one step, so that a small file never seems to be flowing.
  Block* TakeLast() {
    Block* b = block_;
    block_ = nullptr;
    if (b && b->used == 0) {
      p_.Recycle(b);
      b = nullptr;
    }
    if (b) b->read = read_;
    return b;
  }

  // Bytes of the file read so far, given to each block as it is queued.
  void SetRead(std::uint64_t read) { read_ = read; }

  void Abandon() {
    abandoned_ = true;
    if (block_) p_.Recycle(block_);
    block_ = nullptr;
  }

 private:
  void Send() {
    Block* b = block_;
    block_ = nullptr;
    b->read = read_;
    p_.Publish(file_, b);
  }

  PackPipeline& p_;
  const std::size_t file_;
  Block* block_ = nullptr;
  std::int64_t written_ = 0;
  std::uint64_t read_ = 0;
  bool abandoned_ = false;
};

PackPipeline::PackPipeline(Platform& platform, const std::vector<std::string>& paths,
                           const Settings& settings, const std::atomic<bool>& stop, bool listEnded)
    : platform_(platform),
      paths_(paths),
      settings_(settings),
      stop_(stop),
      maxBlocks_(std::max<std::size_t>(settings.budget / kBlockSize, kHeadReserve + 2)),
      listEnded_(listEnded),
      slots_(listEnded ? std::clamp<std::size_t>(paths.size(), 1, kSlots) : kSlots) {
  for (unsigned w = 0; w < settings.workers; ++w) {
    try {
      threads_.emplace_back(&PackPipeline::WorkerMain, this);
    } catch (const std::system_error&) {
      break;  // fewer workers, or none: the writer then does the work
    }
  }
}

PackPipeline::~PackPipeline() {
  {
    std::lock_guard<std::mutex> lock(m_);
    closing_ = true;
  }
  workCv_.notify_all();
  writerCv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void PackPipeline::Extend(const std::function<void()>& append, bool listEnded) {
  std::lock_guard<std::mutex> lock(m_);
  if (append) append();
  listEnded_ = listEnded;
  if (listWaiting_) workCv_.notify_all();
  if (writerWaiting_ == WriterWait::kBatch && BatchReady()) writerCv_.notify_one();
}

void PackPipeline::HoldOpens() {
  std::unique_lock<std::mutex> lock(m_);
  opensHeld_ = true;
  while (opening_ > 0) {
    CheckWriterStop();
    writerWaiting_ = WriterWait::kOpens;
    writerCv_.wait(lock);
    writerWaiting_ = WriterWait::kNone;
  }
}

void PackPipeline::ResumeOpens() {
  std::lock_guard<std::mutex> lock(m_);
  opensHeld_ = false;
  if (listWaiting_) workCv_.notify_all();
}

void PackPipeline::EnableReuse() {
  std::lock_guard<std::mutex> lock(m_);
  reuseEnabled_ = true;
  workCv_.notify_all();
}

bool PackPipeline::AwaitReuse() {
  std::unique_lock<std::mutex> lock(m_);
  while (!reuseEnabled_) {
    if (Stopped()) return false;
    workCv_.wait(lock);
  }
  return true;
}

void PackPipeline::OpenedLocked(Slot& slot) {
  if (!slot.opening) return;
  slot.opening = false;
  if (--opening_ == 0 && writerWaiting_ == WriterWait::kOpens) writerCv_.notify_one();
}

void PackPipeline::Wake() {
  std::lock_guard<std::mutex> lock(m_);
  workCv_.notify_all();
  writerCv_.notify_all();
}

std::size_t PackPipeline::PeakBytes() {
  std::lock_guard<std::mutex> lock(m_);
  return peakInUse_ * kBlockSize;
}

void PackPipeline::WorkerMain() {
  std::vector<std::uint8_t> input;
  std::unique_ptr<TZCompressionStream> zstream;  // reset for each file, never recreated
  std::string path;                              // a copy: the list may grow meanwhile
  std::unique_ptr<ReuseReader> reader;           // this worker's handle on the older archive
  for (;;) {
    std::size_t file = 0;
    std::uint32_t record = ReuseSource::kNone;
    bool copied = false;
    {
      std::unique_lock<std::mutex> lock(m_);
      for (bool waited = false;; waited = true) {
        if (Stopped()) return;
        if (next_ >= paths_.size() || opensHeld_) {
          if (listEnded_ && !opensHeld_) return;
          ++listWaiting_;
          workCv_.wait(lock);
          --listWaiting_;
          continue;
        }
        // The ring holds the files from the writer's on; a slot whose file
        // was dropped is free once its worker has let go of it. A worker that
        // had to wait goes on only once a quarter of the ring is free, and
        // then runs for a while rather than once per file the writer takes.
        if (next_ < head_ + (waited ? RingResume() : slots_.size()) && !SlotOf(next_).busy) break;
        Blocked();
        ++ringWaiting_;
        workCv_.wait(lock);
        --ringWaiting_;
        --workersWaiting_;
      }
      file = next_++;
      Slot& slot = SlotOf(file);
      assert(slot.first == nullptr);
      slot = Slot();
      slot.file = file;
      slot.busy = true;
      try {
        path = paths_[file];
        if (settings_.reuseOf) record = (*settings_.reuseOf)[file];
        copied = true;
        slot.opening = true;
        ++opening_;
      } catch (const std::bad_alloc&) {
      }
    }
    if (!copied) {
      Settle(file, Handover::kStream, Failure::kNoMemory, std::string());
      continue;
    }
    ProcessFile(file, path, record, input, zstream, reader);
  }
}

void PackPipeline::ProcessFile(std::size_t file, const std::string& path, std::uint32_t record,
                               std::vector<std::uint8_t>& input,
                               std::unique_ptr<TZCompressionStream>& zstream,
                               std::unique_ptr<ReuseReader>& reader) {
  // What a job without workers would deal with specially is left to the
  // writer, and so is a file that cannot be opened or read here: the writer
  // tries it again at its turn, and only what it meets then counts.
  std::unique_ptr<PlatformFile> source;
  Status opened;
  try {
    opened = platform_.OpenForReading(path, source);
  } catch (const std::bad_alloc&) {
    Settle(file, Handover::kStream, Failure::kNoMemory, std::string());
    return;
  }
  if (!opened.ok()) {
    Settle(file, Handover::kByWriter, Failure::kNone, opened.message());
    return;
  }
  // Stamped before it is read: a change from here on, even in the middle of
  // reading, shows at the file's turn, and the writer then reads it anew.
  FileStamp stamp;
  const auto& refused = settings_.refused;
  if (!source->Stamp(stamp).ok() ||
      std::find(refused.begin(), refused.end(), stamp.id) != refused.end() ||
      stamp.size > kMaxOffset || (!settings_.compress && stamp.size > settings_.largestRead)) {
    (void)source->Close();
    Settle(file, Handover::kByWriter, Failure::kNone, std::string());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_);
    SlotOf(file).stamp = stamp;
    OpenedLocked(SlotOf(file));
  }

  BlockSink sink(*this, file);
  Failure failure = Failure::kNone;
  std::string message;
  try {
    std::uint64_t total = 0;
    ReuseComparison compared;
    if (settings_.compress) {
      if (input.empty()) input.resize(kReadSize);
      // A file the older archive holds unchanged is not compressed at all;
      // one that differs goes on from what the comparison read.
      if (record != ReuseSource::kNone && settings_.reuse &&
          settings_.reuse->Record(record).size == stamp.size) {
        if (!AwaitReuse()) throw EJobAborted();
        if (!reader) reader = std::make_unique<ReuseReader>(platform_, *settings_.reuse);
        compared = reader->Compare(record, *source, input, true, [this] {
          if (Stopped()) throw EJobAborted();
        });
        if (compared.same) {
          (void)source->Close();
          Settle(file, Handover::kReused, Failure::kNone, std::string());
          return;
        }
      }
      if (zstream)
        zstream->Restart(sink);
      else
        zstream = std::make_unique<TZCompressionStream>(sink, TZCompressionLevel::zcDefault);
      if (compared.held > 0) {
        total = compared.held;
        zstream->Write(input.data(), compared.held);
      }
    }
    while (!compared.atEnd) {
      if (Stopped()) throw EJobAborted();
      std::uint8_t* into = nullptr;
      std::size_t room = 0;
      if (settings_.compress) {
        into = input.data();
        room = input.size();
      } else {
        Block* b = sink.Room();
        into = b->data + b->used;
        room = kBlockSize - b->used;
      }
      std::size_t got = 0;
      if (Status s = source->Read(into, room, got); !s.ok()) throw EStreamError(s.message());
      if (got == 0) break;
      total += got;
      // The writer fails the job on seeing the size; reading on is no use.
      if (total > kMaxOffset) break;
      sink.SetRead(total);
      if (settings_.compress)
        zstream->Write(into, got);
      else
        sink.Commit(got);
      // A short read that reaches the size the file had is its end: a file
      // that grows after it has a new stamp at its turn and is read anew, so
      // the read that would only say so is saved (one per small file).
      if (got < room && total == stamp.size) break;
    }
    if (settings_.compress) zstream->Finish();
    (void)source->Close();
    Complete(file, total, sink.TakeLast());
    return;
  } catch (const EJobAborted&) {
  } catch (const FileDropped&) {
  } catch (const std::bad_alloc&) {
    failure = Failure::kNoMemory;
  } catch (const std::exception& e) {
    failure = Failure::kError;
    message = e.what();
  }
  // The zlib stream is somewhere inside a file: it goes, with whatever it
  // would still write, and the next file gets a new one.
  sink.Abandon();
  zstream.reset();
  (void)source->Close();
  if (failure == Failure::kNone)
    ReleaseWorker(file);
  else
    Settle(file, Handover::kStream, failure, std::move(message));
}

PackPipeline::Block* PackPipeline::Acquire(std::size_t file) {
  std::unique_lock<std::mutex> lock(m_);
  for (bool waited = false;; waited = true) {
    if (Stopped()) throw EJobAborted();
    if (SlotOf(file).dropped) throw FileDropped();
    // As with the ring: after a wait, only once a quarter of the pool is free.
    const std::size_t limit = file == head_ ? maxBlocks_
                              : waited      ? BlocksResume()
                                            : maxBlocks_ - kHeadReserve;
    if (inUse_ < limit) break;
    const bool head = file == head_;
    if (head) headWaiting_ = true;
    SlotOf(file).wantsRoom = true;
    Blocked();
    workCv_.wait(lock);
    SlotOf(file).wantsRoom = false;
    --workersWaiting_;
    if (head) headWaiting_ = false;
  }
  Block* b = free_;
  if (b) {
    free_ = b->next;
  } else {
    // Not zeroed: pages are touched only as bytes are written into them.
    allBlocks_.emplace_back(new Block);
    b = allBlocks_.back().get();
  }
  b->next = nullptr;
  b->used = 0;
  peakInUse_ = std::max(peakInUse_, ++inUse_);
  return b;
}

void PackPipeline::Publish(std::size_t file, Block* block) {
  std::lock_guard<std::mutex> lock(m_);
  Slot& slot = SlotOf(file);
  if (slot.dropped) {
    RecycleLocked(block);
    throw FileDropped();
  }
  if (slot.last)
    slot.last->next = block;
  else
    slot.first = block;
  slot.last = block;
  slot.settled = true;
  NotifyWriter(file);
}

void PackPipeline::Complete(std::size_t file, std::uint64_t sizeRead, Block* last) {
  std::lock_guard<std::mutex> lock(m_);
  Slot& slot = SlotOf(file);
  if (last && slot.dropped) {
    RecycleLocked(last);
  } else if (last) {
    if (slot.last)
      slot.last->next = last;
    else
      slot.first = last;
    slot.last = last;
  }
  slot.settled = true;
  slot.finished = true;
  slot.sizeRead = sizeRead;
  slot.busy = false;
  NotifyWriter(file);
  if (slot.dropped && workersWaiting_) workCv_.notify_all();
}

void PackPipeline::Settle(std::size_t file, Handover handover, Failure failure,
                          std::string message) {
  std::lock_guard<std::mutex> lock(m_);
  Slot& slot = SlotOf(file);
  slot.settled = true;
  slot.handover = handover;
  slot.failure = failure;
  slot.message = std::move(message);
  slot.busy = false;
  OpenedLocked(slot);
  NotifyWriter(file);
  if (slot.dropped && workersWaiting_) workCv_.notify_all();
}

void PackPipeline::ReleaseWorker(std::size_t file) {
  std::lock_guard<std::mutex> lock(m_);
  SlotOf(file).busy = false;
  if (workersWaiting_) workCv_.notify_all();
}

void PackPipeline::CheckWriterStop() const {
  if (stop_.load(std::memory_order_relaxed)) throw EJobAborted();
}

void PackPipeline::Raise(const Slot& slot) {
  if (slot.failure == Failure::kNoMemory) throw std::bad_alloc();
  throw EStreamError(slot.message);
}

PackPipeline::Handover PackPipeline::Take(std::size_t i, FileStamp& stamp, std::string& message) {
  std::unique_lock<std::mutex> lock(m_);
  if (head_ != i) {
    head_ = i;
    // The file's worker may be waiting for room it may take now, or the ring
    // has moved on far enough for a waiting worker. Not otherwise: a wake-up
    // per file would only send the workers back to sleep.
    const bool ringFree =
        next_ < paths_.size() && next_ < head_ + RingResume() && !SlotOf(next_).busy;
    const bool headWants = next_ > i && SlotOf(i).file == i && SlotOf(i).wantsRoom;
    if ((ringWaiting_ && ringFree) || headWants) workCv_.notify_all();
  }
  Slot& slot = SlotOf(i);
  for (bool waited = false;; waited = true) {
    CheckWriterStop();
    if (Settled(i) && (!waited || BatchReady())) break;
    writerWaiting_ = WriterWait::kBatch;
    writerCv_.wait(lock);
    writerWaiting_ = WriterWait::kNone;
  }
  message = slot.message;
  if (slot.failure == Failure::kError) {
    // Failed ahead, before a byte reached the writer: read again at the
    // file's turn, as a job without workers reads it. What was queued goes.
    ClearQueue(slot);
    NotifyRoom();
    return Handover::kByWriter;
  }
  if (slot.failure != Failure::kNone) Raise(slot);
  stamp = slot.stamp;
  return slot.handover;
}

std::size_t PackPipeline::ReadyRun(std::size_t from, std::size_t to) {
  std::lock_guard<std::mutex> lock(m_);
  std::size_t f = from;
  for (; f < to; ++f) {
    const Slot& slot = SlotOf(f);
    if (!Settled(f) || slot.failure != Failure::kNone) break;
    if (slot.handover == Handover::kReused) continue;
    if (!slot.finished || slot.handover != Handover::kStream) break;
  }
  return f - from;
}

PackPipeline::Block* PackPipeline::NextBlocks(std::size_t i, bool& end, std::uint64_t& sizeRead) {
  std::unique_lock<std::mutex> lock(m_);
  Slot& slot = SlotOf(i);
  for (;;) {
    CheckWriterStop();
    if (slot.failure != Failure::kNone) Raise(slot);
    if (slot.first || slot.finished) {
      Block* chain = slot.first;
      slot.first = slot.last = nullptr;
      end = slot.finished;
      if (end) sizeRead = slot.sizeRead;
      return chain;
    }
    writerWaiting_ = WriterWait::kBlock;
    writerCv_.wait(lock);
    writerWaiting_ = WriterWait::kNone;
  }
}

void PackPipeline::RecycleChain(Block* first) {
  if (!first) return;
  std::lock_guard<std::mutex> lock(m_);
  while (Block* b = first) {
    first = b->next;
    RecycleLocked(b);
  }
  NotifyRoom();
}

void PackPipeline::Recycle(Block* block) {
  std::lock_guard<std::mutex> lock(m_);
  RecycleLocked(block);
  NotifyRoom();
}

void PackPipeline::Drop(std::size_t i) {
  std::lock_guard<std::mutex> lock(m_);
  Slot& slot = SlotOf(i);
  slot.dropped = true;
  ClearQueue(slot);
  // Its worker may be waiting for room; it is to stop instead.
  if (workersWaiting_) workCv_.notify_all();
}

void PackPipeline::NotifyWriter(std::size_t file) {
  switch (writerWaiting_) {
    case WriterWait::kNone:
    case WriterWait::kOpens:
      return;
    case WriterWait::kBlock:
      if (file == head_) writerCv_.notify_one();
      return;
    case WriterWait::kBatch:
      if (BatchReady()) writerCv_.notify_one();
      return;
  }
}

bool PackPipeline::BatchReady() const {
  if (!Settled(head_)) return false;
  if (workersWaiting_ > 0) return true;  // they need the room the writer makes
  for (std::size_t f = head_; f < head_ + kBatch; ++f) {
    if (f == paths_.size()) return listEnded_;  // the rest of the list is ready
    if (!Settled(f)) return false;
    const Slot& slot = SlotOf(f);
    const bool finished =
        slot.finished || slot.handover != Handover::kStream || slot.failure != Failure::kNone;
    if (!finished) return true;  // a file is flowing: the writer is wanted now
  }
  return true;
}

void PackPipeline::Blocked() {
  ++workersWaiting_;
  roomSignalled_ = false;
  if (writerWaiting_ == WriterWait::kBatch && BatchReady()) writerCv_.notify_one();
}

void PackPipeline::NotifyRoom() {
  // The worker of the writer's file waits for any block; the others for a
  // quarter of the pool.
  // Once: until a worker waits again, those woken are on their way.
  if (workersWaiting_ && !roomSignalled_ &&
      ((headWaiting_ && inUse_ < maxBlocks_) || inUse_ < BlocksResume())) {
    roomSignalled_ = true;
    workCv_.notify_all();
  }
}

void PackPipeline::RecycleLocked(Block* block) {
  block->next = free_;
  free_ = block;
  --inUse_;
}

void PackPipeline::ClearQueue(Slot& slot) {
  while (Block* b = slot.first) {
    slot.first = b->next;
    RecycleLocked(b);
  }
  slot.last = nullptr;
}

}  // namespace pkg
