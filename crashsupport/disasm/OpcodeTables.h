// Opcode tables of the IA-32 decoder: one-byte and 0F maps, the group rows
// (F6, F7, x87), per-prefix overrides of the 0F map and the mnemonic list.
// Private to qelDisAsm.cpp; laid out as constant data and checked while compiling.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qel::disasm {

// --- Operand flag word -------------------------------------------------------
// bits 0-2: register operand kind
inline constexpr std::uint16_t R_B = 1, R_W = 2, R_SEG = 3, R_D = 4, R_MM = 5, R_ST = 6, R_XMM = 7;
// ... the same bits for opcodes without a ModR/M byte
inline constexpr std::uint16_t R_AL = 1, R_EAX = 2, R_OPB = 4, R_OPD = 5, R_XCHG = 6, R_DX = 7;
// bits 3-5: ModR/M kind (0 none, 1 group row, then the operand size)
inline constexpr std::uint16_t M_GRP = 1 << 3, M_B = 2 << 3, M_W = 3 << 3, M_D = 4 << 3, M_Q = 5 << 3,
                               M_T = 6 << 3, M_O = 7 << 3;
inline constexpr std::uint16_t R66 = 1 << 6;   // register operand follows 66 (word, or mm -> xmm)
inline constexpr std::uint16_t M66 = 1 << 7;   // ModR/M operand follows 66
inline constexpr std::uint16_t EXT = 1 << 8;   // reg field extends the opcode; size keyword on memory
inline constexpr std::uint16_t MF = 1 << 9;    // ModR/M operand written first
inline constexpr std::uint16_t I8 = 1 << 10, I16 = 2 << 10, IV = 3 << 10;  // immediate size
inline constexpr std::uint16_t REL = 1 << 12;  // the immediate is a relative target
// bits 13-15: registers written (register tracking)
inline constexpr std::uint16_t W_REG = 1 << 13, W_RM = 2 << 13, W_OP = 3 << 13, W_EAX = 4 << 13,
                               W_REGRM = 5 << 13, W_EAXRM = 6 << 13, W_EAXOP = 7 << 13;
inline constexpr std::uint16_t BAD = 0xFFFF;

constexpr int RegKind(std::uint16_t f) { return f & 7; }
constexpr int ModRmKind(std::uint16_t f) { return (f >> 3) & 7; }
constexpr int ImmKind(std::uint16_t f) { return (f >> 10) & 3; }
constexpr int WriteKind(std::uint16_t f) { return (f >> 13) & 7; }

