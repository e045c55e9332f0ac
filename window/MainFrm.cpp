#include "MainFrm.h"

#include <commctrl.h>
#include <imm.h>
#include <objbase.h>
#include <shlobj.h>
#include <windowsx.h>

#include <stdexcept>
#include <vector>

#include "exclusion_lines.h"
#include "form_logic.h"
#include "outcome_text.h"
#include "pack_notify.h"
#include "pkg_format.h"
#include "settings.h"
#include "win_text.h"

namespace pkgui {

TForm1* Form1 = nullptr;
std::weak_ptr<pkg::PKGPackWorker> PackWorker;

namespace {

constexpr int kFirstControlId = 100;  // control ids follow the table's order

// The system's class and style for each kind of control.
struct KindClass {
  const wchar_t* className;
  DWORD style;
  DWORD exStyle;
};

KindClass ClassOf(Kind kind) {
  switch (kind) {
    case Kind::GroupBox:
      return {WC_BUTTONW, BS_GROUPBOX | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT};
    case Kind::Label:
      return {WC_STATICW, SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_NOTIFY, 0};
    case Kind::TextEdit:
      return {WC_EDITW, ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case Kind::Memo:
      return {WC_EDITW,
              ES_LEFT | ES_MULTILINE | ES_WANTRETURN | ES_AUTOHSCROLL | ES_AUTOVSCROLL |
                  WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
    case Kind::Button:
      return {WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP, 0};
    case Kind::CheckBox:
      return {WC_BUTTONW, BS_AUTOCHECKBOX | WS_TABSTOP, 0};
    case Kind::RadioButton:
      // Not an auto radio button: the form decides when a selection is new.
      return {WC_BUTTONW, BS_RADIOBUTTON, 0};
    case Kind::StatusBar:
      return {STATUSCLASSNAMEW, CCS_NOPARENTALIGN | CCS_NORESIZE, 0};
  }
  return {WC_STATICW, 0, 0};
}

bool IsKeyChoice(Ctl id) {
  return id == Ctl::cxRadioButton1 || id == Ctl::cxRadioButton2 || id == Ctl::cxRadioButton3;
}

bool IsDescendant(HWND ancestor, HWND hwnd) {
  return hwnd && (hwnd == ancestor || IsChild(ancestor, hwnd));
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string UserDecimalSeparator() {
  wchar_t buf[8] = {};
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8) > 1)
    return WideToUtf8(buf);
  return ".";
}

// The browser opens on the starting folder, expanded down to it.
int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM startFolder) {
  if (msg == BFFM_INITIALIZED && startFolder)
    SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, startFolder);
  return 0;
}

// The application's top-level windows that a modal dialog over owner should
// block besides owner itself, which the dialog disables on its own.
BOOL CALLBACK CollectEnabledWindows(HWND hwnd, LPARAM list) {
  if (IsWindowVisible(hwnd) && IsWindowEnabled(hwnd))
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
  return TRUE;
}

constexpr char kStatusAborted[] = "打包进程已中止！";
constexpr char kErrorCaption[] = "错误";
constexpr char kChooseFolderInstruction[] = "请选择需要打包的目录";

}  // namespace

TForm1::TForm1(std::string settingsPath, bool endsProgram)
    : settingsPath_(std::move(settingsPath)), endsProgram_(endsProgram) {
  Form1 = this;
}

TForm1::~TForm1() {
  if (handle_) DestroyWindow(handle_);
  if (font_) DeleteObject(font_);
  if (Form1 == this) Form1 = nullptr;
}

template <typename Fn>
void TForm1::Guarded(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    ShowException(&e);
  } catch (...) {
    ShowException(nullptr);
  }
}

void TForm1::ShowException(const std::exception* e) {
  const std::wstring message = e ? Utf8ToWide(e->what()) : L"Unknown error";
  MessageBoxW(handle_, WithFullStop(message).c_str(), Utf8ToWide(kFormCaption).c_str(),
              MB_OK | MB_ICONERROR);
}

