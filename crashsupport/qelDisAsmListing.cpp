#include "qelDisAsmListing.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace qel {

LineProviderProc LineProviderHook = nullptr;

namespace {

// The analyser and both passes of the listing read the same code again and
// again, a 16-byte window per instruction, and every read of the own process
// is a system call. This reader asks for aligned blocks and answers from them.
// A block lies inside one page, so it is readable exactly when the page is;
// a read over a block edge, or in a block that could not be read, goes to the
// memory itself, and so does every answer the blocks cannot give.
class BlockCache : public MemoryReader {
public:
  explicit BlockCache(const MemoryReader& memory) : memory_(memory), slots_(std::make_unique<Slot[]>(kSlots)) {}

  bool Read(Address va, void* buf, std::size_t n) const override {
    const Address offset = va % kBlockSize;
    if (n == 0 || n > kBlockSize - offset) return memory_.Read(va, buf, n);
    const Address block = va - offset;
    Slot& slot = slots_[(block / kBlockSize) % kSlots];
    if (!slot.filled || slot.block != block) {
      slot.block = block;
      slot.filled = true;
      slot.readable = memory_.Read(block, slot.bytes, kBlockSize);
    }
    if (!slot.readable) return memory_.Read(va, buf, n);
    std::memcpy(buf, slot.bytes + offset, n);
    return true;
  }

private:
  static constexpr Address kBlockSize = 512;  // divides every page size
  static constexpr std::size_t kSlots = 64;
  struct Slot {
    Address block = 0;
    bool filled = false;
    bool readable = false;
    std::uint8_t bytes[kBlockSize];
  };
  const MemoryReader& memory_;
  std::unique_ptr<Slot[]> slots_;
};

// The analyser and the composed lines ask for the modules and exports of the
// same few targets again and again, and in the own process every answer costs
// several system calls. Modules do not move while a routine is listed: an
// address inside the image of a module already found gets that module, and
// an export asked for before gets the same name.
class LookupCache : public Symbolizer {
public:
  explicit LookupCache(const Symbolizer& symbols) : symbols_(symbols) {}

  bool ModuleOfAddress(Address va, ModuleInfo& module) const override {
    for (const ModuleInfo& m : modules_) {
      if (va >= m.base && va - m.base < m.imageSize) {
        module = m;
        return true;
      }
    }
    if (!symbols_.ModuleOfAddress(va, module)) return false;
    if (va >= module.base && va - module.base < module.imageSize && modules_.size() < kModules)
      modules_.push_back(module);
    return true;
  }
  std::string ExportNameAt(const ModuleInfo& module, Address va) const override {
    for (const Export& e : exports_)
      if (e.va == va && e.base == module.base) return e.name;
    std::string name = symbols_.ExportNameAt(module, va);
    if (exports_.size() < kExports) exports_.push_back({module.base, va, name});
    return name;
  }
  bool CodeBounds(Address entry, Address& first, Address& last) const override {
    return symbols_.CodeBounds(entry, first, last);
  }

private:
  static constexpr std::size_t kModules = 8;
  static constexpr std::size_t kExports = 64;
  struct Export {
    Address base;
    Address va;
    std::string name;
  };
  const Symbolizer& symbols_;
  mutable std::vector<ModuleInfo> modules_;
  mutable std::vector<Export> exports_;
};

const char kSeparator[] = "; ---------------------------------------------------------";
const char kInternalError[] = "Internal error in ParseFunction while composing the disassembling string...  :-(";

bool ReadU32(const MemoryReader& m, Address va, std::uint32_t& v) {
  std::uint8_t b[4];
  if (va == 0 || !m.Read(va, b, 4)) return false;
  v = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
  return true;
}

void PadTo(std::string& s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
}

std::string LocLabel(Address va) { return "loc_" + AddrHex(va, false); }

bool IsConditional(std::uint16_t op) {
  return (op >= 0x70 && op <= 0x7F) || (op >= 0x0F80 && op <= 0x0F8F) || (op >= 0xE0 && op <= 0xE3);
}

bool IsUnconditionalOrReturn(std::uint16_t op, std::uint8_t modRm) {
  const int reg = (modRm >> 3) & 7;
  return op == 0xE9 || op == 0xEA || op == 0xEB || (op == 0xFF && (reg == 4 || reg == 5)) || op == 0xC2 ||
         op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
}

enum class LineKind { Instruction, Label, Other };

// Writes one pass over the areas. A counting pass composes nothing and stops
// at the mark; the writing pass composes the lines inside the window.
class ListingWriter {
public:
  ListingWriter(const ListingEnvironment& env, const FunctionInfo& info, const std::vector<std::size_t>& order,
                std::string entryLabel, int lineWidth, Address mark, std::int32_t maxLines, bool withLabels)
      : env_(env), info_(info), order_(order), entryLabel_(std::move(entryLabel)), lineWidth_(lineWidth),
        mark_(mark), maxLines_(maxLines), withLabels_(withLabels) {}