// --- Mnemonics ---------------------------------------------------------------
// Marks resolved by the text writer: "%cc" condition, "%seg" segment by opcode
// bits 3-5; "/" variants by prefix (none/66/F2/F3); "|" by reg field (x87:
// items 9-16 for register forms, "-" then by rm); ":" register/memory form;
// "S" -> d with 66 or F2, else s; "P" -> s with F2 or F3, else p.
inline constexpr std::string_view kMnemonics[] = {
    "",
    // one-byte map
    "add", "or", "adc", "sbb", "and", "sub", "xor", "cmp", "push %seg", "pop %seg", "daa", "das", "aaa", "aas",
    "inc", "dec", "push", "pop", "pushad/pusha", "popad/popa", "bound", "arpl", "imul", "insb", "insd/insw",
    "outsb", "outsd/outsw", "j%cc", "add|or|adc|sbb|and|sub|xor|cmp", "test", "xchg", "mov", "lea",
    "nop///pause", "cwde/cbw", "cdq/cwd", "call", "wait", "pushfd/pushf", "popfd/popf", "sahf", "lahf",
    "movsb", "movsd/movsw", "cmpsb", "cmpsd/cmpsw", "stosb", "stosd/stosw", "lodsb", "lodsd/lodsw", "scasb",
    "scasd/scasw", "rol|ror|rcl|rcr|shl|shr|sal|sar", "ret", "les", "lds", "enter", "leave", "retf", "int3",
    "int", "into", "iretd/iret", "aam", "aad", "xlatb", "loopne", "loope", "loop", "jecxz", "in", "out", "jmp",
    "int1", "hlt", "cmc", "test|test|not|neg|mul|imul|div|idiv", "clc", "stc", "cli", "sti", "cld", "std",
    "inc|dec", "inc|dec|call|call far|jmp|jmp far|push|",
    // x87 rows (D8-DF; "f" is put in front)
    "add|mul|com|comp|sub|subr|div|divr|add|mul|com|comp|sub|subr|div|divr",
    "ld||st|stp|ldenv|ldcw|nstenv|nstcw|ld|xch|nop|stp1|chs-abs---tst-xam|ld1-ldl2t-ldl2e-ldpi-ldlg2-ldln2-ldz-|"
    "2xm1-yl2x-ptan-patan-xtract-prem1-decstp-incstp|prem-yl2xp1-sqrt-sincos-rndint-scale-sin-cos",
    "iadd|imul|icom|icomp|isub|isubr|idiv|idivr|cmovb|cmove|cmovbe|cmovu||-ucompp||",
    "ild||ist|istp||ld||stp|cmovnb|cmovne|cmovnbe|cmovnu|neni-ndisi-nclex-ninit-nsetpm|ucomi|comi|",
    "add|mul|com|comp|sub|subr|div|divr|add|mul|com2|comp3|subr|sub|divr|div",
    "ld||st|stp|rstor||nsave|nstsw|free|xch4|st|stp|ucom|ucomp||",
    "iadd|imul|icom|icomp|isub|isubr|idiv|idivr|addp|mulp|comp5|-compp|subrp|subp|divrp|divp",
    "ild||ist|istp|bld|ild|bstp|istp|freep|xch7|stp8|stp9|nstsw ax|ucomip|comip|",
    // 0F map
    "sldt|str|lldt|ltr|verr|verw", "sgdt|sidt|lgdt|lidt|smsw||lmsw|invlpg", "lar", "lsl", "syscall", "clts",
    "sysret", "invd", "wbinvd", "ud2", "prefetch|prefetchw", "femms", "movups/movupd/movsd/movss",
    "movhlps:movlps/movlpd", "movlps/movlpd", "unpcklps/unpcklpd", "unpckhps/unpckhpd", "movlhps:movhps/movhpd",
    "movhps/movhpd", "prefetchnta|prefetcht0|prefetcht1|prefetcht2", "nop", "movaps/movapd",
    "cvtpi2ps/cvtpi2pd/cvtsi2sd/cvtsi2ss", "movntps/movntpd", "cvttps2pi/cvttpd2pi/cvttsd2si/cvttss2si",
    "cvtps2pi/cvtpd2pi/cvtsd2si/cvtss2si", "ucomiss/ucomisd", "comiss/comisd", "wrmsr", "rdtsc", "rdmsr",
    "rdpmc", "sysenter", "sysexit", "cmov%cc", "movmskps/movmskpd", "sqrtPS", "rsqrtps///rsqrtss",
    "rcpps///rcpss", "andps/andpd", "andnps/andnpd", "orps/orpd", "xorps/xorpd", "addPS", "mulPS",
    "cvtps2pd/cvtpd2ps/cvtsd2ss/cvtss2sd", "cvtdq2ps/cvtps2dq//cvttps2dq", "subPS", "minPS", "divPS", "maxPS",
    "punpcklbw", "punpcklwd", "punpckldq", "packsswb", "pcmpgtb", "pcmpgtw", "pcmpgtd", "packuswb", "punpckhbw",
    "punpckhwd", "punpckhdq", "packssdw", "punpcklqdq", "punpckhqdq", "movd", "movq/movdqa//movdqu",
    "pshufw/pshufd/pshuflw/pshufhw", "||psrlw||psraw||psllw|", "||psrld||psrad||pslld|",
    "||psrlq|psrldq|||psllq|pslldq", "pcmpeqb", "pcmpeqw", "pcmpeqd", "emms", "movd/movd//movq", "set%cc",
    "cpuid", "bt", "shld", "rsm", "bts", "shrd", "fxsave|fxrstor|ldmxcsr|stmxcsr||lfence|mfence|sfence:clflush",
    "cmpxchg", "lss", "btr", "lfs", "lgs", "movzx", "||||bt|bts|btr|btc", "btc", "bsf", "bsr", "movsx", "xadd",
    "cmpPS", "movnti", "pinsrw", "pextrw", "shufps/shufpd", "|cmpxchg8b", "bswap", "psrlw", "psrld", "psrlq",
    "paddq", "pmullw", "/movq/movdq2q/movq2dq", "pmovmskb", "psubusb", "psubusw", "pminub", "pand", "paddusb",
    "paddusw", "pmaxub", "pandn", "pavgb", "psraw", "psrad", "pavgw", "pmulhuw", "pmulhw",
    "/cvttpd2dq/cvtpd2dq/cvtdq2pd", "movntq/movntdq", "psubsb", "psubsw", "pminsw", "por", "paddsb", "paddsw",
    "pmaxsw", "pxor", "psllw", "pslld", "psllq", "pmuludq", "pmaddwd", "psadbw", "maskmovq/maskmovdqu", "psubb",
    "psubw", "psubd", "psubq", "paddb", "paddw", "paddd",
};
inline constexpr std::size_t kMnemonicCount = std::size(kMnemonics);
static_assert(kMnemonicCount <= 256, "mnemonic numbers are bytes");

// Mnemonic number of a text; a typo stops the build.
consteval std::uint8_t Mn(std::string_view text) {
  for (std::size_t i = 1; i < kMnemonicCount; ++i) {
    if (kMnemonics[i] == text) return static_cast<std::uint8_t>(i);
  }
  throw "mnemonic missing from kMnemonics";
}

consteval bool MnemonicsUnique() {
  for (std::size_t i = 1; i < kMnemonicCount; ++i)
    for (std::size_t j = i + 1; j < kMnemonicCount; ++j)
      if (kMnemonics[i] == kMnemonics[j]) return false;
  return true;
}
static_assert(MnemonicsUnique(), "each mnemonic text is listed once");

// --- Map entries ---------------------------------------------------------------
enum Form : std::uint8_t { AnyForm = 0, MemOnly = 1, RegOnly = 2 };

struct OpEntry {
  std::uint16_t flags;
  std::uint8_t mnemonic;
  std::uint8_t form;
};

