// SMTP sessions, replies and the message text.
#include "qelSmtp.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "qelCrypt.h"
#include "qelMailText.h"
#include "qelStrings.h"

namespace qel {

const char* const MimeBoundary = "=_qelExcept_7f3a9c1e_part_boundary";

namespace {

constexpr size_t kAttachmentChunk = 57;     // one base64 line of 76 characters
constexpr size_t kChunksPerSend = 13;        // about one send piece of text per batch

struct TFileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<std::FILE, TFileClose>;

TFile OpenForReading(const std::string& name) { return TFile(std::fopen(name.c_str(), "rb")); }

std::string NameWithoutPath(const std::string& name) {
  const size_t slash = name.find_last_of("\\/:");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool EndsWithText(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && TextEquals(s.substr(s.size() - suffix.size()), suffix);
}

// An EHLO line offers AUTH LOGIN: "250-AUTH LOGIN PLAIN" or "250-AUTH=LOGIN".
bool OffersAuthLogin(std::string line) {
  for (char& c : line)
    if (c == '=') c = ' ';
  if (line.size() < 4) return false;
  const std::string text = line.substr(4);
  if (!StartsWithText("AUTH ", text)) return false;
  return FindText(" LOGIN ", text.substr(4) + " ", 1, static_cast<uint32_t>(-1)) > 0;
}

std::string FirstSender(const std::string& sender) {
  const std::vector<std::string> items = AddressItems(sender);
  return items.empty() ? std::string() : AngleAddress(items.front(), false);
}

// Body and attachments after the header; false when any piece failed.
bool SendMessageBody(TMailSocket& socket, const TSmtpMail& mail, const std::string& body) {
  const std::vector<std::string> names = AttachmentNames(mail.Attachments);
  if (names.empty()) return SmtpSend(socket, "\r\n" + body);
  const std::string boundary = MimeBoundary;
  bool ok = SmtpSend(socket,
                     "MIME-Version: 1.0\r\n"
                     "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n"
                     "This is a multi-part message in MIME format.\r\n\r\n"
                     "--" + boundary + "\r\n"
                     "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                     "Content-Transfer-Encoding: 8bit\r\n\r\n" + body + "\r\n");
  for (const std::string& name : names) {
    if (!ok) break;
    if (!OpenForReading(name)) continue;  // names of files that do not exist are skipped
    ok = MimeAttachment(socket, name);
  }
  return ok && SmtpSend(socket, "--" + boundary + "--\r\n");
}

}  // namespace

bool SmtpSend(TMailSocket& socket, const std::string& text) {
  for (size_t pos = 0; pos < text.size(); pos += SmtpSendPiece) {
    const size_t n = text.size() - pos < SmtpSendPiece ? text.size() - pos : SmtpSendPiece;
    if (!socket.Send(text.data() + pos, n)) return false;
  }
  return true;
}

bool SmtpReply(TSmtpReader& reader, const char* code, bool* authLogin) {
  bool matches = true;
  size_t taken = 0;
  char buffer[SmtpReceivePiece];
  for (;;) {
    size_t eol;
    while ((eol = reader.Pending.find('\n')) != std::string::npos) {
      std::string line = reader.Pending.substr(0, eol);
      reader.Pending.erase(0, eol + 1);
      taken += eol + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, 3, code) != 0) matches = false;
      if (matches && authLogin != nullptr && !*authLogin && OffersAuthLogin(line)) *authLogin = true;
      // A failed reply is still read to its last line, so that the next command sees its own reply.
      if (line.size() < 4 || line[3] != '-') return matches;
    }
    if (taken + reader.Pending.size() > SmtpMaxReply) return false;
    size_t received = 0;
    if (reader.Socket.Receive(buffer, sizeof buffer, reader.TimeoutMs, received) != TMailSocket::TReceive::Data)
      return false;  // closed, failed or silent: the session cannot go on
    reader.Pending.append(buffer, received);
  }
}

bool SmtpCommand(TSmtpReader& reader, const std::string& command, const char* code, bool* authLogin) {
  if (!command.empty() && !SmtpSend(reader.Socket, command + "\r\n")) return false;
  return SmtpReply(reader, code, authLogin);
}

bool MimeAttachment(TMailSocket& socket, const std::string& fileName) {
  const TFile file = OpenForReading(fileName);
  if (!file) return false;
  const std::string type = EndsWithText(fileName, ".png") ? "image/png" : "application/octet-stream";
  const std::string shortName = NameWithoutPath(fileName);
  bool first = true;
  std::vector<uint8_t> chunk(kAttachmentChunk * kChunksPerSend);
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
    if (std::ferror(file.get())) {
      if (!first) SmtpSend(socket, "\r\n");
      return false;
    }
    if (got == 0) return true;
    std::string text;
    if (first) {
      text = "--" + std::string(MimeBoundary) + "\r\nContent-Type: " + type + "; name=\"" + shortName +
             "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + shortName +
             "\"\r\n\r\n";
      first = false;
    }
    for (size_t pos = 0; pos < got; pos += kAttachmentChunk) {
      const size_t n = got - pos < kAttachmentChunk ? got - pos : kAttachmentChunk;
      text += Base64Buf(chunk.data() + pos, static_cast<int32_t>(n));
      text += "\r\n";
    }
    if (!SmtpSend(socket, text)) return false;
    if (got < chunk.size()) return true;
  }
}

