/* Preload library for i386 programs run by qemu-user 7.2 in the 32-bit lane (loaded only by
 * emulated processes: it is listed in the sysroot's /etc/ld.so.preload). It mends faults of
 * that qemu that Wine trips over:
 *
 * 1. MAP_FIXED_NOREPLACE is ignored: qemu maps elsewhere instead of failing. Wine reserves its
 *    address space with that flag, takes such mappings as success, and keeps halving its
 *    request: hundreds of thousands of mmap calls and most of a minute per process start. Here
 *    the flag gets its kernel meaning: map, and if the result is not at the address, unmap and
 *    fail with EEXIST.
 * 2. Guest signal frames carry trapno = -1. Wine's i386 signal handlers decide by trapno, so
 *    every fault became an illegal instruction and guard pages never committed. sigaction() is
 *    wrapped and trapno rebuilt from the signal number and si_code before Wine's handler runs.
 * 3. Virtual serial cables are ptys. The kernel forces a pty's c_cflag to 8 data bits without
 *    parity, and libc's tcsetattr reports that as EINVAL after a successful TCSETS whenever the
 *    parity bit it read back differs from the one set. qemu does not pass CMSPAR (mark and space
 *    parity) through at all, so the bits read back after a mark or space setting differ from
 *    what the host has, and a later odd or even setting fails where native Wine's succeeds.
 *    tcsetattr here issues the TCSETS family ioctl and returns its own result, as the kernel
 *    gives it.
 * 4. qemu keeps one GDT for all threads of a process, so the thread-local GDT slots that
 *    set_thread_area fills are process-wide: a slot holds the base of whichever thread wrote it
 *    last, and every segment reload reads that. Wine reloads %fs (its TEB) and %gs (libc's
 *    thread block) in every signal handler, and qemu reloads both on sigreturn. After a signal
 *    a thread thus ran with the newest thread's TEB and libc thread block: another thread's
 *    server pipe, stack limits, exception chain and syscall frame. It hung in server calls or
 *    "returned" into the other thread's start routine and crashed; the desktop process and the
 *    device services died in every session. The LDT is process-wide on a real kernel too, so
 *    each thread gets LDT entries of its own instead: Wine asks for a free GDT slot for %fs
 *    once, through syscall(), and when refused takes an LDT entry per thread itself; libc's
 *    %gs is moved to an LDT entry here, at start and in every thread pthread_create starts.
 *    Wine then keeps its LDT entries from 512 up, above the ones used here.
 *
 * Built freestanding (-m32 -nostdlib) against the sysroot's libc: no i386 development
 * packages are needed on the host. */
typedef void (*handler_t)(int, void *, void *);
struct k_sigaction { handler_t handler; unsigned int mask[32]; int flags; void (*restorer)(void); };
extern void *dlsym(void *, const char *);
extern int *__errno_location(void);
extern int munmap(void *, unsigned int);
extern int ioctl(int, unsigned long, ...);
extern void *malloc(unsigned int);
extern void free(void *);
extern int sched_yield(void);
extern int pthread_sigmask(int, const void *, void *);
extern int pthread_key_create(unsigned int *, void (*)(void *));
extern int pthread_setspecific(unsigned int, const void *);
#define RTLD_NEXT ((void *)-1)
#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define ERR_EEXIST 17
/* i386 ucontext_t: uc_mcontext.gregs starts 20 bytes in; indexes of the registers used here */
#define UC_GREGS 20
enum { REG_TRAPNO = 12, REG_ERR = 13, REG_EIP = 14 };
/* siginfo_t on i386: si_code at word 2, si_addr at word 3 */
enum { SI_CODE = 2, SI_ADDR = 3 };

static handler_t guest_handler[65];
static int (*real_sigaction)(int, const struct k_sigaction *, struct k_sigaction *);
static void *(*real_mmap)(void *, unsigned int, int, int, int, long);
static void *(*real_mmap64)(void *, unsigned int, int, int, int, long long);

static int wants_noreplace(int flags)
{
    return (flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED);
}

static void *at_address_or_fail(void *want, void *got, unsigned int len)
{
    if (got == (void *)-1 || got == want) return got;
    munmap(got, len);
    *__errno_location() = ERR_EEXIST;
    return (void *)-1;
}

void *mmap(void *addr, unsigned int len, int prot, int flags, int fd, long off)
{
    if (!real_mmap) real_mmap = (void *(*)(void *, unsigned int, int, int, int, long))dlsym(RTLD_NEXT, "mmap");
    if (!wants_noreplace(flags)) return real_mmap(addr, len, prot, flags, fd, off);
    return at_address_or_fail(addr, real_mmap(addr, len, prot, flags & ~MAP_FIXED_NOREPLACE, fd, off), len);
}

