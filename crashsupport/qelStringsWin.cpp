// The Win32 side of qelStrings: the locale's decimal separator and system error texts.
#include <windows.h>

#include <atomic>
#include <memory>

#include "qelStrings.h"

namespace qel {

namespace {

std::atomic<char> gDecimalSeparator{0};

struct TModuleFree {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};
using TModuleHolder = std::unique_ptr<std::remove_pointer_t<HMODULE>, TModuleFree>;

struct TLocalFree {
  void operator()(char* p) const { LocalFree(p); }
};
using TLocalText = std::unique_ptr<char, TLocalFree>;

using TNtStatusToDosError = ULONG(WINAPI*)(LONG status);

// Status codes (above $3FFFFFFF) have no message of their own: map them to the
// Win32 code when the mapping routine is already in the process.
uint32_t MapStatusCode(uint32_t code) {
  static constexpr TScrambledText kNtModule("ntdll.dll");
  static constexpr TScrambledText kMapRoutine("RtlNtStatusToDosError");
  HMODULE module = GetModuleHandleA(kNtModule.Plain().c_str());
  if (module == nullptr) return code;
  const auto routine = reinterpret_cast<TNtStatusToDosError>(
      reinterpret_cast<void*>(GetProcAddress(module, kMapRoutine.Plain().c_str())));
  return routine != nullptr ? static_cast<uint32_t>(routine(static_cast<LONG>(code))) : code;
}

}  // namespace

char LocaleDecimalSep() {
  char sep = gDecimalSeparator.load(std::memory_order_relaxed);
  if (sep != 0) return sep;
  char buf[2] = {0, 0};
  sep = GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, buf, sizeof buf) > 0 && buf[0] != 0 ? buf[0] : ',';
  gDecimalSeparator.store(sep, std::memory_order_relaxed);
  return sep;
}

std::string ByteSizeText(int64_t value) { return ByteSizeText(value, LocaleDecimalSep()); }

std::string ErrorText(uint32_t code) {
  if (code > 0x3FFFFFFFu) code = MapStatusCode(code);

  TModuleHolder messageModule;
  if (code >= 2100 && code <= 2999) {
    // Network management messages live in their own module; loaded as data only.
    static constexpr TScrambledText kNetMessages("netmsg.dll");
    messageModule.reset(LoadLibraryExA(kNetMessages.Plain().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  }

  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  if (messageModule) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  char* raw = nullptr;
  const DWORD length = FormatMessageA(flags, messageModule.get(), code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<char*>(&raw), 0, nullptr);
  TLocalText text(raw);
  if (length == 0 || !text) return UnknownErrorText(code);
  return FlattenSystemMessage(std::string(text.get(), length));
}

}  // namespace qel
