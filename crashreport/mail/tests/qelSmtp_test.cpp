// The SMTP client against scripted peers in memory: the exact transcript of
// a session, server variants, failures, data transparency and MIME parts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "ScriptedSmtp.h"
#include "qelCrypt.h"
#include "qelSmtp.h"

using namespace qel;
using smtptest::TPeerScript;
using smtptest::TScriptedNetwork;

namespace {

TSmtpMail ServerMail() {
  TSmtpMail m;
  m.Sender = "Reporter <reporter@app.test>";
  m.Recipients = "dev@example.test; Bee <bee@other.test>";
  m.Subject = "bug report";
  m.Body = "line one\r\nline two";
  m.Server = "smtp.test";
  m.Account = "reporter";
  m.Password = "s3cr=t";
  m.Port = 587;
  return m;
}

std::vector<std::string> Verbs(const smtptest::TScriptedPeer& peer) {
  std::vector<std::string> v;
  for (const auto& c : peer.Commands) v.push_back(c.substr(0, c.find_first_of(" :")));
  return v;
}

using TVerbs = std::vector<std::string>;

}  // namespace

TEST(SmtpSession, ExactTranscriptThroughAServerWithAuthLogin) {
  TScriptedNetwork net;
  net.Hosts["smtp.test"] = TPeerScript{};
  ASSERT_TRUE(SendSmtpMail(net, ServerMail()));
  ASSERT_EQ(net.Sessions.size(), 1u);
  EXPECT_EQ(net.Sessions[0].second->Transcript,
            "EHLO testhost\r\n"
            "AUTH LOGIN\r\n"
            "cmVwb3J0ZXI=\r\n"
            "czNjcj10\r\n"
            "MAIL FROM:<reporter@app.test>\r\n"
            "RCPT TO:<dev@example.test>\r\n"
            "RCPT TO:<bee@other.test>\r\n"
            "DATA\r\n"
            "To: <dev@example.test>, Bee <bee@other.test>\r\n"
            "From: Reporter <reporter@app.test>\r\n"
            "Subject: =?ISO-8859-1?Q?bug=20report?=\r\n"
            "Date: 9 Dec 2026 08:05:07 UT\r\n"
            "Message-ID: <1DD87B400E73B80@qelExcept>\r\n"
            "\r\n"
            "line one\r\n"
            "line two\r\n"
            ".\r\n"
            "QUIT\r\n");
}

