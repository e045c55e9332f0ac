// The control table as the window uses it: scaling, the Tab order across the
// group boxes, and the arrow keys within the key choice.
#include "form_layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace pkgui {
namespace {

TEST(ScaleToDpiTest, RoundsToTheNearestPixelLikeMulDiv) {
  const struct {
    int value, dpi, scaled;
  } kCases[] = {
      {601, 96, 601},  {601, 120, 751},  // 751.25
      {17, 120, 21},                     // 21.25
      {25, 144, 38},                     // 37.5 rounds up
      {-12, 144, -18}, {-12, 120, -15},  // the font height keeps its sign
      {1, 120, 1},     {105, 192, 210}, {0, 144, 0}, {-1, 144, -2},  // -1.5 away from zero
  };
  for (const auto& c : kCases)
    EXPECT_EQ(ScaleToDpi(c.value, c.dpi), c.scaled) << c.value << " at " << c.dpi;
}

TEST(FormLayoutTest, EveryControlLiesInsideItsParentAtSeveralResolutions) {
  for (int dpi : {96, 120, 144, 192}) {
    for (const ControlLayout& c : FormLayout()) {
      SCOPED_TRACE(testing::Message() << c.name << " at " << dpi);
      ASSERT_EQ(&LayoutOf(c.id), &c);
      const int h = c.height == kAutoHeight ? 21 : c.height;
      int parentW = kClientWidth, parentH = kClientHeight;
      if (c.parent != Ctl::None) {
        const ControlLayout& p = LayoutOf(c.parent);
        EXPECT_EQ(p.kind, Kind::GroupBox);
        parentW = p.width;
        parentH = p.height;
      }
      EXPECT_LE(ScaleToDpi(c.left + c.width, dpi), ScaleToDpi(parentW, dpi));
      EXPECT_LE(ScaleToDpi(c.top + h, dpi), ScaleToDpi(parentH, dpi));
    }
  }
}

TEST(FormLayoutTest, TabVisitsTheControlsGroupByGroup) {
  const std::vector<Ctl> expected = {
      Ctl::cxTextEdit1,    Ctl::cxButton1,      Ctl::cxTextEdit2, Ctl::cxButton2,
      Ctl::cxMemo1,        Ctl::cxCheckBox1,    Ctl::cxTextEdit4, Ctl::cxRadioButton1,
      Ctl::cxRadioButton2, Ctl::cxRadioButton3, Ctl::cxTextEdit3, Ctl::cxButton3,
      Ctl::cxButton4,
  };
  EXPECT_EQ(TabSequence(), expected);
}

// The window at start: the key field and the abort button disabled, the
// first radio button selected (the only one Tab stops at).
bool AtStart(Ctl id) {
  return id != Ctl::cxTextEdit3 && id != Ctl::cxButton4 && id != Ctl::cxRadioButton2 &&
         id != Ctl::cxRadioButton3;
}
// Working: only the abort button takes the focus.
bool Working(Ctl id) {
  return id == Ctl::cxButton4;
}
// The custom key chosen: its radio button and the key field take the focus.
bool Custom(Ctl id) {
  return id != Ctl::cxButton4 && id != Ctl::cxRadioButton1 && id != Ctl::cxRadioButton2;
}
bool Nothing(Ctl) {
  return false;
}

TEST(FormLayoutTest, TabAndShiftTabSkipWhatCannotTakeTheFocus) {
  const struct {
    const char* what;
    bool (*canFocus)(Ctl);
    Ctl from;
    bool forward;
    Ctl to;
  } kCases[] = {
      {"from the window", AtStart, Ctl::None, true, Ctl::cxTextEdit1},
      {"back from the window", AtStart, Ctl::None, false, Ctl::cxButton3},
      {"into the group at its choice", AtStart, Ctl::cxTextEdit4, true, Ctl::cxRadioButton1},
      {"out of the group", AtStart, Ctl::cxRadioButton1, true, Ctl::cxButton3},
      {"round to the first", AtStart, Ctl::cxButton3, true, Ctl::cxTextEdit1},
      {"back round to the last", AtStart, Ctl::cxTextEdit1, false, Ctl::cxButton3},
      {"across group boxes", AtStart, Ctl::cxButton2, true, Ctl::cxMemo1},
      {"back across group boxes", AtStart, Ctl::cxCheckBox1, false, Ctl::cxMemo1},
      {"into the custom choice", Custom, Ctl::cxTextEdit4, true, Ctl::cxRadioButton3},
      {"choice to key field", Custom, Ctl::cxRadioButton3, true, Ctl::cxTextEdit3},
      {"back into the custom choice", Custom, Ctl::cxButton3, false, Ctl::cxTextEdit3},
      {"working, from anywhere", Working, Ctl::cxTextEdit1, true, Ctl::cxButton4},
      {"working, stays", Working, Ctl::cxButton4, true, Ctl::cxButton4},
      {"nothing focusable", Nothing, Ctl::None, true, Ctl::None},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(NextTabStop(c.from, c.forward, c.canFocus), c.to) << c.what;
}

bool KeyFieldOff(Ctl id) {
  return id != Ctl::cxTextEdit3;
}
bool Everything(Ctl) {
  return true;
}

TEST(FormLayoutTest, ArrowsGoRoundTheKeyGroupWithTheKeyFieldWhenEnabled) {
  const struct {
    bool (*canFocus)(Ctl);
    Ctl from;
    bool forward;
    Ctl to;
  } kCases[] = {
      {KeyFieldOff, Ctl::cxRadioButton1, true, Ctl::cxRadioButton2},
      {KeyFieldOff, Ctl::cxRadioButton2, true, Ctl::cxRadioButton3},
      {KeyFieldOff, Ctl::cxRadioButton3, true, Ctl::cxRadioButton1},
      {KeyFieldOff, Ctl::cxRadioButton1, false, Ctl::cxRadioButton3},
      {KeyFieldOff, Ctl::cxRadioButton2, false, Ctl::cxRadioButton1},
      {Everything, Ctl::cxRadioButton3, true, Ctl::cxTextEdit3},
      {Everything, Ctl::cxRadioButton1, false, Ctl::cxTextEdit3},
      {Everything, Ctl::cxTextEdit3, true, Ctl::cxRadioButton1},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(NextInGroup(c.from, c.forward, c.canFocus), c.to)
        << LayoutOf(c.from).name << (c.forward ? " forward" : " back");
  }
}

}  // namespace
}  // namespace pkgui
