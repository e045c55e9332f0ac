// The main window's controls as laid out at 96 dots per inch: kind, parent,
// text, place, tab order and state at start, and the hints. The window scales
// the table to the screen's resolution and moves the focus by it.
#pragma once

#include <array>
#include <functional>
#include <vector>

namespace pkgui {

inline constexpr int kLayoutDpi = 96;
inline constexpr int kFormLeft = 192;  // screen position, as laid out: never centred
inline constexpr int kFormTop = 130;
inline constexpr int kClientWidth = 601;
inline constexpr int kClientHeight = 345;
inline constexpr int kFontHeight = -12;  // a 12-pixel character height, 9 points
inline constexpr char kFontFace[] = "宋体";
inline constexpr char kFormCaption[] = "Zerith_DURAdazov";
inline constexpr char kFormClassName[] = "TForm1";

inline constexpr int kStatusPanel0Width = 520;
inline constexpr char kStatusVersion[] = "Version:1.00 - Zerith_DURAdazov 开发组 出品";
inline constexpr char kStatusReady[] = "就绪";
inline constexpr char kStatusWorking[] = "工作中";

// In the order of the table: parents before their children, each parent's
// children in their tab order.
enum class Ctl {
  cxGroupBox1,
  Label1,
  cxTextEdit1,
  cxButton1,
  Label2,
  cxTextEdit2,
  cxButton2,
  cxGroupBox2,
  cxMemo1,
  Label3,
  cxGroupBox3,
  cxCheckBox1,
  Label4,
  cxTextEdit4,
  cxGroupBox4,
  cxRadioButton1,
  cxRadioButton2,
  cxRadioButton3,
  cxTextEdit3,
  cxButton3,
  cxButton4,
  StatusBar1,
  None,  // the window itself, as a parent; no control, as a focus
};
inline constexpr int kControlCount = static_cast<int>(Ctl::None);

enum class Kind { GroupBox, Label, TextEdit, Memo, Button, CheckBox, RadioButton, StatusBar };

inline constexpr int kAutoHeight = -1;  // one text line in the window font plus the frame
inline constexpr int kNoTab = -1;       // labels and the status bar take no focus

struct ControlLayout {
  Ctl id;
  const char* name;
  Kind kind;
  Ctl parent;
  const char* text;  // UTF-8
  int left, top, width, height;
  int tabOrder;  // within the parent
  bool enabled;
  bool checked;
  const char* hint;  // nullptr: none; two-line hints have CR LF between the lines
};

const std::array<ControlLayout, kControlCount>& FormLayout();
const ControlLayout& LayoutOf(Ctl id);

// value at kLayoutDpi, rounded to the nearest pixel at dpi, halves away from
// zero, as the system's MulDiv does.
int ScaleToDpi(int value, int dpi);

// The focusable controls in the order Tab visits them: the window's children
// by tab order, each group box's children in its place.
std::vector<Ctl> TabSequence();

// Which control Tab (forward) or Shift+Tab gives the focus to, from the focused
// one (None: the window itself); skips those canFocus rejects. None when no
// control can take the focus.
Ctl NextTabStop(Ctl from, bool forward, const std::function<bool(Ctl)>& canFocus);

// Which control an arrow key moves the focus to from a radio button: the next
// (forward) or previous focusable control of the same group box in its tab
// order, round from the last to the first; skips those canFocus rejects.
Ctl NextInGroup(Ctl from, bool forward, const std::function<bool(Ctl)>& canFocus);

}  // namespace pkgui
