// observer.exe <run-file>
//
// Starts the program under test and watches it from outside, the way a
// user sees it: its top-level windows, the children of its progress
// window, its message boxes, its exit code and the processes it starts.
// Everything seen goes to a UTF-8 log, one record per line:
//
//   <ms>\t<kind>\t<key>=<value>\t<key>=<value>...
//
// <ms> counts from just before CreateProcessW. Values escape backslash,
// tab, CR and LF as \\ \t \r \n. Kinds: observer, screen, start, window,
// child, status, bar, font, label_font, box, dismiss, close, kill, gone, proc,
// proc_exit, exit, mem, timeout, linger_timeout, error, done.
//
// observer (first): pid, and acp, the ANSI code page that programs in this
// prefix and environment start with.
//
// mem (once, when the program has ended or was given up on): peak_ws, the
// largest PeakWorkingSetSize of the program's own process seen while it ran,
// sampled at most every 10 ms and right before a kill; samples, how many
// readings succeeded; last_ms, when the last one was taken. Under Wine the
// counters of an ended process cannot be read, so growth after the last
// sample is not seen.
//
// The run file is UTF-8, one key=value per line, values escaped as above:
//   command=<full command line, quoted exe path and argument text>
//   cwd=<working directory>            (optional)
//   log=<log path>
//   timeout_ms=<n>                     whole run, default 20000
//   poll_ms=<n>                        default 2
//   dismiss_boxes=0|1                  default 1: WM_COMMAND IDOK
//   dismiss_delay_ms=<n>               default 100: a box is read (and
//                                      dismissed) this long after it shows
//   close_when=<text>                  post WM_CLOSE to the progress window
//                                      once a status contains the text
//   close_after_ms=<n>                 ... or n ms after it was first seen
//   kill_when=<text>                   TerminateProcess once a status
//   kill_after_ms=<n>                  contains the text, or after n ms
//   linger_ms=<n>                      default 5000: how long to wait for
//                                      processes the program started
//   show=<n>                           optional wShowWindow for the start
//   inject=<dll path>                  optional: a test DLL the program
//                                      loads before its first instruction
//                                      (a user APC queued while it is
//                                      suspended); a failure is an error
//
// The observer's own exit code: 0 when the program ended by itself or by a
// close/kill action, 2 on timeout, 3 when the run file or the start failed.
//
// Statuses and bar states are sampled every poll, not hooked: a text that
// is replaced again within a poll or two is never seen, so tests assert on
// texts that stay up (a wait, an error, the label before the worker speaks).
// The label's font is read off the screen (label_font: best, its
// character height and score in permille, and the runner-up), since under
// Wine the label does not answer WM_GETFONT across processes.
//
// The observer declares itself DPI-aware: at any system DPI it sees the
// screen, the rectangles and the pixels as they are, not scaled back to 96.
//
// Under Wine, windows can only be found while a display is up; the harness
// makes sure of that, this program just reports what it can see.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <stdarg.h>
#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- log -----------------------------------------------------------------

HANDLE g_log = INVALID_HANDLE_VALUE;
LARGE_INTEGER g_t0, g_freq;

long long now_ms() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return (t.QuadPart - g_t0.QuadPart) * 1000 / g_freq.QuadPart;
}

std::wstring esc(const std::wstring& s) {
  std::wstring o;
  o.reserve(s.size());
  for (wchar_t c : s) {
    switch (c) {
      case L'\\': o += L"\\\\"; break;
      case L'\t': o += L"\\t"; break;
      case L'\r': o += L"\\r"; break;
      case L'\n': o += L"\\n"; break;
      default: o += c;
    }
  }
  return o;
}

std::string utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0,
                              nullptr, nullptr);
  std::string s(n > 0 ? n : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr,
                        nullptr);
  return s;
}

std::wstring widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
  std::wstring w(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
  return w;
}

// One record: kind and key/value pairs. Written in one WriteFile so that a
// reader never sees half a line, even while the run goes on.
struct Rec {
  std::wstring line;
  explicit Rec(const wchar_t* kind) {
    line = std::to_wstring(now_ms());
    line += L'\t';
    line += kind;
  }
  Rec& s(const wchar_t* key, const std::wstring& value) {
    line += L'\t';
    line += key;
    line += L'=';
    line += esc(value);
    return *this;
  }
  Rec& n(const wchar_t* key, long long value) {
    return s(key, std::to_wstring(value));
  }
  Rec& x(const wchar_t* key, unsigned long long value) {
    wchar_t b[32];
    _snwprintf(b, ARRAYSIZE(b) - 1, L"0x%08llX", value);
    b[ARRAYSIZE(b) - 1] = 0;
    return s(key, b);
  }
  Rec& h(const wchar_t* key, HWND w) {
    return x(key, (unsigned long long)(ULONG_PTR)w);
  }
  Rec& r(const wchar_t* key, const RECT& rc) {
    wchar_t b[80];
    _snwprintf(b, ARRAYSIZE(b) - 1, L"%ld,%ld,%ld,%ld", rc.left, rc.top,
               rc.right - rc.left, rc.bottom - rc.top);
    b[ARRAYSIZE(b) - 1] = 0;
    return s(key, b);
  }
  ~Rec() {
    line += L'\n';
    std::string u = utf8(line);
    DWORD done = 0;
    if (g_log != INVALID_HANDLE_VALUE)
      WriteFile(g_log, u.data(), (DWORD)u.size(), &done, nullptr);
  }
};

