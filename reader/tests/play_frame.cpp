// Plays one weight frame through the two running programs, as the main-job
// script does without a display: connects Lunsel and Tarvik, has Tarvik send
// "123,45" and prints what Lunsel lists (code page 1252 text). Commands:
//   play                 connect both, send, print Lunsel's lines (exit 1 when none show)
//   shot lunsel|tarvik <bmp>  raise that program's window and save it as a bitmap
//   close                close both windows
// and, for driving the programs with real X input (mouse and keyboard from outside):
//   place                Tarvik at the screen's left edge, Lunsel at its right edge
//   where tarvik|lunsel tab N | button CAPTION | edit TEXT
//                        screen coordinates "X Y" of the centre of that part
//   lines                wait for Lunsel's decoded listing and print it (exit 1 when none shows)
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "WinDriver.h"

using namespace reader::testing;

namespace {

const char kLunsel[] = "Leitor de Balança - Protocolo ZIVO";
const char kTarvik[] = "Simulador de Balança - Protocolo ZIVO";

bool Connected(HWND top) {
  HWND h = ChildWithText(top, "Button", "Desconectar");
  return h && IsWindowEnabled(h);
}

int Play() {
  HWND lunsel = WaitForTopWindow(kLunsel, 30000);
  HWND tarvik = WaitForTopWindow(kTarvik, 30000);
  if (!lunsel || !tarvik) {
    std::fprintf(stderr, "play: the windows of both programs did not show\n");
    return 1;
  }
  ClickButton(lunsel, "Conectar");
  ClickButton(tarvik, "Conectar");
  if (!Connected(lunsel) || !Connected(tarvik)) {
    std::fprintf(stderr, "play: connecting failed (Lunsel %s, Tarvik %s)\n", Connected(lunsel) ? "ok" : "no",
                 Connected(tarvik) ? "ok" : "no");
    return 1;
  }
  // A tare switched on and off again is five zeros: the frame then has all
  // 15 bytes (a blank tare leaves its field out, and the reader would wait).
  ClickButton(tarvik, "Ativa");
  ClickButton(tarvik, "Ativa");
  HWND weight = EditShowing(tarvik, {"000,00", "   ,  "});
  if (!weight) {
    std::fprintf(stderr, "play: Tarvik's weight edit not found\n");
    return 1;
  }
  TypeInto(weight, "123,45");
  ClickButton(tarvik, "&Enviar");
  const std::vector<std::string> lines = WaitForListing(lunsel, "", 5000);
  if (lines.empty()) {
    std::fprintf(stderr, "play: Lunsel listed nothing\n");
    return 1;
  }
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  std::fflush(stdout);
  return 0;
}

// The window as the screen shows it, raised first, as a 24-bit bitmap file.
int Shot(const std::string& caption, const std::string& path) {
  HWND h = WaitForTopWindow(caption, 10000);
  if (!h) return 1;
  // Both forms open centred on the desktop: the one shot goes on top of the other for a moment.
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(500);
  RECT r{};
  GetWindowRect(h, &r);
  const int w = r.right - r.left, ht = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, ht);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, ht, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  BITMAPINFOHEADER bi{};
  bi.biSize = sizeof bi;
  bi.biWidth = w;
  bi.biHeight = ht;
  bi.biPlanes = 1;
  bi.biBitCount = 24;
  const int stride = (w * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<size_t>(stride) * static_cast<size_t>(ht));
  const int got = GetDIBits(mem, bmp, 0, static_cast<UINT>(ht), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi),
                            DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  if (got != ht) return 1;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi;
  fh.bfSize = static_cast<DWORD>(fh.bfOffBits + pixels.size());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 1;
  const bool ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 && std::fwrite(&bi, sizeof bi, 1, f) == 1 &&
                  std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
  return std::fclose(f) == 0 && ok ? 0 : 1;
}

HWND TopOf(const std::string& name) { return WaitForTopWindow(name == "tarvik" ? kTarvik : kLunsel, 30000); }

int Place() {
  HWND tarvik = TopOf("tarvik"), lunsel = TopOf("lunsel");
  if (!tarvik || !lunsel) return 1;
  RECT r{};
  GetWindowRect(lunsel, &r);
  SetWindowPos(tarvik, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(lunsel, nullptr, GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left), 0, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  return 0;
}

// The tab's rectangle lives in the other process: the message goes there with a buffer
// allocated in that process, read back through the process API.
bool TabRect(HWND tabs, int index, RECT& out) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tabs, &pid);
  HANDLE proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!proc) return false;
  void* remote = VirtualAllocEx(proc, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE);
  bool ok = remote && SendMessageA(tabs, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(remote)) &&
            ReadProcessMemory(proc, remote, &out, sizeof out, nullptr);
  if (remote) VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
  CloseHandle(proc);
  return ok && out.right > out.left && out.bottom > out.top;
}

// Where a part of a program's window is, once it is there (the window may still be building).
bool FindPart(HWND top, const std::string& what, const std::string& arg, HWND& h, RECT& r) {
  h = nullptr;
  if (what == "tab") {
    for (HWND c : Descendants(top))
      if (lstrcmpiA(ClassOf(c).c_str(), WC_TABCONTROLA) == 0) h = c;
    return h && TabRect(h, std::atoi(arg.c_str()), r);
  }
  // An edit is named by the texts it may show, separated by '|'.
  std::vector<std::string> texts;
  for (size_t from = 0;;) {
    const size_t bar = arg.find('|', from);
    texts.push_back(arg.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
    if (bar == std::string::npos) break;
    from = bar + 1;
  }
  h = what == "button" ? ChildWithText(top, "Button", arg) : EditShowing(top, texts);
  return h && IsWindowVisible(h) && GetClientRect(h, &r);
}

int Where(const std::string& name, const std::string& what, const std::string& arg) {
  HWND top = TopOf(name);
  if (!top) return 1;
  HWND h = nullptr;
  RECT r{};
  const DWORD start = GetTickCount();
  while (!FindPart(top, what, arg, h, r)) {
    if (GetTickCount() - start > 15000) return 1;
    Sleep(100);
  }
  POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  ClientToScreen(h, &centre);
  std::printf("%ld %ld\n", static_cast<long>(centre.x), static_cast<long>(centre.y));
  return 0;
}

int Lines() {
  HWND lunsel = TopOf("lunsel");
  if (!lunsel) return 1;
  const std::vector<std::string> lines = WaitForListing(lunsel, "", 15000);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return lines.empty() ? 1 : 0;
}

int Close() {
  for (const char* c : {kTarvik, kLunsel})
    if (HWND h = WaitForTopWindow(c, 1000)) PostMessageA(h, WM_CLOSE, 0, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "play";
  if (cmd == "play") return Play();
  if (cmd == "shot" && argc == 4) return Shot(std::strcmp(argv[2], "tarvik") == 0 ? kTarvik : kLunsel, argv[3]);
  if (cmd == "close") return Close();
  if (cmd == "place") return Place();
  if (cmd == "where" && argc == 5) return Where(argv[2], argv[3], argv[4]);
  if (cmd == "lines") return Lines();
  std::fprintf(stderr,
               "usage: play_frame [play | shot lunsel|tarvik <file.bmp> | close | place | "
               "where tarvik|lunsel tab|button|edit ARG | lines]\n");
  return 2;
}