  // Returns the start line the writing pass should use.
  std::int64_t Count() {
    counting_ = true;
    Run();
    return startLine_;
  }
  std::string Write(std::int64_t startLine) {
    counting_ = false;
    startLine_ = startLine;
    Run();
    if (stopped_) {
      text_ += "[...]";
    } else if (text_.size() >= 2) {
      text_.resize(text_.size() - 2);  // the last line's CR LF
    }
    return std::move(text_);
  }

private:
  bool Windowed() const { return maxLines_ > 0; }
  bool Done() const { return stopped_ || (counting_ && !markPending_); }
  bool Composing() const { return !counting_ && lineCount_ > startLine_; }
  // Whether the next line, at va, will be composed.
  bool WillCompose(Address va) const {
    return !Done() && !counting_ && (lineCount_ + 1 > startLine_ || (markPending_ && va >= mark_));
  }

  template <typename Compose>
  void Emit(Address va, LineKind kind, Compose compose, bool marked = false) {
    if (Done()) return;
    if (!counting_ && Windowed() && !markPending_ && sinceMark_ >= maxLines_) {
      stopped_ = true;
      return;
    }
    ++lineCount_;
    const bool atMark = markPending_ && va >= mark_;
    const bool cutBefore = atMark && Windowed() && lineCount_ > std::int64_t{maxLines_} * 12 / 10;
    if (counting_) {
      if (atMark) {
        if (cutBefore) startLine_ = std::max<std::int64_t>(0, lineCount_ - maxLines_ - 2);
        markPending_ = false;
      }
      return;
    }
    if (Composing() || atMark) {
      std::string line = compose();
      if (kind != LineKind::Label) AddLineNumber(va, line);
      if (marked) {
        const std::size_t at = lineWidth_ > 0 && line.size() >= 10 ? 9 + static_cast<std::size_t>(lineWidth_) + 1 : 9;
        if (line.size() > at) line[at] = '>';
      }
      lineStarts_.push_back(text_.size());
      text_ += line;
      text_ += "\r\n";
    }
    if (atMark) {
      markPending_ = false;
      if (cutBefore) {
        startLine_ = 0;
        // keep the marked line and maxLines before it
        const std::size_t keep = static_cast<std::size_t>(maxLines_) + 1;
        if (lineStarts_.size() > keep) {
          text_.erase(0, lineStarts_[lineStarts_.size() - keep]);
        }
        text_.insert(0, "[...]\r\n");
        lineStarts_.clear();
      }
    } else if (!markPending_) {
      ++sinceMark_;
    }
  }

  void AddLineNumber(Address va, std::string& line) {
    if (lineWidth_ <= 0 || !LineProviderHook) return;
    LineProviderHook(va, hookLine_, hookStart_, hookEnd_);
    const bool same = havePrevious_ && hookLine_ == previousLine_;
    previousLine_ = hookLine_;
    havePrevious_ = true;
    if (same) {
      if (line.size() >= 10) line.insert(9, static_cast<std::size_t>(lineWidth_) + 1, ' ');
      return;
    }
    std::string number = std::to_string(hookLine_);
    if (number.size() < static_cast<std::size_t>(lineWidth_))
      number.insert(0, static_cast<std::size_t>(lineWidth_) - number.size(), '0');
    if (line.size() < 10) line += " " + number;
    else line.insert(9, number + " ");
  }

  void Blank(Address va) {
    Emit(va, LineKind::Other, [va] { return AddrHex(va, true); });
    lastWasInstruction_ = false;
  }
  void Separator(Address va) {
    Emit(va, LineKind::Other, [va] { return AddrHex(va, true) + " " + kSeparator; });
    lastWasInstruction_ = false;
    codeSinceSeparator_ = false;
  }