// ---- run file --------------------------------------------------------------

struct RunPlan {
  std::wstring command, cwd, log, close_when, kill_when, inject;
  long long timeout_ms = 20000, poll_ms = 2, dismiss_delay_ms = 100;
  long long close_after_ms = -1, kill_after_ms = -1, linger_ms = 5000;
  long long show = -1;
  bool dismiss = true;
};

std::wstring unesc(const std::wstring& s) {
  std::wstring o;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == L'\\' && i + 1 < s.size()) {
      wchar_t c = s[++i];
      o += c == L'n' ? L'\n' : c == L'r' ? L'\r' : c == L't' ? L'\t' : c;
    } else {
      o += s[i];
    }
  }
  return o;
}

bool read_file(const wchar_t* path, std::string* out) {
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char buf[65536];
  DWORD got = 0;
  bool ok = true;
  for (;;) {
    if (!ReadFile(f, buf, sizeof buf, &got, nullptr)) { ok = false; break; }
    if (got == 0) break;
    out->append(buf, got);
  }
  CloseHandle(f);
  return ok;
}

// Queues LoadLibraryW(dll) as a user APC of the suspended main thread: it
// runs when the thread starts, before the program's own code. kernel32
// sits at the same address in every process of the prefix.
bool queue_load(HANDLE process, HANDLE thread, const std::wstring& dll) {
  size_t bytes = (dll.size() + 1) * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!remote || !WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr)) return false;
  auto load = (PAPCFUNC)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
  return load && QueueUserAPC(load, thread, (ULONG_PTR)remote) != 0;
}

bool parse_run_file(const wchar_t* path, RunPlan* sp, std::wstring* why) {
  std::string raw;
  if (!read_file(path, &raw)) { *why = L"cannot read run file"; return false; }
  if (raw.size() >= 3 && (unsigned char)raw[0] == 0xEF) raw.erase(0, 3);
  std::wstring text = widen(raw);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(L'\n', pos);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.empty() || line[0] == L'#') continue;
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) { *why = L"bad run file line: " + line; return false; }
    std::wstring k = line.substr(0, eq), v = unesc(line.substr(eq + 1));
    long long num = _wtoi64(v.c_str());
    if (k == L"command") sp->command = v;
    else if (k == L"cwd") sp->cwd = v;
    else if (k == L"log") sp->log = v;
    else if (k == L"close_when") sp->close_when = v;
    else if (k == L"kill_when") sp->kill_when = v;
    else if (k == L"timeout_ms") sp->timeout_ms = num;
    else if (k == L"poll_ms") sp->poll_ms = num;
    else if (k == L"dismiss_boxes") sp->dismiss = num != 0;
    else if (k == L"dismiss_delay_ms") sp->dismiss_delay_ms = num;
    else if (k == L"close_after_ms") sp->close_after_ms = num;
    else if (k == L"kill_after_ms") sp->kill_after_ms = num;
    else if (k == L"linger_ms") sp->linger_ms = num;
    else if (k == L"show") sp->show = num;
    else if (k == L"inject") sp->inject = v;
    else { *why = L"unknown run file key: " + k; return false; }
  }
  if (sp->command.empty() || sp->log.empty()) {
    *why = L"the run file needs command and log";
    return false;
  }
  return true;
}

// ---- looking at windows ----------------------------------------------------

std::wstring class_of(HWND w) {
  wchar_t b[256] = {0};
  int n = GetClassNameW(w, b, ARRAYSIZE(b));
  return std::wstring(b, n > 0 ? n : 0);
}

// WM_GETTEXT through the owner's thread, as a screen reader would; falls
// back to the text the window manager keeps when the thread does not answer.
std::wstring text_of(HWND w) {
  static wchar_t b[8192];
  DWORD_PTR got = 0;
  if (SendMessageTimeoutW(w, WM_GETTEXT, ARRAYSIZE(b), (LPARAM)b,
                          SMTO_ABORTIFHUNG, 500, &got)) {
    if (got >= ARRAYSIZE(b)) got = ARRAYSIZE(b) - 1;
    return std::wstring(b, got);
  }
  int n = InternalGetWindowText(w, b, ARRAYSIZE(b));
  return std::wstring(b, n > 0 ? n : 0);
}

