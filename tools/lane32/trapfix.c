/* Preload library for i386 programs run by qemu-user 7.2 in the 32-bit lane (loaded only by
 * emulated processes: it is listed in the sysroot's /etc/ld.so.preload). It mends two faults of
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
 *
 * Built freestanding (-m32 -nostdlib) against the sysroot's libc: no i386 development
 * packages are needed on the host. */
typedef void (*handler_t)(int, void *, void *);
struct k_sigaction { handler_t handler; unsigned int mask[32]; int flags; void (*restorer)(void); };
extern void *dlsym(void *, const char *);
extern int *__errno_location(void);
extern int munmap(void *, unsigned int);
extern int ioctl(int, unsigned long, ...);
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