  std::string ClassName(Address classRef) const {
    std::string name;
    if (!env_.className || !env_.className(env_.memory, classRef, name) || name.empty()) return "EUnknown";
    return name;
  }

  void CaseTable(const CodeArea& a) {
    const std::uint64_t count = (std::uint64_t{a.end} - a.start + 1) / 4;
    for (std::uint64_t i = 0; i < count && !Done(); ++i) {
      const Address va = a.start + static_cast<Address>(4 * i);
      Emit(va, LineKind::Other, [&, va, i] {
        std::uint32_t target = 0;
        ReadU32(env_.memory, va, target);
        std::string line = AddrHex(va, true) + " ";
        std::string body = "  dd " + LocLabel(target);
        if (i == 0) {
          PadTo(body, 31);
          body += "  ; case jump table";
        }
        return line + body;
      });
    }
  }

  void ExceptionTable(const CodeArea& a) {
    std::uint32_t count = 0;
    ReadU32(env_.memory, a.start, count);
    const std::uint64_t room = (std::uint64_t{a.end} - a.start + 1 - 4) / 8;
    const std::uint64_t n = std::min<std::uint64_t>(count, room);
    std::vector<std::string> names;
    std::size_t width = 1;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint32_t classRef = 0;
      ReadU32(env_.memory, a.start + 4 + static_cast<Address>(8 * i), classRef);
      names.push_back(classRef ? ClassName(classRef) : std::string());
      width = std::max(width, names.back().size());
    }
    for (std::uint64_t i = 0; i < n && !Done(); ++i) {
      const Address va = a.start + 4 + static_cast<Address>(8 * i);
      Emit(va, LineKind::Other, [&, va, i] {
        std::uint32_t handler = 0;
        ReadU32(env_.memory, va + 4, handler);
        std::string line = AddrHex(va, true) + " ";
        if (!names[i].empty()) {
          std::string name = names[i];
          PadTo(name, width);
          line += "  on " + name + " do";
        } else {
          line += "  else" + std::string(width + 2, ' ');
        }
        return line + " " + LocLabel(handler);
      });
    }
  }

  bool IsAreaStart(Address va) const {
    return std::any_of(info_.codeAreas.begin(), info_.codeAreas.end(), [va](const CodeArea& a) { return a.start == va; });
  }

  // Jumps into these carry on with data or code right after them.
  bool IsHandler(Address target) const {
    for (Address h : {AnyExceptHandlerAddr(), OnExceptHandlerAddr(), FinallyHandlerAddr()})
      if (h != 0 && h == target) return true;
    return false;
  }

  void Code(const CodeArea& a, bool areasFollow) {
    RegisterState regs = a.registers;
    const DisAsmEnvironment dis{env_.memory, &env_.symbols};
    for (Address va = a.start; !Done();) {
      InstructionRecord rec;
      std::string text;
      // Lines outside the window need only the length: no text, no names.
      if (WillCompose(va)) DisassembleInstruction(dis, va, text, &regs, rec, true);
      else DecodeInstructionEx(env_.memory, va, &regs, true, rec);
      if (!rec.valid || rec.next <= va) break;
      if (rec.relative && (rec.isCall || rec.isJump) && IsAreaStart(rec.target)) {
        const std::size_t blank = text.find(' ', 11);
        if (blank != std::string::npos) text.resize(blank);
        PadTo(text, 19);
        if (text.back() != ' ') text += ' ';
        text += rec.target == info_.entry ? entryLabel_ : LocLabel(rec.target);
      }
      Emit(va, LineKind::Instruction, [&text] { return std::move(text); }, rec.start == mark_);
      lastWasInstruction_ = true;
      lastInstruction_ = va;
      codeSinceSeparator_ = true;
      const bool more = (rec.next - 1 < a.end) || areasFollow;
      if (withLabels_ && more) {
        if (rec.isCall || IsConditional(rec.opcode)) {
          Blank(va);
        } else if (IsUnconditionalOrReturn(rec.opcode, rec.modRm)) {
          Blank(va);
          if (!(rec.isJump && IsHandler(rec.target))) {
            Separator(va);
            Blank(va);
          }
        }
      }
      if (rec.next - 1 >= a.end) break;
      va = rec.next;
    }
  }

