// Portable parts of the thread list, the process routines and the system
// information sections: names, record walks, report texts and orderings.
#include <gtest/gtest.h>

#include <map>

#include "qelExceptProcessCore.h"
#include "qelExceptSysInfoCore.h"
#include "qelExceptThreadsCore.h"
#include "qelPeFixture.h"

using namespace qel;

namespace {

// Process records as the system lays them out: (pid, thread ids) each.
std::vector<uint8_t> ProcessInfo(const TProcessInfoLayout& layout,
                                 const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& processes) {
  std::vector<uint8_t> buffer;
  for (size_t i = 0; i < processes.size(); ++i) {
    const auto& [pid, threads] = processes[i];
    const size_t start = buffer.size();
    const size_t length = layout.ThreadsOffset + threads.size() * layout.ThreadRecordSize;
    buffer.resize(start + length, 0);
    qeltest::Put32(buffer, start, i + 1 < processes.size() ? static_cast<uint32_t>(length) : 0);
    qeltest::Put32(buffer, start + layout.ThreadCountOffset, static_cast<uint32_t>(threads.size()));
    qeltest::Put32(buffer, start + layout.ProcessIdOffset, pid);
    for (size_t t = 0; t < threads.size(); ++t)
      qeltest::Put32(buffer, start + layout.ThreadsOffset + t * layout.ThreadRecordSize + layout.ThreadIdOffset,
                     threads[t]);
  }
  return buffer;
}

}  // namespace

TEST(ThreadList, MappingNameCarriesThePidInLowerCaseHex) {
  EXPECT_EQ(ThreadListMappingName(420), "qelExceptThreadNameBuf$1a4");
  EXPECT_EQ(ThreadListMappingName(0xABCDEF01u), "qelExceptThreadNameBuf$abcdef01");
  EXPECT_EQ(ThreadListMappingName(0), "qelExceptThreadNameBuf$0");
}

TEST(ThreadList, ProcessRecordsGiveTheThreadsOfOneProcess) {
  for (const auto* layout : {&kProcessInfoNt4, &kProcessInfo32, &kProcessInfo64}) {
    const auto buffer = ProcessInfo(*layout, {{4, {8, 12}}, {420, {0x1a8, 0x1ac, 0x2f0}}, {500, {9}}});
    EXPECT_EQ(ParseProcessThreadIds(buffer.data(), buffer.size(), 420, *layout),
              (std::vector<uint32_t>{0x1a8, 0x1ac, 0x2f0}));
    EXPECT_TRUE(ParseProcessThreadIds(buffer.data(), buffer.size(), 77, *layout).empty());
    // A buffer that ends inside the thread records gives the whole ones only.
    const size_t cut = buffer.size() - layout->ThreadRecordSize - (layout->ThreadsOffset + layout->ThreadRecordSize) + 1;
    EXPECT_EQ(ParseProcessThreadIds(buffer.data(), cut, 420, *layout), (std::vector<uint32_t>{0x1a8, 0x1ac}));
  }
}

TEST(ThreadList, BrokenRecordChainsEndTheWalk) {
  auto buffer = ProcessInfo(kProcessInfo32, {{4, {8}}, {420, {0x10}}});
  qeltest::Put32(buffer, 0, 0x7FFFFFF0);  // next record far beyond the buffer
  EXPECT_TRUE(ParseProcessThreadIds(buffer.data(), buffer.size(), 420, kProcessInfo32).empty());
  // A thread count beyond the buffer stops at its end.
  buffer = ProcessInfo(kProcessInfo32, {{420, {0x10, 0x14}}});
  qeltest::Put32(buffer, kProcessInfo32.ThreadCountOffset, 0xFFFFFFFFu);
  EXPECT_EQ(ParseProcessThreadIds(buffer.data(), buffer.size(), 420, kProcessInfo32),
            (std::vector<uint32_t>{0x10, 0x14}));
  EXPECT_TRUE(ParseProcessThreadIds(nullptr, 0, 420, kProcessInfo32).empty());
}

TEST(ThreadList, BranchAndLayoutChoice) {
  EXPECT_TRUE(IsWin9xVersion(0xC0000A04u));   // 98
  EXPECT_FALSE(IsWin9xVersion(0x0A280105u));  // XP
  EXPECT_EQ(&ProcessInfoLayoutFor(false, 4), &kProcessInfoNt4);
  EXPECT_EQ(&ProcessInfoLayoutFor(false, 5), &kProcessInfo32);
  EXPECT_EQ(&ProcessInfoLayoutFor(false, 10), &kProcessInfo32);
  EXPECT_EQ(&ProcessInfoLayoutFor(true, 6), &kProcessInfo64);
}

