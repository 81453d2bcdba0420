// Address lists, subject and sender, the mailto URL and command, and where
// the bug report file is trimmed.
#include <gtest/gtest.h>

#include "qelCrypt.h"
#include "qelMailText.h"

using namespace qel;

TEST(MailAddresses, ListsAndAngleForms) {
  std::string list = " a@x.test ; Bee <b@y.test>,c@z.test ";
  EXPECT_EQ(SplitAddressList(list), 3);
  EXPECT_EQ(list, "a@x.test,Bee <b@y.test>,c@z.test");
  std::string empty;
  EXPECT_EQ(SplitAddressList(empty), 0);

  EXPECT_EQ(AngleAddress("a@x.test", false), "<a@x.test>");
  EXPECT_EQ(AngleAddress("a@x.test", true), "<a@x.test>");
  EXPECT_EQ(AngleAddress("Bee <b@y.test>", true), "Bee <b@y.test>");
  EXPECT_EQ(AngleAddress("Bee <b@y.test>", false), "<b@y.test>");
  EXPECT_EQ(AngleAddressList("a@x.test;Bee <b@y.test>", true), "<a@x.test>, Bee <b@y.test>");
  EXPECT_EQ(AngleAddressList("a@x.test;;Bee <b@y.test>", false), "<a@x.test>, <b@y.test>");
}

TEST(MailAddresses, SenderFromTheFirstRecipient) {
  EXPECT_EQ(MailSenderText("me@here.test", "a@x.test"), "me@here.test");
  EXPECT_EQ(MailSenderText("", ""), "");
  EXPECT_EQ(MailSenderText("", "Dev <dev@x.test>; b@y.test"), "qelExcept <dev@x.test>");
}

TEST(MailSubject, Placeholders) {
  const std::string report = "date/time          : 2026-12-09\r\nexception message  : Access violation: read of 0 \t\r\n";
  EXPECT_EQ(MailSubjectText("bug report", report, "Lunsel.exe"), "bug report");
  EXPECT_EQ(MailSubjectText("%APPNAME% - %exceptMsg%", report, "Lunsel.exe"), "Lunsel.exe - Access violation: read of 0");
  // Without an exception message line the placeholder stays.
  EXPECT_EQ(MailSubjectText("%appname%: %exceptmsg%", "date/time : x\r\n", "T.exe"), "T.exe: %exceptmsg%");
  EXPECT_EQ(SubstAppName("%appname%.txt", "Tarvik"), "Tarvik.txt");
}

TEST(Mailto, EveryReservedByteIsEncoded) {
  EXPECT_EQ(UrlEncode("Az09-._~"), "Az09-._~");
  EXPECT_EQ(UrlEncode("a b&cc=x@y?#%+<>\"\r\n\xE9/:"), "a%20b%26cc%3Dx%40y%3F%23%25%2B%3C%3E%22%0D%0A%E9%2F%3A");
  // A report line cannot add a recipient or end the body.
  const std::string url = MailtoUrl("dev@x.test; b@y.test", "bug report", "x&cc=evil@z.test&body=cut#frag");
  EXPECT_EQ(url, "mailto:dev%40x.test,b%40y.test?subject=bug%20report&body=x%26cc%3Devil%40z.test%26body%3Dcut%23frag");
  EXPECT_EQ(url.find("&cc="), std::string::npos);
}

TEST(Mailto, CommandLineAndItsCut) {
  EXPECT_EQ(MailtoCommand("\"C:\\mail.exe\" /m \"%1\"", "mailto:a", 0), "\"C:\\mail.exe\" /m \"mailto:a\"");
  EXPECT_EQ(MailtoCommand("mail.exe", "mailto:a", 0), "mail.exe mailto:a");
  EXPECT_EQ(MailtoCommand("mail.exe ", "mailto:a", 0), "mail.exe mailto:a");
  // Cut at the limit, but never inside an escape.
  const std::string base = "m ";
  struct TCase {
    std::string Tail;
    size_t Length;
  };
  const TCase cases[] = {{"abcdefgh", 10}, {"abcdefg%41", 9}, {"abcdef%41x", 8}, {"abcde%41xy", 10}};
  for (const TCase& c : cases) {
    const std::string cmd = MailtoCommand("m", c.Tail, 10);
    EXPECT_EQ(cmd, (base + c.Tail).substr(0, c.Length)) << c.Tail;
  }
}