void *mmap64(void *addr, unsigned int len, int prot, int flags, int fd, long long off)
{
    if (!real_mmap64) real_mmap64 = (void *(*)(void *, unsigned int, int, int, int, long long))dlsym(RTLD_NEXT, "mmap64");
    if (!wants_noreplace(flags)) return real_mmap64(addr, len, prot, flags, fd, off);
    return at_address_or_fail(addr, real_mmap64(addr, len, prot, flags & ~MAP_FIXED_NOREPLACE, fd, off), len);
}

/* The x86 exception vector the kernel would have reported for this signal. */
static int trap_of(int sig, const int *si, const int *gregs)
{
    int code = si[SI_CODE];
    switch (sig) {
    case 11: return code == 0x80 ? 13 : 14;              /* SI_KERNEL: #GP, else #PF */
    case 4: return 6;                                    /* #UD */
    case 7: return code == 1 ? 17 : 14;                  /* BUS_ADRALN: #AC */
    case 8: return code == 1 ? 0 : code == 2 ? 4 : 16;   /* FPE_INTDIV #DE, FPE_INTOVF #OF, else #MF */
    case 5: return code == 2 ? 1 : 3;                    /* TRAP_TRACE #DB, else #BP */
    }
    return gregs[REG_TRAPNO];
}

static void fixup(int sig, void *si, void *uc)
{
    int *gregs = (int *)((char *)uc + UC_GREGS);
    if (gregs[REG_TRAPNO] == -1) {
        gregs[REG_TRAPNO] = trap_of(sig, (const int *)si, gregs);
        /* a fault at the instruction pointer is an instruction fetch (error code bit 4) */
        if (gregs[REG_TRAPNO] == 14 && ((int *)si)[SI_ADDR] == gregs[REG_EIP]) gregs[REG_ERR] |= 0x10;
    }
    guest_handler[sig](sig, si, uc);
}

static int is_fault_signal(int sig)
{
    return sig == 4 || sig == 5 || sig == 7 || sig == 8 || sig == 11;
}

int sigaction(int sig, const struct k_sigaction *act, struct k_sigaction *old)
{
    int ret;
    if (!real_sigaction)
        real_sigaction = (int (*)(int, const struct k_sigaction *, struct k_sigaction *))dlsym(RTLD_NEXT, "sigaction");
    if (act && is_fault_signal(sig) && (unsigned long)act->handler > 1 /* not SIG_DFL/SIG_IGN */) {
        struct k_sigaction wrapped = *act;
        handler_t prev = guest_handler[sig];
        guest_handler[sig] = act->handler;
        wrapped.handler = fixup;
        ret = real_sigaction(sig, &wrapped, old);
        if (ret) guest_handler[sig] = prev;
        if (old && old->handler == fixup) old->handler = prev;
        return ret;
    }
    ret = real_sigaction(sig, act, old);
    if (!ret && old && old->handler == fixup) old->handler = guest_handler[sig];
    return ret;
}

static long (*real_syscall)(long, long, long, long, long, long, long);

static void find_syscall(void)
{
    if (!real_syscall)
        real_syscall = (long (*)(long, long, long, long, long, long, long))dlsym(RTLD_NEXT, "syscall");
}

static long host_syscall(long nr, long a1, long a2, long a3)
{
    find_syscall();
    return real_syscall(nr, a1, a2, a3, 0, 0, 0);
}

enum { NR_modify_ldt = 123, NR_set_thread_area = 243, SIG_BLOCK_ = 0, SIG_SETMASK_ = 2 };

/* Wine's set_thread_area() is syscall(243, desc); entry_number -1 asks for a free GDT slot. */
long syscall(long nr, long a1, long a2, long a3, long a4, long a5, long a6)
{
    enum { ERR_ENOSYS = 38 };
    if (nr == NR_set_thread_area && a1 && *(const int *)a1 == -1) {
        *__errno_location() = ERR_ENOSYS;
        return -1;
    }
    find_syscall();
    return real_syscall(nr, a1, a2, a3, a4, a5, a6);
}

/* libc's thread blocks on LDT entries 1..511 (entry 0 stays unused), handed out round-robin so
 * that an entry freed by an exiting thread, which still runs on it for a moment, is not at once
 * rewritten. */
enum { TLS_ENTRIES = 512, TLS_FLAGS = 0x51 /* 32-bit, limit in pages, usable: as libc sets */ };
static unsigned char tls_entry_used[TLS_ENTRIES];
static unsigned int tls_next, tls_key;
static int gdt_gs;          /* libc's own GDT selector for %gs; 0: moving %gs is off */
static volatile int gdt_lock;
struct user_desc_ { unsigned int entry, base, limit, flags; };

static unsigned int get_gs(void) { unsigned int v; __asm__ volatile("movl %%gs,%0" : "=r"(v)); return v & 0xffff; }
static void set_gs(unsigned int sel) { __asm__ volatile("movl %0,%%gs" : : "r"(sel) : "memory"); }
static unsigned int thread_block(void) { unsigned int v; __asm__ volatile("movl %%gs:0,%0" : "=r"(v)); return v; }