consteval OpEntry E(std::uint16_t flags, std::string_view mnemonic, Form form = AnyForm) {
  return {flags, Mn(mnemonic), form};
}
inline constexpr OpEntry X{BAD, 0, AnyForm};  // no such opcode (or a prefix byte)

// ALU block 00-05 of add/or/adc/sbb/and/sub/xor; cmp writes nothing.
#define QEL_ALU(m, w)                                                              \
  E(R_B | M_B | MF | ((w) ? W_RM : 0), m), E(R_D | R66 | M_D | M66 | MF | ((w) ? W_RM : 0), m), \
      E(R_B | M_B | ((w) ? W_REG : 0), m), E(R_D | R66 | M_D | M66 | ((w) ? W_REG : 0), m),    \
      E(R_AL | I8 | ((w) ? W_EAX : 0), m), E(R_EAX | R66 | IV | ((w) ? W_EAX : 0), m)
#define QEL_8(e) e, e, e, e, e, e, e, e
#define QEL_16(e) QEL_8(e), QEL_8(e)

inline constexpr OpEntry kOneByte[256] = {
    // 00
    QEL_ALU("add", 1), E(0, "push %seg"), E(0, "pop %seg"),
    QEL_ALU("or", 1), E(0, "push %seg"), X,
    // 10
    QEL_ALU("adc", 1), E(0, "push %seg"), E(0, "pop %seg"),
    QEL_ALU("sbb", 1), E(0, "push %seg"), E(0, "pop %seg"),
    // 20
    QEL_ALU("and", 1), X, E(W_EAX, "daa"),
    QEL_ALU("sub", 1), X, E(W_EAX, "das"),
    // 30
    QEL_ALU("xor", 1), X, E(W_EAX, "aaa"),
    QEL_ALU("cmp", 0), X, E(W_EAX, "aas"),
    // 40
    QEL_8(E(R_OPD | R66 | W_OP, "inc")), QEL_8(E(R_OPD | R66 | W_OP, "dec")),
    // 50
    QEL_8(E(R_OPD | R66, "push")), QEL_8(E(R_OPD | R66 | W_OP, "pop")),
    // 60
    E(0, "pushad/pusha"), E(0, "popad/popa"), E(R_D | R66 | M_D, "bound", MemOnly),
    E(R_W | M_W | MF | W_RM, "arpl"), X, X, X, X,
    E(IV, "push"), E(R_D | R66 | M_D | M66 | IV | W_REG, "imul"), E(I8, "push"),
    E(R_D | R66 | M_D | M66 | I8 | W_REG, "imul"), E(0, "insb"), E(0, "insd/insw"), E(0, "outsb"),
    E(0, "outsd/outsw"),
    // 70
    QEL_16(E(I8 | REL, "j%cc")),
    // 80
    E(EXT | M_B | I8, "add|or|adc|sbb|and|sub|xor|cmp"), E(EXT | M_D | M66 | IV, "add|or|adc|sbb|and|sub|xor|cmp"),
    E(EXT | M_B | I8, "add|or|adc|sbb|and|sub|xor|cmp"), E(EXT | M_D | M66 | I8, "add|or|adc|sbb|and|sub|xor|cmp"),
    E(R_B | M_B | MF, "test"), E(R_D | R66 | M_D | M66 | MF, "test"), E(R_B | M_B | MF | W_REGRM, "xchg"),
    E(R_D | R66 | M_D | M66 | MF | W_REGRM, "xchg"), E(R_B | M_B | MF | W_RM, "mov"),
    E(R_D | R66 | M_D | M66 | MF | W_RM, "mov"), E(R_B | M_B | W_REG, "mov"), E(R_D | R66 | M_D | M66 | W_REG, "mov"),
    E(R_SEG | M_W | MF | W_RM, "mov"), E(R_D | R66 | M_D | W_REG, "lea", MemOnly), E(R_SEG | M_W, "mov"),
    E(EXT | M_D | M66 | W_RM, "pop"),
    // 90
    E(0, "nop///pause"), E(R_XCHG | R66 | W_EAXOP, "xchg"), E(R_XCHG | R66 | W_EAXOP, "xchg"),
    E(R_XCHG | R66 | W_EAXOP, "xchg"), E(R_XCHG | R66 | W_EAXOP, "xchg"), E(R_XCHG | R66 | W_EAXOP, "xchg"),
    E(R_XCHG | R66 | W_EAXOP, "xchg"), E(R_XCHG | R66 | W_EAXOP, "xchg"),
    E(W_EAX, "cwde/cbw"), E(0, "cdq/cwd"), E(0, "call"), E(0, "wait"), E(0, "pushfd/pushf"), E(0, "popfd/popf"),
    E(0, "sahf"), E(W_EAX, "lahf"),
    // A0
    E(R_AL | W_EAX, "mov"), E(R_EAX | R66 | W_EAX, "mov"), E(R_AL | MF, "mov"), E(R_EAX | R66 | MF, "mov"),
    E(0, "movsb"), E(0, "movsd/movsw"), E(0, "cmpsb"), E(0, "cmpsd/cmpsw"), E(R_AL | I8, "test"),
    E(R_EAX | R66 | IV, "test"), E(0, "stosb"), E(0, "stosd/stosw"), E(W_EAX, "lodsb"), E(W_EAX, "lodsd/lodsw"),
    E(0, "scasb"), E(0, "scasd/scasw"),
    // B0
    QEL_8(E(R_OPB | I8 | W_OP, "mov")), QEL_8(E(R_OPD | R66 | IV | W_OP, "mov")),
    // C0
    E(EXT | M_B | I8 | W_RM, "rol|ror|rcl|rcr|shl|shr|sal|sar"),
    E(EXT | M_D | M66 | I8 | W_RM, "rol|ror|rcl|rcr|shl|shr|sal|sar"), E(I16, "ret"), E(0, "ret"),
    E(R_D | R66 | M_D | W_REG, "les", MemOnly), E(R_D | R66 | M_D | W_REG, "lds", MemOnly),
    E(EXT | M_B | I8 | W_RM, "mov"), E(EXT | M_D | M66 | IV | W_RM, "mov"), E(0, "enter"), E(0, "leave"),
    E(I16, "retf"), E(0, "retf"), E(0, "int3"), E(I8, "int"), E(0, "into"), E(0, "iretd/iret"),
    // D0
    E(EXT | M_B | W_RM, "rol|ror|rcl|rcr|shl|shr|sal|sar"), E(EXT | M_D | M66 | W_RM, "rol|ror|rcl|rcr|shl|shr|sal|sar"),
    E(EXT | M_B | W_RM, "rol|ror|rcl|rcr|shl|shr|sal|sar"), E(EXT | M_D | M66 | W_RM, "rol|ror|rcl|rcr|shl|shr|sal|sar"),
    E(I8 | W_EAX, "aam"), E(I8 | W_EAX, "aad"), X, E(W_EAX, "xlatb"),
    E(M_GRP, "add|mul|com|comp|sub|subr|div|divr|add|mul|com|comp|sub|subr|div|divr"),
    E(M_GRP, "ld||st|stp|ldenv|ldcw|nstenv|nstcw|ld|xch|nop|stp1|chs-abs---tst-xam|ld1-ldl2t-ldl2e-ldpi-ldlg2-ldln2-ldz-|"
             "2xm1-yl2x-ptan-patan-xtract-prem1-decstp-incstp|prem-yl2xp1-sqrt-sincos-rndint-scale-sin-cos"),
    E(M_GRP, "iadd|imul|icom|icomp|isub|isubr|idiv|idivr|cmovb|cmove|cmovbe|cmovu||-ucompp||"),
    E(M_GRP, "ild||ist|istp||ld||stp|cmovnb|cmovne|cmovnbe|cmovnu|neni-ndisi-nclex-ninit-nsetpm|ucomi|comi|"),
    E(M_GRP, "add|mul|com|comp|sub|subr|div|divr|add|mul|com2|comp3|subr|sub|divr|div"),
    E(M_GRP, "ld||st|stp|rstor||nsave|nstsw|free|xch4|st|stp|ucom|ucomp||"),
    E(M_GRP, "iadd|imul|icom|icomp|isub|isubr|idiv|idivr|addp|mulp|comp5|-compp|subrp|subp|divrp|divp"),
    E(M_GRP, "ild||ist|istp|bld|ild|bstp|istp|freep|xch7|stp8|stp9|nstsw ax|ucomip|comip|"),
    // E0
    E(I8 | REL, "loopne"), E(I8 | REL, "loope"), E(I8 | REL, "loop"), E(I8 | REL, "jecxz"),
    E(R_AL | I8 | W_EAX, "in"), E(R_EAX | R66 | I8 | W_EAX, "in"), E(R_AL | I8 | MF, "out"),
    E(R_EAX | R66 | I8 | MF, "out"), E(IV | REL, "call"), E(IV | REL, "jmp"), E(0, "jmp"), E(I8 | REL, "jmp"),
    E(R_DX | W_EAX, "in"), E(R_DX | R66 | W_EAX, "in"), E(R_DX | MF, "out"), E(R_DX | R66 | MF, "out"),
    // F0
    X, E(0, "int1"), X, X, E(0, "hlt"), E(0, "cmc"), E(M_GRP, "test|test|not|neg|mul|imul|div|idiv"),
    E(M_GRP, "test|test|not|neg|mul|imul|div|idiv"), E(0, "clc"), E(0, "stc"), E(0, "cli"), E(0, "sti"),
    E(0, "cld"), E(0, "std"), E(EXT | M_B | W_RM, "inc|dec"), E(EXT | M_D | M66, "inc|dec|call|call far|jmp|jmp far|push|"),
};