namespace {

std::string Report(char fill, size_t size) {
  std::string r = "date/time          : x\r\n";
  r += std::string(size - r.size() - 4, fill) + "\r\n\r\n";
  return r;
}

}  // namespace

TEST(ReportFile, TrimPosition) {
  // Six reports of 10,000 bytes: with limit 50,000 keep those after which < 37,500 remain.
  std::string file;
  for (char c : {'a', 'b', 'c', 'd', 'e', 'f'}) file += Report(c, 10000);
  const size_t newest = 50000;
  EXPECT_EQ(ReportTrimPosition(file.data(), file.size(), newest, 50000), 30000u);
  EXPECT_EQ(ReportTrimPosition(file.data(), file.size(), newest, 60000), 0u);  // not over the limit
  EXPECT_EQ(ReportTrimPosition(file.data(), file.size(), newest, 0), 0u);

  // "date/time" inside a line is not a report's start.
  std::string tricky = Report('a', 10000) + Report('b', 10000);
  tricky.replace(19000, 13, "\r\nx date/time");  // would qualify if taken
  tricky += Report('c', 10000);
  EXPECT_EQ(ReportTrimPosition(tricky.data(), tricky.size(), 20000, 16000), 20000u);

  // One report larger than the limit: it alone stays, whole.
  std::string huge = Report('a', 3000) + Report('b', 3000) + Report('z', 70000);
  EXPECT_EQ(ReportTrimPosition(huge.data(), huge.size(), 6000, 50000), 6000u);
  // The newest report does not begin with the label: cut exactly where it began.
  std::string plain = Report('a', 3000) + std::string(60000, 'q');
  EXPECT_EQ(ReportTrimPosition(plain.data(), plain.size(), 3000, 50000), 3000u);
}

TEST(Attachments, NamesOfTheList) {
  EXPECT_EQ(AttachmentNames(" C:\\a.txt | | C:\\b c.png|"), (std::vector<std::string>{"C:\\a.txt", "C:\\b c.png"}));
  EXPECT_TRUE(AttachmentNames("").empty());
}

namespace {

// What the build step stores: pad to whole blocks, encrypt keyed by the account, then by the server.
void PadAndEncrypt(std::string& text, const std::string& key, const uint32_t (&counter)[2]) {
  const size_t pad = 8 - text.size() % 8;
  text.append(pad, static_cast<char>(pad));
  BlowfishBuffer(text.data(), static_cast<uint32_t>(text.size()), true, key, counter[0], counter[1], false);
}

}  // namespace

TEST(SmtpPassword, UnscrambledWithServerThenAccount) {
  for (const std::string& plain : {std::string("s3cr=t"), std::string(75, 'p'), std::string("12345678")}) {
    std::string stored = plain;
    PadAndEncrypt(stored, "reporter", SmtpPasswordAccountCounter);
    PadAndEncrypt(stored, "smtp.mail.test", SmtpPasswordServerCounter);
    EXPECT_NE(stored.find(plain), 0u);
    EXPECT_EQ(UnscrambleSmtpPassword(stored, "reporter", "smtp.mail.test"), plain);
    EXPECT_NE(UnscrambleSmtpPassword(stored, "reporter", "other.server"), plain);
  }
}

TEST(PrintLayout, MarginsFromThePage) {
  // A4 at 300 dpi: 2480 x 3508 pixels on 210 x 297 mm, unprintable 75 and 75 pixels.
  const TPrintLayout a4 = PrintLayout({2480, 3508, 210, 297, 300, 300, 75, 75});
  EXPECT_EQ(a4.Top, (3508 * 10 + 148) / 297 - 75);
  EXPECT_EQ(a4.Bottom, 3508 - 2 * a4.Top);
  EXPECT_EQ(a4.Left, (2480 * 20 + 105) / 210 - 75);
  EXPECT_EQ(a4.Width, 2480 + 75 - a4.Left - (2480 * 10 + 105) / 210);
  // A device without a physical size (some virtual printers) is measured by its resolution: no division by zero.
  const TPrintLayout none = PrintLayout({2480, 3508, 0, 0, 300, 300, 0, 0});
  EXPECT_EQ(none.Top, 118);   // 1 cm at 300 dpi
  EXPECT_EQ(none.Left, 236);  // 2 cm
  EXPECT_EQ(none.Width, 2480 - 236 - 118);
}
