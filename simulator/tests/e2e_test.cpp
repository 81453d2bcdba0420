// The real Tarvik program on a virtual null-modem cable: Tarvik opens COM<A>
// (its stored start port, COM1), this test reads COM<B>. The operator's steps
// are real input: mouse clicks and key presses through SendInput.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "WinTestSupport.h"

namespace {

using simtest::ComFromEnv;
using simtest::WindowText;

const char* const kCaption = "Simulador de Balança - Protocolo ZIVO";

std::string ClassOf(HWND h) {
  char c[64] = {};
  GetClassNameA(h, c, sizeof c);
  return c;
}

template <class Pred>
bool WaitFor(Pred done, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(20);
  }
  return true;
}

struct Found {
  DWORD pid = 0;
  HWND hwnd = nullptr;
};
BOOL CALLBACK FindTop(HWND h, LPARAM p) {
  auto* f = reinterpret_cast<Found*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == f->pid && IsWindowVisible(h) && WindowText(h) == kCaption) {
    f->hwnd = h;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK AddChild(HWND h, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
  return TRUE;
}

std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> all;
  EnumChildWindows(top, AddChild, reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND ChildWithText(HWND top, const std::string& cls, const std::string& text) {
  for (HWND h : Descendants(top))
    if (ClassOf(h) == cls && WindowText(h) == text) return h;
  return nullptr;
}

void ClickAt(int x, int y) {
  SetCursorPos(x, y);
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, in, sizeof(INPUT));
  Sleep(150);
}

// Other programs' windows may share the screen (tests run side by side):
// the form is kept on top and in front while the operator works on it.
void BringToFront(HWND form) {
  SetWindowPos(form, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (GetForegroundWindow() != form) SetForegroundWindow(form);
}

void ClickWindow(HWND h, int dx, int dy) {
  RECT r{};
  GetWindowRect(h, &r);
  const POINT at{r.left + dx, r.top + dy};
  HWND top = GetAncestor(h, GA_ROOT);
  for (int i = 0; i < 20 && WindowFromPoint(at) != h; ++i) {
    BringToFront(top);
    Sleep(50);
  }
  ClickAt(at.x, at.y);
}

// Clicks along the row of tab buttons until the wanted one is selected.
bool ClickTab(HWND tabs, int index) {
  for (int x = 8; x < 600; x += 12) {
    if (SendMessageA(tabs, TCM_GETCURSEL, 0, 0) == index) return true;
    ClickWindow(tabs, x, 10);
  }
  return SendMessageA(tabs, TCM_GETCURSEL, 0, 0) == index;
}

void PressKey(WORD vk) {
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_KEYBOARD;
  in[0].ki.wVk = in[1].ki.wVk = vk;
  in[0].ki.wScan = in[1].ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
  in[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, in, sizeof(INPUT));
  Sleep(40);
}

void TypeText(HWND form, const std::string& s) {
  for (char c : s) {
    BringToFront(form);
    const SHORT vk = VkKeyScanA(c);
    ASSERT_NE(vk, -1) << c;
    ASSERT_EQ(vk >> 8, 0) << "no shift state expected for " << c;
    PressKey(static_cast<WORD>(vk & 0xFF));
  }
}

std::string Hex(const std::string& s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

// A 24-bit BMP of the window as it shows on the screen.
bool SaveWindowBitmap(HWND h, const std::string& path) {
  RECT r{};
  GetWindowRect(h, &r);
  const int w = r.right - r.left, ht = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, ht);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, ht, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  BITMAPINFOHEADER bi{};
  bi.biSize = sizeof bi;
  bi.biWidth = w;
  bi.biHeight = ht;
  bi.biPlanes = 1;
  bi.biBitCount = 24;
  const int stride = (w * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<size_t>(stride) * static_cast<size_t>(ht));
  const int lines = GetDIBits(mem, bmp, 0, static_cast<UINT>(ht), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi),
                              DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  if (lines != ht) return false;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi;
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 && std::fwrite(&bi, sizeof bi, 1, f) == 1 &&
            std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

class Process {
public:
  explicit Process(const std::string& exe) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string cmd = "\"" + exe + "\"";
    FOk = CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &FInfo);
  }
  ~Process() {
    if (!FOk) return;
    if (WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(FInfo.hProcess, 99);
    CloseHandle(FInfo.hThread);
    CloseHandle(FInfo.hProcess);
  }
  bool Ok() const { return FOk; }
  DWORD Pid() const { return FInfo.dwProcessId; }
  // The exit code, or STILL_ACTIVE when it did not end within ms.
  DWORD Wait(DWORD ms) {
    WaitForSingleObject(FInfo.hProcess, ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(FInfo.hProcess, &code);
    return code;
  }

private:
  PROCESS_INFORMATION FInfo{};
  bool FOk = false;
};

TEST(Tarvik, OperatorSendsTheWorkedExampleOverTheCable) {
  ASSERT_EQ(ComFromEnv("ZIVO_COM_A", 1), 1) << "Tarvik's stored start port is COM1";
  simtest::TFarEnd farEnd(ComFromEnv("ZIVO_COM_B", 2));
  ASSERT_TRUE(farEnd.Open());

  Process tarvik(TARVIK_EXE);
  ASSERT_TRUE(tarvik.Ok()) << TARVIK_EXE;
  Found top{tarvik.Pid(), nullptr};
  ASSERT_TRUE(WaitFor([&] { EnumWindows(FindTop, reinterpret_cast<LPARAM>(&top)); return top.hwnd != nullptr; }, 20000));
  HWND form = top.hwnd;
  BringToFront(form);
  Sleep(300);

  HWND conectar = ChildWithText(form, "Button", "Conectar");
  HWND desconectar = ChildWithText(form, "Button", "Desconectar");
  HWND enviar = ChildWithText(form, "Button", "&Enviar");
  ASSERT_TRUE(conectar && desconectar && enviar);
  // The two edits of the sending tab: the weight (top) and the sent frame.
  std::vector<HWND> edits;
  for (HWND h : Descendants(form))
    if (ClassOf(h) == "Edit" && GetParent(h) == GetParent(enviar)) edits.push_back(h);
  ASSERT_EQ(edits.size(), 2u);
  RECT a{}, b{};
  GetWindowRect(edits[0], &a);
  GetWindowRect(edits[1], &b);
  HWND weight = a.top < b.top ? edits[0] : edits[1];
  HWND sent = weight == edits[0] ? edits[1] : edits[0];
  HWND tabs = nullptr;
  for (HWND h : Descendants(form))
    if (ClassOf(h) == "SysTabControl32") tabs = h;
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 2) << "opens on the contact tab";

  // The tare: activated and deactivated again, it holds zeros.
  ASSERT_TRUE(ClickTab(tabs, 1));
  HWND ativa = ChildWithText(form, "Button", "Ativa");
  ASSERT_NE(ativa, nullptr);
  ClickWindow(ativa, 6, 8);
  ASSERT_TRUE(WaitFor([&] { return SendMessageA(ativa, BM_GETCHECK, 0, 0) == BST_CHECKED; }, 2000));
  ClickWindow(ativa, 6, 8);
  ASSERT_TRUE(WaitFor([&] { return SendMessageA(ativa, BM_GETCHECK, 0, 0) == BST_UNCHECKED; }, 2000));

  ASSERT_TRUE(ClickTab(tabs, 0));
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(enviar) != 0; }, 3000));
  ClickWindow(conectar, 20, 10);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(desconectar) != 0; }, 3000)) << "COM1 did not connect";
  EXPECT_FALSE(IsWindowEnabled(conectar));

  // Into the weight edit at its left edge, then the operator's keys.
  ClickWindow(weight, 4, 10);
  TypeText(form, "123,45");
  ASSERT_TRUE(WaitFor([&] { return WindowText(weight) == "123,45"; }, 2000)) << WindowText(weight);
  BringToFront(form);
  PressKey(VK_RETURN);

  const std::string expected = "\x02\x84\x80" "1234500000\x03\x04";
  const std::string got = farEnd.ReadAll(300, 3000, [] { Sleep(5); });
  EXPECT_EQ(Hex(got), Hex(expected));
  ASSERT_TRUE(WaitFor([&] { return !WindowText(sent).empty(); }, 2000));
  EXPECT_EQ(Hex(WindowText(sent)), Hex(expected));
  Sleep(200);
  // The side panel's lowest 152 x 75 picture is the weight, a GIF: its body and
  // shelf in their colours, the panel where the GIF is transparent.
  HWND weightPicture = nullptr;
  RECT wr{};
  for (HWND h : Descendants(form)) {
    RECT r{};
    GetWindowRect(h, &r);
    if (IsWindowVisible(h) && r.right - r.left == 152 && r.bottom - r.top == 75 && (!weightPicture || r.top > wr.top)) {
      weightPicture = h;
      wr = r;
    }
  }
  ASSERT_NE(weightPicture, nullptr);
  BringToFront(form);
  HDC screen = GetDC(nullptr);
  EXPECT_EQ(GetPixel(screen, wr.left + 60, wr.top + 60), RGB(0x3D, 0x4A, 0x5C));
  EXPECT_EQ(GetPixel(screen, wr.left + 76, wr.top + 73), RGB(0x5B, 0x6B, 0x7F));
  EXPECT_EQ(GetPixel(screen, wr.left + 2, wr.top + 2), GetPixel(screen, wr.left - 4, wr.top + 2));
  ReleaseDC(nullptr, screen);
  EXPECT_TRUE(SaveWindowBitmap(form, ZIVO_ARTIFACTS "/tarvik_e2e.bmp"));

  PostMessageA(form, WM_CLOSE, 0, 0);
  EXPECT_EQ(tarvik.Wait(10000), 0u);
}

}  // namespace
