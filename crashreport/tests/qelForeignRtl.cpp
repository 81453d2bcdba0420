// Stand-in for the foreign run-time library file: its exports by name, but
// no exception-frame routine (that comes only from the build-time table).
extern "C" {
int ExceptionHandlerImpl() { return 1; }
int ThrowImpl() { return 2; }
void* MallocImpl(unsigned) { return nullptr; }
void* MemcpyImpl(void* d, const void*, unsigned) { return d; }
void (*TerminatePtr)() = nullptr;
}
