# Stand-in for the framework's component package modules ("zfcomponents.dll",
# "zfcrossplatform.dll", built from this one file): the two application
# routines the package lookups take by name. Both only count their calls.

    .intel_syntax noprefix

    .data
    .globl _FixtureCalls
_FixtureCalls:
    .long 0

    .text

    .globl _HandleExceptionImpl
_HandleExceptionImpl:
    push ebp
    mov ebp, esp
    inc dword ptr [_FixtureCalls]
    pop ebp
    ret

    .globl _ShowExceptionImpl
_ShowExceptionImpl:
    push ebp
    mov ebp, esp
    add dword ptr [_FixtureCalls], 2
    pop ebp
    ret