  void Run() {
    lineCount_ = 0;
    sinceMark_ = 0;
    markPending_ = true;
    stopped_ = false;
    lastWasInstruction_ = false;
    codeSinceSeparator_ = false;
    havePrevious_ = false;
    hookLine_ = 0;
    hookStart_ = hookEnd_ = 0;
    for (std::size_t k = 0; k < order_.size() && !Done(); ++k) {
      const CodeArea& a = info_.codeAreas[order_[k]];
      const bool areasFollow = k + 1 < order_.size();
      const bool isTable = a.caseTable || a.exceptionTable;
      if (!isTable && (a.start == info_.entry || (withLabels_ && a.reachedFrom != 0))) {
        if (lastWasInstruction_) Blank(lastInstruction_);
        const Address va = a.start;
        if (va == info_.entry) {
          Emit(va, LineKind::Label, [&, va] {
            std::string body = entryLabel_ + ":";
            PadTo(body, 31);
            return AddrHex(va, true) + " " + body + "  ; function entry point";
          });
        } else {
          Emit(va, LineKind::Label, [va] { return AddrHex(va, true) + " " + LocLabel(va) + ":"; });
        }
        lastWasInstruction_ = false;
      }
      if (isTable) {
        if (withLabels_) {
          if (lastWasInstruction_) Blank(lastInstruction_);
          if (codeSinceSeparator_) {
            Separator(a.start);
            Blank(a.start);
          }
        }
        if (a.caseTable) CaseTable(a);
        else ExceptionTable(a);
        if (withLabels_ && !Done()) {
          const Address after = a.end + 1;
          Blank(after);
          Separator(after);
          Blank(after);
        }
        lastWasInstruction_ = false;
      } else {
        Code(a, areasFollow);
      }
    }
  }

  const ListingEnvironment& env_;
  const FunctionInfo& info_;
  const std::vector<std::size_t>& order_;
  std::string entryLabel_;
  int lineWidth_;
  Address mark_;
  std::int32_t maxLines_;
  bool withLabels_;

  bool counting_ = false;
  std::string text_;
  std::vector<std::size_t> lineStarts_;  // where each written line begins, for the cut at the mark
  std::int64_t lineCount_ = 0;
  std::int64_t startLine_ = 0;
  std::int64_t sinceMark_ = 0;
  bool markPending_ = true;
  bool stopped_ = false;
  bool lastWasInstruction_ = false;
  Address lastInstruction_ = 0;
  bool codeSinceSeparator_ = false;
  // line-number state, carried from line to line as the provider expects
  std::int32_t hookLine_ = 0;
  Address hookStart_ = 0, hookEnd_ = 0;
  std::int32_t previousLine_ = 0;
  bool havePrevious_ = false;
};

}  // namespace

void ParseFunction(const ListingEnvironment& env, Address code, std::string& listing, Address mark,
                   std::int32_t maxLines, bool withLabels, FunctionInfo& info) {
  listing.clear();
  const BlockCache memory(env.memory);
  const LookupCache symbols(env.symbols);
  const ListingEnvironment cached{memory, symbols, env.errorText, env.className};
  AnalyseFunction(AnalyserEnvironment{memory, symbols, env.errorText}, code, info);
  if (!info.valid) return;

  ModuleInfo module;
  const bool inModule = symbols.ModuleOfAddress(code, module);
  const std::string name = ProcNameOfAddress(&symbols, inModule ? &module : nullptr, code);
  const std::string entryLabel = name.empty() ? "sub_" + AddrHex(code, false) : "public " + name;

  int lineWidth = 0;
  if (LineProviderHook) {
    std::int32_t line = 0;
    Address from = 0, to = 0;
    LineProviderHook(info.begin + info.length - 1, line, from, to);
    if (line > 0) lineWidth = static_cast<int>(std::to_string(line).size());
  }

  // Areas by address; overlapping areas cannot be listed.
  std::vector<std::size_t> order;
  std::uint64_t after = 0;
  while (order.size() < info.codeAreas.size()) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < info.codeAreas.size(); ++i) {
      const CodeArea& a = info.codeAreas[i];
      if (a.start >= after && (!best || a.start < info.codeAreas[*best].start)) best = i;
    }
    if (!best) {
      listing = kInternalError;
      return;
    }
    order.push_back(*best);
    after = std::uint64_t{info.codeAreas[*best].end} + 1;
  }

  ListingWriter writer(cached, info, order, entryLabel, lineWidth, mark, maxLines, withLabels);
  std::int64_t startLine = 0;
  if (maxLines > 0) startLine = writer.Count();
  listing = writer.Write(startLine);
}

}  // namespace qel