TEST(ThreadList, TitleTexts) {
  const struct {
    std::string name, className, title;
  } cases[] = {
      {"main thread", "", "main thread ($1a4)"},
      {"worker", "TMyThread", "worker ($1a4)"},
      {"", "", "thread $1a4"},
      {"", "TMyThread", "thread $1a4 (TMyThread)"},
      {"-", "TReporterThread", "thread $1a4 (TReporterThread)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ThreadTitleText(0x1a4, c.name, c.className), c.title) << c.name;
}

TEST(ProcessRoutines, FileNamesAndIdentifiers) {
  EXPECT_EQ(FileNameOnly("c:\\windows\\system32\\ntdll.dll"), "ntdll.dll");
  EXPECT_EQ(FileNameOnly("ntdll.dll"), "ntdll.dll");
  EXPECT_EQ(FileNameOnly("c:\\dir\\"), "");
  EXPECT_EQ(FilePathOnly("c:\\windows\\system32\\ntdll.dll"), "c:\\windows\\system32\\");
  EXPECT_EQ(FilePathOnly("ntdll.dll"), "ntdll.dll");
  const std::map<std::string, bool> identifiers = {
      {"_a1", true}, {"TForm1", true}, {"x", true}, {"", false}, {"1abc", false}, {"a-b", false}, {"a b", false},
      {"\xe7\xe3o", false}};
  for (const auto& [text, ok] : identifiers) EXPECT_EQ(IsIdentifier(text), ok) << text;
  EXPECT_TRUE(PointerInRange(0, 10, 20));
  EXPECT_TRUE(PointerInRange(10, 10, 20));
  EXPECT_TRUE(PointerInRange(20, 10, 20));
  EXPECT_FALSE(PointerInRange(9, 10, 20));
  EXPECT_FALSE(PointerInRange(21, 10, 20));
}

TEST(ProcessRoutines, ImportSlotsOfAFunctionImportedTwice) {
  for (const bool pe64 : {false, true}) {
    const uint64_t f = pe64 ? 0x00007FF812345678ull : 0x77001234u;
    const auto image = qeltest::BuildImportImage({pe64, f, 0x77005555u});
    const TImportSlots slots = FindImportSlots(image.data(), image.size(), f);
    const size_t width = pe64 ? 8 : 4;
    EXPECT_EQ(slots.Offsets, (std::vector<size_t>{qeltest::kFixtureFirstTable + width, qeltest::kFixtureSecondTable}));
    EXPECT_FALSE(slots.BadTable);
    EXPECT_TRUE(FindImportSlots(image.data(), image.size(), 0x1234).Offsets.empty());
  }
}

TEST(ProcessRoutines, ImportWalkEdgeCases) {
  const uint64_t f = 0x77001234u;
  // Import directory RVA 0: no imports, nothing read at the headers.
  auto image = qeltest::BuildImportImage({false, f, 1, true});
  EXPECT_TRUE(FindImportSlots(image.data(), image.size(), f).Offsets.empty());
  // An address table beyond the directory: the slots before it, and the flag.
  image = qeltest::BuildImportImage({false, f, 1, false, true});
  const TImportSlots bad = FindImportSlots(image.data(), image.size(), f);
  EXPECT_TRUE(bad.BadTable);
  EXPECT_EQ(bad.Offsets, (std::vector<size_t>{qeltest::kFixtureFirstTable + 4}));
  // Cut images and foreign headers give nothing and read nothing outside.
  image = qeltest::BuildImportImage({false, f, 1});
  for (const size_t size : {size_t{0}, size_t{2}, size_t{0x40}, size_t{0x90}, size_t{0x210}, size_t{0x288}})
    EXPECT_LE(FindImportSlots(image.data(), size, f).Offsets.size(), 1u) << size;
  image[0x98] = 0x0C;  // unknown optional-header magic
  EXPECT_TRUE(FindImportSlots(image.data(), image.size(), f).Offsets.empty());
}

TEST(ProcessRoutines, ClassNamesOfTypeNames) {
  const struct {
    const char* mangled;
    const char* name;
  } cases[] = {
      {"N2zf9ExceptionE", "Exception"},
      {"N2zf13EConvertErrorE", "EConvertError"},
      {"9TMyThread", "TMyThread"},
      {"N3qel12QelExceptionE", "QelException"},
      {"N12_GLOBAL__N_16TLocalE", "TLocal"},
      {"*N12_GLOBAL__N_16TLocalE", "TLocal"},  // internal linkage
      {"*9TMyThread", "TMyThread"},
      {"**9TMyThread", ""},
      {"", ""},
      {"N2zf9ExceptionE_", ""},
      {"N2zf9Exception", ""},
      {"N2zf99ExceptionE", ""},
      {"N2z-9ExceptionE", ""},
      {"i", ""},
      {"N2zf5TListIiEE", ""},
      {"St9exception", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ClassNameOfTypeName(c.mangled, 256), c.name) << c.mangled;
  const char unterminated[4] = {'3', 'a', 'b', 'c'};
  EXPECT_EQ(ClassNameOfTypeName(unterminated, sizeof unterminated), "");
}

TEST(SysInfo, UpTimeTexts) {
  const struct {
    uint64_t seconds;
    const char* text;
  } cases[] = {
      {0, ""},
      {1, "1 second "},
      {59, "59 seconds "},
      {60, "1 minute "},
      {61, "1 minute 1 second "},
      {3600, "1 hour "},
      {2 * 3600 + 60, "2 hours 1 minute "},
      {2 * 3600 + 60 + 5, "2 hours 1 minute "},
      {86400 + 3600 + 60, "1 day 1 hour "},
      {86400 + 60, "1 day "},
      {3 * 86400 + 5 * 3600, "3 days 5 hours "},
      {400 * 86400ull, "400 days "},
  };
  for (const auto& c : cases) EXPECT_EQ(UpTimeText(c.seconds), c.text) << c.seconds;
  EXPECT_EQ(ProgramUpTimeText(400), "400 milliseconds");
  EXPECT_EQ(ProgramUpTimeText(0), "0 milliseconds");
  EXPECT_EQ(ProgramUpTimeText(61500), "1 minute 1 second ");
}

TEST(SysInfo, MemoryFigures) {
  const struct {
    uint64_t bytes;
    uint64_t megabytes;
  } cases[] = {
      {0, 0},
      {524287, 0},
      {524288, 1},
      {1572863, 1},
      {1572864, 2},
      {2147483648ull, 2048},
      {4294967295ull, 4096},
      {24ull << 30, 24576},
      {UINT64_MAX, UINT64_MAX >> 20},
  };
  for (const auto& c : cases) EXPECT_EQ(MegabytesRounded(c.bytes), c.megabytes) << c.bytes;
  EXPECT_EQ(PhysicalMemoryText(1572864, 24ull << 30), "2/24576 MB (free/total)");
  EXPECT_EQ(SystemResourcesText(7, 45), "07/45 (gdi/user)");
  EXPECT_EQ(SystemResourcesText(100, 0), "100/00 (gdi/user)");
  EXPECT_EQ(DisplayModeText(1280, 1024, 24), "1280x1024, 24 bit");
}

TEST(SysInfo, ProcessorCount) {
  EXPECT_EQ(CountProcessorsWith([](int i) { return i == 0 ? "cpu" : ""; }), 1);
  EXPECT_EQ(CountProcessorsWith([](int i) { return i < 4 ? "cpu" : ""; }), 4);
  EXPECT_EQ(CountProcessorsWith([](int) { return "cpu"; }), 16);
}

TEST(SysInfo, HardwareOrdering) {
  THardwareList list;
  AddHardwareDevice(list, "Ports", "COM2", "");
  AddHardwareDevice(list, "Disk drives", "disk B", "");
  AddHardwareDevice(list, "ports", "COM1", "");
  AddHardwareDevice(list, "Disk drives", "Disk a", "");
  AddHardwareDevice(list, "Disk drives", "Disk a", "k2");
  AddHardwareDevice(list, "Audio", "Speaker", "");
  std::vector<std::string> classes;
  for (const auto& c : list) classes.push_back(c.ClassText);
  // Ports and ports compare equal ignoring case: the later one goes in front.
  EXPECT_EQ(classes, (std::vector<std::string>{"Audio", "Disk drives", "ports", "Ports"}));
  const auto& disks = list[1].Devices;
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].DeviceText, "Disk a");
  EXPECT_EQ(disks[0].DriverKey, "k2");  // in front of the equal one
  EXPECT_EQ(disks[1].DriverKey, "");
  EXPECT_EQ(disks[2].DeviceText, "disk B");
}

TEST(SysInfo, DeviceSkipLists) {
  EXPECT_TRUE(IsSkippedDeviceNt("LegacyDriver", "x"));
  EXPECT_TRUE(IsSkippedDeviceNt("Unknown", "x"));
  EXPECT_TRUE(IsSkippedDeviceNt("Volume", "x"));
  EXPECT_TRUE(IsSkippedDeviceNt("System", "SW\\{abc}"));
  EXPECT_FALSE(IsSkippedDeviceNt("volume", "PCI\\VEN_1"));
  EXPECT_FALSE(IsSkippedDeviceNt("Display", "swx\\1"));
  for (const char* c : {"", "NetClient", "NetService", "NetTrans"}) EXPECT_TRUE(IsSkippedClass9x(c)) << c;
  EXPECT_FALSE(IsSkippedClass9x("netclient"));
  EXPECT_FALSE(IsSkippedClass9x("Ports"));
  EXPECT_TRUE(IsHiddenDeviceCharacteristics(std::string("\x08\0\0\0", 4)));
  EXPECT_TRUE(IsHiddenDeviceCharacteristics(std::string("\x0f\x01\0\0", 4)));
  EXPECT_FALSE(IsHiddenDeviceCharacteristics(std::string("\x07\0\0\0", 4)));
  EXPECT_FALSE(IsHiddenDeviceCharacteristics(std::string("\x08\0\0", 3)));
}

TEST(SysInfo, HardwareSectionWithDriverVersions) {
  const std::map<std::pair<std::string, std::string>, std::string> registry = {
      {{"k\\ms", "ProviderName"}, "Microsoft"},         {{"k\\ms", "DriverVersion"}, "1.0"},
      {{"k\\ms2", "ProviderName"}, "microsoft"},        {{"k\\ms2", "DriverVersion"}, "1.0"},
      {{"k\\std", "ProviderName"}, "(Standard ports)"}, {{"k\\std", "DriverVersion"}, "1.0"},
      {{"k\\acme", "ProviderName"}, "Acme"},            {{"k\\acme", "DriverVersion"}, " 5.1.2 \t"},
      {{"k\\date", "ProviderName"}, "Acme"},            {{"k\\date", "DriverDate"}, "3-14-2004"},
      {{"k\\none", "ProviderName"}, "Acme"},
  };
  const TRegValueReader read = [&](const std::string& key, const std::string& value) {
    const auto it = registry.find({key, value});
    return it == registry.end() ? std::string() : it->second;
  };
  THardwareList list;
  for (const char* key : {"k\\ms", "k\\ms2", "k\\std", "k\\acme", "k\\date", "k\\none", ""})
    AddHardwareDevice(list, "Ports", std::string("dev ") + key, key);
  AddHardwareDevice(list, "Display", "VGA", "k\\acme");
  std::string text = "hardware:";
  AppendHardwareLines(text, list, read);
  EXPECT_EQ(text,
            "hardware:\r\n"
            "+ Display\r\n"
            "  - VGA (driver 5.1.2)\r\n"
            "+ Ports\r\n"
            "  - dev \r\n"
            "  - dev k\\acme (driver 5.1.2)\r\n"
            "  - dev k\\date (driver 3-14-2004)\r\n"
            "  - dev k\\ms\r\n"
            "  - dev k\\ms2\r\n"
            "  - dev k\\none\r\n"
            "  - dev k\\std");
}

TEST(SysInfo, ModuleSectionColumnsAlign) {
  TModuleList modules = {ModuleEntryFromPath(0x400000, "C:\\prog\\Lunsel.exe"),
                         ModuleEntryFromPath(0x7c900000, "C:\\windows\\system32\\ntdll.dll"),
                         ModuleEntryFromPath(0x10000000, "helper.dll")};
  modules[1].VersionText = "5.1.2600.0";
  EXPECT_EQ(ModuleReportText(modules, 8),
            "modules:\r\n"
            "00400000 Lunsel.exe            C:\\prog\\\r\n"
            "7c900000 ntdll.dll  5.1.2600.0 C:\\windows\\system32\\\r\n"
            "10000000 helper.dll            ");
  modules[1].VersionText.clear();
  EXPECT_EQ(ModuleReportText({modules[0]}, 8), "modules:\r\n00400000 Lunsel.exe  C:\\prog\\");
  EXPECT_EQ(ModuleReportText({ModuleEntryFromPath(0x140000000ull, "C:\\a.exe")}, 16),
            "modules:\r\n0000000140000000 a.exe  C:\\");
  EXPECT_EQ(ModuleReportText({}, 8), "modules:");
  EXPECT_EQ(SectionErrorLine("GetModuleReport"), ">> internal error in GetModuleReport");
}