bool send(HWND w, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* res) {
  return SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, 500, res) != 0;
}

RECT client_rect_in_parent(HWND child, HWND parent) {
  RECT rc;
  GetWindowRect(child, &rc);
  MapWindowPoints(HWND_DESKTOP, parent, (POINT*)&rc, 2);
  return rc;
}

struct Shape {
  LONG style = 0, exstyle = 0;
  RECT rc = {0, 0, 0, 0};
  std::wstring title;
  bool operator!=(const Shape& o) const {
    return style != o.style || exstyle != o.exstyle || title != o.title ||
           !EqualRect(&rc, &o.rc);
  }
};

struct Child {
  Shape shape;
  std::wstring cls;
  std::wstring text;  // last label text recorded
  bool text_seen = false;
  int marquee = -1;
  long long pos = -1;
  HFONT font = nullptr;
  bool font_seen = false;
  long long text_since = 0;  // when the label got its current text
  bool measured = false;
};

struct Top {
  DWORD pid = 0;
  std::wstring cls;
  Shape shape;
  bool visible = false;
  long long first_seen = 0;
  long long box_due = -1;  // when to read the box: once it has painted
  bool box_recorded = false;
  long long dismissed_at = -1;
  std::map<HWND, Child> kids;
};

struct Watch {
  RunPlan sp;
  HANDLE job = nullptr;
  PROCESS_INFORMATION pi = {};
  std::set<DWORD> pids;                 // main process and its descendants
  std::map<DWORD, HANDLE> procs;        // descendants we could open
  std::map<HWND, Top> tops;
  HWND main_win = nullptr;
  long long main_seen = -1;
  bool close_sent = false, kill_done = false;
  // The close_when text was seen; the close waits until the window has been
  // recorded as shown, so that a run never looks as if it had no window
  // when the status came before this poll saw the window's WS_VISIBLE.
  bool close_due = false;
  std::wstring last_status;
  unsigned long long peak_ws = 0;  // of the main process, see the mem record
  long long mem_samples = 0, mem_last = -1;
};

// The main process's peak working set, kept in w.peak_ws. every_ms limits
// how often the counters are read (each reading is a server call).
void sample_memory(Watch& w, long long every_ms) {
  long long t = now_ms();
  if (w.mem_last >= 0 && t - w.mem_last < every_ms) return;
  PROCESS_MEMORY_COUNTERS pmc;
  ZeroMemory(&pmc, sizeof pmc);
  pmc.cb = sizeof pmc;
  if (!K32GetProcessMemoryInfo(w.pi.hProcess, &pmc, sizeof pmc)) return;
  if (pmc.PeakWorkingSetSize > w.peak_ws) w.peak_ws = pmc.PeakWorkingSetSize;
  w.mem_samples++;
  w.mem_last = t;
}

struct EnumCtx {
  Watch* w;
  std::vector<std::pair<HWND, DWORD>> found;
};

BOOL CALLBACK enum_top(HWND hwnd, LPARAM lp) {
  EnumCtx* c = (EnumCtx*)lp;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (c->w->pids.count(pid)) c->found.push_back({hwnd, pid});
  return TRUE;
}

BOOL CALLBACK enum_kids(HWND hwnd, LPARAM lp) {
  ((std::vector<HWND>*)lp)->push_back(hwnd);
  return TRUE;
}

Shape top_shape(HWND w) {
  Shape s;
  s.style = GetWindowLongW(w, GWL_STYLE);
  s.exstyle = GetWindowLongW(w, GWL_EXSTYLE);
  GetWindowRect(w, &s.rc);
  s.title = text_of(w);
  return s;
}

void record_top(HWND hwnd, const Top& t, bool first) {
  RECT cr = {0, 0, 0, 0};
  GetClientRect(hwnd, &cr);
  HWND owner = GetWindow(hwnd, GW_OWNER);
  Rec(L"window")
      .h(L"hwnd", hwnd)
      .n(L"pid", t.pid)
      .s(L"class", t.cls)
      .s(L"title", t.shape.title)
      .x(L"style", (unsigned long)t.shape.style)
      .x(L"exstyle", (unsigned long)t.shape.exstyle)
      .r(L"rect", t.shape.rc)
      .r(L"client", cr)
      .n(L"visible", t.visible)
      .h(L"owner", owner)
      .n(L"first", first);
}

// Which of the system's message-box icons the box shows. The icon handle
// belongs to the other process and cannot be read from here, so the icon is
// read off the screen and compared with each system icon drawn on the same
// background.
struct Pixels {
  int w = 0, h = 0;
  std::vector<DWORD> px;
};

