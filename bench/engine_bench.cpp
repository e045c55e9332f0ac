// Micro-benchmarks of the engine's hot pieces: the digest, the zlib stream
// and sealing an index. Run: build/linux/bench/engine_bench
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ZLibEx.h"
#include "md5.h"
#include "pkg_index.h"
#include "streams.h"

namespace {

std::vector<std::uint8_t> MixedBytes(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::mt19937 rng(1234);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = (i / 4096) % 2 ? static_cast<std::uint8_t>(rng())
                          : static_cast<std::uint8_t>("packer "[i % 7]);
  return v;
}

void BM_MD5(benchmark::State& state) {
  const auto data = MixedBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(pkg::MD5Bytes(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MD5)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_CompressionStream(benchmark::State& state) {
  const auto data = MixedBytes(static_cast<std::size_t>(state.range(0)));
  pkg::TMemoryStream out;
  for (auto _ : state) {
    out.Clear();
    pkg::TZCompressionStream z(out);
    z.Write(data.data(), data.size());
    z.Finish();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CompressionStream)->Arg(4096)->Arg(1 << 20);

// Restarting one stream per file, as the job does, against a fresh one each.
void BM_CompressionStreamRestart(benchmark::State& state) {
  const auto data = MixedBytes(4096);
  pkg::TMemoryStream out;
  pkg::TZCompressionStream z(out);
  z.Finish();
  for (auto _ : state) {
    out.Clear();
    z.Restart(out);
    z.Write(data.data(), data.size());
    z.Finish();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_CompressionStreamRestart);

void BM_SealIndex(benchmark::State& state) {
  std::vector<std::uint8_t> index;
  for (int i = 0; i < state.range(0); ++i)
    pkg::AppendIndexRecord(index, {"\\data\\maps\\tile_" + std::to_string(i) + ".bin",
                                   static_cast<std::uint32_t>(24 + i * 100), 100, 100});
  for (auto _ : state) benchmark::DoNotOptimize(pkg::SealIndex(index, pkg::kGame1Key));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SealIndex)->Arg(1000)->Arg(50000);

}  // namespace
