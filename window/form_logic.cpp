#include "form_logic.h"

#include "pkg_format.h"
#include "text_convert.h"

namespace pkgui {

bool TypeFieldKeyPasses(wchar_t key) {
  return key == L'\b' || key == L'\r' || (key >= L'0' && key <= L'9');
}

std::wstring WithFullStop(std::wstring message) {
  if (!message.empty() && message.back() > L'.') message += L'.';
  return message;
}

namespace {

// The checks read ASCII only; any other character stands in as one byte that
// is neither a digit nor a blank, so lengths and positions are kept.
std::string AsciiOnly(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

TStartDecision Refuse(const char* message, bool focusTypeField = false) {
  TStartDecision d;
  d.message = message;
  d.focusTypeField = focusTypeField;
  return d;
}

}  // namespace

TStartDecision CheckStartInputs(const TStartInputs& in,
                                const std::function<bool(const std::wstring&)>& isDirectory) {
  if (in.SourceDirectory.empty()) return Refuse("请选择打包目录！");
  if (in.OutputPKGPath.empty()) return Refuse("请选择输出PKG文件！");
  if (in.PKGType.empty()) return Refuse("请填写封包类型！", true);

  TStartDecision d;
  if (in.Game == 3) {
    if (in.CustomKey.empty()) return Refuse("请填写封包密码（HEX）！");
    if (in.CustomKey.size() % 2 != 0) return Refuse("密钥格式错误！");
    pkg::KeyTextResult key = pkg::ParseKeyText(AsciiOnly(in.CustomKey));
    if (key.error != pkg::KeyTextError::kNone) return Refuse("密钥格式错误！");
    d.key = std::move(key.bytes);
  } else {
    const pkg::BuiltInKey& key = in.Game == 2 ? pkg::kGame2Key : pkg::kGame1Key;
    d.key.assign(key.begin(), key.end());
  }
  if (!isDirectory(in.SourceDirectory)) return Refuse("打包目录不存在！");
  if (!pkg::TryStrToInt(AsciiOnly(in.PKGType), d.PKGType))
    return Refuse("封包类型为纯数字！", true);
  d.passed = true;
  return d;
}

}  // namespace pkgui
