// Texts of the report actions that need no system: address lists, the mail
// subject and sender, the mailto URL and command, and where the bug report
// file is trimmed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel {

// ";" becomes ",", blanks around the items go; the item count.
int SplitAddressList(std::string& list);
// The non-empty items of a list (normalised first).
std::vector<std::string> AddressItems(std::string list);
// "a@b" -> "<a@b>"; "Name <a@b>" stays whole with keepName, else "<a@b>".
std::string AngleAddress(const std::string& item, bool keepName);
// Every item in angle-bracket form, joined by ", ".
std::string AngleAddressList(const std::string& list, bool keepName);

// "%appname%" (any case) replaced by `appName`.
std::string SubstAppName(const std::string& text, const std::string& appName);
// The text of the report's "exception message" line after its first ":",
// blanks and control characters trimmed; false when there is no such line.
bool ReportExceptionMessage(const std::string& report, std::string& message);
// The subject: "%appname%" and, when the report has an exception message
// line, "%exceptMsg%" filled in.
std::string MailSubjectText(const std::string& subjectSetting, const std::string& report, const std::string& appName);
// `mailFrom` when set or when there are no recipients, else "qelExcept <first recipient>".
std::string MailSenderText(const std::string& mailFrom, const std::string& addresses);

// Every byte outside the unreserved set (letters, digits, "-._~") as "%XX".
std::string UrlEncode(const std::string& text);
std::string MailtoUrl(const std::string& addresses, const std::string& subject, const std::string& body);
// The mail client's command with "%1" replaced by the URL (or the URL
// appended), cut to `maxLength` without splitting an escape (0: no cut).
std::string MailtoCommand(const std::string& command, const std::string& url, size_t maxLength);

// Where the bug report file is cut when it has outgrown `limit`: the first
// report (a line beginning "date/time") from which less than three quarters
// of the limit remain; when none qualifies, the newest report, which begins
// at `newestStart`. 0: nothing to cut.
size_t ReportTrimPosition(const char* data, size_t size, size_t newestStart, uint32_t limit);

// Page margins of the printed report in device units: 1 cm at the top and
// bottom and on the right, 2 cm on the left, from the page's resolution and
// physical size (in millimetres; a device that reports none is measured by
// its pixels per inch) less the unprintable offsets.
struct TPrintCaps {
  int HorzRes, VertRes, HorzSize, VertSize, LogPixelsX, LogPixelsY, OffsetX, OffsetY;
};
struct TPrintLayout {
  int Top, Bottom, Left, Width;  // Bottom: the last usable y; Width: the line width
};
TPrintLayout PrintLayout(const TPrintCaps& caps);

// Names of an attachment list ("|" separated), empty items left out.
std::vector<std::string> AttachmentNames(std::string list);

// The stored SMTP password made plain: counter-mode Blowfish keyed by the
// server name, then again keyed by the account name, each pass with its own
// initial counter (high, low) and its padding stripped.
inline constexpr uint32_t SmtpPasswordServerCounter[2] = {0x71656C53, 0x6D747031};
inline constexpr uint32_t SmtpPasswordAccountCounter[2] = {0x71656C41, 0x63637432};
std::string UnscrambleSmtpPassword(const std::string& stored, const std::string& account, const std::string& server);

}  // namespace qel
