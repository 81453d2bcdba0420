// System error texts and the locale's decimal separator, as the i686 programs see them.
#include <windows.h>

#include <gtest/gtest.h>

#include "qelStrings.h"

using namespace qel;

namespace {

// The system's own text for a code, made one line independently of the library.
std::string SystemText(DWORD code, HMODULE module) {
  char buf[1024];
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | (module ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  const DWORD n = FormatMessageA(flags, module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
  std::string s;
  for (DWORD i = 0; i < n; ++i) {
    if (buf[i] == '\r') s += ' ';
    else if (buf[i] != '\n') s += buf[i];
  }
  return s;
}

}  // namespace

TEST(ErrorText, SystemCodes) {
  const std::string fileNotFound = ErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fileNotFound, SystemText(ERROR_FILE_NOT_FOUND, nullptr));
  EXPECT_FALSE(fileNotFound.empty());
  EXPECT_EQ(fileNotFound.find_first_of("\r\n"), std::string::npos);
  // An access violation's status code is mapped to its Win32 code first.
  EXPECT_EQ(ErrorText(0xC0000005u), SystemText(ERROR_NOACCESS, nullptr));
}

TEST(ErrorText, NetworkMessagesComeFromTheirModule) {
  HMODULE netmsg = LoadLibraryExA("netmsg.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const std::string expected = SystemText(2102, netmsg);
  if (netmsg) FreeLibrary(netmsg);
  EXPECT_EQ(ErrorText(2102), expected.empty() ? "Unknown error $836" : expected);
}

TEST(ErrorText, UnknownCodeGivesTheFallback) {
  EXPECT_EQ(ErrorText(0x3FFFFF00u), "Unknown error $3fffff00");
}

TEST(LocaleDecimalSep, ThreadLocaleAndByteSizes) {
  char buf[2] = {0, 0};
  const char expected = GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, buf, 2) > 0 && buf[0] ? buf[0] : ',';
  EXPECT_EQ(LocaleDecimalSep(), expected);
  EXPECT_EQ(LocaleDecimalSep(), expected) << "cached";
  EXPECT_EQ(ByteSizeText(1536), std::string("1") + expected + "50 KB");
}
