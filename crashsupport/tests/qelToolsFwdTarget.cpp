// Target of a forwarder in qeltools_testdll; loaded only by the test's lookups.
extern "C" __declspec(dllexport) int Target(int x) { return x + 100; }
