// An SMTP peer in memory: answers each command line from a small script,
// collects the mail data, and hands its replies out a few bytes at a time so
// that the client's reassembly is exercised. No network is involved.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qelSmtp.h"

namespace smtptest {

struct TPeerScript {
  std::string Greeting = "220 mx.test ESMTP\r\n";
  std::string EhloReply = "250-mx.test\r\n250-SIZE 1000000\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n";
  std::string HeloReply = "250 mx.test\r\n";
  std::string QuitReply = "221 bye\r\n";
  std::vector<std::string> RefusedRecipients;  // "RCPT TO:<x>" lines answered 550
  size_t CloseAfter = std::string::npos;      // bytes of replies after which the peer closes
  size_t ChunkSize = 5;                        // bytes handed out per receive
};

class TScriptedPeer : public qel::TMailSocket {
public:
  explicit TScriptedPeer(TPeerScript script) : Script_(std::move(script)) { Reply(Script_.Greeting); }

  std::string Transcript;             // everything the client sent
  std::vector<std::string> Commands;  // command lines without CR LF
  std::string Data;                   // the mail data as the server stores it (dots removed)

  bool Send(const char* data, size_t length) override {
    if (Closed_) return false;
    Transcript.append(data, length);
    Input_.append(data, length);
    Process();
    return true;
  }
  TReceive Receive(char* buffer, size_t capacity, unsigned, size_t& received) override {
    if (Output_.empty()) return Closed_ ? TReceive::Closed : TReceive::Timeout;
    received = std::min({capacity, Script_.ChunkSize, Output_.size()});
    Output_.copy(buffer, received);
    Output_.erase(0, received);
    return TReceive::Data;
  }

private:
  void Reply(const std::string& text) {
    for (char c : text) {
      if (Given_ == Script_.CloseAfter) {
        Closed_ = true;
        return;
      }
      Output_ += c;
      ++Given_;
    }
  }
  void Process() {
    size_t eol;
    while ((eol = Input_.find("\r\n")) != std::string::npos) {
      std::string line = Input_.substr(0, eol);
      Input_.erase(0, eol + 2);
      if (InData_) {
        if (line == ".") {
          InData_ = false;
          Reply("250 queued\r\n");
        } else {
          Data += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
        }
        continue;
      }
      Commands.push_back(line);
      Answer(line);
    }
  }
  void Answer(const std::string& line) {
    const std::string verb = line.substr(0, 4);
    if (verb == "EHLO") Reply(Script_.EhloReply);
    else if (verb == "HELO") Reply(Script_.HeloReply);
    else if (line == "AUTH LOGIN") Reply("334 VXNlcm5hbWU6\r\n"), AuthStep_ = 1;
    else if (AuthStep_ == 1) Reply("334 UGFzc3dvcmQ6\r\n"), AuthStep_ = 2;
    else if (AuthStep_ == 2) Reply("235 authenticated\r\n"), AuthStep_ = 0;
    else if (verb == "MAIL" || verb == "RSET") Reply("250 ok\r\n");
    else if (verb == "RCPT") {
      bool refused = false;
      for (const auto& r : Script_.RefusedRecipients) refused = refused || r == line;
      Reply(refused ? "550 no such user\r\n" : "250 ok\r\n");
    } else if (verb == "DATA") Reply("354 go ahead\r\n"), InData_ = true;
    else if (verb == "QUIT") {
      Reply(Script_.QuitReply);
      Closed_ = true;
    } else Reply("500 what\r\n");
  }

  TPeerScript Script_;
  std::string Input_;
  std::string Output_;
  size_t Given_ = 0;
  bool Closed_ = false;
  bool InData_ = false;
  int AuthStep_ = 0;
};

// Hosts of scripted peers. The network owns every peer, so the test can read
// a session's transcript after the client has closed its socket.
class TScriptedNetwork : public qel::TMailNetwork {
public:
  std::map<std::string, TPeerScript> Hosts;
  std::map<std::string, std::string> Exchangers;  // recipient -> host
  std::vector<std::pair<std::string, std::unique_ptr<TScriptedPeer>>> Sessions;
  uint64_t Now = 134412771070000000ull;  // 9 Dec 2026 08:05:07 UT

  std::unique_ptr<qel::TMailSocket> Connect(const std::string& host, uint16_t) override {
    const auto it = Hosts.find(host);
    if (it == Hosts.end()) return nullptr;
    Sessions.push_back({host, std::make_unique<TScriptedPeer>(it->second)});
    return std::make_unique<TLink>(*Sessions.back().second);
  }
  std::string MailExchanger(const std::string& recipient) override {
    const auto it = Exchangers.find(recipient);
    return it == Exchangers.end() ? std::string() : it->second;
  }
  std::string ComputerName() override { return "testhost"; }
  uint64_t FileTimeNow() override { return Now; }

private:
  class TLink : public qel::TMailSocket {
  public:
    explicit TLink(TScriptedPeer& peer) : Peer_(peer) {}
    bool Send(const char* d, size_t n) override { return Peer_.Send(d, n); }
    TReceive Receive(char* b, size_t c, unsigned t, size_t& r) override { return Peer_.Receive(b, c, t, r); }

  private:
    TScriptedPeer& Peer_;
  };
};

}  // namespace smtptest
