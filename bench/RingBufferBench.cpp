// Ring buffer cost per block: the receiver stores blocks of up to 64 bytes,
// Java reads take them out in larger chunks.
#include <benchmark/benchmark.h>

#include <vector>

#include "buffer/CircularBuffer.h"

namespace {

void BM_WriteThenRead(benchmark::State &state) {
  const DWORD nBlock = (DWORD)state.range(0);
  CCircularBuffer buffer(12);
  std::vector<BYTE> in(nBlock, 0x5A), out(nBlock);
  for (auto _ : state) {
    DWORD nCount = 0;
    benchmark::DoNotOptimize(buffer.Write(in.data(), nBlock));
    benchmark::DoNotOptimize(buffer.Read(out.data(), nBlock, &nCount));
  }
  state.SetBytesProcessed((int64_t)state.iterations() * nBlock);
}
BENCHMARK(BM_WriteThenRead)->Arg(1)->Arg(64)->Arg(4096);

// A reader that drains 1 KiB at a time behind a writer of 64-byte blocks.
void BM_BlocksInChunksOut(benchmark::State &state) {
  CCircularBuffer buffer(12);
  std::vector<BYTE> in(64, 0x33), out(1024);
  for (auto _ : state) {
    for (int i = 0; i < 16; ++i) buffer.Write(in.data(), 64);
    DWORD nCount = 0;
    benchmark::DoNotOptimize(buffer.Read(out.data(), 1024, &nCount));
  }
  state.SetBytesProcessed((int64_t)state.iterations() * 1024);
}
BENCHMARK(BM_BlocksInChunksOut);

}  // namespace
