// Builds DNS replies byte by byte for tests, well-formed or hostile.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace dnstest {

using TBytes = std::vector<uint8_t>;

inline void Put16(TBytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// "mx.example.com" as labels and a zero byte.
inline TBytes Name(const std::string& dotted) {
  TBytes b;
  size_t start = 0;
  while (start < dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos) dot = dotted.size();
    b.push_back(static_cast<uint8_t>(dot - start));
    b.insert(b.end(), dotted.begin() + static_cast<long>(start), dotted.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.push_back(0);
  return b;
}

inline TBytes Pointer(uint16_t offset) { return {static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset)}; }

struct TRecordSpec {
  TBytes Owner;
  uint16_t Type;
  TBytes Data;  // record data as it stands
};

inline TBytes MxData(const TBytes& name, uint16_t preference = 10) {
  TBytes d;
  Put16(d, preference);
  d.insert(d.end(), name.begin(), name.end());
  return d;
}

// A reply: header, the question as asked, then the records.
struct TReply {
  uint16_t Id = 1;
  uint16_t Flags = 0x8180;  // response, recursion desired and available, no error
  std::string Question = "example.com";
  uint16_t QuestionType = 15;
  std::vector<TRecordSpec> Answers;
  std::vector<TRecordSpec> Authority;

  TBytes Bytes() const {
    TBytes b;
    Put16(b, Id);
    Put16(b, Flags);
    Put16(b, 1);
    Put16(b, static_cast<uint16_t>(Answers.size()));
    Put16(b, static_cast<uint16_t>(Authority.size()));
    Put16(b, 0);
    const TBytes q = Name(Question);
    b.insert(b.end(), q.begin(), q.end());
    Put16(b, QuestionType);
    Put16(b, 1);
    for (const auto* section : {&Answers, &Authority}) {
      for (const TRecordSpec& r : *section) {
        b.insert(b.end(), r.Owner.begin(), r.Owner.end());
        Put16(b, r.Type);
        Put16(b, 1);
        Put16(b, 0);
        Put16(b, 300);
        Put16(b, static_cast<uint16_t>(r.Data.size()));
        b.insert(b.end(), r.Data.begin(), r.Data.end());
      }
    }
    return b;
  }
};

// Offset of the question name in every reply built here.
inline constexpr uint16_t kQuestionOffset = 12;

}  // namespace dnstest
