// Micro-benchmarks of the engine's hot pieces: the digest, the zlib stream,
// building and sealing an index, and what a pack job costs per small file.
// Run: build/linux/bench/engine_bench
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "ZLibEx.h"
#include "md5.h"
#include "pkg_index.h"
#include "queue_host.h"
#include "streams.h"
#include "uPKGPackWorker.h"

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

void BM_BuildIndex(benchmark::State& state) {
  std::vector<std::string> names;
  for (int i = 0; i < state.range(0); ++i)
    names.push_back("\\data\\maps\\tile_" + std::to_string(i) + ".bin");
  for (auto _ : state) {
    std::vector<std::uint8_t> index;
    for (std::size_t i = 0; i < names.size(); ++i)
      pkg::AppendIndexRecord(index, {names[i], static_cast<std::uint32_t>(24 + i * 100), 100, 100});
    benchmark::DoNotOptimize(index.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BuildIndex)->Arg(1000)->Arg(50000);

void BM_SealIndex(benchmark::State& state) {
  std::vector<std::uint8_t> index;
  for (int i = 0; i < state.range(0); ++i)
    pkg::AppendIndexRecord(index, {"\\data\\maps\\tile_" + std::to_string(i) + ".bin",
                                   static_cast<std::uint32_t>(24 + i * 100), 100, 100});
  for (auto _ : state) benchmark::DoNotOptimize(pkg::SealIndex(index, pkg::kGame1Key));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SealIndex)->Arg(1000)->Arg(50000);

// A whole job over 2000 files of 0 to 4 KiB, its texts shown by a QueueHost
// pumped on this thread as pkgtool does: the cost per file of the status
// call, the reads and the writes. Arguments: threads, compress.
void BM_PackSmallFiles(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "pkg-engine-bench-small";
  fs::remove_all(dir);
  std::mt19937 rng(5);
  const auto text = MixedBytes(4096);
  for (int i = 0; i < 2000; ++i) {
    fs::create_directories(dir / "src" / std::to_string(i % 20));
    std::ofstream(dir / "src" / std::to_string(i % 20) / ("f" + std::to_string(i)),
                  std::ios::binary)
        .write(reinterpret_cast<const char*>(text.data()),
               static_cast<std::streamsize>(rng() % 4097));
  }
  for (auto _ : state) {
    pkg::QueueHost host;
    pkg::PackRequest request;
    request.sourceDirectory = (dir / "src").string();
    request.outputPath = (dir / "out.pkg").string();
    request.compress = state.range(1) != 0;
    request.key.assign(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
    request.threads = static_cast<unsigned>(state.range(0));
    auto job = pkg::PKGPackWorker::Create(host, request);
    if (!job->Start().ok() || host.RunUntilNotified().lParam != pkg::NOTIFY_FINISHED)
      state.SkipWithError("the job failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2000);
  fs::remove_all(dir);
}
BENCHMARK(BM_PackSmallFiles)
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->ArgNames({"threads", "compress"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
