// Parsing and encoding speed on the two shapes the programs see most: an
// agent's request line of about 1 KB and a frame at the 1 MiB limit; and
// writing speed on a 1 MiB tool result, the bridge's heaviest relay.
#include <string>
#include <vector>

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
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mebibyte_frame_body().size()));
}
BENCHMARK(BM_EncodeMebibyteFrame)->Unit(benchmark::kMillisecond);

// A tool result whose text is about 1 MiB of mostly ASCII prose: lines of
// plain words with, every `rare` words, one that needs care: a quoted word,
// a backslash, a tab, an accented or wider character. `rare` = 1 makes every
// other word such a one, far denser than a page's extracted text.
vorn::Json tool_result(std::size_t rare) {
  static const char* const kPlain[] = {"the", "browser", "reported", "page", "text", "with",
                                       "line", "and", "more", "words", "of", "content"};
  static const char* const kCareful[] = {"\"quoted\"", "caf\u00e9", "a\\path", "na\u00efve",
                                         "tab\there", "\u20ac5", "\U0001F600"};
  std::string text;
  text.reserve(vorn::FRAME_LIMIT);
  std::size_t i = 0;
  while (text.size() < vorn::FRAME_LIMIT - 200) {
    ++i;
    text += i % rare == 0 ? kCareful[(i / rare) % std::size(kCareful)]
                          : kPlain[(i * 7 + i / 16) % std::size(kPlain)];
    text += i % 13 == 0 ? '\n' : ' ';
  }
  return vorn::Json{{"jsonrpc", "2.0"},
                    {"id", 1},
                    {"result", {{"content", vorn::Json::array({{{"type", "text"}, {"text", text}}})}}}};
}

void BM_WriteToolResult(benchmark::State& state) {
  vorn::Json value = tool_result(static_cast<std::size_t>(state.range(0)));
  std::size_t size = vorn::write_json(value).size();
  for (auto _ : state) {
    auto text = vorn::write_json(value);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WriteToolResult)->Arg(1)->Arg(40)->Unit(benchmark::kMicrosecond);

// The same into a reused line buffer, the way the bridge writes to the agent.
void BM_AppendToolResult(benchmark::State& state) {
  vorn::Json value = tool_result(40);
  std::string line;
  for (auto _ : state) {
    line.clear();
    vorn::append_json(line, value);
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_AppendToolResult)->Unit(benchmark::kMicrosecond);

// Many small objects: keys, short strings and numbers of every kind, the
// shape of a directory listing.
void BM_WriteSmallObjects(benchmark::State& state) {
  vorn::Json value = vorn::parse_json(mebibyte_frame_body()).value();
  std::size_t size = vorn::write_json(value).size();
  for (auto _ : state) {
    auto text = vorn::write_json(value);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WriteSmallObjects)->Unit(benchmark::kMicrosecond);

void BM_EncodeToolResult(benchmark::State& state) {
  vorn::Json value = tool_result(40);
  std::size_t size = vorn::write_json(value).size();
  for (auto _ : state) {
    auto frame = vorn::encode_frame(value);
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeToolResult)->Unit(benchmark::kMicrosecond);

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
