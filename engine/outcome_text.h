// The texts that tell the user how a job ended, for the window's message box
// and status panel and for the console.
#pragma once

#include <cstdint>
#include <string>

#include "pack_request.h"

namespace pkg {

struct OutcomeText {
  bool known = false;  // false: the notification carries no known outcome
  bool failed = false;
  std::string boxText;    // shown in an error box; empty when none is shown
  std::string panelText;  // status panel 0
};

// decimalSeparator is the user's, "." when the locale gives none.
OutcomeText DescribeOutcome(std::intptr_t lParam, std::uintptr_t wParam,
                            const std::string& failedSourceFile, const std::string& failureDetail,
                            float elapsedSeconds, const std::string& decimalSeparator);

// The same from the outcome as a value.
OutcomeText DescribeOutcome(const PackOutcome& outcome, const std::string& decimalSeparator);

// "1.500" for 1.5 seconds: three decimals, no thousands separators.
std::string FormatSeconds(float seconds, const std::string& decimalSeparator);

}  // namespace pkg