TEST(SmtpSession, ServerVariants) {
  struct TCase {
    const char* What;
    std::function<void(TPeerScript&, TSmtpMail&)> Set;
    bool Sent;
    TVerbs Verbs;
  };
  const TVerbs full = {"EHLO", "AUTH", "cmVwb3J0ZXI=", "czNjcj10", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"};
  const TCase cases[] = {
      {"AUTH=LOGIN form", [](TPeerScript& p, TSmtpMail&) { p.EhloReply = "250-mx\r\n250 AUTH=LOGIN\r\n"; }, true, full},
      {"LOGIN among others, lower case",
       [](TPeerScript& p, TSmtpMail&) { p.EhloReply = "250-mx\r\n250-auth cram-md5 login\r\n250 8BITMIME\r\n"; }, true, full},
      {"PLAIN only: no login possible",
       [](TPeerScript& p, TSmtpMail&) { p.EhloReply = "250-mx\r\n250 AUTH PLAIN\r\n"; }, false, {"EHLO", "QUIT"}},
      {"LOGINX is not LOGIN",
       [](TPeerScript& p, TSmtpMail&) { p.EhloReply = "250-mx\r\n250 AUTH LOGINX\r\n"; }, false, {"EHLO", "QUIT"}},
      {"EHLO refused: HELO, then no AUTH offered",
       [](TPeerScript& p, TSmtpMail&) { p.EhloReply = "502-not\r\n502 implemented\r\n"; }, false, {"EHLO", "HELO", "QUIT"}},
      {"EHLO refused: HELO without account",
       [](TPeerScript& p, TSmtpMail& m) {
         p.EhloReply = "500 what\r\n";
         m.Account.clear(), m.Password.clear();
       },
       true, {"EHLO", "HELO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"}},
      {"HELO refused too: no QUIT",
       [](TPeerScript& p, TSmtpMail&) { p.EhloReply = "500 what\r\n", p.HeloReply = "501 no\r\n"; }, false, {"EHLO", "HELO"}},
      {"no account: no AUTH although offered",
       [](TPeerScript&, TSmtpMail& m) { m.Account.clear(), m.Password.clear(); }, true,
       {"EHLO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"}},
      {"one recipient refused",
       [](TPeerScript& p, TSmtpMail&) { p.RefusedRecipients = {"RCPT TO:<dev@example.test>"}; }, true, full},
      {"every recipient refused",
       [](TPeerScript& p, TSmtpMail&) { p.RefusedRecipients = {"RCPT TO:<dev@example.test>", "RCPT TO:<bee@other.test>"}; },
       false, {"EHLO", "AUTH", "cmVwb3J0ZXI=", "czNjcj10", "MAIL", "RCPT", "RCPT", "QUIT"}},
      {"goodbye missing: still sent", [](TPeerScript& p, TSmtpMail&) { p.QuitReply.clear(); }, true, full},
      {"goodbye is an error: still sent", [](TPeerScript& p, TSmtpMail&) { p.QuitReply = "500 eh\r\n"; }, true, full},
      {"greeting refused", [](TPeerScript& p, TSmtpMail&) { p.Greeting = "554 go away\r\n"; }, false, {}},
      {"empty message is not a sent mail",
       [](TPeerScript&, TSmtpMail& m) { m.Subject.clear(), m.Body.clear(); }, false,
       {"EHLO", "AUTH", "cmVwb3J0ZXI=", "czNjcj10", "MAIL", "RCPT", "RCPT", "RSET", "QUIT"}},
  };
  for (const TCase& c : cases) {
    TScriptedNetwork net;
    TPeerScript script;
    TSmtpMail mail = ServerMail();
    c.Set(script, mail);
    net.Hosts["smtp.test"] = script;
    EXPECT_EQ(SendSmtpMail(net, mail), c.Sent) << c.What;
    ASSERT_EQ(net.Sessions.size(), 1u) << c.What;
    EXPECT_EQ(Verbs(*net.Sessions[0].second), c.Verbs) << c.What;
  }
}

TEST(SmtpSession, APeerThatClosesEndsTheSessionAtOnce) {
  // The peer closes after every prefix of its replies, also in the middle of a line.
  TPeerScript script;
  const size_t total = script.Greeting.size() + script.EhloReply.size() + 4 * 20;
  for (size_t cut = 0; cut < total; cut += 7) {
    TScriptedNetwork net;
    script.CloseAfter = cut;
    net.Hosts["smtp.test"] = script;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendSmtpMail(net, ServerMail())) << cut;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << cut;
  }
}

TEST(SmtpSession, EndlessReplyIsRefused) {
  class TFlood : public TMailSocket {
  public:
    bool Send(const char*, size_t) override { return true; }
    TReceive Receive(char* b, size_t c, unsigned, size_t& r) override {
      static const std::string kLine = "250-more and more and more\r\n";
      r = std::min(c, kLine.size());
      kLine.copy(b, r);
      return TReceive::Data;
    }
  } flood;
  TSmtpReader reader{flood};
  EXPECT_FALSE(SmtpReply(reader, "250"));
}

