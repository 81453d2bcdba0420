// Every setting's type, capacity and default; placeholders; the patch table
// and its relocation (under Windows: against the routines' own addresses).
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "qelExceptSettings.h"
#include "qelScreenShot.h"

#if defined(_WIN32)
#include <windows.h>

#include "Forms.h"
#include "System.h"
#include "Threads.h"
#include "Units.h"
#endif

namespace qel {
namespace {

template <class T, class V>
void ExpectSetting(const char* name, const T& setting, V expected) {
  SCOPED_TRACE(name);
  if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, uint32_t>) {
    EXPECT_EQ(setting, static_cast<T>(expected));
  } else if constexpr (std::is_same_v<T, std::string>) {
    EXPECT_EQ(setting, std::string(expected));
  } else {
    EXPECT_EQ(setting.Str(), std::string(expected));
  }
}

#define SETTING(name, type, value)                          \
  static_assert(std::is_same_v<decltype(name), type>, #name); \
  ExpectSetting(#name, name, value)

TEST(Settings, EveryDefaultWithItsType) {
  SETTING(MainThreadId, uint32_t, 0);
  SETTING(CatchExceptions, bool, true);
  SETTING(PatchRtlGui, bool, true);
  SETTING(FreezeTimeout, uint32_t, 0);
  SETTING(ShowExceptBox, bool, true);
  SETTING(PauseRunningThreads, bool, true);
  SETTING(AutoSaveBugReport, bool, false);
  SETTING(AutoMailBugReport, bool, false);
  SETTING(CopyBugReportToClipboard, bool, true);
  SETTING(AutoContinue, bool, false);
  SETTING(AutoRestartSeconds, uint32_t, 0);
  SETTING(AutoCloseSeconds, uint32_t, 0);
  SETTING(AutoDelaySeconds, uint32_t, 60);
  SETTING(DefaultButton, uint32_t, 0);
  SETTING(BugReportVisible, bool, false);
  SETTING(OwnerDrawnButtons, bool, true);
  SETTING(ConsoleOutput, bool, true);
  SETTING(ResetFpuOnException, bool, false);
  SETTING(IgnoredExceptionClasses, std::string, "");
  SETTING(HtmlMode, bool, false);

  SETTING(ListAllThreads, bool, true);
  SETTING(ListModules, bool, true);
  SETTING(ListHardware, bool, true);
  SETTING(ShowCommandLine, bool, true);
  SETTING(HideItemsWithoutLineNumber, bool, false);
  SETTING(ShowRelativeAddresses, bool, true);
  SETTING(ShowRelativeLines, bool, true);
  SETTING(ListAllStackCandidates, bool, false);
  SETTING(DisAsmListingOption, bool, false);
  SETTING(DisAsmLineLimit, uint32_t, 20);
  SETTING(ScreenShotSetting, uint32_t, 102400);

  SETTING(MailAddresses, TShortString<75>, "bugreport@zivo.example");
  SETTING(MailFrom, std::string, "");
  SETTING(MailSubject, TShortString<50>, "bug report");
  SETTING(AttachBugReportFile, bool, true);
  SETTING(DeleteAttachmentsAfterSending, bool, false);
  SETTING(AdditionalAttachments, std::string, "");
  SETTING(SendViaDirectSmtp, bool, false);
  SETTING(SendViaSmtpServer, bool, false);
  SETTING(SendViaMapi, bool, true);
  SETTING(SendViaMailto, bool, true);
  SETTING(SmtpServer, TShortString<50>, "");
  SETTING(SmtpPort, uint32_t, 25);
  SETTING(SmtpAccount, TShortString<50>, "");
  SETTING(SmtpPassword, TShortString<75>, "");
  SETTING(MailSentMessage, TShortString<200>, "The mail was sent successfully.");
  SETTING(MailFailedMessage, TShortString<200>, "Sorry, sending the mail didn't work.");

  SETTING(BugReportFile, TShortString<255>, "bugreport.txt");
  SETTING(BugReportFileSizeLimit, uint32_t, 50000);
  SETTING(ExceptBoxTitle, TShortString<100>, "%appname%");
  SETTING(ExceptMessage, TShortString<255>, "An error occurred in the application.");
  SETTING(FrozenMessage, TShortString<255>, "The application seems to be frozen.");
  SETTING(MailButtonCaption, TShortString<30>, "mail bug report");
  SETTING(SaveButtonCaption, TShortString<30>, "save bug report");
  SETTING(PrintButtonCaption, TShortString<30>, "print bug report");
  SETTING(ShowButtonCaption, TShortString<30>, "show bug report");
  SETTING(ContinueButtonCaption, TShortString<30>, "continue application");
  SETTING(RestartButtonCaption, TShortString<30>, "restart application");
  SETTING(CloseButtonCaption, TShortString<30>, "close application");

  EXPECT_EQ(HtmlPageRoutine, nullptr);
  EXPECT_EQ(DisAsmListingRoutine, nullptr);
}

TEST(Settings, ShortStringsKeepTheirCapacity) {
  // A length byte and room for N characters, as stored.
  EXPECT_EQ(sizeof(TShortString<75>), 76u);
  EXPECT_EQ(sizeof(TShortString<255>), 256u);
  TShortString<75> password = SmtpPassword;
  password.Assign(std::string(100, 'p'));  // the plain text of a long scrambled password
  EXPECT_EQ(password.Str(), std::string(75, 'p'));
  password.Assign("secret");
  EXPECT_EQ(password.Str(), "secret");
  password.Assign("");
  EXPECT_EQ(password.Str(), "");
}

TEST(Settings, Placeholders) {
  struct { const char* text; const char* exe; const char* message; const char* expected; } cases[] = {
      {"%appname%", "C:\\Programas\\Lunsel.exe", "", "Lunsel"},
      {"An error: %exceptMsg%.%LF%Sorry", "Tarvik.exe", "Access violation", "An error: Access violation.\r\nSorry"},
      {"%APPNAME% - %appname%", "C:/x/y/Tarvik.v2.exe", "", "Tarvik.v2 - Tarvik.v2"},
      {"%exceptMsg%", "Tarvik.exe", "100% of %appname%%LF%", "100% of %appname%%LF%"},  // the message is not expanded again
      {"no placeholders", "Tarvik.exe", "m", "no placeholders"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ExpandPlaceholders(c.text, c.exe, c.message), c.expected);
  }
}

TEST(PatchTable, RelocationKeepsEmptyEntriesEmpty) {
  EXPECT_EQ(kPatchEntryCount, 27u);
  EXPECT_EQ(peCaptureRoutine, 26u);
  EXPECT_EQ(peForeignLast - peForeignFirst, 6u);
  EXPECT_EQ(RelocatePatchEntry(0, 0x400000), 0u);
  EXPECT_EQ(RelocatePatchEntry(0x1234, 0x400000), 0x401234u);
#if !defined(_WIN32)
  for (uint32_t entry : qelPatchTable) EXPECT_EQ(entry, 0u);
#endif
}

#if defined(_WIN32)
// A non-virtual member function's address, as the Itanium ABI stores it in the pointer's first word.
template <class F>
uintptr_t AddressOf(F member) {
  uintptr_t words[2];
  static_assert(sizeof member == sizeof words);
  std::memcpy(words, &member, sizeof words);
  return words[0];
}

TEST(PatchTable, FilledEntriesPointAtTheFrameworkRoutines) {
  const auto instance = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  auto at = [&](TPatchEntry e) { return RelocatePatchEntry(qelPatchTable[e], instance); };
  void (zf::TApplication::*handle)(zf::TObject*) = &zf::TApplication::HandleException;
  EXPECT_EQ(at(peAppHandleException), AddressOf(handle));
  EXPECT_EQ(at(peAppShowException), AddressOf(&zf::TApplication::ShowException));
  EXPECT_EQ(at(peStartUp), AddressOf(&zf::TUnitTable::Initialize));
  EXPECT_EQ(at(peFinalizeUnits), AddressOf(&zf::TUnitTable::Finalize));
  EXPECT_EQ(at(peTopLevelHandler), reinterpret_cast<uintptr_t>(&zf::TopLevelExceptionHandler));
  EXPECT_EQ(at(peCaptureRoutine), reinterpret_cast<uintptr_t>(&CaptureScreenPng));
  EXPECT_EQ(at(peShowException), reinterpret_cast<uintptr_t>(&zf::ShowException));
  EXPECT_EQ(at(peCheckSynchronize), reinterpret_cast<uintptr_t>(&zf::CheckSynchronize));
  EXPECT_EQ(at(peHalt0), reinterpret_cast<uintptr_t>(&zf::Halt0));
  EXPECT_EQ(at(peRuntimeErrorText), reinterpret_cast<uintptr_t>(zf::RuntimeErrorText));
  EXPECT_EQ(at(peDoneExcept), reinterpret_cast<uintptr_t>(&zf::DoneExcept));
  size_t filled = 0;
  for (uint32_t entry : qelPatchTable) filled += entry != 0;
  EXPECT_EQ(filled, 11u);
}
#endif

}  // namespace
}  // namespace qel
