// Parsing and encoding speed on the two shapes the programs see most: an
// agent's request line of about 1 KB and a frame at the 1 MiB limit.
#include <string>

#include <benchmark/benchmark.h>

#include "frame/frame.h"
#include "frame/json.h"

namespace {

std::string mcp_line() {
  std::string text =
      R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"navigate",)"
      R"("arguments":{"url":"https://example.com/search?q=frame+codec&lang=en","wait":true,)"
      R"("timeout_ms":15000,"tab":3,"viewport":{"width":1280,"height":800,"scale":1.5},)"
      R"("headers":[{"name":"Accept","value":"text/html"},{"name":"X-Trace","value":"a1b2c3"}],)"
      R"("note":")";
  while (text.size() < 980) text += "lorem ipsum dolor sit amet \u00e9 ";
  text += R"("},"_meta":{"progressToken":"tok-7"}}})";
  return text;
}

std::string mebibyte_frame_body() {
  std::string text = R"({"entries":[)";
  for (int i = 0;; ++i) {
    std::string entry = R"({"name":"file-)" + std::to_string(i) +
                        R"(.txt","size":)" + std::to_string(i * 37) +
                        R"(,"modified":1733700000.25,"kind":"file","hidden":false,"tags":["a","b"]})";
    if (text.size() + entry.size() + 3 > vorn::FRAME_LIMIT) break;
    if (i > 0) text += ',';
    text += entry;
  }
  text += "]}";
  return text;
}

void BM_ParseMcpLine(benchmark::State& state) {
  std::string text = mcp_line();
  for (auto _ : state) {
    auto value = vorn::parse_json(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ParseMcpLine);

void BM_ParseMebibyteFrame(benchmark::State& state) {
  std::string text = mebibyte_frame_body();
  for (auto _ : state) {
    auto value = vorn::parse_json(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ParseMebibyteFrame)->Unit(benchmark::kMillisecond);

void BM_ParseMebibyteString(benchmark::State& state) {
  std::string text = "\"" + std::string(vorn::FRAME_LIMIT - 2, 'a') + "\"";
  for (auto _ : state) {
    auto value = vorn::parse_json(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseMebibyteString)->Unit(benchmark::kMillisecond);

void BM_EncodeMebibyteFrame(benchmark::State& state) {
  vorn::Json value = vorn::parse_json(mebibyte_frame_body()).value();
  for (auto _ : state) {
    auto frame = vorn::encode_frame(value);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_EncodeMebibyteFrame)->Unit(benchmark::kMillisecond);

// The general-purpose parser of the JSON library, for scale.
void BM_LibraryParseMebibyteFrame(benchmark::State& state) {
  std::string text = mebibyte_frame_body();
  for (auto _ : state) {
    auto value = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LibraryParseMebibyteFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
