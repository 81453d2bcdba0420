// Mail, save, print, restart and close for a finished bug report.
#include "qelReportActions.h"

#include <commdlg.h>
#include <mapi.h>

#include <memory>

#include "qelExceptProcess.h"
#include "qelExceptSettings.h"
#include "qelMailNet.h"
#include "qelMailText.h"
#include "qelSmtp.h"
#include "qelStrings.h"

namespace qel {

namespace {

struct THandleClose {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using THandle = std::unique_ptr<void, THandleClose>;

struct TModuleFree {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};
using TModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, TModuleFree>;

struct TViewUnmap {
  void operator()(void* p) const { UnmapViewOfFile(p); }
};
using TView = std::unique_ptr<void, TViewUnmap>;

struct TKeyClose {
  void operator()(HKEY k) const { RegCloseKey(k); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyClose>;

struct TDcDelete {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
using TDc = std::unique_ptr<std::remove_pointer_t<HDC>, TDcDelete>;

std::string ModuleFileName() {
  char name[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, name, sizeof name);
  return std::string(name, n < sizeof name ? n : 0);
}

std::string ModuleDirectory() {
  const std::string path = ModuleFileName();
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsRelative(const std::string& name) { return name.size() < 3 || (name[0] != '\\' && name[1] != ':'); }

bool FileExists(const std::string& name) {
  const DWORD a = GetFileAttributesA(name.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsNtFamily() {
  OSVERSIONINFOA vi{};
  vi.dwOSVersionInfoSize = sizeof vi;
  return GetVersionExA(&vi) && vi.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// The screenshot as "screenShot.png" in the temporary folder; its name, or empty.
std::string WriteScreenshotFile(const std::string& png) {
  char temp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return {};
  std::string name = temp;
  if (name.back() != '\\') name += '\\';
  name += "screenShot.png";
  CreateFolderPath(name);
  const THandle file(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return {};
  DWORD written = 0;
  const bool ok = WriteFile(file.get(), png.data(), static_cast<DWORD>(png.size()), &written, nullptr) &&
                  written == png.size();
  return ok ? name : std::string();  // closed here, before any mail program opens it
}

std::string AttachedBugReportFile(const TReportActionSettings& settings) {
  std::string name = BugReportFileName(settings);
  if (IsRelative(name)) name = ModuleDirectory() + name;
  return FileExists(name) ? name : std::string();
}

void ShowMessage(HWND owner, const TReportActionSettings& settings, const std::string& text, UINT icon) {
  std::string message = text;
  SubstText(message, "%LF%", "\r\n", false);
  MessageBoxA(owner, message.c_str(), settings.MailButtonCaption.c_str(), icon | MB_OK);
}

void MakeNonTopmost(HWND window) {
  SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

}  // namespace

TReportActionSettings ReportActionSettingsFromSettings() {
  TReportActionSettings s;
  s.MailFrom = MailFrom;
  s.MailAddresses = MailAddresses.Str();
  s.MailSubject = MailSubject.Str();
  s.AttachBugReportFile = AttachBugReportFile;
  s.DeleteAttachmentsAfterSending = DeleteAttachmentsAfterSending;
  s.AdditionalAttachments = AdditionalAttachments;
  s.SendViaDirectSmtp = SendViaDirectSmtp;
  s.SendViaSmtpServer = SendViaSmtpServer;
  s.SendViaMapi = SendViaMapi;
  s.SendViaMailto = SendViaMailto;
  s.SmtpServer = SmtpServer.Str();
  s.SmtpPort = SmtpPort;
  s.SmtpAccount = SmtpAccount.Str();
  s.SmtpPassword = SmtpPassword.Str();
  s.MailSentMessage = MailSentMessage.Str();
  s.MailFailedMessage = MailFailedMessage.Str();
  s.MailButtonCaption = MailButtonCaption.Str();
  s.SaveButtonCaption = SaveButtonCaption.Str();
  s.PrintButtonCaption = PrintButtonCaption.Str();
  s.BugReportFile = BugReportFile.Str();
  s.BugReportFileSizeLimit = BugReportFileSizeLimit;
  s.PauseRunningThreads = PauseRunningThreads;
  return s;
}

std::string RestartMappingName(DWORD processId) { return "qelExceptRestart$" + HexStr(processId); }

std::string BugReportFileName(const TReportActionSettings& settings) {
  return SubstAppName(settings.BugReportFile, AppNameOfFile(ModuleFileName()));
}

bool CreateFolderPath(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('\\');
  if (slash == std::string::npos || slash == 0) return false;
  const std::string dir = fileName.substr(0, slash);
  const DWORD a = GetFileAttributesA(dir.c_str());
  if (a != INVALID_FILE_ATTRIBUTES) return (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (dir.size() <= 2) return false;  // "C:" that does not exist
  const bool parent = CreateFolderPath(dir);
  return CreateDirectoryA(dir.c_str(), nullptr) && parent;
}

bool IsConnected() {
  using TGetConnectedState = BOOL(WINAPI*)(LPDWORD flags, DWORD reserved);
  static constexpr TScrambledText kLibrary("wininet.dll");
  static constexpr TScrambledText kRoutine("InternetGetConnectedState");
  const TModule library(LoadLibraryA(kLibrary.Plain().c_str()));
  if (!library) return false;
  const auto routine = reinterpret_cast<TGetConnectedState>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), kRoutine.Plain().c_str())));
  DWORD flags = 0;
  return routine != nullptr && routine(&flags, 0) != FALSE;
}

uint8_t SendMapiMail(const TReportActionSettings& settings, const std::string& addresses, const std::string& subject,
                     const std::string& body, bool silent, HWND owner, const std::string& attachments) {
  if (HoldsLoaderLock()) return SendNotSent;
  static constexpr TScrambledText kLibrary("mapi32.dll");
  static constexpr TScrambledText kRoutine("MAPISendMail");
  const TModule library(LoadLibraryA(kLibrary.Plain().c_str()));
  if (!library) return SendNotSent;
  const auto sendMail = reinterpret_cast<LPMAPISENDMAIL>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), kRoutine.Plain().c_str())));
  if (sendMail == nullptr) return SendNotSent;

  const std::vector<std::string> items = AddressItems(addresses);
  std::vector<std::string> names, smtp;
  for (const std::string& item : items) {
    const size_t lt = item.find('<');
    const size_t gt = item.find('>', lt == std::string::npos ? 0 : lt);
    names.push_back(lt == std::string::npos ? item : item.substr(0, lt));
    smtp.push_back("SMTP:" + (lt == std::string::npos ? item : item.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1)));
  }
  std::vector<MapiRecipDesc> recipients(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    recipients[i] = MapiRecipDesc{};
    recipients[i].ulRecipClass = MAPI_TO;
    recipients[i].lpszName = names[i].data();
    recipients[i].lpszAddress = smtp[i].data();
  }
  std::vector<std::string> paths = AttachmentNames(attachments);
  std::vector<MapiFileDesc> files(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    files[i] = MapiFileDesc{};
    files[i].nPosition = static_cast<ULONG>(-1);
    files[i].lpszPathName = paths[i].data();
  }
  std::string subjectText = subject, noteText = body;
  MapiMessage message{};
  message.lpszSubject = subjectText.data();
  message.lpszNoteText = noteText.data();
  message.nRecipCount = static_cast<ULONG>(recipients.size());
  message.lpRecips = recipients.empty() ? nullptr : recipients.data();
  message.nFileCount = static_cast<ULONG>(files.size());
  message.lpFiles = files.empty() ? nullptr : files.data();
  const FLAGS flags = silent && !items.empty() ? 0 : MAPI_LOGON_UI | MAPI_DIALOG;