// MMX operation with an SSE2 form under 66: mm, mm/m64 -> xmm, xmm/m128.
#define QEL_MMX(m) E(R_MM | R66 | M_Q | M66, m)
// SSE operation on xmm, xmm/m128 (the prefix picks the variant).
#define QEL_SSE(m) E(R_XMM | M_O, m)

inline constexpr OpEntry kTwoByte[256] = {
    // 0F 00
    E(EXT | M_W, "sldt|str|lldt|ltr|verr|verw"), E(M_D, "sgdt|sidt|lgdt|lidt|smsw||lmsw|invlpg"),
    E(R_D | R66 | M_W | W_REG, "lar"), E(R_D | R66 | M_W | W_REG, "lsl"), X, E(0, "syscall"), E(0, "clts"),
    E(0, "sysret"), E(0, "invd"), E(0, "wbinvd"), X, E(0, "ud2"), X, E(EXT | M_B, "prefetch|prefetchw", MemOnly),
    E(0, "femms"), OpEntry{R_MM | M_Q | I8, 0, AnyForm},  // 3DNow!: the suffix byte names the operation
    // 0F 10
    QEL_SSE("movups/movupd/movsd/movss"), E(R_XMM | M_O | MF, "movups/movupd/movsd/movss"),
    QEL_SSE("movhlps:movlps/movlpd"), E(R_XMM | M_O | MF, "movlps/movlpd", MemOnly), QEL_SSE("unpcklps/unpcklpd"),
    QEL_SSE("unpckhps/unpckhpd"), QEL_SSE("movlhps:movhps/movhpd"), E(R_XMM | M_O | MF, "movhps/movhpd", MemOnly),
    E(EXT | M_B, "prefetchnta|prefetcht0|prefetcht1|prefetcht2", MemOnly), X, X, X, X, X, X,
    E(EXT | M_D | M66, "nop"),
    // 0F 20
    E(R_SEG | M_D | MF | W_RM, "mov", RegOnly), E(R_SEG | M_D | MF | W_RM, "mov", RegOnly),
    E(R_SEG | M_D, "mov", RegOnly), E(R_SEG | M_D, "mov", RegOnly), X, X, X, X, QEL_SSE("movaps/movapd"),
    E(R_XMM | M_O | MF, "movaps/movapd"), E(R_XMM | M_Q, "cvtpi2ps/cvtpi2pd/cvtsi2sd/cvtsi2ss"),
    E(R_XMM | M_O | MF, "movntps/movntpd", MemOnly), E(R_MM | M_O, "cvttps2pi/cvttpd2pi/cvttsd2si/cvttss2si"),
    E(R_MM | M_O, "cvtps2pi/cvtpd2pi/cvtsd2si/cvtss2si"), QEL_SSE("ucomiss/ucomisd"), QEL_SSE("comiss/comisd"),
    // 0F 30
    E(0, "wrmsr"), E(W_EAX, "rdtsc"), E(W_EAX, "rdmsr"), E(W_EAX, "rdpmc"), E(0, "sysenter"), E(0, "sysexit"), X,
    X, X, X, X, X, X, X, X, X,
    // 0F 40
    QEL_16(E(R_D | R66 | M_D | M66 | W_REG, "cmov%cc")),
    // 0F 50
    E(R_D | M_O | W_REG, "movmskps/movmskpd", RegOnly), QEL_SSE("sqrtPS"), QEL_SSE("rsqrtps///rsqrtss"),
    QEL_SSE("rcpps///rcpss"), QEL_SSE("andps/andpd"), QEL_SSE("andnps/andnpd"), QEL_SSE("orps/orpd"),
    QEL_SSE("xorps/xorpd"), QEL_SSE("addPS"), QEL_SSE("mulPS"), QEL_SSE("cvtps2pd/cvtpd2ps/cvtsd2ss/cvtss2sd"),
    QEL_SSE("cvtdq2ps/cvtps2dq//cvttps2dq"), QEL_SSE("subPS"), QEL_SSE("minPS"), QEL_SSE("divPS"), QEL_SSE("maxPS"),
    // 0F 60
    QEL_MMX("punpcklbw"), QEL_MMX("punpcklwd"), QEL_MMX("punpckldq"), QEL_MMX("packsswb"), QEL_MMX("pcmpgtb"),
    QEL_MMX("pcmpgtw"), QEL_MMX("pcmpgtd"), QEL_MMX("packuswb"), QEL_MMX("punpckhbw"), QEL_MMX("punpckhwd"),
    QEL_MMX("punpckhdq"), QEL_MMX("packssdw"), QEL_MMX("punpcklqdq"), QEL_MMX("punpckhqdq"),
    E(R_MM | R66 | M_D, "movd"), QEL_MMX("movq/movdqa//movdqu"),
    // 0F 70
    E(R_MM | R66 | M_Q | M66 | I8, "pshufw/pshufd/pshuflw/pshufhw"),
    E(EXT | M_Q | M66 | I8, "||psrlw||psraw||psllw|", RegOnly), E(EXT | M_Q | M66 | I8, "||psrld||psrad||pslld|", RegOnly),
    E(EXT | M_Q | M66 | I8, "||psrlq|psrldq|||psllq|pslldq", RegOnly), QEL_MMX("pcmpeqb"), QEL_MMX("pcmpeqw"),
    QEL_MMX("pcmpeqd"), E(0, "emms"), X, X, X, X, X, X, E(R_MM | R66 | M_D | MF, "movd/movd//movq"),
    E(R_MM | R66 | M_Q | M66 | MF, "movq/movdqa//movdqu"),
    // 0F 80
    QEL_16(E(IV | REL, "j%cc")),
    // 0F 90
    QEL_16(E(EXT | M_B | W_RM, "set%cc")),
    // 0F A0
    E(0, "push %seg"), E(0, "pop %seg"), E(0, "cpuid"), E(R_D | R66 | M_D | M66 | MF, "bt"),
    E(R_D | R66 | M_D | M66 | MF | I8 | W_RM, "shld"), E(R_D | R66 | M_D | M66 | MF | W_RM, "shld"), X, X,
    E(0, "push %seg"), E(0, "pop %seg"), E(0, "rsm"), E(R_D | R66 | M_D | M66 | MF | W_RM, "bts"),
    E(R_D | R66 | M_D | M66 | MF | I8 | W_RM, "shrd"), E(R_D | R66 | M_D | M66 | MF | W_RM, "shrd"),
    E(EXT | M_D, "fxsave|fxrstor|ldmxcsr|stmxcsr||lfence|mfence|sfence:clflush"),
    E(R_D | R66 | M_D | M66 | W_REG, "imul"),
    // 0F B0
    E(R_B | M_B | MF | W_EAXRM, "cmpxchg"), E(R_D | R66 | M_D | M66 | MF | W_EAXRM, "cmpxchg"),
    E(R_D | R66 | M_D | W_REG, "lss", MemOnly), E(R_D | R66 | M_D | M66 | MF | W_RM, "btr"),
    E(R_D | R66 | M_D | W_REG, "lfs", MemOnly), E(R_D | R66 | M_D | W_REG, "lgs", MemOnly),
    E(R_D | R66 | M_B | W_REG, "movzx"), E(R_D | R66 | M_W | W_REG, "movzx"), X, X,
    E(EXT | M_D | M66 | I8, "||||bt|bts|btr|btc"), E(R_D | R66 | M_D | M66 | MF | W_RM, "btc"),
    E(R_D | R66 | M_D | M66 | W_REG, "bsf"), E(R_D | R66 | M_D | M66 | W_REG, "bsr"),
    E(R_D | R66 | M_B | W_REG, "movsx"), E(R_D | R66 | M_W | W_REG, "movsx"),
    // 0F C0
    E(R_B | M_B | MF | W_REGRM, "xadd"), E(R_D | R66 | M_D | M66 | MF | W_REGRM, "xadd"),
    E(R_XMM | M_O | I8, "cmpPS"), E(R_D | M_D | MF, "movnti", MemOnly), E(R_MM | R66 | M_D | I8, "pinsrw"),
    E(R_D | M_Q | M66 | I8 | W_REG, "pextrw", RegOnly), E(R_XMM | M_O | I8, "shufps/shufpd"),
    E(EXT | M_Q | W_EAX, "|cmpxchg8b", MemOnly), QEL_8(E(R_OPD | W_OP, "bswap")),
    // 0F D0
    X, QEL_MMX("psrlw"), QEL_MMX("psrld"), QEL_MMX("psrlq"), QEL_MMX("paddq"), QEL_MMX("pmullw"),
    E(R_XMM | M_O | MF, "/movq/movdq2q/movq2dq"), E(R_D | M_Q | M66 | W_REG, "pmovmskb", RegOnly),
    QEL_MMX("psubusb"), QEL_MMX("psubusw"), QEL_MMX("pminub"), QEL_MMX("pand"), QEL_MMX("paddusb"),
    QEL_MMX("paddusw"), QEL_MMX("pmaxub"), QEL_MMX("pandn"),
    // 0F E0
    QEL_MMX("pavgb"), QEL_MMX("psraw"), QEL_MMX("psrad"), QEL_MMX("pavgw"), QEL_MMX("pmulhuw"), QEL_MMX("pmulhw"),
    QEL_SSE("/cvttpd2dq/cvtpd2dq/cvtdq2pd"), E(R_MM | R66 | M_Q | M66 | MF, "movntq/movntdq", MemOnly),
    QEL_MMX("psubsb"), QEL_MMX("psubsw"), QEL_MMX("pminsw"), QEL_MMX("por"), QEL_MMX("paddsb"), QEL_MMX("paddsw"),
    QEL_MMX("pmaxsw"), QEL_MMX("pxor"),
    // 0F F0
    X, QEL_MMX("psllw"), QEL_MMX("pslld"), QEL_MMX("psllq"), QEL_MMX("pmuludq"), QEL_MMX("pmaddwd"),
    QEL_MMX("psadbw"), E(R_MM | R66 | M_Q | M66, "maskmovq/maskmovdqu", RegOnly), QEL_MMX("psubb"),
    QEL_MMX("psubw"), QEL_MMX("psubd"), QEL_MMX("psubq"), QEL_MMX("paddb"), QEL_MMX("paddw"), QEL_MMX("paddd"), X,
};

