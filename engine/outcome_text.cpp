#include "outcome_text.h"

#include <charconv>

#include "pack_notify.h"

namespace pkg {

std::string FormatSeconds(float seconds, const std::string& decimalSeparator) {
  // to_chars ignores the C locale, so the separator is always ours to place.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(seconds),
                               std::chars_format::fixed, 3);
  std::string text(buf, r.ptr);
  if (const auto dot = text.find('.'); dot != std::string::npos)
    text.replace(dot, 1, decimalSeparator.empty() ? "." : decimalSeparator);
  return text;
}

OutcomeText DescribeOutcome(const PackOutcome& outcome, const std::string& decimalSeparator) {
  const NotifyParams params = NotifyParamsOf(outcome.result);
  return DescribeOutcome(params.lParam, params.wParam, outcome.failedFile, outcome.detail,
                         outcome.elapsedSeconds, decimalSeparator);
}

OutcomeText DescribeOutcome(std::intptr_t lParam, std::uintptr_t wParam,
                            const std::string& failedSourceFile, const std::string& failureDetail,
                            float elapsedSeconds, const std::string& decimalSeparator) {
  OutcomeText o;
  if (lParam == NOTIFY_FINISHED) {
    if (wParam != 1) return o;
    o.known = true;
    o.panelText = "打包结束，耗时" + FormatSeconds(elapsedSeconds, decimalSeparator) + "秒";
    return o;
  }
  if (lParam != NOTIFY_FAILED) return o;
  switch (wParam) {
    case FAIL_NO_FILES:
      o.boxText = "没有需要打包的文件！";
      o.panelText = "发生错误：" + o.boxText;
      break;
    case FAIL_CREATE_PKG:
      o.boxText = "无法创建PKG文件！";
      o.panelText = "发生错误：" + o.boxText;
      break;
    case FAIL_OPEN_SOURCE:
      // A folder that could not be listed comes with a separator at its end;
      // the text stays the window's one text for this reason.
      o.boxText = "无法打开源文件：" + failedSourceFile;
      o.panelText = o.boxText;
      break;
    case FAIL_WRITE_PKG:
      o.boxText = "写入PKG文件失败：" + failureDetail;
      o.panelText = "发生错误：" + o.boxText;
      break;
    default:
      return o;
  }
  o.known = true;
  o.failed = true;
  return o;
}

}  // namespace pkg
