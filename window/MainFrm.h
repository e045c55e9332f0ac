// The main window, Form1 of class TForm1: the inputs of a pack job, the start
// and abort buttons and the status bar, on plain Win32 controls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "controls.h"
#include "form_layout.h"
#include "main_thread_host.h"
#include "uPKGPackWorker.h"

namespace pkgui {

class TForm1 {
 public:
  // settingsPath: the settings file (UTF-8); the program passes the one beside
  // its executable. endsProgram: closing the window ends the message loop.
  TForm1(std::string settingsPath, bool endsProgram);
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Creates the window and every control in its initial state, then runs
  // FormCreate; the window is not shown yet.
  void Create(HINSTANCE instance);
  // Shows the window; the focus goes to the first control of the tab order.
  void Show(int showCommand);
  HWND Handle() const { return handle_; }
  TMainThreadHost& JobHost() { return host_; }

  // Components, in the order of declaration of the original form. The theme
  // manifest XPManifest1 is the executable's manifest resource.
  TcxGroupBox cxGroupBox1;
  TcxButton cxButton1;
  TcxButton cxButton2;
  TcxTextEdit cxTextEdit1;
  TcxTextEdit cxTextEdit2;
  TLabel Label1;
  TLabel Label2;
  TcxGroupBox cxGroupBox2;
  TcxGroupBox cxGroupBox3;
  TcxCheckBox cxCheckBox1;
  TcxGroupBox cxGroupBox4;
  TcxRadioButton cxRadioButton1;
  TcxRadioButton cxRadioButton2;
  TcxRadioButton cxRadioButton3;
  TcxTextEdit cxTextEdit3;
  TcxButton cxButton3;
  TcxButton cxButton4;
  TStatusBar StatusBar1;
  TSaveDialog SaveDialog1;
  TLabel Label3;
  TcxMemo cxMemo1;
  TLabel Label4;
  TcxTextEdit cxTextEdit4;

  void cxRadioButton1Click();
  void cxRadioButton2Click();
  void cxRadioButton3Click();
  // Enables or disables the inputs as a group; the key field follows the
  // custom choice when enabling. The command buttons are the callers' own.
  void SetControlsEnable(bool enable);
  // Replaces a character typed into the type field with 0 to drop it.
  void cxTextEdit4KeyPress(wchar_t& key);
  void FormCreate();

  // The folder and output file pickers.
  void cxButton1Click();
  void cxButton2Click();
  // The start command: checks the inputs, saves the settings and starts a job.
  void cxButton3Click();
  // The abort command: stops the running job and returns the window to idle.
  void cxButton4Click();
  // The job's outcome (WM_PACKNOTIFY).
  void WMPackNotify(WPARAM wParam, LPARAM lParam);
  // The shell's folder browser over this window, starting at folder when it
  // names an existing folder; true and folder set when one was confirmed.
  bool ChooseFolder(const std::wstring& instruction, std::wstring& folder);

  // Fills the controls from the settings file; silent about any problem.
  void LoadSettings();
  // Writes the controls' values and pkgType to the settings file; a refused
  // write throws EProfileWriteError.
  void SaveSettings(std::int32_t pkgType);

  // Selects a radio button of the key choice as a click does: when it is not
  // selected yet, the others are deselected and its click handler runs once.
  void SelectKeyChoice(TcxRadioButton& radio);

  // Shows an error that no handler caught, in the application's error box.
  void ShowException(const std::exception* e);

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK GroupBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
  static LRESULT CALLBACK ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR id, DWORD_PTR self);
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleControlMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // Runs fn, showing whatever it throws in the error box.
  template <typename Fn>
  void Guarded(Fn&& fn);

  // The modal box of the start checks and the job's failures.
  void ErrorBox(const std::wstring& text);
  // Inputs and start button enabled, abort button disabled.
  void ReturnToIdle();

  void CreateControls();
  void CreateHints();
  TWinControl& Control(Ctl id);
  Ctl IdOf(HWND hwnd) const;
  bool CanTabTo(Ctl id);
  void MoveFocus(Ctl from, bool forward);
  static LRESULT CALLBACK HintsProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR self);
  HWND DisabledHintAt(POINT screen);
  void RelayHint(LPARAM mouse);

  std::string settingsPath_;
  bool endsProgram_;
  HWND handle_ = nullptr;
  HWND hints_ = nullptr;
  HFONT font_ = nullptr;
  int dpi_ = kLayoutDpi;
  HWND focusOnActivate_ = nullptr;      // the control that had the focus when the window was left
  std::string decimalSeparator_ = ".";  // the user's, read when the window is created
  TMainThreadHost host_;
};

// The main window, from the moment its construction begins.
extern TForm1* Form1;
// The job started last, while it exists: a job owns itself through its thread
// and releases itself, with its file list and index, when its thread body
// returns, whatever the outcome. An abort locks it, so it never meets a job
// that is gone.
extern std::weak_ptr<pkg::PKGPackWorker> PackWorker;

}  // namespace pkgui
