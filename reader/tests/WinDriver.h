// A small driver for the reader's Windows tests: finds windows and controls
// (also of other processes), reads their text and answers message boxes.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace reader::testing {

inline int ComFromEnv(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : fallback;
}

inline std::string WindowText(HWND h) {
  const LRESULT n = SendMessageA(h, WM_GETTEXTLENGTH, 0, 0);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  const LRESULT got = SendMessageA(h, WM_GETTEXT, static_cast<WPARAM>(s.size()), reinterpret_cast<LPARAM>(s.data()));
  s.resize(static_cast<size_t>(got));
  return s;
}

inline std::string ClassOf(HWND h) {
  char c[64] = {};
  GetClassNameA(h, c, sizeof c);
  return c;
}

// A window's text split into lines at CR LF, CR or LF.
inline std::vector<std::string> WindowLines(HWND h) {
  std::vector<std::string> lines;
  std::string cur;
  const std::string t = WindowText(h);
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\r' || t[i] == '\n') {
      if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ++i;
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += t[i];
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

namespace detail {

struct TTopQuery {
  DWORD pid;
  std::string cls;
  std::vector<HWND> found;
};

// Window enumeration callbacks are stdcall functions on i686: no lambdas.
inline BOOL CALLBACK CollectTop(HWND h, LPARAM p) {
  auto* query = reinterpret_cast<TTopQuery*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  if ((query->pid == 0 || owner == query->pid) && IsWindowVisible(h) &&
      (query->cls.empty() || ClassOf(h) == query->cls))
    query->found.push_back(h);
  return TRUE;
}

inline BOOL CALLBACK CollectChild(HWND h, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
  return TRUE;
}

}  // namespace detail

// The visible top-level windows of a process (0: any process) of a class ("" any).
inline std::vector<HWND> TopWindows(DWORD pid, const std::string& cls) {
  detail::TTopQuery q{pid, cls, {}};
  EnumWindows(detail::CollectTop, reinterpret_cast<LPARAM>(&q));
  return q.found;
}

inline std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> all;
  EnumChildWindows(top, detail::CollectChild, reinterpret_cast<LPARAM>(&all));
  return all;
}

// The first descendant of a class (case-insensitive) with exactly this text.
inline HWND ChildWithText(HWND top, const std::string& cls, const std::string& text) {
  for (HWND h : Descendants(top))
    if (lstrcmpiA(ClassOf(h).c_str(), cls.c_str()) == 0 && WindowText(h) == text) return h;
  return nullptr;
}

// A visible top-level window of any process with exactly this caption, waited for.
inline HWND WaitForTopWindow(const std::string& caption, DWORD ms) {
  const DWORD start = GetTickCount();
  do {
    for (HWND h : TopWindows(0, ""))
      if (WindowText(h) == caption) return h;
    Sleep(50);
  } while (GetTickCount() - start < ms);
  return nullptr;
}

// Presses a button (push button, check box or radio button) by its caption.
inline bool ClickButton(HWND top, const std::string& caption) {
  HWND h = ChildWithText(top, "Button", caption);
  if (!h) return false;
  SendMessageA(h, BM_CLICK, 0, 0);
  Sleep(50);
  return true;
}

// Clicks into an edit (the focus moves there, the caret to its start) and types the text.
inline void TypeInto(HWND edit, const std::string& text) {
  SendMessageA(edit, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  SendMessageA(edit, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  SendMessageA(edit, EM_SETSEL, 0, 0);
  for (char c : text) SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
  Sleep(50);
}

// The first edit of a window that shows one of these texts.
inline HWND EditShowing(HWND top, const std::vector<std::string>& texts) {
  for (const std::string& t : texts)
    if (HWND h = ChildWithText(top, "Edit", t)) return h;
  return nullptr;
}

// The reader's decoded lines, once a listing holding `line` shows (empty after `ms`).
inline std::vector<std::string> WaitForListing(HWND reader, const std::string& line, DWORD ms) {
  const DWORD start = GetTickCount();
  do {
    for (HWND h : Descendants(reader)) {
      if (lstrcmpiA(ClassOf(h).c_str(), "RichEdit20A") != 0) continue;
      std::vector<std::string> lines = WindowLines(h);
      if (lines.empty() || lines[0].rfind("STATUS1 = ", 0) != 0) continue;
      for (const std::string& l : lines)
        if (line.empty() || l == line) return lines;
    }
    Sleep(50);
  } while (GetTickCount() - start < ms);
  return {};
}

// Answers the first message box of a process with OK and keeps its caption and text.
class TBoxAnswerer {
public:
  explicit TBoxAnswerer(DWORD pid = GetCurrentProcessId()) : FPid(pid), FThread([this] { Watch(); }) {}
  ~TBoxAnswerer() {
    FStop = true;
    FThread.join();
  }
  TBoxAnswerer(const TBoxAnswerer&) = delete;
  TBoxAnswerer& operator=(const TBoxAnswerer&) = delete;
  bool Answered() const { return FAnswered; }
  const std::string& Caption() const { return FCaption; }
  const std::string& Text() const { return FText; }

private:
  void Watch() {
    const DWORD start = GetTickCount();
    while (!FStop && GetTickCount() - start < 10000) {
      const std::vector<HWND> boxes = TopWindows(FPid, "#32770");
      if (!boxes.empty()) {
        FCaption = WindowText(boxes[0]);
        for (HWND h : Descendants(boxes[0]))
          if (ClassOf(h) == "Static" && GetWindowTextLengthA(h) > 0) {
            FText = WindowText(h);
            break;
          }
        FAnswered = true;
        PostMessageA(boxes[0], WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(20);
    }
  }
  DWORD FPid;
  std::string FCaption, FText;
  std::atomic<bool> FAnswered{false}, FStop{false};
  std::thread FThread;
};

}  // namespace reader::testing
