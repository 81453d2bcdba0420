// The exception reporter's settings: typed values fixed when the program is
// built (there is no settings file), and the patch table of image-relative
// addresses of the framework routines the reporter patches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qelDisAsmListing.h"

namespace qel {

// A length byte and room for N characters; longer texts are cut at N.
template <size_t N>
struct TShortString {
  static_assert(N >= 1 && N <= 255);
  uint8_t Length = 0;
  char Chars[N] = {};

  constexpr TShortString() = default;
  template <size_t M>
  constexpr TShortString(const char (&text)[M]) {
    static_assert(M - 1 <= N, "default text longer than the setting's capacity");
    for (size_t i = 0; i + 1 < M; ++i) Chars[i] = text[i];
    Length = static_cast<uint8_t>(M - 1);
  }
  static constexpr size_t Capacity() { return N; }
  std::string Str() const { return std::string(Chars, Length); }
  void Assign(const std::string& text) {
    Length = static_cast<uint8_t>(text.size() < N ? text.size() : N);
    for (size_t i = 0; i < Length; ++i) Chars[i] = text[i];
  }
};

// Placeholders of captions, subjects and messages.
inline constexpr const char* kPlaceholderAppName = "%appname%";
inline constexpr const char* kPlaceholderExceptMsg = "%exceptMsg%";
inline constexpr const char* kPlaceholderLineBreak = "%LF%";
// What "%appname%" stands for: the file name without path and extension.
std::string AppNameOfFile(const std::string& exeFileName);
// "%appname%" = the executable's file name without path and extension,
// "%exceptMsg%" = the exception's message, "%LF%" = CR LF.
std::string ExpandPlaceholders(const std::string& text, const std::string& exeFileName,
                               const std::string& exceptMessage);

// --- switches of the reporter -------------------------------------------------------
extern uint32_t MainThreadId;
extern bool CatchExceptions;
extern bool PatchRtlGui;
extern uint32_t FreezeTimeout;           // ms; 0 = no watchdog
extern bool ShowExceptBox;
extern bool PauseRunningThreads;
extern bool AutoSaveBugReport;
extern bool AutoMailBugReport;
extern bool CopyBugReportToClipboard;
extern bool AutoContinue;
extern uint32_t AutoRestartSeconds;      // 0 never, 1 always, N: ten exceptions within N seconds
extern uint32_t AutoCloseSeconds;
extern uint32_t AutoDelaySeconds;
extern uint32_t DefaultButton;           // ExceptAction code
extern bool BugReportVisible;
extern bool OwnerDrawnButtons;
extern bool ConsoleOutput;
extern bool ResetFpuOnException;
extern std::string IgnoredExceptionClasses;
extern bool HtmlMode;

// --- report contents ------------------------------------------------------------------
extern bool ListAllThreads;
extern bool ListModules;
extern bool ListHardware;
extern bool ShowCommandLine;
extern bool HideItemsWithoutLineNumber;
extern bool ShowRelativeAddresses;
extern bool ShowRelativeLines;
extern bool ListAllStackCandidates;
extern bool DisAsmListingOption;
extern uint32_t DisAsmLineLimit;
extern uint32_t ScreenShotSetting;

// --- mail -------------------------------------------------------------------------------
extern TShortString<75> MailAddresses;
extern std::string MailFrom;
extern TShortString<50> MailSubject;
extern bool AttachBugReportFile;
extern bool DeleteAttachmentsAfterSending;
extern std::string AdditionalAttachments;
extern bool SendViaDirectSmtp;
extern bool SendViaSmtpServer;
extern bool SendViaMapi;
extern bool SendViaMailto;
extern TShortString<50> SmtpServer;
extern uint32_t SmtpPort;
extern TShortString<50> SmtpAccount;
extern TShortString<75> SmtpPassword;    // scrambled until installation turns it into plain text
extern TShortString<200> MailSentMessage;
extern TShortString<200> MailFailedMessage;

// --- save and box texts -------------------------------------------------------------------
extern TShortString<255> BugReportFile;
extern uint32_t BugReportFileSizeLimit;
extern TShortString<100> ExceptBoxTitle;
extern TShortString<255> ExceptMessage;
extern TShortString<255> FrozenMessage;
extern TShortString<30> MailButtonCaption;
extern TShortString<30> SaveButtonCaption;
extern TShortString<30> PrintButtonCaption;
extern TShortString<30> ShowButtonCaption;
extern TShortString<30> ContinueButtonCaption;
extern TShortString<30> RestartButtonCaption;
extern TShortString<30> CloseButtonCaption;

// --- linked routines -------------------------------------------------------------------------
// Builds the HTML page of a report; nullptr until the page builder is linked in.
using THtmlPageRoutine = std::string (*)(const std::string& report);
extern THtmlPageRoutine HtmlPageRoutine;
// Set to the disassembly listing by the unit that links it in; nullptr = no disassembly section.
using TDisAsmListingRoutine = void (*)(const ListingEnvironment& env, Address code, std::string& listing,
                                      Address mark, std::int32_t maxLines, bool withLabels, FunctionInfo& info);
extern TDisAsmListingRoutine DisAsmListingRoutine;

// --- patch table ---------------------------------------------------------------------------------
// Entries in table order. The capture routine (the screenshot, 0 = none) has
// the last position, after the seven entries of the foreign run-time library.
enum TPatchEntry : size_t {
  peVersionString,
  peAppHandleException,
  peAppShowException,
  peClxHandleException,
  peClxShowException,
  peShowException,
  peLoadPackage,
  peInitializePackage,
  peCheckSynchronize,
  peFurtherRoutineA,
  peFurtherRoutineB,
  peWebExtension,
  peHalt0,
  peSpare,
  peStartUp,
  peFinalizeUnits,
  peTopLevelHandler,
  peRuntimeErrorText,
  peDoneExcept,
  peForeignFirst,
  peForeignLast = peForeignFirst + 6,
  peCaptureRoutine,
  kPatchEntryCount
};

// Image-relative addresses written at link time, 0 = empty (initialised data).
extern "C" const uint32_t qelPatchTable[kPatchEntryCount];

// The entry as an address in the module loaded at instance; empty stays 0.
constexpr uintptr_t RelocatePatchEntry(uint32_t entry, uintptr_t instance) {
  return entry == 0 ? 0 : instance + entry;
}

}  // namespace qel
