// Progress: how the core tells a front end what it is doing. The window shows
// phases in its progress label and pumps its event queue; the command line
// prints; tests record. The core never talks to a window directly.
#pragma once

#include <chrono>
#include <string_view>

namespace quillavor {

// The stages of one module build, for timings.
enum class Stage {
  kLoad,            // reading the source and the byte pass
  kRewriteDecode,   // rewrite pass and UTF-8 decoding into the pool
  kLineCompiler,    // the line loop
  kLinkResolution,  // "Resolve linkage"
  kIndexFinalize,   // "Finalize WORD indexes" and pool finalisation
  kImageAssembly,   // the module image in memory
  kCompression,     // zlib stream
  kFileWrite,       // module file (and raw file) on disk
};
inline constexpr int kStageCount = 8;
const char* StageName(Stage stage);

class Progress {
 public:
  virtual ~Progress() = default;

  // A new phase text for the progress label, as the system's own string (a
  // doubled "&&" stands for one "&"; front ends show the single form). The
  // front end shows it and lets its user interface catch up.
  virtual void Phase(std::u16string_view text) = 0;

  // Lets the user interface process pending events (every 100 source lines).
  virtual void Pump() {}

  // A stage of the current module starts; StageDone follows when it ends.
  virtual void StageStarted(Stage /*stage*/) {}

  // A stage of the current module finished after `elapsed`.
  virtual void StageDone(Stage /*stage*/, std::chrono::nanoseconds /*elapsed*/) {}
};

// A Progress that ignores everything.
class NullProgress : public Progress {
 public:
  void Phase(std::u16string_view) override {}
};

// Reports a stage as it starts and measures it from construction to
// destruction.
class StageTimer {
 public:
  StageTimer(Progress& progress, Stage stage) : progress_(progress), stage_(stage) {
    progress_.StageStarted(stage_);
    start_ = std::chrono::steady_clock::now();
  }
  ~StageTimer() { progress_.StageDone(stage_, std::chrono::steady_clock::now() - start_); }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

 private:
  Progress& progress_;
  Stage stage_;
  std::chrono::steady_clock::time_point start_;
};

// The shown form of a system text: every "&&" becomes "&".
std::u16string ShownText(std::u16string_view text);

}  // namespace quillavor
