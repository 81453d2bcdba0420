// Addresses of the program's own import stubs of the hooked functions
// (nullptr where the target has none).
#pragma once

namespace qel {
extern const void* const kCreateThreadStub;
extern const void* const kGetMessageAStub;
extern const void* const kPeekMessageAStub;
extern const void* const kGetMessageWStub;
extern const void* const kPeekMessageWStub;
}  // namespace qel