static void free_tls_entry(void *entry)
{
    __atomic_store_n(&tls_entry_used[(unsigned int)entry], 0, __ATOMIC_RELEASE);
}

/* Moves the calling thread's %gs to an LDT entry of its own, with the same base. */
static void own_gs(void)
{
    unsigned int i, idx = 0;
    struct user_desc_ d;
    if (!gdt_gs || get_gs() != gdt_gs) return;
    for (i = 0; i < TLS_ENTRIES - 1 && !idx; i++) {
        unsigned int n = 1 + __atomic_fetch_add(&tls_next, 1, __ATOMIC_RELAXED) % (TLS_ENTRIES - 1);
        if (!__atomic_exchange_n(&tls_entry_used[n], 1, __ATOMIC_ACQUIRE)) idx = n;
    }
    if (!idx) return; /* all taken: this thread stays on the shared slot */
    d.entry = idx; d.base = thread_block(); d.limit = 0xfffff; d.flags = TLS_FLAGS;
    if (host_syscall(NR_modify_ldt, 0x11, (long)&d, sizeof(d))) { free_tls_entry((void *)idx); return; }
    set_gs((idx << 3) | 7);
    pthread_setspecific(tls_key, (void *)idx);
}

__attribute__((constructor)) static void init_gs(void)
{
    unsigned int gs = get_gs();
    if (!(gs & 4) && gs >> 3 && !pthread_key_create(&tls_key, free_tls_entry)) gdt_gs = gs;
    own_gs();
}

struct thread_start { void *(*fn)(void *); void *arg; unsigned int mask[32]; };

static void *start_on_own_gs(void *p)
{
    struct thread_start s = *(struct thread_start *)p;
    own_gs();
    free(p);
    pthread_sigmask(SIG_SETMASK_, s.mask, 0);
    return s.fn(s.arg);
}

/* libc's clone takes the child's TLS slot number from the creator's %gs, so the creator goes back
 * to the shared GDT slot, filled with its own base, for the call. Signals stay blocked meanwhile
 * (a sigreturn would reload the shared slot) and one thread at a time does it. */
int pthread_create(void *thread, const void *attr, void *(*fn)(void *), void *arg)
{
    static int (*real_create)(void *, const void *, void *(*)(void *), void *);
    unsigned int all[32], mask[32], own, i;
    struct thread_start *s;
    struct user_desc_ d;
    int ret;
    if (!real_create)
        real_create = (int (*)(void *, const void *, void *(*)(void *), void *))dlsym(RTLD_NEXT, "pthread_create");
    if (!gdt_gs || !(s = malloc(sizeof(*s)))) return real_create(thread, attr, fn, arg);
    for (i = 0; i < 32; i++) all[i] = ~0u;
    pthread_sigmask(SIG_BLOCK_, all, mask);
    s->fn = fn; s->arg = arg;
    for (i = 0; i < 32; i++) s->mask[i] = mask[i];
    own = get_gs();
    if (own != gdt_gs) {
        while (__atomic_exchange_n(&gdt_lock, 1, __ATOMIC_ACQUIRE)) sched_yield();
        d.entry = gdt_gs >> 3; d.base = thread_block(); d.limit = 0xfffff; d.flags = TLS_FLAGS;
        host_syscall(NR_set_thread_area, (long)&d, 0, 0);
        set_gs(gdt_gs);
    }
    ret = real_create(thread, attr, start_on_own_gs, s);
    if (own != gdt_gs) {
        set_gs(own);
        __atomic_store_n(&gdt_lock, 0, __ATOMIC_RELEASE);
    }
    if (ret) free(s);
    pthread_sigmask(SIG_SETMASK_, mask, 0);
    return ret;
}

/* C11 threads reach libc's thread creation without the pthread_create symbol; attr -1 is how
 * libc marks such a thread. */
int thrd_create(void *thr, int (*fn)(void *), void *arg)
{
    enum { ERR_ENOMEM = 12, thrd_success = 0, thrd_error = 2, thrd_nomem = 3 };
    int ret = pthread_create(thr, (const void *)-1, (void *(*)(void *))fn, arg);
    return !ret ? thrd_success : ret == ERR_ENOMEM ? thrd_nomem : thrd_error;
}

/* The kernel's struct termios is a prefix of libc's: the ioctl reads only what it knows. */
int tcsetattr(int fd, int optional_actions, const void *termios)
{
    enum { TCSANOW, TCSADRAIN, TCSAFLUSH };
    enum { TCSETS = 0x5402, TCSETSW = 0x5403, TCSETSF = 0x5404 };
    enum { ERR_EINVAL = 22 };
    switch (optional_actions) {
    case TCSANOW: return ioctl(fd, TCSETS, termios);
    case TCSADRAIN: return ioctl(fd, TCSETSW, termios);
    case TCSAFLUSH: return ioctl(fd, TCSETSF, termios);
    }
    *__errno_location() = ERR_EINVAL;
    return -1;
}
