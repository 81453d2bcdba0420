// Portable texts of the report actions.
#include "qelMailText.h"

#include <cstring>

#include "qelCrypt.h"
#include "qelStrings.h"

namespace qel {

namespace {

std::vector<std::string> NonEmptyItems(const std::string& list, char separator) {
  std::vector<std::string> items;
  const int count = ItemCount(list, separator);
  for (int i = 1; i <= count; ++i) {
    std::string item = ItemByIndex(list, i, separator);
    if (!item.empty()) items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

int SplitAddressList(std::string& list) {
  for (char& c : list)
    if (c == ';') c = ',';
  TrimAroundSeparator(list, ',');
  return ItemCount(list, ',');
}

std::vector<std::string> AddressItems(std::string list) {
  SplitAddressList(list);
  return NonEmptyItems(list, ',');
}

std::string AngleAddress(const std::string& item, bool keepName) {
  const size_t lt = item.find('<');
  if (lt == std::string::npos) return "<" + item + ">";
  return keepName ? item : item.substr(lt);
}

std::string AngleAddressList(const std::string& list, bool keepName) {
  std::string joined;
  for (const std::string& item : AddressItems(list)) {
    if (!joined.empty()) joined += ", ";
    joined += AngleAddress(item, keepName);
  }
  return joined;
}

std::string SubstAppName(const std::string& text, const std::string& appName) {
  std::string s = text;
  SubstText(s, "%appname%", appName, false);
  return s;
}

bool ReportExceptionMessage(const std::string& report, std::string& message) {
  static const std::string kLine = "\r\nexception message ";
  const size_t at = report.find(kLine);
  if (at == std::string::npos) return false;
  size_t end = report.find("\r\n", at + 10);
  if (end == std::string::npos) end = report.size();
  const std::string line = report.substr(at + 2, end - (at + 2));
  const size_t colon = line.find(':');
  const std::string text = colon == std::string::npos ? std::string() : line.substr(colon + 1);
  size_t first = 0;
  while (first < text.size() && BlankOrControlChars.Contains(text[first])) ++first;
  size_t last = text.size();
  while (last > first && BlankOrControlChars.Contains(text[last - 1])) --last;
  message = text.substr(first, last - first);
  return true;
}

std::string MailSubjectText(const std::string& subjectSetting, const std::string& report, const std::string& appName) {
  std::string subject = SubstAppName(subjectSetting, appName);
  std::string message;
  if (ReportExceptionMessage(report, message)) SubstText(subject, "%exceptMsg%", message, false);
  return subject;
}

std::string MailSenderText(const std::string& mailFrom, const std::string& addresses) {
  if (!mailFrom.empty() || addresses.empty()) return mailFrom;
  const std::vector<std::string> items = AddressItems(addresses);
  return items.empty() ? mailFrom : "qelExcept " + AngleAddress(items.front(), false);
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<uint8_t>(c);
    const bool unreserved = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                            u == '-' || u == '.' || u == '_' || u == '~';
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

std::string MailtoUrl(const std::string& addresses, const std::string& subject, const std::string& body) {
  // Each address is encoded too: a list item could otherwise carry "?" or "&" of its own.
  std::string list;
  for (const std::string& item : AddressItems(addresses)) {
    if (!list.empty()) list += ',';
    list += UrlEncode(item);
  }
  return "mailto:" + list + "?subject=" + UrlEncode(subject) + "&body=" + UrlEncode(body);
}

std::string MailtoCommand(const std::string& command, const std::string& url, size_t maxLength) {
  std::string cmd = command;
  if (cmd.find("%1") != std::string::npos) {
    SubstStr(cmd, "%1", url, false);
  } else {
    if (!cmd.empty() && cmd.back() != ' ') cmd += ' ';
    cmd += url;
  }
  if (maxLength >= 3 && cmd.size() > maxLength) {
    size_t cut = maxLength;
    if (cmd[maxLength - 1] == '%') cut = maxLength - 1;
    else if (cmd[maxLength - 2] == '%') cut = maxLength - 2;
    cmd.resize(cut);
  }
  return cmd;
}

size_t ReportTrimPosition(const char* data, size_t size, size_t newestStart, uint32_t limit) {
  if (limit == 0 || size <= limit || newestStart > size) return 0;
  const size_t keep = limit - limit / 4;
  static const char kLabel[] = "date/time";
  const size_t labelLength = std::strlen(kLabel);
  for (size_t p = 0; p <= newestStart && p + labelLength <= size; ++p) {
    if ((p != 0 && data[p - 1] != '\n') || std::memcmp(data + p, kLabel, labelLength) != 0) continue;
    if (size - p < keep) return p;
  }
  // Even the newest report alone is too large: keep it whole, drop all before it.
  return newestStart;
}

TPrintLayout PrintLayout(const TPrintCaps& c) {
  const auto units = [](int res, int sizeMm, int perInch, int mm) {
    if (sizeMm > 0) return (res * mm + sizeMm / 2) / sizeMm;
    return (perInch * mm * 10 + 127) / 254;
  };
  TPrintLayout l;
  l.Top = units(c.VertRes, c.VertSize, c.LogPixelsY, 10) - c.OffsetY;
  l.Bottom = c.VertRes - 2 * l.Top;
  l.Left = units(c.HorzRes, c.HorzSize, c.LogPixelsX, 20) - c.OffsetX;
  l.Width = c.HorzRes + c.OffsetX - l.Left - units(c.HorzRes, c.HorzSize, c.LogPixelsX, 10);
  return l;
}

std::vector<std::string> AttachmentNames(std::string list) {
  TrimAroundSeparator(list, '|');
  return NonEmptyItems(list, '|');
}

std::string UnscrambleSmtpPassword(const std::string& stored, const std::string& account, const std::string& server) {
  std::string plain = stored;
  DecryptStrCtr(plain, server, SmtpPasswordServerCounter[0], SmtpPasswordServerCounter[1]);
  DecryptStrCtr(plain, account, SmtpPasswordAccountCounter[0], SmtpPasswordAccountCounter[1]);
  return plain;
}

}  // namespace qel
