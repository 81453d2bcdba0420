#include "qelExceptHtml.h"

#include "qelExceptSettings.h"
#include "qelMailText.h"
#include "qelStrings.h"

namespace qel {

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string ComposeHtmlPage(const std::string& report, const std::string& programFileName) {
  std::string title = ExceptBoxTitle.Str();
  SubstText(title, kPlaceholderAppName, AppNameOfFile(programFileName), false);

  // The exception's message and the report come from outside the program (an
  // exception text may quote user input): escaped, so that nothing of them
  // can end the text area or open a tag. "%LF%" becomes the page's own markup.
  std::string message = ExceptMessage.Str();
  std::string exceptMsg;
  if (ReportExceptionMessage(report, exceptMsg)) SubstText(message, kPlaceholderExceptMsg, exceptMsg, false);
  message = HtmlEscape(message);
  SubstText(message, kPlaceholderLineBreak, "<br>\r\n", false);

  std::string continueCaption = ContinueButtonCaption.Str();
  if (continueCaption.empty()) continueCaption = "continue application";
  const std::string showCaption = ShowButtonCaption.Str();

  std::string page;
  page.reserve(report.size() + message.size() + 1500);
  page += "<html><head><title>" + HtmlEscape(title) + "</title></head><body>\r\n";
  page += "<table border=\"0\" width=\"100%\" height=\"100%\">\r\n";
  page += "<tr><td colspan=4 style=\"height:2pt;\"></td></tr>\r\n";
  page += "<tr><td colspan=4 valign=\"top\">";
  page += "<p style=\"font-family:'MS Sans Serif';font-size:13pt;margin-left:4px;\">";
  page += message;
  page += "</p></td></tr>\r\n";
  page += "<tr><td colspan=4 style=\"height:8pt;\"></td></tr>\r\n";
  page += "<tr><td><button onClick=\"history.back();\" style=\"height:19.5pt;\">&nbsp;";
  page += HtmlEscape(continueCaption);
  page += "&nbsp;</button></td>\r\n";
  page += "<td><p>&nbsp;&nbsp;</p></td>\r\n";
  page += "<td>";
  if (!BugReportVisible && !showCaption.empty()) {
    page += "<button onClick=\"document.getElementById('bugReport').style.visibility='visible';"
            "this.style.visibility='hidden';\" style=\"height:19.5pt;\">&nbsp;";
    page += HtmlEscape(showCaption);
    page += "&nbsp;</button>";
  } else {
    page += "&nbsp;";
  }
  page += "</td>\r\n";
  page += "<td width=\"100%\"></td></tr>\r\n";
  page += "<tr><td colspan=4 style=\"height:8pt;\"></td></tr>\r\n";
  page += "<tr><td colspan=4 height=\"100%\">\r\n";
  page += "<textarea id=\"bugReport\" readonly cols=\"80\" rows=\"20\" style=\"width:100%;height:100%;";
  if (!BugReportVisible) page += "visibility:hidden;";
  page += "\">\r\n";
  page += HtmlEscape(report);
  page += "</textarea></td></tr></table></body></html>";
  return page;
}

std::string ComposeHtmlPage(const std::string& report) { return ComposeHtmlPage(report, ProgramFileName()); }

// The reporter's page builder while this unit is linked in; the libraries
// that show reports pull it in by this symbol.
extern "C" {
extern const bool qelHtmlPageLinked;
const bool qelHtmlPageLinked = (HtmlPageRoutine = static_cast<THtmlPageRoutine>(&ComposeHtmlPage), true);
}

}  // namespace qel
