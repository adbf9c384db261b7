// Throughput of the checksum paths and of cksum_calc itself, over the agent's
// 1024-byte pieces and over larger batches.
#include "cksum.h"
#include "cksum_impl.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using Path = std::uint32_t (*)(std::uint32_t, const unsigned char *, std::size_t);

void run(benchmark::State &state, Path path) {
    std::vector<unsigned char> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    std::uint32_t s = 0;
    for (auto _ : state) {
        s = path(s, data.data(), data.size());
        benchmark::DoNotOptimize(s);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

std::uint32_t via_calc(std::uint32_t s, const unsigned char *p, std::size_t n) {
    cksum_calc(p, n, &s);
    return s;
}

void BM_Bytes(benchmark::State &st) {
    run(st, cksum_bytes);
}
void BM_Slice8(benchmark::State &st) {
    run(st, cksum_slice8);
}
void BM_Pclmul(benchmark::State &st) {
    if (!cksum_pclmul_usable()) {
        st.SkipWithError("no carry-less multiply on this processor");
        return;
    }
    run(st, cksum_pclmul);
}
void BM_Vpclmul(benchmark::State &st) {
    if (!cksum_vpclmul_usable()) {
        st.SkipWithError("no 256-bit carry-less multiply on this processor");
        return;
    }
    run(st, cksum_vpclmul);
}
void BM_CksumCalc(benchmark::State &st) {
    run(st, via_calc);
}

} // namespace

BENCHMARK(BM_Bytes)->Arg(1024)->Arg(256 << 10);
BENCHMARK(BM_Slice8)->Arg(1024)->Arg(256 << 10);
BENCHMARK(BM_Pclmul)->Arg(64)->Arg(1024)->Arg(256 << 10);
BENCHMARK(BM_Vpclmul)->Arg(256)->Arg(1024)->Arg(256 << 10);
BENCHMARK(BM_CksumCalc)->Arg(1024)->Arg(256 << 10);

BENCHMARK_MAIN();
