// Child program of the exception box test: shows a box whose close and
// restart end this process. Started again by the restart, it writes the
// predecessor's id and the newest history entry it was handed to the marker
// file instead. Arguments: mode ("all" or "continueonly"), marker file.
#include <windows.h>

#include <fstream>
#include <string>

#include "qelExceptBox.h"
#include "qelExceptHistory.h"
#include "qelExceptSettings.h"
#include "qelReportActions.h"

int main(int argc, char** argv) {
  if (argc < 3) return 90;
  using namespace qel;
  const std::string mapping = RestartMappingName(GetCurrentProcessId());
  if (HANDLE block = OpenFileMappingA(FILE_MAP_READ, FALSE, mapping.c_str())) {
    const auto* handOver = static_cast<const TRestartHandOver*>(MapViewOfFile(block, FILE_MAP_READ, 0, 0, 0));
    if (handOver != nullptr) {
      std::ofstream(argv[2]) << handOver->PredecessorId << " " << handOver->History[0] << "\n";
      UnmapViewOfFile(handOver);
    }
    CloseHandle(block);
    return 0;
  }
  ConsoleOutput = false;
  PushExceptionTime(ExceptionTimeHistory(), 12345);
  const bool continueOnly = std::string(argv[1]) == "continueonly";
  if (continueOnly) {
    for (auto* caption : {&MailButtonCaption, &SaveButtonCaption, &PrintButtonCaption, &ShowButtonCaption,
                          &RestartButtonCaption, &CloseButtonCaption})
      caption->Assign("");
  }
  ShowExceptionBox(false, nullptr, 0, !continueOnly, "", "date/time : now\r\n");
  return 0;  // the box was left some other way
}
