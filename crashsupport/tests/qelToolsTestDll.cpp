// Exports for the export-lookup tests (see qelToolsTestDll.def).
extern "C" int Plain(int x) { return x + 1; }
extern "C" int Hidden(int x) { return x + 7; }
extern "C" int Other(int x) { return x + 3; }
extern "C" int NotExported(int x) { return x + 5; }
namespace qtest {
int Sample(int x) { return x * 2; }
}  // namespace qtest
// Lets the test find an address inside the DLL that is no export.
extern "C" void* InnerAddress() { return reinterpret_cast<void*>(&NotExported); }
