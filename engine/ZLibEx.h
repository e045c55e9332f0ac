// A write-only stream that compresses everything written to it into one zlib
// stream (RFC 1950) and appends that to a destination stream. zlib itself
// stays inside ZLibEx.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "streams.h"

namespace pkg {

enum class TZCompressionLevel {
  zcNone,
  zcFastest,
  zcDefault,
  zcMax,
  zcLevel1,
  zcLevel2,
  zcLevel3,
  zcLevel4,
  zcLevel5,
  zcLevel6,
  zcLevel7,
  zcLevel8,
  zcLevel9
};

// The zlib level for a named level: 0, 1, Z_DEFAULT_COMPRESSION (-1), 9, 1..9.
int ZLibLevel(TZCompressionLevel level);

// A zlib failure, or a stream operation the zlib streams do not support (code 0).
class EZLibError : public EStreamError {
 public:
  EZLibError(int code, const std::string& message) : EStreamError(message), FCode(code) {}
  int Code() const { return FCode; }

 private:
  int FCode;
};

class EZCompressionError : public EZLibError {
 public:
  using EZLibError::EZLibError;
};

// What zlib streams share: the destination, where our output continues in it,
// the zlib state and the output buffer.
class TCustomZStream : public TStream {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  ~TCustomZStream() override;

 protected:
  explicit TCustomZStream(TStream& stream);

  // Writes the first count bytes of the output buffer at FStreamPos in the
  // destination, whatever the destination's position is now, and moves
  // FStreamPos past them.
  void WriteBuffer(std::size_t count);

  struct TZState;  // z_stream and buffer; defined where zlib is included

  TStream* FStream;  // a pointer so that Restart can move to another destination
  std::int64_t FStreamPos;
  std::unique_ptr<TZState> FZ;
};

class TZCompressionStream : public TCustomZStream {
 public:
  explicit TZCompressionStream(TStream& dest,
                               TZCompressionLevel level = TZCompressionLevel::zcDefault);
  // Finishes the stream if Finish was not called; a failure then is lost, so
  // call Finish first wherever a failure must be seen.
  ~TZCompressionStream() override;

  std::size_t Read(void* buffer, std::size_t count) override;  // always throws
  // Refused (EZCompressionError) once Finish has ended the stream.
  void Write(const void* buffer, std::size_t count) override;
  // Only Seek(0, soCurrent) is allowed: it yields the input bytes taken so far.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;  // always throws

  // Ends the zlib stream and writes all that is left to the destination.
  // Does nothing once it has succeeded.
  void Finish();

  // After Finish: begins a new, independent zlib stream at dest's current
  // position, reusing the deflate state and buffer. The output is the same as
  // that of a new TZCompressionStream over dest at the same level.
  void Restart(TStream& dest);

  // Compressed bytes produced so far, those still in the buffer included.
  std::int64_t TotalOut() const;

 private:
  void Deflate(int flush);
  void EmptyBuffer();

  std::int64_t FTotalIn = 0;
  std::int64_t FWrittenOut = 0;  // compressed bytes already in the destination
  bool FStreamEnded = false;     // deflate has returned Z_STREAM_END
  bool FFinished = false;        // ... and all of the output is in the destination
};

}  // namespace pkg
