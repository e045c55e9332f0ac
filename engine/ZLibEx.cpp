#include "ZLibEx.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace pkg {

namespace {

const char kInvalidOperation[] = "Invalid ZStream operation!";

[[noreturn]] void ThrowInvalidOperation() {
  throw EZCompressionError(0, kInvalidOperation);
}

int CompressCheck(int code) {
  if (code < 0) throw EZCompressionError(code, zError(code));
  return code;
}

}  // namespace

int ZLibLevel(TZCompressionLevel level) {
  switch (level) {
    case TZCompressionLevel::zcNone:
      return Z_NO_COMPRESSION;
    case TZCompressionLevel::zcFastest:
      return Z_BEST_SPEED;
    case TZCompressionLevel::zcDefault:
      return Z_DEFAULT_COMPRESSION;
    case TZCompressionLevel::zcMax:
      return Z_BEST_COMPRESSION;
    case TZCompressionLevel::zcLevel1:
      return 1;
    case TZCompressionLevel::zcLevel2:
      return 2;
    case TZCompressionLevel::zcLevel3:
      return 3;
    case TZCompressionLevel::zcLevel4:
      return 4;
    case TZCompressionLevel::zcLevel5:
      return 5;
    case TZCompressionLevel::zcLevel6:
      return 6;
    case TZCompressionLevel::zcLevel7:
      return 7;
    case TZCompressionLevel::zcLevel8:
      return 8;
    case TZCompressionLevel::zcLevel9:
      return 9;
  }
  return Z_DEFAULT_COMPRESSION;
}

struct TCustomZStream::TZState {
  z_stream strm{};  // zalloc, zfree and opaque null: zlib's own allocator
  Bytef buffer[kBufferSize];
};

// The buffer is left uninitialised: zlib only ever reads what it wrote.
TCustomZStream::TCustomZStream(TStream& stream)
    : FStream(&stream), FStreamPos(stream.Position()), FZ(new TZState) {}

TCustomZStream::~TCustomZStream() = default;

void TCustomZStream::WriteBuffer(std::size_t count) {
  if (count == 0) return;
  FStream->SetPosition(FStreamPos);
  FStream->Write(FZ->buffer, count);
  FStreamPos += static_cast<std::int64_t>(count);
}

namespace {

void ResetOutput(z_stream& strm, Bytef* buffer) {
  strm.next_out = buffer;
  strm.avail_out = static_cast<uInt>(TCustomZStream::kBufferSize);
}

}  // namespace

TZCompressionStream::TZCompressionStream(TStream& dest, TZCompressionLevel level)
    : TCustomZStream(dest) {
  CompressCheck(deflateInit(&FZ->strm, ZLibLevel(level)));
  ResetOutput(FZ->strm, FZ->buffer);
}

TZCompressionStream::~TZCompressionStream() {
  if (!FFinished) {
    try {
      Finish();
    } catch (...) {
      // Nowhere to report it from a destructor; callers that care call Finish.
    }
  }
  deflateEnd(&FZ->strm);
}

std::size_t TZCompressionStream::Read(void*, std::size_t) {
  ThrowInvalidOperation();
}

std::int64_t TZCompressionStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (offset == 0 && origin == TSeekOrigin::soCurrent) return FTotalIn;
  ThrowInvalidOperation();
}

std::int64_t TZCompressionStream::Size() {
  ThrowInvalidOperation();
}

void TZCompressionStream::Deflate(int flush) {
  z_stream& strm = FZ->strm;
  const uInt before = strm.avail_in;
  const int code = deflate(&strm, flush);
  FTotalIn += before - strm.avail_in;
  if (CompressCheck(code) == Z_STREAM_END) FStreamEnded = true;
}

// Sends the buffered output on. The buffer is only reset once the destination
// took it, so after a failed write the same bytes go out on the next attempt.
void TZCompressionStream::EmptyBuffer() {
  const std::size_t count = kBufferSize - FZ->strm.avail_out;
  WriteBuffer(count);
  FWrittenOut += static_cast<std::int64_t>(count);
  ResetOutput(FZ->strm, FZ->buffer);
}

void TZCompressionStream::Write(const void* buffer, std::size_t count) {
  if (FStreamEnded) ThrowInvalidOperation();
  if (count == 0) return;
  z_stream& strm = FZ->strm;
  // Left full by a destination that failed during an earlier call.
  if (strm.avail_out == 0) EmptyBuffer();

  // zlib's counts are unsigned int; larger writes go in slices.
  constexpr std::size_t kMaxSlice = std::numeric_limits<uInt>::max();
  const auto* in = static_cast<const Bytef*>(buffer);
  while (count > 0) {
    const std::size_t slice = std::min(count, kMaxSlice);
    strm.next_in = const_cast<Bytef*>(in);  // deflate does not write through it
    strm.avail_in = static_cast<uInt>(slice);
    while (strm.avail_in > 0) {
      Deflate(Z_NO_FLUSH);
      if (strm.avail_out == 0) EmptyBuffer();
    }
    in += slice;
    count -= slice;
  }
  strm.next_in = nullptr;
}

void TZCompressionStream::Finish() {
  if (FFinished) return;
  z_stream& strm = FZ->strm;
  // next_in may still point into the caller's buffer of a failed Write.
  strm.next_in = nullptr;
  strm.avail_in = 0;
  while (!FStreamEnded) {
    if (strm.avail_out == 0) EmptyBuffer();
    Deflate(Z_FINISH);
  }
  EmptyBuffer();
  FFinished = true;
}

void TZCompressionStream::Restart(TStream& dest) {
  if (!FFinished) ThrowInvalidOperation();
  const std::int64_t pos = dest.Position();
  CompressCheck(deflateReset(&FZ->strm));
  ResetOutput(FZ->strm, FZ->buffer);
  FStream = &dest;
  FStreamPos = pos;
  FTotalIn = 0;
  FWrittenOut = 0;
  FStreamEnded = false;
  FFinished = false;
}

std::int64_t TZCompressionStream::TotalOut() const {
  return FWrittenOut + static_cast<std::int64_t>(kBufferSize - FZ->strm.avail_out);
}

}  // namespace pkg