  const bool topmost = owner != nullptr && (GetWindowLongA(owner, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  if (topmost) MakeNonTopmost(owner);
  const bool released = settings.PauseRunningThreads && settings.ReleaseMainThread && settings.ReleaseMainThread();
  const ULONG result = sendMail(0, reinterpret_cast<ULONG_PTR>(owner), &message, flags, 0);
  if (released && settings.HoldMainThread) settings.HoldMainThread();
  if (topmost) SetWindowPos(owner, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (result == SUCCESS_SUCCESS) return SendSent;
  return result == MAPI_USER_ABORT ? SendCancelled : SendNotSent;
}

bool SendMailtoShell(const std::string& addresses, const std::string& subject, const std::string& body) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return false;
  const TKey key(opened);
  char value[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH;
  if (RegQueryValueExA(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
    return false;
  value[size < MAX_PATH ? size : MAX_PATH] = 0;
  char expanded[4096] = {};
  const DWORD n = ExpandEnvironmentStringsA(value, expanded, sizeof expanded);
  const std::string command = n > 0 && n <= sizeof expanded ? std::string(expanded) : std::string(value);
  std::string line = MailtoCommand(command, MailtoUrl(addresses, subject, body), IsNtFamily() ? 32766 : 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

uint8_t MailBugReport(const TReportActionSettings& settings, const std::string& report, const std::string& screenshot,
                      HWND owner, bool silent) {
  const std::string subject = MailSubjectText(settings.MailSubject, report, AppNameOfFile(ModuleFileName()));
  const std::string sender = MailSenderText(settings.MailFrom, settings.MailAddresses);

  std::vector<std::string> attachmentNames;
  const std::string reportFile = settings.AttachBugReportFile ? AttachedBugReportFile(settings) : std::string();
  if (!reportFile.empty()) attachmentNames.push_back(reportFile);
  if (!screenshot.empty()) {
    const std::string shot = WriteScreenshotFile(screenshot);
    if (!shot.empty()) attachmentNames.push_back(shot);
  }
  std::string attachments;
  for (const std::string& n : attachmentNames) attachments += (attachments.empty() ? "" : "|") + n;
  if (!settings.AdditionalAttachments.empty())
    attachments += (attachments.empty() ? "" : "|") + settings.AdditionalAttachments;

  uint8_t result = SendNotSent;
  bool sentBySmtp = false;
  const bool online = !settings.MailAddresses.empty() && IsConnected();
  TSmtpMail mail;
  mail.Sender = sender;
  mail.Recipients = settings.MailAddresses;
  mail.Subject = subject;
  mail.Body = report;
  mail.Attachments = attachments;
  if (online && settings.SendViaDirectSmtp) {
    TSystemMailNetwork network;
    network.Dns = settings.Dns;
    network.NameServers = settings.NameServers;
    sentBySmtp = SendSmtpMail(network, mail);
  }
  if (!sentBySmtp && online && settings.SendViaSmtpServer && !settings.SmtpServer.empty()) {
    TSystemMailNetwork network;
    network.Dns = settings.Dns;
    network.NameServers = settings.NameServers;
    mail.Server = settings.SmtpServer;
    mail.Port = static_cast<uint16_t>(settings.SmtpPort);
    mail.Account = settings.SmtpAccount;
    mail.Password = settings.SmtpPassword;
    sentBySmtp = SendSmtpMail(network, mail);
  }
  if (sentBySmtp) result = SendSent;
  if (result == SendNotSent && settings.SendViaMapi)
    result = SendMapiMail(settings, settings.MailAddresses, subject, report, silent, owner, attachments);
  if (result == SendNotSent && settings.SendViaMailto && !silent) {
    attachments.clear();  // a mailto URL carries no attachments
    if (owner != nullptr) MakeNonTopmost(owner);
    if (SendMailtoShell(settings.MailAddresses, subject, report)) result = SendSent;
  }
  if (!silent) {
    if (sentBySmtp) ShowMessage(owner, settings, settings.MailSentMessage, MB_ICONINFORMATION);
    else if (result == SendNotSent) ShowMessage(owner, settings, settings.MailFailedMessage, MB_ICONERROR);
  }
  if (result == SendSent && settings.DeleteAttachmentsAfterSending) {
    // Each file named goes, but never the bug report file: it is the saved history, not made for this mail.
    for (const std::string& name : AttachmentNames(attachments)) {
      if (!reportFile.empty() && TextEquals(name, reportFile)) continue;
      SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(name.c_str());
    }
  }
  return result;
}

bool SaveBugReport(const TReportActionSettings& settings, const std::string& report, HWND owner, bool automatic) {
  std::string name = BugReportFileName(settings);
  if (IsRelative(name)) {
    if (automatic) {
      name = ModuleDirectory() + name;
    } else {
      if (HoldsLoaderLock()) {
        MessageBeep(0);
        return false;
      }
      char file[MAX_PATH] = {};
      lstrcpynA(file, name.c_str(), sizeof file);
      const std::string dir = ModuleDirectory();
      OPENFILENAMEA ofn{};
      ofn.lStructSize = sizeof ofn;
      ofn.hwndOwner = owner;
      ofn.lpstrFilter = "*.txt\0*.txt\0";
      ofn.nFilterIndex = 1;
      ofn.lpstrFile = file;
      ofn.nMaxFile = sizeof file;
      ofn.lpstrInitialDir = dir.c_str();
      ofn.lpstrTitle = settings.SaveButtonCaption.c_str();
      ofn.Flags = OFN_HIDEREADONLY | OFN_NOREADONLYRETURN;
      if (!GetSaveFileNameA(&ofn)) return false;
      name = file;
    }
  }
  CreateFolderPath(name);
  const THandle file(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  const uint32_t limit = settings.BugReportFileSizeLimit;
  if (limit == 0) {
    SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file.get());
  }
  const DWORD before = SetFilePointer(file.get(), 0, nullptr, FILE_END);
  if (before == INVALID_SET_FILE_POINTER) return false;
  const std::string text = report + "\r\n\r\n";
  DWORD written = 0;
  if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size())
    return false;
  const DWORD size = before + written;
  if (limit != 0 && size > limit) {
    size_t cut = 0;
    {
      const THandle mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
      const TView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
      if (view) {
        char* data = static_cast<char*>(view.get());
        cut = ReportTrimPosition(data, size, before, limit);
        if (cut > 0) memmove(data, data + cut, size - cut);
      }
    }
    if (cut > 0) {
      SetFilePointer(file.get(), static_cast<LONG>(size - cut), nullptr, FILE_BEGIN);
      SetEndOfFile(file.get());
    }
  }
  return true;
}

bool PrintBugReport(const TReportActionSettings& settings, const std::string& report, HWND owner) {
  if (HoldsLoaderLock()) {
    MessageBeep(0);
    return false;
  }
  PRINTDLGA pd{};
  pd.lStructSize = sizeof pd;
  pd.hwndOwner = owner;
  pd.Flags = PD_RETURNDC | PD_NOPAGENUMS | PD_NOSELECTION | PD_NOWARNING | PD_USEDEVMODECOPIESANDCOLLATE |
             PD_HIDEPRINTTOFILE | PD_NONETWORKBUTTON;
  if (!PrintDlgA(&pd) || pd.hDC == nullptr) {
    if (pd.hDevMode) GlobalFree(pd.hDevMode);
    if (pd.hDevNames) GlobalFree(pd.hDevNames);
    return false;
  }
  if (pd.hDevMode) GlobalFree(pd.hDevMode);
  if (pd.hDevNames) GlobalFree(pd.hDevNames);
  const TDc dc(pd.hDC);
  return PrintReportOnDc(dc.get(), report, settings.PrintButtonCaption);
}

bool PrintReportOnDc(HDC dc, const std::string& report, const std::string& documentName) {
  SetMapMode(dc, MM_TEXT);
  const TPrintLayout page = PrintLayout(TPrintCaps{
      GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, VERTRES), GetDeviceCaps(dc, HORZSIZE), GetDeviceCaps(dc, VERTSIZE),
      GetDeviceCaps(dc, LOGPIXELSX), GetDeviceCaps(dc, LOGPIXELSY), GetDeviceCaps(dc, PHYSICALOFFSETX),
      GetDeviceCaps(dc, PHYSICALOFFSETY)});
  const int top = page.Top, bottom = page.Bottom, left = page.Left, width = page.Width;
  const int logY = GetDeviceCaps(dc, LOGPIXELSY);
  if (bottom <= top || width <= 0) return false;

  const HFONT font = CreateFontA(-(logY * 8 / 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Courier New");
  const HGDIOBJ previous = SelectObject(dc, font);
  DOCINFOA doc{};
  doc.cbSize = sizeof doc;
  doc.lpszDocName = documentName.c_str();
  bool ok = StartDocA(dc, &doc) > 0 && StartPage(dc) > 0;
  int y = top;
  size_t pos = 0;
  while (ok && pos <= report.size()) {
    size_t eol = report.find("\r\n", pos);
    if (eol == std::string::npos) eol = report.size();
    const std::string line = eol > pos ? report.substr(pos, eol - pos) : std::string(1, ' ');
    RECT r{left, y, left + width, y};
    DrawTextA(dc, line.c_str(), static_cast<int>(line.size()), &r, DT_CALCRECT | DT_WORDBREAK | DT_EXTERNALLEADING);
    if (y + (r.bottom - r.top) > bottom && y > top) {
      ok = EndPage(dc) > 0 && StartPage(dc) > 0;
      y = top;
      r = RECT{left, y, left + width, y + (r.bottom - r.top)};
    }
    r.left = left;
    r.right = left + width;
    DrawTextA(dc, line.c_str(), static_cast<int>(line.size()), &r, DT_WORDBREAK | DT_EXTERNALLEADING);
    y = r.bottom;
    if (eol == report.size()) break;
    pos = eol + 2;
  }
  ok = ok && EndPage(dc) > 0;
  ok = EndDoc(dc) > 0 && ok;
  SelectObject(dc, previous);
  DeleteObject(font);
  return ok;
}

void RestartApplication(const uint64_t (&history)[10]) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string commandLine = GetCommandLineA();
  HANDLE mapping = nullptr;  // kept until this process ends
  if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);  // no access list: every user may open it
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(TRestartHandOver),
                                 RestartMappingName(pi.dwProcessId).c_str());
    if (mapping != nullptr) {
      const TView view(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(TRestartHandOver)));
      if (view) {
        auto* block = static_cast<TRestartHandOver*>(view.get());
        block->PredecessorId = GetCurrentProcessId();
        HANDLE duplicate = nullptr;
        DuplicateHandle(GetCurrentProcess(), mapping, pi.hProcess, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
        block->MappingHandle = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(duplicate));
        memcpy(block->History, history, sizeof block->History);
      }
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  TerminateProcess(GetCurrentProcess(), 2);
  ExitProcess(2);
}

void CloseApplication() {
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);
}

}  // namespace qel