bool grab(HDC src, int x, int y, int w, int h, HICON draw, DWORD bg, Pixels* out) {
  BITMAPINFO bi;
  ZeroMemory(&bi, sizeof bi);
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC mem = CreateCompatibleDC(nullptr);
  HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (mem && bmp && bits) {
    HGDIOBJ old = SelectObject(mem, bmp);
    if (draw) {
      DWORD* p = (DWORD*)bits;
      for (int i = 0; i < w * h; i++) p[i] = bg;
      ok = DrawIconEx(mem, 0, 0, draw, w, h, 0, nullptr, DI_NORMAL) != 0;
    } else {
      ok = BitBlt(mem, 0, 0, w, h, src, x, y, SRCCOPY) != 0;
    }
    GdiFlush();
    if (ok) {
      out->w = w;
      out->h = h;
      out->px.assign((DWORD*)bits, (DWORD*)bits + w * h);
      for (DWORD& v : out->px) v &= 0xFFFFFF;
    }
    SelectObject(mem, old);
  }
  if (bmp) DeleteObject(bmp);
  if (mem) DeleteDC(mem);
  return ok;
}

std::wstring icon_name(HWND icon_static) {
  RECT rc;
  GetWindowRect(icon_static, &rc);
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0 || w > 256 || h > 256) return L"unknown";
  HDC screen = GetDC(nullptr);
  Pixels shot;
  bool ok = grab(screen, rc.left, rc.top, w, h, nullptr, 0, &shot);
  ReleaseDC(nullptr, screen);
  if (!ok) return L"unknown";
  // DIB pixels are 0x00RRGGBB; the corner of a system icon is transparent.
  DWORD bg = shot.px[0];
  struct { LPCWSTR id; const wchar_t* name; } known[] = {
      {IDI_HAND, L"error"}, {IDI_EXCLAMATION, L"warning"},
      {IDI_ASTERISK, L"information"}, {IDI_QUESTION, L"question"}};
  const wchar_t* best = L"unknown";
  size_t best_same = 0;
  for (auto& k : known) {
    Pixels drawn;
    if (!grab(nullptr, 0, 0, w, h, LoadIconW(nullptr, k.id), bg, &drawn)) continue;
    size_t same = 0;
    for (size_t i = 0; i < shot.px.size(); i++) same += shot.px[i] == drawn.px[i];
    if (same > best_same) {
      best_same = same;
      best = k.name;
    }
  }
  // Blank or foreign pictures match none of them well.
  if (best_same * 100 < shot.px.size() * 95) return L"unknown";
  return best;
}

void record_box(HWND box, Top& t) {
  std::vector<HWND> kids;
  EnumChildWindows(box, enum_kids, (LPARAM)&kids);
  std::wstring text, buttons, icon = L"none";
  for (HWND k : kids) {
    std::wstring cls = class_of(k);
    LONG st = GetWindowLongW(k, GWL_STYLE);
    if (_wcsicmp(cls.c_str(), L"Static") == 0) {
      if ((st & SS_TYPEMASK) == SS_ICON) {
        icon = icon_name(k);
      } else {
        // The message text; a box shows exactly one text static.
        std::wstring s = text_of(k);
        if (GetDlgCtrlID(k) == 0xFFFF || text.empty()) text = s;
      }
    } else if (_wcsicmp(cls.c_str(), L"Button") == 0 && IsWindowVisible(k)) {
      if (!buttons.empty()) buttons += L'|';
      std::wstring b = text_of(k);
      buttons += b + L":" + std::to_wstring(GetDlgCtrlID(k));
    }
  }
  HWND owner = GetWindow(box, GW_OWNER);
  Rec(L"box")
      .h(L"hwnd", box)
      .n(L"pid", t.pid)
      .s(L"caption", text_of(box))
      .s(L"text", text)
      .s(L"icon", icon)
      .s(L"buttons", buttons)
      .h(L"owner", owner)
      .s(L"owner_class", owner ? class_of(owner) : std::wstring())
      .x(L"style", (unsigned long)GetWindowLongW(box, GWL_STYLE))
      .x(L"exstyle", (unsigned long)GetWindowLongW(box, GWL_EXSTYLE));
  t.box_recorded = true;
}

void act_on_status(Watch& w, const std::wstring& text) {
  if (!w.sp.close_when.empty() && text.find(w.sp.close_when) != std::wstring::npos)
    w.close_due = true;
  if (!w.kill_done && !w.sp.kill_when.empty() &&
      text.find(w.sp.kill_when) != std::wstring::npos) {
    sample_memory(w, 0);
    TerminateProcess(w.pi.hProcess, 9);
    w.kill_done = true;
    Rec(L"kill").s(L"reason", L"kill_when");
  }
}

