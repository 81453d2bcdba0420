// The patch table, emitted as initialised data with image-relative entries
// (".rva"): the linker fills them, a routine that is missing fails the link,
// and relocation by the loader leaves them alone (the image may move).
// tests/check_patch_table.py reads the lines below to check the linked table.
#include "qelExceptSettings.h"

#define QEL_STR2(x) #x
#define QEL_STR(x) QEL_STR2(x)
#define QEL_SYM(name) QEL_STR(__USER_LABEL_PREFIX__) #name
#define EMPTY "  .long 0\n"
#define FILLED(name) "  .rva " QEL_SYM(name) "\n"

// Entries of routines the programs do not have (the cross-platform
// application, packages, further routines, a web-server entry, the foreign
// run-time) stay empty. The top-level handler is the one of the threads
// BeginThread starts. The capture routine comes last.
__asm__(
    "  .data\n"
    "  .p2align 2\n"
    "  .globl " QEL_SYM(qelPatchTable) "\n"
    QEL_SYM(qelPatchTable) ":\n"
    EMPTY                                                        // version string
    FILLED(_ZN2zf12TApplication15HandleExceptionEPNS_7TObjectE)  // application exception handling
    FILLED(_ZN2zf12TApplication13ShowExceptionERKSt9exception)   // application exception display
    EMPTY                                                        // cross-platform handling
    EMPTY                                                        // cross-platform display
    FILLED(_ZN2zf13ShowExceptionEPKSt9exceptionPKv)              // run-time ShowException
    EMPTY                                                        // package loading
    EMPTY                                                        // package initialization
    FILLED(_ZN2zf16CheckSynchronizeEv)                           // CheckSynchronize
    EMPTY                                                        // further routine A
    EMPTY                                                        // further routine B
    EMPTY                                                        // web-server extension entry
    FILLED(_ZN2zf5Halt0Ev)                                       // Halt0
    EMPTY                                                        // spare
    FILLED(_ZN2zf10TUnitTable10InitializeEv)                     // start-up
    FILLED(_ZN2zf10TUnitTable8FinalizeEv)                        // unit finalization
    FILLED(_ZN2zf24TopLevelExceptionHandlerEPvS0_S0_S0_)         // top-level handler
    FILLED(_ZN2zf16RuntimeErrorTextE)                            // runtime-error text
    FILLED(_ZN2zf10DoneExceptEv)                                 // DoneExcept
    EMPTY EMPTY EMPTY EMPTY EMPTY EMPTY EMPTY                    // foreign run-time library
    FILLED(_ZN3qel16CaptureScreenPngEhRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE)  // capture routine
    "  .text\n");
