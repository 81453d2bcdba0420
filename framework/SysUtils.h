// Exception classes and conversions of the run-time library the system is written against.
#pragma once
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace zf {

// Root of the system's exception classes; the message is code page 1252 text.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string m) { FMessage = std::move(m); }
  const char* what() const noexcept override { return FMessage.c_str(); }
  // Class name as the application's exception display and the reporter show it.
  virtual const char* ClassName() const noexcept { return "Exception"; }

private:
  std::string FMessage;
};

#define ZF_EXCEPTION_CLASS(Name, Base)                                   \
  class Name : public Base {                                             \
  public:                                                                \
    using Base::Base;                                                    \
    const char* ClassName() const noexcept override { return #Name; }    \
  }

ZF_EXCEPTION_CLASS(EConvertError, Exception);
// Silent exception: the application's handler shows nothing for it.
ZF_EXCEPTION_CLASS(EAbort, Exception);
ZF_EXCEPTION_CLASS(EReadError, Exception);
ZF_EXCEPTION_CLASS(EWriteError, Exception);
ZF_EXCEPTION_CLASS(EListError, Exception);
ZF_EXCEPTION_CLASS(EOutOfResources, Exception);
ZF_EXCEPTION_CLASS(EInvalidGraphic, Exception);
ZF_EXCEPTION_CLASS(EInvalidGraphicOperation, Exception);
ZF_EXCEPTION_CLASS(EInvalidOperation, Exception);
ZF_EXCEPTION_CLASS(EComponentError, Exception);

// Raises EAbort.
[[noreturn]] void Abort();

// Integer conversion as the run-time library does it: optional leading blanks,
// a sign, decimal digits or a "$"/"0x" hexadecimal number, within 32 bits.
// Anything else raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view s);
// Same rules; gives `def` instead of raising.
int32_t StrToIntDef(std::string_view s, int32_t def);
// Same rules; false instead of raising.
bool TryStrToInt(std::string_view s, int32_t& value);

std::string IntToStr(int64_t v);

}  // namespace zf