// The label's font cannot be asked for from another process under Wine
// (WM_GETFONT answers 0 there), so it is recognised by its picture: the
// label's pixels on screen are compared with the same text drawn here in
// each candidate font. Scored over the pixels where either picture has ink,
// so that the empty rest of the label cannot make a wrong font look close.
struct FontCandidate {
  wchar_t name[32];
  const wchar_t* face;  // null: a stock font
  int height;
  int stock;
};

bool draw_text(int w, int h, DWORD bg, HFONT font, const std::wstring& text, Pixels* out) {
  BITMAPINFO bi;
  ZeroMemory(&bi, sizeof bi);
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC mem = CreateCompatibleDC(nullptr);
  HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (mem && bmp && bits) {
    HGDIOBJ old = SelectObject(mem, bmp);
    DWORD* p = (DWORD*)bits;
    for (int i = 0; i < w * h; i++) p[i] = bg;
    HGDIOBJ oldf = SelectObject(mem, font);
    SetTextColor(mem, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(mem, RGB((bg >> 16) & 255, (bg >> 8) & 255, bg & 255));
    SetBkMode(mem, OPAQUE);
    RECT rc = {0, 0, w, h};
    DrawTextW(mem, text.c_str(), (int)text.size(), &rc, DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK);
    GdiFlush();
    out->w = w;
    out->h = h;
    out->px.assign(p, p + w * h);
    for (DWORD& v : out->px) v &= 0xFFFFFF;
    ok = true;
    SelectObject(mem, oldf);
    SelectObject(mem, old);
  }
  if (bmp) DeleteObject(bmp);
  if (mem) DeleteDC(mem);
  return ok;
}

void measure_label(HWND k, const std::wstring& text) {
  RECT rc;
  GetClientRect(k, &rc);
  POINT o = {0, 0};
  ClientToScreen(k, &o);
  int w = rc.right, h = rc.bottom;
  if (w <= 0 || h <= 0 || w > 4000 || h > 400 || text.empty()) return;
  HDC screen = GetDC(nullptr);
  Pixels shot;
  bool ok = grab(screen, o.x, o.y, w, h, nullptr, 0, &shot);
  ReleaseDC(nullptr, screen);
  if (!ok) return;
  DWORD bg = shot.px[w * h - 1];  // no glyph of a one-line label reaches it
  // "Segoe UI" at every character height from 6 to 60 pixels (the label's
  // font scaled from 40 % to 400 %), and the stock fonts a label falls back to.
  std::vector<FontCandidate> cands;
  for (int height = -6; height >= -60; height--) {
    FontCandidate c = {{0}, L"Segoe UI", height, -1};
    _snwprintf(c.name, ARRAYSIZE(c.name) - 1, L"Segoe UI %d", height);
    cands.push_back(c);
  }
  cands.push_back({L"SYSTEM_FONT", nullptr, 0, SYSTEM_FONT});
  cands.push_back({L"DEFAULT_GUI_FONT", nullptr, 0, DEFAULT_GUI_FONT});
  size_t ink = 0;
  for (DWORD v : shot.px) ink += v != bg;
  Rec rec(L"label_font");
  rec.h(L"hwnd", k).s(L"text", text).n(L"ink", (long long)ink);
  // The best match and the runner-up, so that a log shows how clear the
  // verdict was.
  const FontCandidate* best = nullptr;
  const FontCandidate* second = nullptr;
  long long best_score = -1, second_score = -1;
  for (const FontCandidate& c : cands) {
    HFONT f = c.face ? CreateFontW(c.height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                   DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                   CLEARTYPE_QUALITY, 0, c.face)
                     : (HFONT)GetStockObject(c.stock);
    Pixels drawn;
    bool drew = f && draw_text(w, h, bg, f, text, &drawn);
    if (c.face && f) DeleteObject(f);
    if (!drew) continue;
    size_t both = 0, either = 0;
    for (size_t i = 0; i < shot.px.size(); i++) {
      bool a = shot.px[i] != bg, b = drawn.px[i] != bg;
      if (a || b) {
        either++;
        both += (a && b && shot.px[i] == drawn.px[i]);
      }
    }
    long long score = either ? (long long)(both * 1000 / either) : 0;
    if (score > best_score) {
      second = best;
      second_score = best_score;
      best = &c;
      best_score = score;
    } else if (score > second_score) {
      second = &c;
      second_score = score;
    }
  }
  rec.s(L"best", best ? best->name : L"none")
      .n(L"best_permille", best_score)
      .n(L"height", best ? best->height : 0)
      .s(L"second", second ? second->name : L"none")
      .n(L"second_permille", second_score);
}

void look_at_child(Watch& w, HWND parent, HWND k, Child& c, bool fresh) {
  Shape s;
  s.style = GetWindowLongW(k, GWL_STYLE);
  s.exstyle = GetWindowLongW(k, GWL_EXSTYLE);
  s.rc = client_rect_in_parent(k, parent);
  bool is_bar = _wcsicmp(c.cls.c_str(), PROGRESS_CLASSW) == 0;
  bool is_label = _wcsicmp(c.cls.c_str(), L"Static") == 0;
  if (!is_bar) s.title = text_of(k);
  if (fresh || s != c.shape) {
    c.shape = s;
    Rec(L"child")
        .h(L"hwnd", k)
        .h(L"parent", parent)
        .s(L"class", c.cls)
        .x(L"style", (unsigned long)s.style)
        .x(L"exstyle", (unsigned long)s.exstyle)
        .n(L"id", GetDlgCtrlID(k))
        .r(L"rect", s.rc)
        .n(L"first", fresh);
  }
  if (is_label) {
    if (!c.text_seen || s.title != c.text) {
      c.text = s.title;
      c.text_seen = true;
      c.text_since = now_ms();
      Rec(L"status").h(L"hwnd", k).s(L"text", s.title);
      w.last_status = s.title;
      act_on_status(w, s.title);
    }
    // Once per run, on a label that has been painted and is not covered.
    bool box_up = false;
    for (auto& t : w.tops) box_up |= t.second.cls == L"#32770" && t.second.visible;
    if (!c.measured && !box_up && IsWindowVisible(parent) && !IsIconic(parent) &&
        now_ms() - c.text_since >= 150) {
      measure_label(k, c.text);
      c.measured = true;
    }
    DWORD_PTR f = 0;
    // Under Wine the label does not answer WM_GETFONT from another process
    // (the reply is 0); then the record says only that.
    bool answered = send(k, WM_GETFONT, 0, 0, &f) != 0;
    if (!answered) f = 0;
    if (!c.font_seen || (HFONT)f != c.font) {
      c.font = (HFONT)f;
      c.font_seen = true;
      LOGFONTW lf;
      Rec rec(L"font");
      rec.h(L"hwnd", k).x(L"handle", (unsigned long long)f).n(L"answered", answered);
      // A font handle of another process can be read only where the
      // system shares GDI objects; say so instead of guessing.
      if (f && GetObjectW((HFONT)f, sizeof lf, &lf) == sizeof lf) {
        rec.s(L"face", lf.lfFaceName)
            .n(L"height", lf.lfHeight)
            .n(L"width", lf.lfWidth)
            .n(L"weight", lf.lfWeight)
            .n(L"italic", lf.lfItalic)
            .n(L"underline", lf.lfUnderline)
            .n(L"strikeout", lf.lfStrikeOut)
            .n(L"charset", lf.lfCharSet)
            .n(L"quality", lf.lfQuality)
            .n(L"pitch_family", lf.lfPitchAndFamily);
      } else {
        rec.s(L"readable", L"0");
      }
    }
  }
  if (is_bar) {
    int marquee = (s.style & PBS_MARQUEE) ? 1 : 0;
    DWORD_PTR pos = 0;
    // No answer (the bar is going away): nothing new to tell.
    if (!send(k, PBM_GETPOS, 0, 0, &pos)) return;
    long long p = (int)pos;
    if (marquee != c.marquee || p != c.pos) {
      c.marquee = marquee;
      c.pos = p;
      Rec(L"bar").h(L"hwnd", k).n(L"marquee", marquee).n(L"pos", p);
    }
  }
}

void look_at_windows(Watch& w) {
  EnumCtx ctx{&w, {}};
  EnumWindows(enum_top, (LPARAM)&ctx);
  std::set<HWND> alive;
  for (auto& f : ctx.found) {
    HWND hwnd = f.first;
    alive.insert(hwnd);
    bool fresh = w.tops.find(hwnd) == w.tops.end();
    Top& t = w.tops[hwnd];
    Shape s = top_shape(hwnd);
    // From the same read as the style, so that a record never contradicts
    // itself while the window is being shown.
    bool vis = (s.style & WS_VISIBLE) != 0;
    if (fresh) {
      t.pid = f.second;
      t.cls = class_of(hwnd);
      t.first_seen = now_ms();
    }
    if (fresh || s != t.shape || vis != t.visible) {
      t.shape = s;
      t.visible = vis;
      record_top(hwnd, t, fresh);
    }
    bool is_main = t.cls == L"TamrockSetup" && t.pid == w.pi.dwProcessId;
    if (is_main && !w.main_win) {
      w.main_win = hwnd;
      w.main_seen = now_ms();
    }
    if (t.cls == L"TamrockSetup") {
      std::vector<HWND> kids;
      EnumChildWindows(hwnd, enum_kids, (LPARAM)&kids);
      for (HWND k : kids) {
        if (GetParent(k) != hwnd) continue;
        bool kfresh = t.kids.find(k) == t.kids.end();
        Child& c = t.kids[k];
        if (kfresh) c.cls = class_of(k);
        look_at_child(w, hwnd, k, c, kfresh);
      }
    }
    if (t.cls == L"#32770" && vis && t.box_due < 0)
      t.box_due = now_ms() + w.sp.dismiss_delay_ms;
    if (t.box_due >= 0 && !t.box_recorded && now_ms() >= t.box_due)
      record_box(hwnd, t);
    // The user's click on OK; said again should the first one get lost.
    if (t.box_recorded && w.sp.dismiss &&
        (t.dismissed_at < 0 || now_ms() - t.dismissed_at > 2000)) {
      PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      Rec(L"dismiss").h(L"hwnd", hwnd).n(L"again", t.dismissed_at >= 0);
      t.dismissed_at = now_ms();
    }
  }
  for (auto it = w.tops.begin(); it != w.tops.end();) {
    if (!alive.count(it->first)) {
      Rec(L"gone").h(L"hwnd", it->first).s(L"class", it->second.cls);
      if (it->first == w.main_win) w.main_win = nullptr;
      it = w.tops.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- processes -------------------------------------------------------------

std::wstring image_of(HANDLE p) {
  wchar_t b[1024];
  DWORD n = ARRAYSIZE(b);
  if (QueryFullProcessImageNameW(p, 0, b, &n)) return std::wstring(b, n);
  return std::wstring();
}

// The program's own children run in the observer's job, so they are seen
// here and are ended with the job should the observer give up.
void look_at_processes(Watch& w) {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST head;
    ULONG_PTR more[255];
  } list;
  ZeroMemory(&list, sizeof list);
  list.head.NumberOfAssignedProcesses = 256;
  if (!QueryInformationJobObject(w.job, JobObjectBasicProcessIdList, &list,
                                 sizeof list, nullptr))
    return;
  for (DWORD i = 0; i < list.head.NumberOfProcessIdsInList; i++) {
    DWORD pid = (DWORD)list.head.ProcessIdList[i];
    if (w.pids.count(pid)) continue;
    w.pids.insert(pid);
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                           FALSE, pid);
    Rec rec(L"proc");
    rec.n(L"pid", pid);
    if (p) {
      rec.s(L"image", image_of(p));
      w.procs[pid] = p;
    }
  }
  for (auto it = w.procs.begin(); it != w.procs.end();) {
    if (WaitForSingleObject(it->second, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(it->second, &code);
      Rec(L"proc_exit").n(L"pid", it->first).n(L"code", code);
      CloseHandle(it->second);
      it = w.procs.erase(it);
    } else {
      ++it;
    }
  }
}

DWORD active_in_job(Watch& w) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION acc;
  if (!QueryInformationJobObject(w.job, JobObjectBasicAccountingInformation,
                                 &acc, sizeof acc, nullptr))
    return 0;
  return acc.ActiveProcesses;
}

int run(Watch& w) {
  RunPlan& sp = w.sp;
  Rec(L"screen")
      .n(L"cx", GetSystemMetrics(SM_CXSCREEN))
      .n(L"cy", GetSystemMetrics(SM_CYSCREEN));

  w.job = CreateJobObjectW(nullptr, nullptr);
  if (w.job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION lim;
    ZeroMemory(&lim, sizeof lim);
    lim.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(w.job, JobObjectExtendedLimitInformation, &lim,
                            sizeof lim);
  }

  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  if (sp.show >= 0) {
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = (WORD)sp.show;
  }
  std::vector<wchar_t> cmd(sp.command.begin(), sp.command.end());
  cmd.push_back(0);
  Rec(L"start")
      .s(L"command", sp.command)
      .n(L"units", (long long)sp.command.size())
      .s(L"cwd", sp.cwd);
  // Suspended until it is in the job, so nothing it starts escapes.
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED, nullptr,
                      sp.cwd.empty() ? nullptr : sp.cwd.c_str(), &si, &w.pi)) {
    DWORD e = GetLastError();
    Rec(L"error").s(L"what", L"CreateProcessW").n(L"code", e);
    return 3;
  }
  if (w.job && !AssignProcessToJobObject(w.job, w.pi.hProcess)) {
    Rec(L"error").s(L"what", L"AssignProcessToJobObject").n(L"code", GetLastError());
    CloseHandle(w.job);
    w.job = nullptr;
  }
  w.pids.insert(w.pi.dwProcessId);
  Rec(L"proc").n(L"pid", w.pi.dwProcessId).s(L"image", image_of(w.pi.hProcess))
      .n(L"main", 1);
  if (!sp.inject.empty() && !queue_load(w.pi.hProcess, w.pi.hThread, sp.inject)) {
    Rec(L"error").s(L"what", L"inject").n(L"code", GetLastError());
    TerminateProcess(w.pi.hProcess, 1);
    return 3;
  }
  ResumeThread(w.pi.hThread);

  int result = 0;
  bool exited = false;
  for (;;) {
    if (w.job) look_at_processes(w);
    look_at_windows(w);
    long long t = now_ms();
    auto main_top = w.tops.find(w.main_win);
    if (w.main_win && !w.close_sent && w.close_due && main_top != w.tops.end() &&
        main_top->second.visible) {
      PostMessageW(w.main_win, WM_CLOSE, 0, 0);
      w.close_sent = true;
      Rec(L"close").h(L"hwnd", w.main_win).s(L"reason", L"close_when");
    }
    if (w.main_win && !w.close_sent && sp.close_after_ms >= 0 &&
        t - w.main_seen >= sp.close_after_ms) {
      PostMessageW(w.main_win, WM_CLOSE, 0, 0);
      w.close_sent = true;
      Rec(L"close").h(L"hwnd", w.main_win).s(L"reason", L"close_after_ms");
    }
    sample_memory(w, 10);
    if (!w.kill_done && sp.kill_after_ms >= 0 && t >= sp.kill_after_ms) {
      sample_memory(w, 0);
      TerminateProcess(w.pi.hProcess, 9);
      w.kill_done = true;
      Rec(L"kill").s(L"reason", L"kill_after_ms");
    }
    if (WaitForSingleObject(w.pi.hProcess, (DWORD)sp.poll_ms) == WAIT_OBJECT_0) {
      exited = true;
      break;
    }
    if (now_ms() >= sp.timeout_ms) break;
  }
  if (exited) {
    // A last look: windows that went with the process are reported gone.
    look_at_windows(w);
    DWORD code = 0;
    GetExitCodeProcess(w.pi.hProcess, &code);
    Rec(L"exit").n(L"code", code).n(L"wall_ms", now_ms());
  } else {
    Rec(L"timeout").s(L"last_status", w.last_status).n(L"after_ms", now_ms());
    result = 2;
  }
  sample_memory(w, 0);  // fails once the process is gone, at least under Wine
  if (w.mem_samples)
    Rec(L"mem").n(L"peak_ws", (long long)w.peak_ws).n(L"samples", w.mem_samples)
        .n(L"last_ms", w.mem_last);
  // The program does not wait for what it starts; the tests do, so that a
  // record written by a started program is on disk when the run returns.
  if (exited && w.job) {
    long long until = now_ms() + sp.linger_ms;
    for (;;) {
      look_at_processes(w);
      look_at_windows(w);
      if (active_in_job(w) == 0) break;
      if (now_ms() >= until) {
        Rec(L"linger_timeout").n(L"active", active_in_job(w));
        break;
      }
      Sleep((DWORD)sp.poll_ms);
    }
    look_at_processes(w);
  }
  if (w.job) TerminateJobObject(w.job, 9);
  if (!exited) {
    TerminateProcess(w.pi.hProcess, 9);
    WaitForSingleObject(w.pi.hProcess, 5000);
  }
  for (auto& p : w.procs) CloseHandle(p.second);
  CloseHandle(w.pi.hThread);
  CloseHandle(w.pi.hProcess);
  if (w.job) CloseHandle(w.job);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Windows hands a DPI-unaware reader the sizes of an aware window divided
  // by DPI/96; Wine 8 does not (tried at 192 DPI), but the readings must not
  // depend on that.
  SetProcessDPIAware();
  QueryPerformanceFrequency(&g_freq);
  QueryPerformanceCounter(&g_t0);
  if (argc != 2) {
    fwprintf(stderr, L"usage: observer <run-file>\n");
    return 3;
  }
  Watch w;
  std::wstring why;
  if (!parse_run_file(argv[1], &w.sp, &why)) {
    fwprintf(stderr, L"observer: %ls\n", why.c_str());
    return 3;
  }
  g_log = CreateFileW(w.sp.log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (g_log == INVALID_HANDLE_VALUE) {
    fwprintf(stderr, L"observer: cannot create log (%lu)\n", GetLastError());
    return 3;
  }
  // The ANSI code page the program under test starts with (same prefix,
  // same environment): tests of non-ANSI paths must know it.
  Rec(L"observer").n(L"pid", GetCurrentProcessId()).n(L"acp", GetACP());
  QueryPerformanceCounter(&g_t0);
  int rc = run(w);
  Rec(L"done").n(L"result", rc);
  CloseHandle(g_log);
  return rc;
}