void TForm1::Create(HINSTANCE instance) {
  const std::wstring className = Utf8ToWide(kFormClassName);
  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(instance, className.c_str(), &wc)) {
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = className.c_str();
    if (!RegisterClassExW(&wc)) throw std::runtime_error("cannot register the window class");
  }

  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  decimalSeparator_ = UserDecimalSeparator();

  // A fixed single border: no sizing frame and no maximize button.
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, ScaleToDpi(kClientWidth, dpi_), ScaleToDpi(kClientHeight, dpi_)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  CreateWindowExW(0, className.c_str(), Utf8ToWide(kFormCaption).c_str(), style, kFormLeft,
                  kFormTop, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                  instance, this);
  if (!handle_) throw std::runtime_error("cannot create the main window");

  host_.Attach(handle_, [this](const std::wstring& text) { StatusBar1.SetPanelText(0, text); });
  CreateControls();
  CreateHints();
  Guarded([this] { FormCreate(); });
}

void TForm1::Show(int showCommand) {
  ShowWindow(handle_, showCommand);
  UpdateWindow(handle_);
}

TWinControl& TForm1::Control(Ctl id) {
  switch (id) {
    case Ctl::cxGroupBox1:
      return cxGroupBox1;
    case Ctl::Label1:
      return Label1;
    case Ctl::cxTextEdit1:
      return cxTextEdit1;
    case Ctl::cxButton1:
      return cxButton1;
    case Ctl::Label2:
      return Label2;
    case Ctl::cxTextEdit2:
      return cxTextEdit2;
    case Ctl::cxButton2:
      return cxButton2;
    case Ctl::cxGroupBox2:
      return cxGroupBox2;
    case Ctl::cxMemo1:
      return cxMemo1;
    case Ctl::Label3:
      return Label3;
    case Ctl::cxGroupBox3:
      return cxGroupBox3;
    case Ctl::cxCheckBox1:
      return cxCheckBox1;
    case Ctl::Label4:
      return Label4;
    case Ctl::cxTextEdit4:
      return cxTextEdit4;
    case Ctl::cxGroupBox4:
      return cxGroupBox4;
    case Ctl::cxRadioButton1:
      return cxRadioButton1;
    case Ctl::cxRadioButton2:
      return cxRadioButton2;
    case Ctl::cxRadioButton3:
      return cxRadioButton3;
    case Ctl::cxTextEdit3:
      return cxTextEdit3;
    case Ctl::cxButton3:
      return cxButton3;
    case Ctl::cxButton4:
      return cxButton4;
    case Ctl::StatusBar1:
      return StatusBar1;
    case Ctl::None:
      break;
  }
  throw std::logic_error("no such control");
}

Ctl TForm1::IdOf(HWND hwnd) const {
  const int index = GetDlgCtrlID(hwnd) - kFirstControlId;
  if (!IsDescendant(handle_, hwnd) || index < 0 || index >= kControlCount) return Ctl::None;
  return static_cast<Ctl>(index);
}

