// The independent decoders our decoder is measured against, reduced to what
// both can say: validity, length, call/jump kind and relative target.
#pragma once

#include <Zydis/Zydis.h>
#include <capstone/capstone.h>

#include <cstdint>
#include <string>

namespace qel::test {

struct ReferenceResult {
  bool valid = false;
  int length = 0;
  bool isCall = false;
  bool isJump = false;
  bool relative = false;
  std::uint32_t target = 0;
  ZyanStatus status = 0;
  ZydisISAExt isaExt = ZYDIS_ISA_EXT_INVALID;
  ZydisMnemonic mnemonic = ZYDIS_MNEMONIC_INVALID;
  std::string Mnemonic() const {
    const char* s = ZydisMnemonicGetString(mnemonic);
    return s ? s : "?";
  }
};

class ZydisReference {
public:
  ZydisReference() {
    ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    // F3 0F BC/BD are bsf/bsr with a rep prefix on the processors this code targets
    ZydisDecoderEnableMode(&decoder_, ZYDIS_DECODER_MODE_LZCNT, ZYAN_FALSE);
    ZydisDecoderEnableMode(&decoder_, ZYDIS_DECODER_MODE_TZCNT, ZYAN_FALSE);
  }

  ReferenceResult Decode(const std::uint8_t* bytes, std::size_t n, std::uint32_t va) const {
    ReferenceResult r;
    ZydisDecodedInstruction ins;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
    r.status = ZydisDecoderDecodeFull(&decoder_, bytes, n, &ins, ops);
    if (!ZYAN_SUCCESS(r.status)) return r;
    r.valid = true;
    r.length = ins.length;
    r.isaExt = ins.meta.isa_ext;
    r.mnemonic = ins.mnemonic;
    r.isCall = ins.meta.category == ZYDIS_CATEGORY_CALL;
    r.isJump = ins.meta.category == ZYDIS_CATEGORY_COND_BR || ins.meta.category == ZYDIS_CATEGORY_UNCOND_BR;
    for (unsigned i = 0; i < ins.operand_count_visible; ++i) {
      if (ops[i].type == ZYDIS_OPERAND_TYPE_IMMEDIATE && ops[i].imm.is_relative) {
        ZyanU64 target = 0;
        if (ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&ins, &ops[i], va, &target))) {
          r.relative = true;
          r.target = static_cast<std::uint32_t>(target);
        }
      }
    }
    return r;
  }

  // Length only, the cheapest call Zydis offers.
  int Length(const std::uint8_t* bytes, std::size_t n) const {
    ZydisDecoderContext ctx;
    ZydisDecodedInstruction ins;
    if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder_, &ctx, bytes, n, &ins))) return 0;
    return ins.length;
  }

private:
  ZydisDecoder decoder_;
};

class CapstoneReference {
public:
  explicit CapstoneReference(bool detail = true) {
    ok_ = cs_open(CS_ARCH_X86, CS_MODE_32, &handle_) == CS_ERR_OK;
    if (ok_) {
      cs_option(handle_, CS_OPT_SYNTAX, CS_OPT_SYNTAX_INTEL);
      if (detail) cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON);
      insn_ = cs_malloc(handle_);
    }
  }
  ~CapstoneReference() {
    if (insn_) cs_free(insn_, 1);
    if (ok_) cs_close(&handle_);
  }
  CapstoneReference(const CapstoneReference&) = delete;
  CapstoneReference& operator=(const CapstoneReference&) = delete;

  bool Ok() const { return ok_; }

  ReferenceResult Decode(const std::uint8_t* bytes, std::size_t n, std::uint32_t va) const {
    ReferenceResult r;
    const std::uint8_t* code = bytes;
    std::size_t size = n;
    std::uint64_t address = va;
    if (!cs_disasm_iter(handle_, &code, &size, &address, insn_)) return r;
    r.valid = true;
    r.length = insn_->size;
    if (insn_->detail) {
      const cs_detail* d = insn_->detail;
      for (unsigned i = 0; i < d->groups_count; ++i) {
        if (d->groups[i] == CS_GRP_CALL) r.isCall = true;
        if (d->groups[i] == CS_GRP_JUMP) r.isJump = true;
        if (d->groups[i] == CS_GRP_BRANCH_RELATIVE) r.relative = true;
      }
      if (r.relative && d->x86.op_count == 1 && d->x86.operands[0].type == X86_OP_IMM)
        r.target = static_cast<std::uint32_t>(d->x86.operands[0].imm);
    }
    return r;
  }

  // Decode and text, the way a caller of capstone gets a listing line.
  std::size_t Text(const std::uint8_t*& code, std::size_t& size, std::uint64_t& address, std::string& line) const {
    if (!cs_disasm_iter(handle_, &code, &size, &address, insn_)) return 0;
    line.assign(insn_->mnemonic);
    line += ' ';
    line += insn_->op_str;
    return insn_->size;
  }

private:
  csh handle_ = 0;
  cs_insn* insn_ = nullptr;
  bool ok_ = false;
};

}  // namespace qel::test