#undef QEL_ALU
#undef QEL_MMX
#undef QEL_SSE

// A short or shifted map would decode silently wrong: every entry names its
// mnemonic (only 3DNow! takes its name from the suffix), and anchors sit where
// a slip would move them.
consteval bool MapComplete(const OpEntry (&map)[256], int nameless) {
  for (int i = 0; i < 256; ++i)
    if (map[i].flags != BAD && map[i].mnemonic == 0 && i != nameless) return false;
  return true;
}
static_assert(MapComplete(kOneByte, -1) && MapComplete(kTwoByte, 0x0F));
static_assert(kOneByte[0x0F].flags == BAD && kOneByte[0x3F].mnemonic == Mn("aas") &&
              kOneByte[0x6F].mnemonic == Mn("outsd/outsw") && kOneByte[0x8F].mnemonic == Mn("pop") &&
              kOneByte[0x9F].mnemonic == Mn("lahf") && kOneByte[0xAF].mnemonic == Mn("scasd/scasw") &&
              kOneByte[0xCF].mnemonic == Mn("iretd/iret") && kOneByte[0xE8].mnemonic == Mn("call") &&
              kOneByte[0xFF].mnemonic == Mn("inc|dec|call|call far|jmp|jmp far|push|"));
static_assert(kTwoByte[0x0B].mnemonic == Mn("ud2") && kTwoByte[0x1F].mnemonic == Mn("nop") &&
              kTwoByte[0x2F].mnemonic == Mn("comiss/comisd") && kTwoByte[0x35].mnemonic == Mn("sysexit") &&
              kTwoByte[0x4F].mnemonic == Mn("cmov%cc") && kTwoByte[0x5F].mnemonic == Mn("maxPS") &&
              kTwoByte[0x6F].mnemonic == Mn("movq/movdqa//movdqu") && kTwoByte[0x7F].mnemonic == Mn("movq/movdqa//movdqu") &&
              kTwoByte[0x8F].mnemonic == Mn("j%cc") && kTwoByte[0x9F].mnemonic == Mn("set%cc") &&
              kTwoByte[0xAF].mnemonic == Mn("imul") && kTwoByte[0xBF].mnemonic == Mn("movsx") &&
              kTwoByte[0xCF].mnemonic == Mn("bswap") && kTwoByte[0xDF].mnemonic == Mn("pandn") &&
              kTwoByte[0xEF].mnemonic == Mn("pxor") && kTwoByte[0xFE].mnemonic == Mn("paddd") &&
              kTwoByte[0xFF].flags == BAD);