TEST(SmtpSession, DirectToEachRecipientsExchanger) {
  TScriptedNetwork net;
  net.Hosts["mx.a.test"] = TPeerScript{};
  net.Hosts["mx.b.test"] = TPeerScript{};
  net.Exchangers = {{"one@a.test", "mx.a.test"}, {"Two <two@b.test>", "mx.b.test"}};
  TSmtpMail mail;
  mail.Recipients = "one@a.test,Two <two@b.test>";
  mail.Subject = "s";
  mail.Body = "b";
  EXPECT_TRUE(SendSmtpMail(net, mail));
  ASSERT_EQ(net.Sessions.size(), 2u);
  EXPECT_EQ(net.Sessions[0].first, "mx.a.test");
  EXPECT_EQ(net.Sessions[1].first, "mx.b.test");
  // Without a sender the session's recipient stands in for it.
  EXPECT_EQ(net.Sessions[1].second->Commands[1], "MAIL FROM:<two@b.test>");
  EXPECT_EQ(net.Sessions[1].second->Commands[2], "RCPT TO:<two@b.test>");

  // One recipient whose exchanger is unknown: the other one's session still counts.
  net.Exchangers.erase("one@a.test");
  net.Sessions.clear();
  EXPECT_TRUE(SendSmtpMail(net, mail));
  EXPECT_EQ(net.Sessions.size(), 1u);
  net.Exchangers.clear();
  EXPECT_FALSE(SendSmtpMail(net, mail));
  mail.Recipients.clear();
  EXPECT_FALSE(SendSmtpMail(net, mail));
}

TEST(SmtpData, LinesBeginningWithADotSurviveTheTrip) {
  // Body, and the data as sent before the end-of-data line.
  const std::pair<std::string, std::string> cases[] = {
      {".", ".."},
      {"a\r\n.\r\nb", "a\r\n..\r\nb"},
      {".\r\n.\r\n.", "..\r\n..\r\n.."},
      {"..x\r\n.y", "...x\r\n..y"},
      {"a\n.\nb", "a\r\n..\r\nb"},  // bare LF
      {"a\r.\rb", "a\r\n..\r\nb"},  // bare CR
      {"a\r\n\r\n", "a\r\n\r\n"},
      {"mid.dot.", "mid.dot."},
  };
  for (const auto& [body, wire] : cases) {
    EXPECT_EQ(DataTransparent(body), wire) << body;
    TScriptedNetwork net;
    net.Hosts["smtp.test"] = TPeerScript{};
    TSmtpMail mail = ServerMail();
    mail.Body = body;
    ASSERT_TRUE(SendSmtpMail(net, mail)) << body;
    const std::string& data = net.Sessions[0].second->Data;
    // What the server stores after the header: every line as it was, none ended the data early.
    const size_t headerEnd = data.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    std::string stored = wire + "\r\n";
    for (size_t p = 0; (p = stored.find("\r\n.", p)) != std::string::npos; p += 2) stored.erase(p + 2, 1);
    if (stored[0] == '.') stored.erase(0, 1);
    EXPECT_EQ(data.substr(headerEnd + 4), stored) << body;
    EXPECT_EQ(net.Sessions[0].second->Commands.back(), "QUIT") << body;
  }
}

TEST(SmtpData, SubjectDateAndMessageId) {
  EXPECT_EQ(QEncodedSubject("bug report"), "=?ISO-8859-1?Q?bug=20report?=");
  EXPECT_EQ(QEncodedSubject(""), "=?ISO-8859-1?Q?" "?=");
  EXPECT_EQ(QEncodedSubject("Lunsel.exe: a_b=?\xE7\r\n"), "=?ISO-8859-1?Q?Lunsel=2Eexe=3A=20a=5Fb=3D=3F=E7=0D=0A?=");
  const std::pair<uint64_t, std::string> dates[] = {
      {134412771070000000ull, "9 Dec 2026 08:05:07 UT"},
      {133537247990000000ull, "29 Feb 2024 23:59:59 UT"},
      {125963424000000000ull, "1 Mar 2000 00:00:00 UT"},
      {0, "1 Jan 1601 00:00:00 UT"},
  };
  for (const auto& [ft, text] : dates) EXPECT_EQ(RfcDateTime(ft), text);
  EXPECT_EQ(NewMessageId(134412771070000000ull), "<1DD87B400E73B80@qelExcept>");
  EXPECT_EQ(NewMessageId(0), "<000000000000000@qelExcept>");
}

