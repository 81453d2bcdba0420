// The HTML error page that takes the exception box's place where no box can be
// shown (a web-server extension, a console program run as a web program): the
// message, a button that goes back in the browser's history and the bug report
// in a text area, revealed by a second button when allowed. Portable.
#pragma once

#include <string>

namespace qel {

// The page of a report with the box's settings as they stand; the title names
// the running program.
std::string ComposeHtmlPage(const std::string& report);
// The same for a given program file name (with extension, without path).
std::string ComposeHtmlPage(const std::string& report, const std::string& programFileName);

// "&", "<", ">" and '"' as character references: texts reach the page as text,
// never as markup.
std::string HtmlEscape(const std::string& text);

// The running program's file name with extension, without path.
std::string ProgramFileName();

}  // namespace qel
