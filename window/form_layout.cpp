#include "form_layout.h"

#include <algorithm>

namespace pkgui {
namespace {

constexpr const char* kTypeHint = "除UI.pkg外，其余文件类型均为1。";
constexpr const char* kCompressHint =
    "警告：封包内文件是否压缩由游戏程序决定而不由PKG封包决定！\r\n请务必保持与原封包类型一致！";
constexpr const char* kCustomKeyHint = "该选项为自定义封包密码，如果不懂PKG封包切勿使用！";
constexpr const char* kCustomChoiceHint =
    "该选项为自定义封包密码，如果不懂PKG封包切勿使用！\r\n"
    "右侧填写封包密码，格式为密码HEX值（例：3A7F0C52E9）";

using K = Kind;
constexpr int A = kAutoHeight;
constexpr int N = kNoTab;

// clang-format off
constexpr std::array<ControlLayout, kControlCount> kLayout = {{
  // id                   name              kind           parent            text                    left top width height tab  enabled checked hint
  {Ctl::cxGroupBox1,    "cxGroupBox1",    K::GroupBox,    Ctl::None,        "文件选项",               16,  16, 569, 105, 0, true,  false, nullptr},
  {Ctl::Label1,         "Label1",         K::Label,       Ctl::cxGroupBox1, "打包目录：",             24,  32,  60,  12, N, true,  false, nullptr},
  {Ctl::cxTextEdit1,    "cxTextEdit1",    K::TextEdit,    Ctl::cxGroupBox1, "",                       88,  28, 361,   A, 0, true,  false, nullptr},
  {Ctl::cxButton1,      "cxButton1",      K::Button,      Ctl::cxGroupBox1, "浏览",                  456,  24,  89,  25, 1, true,  false, nullptr},
  {Ctl::Label2,         "Label2",         K::Label,       Ctl::cxGroupBox1, "输出文件：",             24,  64,  60,  12, N, true,  false, nullptr},
  {Ctl::cxTextEdit2,    "cxTextEdit2",    K::TextEdit,    Ctl::cxGroupBox1, "",                       88,  60, 361,   A, 2, true,  false, nullptr},
  {Ctl::cxButton2,      "cxButton2",      K::Button,      Ctl::cxGroupBox1, "浏览",                  456,  58,  89,  25, 3, true,  false, nullptr},
  {Ctl::cxGroupBox2,    "cxGroupBox2",    K::GroupBox,    Ctl::None,        "需要排除打包的文件",     16, 128, 281, 153, 1, true,  false, nullptr},
  {Ctl::cxMemo1,        "cxMemo1",        K::Memo,        Ctl::cxGroupBox2, "",                       16,  24, 249,  97, 0, true,  false, nullptr},
  {Ctl::Label3,         "Label3",         K::Label,       Ctl::cxGroupBox2, "注：请填写文件的相对路径(以\\开头),一行一个",
                                                                                                      16, 128, 252,  12, N, true,  false, nullptr},
  {Ctl::cxGroupBox3,    "cxGroupBox3",    K::GroupBox,    Ctl::None,        "封包选项",              304, 128, 281,  65, 2, true,  false, nullptr},
  {Ctl::cxCheckBox1,    "cxCheckBox1",    K::CheckBox,    Ctl::cxGroupBox3, "启用文件压缩",           24,  26,  97,   A, 0, true,  false, kCompressHint},
  {Ctl::Label4,         "Label4",         K::Label,       Ctl::cxGroupBox3, "封包类型：",            144,  30,  60,  12, N, true,  false, kTypeHint},
  {Ctl::cxTextEdit4,    "cxTextEdit4",    K::TextEdit,    Ctl::cxGroupBox3, "1",                     208,  26,  57,   A, 1, true,  false, kTypeHint},
  {Ctl::cxGroupBox4,    "cxGroupBox4",    K::GroupBox,    Ctl::None,        "封包版本",              304, 200, 281,  81, 3, true,  false, nullptr},
  {Ctl::cxRadioButton1, "cxRadioButton1", K::RadioButton, Ctl::cxGroupBox4, "Zerith",                  24,  24,  57,  17, 0, true,  true,  nullptr},
  {Ctl::cxRadioButton2, "cxRadioButton2", K::RadioButton, Ctl::cxGroupBox4, "Zerith前传",             128,  24,  89,  17, 1, true,  false, nullptr},
  {Ctl::cxRadioButton3, "cxRadioButton3", K::RadioButton, Ctl::cxGroupBox4, "其他（自定义）",          24,  48, 105,  17, 2, true,  false, kCustomChoiceHint},
  {Ctl::cxTextEdit3,    "cxTextEdit3",    K::TextEdit,    Ctl::cxGroupBox4, "",                      128,  46, 137,   A, 3, false, false, kCustomKeyHint},
  {Ctl::cxButton3,      "cxButton3",      K::Button,      Ctl::None,        "开始打包",              176, 288, 121,  25, 4, true,  false, nullptr},
  {Ctl::cxButton4,      "cxButton4",      K::Button,      Ctl::None,        "中止操作",              304, 288, 121,  25, 5, false, false, nullptr},
  {Ctl::StatusBar1,     "StatusBar1",     K::StatusBar,   Ctl::None,        "",                        0, 328, 601,  17, N, true,  false, nullptr},
}};
// clang-format on

bool TakesFocus(Kind k) {
  return k != Kind::GroupBox && k != Kind::Label && k != Kind::StatusBar;
}

// The children of parent that take part in tab order, sorted by it.
std::vector<Ctl> TabChildren(Ctl parent) {
  std::vector<const ControlLayout*> children;
  for (const ControlLayout& c : kLayout)
    if (c.parent == parent && c.tabOrder != kNoTab) children.push_back(&c);
  std::stable_sort(
      children.begin(), children.end(),
      [](const ControlLayout* a, const ControlLayout* b) { return a->tabOrder < b->tabOrder; });
  std::vector<Ctl> ids;
  for (const ControlLayout* c : children) ids.push_back(c->id);
  return ids;
}

void AppendTabSequence(Ctl parent, std::vector<Ctl>& out) {
  for (Ctl id : TabChildren(parent)) {
    if (TakesFocus(LayoutOf(id).kind)) out.push_back(id);
    AppendTabSequence(id, out);
  }
}

// The next entry of ring after from (or before it), skipping rejected ones;
// from itself comes last, so a ring with one usable entry keeps it.
Ctl Step(const std::vector<Ctl>& ring, Ctl from, bool forward,
         const std::function<bool(Ctl)>& canFocus) {
  const std::size_t n = ring.size();
  if (n == 0) return Ctl::None;
  const auto it = std::find(ring.begin(), ring.end(), from);
  // From outside the ring, Tab starts at the first entry and Shift+Tab at the last.
  std::size_t pos = it == ring.end() ? (forward ? n - 1 : 0) : std::size_t(it - ring.begin());
  for (std::size_t k = 1; k <= n; ++k) {
    const std::size_t i = forward ? (pos + k) % n : (pos + n - k) % n;
    if (canFocus(ring[i])) return ring[i];
  }
  return Ctl::None;
}

}  // namespace

const std::array<ControlLayout, kControlCount>& FormLayout() {
  return kLayout;
}

const ControlLayout& LayoutOf(Ctl id) {
  return kLayout[static_cast<std::size_t>(id)];
}

int ScaleToDpi(int value, int dpi) {
  const long long product = static_cast<long long>(value) * dpi;
  const long long half = kLayoutDpi / 2;
  return static_cast<int>(product >= 0 ? (product + half) / kLayoutDpi
                                       : -((-product + half) / kLayoutDpi));
}

std::vector<Ctl> TabSequence() {
  std::vector<Ctl> out;
  AppendTabSequence(Ctl::None, out);
  return out;
}

Ctl NextTabStop(Ctl from, bool forward, const std::function<bool(Ctl)>& canFocus) {
  return Step(TabSequence(), from, forward, canFocus);
}

Ctl NextInGroup(Ctl from, bool forward, const std::function<bool(Ctl)>& canFocus) {
  if (from == Ctl::None) return Ctl::None;
  std::vector<Ctl> ring;
  for (Ctl id : TabChildren(LayoutOf(from).parent))
    if (TakesFocus(LayoutOf(id).kind)) ring.push_back(id);
  return Step(ring, from, forward, canFocus);
}

}  // namespace pkgui
