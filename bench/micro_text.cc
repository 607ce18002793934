// Micro-benchmarks of the hot paths of a build, on the corpus: the source
// preparation, the word tokenizer and the word dictionary (on its verse lines),
// and the rewrite pass.
#include <benchmark/benchmark.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/tokenizer.h"
#include "markup/rewrite.h"
#include "model/dictionary.h"
#include "model/module.h"
#include "platform/files.h"
#include "platform/text.h"
#include "source/source_loader.h"

namespace quillavor {
namespace {

// The corpus as read from disk (UTF-8), or empty when it is missing.
const std::string& CorpusBytes() {
  static const std::string bytes = [] {
    try {
      const std::vector<uint8_t> raw =
          files::ReadWholeFile(text::DecodeUtf8(QUILLAVOR_CORPUS_DIR "/kjv.txt"));
      return std::string(raw.begin(), raw.end());
    } catch (const std::exception&) {
      return std::string();
    }
  }();
  return bytes;
}

// The verse lines of the corpus (those starting with a digit), decoded.
const std::vector<std::u16string>& VerseLines() {
  static const std::vector<std::u16string> lines = [] {
    std::vector<std::u16string> out;
    std::string_view rest = CorpusBytes();
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      const std::string_view line = rest.substr(0, end);
      if (!line.empty() && line[0] >= '0' && line[0] <= '9') out.push_back(text::DecodeUtf8(line));
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
    return out;
  }();
  return lines;
}

bool SkipWithoutCorpus(benchmark::State& state) {
  if (!VerseLines().empty()) return false;
  state.SkipWithError("no corpus at " QUILLAVOR_CORPUS_DIR "/kjv.txt");
  return true;
}

// The byte pass that prepares a source, over the whole corpus: without
// options (argument 0) and with "windowspage" (argument 1).
void BM_PrepareSource(benchmark::State& state) {
  if (SkipWithoutCorpus(state)) return;
  const std::string_view corpus = CorpusBytes();
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(corpus.data()),
                                       corpus.size());
  const std::u16string_view options = state.range(0) == 0 ? u"" : u"windowspage";
  for (auto _ : state) {
    Module module;
    benchmark::DoNotOptimize(PrepareSource(module, bytes, options));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
}
BENCHMARK(BM_PrepareSource)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_TokenizeVerses(benchmark::State& state) {
  if (SkipWithoutCorpus(state)) return;
  std::vector<std::u16string_view> words;
  int64_t units = 0;
  for (auto _ : state) {
    for (const std::u16string& line : VerseLines()) {
      WordTokenizer(line, words);
      benchmark::DoNotOptimize(words.data());
      units += static_cast<int64_t>(line.size());
    }
  }
  state.SetBytesProcessed(units * 2);
}
BENCHMARK(BM_TokenizeVerses)->Unit(benchmark::kMillisecond);

// Every word of the corpus looked up in one dictionary, as the index does:
// the first pass fills it, later passes find every word.
void BM_DictionaryLookups(benchmark::State& state) {
  if (SkipWithoutCorpus(state)) return;
  std::vector<std::u16string> tokens;
  std::vector<std::u16string_view> words;
  for (const std::u16string& line : VerseLines()) {
    WordTokenizer(line, words);
    for (std::u16string_view w : words) tokens.emplace_back(w);
  }
  Module module;
  DictionaryAccel accel;
  for (const std::u16string& t : tokens) FindOrAddWord(module, accel, t);
  for (auto _ : state) {
    for (const std::u16string& t : tokens)
      benchmark::DoNotOptimize(FindOrAddWord(module, accel, t));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tokens.size()));
  state.counters["entries"] = module.wordCount;
}
BENCHMARK(BM_DictionaryLookups)->Unit(benchmark::kMillisecond);

// The rewrite pass with UTF-8 decoding over the whole corpus.
void BM_RewriteDecode(benchmark::State& state) {
  if (SkipWithoutCorpus(state)) return;
  const std::string_view source = CorpusBytes();
  std::u16string out(static_cast<size_t>(RewrittenLength(source)) + 1, u'\0');
  for (auto _ : state) {
    // Both walks, as a build makes them: the length first, then the text.
    benchmark::DoNotOptimize(RewrittenLength(source));
    benchmark::DoNotOptimize(RewriteDecodeInto(source, out.data()));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}
BENCHMARK(BM_RewriteDecode)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillavor
