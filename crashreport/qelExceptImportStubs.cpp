// The program's own import stubs ("jmp [slot]") of the hooked functions. The
// system headers declare these functions as imports, so code never names the
// stubs; their linker symbols are reached here, away from those declarations.
#include "qelExceptImportStubs.h"

#if defined(__i386__)
extern "C" {
extern const unsigned char qelStubCreateThread asm("_CreateThread@24");
extern const unsigned char qelStubGetMessageA asm("_GetMessageA@16");
extern const unsigned char qelStubPeekMessageA asm("_PeekMessageA@20");
extern const unsigned char qelStubGetMessageW asm("_GetMessageW@16");
extern const unsigned char qelStubPeekMessageW asm("_PeekMessageW@20");
}

namespace qel {
const void* const kCreateThreadStub = &qelStubCreateThread;
const void* const kGetMessageAStub = &qelStubGetMessageA;
const void* const kPeekMessageAStub = &qelStubPeekMessageA;
const void* const kGetMessageWStub = &qelStubGetMessageW;
const void* const kPeekMessageWStub = &qelStubPeekMessageW;
}  // namespace qel
#else
namespace qel {
const void* const kCreateThreadStub = nullptr;
const void* const kGetMessageAStub = nullptr;
const void* const kPeekMessageAStub = nullptr;
const void* const kGetMessageWStub = nullptr;
const void* const kPeekMessageWStub = nullptr;
}  // namespace qel
#endif
