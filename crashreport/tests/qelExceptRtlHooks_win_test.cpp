// The foreign run-time's lookup and gate: nothing is hooked unless the
// run-time is complete, which our programs' empty table entries never make it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <exception>

#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"

namespace qel {
namespace {

std::uintptr_t Export(HMODULE module, const char* name) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::uintptr_t OwnBase() { return reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)); }

TEST(ForeignRtl, CompletenessGate) {
  TForeignRtl full{1, 2, 3, 4, 5, 6, 7};
  EXPECT_TRUE(ForeignRtlComplete(full));
  TForeignRtl onlyRoutine = full;
  onlyRoutine.terminatePointer = 0;
  EXPECT_TRUE(ForeignRtlComplete(onlyRoutine));
  std::uintptr_t TForeignRtl::*required[] = {&TForeignRtl::exceptionHandler, &TForeignRtl::throwRoutine,
                                             &TForeignRtl::exceptionFrameRoutine, &TForeignRtl::malloc,
                                             &TForeignRtl::memcpy};
  for (auto field : required) {
    TForeignRtl missing = full;
    missing.*field = 0;
    EXPECT_FALSE(ForeignRtlComplete(missing));
  }
  TForeignRtl noTerminate = full;
  noTerminate.terminatePointer = noTerminate.terminateRoutine = 0;
  EXPECT_FALSE(ForeignRtlComplete(noTerminate));
}

TEST(ForeignRtl, NothingLoadedNothingChanged) {
  for (std::size_t i = peForeignFirst; i <= peForeignLast; ++i) EXPECT_EQ(qelPatchTable[i], 0u);
  ASSERT_EQ(GetModuleHandleA("cc3260mt.dll"), nullptr);
  const TForeignRtl rtl = LookupForeignRtl(OwnBase());
  EXPECT_EQ(rtl.exceptionHandler, 0u);
  EXPECT_EQ(rtl.throwRoutine, 0u);
  const std::terminate_handler before = std::get_terminate();
  EXPECT_FALSE(InstallRtlHooks(true));
  EXPECT_FALSE(InstallRtlHooks(false));
  EXPECT_EQ(std::get_terminate(), before);
}

TEST(ForeignRtl, LibraryExportsFoundButNotInstalledWithoutFrameRoutine) {
  HMODULE library = LoadLibraryA("cc3260mt.dll");
  ASSERT_NE(library, nullptr);
  const TForeignRtl rtl = LookupForeignRtl(OwnBase());
  EXPECT_EQ(rtl.exceptionHandler, Export(library, "____ExceptionHandler"));
  EXPECT_EQ(rtl.throwRoutine, Export(library, "@_ThrowExceptionLDTC$qpvt1t1t1uiuiuipuct1"));
  EXPECT_EQ(rtl.malloc, Export(library, "_malloc"));
  EXPECT_EQ(rtl.memcpy, Export(library, "_memcpy"));
  EXPECT_EQ(rtl.terminatePointer, Export(library, "___terminatePTR"));
  EXPECT_NE(rtl.throwRoutine, 0u);
  EXPECT_EQ(rtl.exceptionFrameRoutine, 0u);
  EXPECT_FALSE(ForeignRtlComplete(rtl));
  // The library's code and its terminate pointer stay as they were.
  unsigned char code[16];
  std::memcpy(code, reinterpret_cast<const void*>(rtl.throwRoutine), sizeof code);
  EXPECT_FALSE(InstallRtlHooks(true));
  EXPECT_EQ(std::memcmp(code, reinterpret_cast<const void*>(rtl.throwRoutine), sizeof code), 0);
  EXPECT_EQ(*reinterpret_cast<void* const*>(rtl.terminatePointer), nullptr);
  FreeLibrary(library);
}

}  // namespace
}  // namespace qel