// Where F2 or F3 (or 66) selects an instruction with other operands than the
// plain form, the entry here replaces the flag word and the form rule.
struct PrefixOverride {
  std::uint8_t opcode;  // second byte of a 0F opcode
  std::uint8_t prefix;  // 0x66, 0xF2 or 0xF3
  std::uint16_t flags;
  std::uint8_t form;
};
inline constexpr PrefixOverride kPrefixOverrides[] = {
    {0x2A, 0xF2, R_XMM | M_D, AnyForm},            // cvtsi2sd xmm, r/m32
    {0x2A, 0xF3, R_XMM | M_D, AnyForm},            // cvtsi2ss xmm, r/m32
    {0x2C, 0xF2, R_D | M_O | W_REG, AnyForm},      // cvttsd2si r32, xmm/m64
    {0x2C, 0xF3, R_D | M_O | W_REG, AnyForm},      // cvttss2si r32, xmm/m32
    {0x2D, 0xF2, R_D | M_O | W_REG, AnyForm},      // cvtsd2si
    {0x2D, 0xF3, R_D | M_O | W_REG, AnyForm},      // cvtss2si
    {0x6F, 0xF3, R_XMM | M_O, AnyForm},            // movdqu xmm, xmm/m128
    {0x70, 0xF2, R_XMM | M_O | I8, AnyForm},       // pshuflw
    {0x70, 0xF3, R_XMM | M_O | I8, AnyForm},       // pshufhw
    {0x7E, 0xF3, R_XMM | M_O, AnyForm},            // movq xmm, xmm/m64
    {0x7F, 0xF3, R_XMM | M_O | MF, AnyForm},       // movdqu xmm/m128, xmm
    {0xD6, 0xF2, R_MM | M_O, RegOnly},             // movdq2q mm, xmm
    {0xD6, 0xF3, R_XMM | M_Q, RegOnly},            // movq2dq xmm, mm
    {0xE7, 0x66, R_XMM | M_O | MF, MemOnly},       // movntdq m128, xmm
};

