// What the reader's receive handler does with each chunk, apart from the
// window: clean it, collect it in the receive buffer until a frame's worth
// (13 characters) waits, then list the text and its decoded fields.
#pragma once
#include <cstddef>
#include <string>

namespace reader {

// The two lists of the main form: the cleaned text and the decoded fields.
class IFrameLists {
public:
  virtual ~IFrameLists() = default;
  virtual void ClearLists() = 0;
  virtual void AddReceived(const std::string& line) = 0;
  virtual void AddDecoded(const std::string& line) = 0;
};

// Weight times display factor in the shortest general form with `decimalSeparator`.
// The factor ("1", "0,1", "0,01" or three bit characters) is read with the
// comma it is written with; Peso with `decimalSeparator`. A text that is no
// number raises zf::EConvertError.
std::string Peso_Formatado(const std::string& Peso, const std::string& display, char decimalSeparator);

// Cleans the chunk and appends it to `buffer` (only while it holds fewer than
// 13 characters). From 13 on: clears the lists, lists the buffer and its
// fields and empties the buffer, also when decoding raises (the exception
// then goes on, the lines written so far stay).
void Receive_Chunk(std::string& buffer, const void* data, size_t size, char decimalSeparator, IFrameLists& lists);

}  // namespace reader
