// The crash-report library's own exception class.
#pragma once
#include <exception>
#include <string>

namespace qel {

// Raised where the library meets an error of its own; carries one message.
// Not derived from zf::Exception: the reporter tells the two apart by class.
class QelException : public std::exception {
public:
  explicit QelException(std::string message) : FMessage(std::move(message)) {}
  static QelException CreateWithMessage(std::string message) { return QelException(std::move(message)); }

  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }
  virtual const char* ClassName() const noexcept { return "QelException"; }

private:
  std::string FMessage;
};

}  // namespace qel
