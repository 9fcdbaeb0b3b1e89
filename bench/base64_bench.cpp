// Encoding throughput of the Base64 encoder on credential-sized and large inputs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "support/base64.h"

namespace {

void encode_throughput(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::string input(size, '\0');
  std::uint32_t seed = 12345;
  for (char& byte : input) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  std::string output(base64_encoded_length(size) + 1, '\0');
  for (auto _ : state) {
    base64_encode(reinterpret_cast<const unsigned char*>(input.data()), output.data(), size);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}
BENCHMARK(encode_throughput)->Arg(4096)->Arg(1 << 20);

// The string form as the rewrite uses it: allocation, encoding and wiping.
void encode_string_throughput(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::string input(size, 'k');
  for (auto _ : state) {
    text_buffer encoded = base64_encode_string(input.c_str());
    benchmark::DoNotOptimize(encoded.data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}
BENCHMARK(encode_string_throughput)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