void TForm1::CreateControls() {
  font_ = CreateFontW(ScaleToDpi(kFontHeight, dpi_), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                      ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, Utf8ToWide(kFontFace).c_str());

  // Auto heights and label sizes come from the font actually chosen.
  HDC dc = GetDC(handle_);
  HGDIOBJ old = SelectObject(dc, font_);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  const int lineHeight = tm.tmHeight;

  for (const ControlLayout& c : FormLayout()) {
    const KindClass kc = ClassOf(c.kind);
    const HWND parent = c.parent == Ctl::None ? handle_ : Control(c.parent).Handle;
    const std::wstring text = Utf8ToWide(c.text);
    int width = ScaleToDpi(c.width, dpi_);
    int height = ScaleToDpi(c.height, dpi_);
    switch (c.kind) {
      case Kind::TextEdit:
        height = lineHeight + ScaleToDpi(8, dpi_);
        break;
      case Kind::CheckBox:
        if (c.height == kAutoHeight) height = lineHeight + ScaleToDpi(6, dpi_);
        break;
      case Kind::Label: {
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        width = size.cx;
        height = lineHeight;
        break;
      }
      default:
        break;
    }
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | kc.style;
    if (!c.enabled) style |= WS_DISABLED;
    if (c.kind == Kind::RadioButton && c.checked) style |= WS_TABSTOP;
    const int id = kFirstControlId + static_cast<int>(c.id);
    const HWND hwnd = CreateWindowExW(
        kc.exStyle, kc.className, c.kind == Kind::StatusBar ? nullptr : text.c_str(), style,
        ScaleToDpi(c.left, dpi_), ScaleToDpi(c.top, dpi_), width, height, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (!hwnd) throw std::runtime_error(std::string("cannot create ") + c.name);
    Control(c.id).Handle = hwnd;
    if (c.kind != Kind::StatusBar)
      SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), 0);
    // No length limit: the system's default stops a paste at about 32,000
    // characters, and a cut exclusion list would pack what it leaves out.
    if (c.kind == Kind::TextEdit || c.kind == Kind::Memo) SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
    if (c.checked) SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
    if (c.kind == Kind::GroupBox) {
      SetWindowSubclass(hwnd, GroupBoxProc, 0, reinterpret_cast<DWORD_PTR>(this));
    } else if (c.tabOrder != kNoTab) {
      SetWindowSubclass(hwnd, ControlProc, 0, reinterpret_cast<DWORD_PTR>(this));
    }
  }
  SelectObject(dc, old);
  ReleaseDC(handle_, dc);

  // The status bar keeps the system's status font and has no size grip.
  const int parts[2] = {ScaleToDpi(kStatusPanel0Width, dpi_), -1};
  SendMessageW(StatusBar1.Handle, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
  StatusBar1.SetPanelText(0, Utf8ToWide(kStatusVersion));
  StatusBar1.SetPanelText(1, Utf8ToWide(kStatusReady));
}

