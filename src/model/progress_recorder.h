// ProgressRecorder: a Progress that keeps the calls it receives and hands
// them on later, in the same order, to another Progress, then passes every
// further call straight through. The build driver gives one to each module
// line it builds ahead of its turn, so that the line's phases and stage
// timings reach the front end in books-list order.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "model/progress.h"

namespace quillavor {

class ProgressRecorder : public Progress {
 public:
  // `lock` guards this recorder and the Progress it follows: every call
  // takes it. It must outlive the recorder.
  explicit ProgressRecorder(std::mutex& lock) : lock_(lock) {}
  // Kept calls refer to no one; a copy would share nothing sensible.
  ProgressRecorder(const ProgressRecorder&) = delete;
  ProgressRecorder& operator=(const ProgressRecorder&) = delete;

  void Phase(std::u16string_view text) override;
  // Passed on while following; nothing is kept, a late pump has no use.
  void Pump() override;
  void StageStarted(Stage stage) override;
  void StageDone(Stage stage, std::chrono::nanoseconds elapsed) override;

  // Replays the calls kept so far on `target` and drops them; later calls go
  // straight to it. The caller holds the lock. `target` must outlive the
  // recorder's use.
  void ReplayAndFollow(Progress& target);

 private:
  using Call = std::function<void(Progress&)>;
  // Passes `call` on, or keeps it until ReplayAndFollow.
  void Handle(Call call);

  std::mutex& lock_;
  std::vector<Call> kept_;      // guarded by lock_
  Progress* target_ = nullptr;  // guarded by lock_; set once following
};

}  // namespace quillavor
