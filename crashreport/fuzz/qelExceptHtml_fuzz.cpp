// The HTML page of any report text: the report's exception message line is
// searched and cut out, and nothing of the report may end the text area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qelExceptHtml.h"
#include "qelExceptSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string report(reinterpret_cast<const char*>(data), size);
  qel::ExceptMessage.Assign("%exceptMsg%%LF%");
  const std::string page = qel::ComposeHtmlPage(report, "fuzz.exe");
  if (page.find("</textarea>") != page.rfind("</textarea>")) std::abort();
  return 0;
}
