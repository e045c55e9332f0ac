#include "pack_notify.h"

namespace pkg {

float ElapsedSeconds = 0.0f;
std::string FailedSourceFile;
std::string FailureDetail;

NotifyParams NotifyParamsOf(PackResult result) {
  if (result == PackResult::kFinished) return {1, NOTIFY_FINISHED};
  return {static_cast<std::uintptr_t>(result), NOTIFY_FAILED};
}

void PublishOutcome(const PackOutcome& outcome) {
  // Only what the outcome's reason tells is replaced: a window shows the
  // failed file only for FAIL_OPEN_SOURCE, and the time only when finished.
  if (outcome.result == PackResult::kFinished) {
    ElapsedSeconds = outcome.elapsedSeconds;
    return;
  }
  if (outcome.result == PackResult::kOpenSource) FailedSourceFile = outcome.failedFile;
  FailureDetail = outcome.detail;
}

}  // namespace pkg
