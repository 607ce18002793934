#include "model/progress_recorder.h"

#include <string>

namespace quillavor {

void ProgressRecorder::Handle(Call call) {
  const std::lock_guard guard(lock_);
  if (target_ != nullptr) {
    call(*target_);
  } else {
    kept_.push_back(std::move(call));
  }
}

void ProgressRecorder::Phase(std::u16string_view text) {
  Handle([text = std::u16string(text)](Progress& p) { p.Phase(text); });
}

void ProgressRecorder::Pump() {
  const std::lock_guard guard(lock_);
  if (target_ != nullptr) target_->Pump();
}

void ProgressRecorder::StageStarted(Stage stage) {
  Handle([stage](Progress& p) { p.StageStarted(stage); });
}

void ProgressRecorder::StageDone(Stage stage, std::chrono::nanoseconds elapsed) {
  Handle([stage, elapsed](Progress& p) { p.StageDone(stage, elapsed); });
}

void ProgressRecorder::ReplayAndFollow(Progress& target) {
  for (const Call& call : kept_) call(target);
  std::vector<Call>().swap(kept_);
  target_ = &target;
}

}  // namespace quillavor
