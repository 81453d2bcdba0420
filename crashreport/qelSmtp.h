// A small blocking SMTP client for the bug-report mail: straight to each
// recipient's mail exchanger or through one configured server with optional
// AUTH LOGIN. It builds the whole message itself (Q-encoded subject, MIME
// multipart with base64 attachments). The protocol runs over a small socket
// seam, so the same code talks Winsock in the programs and POSIX in host tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qel {

// One connected stream.
class TMailSocket {
public:
  enum class TReceive { Data, Closed, Timeout, Error };
  virtual ~TMailSocket() = default;
  virtual bool Send(const char* data, size_t length) = 0;
  virtual TReceive Receive(char* buffer, size_t capacity, unsigned timeoutMs, size_t& received) = 0;
};

// What a session needs from the machine.
class TMailNetwork {
public:
  virtual ~TMailNetwork() = default;
  // A dotted address or a host name (first address); null when it cannot be reached.
  virtual std::unique_ptr<TMailSocket> Connect(const std::string& host, uint16_t port) = 0;
  // The mail exchanger of the recipient's domain; empty when none is found.
  virtual std::string MailExchanger(const std::string& recipient) = 0;
  virtual std::string ComputerName() = 0;
  // Now as a file time: 100 ns units since 1 Jan 1601, UTC.
  virtual uint64_t FileTimeNow() = 0;
};

struct TSmtpMail {
  std::string Sender;
  std::string Recipients;   // separated by ";" or ","
  std::string Subject;
  std::string Body;
  std::string Attachments;  // file names separated by "|"
  std::string Server;       // empty: each recipient's mail exchanger
  std::string Account;
  std::string Password;
  uint16_t Port = 25;
};

inline constexpr unsigned SmtpReplyTimeoutMs = 7000;
inline constexpr size_t SmtpSendPiece = 1024;
inline constexpr size_t SmtpReceivePiece = 1024;
// A reply (all its lines) longer than this is not a reply we can use.
inline constexpr size_t SmtpMaxReply = 64 * 1024;
extern const char* const MimeBoundary;

// True when the mail went through at least one session: through the server
// one session for all recipients, else one per recipient to its exchanger.
bool SendSmtpMail(TMailNetwork& network, const TSmtpMail& mail);
// One connection: greeting, EHLO/HELO, optional AUTH LOGIN, envelope, data, QUIT.
bool SmtpSession(TMailNetwork& network, const TSmtpMail& mail);

// Reply reading state of one session.
struct TSmtpReader {
  TMailSocket& Socket;
  unsigned TimeoutMs = SmtpReplyTimeoutMs;
  std::string Pending;  // received text not yet taken as reply lines
};

bool SmtpSend(TMailSocket& socket, const std::string& text);
// True when a whole reply arrived and all its lines carry `code`. With
// `authLogin`, an EHLO line "AUTH ..." (or "AUTH=...") naming LOGIN sets it.
bool SmtpReply(TSmtpReader& reader, const char* code, bool* authLogin = nullptr);
bool SmtpCommand(TSmtpReader& reader, const std::string& command, const char* code, bool* authLogin = nullptr);
// One attachment part; an empty file sends nothing.
bool MimeAttachment(TMailSocket& socket, const std::string& fileName);

// "=?ISO-8859-1?Q?...?=" with every byte but letters and digits as "=XX".
std::string QEncodedSubject(const std::string& subject);
// Body ready for DATA: every line ends in CR LF (bare CR and LF become CR LF)
// and every line that begins with "." gets a second one, which the server removes.
std::string DataTransparent(const std::string& body);
// "9 Dec 2026 08:05:07 UT" for that moment given as a file time.
std::string RfcDateTime(uint64_t fileTime);
// "<" + 15 of the 16 upper-case hex digits of the file time + "@qelExcept>".
std::string NewMessageId(uint64_t fileTime);

}  // namespace qel
