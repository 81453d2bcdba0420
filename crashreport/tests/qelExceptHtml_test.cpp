// The HTML error page, piece by piece as a browser receives it.
#include <gtest/gtest.h>

#include <string>

#include "qelExceptHtml.h"
#include "qelExceptSettings.h"

using namespace qel;

namespace {

// The settings the page reads, put back after each test.
class HtmlPage : public ::testing::Test {
protected:
  void TearDown() override {
    ExceptBoxTitle = FTitle;
    ExceptMessage = FMessage;
    ContinueButtonCaption = FContinue;
    ShowButtonCaption = FShow;
    BugReportVisible = FVisible;
  }

private:
  TShortString<100> FTitle = ExceptBoxTitle;
  TShortString<255> FMessage = ExceptMessage;
  TShortString<30> FContinue = ContinueButtonCaption;
  TShortString<30> FShow = ShowButtonCaption;
  bool FVisible = BugReportVisible;
};

const char kReport[] =
    "date/time          : 2026-12-10, 17:00:00, 5ms\r\n"
    "exception class    : EConvertError\r\n"
    "exception message  :  'abc' is not a valid integer value. \r\n"
    "\r\n"
    "main thread ($1f4):\r\n";

// The page as it must read: the title, the message paragraph, the continue
// button, the reveal cell, the text area's visibility and the report.
std::string Expected(const std::string& title, const std::string& message, const std::string& continueCaption,
                     const std::string& revealCell, bool visible, const std::string& report) {
  return "<html><head><title>" + title + "</title></head><body>\r\n" +
         "<table border=\"0\" width=\"100%\" height=\"100%\">\r\n"
         "<tr><td colspan=4 style=\"height:2pt;\"></td></tr>\r\n"
         "<tr><td colspan=4 valign=\"top\"><p style=\"font-family:'MS Sans Serif';font-size:13pt;margin-left:4px;\">" +
         message +
         "</p></td></tr>\r\n"
         "<tr><td colspan=4 style=\"height:8pt;\"></td></tr>\r\n"
         "<tr><td><button onClick=\"history.back();\" style=\"height:19.5pt;\">&nbsp;" +
         continueCaption +
         "&nbsp;</button></td>\r\n"
         "<td><p>&nbsp;&nbsp;</p></td>\r\n"
         "<td>" +
         revealCell +
         "</td>\r\n"
         "<td width=\"100%\"></td></tr>\r\n"
         "<tr><td colspan=4 style=\"height:8pt;\"></td></tr>\r\n"
         "<tr><td colspan=4 height=\"100%\">\r\n"
         "<textarea id=\"bugReport\" readonly cols=\"80\" rows=\"20\" style=\"width:100%;height:100%;" +
         (visible ? "" : "visibility:hidden;") + "\">\r\n" + report + "</textarea></td></tr></table></body></html>";
}

std::string RevealButton(const std::string& caption) {
  return "<button onClick=\"document.getElementById('bugReport').style.visibility='visible';"
         "this.style.visibility='hidden';\" style=\"height:19.5pt;\">&nbsp;" +
         caption + "&nbsp;</button>";
}

}  // namespace

TEST_F(HtmlPage, DefaultsGiveHiddenReportAndRevealButton) {
  ExceptMessage.Assign("Sorry: %exceptMsg%%LF%Please tell us.");
  EXPECT_EQ(ComposeHtmlPage(kReport, "Lunsel.exe"),
            Expected("Lunsel", "Sorry: 'abc' is not a valid integer value.<br>\r\nPlease tell us.",
                     "continue application", RevealButton("show bug report"), false, kReport));
}

TEST_F(HtmlPage, SettingsThatShapeThePage) {
  struct Case {
    const char* name;
    bool visible;
    const char* show;
    const char* cont;
    const char* revealCell;
    bool areaVisible;
    const char* continueShown;
  };
  const Case cases[] = {
      // The report shown from the start: no reveal button, a visible area.
      {"visible", true, "show bug report", "continue application", "&nbsp;", true, "continue application"},
      // No show caption: no reveal button, and the area stays hidden for good.
      {"no show caption", false, "", "continue application", "&nbsp;", false, "continue application"},
      // An empty continue caption still gives the back button its default text.
      {"no continue caption", false, "look", "", nullptr, false, "continue application"},
      {"own captions", false, "look", "go on", nullptr, false, "go on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BugReportVisible = c.visible;
    ShowButtonCaption.Assign(c.show);
    ContinueButtonCaption.Assign(c.cont);
    const std::string reveal = c.revealCell ? c.revealCell : RevealButton(c.show);
    EXPECT_EQ(ComposeHtmlPage(kReport, "Tarvik.exe"),
              Expected("Tarvik", "An error occurred in the application.", c.continueShown, reveal, c.areaVisible,
                       kReport));
  }
}

TEST_F(HtmlPage, MessagePlaceholderStaysWithoutMessageLine) {
  ExceptBoxTitle.Assign("Error in %APPNAME%");
  ExceptMessage.Assign("Failed: %exceptMsg%");
  const std::string report = "date/time          : 2026-12-10\r\nexception class    : EAbort\r\n";
  EXPECT_EQ(ComposeHtmlPage(report, "Tarvik.exe"),
            Expected("Error in Tarvik", "Failed: %exceptMsg%", "continue application",
                     RevealButton("show bug report"), false, report));
  // The line must start a line of its own.
  const std::string inside = "x exception message : no\r\n";
  EXPECT_NE(ComposeHtmlPage(inside, "a.exe").find("Failed: %exceptMsg%"), std::string::npos);
  // A message line at the very end, without CR LF after it.
  EXPECT_NE(ComposeHtmlPage("\r\nexception message  : last", "a.exe").find("Failed: last</p>"), std::string::npos);
}

TEST_F(HtmlPage, OutsideTextReachesThePageAsText) {
  ExceptMessage.Assign("Error: %exceptMsg%%LF%Bye");
  const std::string report = "date/time : now\r\nexception message  : <b>\"Tom & Jerry\"</b>\r\n"
                             "</textarea><script>alert(1)</script>\r\n";
  const std::string page = ComposeHtmlPage(report, "a&b.exe");
  EXPECT_NE(page.find("<title>a&amp;b</title>"), std::string::npos);
  EXPECT_NE(page.find(">Error: &lt;b&gt;&quot;Tom &amp; Jerry&quot;&lt;/b&gt;<br>\r\nBye</p>"), std::string::npos);
  EXPECT_NE(page.find("&lt;/textarea&gt;&lt;script&gt;alert(1)&lt;/script&gt;\r\n</textarea>"), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  // Exactly one text area, closed once, at the end.
  EXPECT_EQ(page.find("</textarea>"), page.rfind("</textarea>"));
  EXPECT_EQ(HtmlEscape("a<>&\"'b"), "a&lt;&gt;&amp;&quot;'b");
}

TEST_F(HtmlPage, LinkedAsTheReportersPageRoutine) {
  ASSERT_NE(HtmlPageRoutine, nullptr);
  EXPECT_EQ(HtmlPageRoutine(kReport), ComposeHtmlPage(kReport, ProgramFileName()));
  EXPECT_EQ(ProgramFileName().substr(0, 18), "qelexcepthtml_test");  // ".exe" on Windows
}