void TForm1::CreateHints() {
  hints_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                           WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, handle_, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  if (!hints_) return;  // the window works without its hints
  SetWindowSubclass(hints_, HintsProc, 0, reinterpret_cast<DWORD_PTR>(this));
  // A maximum width lets the two-line hints break at their CR LF.
  SendMessageW(hints_, TTM_SETMAXTIPWIDTH, 0, ScaleToDpi(1000, dpi_));
  for (const ControlLayout& c : FormLayout()) {
    if (!c.hint) continue;
    std::wstring text = Utf8ToWide(c.hint);
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = GetParent(Control(c.id).Handle);
    ti.uId = reinterpret_cast<UINT_PTR>(Control(c.id).Handle);
    ti.lpszText = text.data();
    SendMessageW(hints_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

HWND TForm1::DisabledHintAt(POINT screen) {
  for (const ControlLayout& c : FormLayout()) {
    const HWND hwnd = Control(c.id).Handle;
    RECT r;
    if (c.hint && !IsWindowEnabled(hwnd) && IsWindowVisible(hwnd) && GetWindowRect(hwnd, &r) &&
        PtInRect(&r, screen))
      return hwnd;
  }
  return nullptr;
}

// A disabled control gets no mouse messages, so the window passes the mouse's
// moves on for it: its hint shows all the same.
void TForm1::RelayHint(LPARAM mouse) {
  if (!hints_) return;
  POINT pt{GET_X_LPARAM(mouse), GET_Y_LPARAM(mouse)};
  ClientToScreen(handle_, &pt);
  MSG msg{handle_, WM_MOUSEMOVE, 0, mouse, 0, pt};
  if (const HWND disabled = DisabledHintAt(pt)) {
    POINT local = pt;
    ScreenToClient(disabled, &local);
    msg.hwnd = disabled;
    msg.lParam = MAKELPARAM(local.x, local.y);
  }
  SendMessageW(hints_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

// The tooltip asks which window lies under the mouse before it shows a hint;
// for a disabled control the system would name its parent.
LRESULT CALLBACK TForm1::HintsProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                   DWORD_PTR self) {
  if (msg == TTM_WINDOWFROMPOINT) {
    if (const HWND disabled =
            reinterpret_cast<TForm1*>(self)->DisabledHintAt(*reinterpret_cast<POINT*>(lParam)))
      return reinterpret_cast<LRESULT>(disabled);
  } else if (msg == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, HintsProc, 0);
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

void TForm1::FormCreate() {
  LoadSettings();
}

void TForm1::LoadSettings() {
  TProfileFile ini(settingsPath_);
  if (!ini.Exists()) return;
  try {
    cxTextEdit1.SetText(Cp936ToWide(ini.ReadString(kSettingsSection, kKeySourceDirectory)));
    cxTextEdit2.SetText(Cp936ToWide(ini.ReadString(kSettingsSection, kKeyOutputPKGPath)));
    cxTextEdit3.SetText(Cp936ToWide(ini.ReadString(kSettingsSection, kKeyCustomPKGKey)));
    cxCheckBox1.SetChecked(ini.ReadBool(kSettingsSection, kKeyCompressData, false));
    cxTextEdit4.SetText(
        std::to_wstring(ini.ReadInteger(kSettingsSection, kKeyPKGType, kDefaultPKGType)));
    switch (ini.ReadInteger(kSettingsSection, kKeyGame, kDefaultGame)) {
      case 1:
        SelectKeyChoice(cxRadioButton1);
        break;
      case 2:
        SelectKeyChoice(cxRadioButton2);
        break;
      case 3:
        SelectKeyChoice(cxRadioButton3);
        break;
      default:
        break;
    }
  } catch (...) {
    // A damaged or unreadable file: what was read stays, the rest keeps its
    // initial state, and the user is not bothered.
  }
}

void TForm1::SaveSettings(std::int32_t pkgType) {
  TProfileFile ini(settingsPath_);
  TSettingsValues v;
  v.SourceDirectory = WideToCp936(cxTextEdit1.Text());
  v.OutputPKGPath = WideToCp936(cxTextEdit2.Text());
  v.CustomPKGKey = WideToCp936(cxTextEdit3.Text());
  v.CompressData = cxCheckBox1.Checked();
  v.PKGType = pkgType;
  v.Game = cxRadioButton2.Checked() ? 2 : cxRadioButton3.Checked() ? 3 : 1;
  WriteSettings(ini, v);
}

void TForm1::SelectKeyChoice(TcxRadioButton& radio) {
  if (radio.Checked()) return;
  for (TcxRadioButton* r : {&cxRadioButton1, &cxRadioButton2, &cxRadioButton3}) {
    if (r != &radio) r->SetChecked(false);
  }
  radio.SetChecked(true);
  // The selected radio button is the group's only tab stop.
  for (TcxRadioButton* r : {&cxRadioButton1, &cxRadioButton2, &cxRadioButton3}) {
    const LONG_PTR style = GetWindowLongPtrW(r->Handle, GWL_STYLE);
    SetWindowLongPtrW(r->Handle, GWL_STYLE,
                      r == &radio ? style | WS_TABSTOP : style & ~LONG_PTR(WS_TABSTOP));
  }
  if (&radio == &cxRadioButton1) cxRadioButton1Click();
  if (&radio == &cxRadioButton2) cxRadioButton2Click();
  if (&radio == &cxRadioButton3) cxRadioButton3Click();
}

void TForm1::cxRadioButton1Click() {
  cxRadioButton2.SetChecked(false);
  cxRadioButton3.SetChecked(false);
  cxTextEdit3.SetEnabled(false);
}

void TForm1::cxRadioButton2Click() {
  cxRadioButton1.SetChecked(false);
  cxRadioButton3.SetChecked(false);
  cxTextEdit3.SetEnabled(false);
}

void TForm1::cxRadioButton3Click() {
  cxRadioButton1.SetChecked(false);
  cxRadioButton2.SetChecked(false);
  cxTextEdit3.SetEnabled(true);
}

void TForm1::SetControlsEnable(bool enable) {
  for (TWinControl* c : std::initializer_list<TWinControl*>{
           &cxTextEdit1, &cxTextEdit2, &cxTextEdit4, &cxButton1, &cxButton2, &cxCheckBox1,
           &cxRadioButton1, &cxRadioButton2, &cxRadioButton3, &cxMemo1})
    c->SetEnabled(enable);
  if (!enable) {
    cxTextEdit3.SetEnabled(false);
  } else if (cxRadioButton3.Checked()) {
    cxTextEdit3.SetEnabled(true);
  }
}

void TForm1::cxTextEdit4KeyPress(wchar_t& key) {
  if (!TypeFieldKeyPasses(key)) key = L'\0';
}

void TForm1::ErrorBox(const std::wstring& text) {
  MessageBoxW(handle_, text.c_str(), Utf8ToWide(kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
}

void TForm1::ReturnToIdle() {
  SetControlsEnable(true);
  cxButton3.SetEnabled(true);
  cxButton4.SetEnabled(false);
}

void TForm1::cxButton3Click() {
  TStartInputs in;
  in.SourceDirectory = cxTextEdit1.Text();
  in.OutputPKGPath = cxTextEdit2.Text();
  in.PKGType = cxTextEdit4.Text();
  in.CustomKey = cxTextEdit3.Text();
  in.Game = cxRadioButton1.Checked() ? 1 : cxRadioButton2.Checked() ? 2 : 3;
  const TStartDecision d = CheckStartInputs(in, IsDirectory);
  if (!d.passed) {
    ErrorBox(Utf8ToWide(d.message));
    if (d.focusTypeField) cxTextEdit4.SetFocus();
    return;
  }

  SetControlsEnable(false);
  cxButton3.SetEnabled(false);
  cxButton4.SetEnabled(true);
  StatusBar1.SetPanelText(1, Utf8ToWide(kStatusWorking));
  // Without a job to abort the window must not stay working: after the box
  // of a refused save or of a thread that cannot be made, it is idle again.
  try {
    SaveSettings(d.PKGType);
  } catch (const std::exception& e) {
    ShowException(&e);
    ReturnToIdle();
    StatusBar1.SetPanelText(1, Utf8ToWide(kStatusReady));
    return;
  }

  // The job holds itself while its thread runs; this reference lasts only
  // until it is started.
  pkg::PackRequest request;
  request.sourceDirectory = WideToUtf8(in.SourceDirectory);
  request.outputPath = WideToUtf8(in.OutputPKGPath);
  request.compress = cxCheckBox1.Checked();
  request.type = d.PKGType;
  request.key = d.key;
  request.exclude = pkg::ExclusionLines(WideToUtf8(cxMemo1.Text()));
  const std::shared_ptr<pkg::PKGPackWorker> created =
      pkg::PKGPackWorker::Create(host_, request, reinterpret_cast<pkg::WindowHandle>(handle_));
  PackWorker = created;
  if (const pkg::Status s = created->Start(); !s.ok()) {
    PackWorker.reset();
    const std::runtime_error e("Thread creation error: " + s.message());
    ShowException(&e);
    ReturnToIdle();
    StatusBar1.SetPanelText(1, Utf8ToWide(kStatusReady));
  }
}

void TForm1::cxButton4Click() {
  // A job whose thread has returned has released itself: there is nothing to
  // stop, and the outcome it posted returns the window to idle. One that is
  // still there stays alive while this holds it, even if it ends meanwhile.
  const std::shared_ptr<pkg::PKGPackWorker> job = PackWorker.lock();
  // false: the job has already posted its outcome, whose handler will return
  // the window to idle.
  if (!job || !job->Abort()) return;
  PackWorker.reset();
  ReturnToIdle();
  StatusBar1.SetPanelText(0, Utf8ToWide(kStatusAborted));
  StatusBar1.SetPanelText(1, Utf8ToWide(kStatusReady));
}

void TForm1::WMPackNotify(WPARAM wParam, LPARAM lParam) {
  const pkg::OutcomeText o = pkg::DescribeOutcome(
      static_cast<std::intptr_t>(lParam), static_cast<std::uintptr_t>(wParam),
      pkg::FailedSourceFile, pkg::FailureDetail, pkg::ElapsedSeconds, decimalSeparator_);
  if (lParam == pkg::NOTIFY_FAILED || lParam == pkg::NOTIFY_FINISHED) {
    if (o.known) {
      if (!o.boxText.empty()) ErrorBox(Utf8ToWide(o.boxText));
      StatusBar1.SetPanelText(0, Utf8ToWide(o.panelText));
    }
    ReturnToIdle();
  }
  StatusBar1.SetPanelText(1, Utf8ToWide(kStatusReady));
}

void TForm1::cxButton1Click() {
  std::wstring folder = cxTextEdit1.Text();
  if (ChooseFolder(Utf8ToWide(kChooseFolderInstruction), folder)) cxTextEdit1.SetText(folder);
}

bool TForm1::ChooseFolder(const std::wstring& instruction, std::wstring& folder) {
  if (!IsDirectory(folder)) folder.clear();
  // The browser needs COM on this thread; a program that set it up already
  // keeps its own.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  IMalloc* malloc = nullptr;
  if (FAILED(SHGetMalloc(&malloc)) || !malloc) {
    if (SUCCEEDED(com)) CoUninitialize();
    return false;
  }
  auto* buffer = static_cast<wchar_t*>(malloc->Alloc(MAX_PATH * sizeof(wchar_t)));
  bool chosen = false;
  if (buffer) {
    buffer[0] = L'\0';
    BROWSEINFOW bi{};
    bi.hwndOwner = handle_;
    bi.pszDisplayName = buffer;
    bi.lpszTitle = instruction.c_str();
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    if (!folder.empty()) {
      bi.lpfn = BrowseCallback;
      bi.lParam = reinterpret_cast<LPARAM>(folder.c_str());
    }
    std::vector<HWND> disabled;
    EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindows,
                      reinterpret_cast<LPARAM>(&disabled));
    std::erase(disabled, handle_);
    for (HWND h : disabled) EnableWindow(h, FALSE);
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&bi);
    SetErrorMode(oldMode);
    for (HWND h : disabled) EnableWindow(h, TRUE);
    if (item) {
      // A folder the system cannot name as a path is no choice.
      chosen = SHGetPathFromIDListW(item, buffer) != FALSE;
      malloc->Free(item);
      if (chosen) folder = buffer;
    }
    malloc->Free(buffer);
  }
  malloc->Release();
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

void TForm1::cxButton2Click() {
  if (SaveDialog1.Execute(handle_)) cxTextEdit2.SetText(SaveDialog1.FileName);
}

bool TForm1::CanTabTo(Ctl id) {
  const TWinControl& c = Control(id);
  if (!IsWindowEnabled(c.Handle) || !IsWindowVisible(c.Handle)) return false;
  return !IsKeyChoice(id) || static_cast<TcxRadioButton&>(Control(id)).Checked();
}

void TForm1::MoveFocus(Ctl from, bool forward) {
  const Ctl to = NextTabStop(from, forward, [this](Ctl id) { return CanTabTo(id); });
  if (to != Ctl::None) Control(to).SetFocus();
}

LRESULT CALLBACK TForm1::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->handle_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TForm1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
  LRESULT result = 0;
  bool handled = false;
  self->Guarded([&] {
    result = self->HandleMessage(msg, wParam, lParam);
    handled = true;
  });
  return handled ? result : 0;
}

LRESULT TForm1::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND: {
      const HWND from = reinterpret_cast<HWND>(lParam);
      const Ctl id = IdOf(from);
      // A click message sent to a disabled button runs nothing: no second
      // job, and no abort without a job.
      if (HIWORD(wParam) != BN_CLICKED || !IsWindowEnabled(from)) return 0;
      switch (id) {
        case Ctl::cxButton1:
          cxButton1Click();
          break;
        case Ctl::cxButton2:
          cxButton2Click();
          break;
        case Ctl::cxButton3:
          cxButton3Click();
          break;
        case Ctl::cxButton4:
          cxButton4Click();
          break;
        default:
          if (IsKeyChoice(id)) SelectKeyChoice(static_cast<TcxRadioButton&>(Control(id)));
          break;
      }
      return 0;
    }
    case pkg::kWM_PACKNOTIFY:
      WMPackNotify(wParam, lParam);
      return 0;
    case WM_ACTIVATE:
      // Like a dialog, the window gives the focus back to the control that
      // had it, and at first to the first control of the tab order.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (IsDescendant(handle_, focus) && focus != handle_) focusOnActivate_ = focus;
      } else if (!HIWORD(wParam)) {
        if (focusOnActivate_ && IsWindowEnabled(focusOnActivate_)) {
          ::SetFocus(focusOnActivate_);
        } else {
          MoveFocus(Ctl::None, true);
        }
      }
      return 0;
    case WM_KEYDOWN:
      // The focus left a control that was disabled: Tab brings it back.
      if (wParam == VK_TAB) MoveFocus(Ctl::None, GetKeyState(VK_SHIFT) >= 0);
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // Labels, check box and radio buttons on the window's button-face colour.
      SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
      SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_MOUSEMOVE:
      RelayHint(lParam);
      return 0;
    case TMainThreadHost::WM_RUNCALL:
      TMainThreadHost::RunCall(lParam);
      return 0;
    case WM_DESTROY:
      // A job still running is stopped first, so no partial archive outlives
      // the window; its pending texts are cancelled, not waited for.
      if (const std::shared_ptr<pkg::PKGPackWorker> job = PackWorker.lock()) job->Abort();
      PackWorker.reset();
      host_.Detach();
      if (hints_) DestroyWindow(hints_);
      hints_ = nullptr;
      if (endsProgram_) PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(handle_, GWLP_USERDATA, 0);
      handle_ = nullptr;
      for (const ControlLayout& c : FormLayout()) Control(c.id).Handle = nullptr;
      return 0;
    default:
      return DefWindowProcW(handle_, msg, wParam, lParam);
  }
}

// Group boxes are the parents of their controls: what the controls tell their
// parent goes on to the window.
LRESULT CALLBACK TForm1::GroupBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                      DWORD_PTR self) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSCROLLBAR:
      return SendMessageW(reinterpret_cast<TForm1*>(self)->handle_, msg, wParam, lParam);
    case WM_ERASEBKGND: {
      // The box paints only its frame and caption; its children clip the rest.
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, GroupBoxProc, 0);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK TForm1::ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                     DWORD_PTR self) {
  if (msg == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, ControlProc, 0);
    return DefSubclassProc(hwnd, msg, wParam, lParam);
  }
  auto* form = reinterpret_cast<TForm1*>(self);
  LRESULT result = 0;
  form->Guarded([&] { result = form->HandleControlMessage(hwnd, msg, wParam, lParam); });
  return result;
}

