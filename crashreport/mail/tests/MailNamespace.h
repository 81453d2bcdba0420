// What scripts/with-mailnet.sh provides to the tests: the SMTP server that
// takes the test account, and the exchangers of the test domains.
#pragma once
#include <string>

#include "qelSmtp.h"

namespace mailns {

// A mail through the namespace's server with AUTH LOGIN.
inline qel::TSmtpMail ServerMail(const std::string& sender, const std::string& recipients, const std::string& subject,
                                 const std::string& body) {
  qel::TSmtpMail mail;
  mail.Sender = sender;
  mail.Recipients = recipients;
  mail.Subject = subject;
  mail.Body = body;
  mail.Server = "smtp.mail.test";
  mail.Port = 587;
  mail.Account = "reporter";
  mail.Password = "s3cr=t";
  return mail;
}

}  // namespace mailns
