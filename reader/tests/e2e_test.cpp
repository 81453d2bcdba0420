// The two real programs on the two ends of one virtual null-modem cable:
// Tarvik on COM1 and Lunsel on COM8 (their stored start ports). The test
// drives both from outside through Win32 messages: it finds their windows
// and controls, clicks buttons, check boxes and radio buttons, types into
// the edits and reads what Lunsel lists for each frame that Tarvik sent.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "WinDriver.h"

using namespace reader::testing;

namespace {

// A started program, closed (or, failing that, ended) with the test.
class TProgram {
public:
  TProgram(const std::string& exe, const std::string& caption) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string cmd = "\"" + exe + "\"";
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &FInfo)) return;
    const DWORD start = GetTickCount();
    while (!FWindow && GetTickCount() - start < 20000) {
      for (HWND h : TopWindows(FInfo.dwProcessId, ""))
        if (WindowText(h) == caption) FWindow = h;
      Sleep(50);
    }
  }
  ~TProgram() {
    if (!FInfo.hProcess) return;
    if (FWindow) PostMessageA(FWindow, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(FInfo.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(FInfo.hProcess, 1);
    CloseHandle(FInfo.hThread);
    CloseHandle(FInfo.hProcess);
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;
  HWND Window() const { return FWindow; }
  bool Running() const { return FInfo.hProcess && WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT; }

  HWND Control(const std::string& cls, const std::string& text) const { return ChildWithText(FWindow, cls, text); }
  void Click(const std::string& text) const { ASSERT_TRUE(ClickButton(FWindow, text)) << text; }
  bool Checked(const std::string& text) const {
    return SendMessageA(Control("Button", text), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void SetChecked(const std::string& text, bool on) const {
    if (Checked(text) != on) Click(text);
    ASSERT_EQ(Checked(text), on) << text;
  }

private:
  PROCESS_INFORMATION FInfo{};
  HWND FWindow = nullptr;
};

std::string Tf(bool b) { return b ? "True" : "False"; }

struct TExpected {
  std::string status1, display;
  bool negative, overload, saturation, motion;
  std::string peso, formatted, tara;
};

std::vector<std::string> Lines(const TExpected& e) {
  return {"STATUS1 = " + e.status1, "  Display = " + e.display, "  Peso Negativo = " + Tf(e.negative),
          "  Sobre Carga = " + Tf(e.overload), "  Saturação = " + Tf(e.saturation),
          "  Sensor Movimento = " + Tf(e.motion), "", "STATUS2 = 010000000", "  TR1 = False", "  TR2 = False",
          "  TR3 = False", "  SP1 = False", "  SP2 = False", "  SP3 = False", "", "Peso = " + e.peso,
          "Peso Formatado = " + e.formatted, "Tara = " + e.tara};
}

TEST(EndToEnd, FramesSetInTarvikAreDecodedInLunsel) {
  char sepText[4] = {};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, sepText, sizeof sepText);
  const std::string sep = sepText[0] ? std::string(1, sepText[0]) : ".";

  TProgram lunsel(LUNSEL_EXE, "Leitor de Balança - Protocolo ZIVO");
  ASSERT_NE(lunsel.Window(), nullptr) << "Lunsel's window";
  TProgram tarvik(TARVIK_EXE, "Simulador de Balança - Protocolo ZIVO");
  ASSERT_NE(tarvik.Window(), nullptr) << "Tarvik's window";

  lunsel.Click("Conectar");
  ASSERT_TRUE(IsWindowEnabled(lunsel.Control("Button", "Desconectar"))) << "Lunsel connected to COM8";
  tarvik.Click("Conectar");
  ASSERT_TRUE(IsWindowEnabled(tarvik.Control("Button", "Desconectar"))) << "Tarvik connected to COM1";

  HWND weight = EditShowing(tarvik.Window(), {"000,00", "   ,  "});
  HWND tare = EditShowing(tarvik.Window(), {"00000", "     "});
  ASSERT_NE(weight, nullptr);
  ASSERT_NE(tare, nullptr);

  // 1. Precision x0.01, no flags, tare switched on and off again (five zeros).
  tarvik.SetChecked("Ativa", true);
  tarvik.SetChecked("Ativa", false);
  TypeInto(weight, "123,45");
  tarvik.Click("&Enviar");
  EXPECT_EQ(WaitForListing(lunsel.Window(), "Peso = 12345", 5000),
            Lines({"010000100", "0,01", false, false, false, false, "12345", "123" + sep + "45", "00000"}));

  // 2. Precision x1 with negative weight and motion, tare active.
  tarvik.Click("DISPLAY x 1");
  tarvik.SetChecked("Peso Negativo", true);
  tarvik.SetChecked("Sensor de Movimento", true);
  TypeInto(weight, "01234");  // leaving the precision group gave the weight its new mask
  tarvik.SetChecked("Ativa", true);
  TypeInto(tare, "00100");
  tarvik.Click("&Enviar");
  EXPECT_EQ(WaitForListing(lunsel.Window(), "Peso = 01234", 5000),
            Lines({"010011001", "1", true, false, false, true, "01234", "1234", "00100"}));

  // 3. Precision x0.1 with overload and saturation.
  tarvik.Click("DISPLAY x 0.1");
  tarvik.SetChecked("Peso Negativo", false);
  tarvik.SetChecked("Sensor de Movimento", false);
  tarvik.SetChecked("Sobrecarga", true);
  tarvik.SetChecked("Saturação", true);
  TypeInto(weight, "9876,5");
  TypeInto(tare, "00007");
  tarvik.Click("&Enviar");
  EXPECT_EQ(WaitForListing(lunsel.Window(), "Peso = 98765", 5000),
            Lines({"011100010", "0,1", false, true, true, false, "98765", "9876" + sep + "5", "00007"}));

  EXPECT_TRUE(lunsel.Running());
  EXPECT_TRUE(tarvik.Running());
}

}  // namespace