// Keys reach the focused control first and the window never looks at them
// before it: Tab and the arrows of the key choice move the focus, and Enter
// and Escape do only what the control itself does with them.
LRESULT TForm1::HandleControlMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const Ctl id = IdOf(hwnd);
  switch (msg) {
    case WM_KEYDOWN:
      if (wParam == VK_TAB && GetKeyState(VK_CONTROL) >= 0 && GetKeyState(VK_MENU) >= 0) {
        MoveFocus(id, GetKeyState(VK_SHIFT) >= 0);
        return 0;
      }
      if (IsKeyChoice(id) &&
          (wParam == VK_LEFT || wParam == VK_UP || wParam == VK_RIGHT || wParam == VK_DOWN)) {
        const Ctl to = NextInGroup(id, wParam == VK_RIGHT || wParam == VK_DOWN, [this](Ctl c) {
          return IsWindowEnabled(Control(c).Handle) && IsWindowVisible(Control(c).Handle);
        });
        if (to != Ctl::None) Control(to).SetFocus();
        return 0;
      }
      break;
    case WM_CHAR:
    case WM_IME_CHAR:
      if (wParam == L'\t') return 0;  // Tab moved the focus already
      if (id == Ctl::cxTextEdit4) {
        wchar_t key = static_cast<wchar_t>(wParam);
        cxTextEdit4KeyPress(key);
        if (key == L'\0') return 0;
        wParam = key;
      }
      break;
    case WM_IME_COMPOSITION:
      // The system turns a finished composition into WM_IME_CHAR messages,
      // which pass the key filter; the edit control would insert it whole.
      if (id == Ctl::cxTextEdit4 && (lParam & GCS_RESULTSTR))
        return DefWindowProcW(hwnd, msg, wParam, lParam);
      break;
    case WM_SETFOCUS:
      if (IsKeyChoice(id)) {
        // Receiving the focus selects a radio button.
        const LRESULT r = DefSubclassProc(hwnd, msg, wParam, lParam);
        SelectKeyChoice(static_cast<TcxRadioButton&>(Control(id)));
        return r;
      }
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace pkgui