// Group rows: flag words by reg field for the memory forms, then the register forms.
// In a register-form word, ModR/M kind 0 means the rm operand is not written.
struct GroupRow {
  std::uint8_t opcode;
  std::array<std::uint16_t, 8> memory;
  std::array<std::uint16_t, 8> registers;
};
inline constexpr std::uint16_t ST_STI = R_ST | M_T;       // st, st(i)
inline constexpr std::uint16_t STI_ST = R_ST | M_T | MF;  // st(i), st
inline constexpr std::uint16_t STI = M_T;                 // st(i)
inline constexpr GroupRow kGroups[10] = {
    {0xF6,
     {EXT | M_B | I8, EXT | M_B | I8, EXT | M_B | W_RM, EXT | M_B | W_RM, EXT | M_B | W_EAX, EXT | M_B | W_EAX,
      EXT | M_B | W_EAX, EXT | M_B | W_EAX},
     {EXT | M_B | I8, EXT | M_B | I8, EXT | M_B | W_RM, EXT | M_B | W_RM, EXT | M_B | W_EAX, EXT | M_B | W_EAX,
      EXT | M_B | W_EAX, EXT | M_B | W_EAX}},
    {0xF7,
     {EXT | M_D | M66 | IV, EXT | M_D | M66 | IV, EXT | M_D | M66 | W_RM, EXT | M_D | M66 | W_RM,
      EXT | M_D | M66 | W_EAX, EXT | M_D | M66 | W_EAX, EXT | M_D | M66 | W_EAX, EXT | M_D | M66 | W_EAX},
     {EXT | M_D | M66 | IV, EXT | M_D | M66 | IV, EXT | M_D | M66 | W_RM, EXT | M_D | M66 | W_RM,
      EXT | M_D | M66 | W_EAX, EXT | M_D | M66 | W_EAX, EXT | M_D | M66 | W_EAX, EXT | M_D | M66 | W_EAX}},
    {0xD8, {QEL_8(EXT | M_D)}, {ST_STI, ST_STI, STI, STI, ST_STI, ST_STI, ST_STI, ST_STI}},
    {0xD9,
     {EXT | M_D, BAD, EXT | M_D, EXT | M_D, M_D, EXT | M_W, M_D, EXT | M_W},
     {STI, STI, 0, STI, 0, 0, 0, 0}},
    {0xDA, {QEL_8(EXT | M_D)}, {ST_STI, ST_STI, ST_STI, ST_STI, BAD, 0, BAD, BAD}},
    {0xDB,
     {EXT | M_D, BAD, EXT | M_D, EXT | M_D, BAD, EXT | M_T, BAD, EXT | M_T},
     {ST_STI, ST_STI, ST_STI, ST_STI, 0, ST_STI, ST_STI, BAD}},
    {0xDC, {QEL_8(EXT | M_Q)}, {STI_ST, STI_ST, STI, STI, STI_ST, STI_ST, STI_ST, STI_ST}},
    {0xDD,
     {EXT | M_Q, BAD, EXT | M_Q, EXT | M_Q, M_D, BAD, M_D, EXT | M_W},
     {STI, STI, STI, STI, STI, STI, BAD, BAD}},
    {0xDE, {QEL_8(EXT | M_W)}, {STI_ST, STI_ST, STI, 0, STI_ST, STI_ST, STI_ST, STI_ST}},
    {0xDF,
     {EXT | M_W, BAD, EXT | M_W, EXT | M_W, EXT | M_T, EXT | M_Q, EXT | M_T, EXT | M_Q},
     {STI, STI, STI, STI, 0, ST_STI, ST_STI, BAD}},
};

