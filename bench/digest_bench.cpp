// CRC-32 and SHA-256 run over every image block the tool streams, so they must keep up with
// decompression. Each benchmark reports its throughput in MB per second ("MB=4.2k/s" reads
// 4200 MB/s).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "digest/crc32.h"
#include "digest/sha256.h"

namespace {

constexpr size_t BUFFER_BYTES = 2 * 1024 * 1024;

std::vector<uint8_t> image_block() {
  std::vector<uint8_t> block(BUFFER_BYTES);
  uint32_t value = 0x12345678;
  for (uint8_t& byte : block) {
    value = value * 1664525 + 1013904223;
    byte = static_cast<uint8_t>(value >> 24);
  }
  return block;
}

void report_throughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * BUFFER_BYTES);
  state.counters["MB"] =
      benchmark::Counter(BUFFER_BYTES / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_crc32_internal(benchmark::State& state) {
  const std::vector<uint8_t> block = image_block();
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32_internal(block.data(), block.size()));
  }
  report_throughput(state);
}
BENCHMARK(BM_crc32_internal);

void BM_sha256(benchmark::State& state) {
  const std::vector<uint8_t> block = image_block();
  uint8_t hash[32];
  for (auto _ : state) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, block.data(), block.size());
    sha256_final(&ctx, hash);
    benchmark::DoNotOptimize(hash);
  }
  report_throughput(state);
}
BENCHMARK(BM_sha256);

}  // namespace
