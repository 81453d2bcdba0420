# Stand-in for the framework's run-time package module ("zfruntime.dll"):
# routines of the shape the package lookups take and decode, in our own
# assembly. The exports by name are those the lookups take; the program
# start's inner routines are no exports of a real package, so the Fixture*
# exports name them for the tests. Every routine is cdecl; counters in data
# show which ran.

    .intel_syntax noprefix

    .data
    .globl _FixtureShown
_FixtureShown:
    .long 0
    .globl _FixtureInitialized
_FixtureInitialized:
    .long 0
    .globl _FixtureFreed
_FixtureFreed:
    .long 0
    .globl _RuntimeErrorTextData
_RuntimeErrorTextData:
    .asciz "Runtime error 217 at 00401000"

    .text

    .globl _ShowExceptionImpl
_ShowExceptionImpl:
    push ebp
    mov ebp, esp
    inc dword ptr [_FixtureShown]
    pop ebp
    ret

    .globl _InitializePackageImpl
_InitializePackageImpl:
    push ebp
    mov ebp, esp
    inc dword ptr [_FixtureInitialized]
    pop ebp
    ret

# LoadPackage(module): initializes the package it loaded.
    .globl _LoadPackageImpl
_LoadPackageImpl:
    push ebp
    mov ebp, esp
    push dword ptr [ebp+8]
    call _InitializePackageImpl
    add esp, 4
    pop ebp
    ret

    .globl _AcquireImpl
_AcquireImpl:
    push ebp
    mov ebp, esp
    xor eax, eax
    pop ebp
    ret

    .globl _CheckSynchronizeImpl
_CheckSynchronizeImpl:
    push ebp
    mov ebp, esp
    call _AcquireImpl
    pop ebp
    ret

_FormatErrorImpl:
    ret
_ShowErrorImpl:
    ret

    .globl _FinalizeUnitsImpl
_FinalizeUnitsImpl:
    push ebp
    mov ebp, esp
    pop ebp
    ret

# Halt0: its second call is the runtime-error output.
    .globl _Halt0Impl
_Halt0Impl:
    push ebp
    mov ebp, esp
    call _FormatErrorImpl
    call _ShowErrorImpl
    call _FinalizeUnitsImpl
    pop ebp
    ret

    .globl _FreeImpl
_FreeImpl:
    push ebp
    mov ebp, esp
    inc dword ptr [_FixtureFreed]
    pop ebp
    ret

# DoneExcept(object): frees it.
    .globl _DoneExceptImpl
_DoneExceptImpl:
    push ebp
    mov ebp, esp
    push dword ptr [ebp+8]
    call _FreeImpl
    add esp, 4
    pop ebp
    ret

    .globl _TopLevelHandlerImpl
_TopLevelHandlerImpl:
    push ebp
    mov ebp, esp
    mov eax, 1
    pop ebp
    ret

# Registers the top-level handler in the exception registration it is given.
_InitExceptionsImpl:
    push ebp
    mov ebp, esp
    mov eax, [ebp+8]
    mov dword ptr [eax+4], OFFSET _TopLevelHandlerImpl
    pop ebp
    ret

# The start-up: its first call is the unit finalization.
    .globl _StartUpImpl
_StartUpImpl:
    push ebp
    mov ebp, esp
    call _FinalizeUnitsImpl
    pop ebp
    ret

# The program start: exception registration first, then the start-up.
    .globl _StartProgramImpl
_StartProgramImpl:
    push ebp
    mov ebp, esp
    sub esp, 8
    lea eax, [ebp-8]
    push eax
    call _InitExceptionsImpl
    add esp, 4
    call _StartUpImpl
    leave
    ret