namespace {

std::string TempFile(const std::string& name, const std::string& content) {
  const auto path = std::filesystem::temp_directory_path() / ("qelmail_" + std::to_string(::getpid()) + "_" + name);
  std::ofstream(path, std::ios::binary) << content;
  return path.string();
}

// Base64 lines of a part up to the next boundary line, joined and decoded by hand.
std::string DecodePart(const std::string& data, size_t from, size_t& lines, size_t& longest) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  lines = longest = 0;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t p = from; p < data.size() && data.compare(p, 2, "--") != 0;) {
    const size_t eol = data.find("\r\n", p);
    const std::string line = data.substr(p, eol - p);
    ++lines;
    longest = std::max(longest, line.size());
    for (char c : line) {
      if (c == '=') break;
      acc = (acc << 6) | static_cast<uint32_t>(kAlphabet.find(c));
      bits += 6;
      if (bits >= 8) out += static_cast<char>((acc >> (bits -= 8)) & 0xFF);
    }
    p = eol + 2;
  }
  return out;
}

}  // namespace

TEST(SmtpMime, AttachmentsAreBase64PartsOf76CharacterLines) {
  std::string binary;
  for (int i = 0; i < 57 * 30 + 11; ++i) binary += static_cast<char>(i * 37 + 5);
  const std::string png = TempFile("shot.PNG", binary);
  const std::string text = TempFile("bugreport.txt", "report\r\n");
  const std::string empty = TempFile("empty.bin", "");
  const std::string missing = TempFile("missing.bin", "x");
  std::filesystem::remove(missing);

  TScriptedNetwork net;
  net.Hosts["smtp.test"] = TPeerScript{};
  TSmtpMail mail = ServerMail();
  mail.Attachments = " " + missing + " | " + png + "|" + empty + "|" + text + " ";
  ASSERT_TRUE(SendSmtpMail(net, mail));
  const std::string& data = net.Sessions[0].second->Data;
  const std::string b = MimeBoundary;

  EXPECT_NE(data.find("Message-ID: <1DD87B400E73B80@qelExcept>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                      "boundary=\"" + b + "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + b +
                      "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                      "line one\r\nline two\r\n--" + b + "\r\n"),
            std::string::npos);
  const std::string pngName = std::filesystem::path(png).filename().string();
  const std::string pngHeader = "--" + b + "\r\nContent-Type: image/png; name=\"" + pngName +
                                "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" +
                                pngName + "\"\r\n\r\n";
  const size_t pngAt = data.find(pngHeader);
  ASSERT_NE(pngAt, std::string::npos);
  size_t lines = 0, longest = 0;
  EXPECT_EQ(DecodePart(data, pngAt + pngHeader.size(), lines, longest), binary);
  EXPECT_EQ(lines, 31u);
  EXPECT_EQ(longest, 76u);

  const std::string textName = std::filesystem::path(text).filename().string();
  const size_t textAt = data.find("Content-Type: application/octet-stream; name=\"" + textName + "\"");
  ASSERT_NE(textAt, std::string::npos);
  EXPECT_LT(pngAt, textAt);
  EXPECT_EQ(data.find(std::filesystem::path(empty).filename().string()), std::string::npos);  // empty: nothing sent
  EXPECT_EQ(data.find("missing.bin"), std::string::npos);
  EXPECT_EQ(data.substr(data.size() - b.size() - 8), "--" + b + "--\r\n\r\n");

  // The whole attachment list missing: still one text part and the closing delimiter.
  TScriptedNetwork net2;
  net2.Hosts["smtp.test"] = TPeerScript{};
  mail.Attachments = missing;
  ASSERT_TRUE(SendSmtpMail(net2, mail));
  EXPECT_EQ(net2.Sessions[0].second->Data.substr(net2.Sessions[0].second->Data.size() - b.size() - 8), "--" + b + "--\r\n\r\n");
  for (const auto& f : {png, text, empty}) std::filesystem::remove(f);
}
