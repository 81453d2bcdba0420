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

// An operating-system exception as the run-time's exception factory records
// it (the fields of the system's exception record).
struct TExceptionRecord {
  uint32_t Code = 0;
  uint32_t Flags = 0;
  uintptr_t Address = 0;
  uint32_t NumberParameters = 0;
  uintptr_t Information[15] = {};
};

// Root of the exceptions made from operating-system exceptions.
class EExternal : public Exception {
public:
  EExternal(std::string message, const TExceptionRecord& record) : Exception(std::move(message)), FRecord(record) {}
  const TExceptionRecord& ExceptionRecord() const noexcept { return FRecord; }
  const char* ClassName() const noexcept override { return "EExternal"; }

private:
  TExceptionRecord FRecord;
};
ZF_EXCEPTION_CLASS(EAccessViolation, EExternal);
ZF_EXCEPTION_CLASS(EIntError, EExternal);
ZF_EXCEPTION_CLASS(EDivByZero, EIntError);
ZF_EXCEPTION_CLASS(EIntOverflow, EIntError);
ZF_EXCEPTION_CLASS(EStackOverflow, EExternal);
// Any code without a class of its own.
ZF_EXCEPTION_CLASS(EExternalException, EExternal);

// The message of an operating-system exception by its code; for an access
// violation the module's file name (may be empty), the system's access kind
// (0 read, 8 execution, else write) and the address accessed. Addresses as
// "$" and lower-case hexadecimal digits.
std::string ExternalExceptionMessage(uint32_t code, uintptr_t address, const std::string& moduleName,
                                     uint32_t accessKind, uintptr_t accessed);

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