std::string QEncodedSubject(const std::string& subject) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "=?ISO-8859-1?Q?";
  for (const char c : subject) {
    const auto u = static_cast<uint8_t>(c);
    if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z')) {
      out += c;
    } else {
      out += '=';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out + "?=";
}

std::string DataTransparent(const std::string& body) {
  std::string out;
  out.reserve(body.size() + body.size() / 32);
  bool lineStart = true;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  return out;
}

std::string RfcDateTime(uint64_t fileTime) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const uint64_t seconds = fileTime / 10000000u;  // since 1 Jan 1601
  const uint64_t secondOfDay = seconds % 86400u;
  // Days since 1 Mar 0000 in the proleptic Gregorian calendar; 1601-01-01 is day 584694.
  const int64_t z = static_cast<int64_t>(seconds / 86400u) + 584694;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof text, "%d %s %d %02u:%02u:%02u UT", static_cast<int>(day), kMonths[month - 1],
                static_cast<int>(year), static_cast<unsigned>(secondOfDay / 3600),
                static_cast<unsigned>(secondOfDay / 60 % 60), static_cast<unsigned>(secondOfDay % 60));
  return text;
}

std::string NewMessageId(uint64_t fileTime) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(fileTime));
  std::string id = std::string(hex) + "@qelExcept>";
  id[0] = '<';
  return id;
}

bool SmtpSession(TMailNetwork& network, const TSmtpMail& mail) {
  const std::string server = mail.Server.empty() ? network.MailExchanger(mail.Recipients) : mail.Server;
  if (server.empty()) return false;
  const std::unique_ptr<TMailSocket> socket = network.Connect(server, mail.Port);
  if (!socket) return false;
  TSmtpReader reader{*socket};
  if (!SmtpReply(reader, "220")) return false;

  const std::string host = network.ComputerName();
  bool authLogin = false;
  if (!SmtpCommand(reader, "EHLO " + host, "250", &authLogin)) {
    authLogin = false;
    if (!SmtpCommand(reader, "HELO " + host, "250")) return false;  // no QUIT after a refused greeting
  }

  const std::string sender = mail.Sender.empty() ? mail.Recipients : mail.Sender;
  const auto envelopeAndData = [&]() -> bool {
    if (!mail.Account.empty() || !mail.Password.empty()) {
      if (!authLogin || !SmtpCommand(reader, "AUTH LOGIN", "334") ||
          !SmtpCommand(reader, Base64Str(mail.Account), "334") || !SmtpCommand(reader, Base64Str(mail.Password), "235"))
        return false;
    }
    if (!SmtpCommand(reader, "MAIL FROM:" + FirstSender(sender), "250")) return false;
    bool accepted = false;
    for (const std::string& item : AddressItems(mail.Recipients))
      accepted = SmtpCommand(reader, "RCPT TO:" + AngleAddress(item, false), "250") || accepted;
    if (!accepted) return false;
    if (mail.Subject.empty() && mail.Body.empty()) {
      SmtpCommand(reader, "RSET", "250");
      return false;  // nothing to send is not a sent mail
    }
    const std::string body = DataTransparent(mail.Body);
    if (!SmtpCommand(reader, "DATA", "354")) return false;
    const std::uint64_t now = network.FileTimeNow();
    bool ok = SmtpSend(*socket, "To: " + AngleAddressList(mail.Recipients, true) + "\r\n" +
                                    "From: " + AngleAddressList(sender, true) + "\r\n" +
                                    "Subject: " + QEncodedSubject(mail.Subject) + "\r\n" +
                                    "Date: " + RfcDateTime(now) + "\r\n" +
                                    "Message-ID: " + NewMessageId(now) + "\r\n");
    ok = ok && SendMessageBody(*socket, mail, body);
    return SmtpCommand(reader, "\r\n.", "250") && ok;
  };
  const bool sent = envelopeAndData();
  // The mail is delivered once the data was accepted: a missing goodbye changes nothing.
  SmtpCommand(reader, "QUIT", "221");
  return sent;
}

bool SendSmtpMail(TMailNetwork& network, const TSmtpMail& mail) {
  if (mail.Recipients.empty()) return false;
  if (!mail.Server.empty()) return SmtpSession(network, mail);
  bool any = false;
  for (const std::string& item : AddressItems(mail.Recipients)) {
    TSmtpMail one = mail;
    one.Recipients = item;
    any = SmtpSession(network, one) || any;
  }
  return any;
}

}  // namespace qel