#undef QEL_8
#undef QEL_16

consteval bool GroupRowsInOrder() {
  constexpr std::uint8_t order[10] = {0xF6, 0xF7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF};
  for (int i = 0; i < 10; ++i) {
    if (kGroups[i].opcode != order[i]) return false;
    if (ModRmKind(kOneByte[order[i]].flags) != 1) return false;
  }
  return true;
}
static_assert(GroupRowsInOrder(), "every group opcode has its row, in table order");

// Condition names by the low four opcode bits.
inline constexpr std::string_view kConditions[16] = {"o", "no", "b", "nb", "z", "nz", "be", "a",
                                                     "s", "ns", "p", "np", "l", "ge", "le", "g"};

inline constexpr std::string_view kRegisterNames[4][8] = {
    {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"},
    {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"},
    {"es", "cs", "ss", "ds", "fs", "gs", "", ""},
    {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"},
};

struct Suffix3DNow {
  std::uint8_t suffix;
  std::string_view name;
};
inline constexpr Suffix3DNow k3DNow[24] = {
    {0x0C, "pi2fw"},   {0x0D, "pi2fd"},    {0x1C, "pf2iw"},   {0x1D, "pf2id"},    {0x8A, "pfnacc"},
    {0x8E, "pfpnacc"}, {0x90, "pfcmpge"},  {0x94, "pfmin"},   {0x96, "pfrcp"},    {0x97, "pfrsqrt"},
    {0x9A, "pfsub"},   {0x9E, "pfadd"},    {0xA0, "pfcmpgt"}, {0xA4, "pfmax"},    {0xA6, "pfrcpit1"},
    {0xA7, "pfrsqit1"}, {0xAA, "pfsubr"},  {0xAE, "pfacc"},   {0xB0, "pfcmpeq"},  {0xB4, "pfmul"},
    {0xB6, "pfrcpit2"}, {0xB7, "pmulhrw"}, {0xBB, "pswapd"},  {0xBF, "pavgusb"},
};

// Bit set over the suffixes 08-C7, built from the name list.
struct ValidSuffixes {
  std::uint32_t bits[6] = {};
  constexpr bool Has(std::uint8_t s) const {
    if (s < 0x08 || s > 0xC7) return false;
    unsigned i = s - 0x08u;
    return (bits[i / 32] >> (i % 32)) & 1u;
  }
};
consteval ValidSuffixes MakeValidSuffixes() {
  ValidSuffixes v;
  for (const auto& s : k3DNow) {
    unsigned i = s.suffix - 0x08u;
    v.bits[i / 32] |= 1u << (i % 32);
  }
  return v;
}
inline constexpr ValidSuffixes k3DNowValid = MakeValidSuffixes();

consteval bool SuffixesCounted() {
  int n = 0;
  for (unsigned s = 0; s < 256; ++s) n += k3DNowValid.Has(static_cast<std::uint8_t>(s)) ? 1 : 0;
  return n == 24;
}
static_assert(SuffixesCounted(), "exactly the 24 named suffixes are valid");

}  // namespace qel::disasm
