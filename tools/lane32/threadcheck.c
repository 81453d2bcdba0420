/* Lane self-check: threads keep their own TEB through signals. Workers fault (handled by a
 * vectored handler), sleep alertably, are suspended, have their context read and get APCs
 * while threads come and go; each checks that %fs still points at its own TEB. Before the
 * preload library gave every thread its own LDT entries this crashed or hung within seconds.
 *   i686-w64-mingw32-gcc -O1 -static -o threadcheck.exe tools/lane32/threadcheck.c
 *   scripts/wine32.sh threadcheck.exe     (prints faults=... bad=0, exit code 0) */
#include <windows.h>
#include <stdio.h>
#define N 12
static volatile LONG stop, faults, bad;

static LONG CALLBACK skip_fault(EXCEPTION_POINTERS *e)
{
    if (e->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
    e->ContextRecord->Eip += 5; /* the 5-byte store below */
    InterlockedIncrement(&faults);
    return EXCEPTION_CONTINUE_EXECUTION;
}

static DWORD WINAPI worker(void *arg)
{
    void *mine = NtCurrentTeb();
    (void)arg;
    while (!stop) {
        __asm__ volatile(".byte 0xa3; .long 0" ::: "memory"); /* mov %eax,0 */
        SleepEx(1, TRUE);
        if ((void *)NtCurrentTeb() != mine) { InterlockedIncrement(&bad); return 1; }
    }
    return 0;
}

static void CALLBACK apc(ULONG_PTR p) { (void)p; }

int main(void)
{
    HANDLE th[N];
    CONTEXT ctx;
    int i;
    AddVectoredExceptionHandler(1, skip_fault);
    for (i = 0; i < N; i++) th[i] = CreateThread(NULL, 0, worker, NULL, 0, NULL);
    for (i = 0; i < 200; i++) {
        HANDLE t = th[i % N];
        SuspendThread(t);
        ctx.ContextFlags = CONTEXT_FULL;
        GetThreadContext(t, &ctx);
        ResumeThread(t);
        QueueUserAPC(apc, t, 0);
        if (i % 20 == 0) CloseHandle(CreateThread(NULL, 0, worker, NULL, 0, NULL));
        Sleep(2);
    }
    stop = 1;
    WaitForMultipleObjects(N, th, TRUE, INFINITE);
    printf("faults=%ld bad=%ld\n", faults, bad);
    return bad != 0;
}
