# Stand-in for the foreign run-time library file ("cc3260mt.dll"): code of
# the shape its hooks look for, in our own assembly. The exports by name are
# those the lookup takes; the exception-frame routine is no named export of the
# real library (it comes from the build-time table), so the tests hand it in.
# The Fixture* exports name inner routines and call sites for the tests.
# Every routine is cdecl; the per-thread data is one block (the tests use it
# from one thread).

    .intel_syntax noprefix

    .data
    .globl _TerminatePtr
_TerminatePtr:
    .long 0
    .globl _FixtureAnyEdx
_FixtureAnyEdx:
    .long 0
_FixtureAnyCell:
    .long _FixtureAnyHandler

    .bss
    .globl _FixturePtd
    .balign 16
_FixturePtd:
    .space 0x200

    .text

# Per-thread data: its current-exception pointer lies at 0x120 (a disp32).
    .globl _FixturePerThreadData
_FixturePerThreadData:
    mov eax, OFFSET _FixturePtd
    ret

# _malloc: from the process heap.
    .globl _MallocImpl
_MallocImpl:
    call _GetProcessHeap@0
    push dword ptr [esp+4]
    push 0
    push eax
    call _HeapAlloc@12
    ret

# _memcpy(dest, source, count) -> dest
    .globl _MemcpyImpl
_MemcpyImpl:
    push esi
    push edi
    mov edi, [esp+12]
    mov esi, [esp+16]
    mov ecx, [esp+20]
    mov eax, edi
    rep movsb
    pop edi
    pop esi
    ret

# The exception block's allocating routine (size) -> block.
    .globl _FixtureAllocBlock
_FixtureAllocBlock:
    push dword ptr [esp+4]
    .globl _FixtureSiteMalloc
_FixtureSiteMalloc:
    call _MallocImpl
    add esp, 4
    ret

# (value, throw address): a block with the 4-byte class object, made the
# thread's current exception, raised as 0x0EEFFACE with the arguments
# {0, throw address, block}; continuable, so that a handler can go on. -> block
    .globl _FixtureRaise
_FixtureRaise:
    push ebp
    mov ebp, esp
    push ebx
    push 86
    call _FixtureAllocBlock
    add esp, 4
    mov ebx, eax
    test eax, eax
    jz 1f
    mov dword ptr [ebx+16], 4
    mov byte ptr [ebx+68], 1
    mov eax, [ebp+8]
    mov [ebx+82], eax
    call _FixturePerThreadData
    mov [eax+0x120], ebx
    push ebx
    push dword ptr [ebp+12]
    push 0
    mov eax, esp
    push eax
    push 3
    push 0
    push 0x0EEFFACE
    .globl _FixtureSiteRaise
_FixtureSiteRaise:
    call _RaiseException@16
    add esp, 12
1:
    mov eax, ebx
    pop ebx
    pop ebp
    ret

# The throw routine (value): one far call; the throw address is its caller's
# return address.
    .globl _ThrowImpl
_ThrowImpl:
    push ebp
    mov ebp, esp
    push dword ptr [ebp+4]
    push dword ptr [ebp+8]
    call _FixtureRaise
    add esp, 8
    pop ebp
    ret

# A throw from a known place: (value) -> block
    .globl _FixtureThrow
_FixtureThrow:
    push dword ptr [esp+4]
    call _ThrowImpl
    .globl _FixtureThrowReturn
_FixtureThrowReturn:
    add esp, 4
    ret

# Fetches the exception object: allocates and copies. (record) -> block
    .globl _FixtureGetObject
_FixtureGetObject:
    push ebp
    mov ebp, esp
    push ebx
    push 86
    call _FixtureAllocBlock
    add esp, 4
    mov ebx, eax
    test eax, eax
    jz 1f
    mov dword ptr [ebx+16], 4
    push 4
    push dword ptr [ebp+8]
    lea eax, [ebx+82]
    push eax
    call _MemcpyImpl
    add esp, 12
1:
    mov eax, ebx
    pop ebx
    pop ebp
    ret

# Sets up the catch argument: allocates, copies nothing.
# (record, frame, catch info) -> edx:eax marker
    .globl _FixtureInitCatchArg
_FixtureInitCatchArg:
    push 86
    call _FixtureAllocBlock
    add esp, 4
    mov eax, 0x5A5A5A5A
    mov edx, 0x6B6B6B6B
    ret

# Neither allocates nor copies.
    .globl _FixtureOther
_FixtureOther:
    xor eax, eax
    ret

# The exception handler (record, frame, catch info) -> the fetched object's
# block.
    .globl _ExceptionHandlerImpl
_ExceptionHandlerImpl:
    push ebp
    mov ebp, esp
    push ebx
    call _FixturePerThreadData
    mov eax, [eax+0x120]
    push dword ptr [ebp+8]
    .globl _FixtureSiteGetObject
_FixtureSiteGetObject:
    call _FixtureGetObject
    add esp, 4
    mov ebx, eax
    push dword ptr [ebp+16]
    push dword ptr [ebp+12]
    push dword ptr [ebp+8]
    .globl _FixtureSiteInitCatch
_FixtureSiteInitCatch:
    call _FixtureInitCatchArg
    add esp, 12
    .globl _FixtureSiteOther
_FixtureSiteOther:
    call _FixtureOther
    mov eax, ebx
    pop ebx
    pop ebp
    ret

# The local exception-frame registration routine.
    .globl _FixtureFrameRoutine
_FixtureFrameRoutine:
    ret

# Termination: through the terminate pointer when set, else exit code 7.
    .globl _FixtureTerminate
_FixtureTerminate:
    push ebp
    mov ebp, esp
    mov eax, [_TerminatePtr]
    test eax, eax
    jz 1f
    call eax
1:
    push 7
    call _ExitProcess@4

# An any-exception handler (record) -> ecx of its moves, with edx kept in
# FixtureAnyEdx; reached through a jump cell. The 9 bytes stand twice.
    .globl _FixtureAnyJump
_FixtureAnyJump:
    jmp dword ptr [_FixtureAnyCell]
_FixtureAnyHandler:
    mov eax, 0x11111111
    .byte 0x89, 0xC2, 0x8B, 0x44, 0x24, 0x04, 0x8B, 0x48, 0x0C
    mov eax, 0x22222222
    .globl _FixtureAnySite
_FixtureAnySite:
    .byte 0x89, 0xC2, 0x8B, 0x44, 0x24, 0x04, 0x8B, 0x48, 0x0C
    mov [_FixtureAnyEdx], edx
    mov eax, ecx
    ret
