// Routine names as the map stores them, and path folding.
#include <gtest/gtest.h>

#include "MapText.h"
#include "PeImage.h"

using namespace mapgen;

TEST(MapGen, RoutineNames) {
  const struct {
    const char* demangled;
    const char* name;
  } cases[] = {
      {"main", "main"},
      {"ns::K::f(int) const", "ns::K::f"},
      {"int tmpl<int>(int)", "tmpl<int>"},
      {"std::vector<int, std::allocator<int> > ns::make<int>(unsigned int)", "ns::make<int>"},
      {"(anonymous namespace)::Helper(char const*)", "{anonymous}::Helper"},
      {"zf::(anonymous namespace)::TParser::Fail(char const*)", "zf::{anonymous}::TParser::Fail"},
      {"Functor::operator()(int) const", "Functor::operator()"},
      {"T::operator<(T const&) const", "T::operator<"},
      {"T::operator<<(int)", "T::operator<<"},
      {"T::operator int() const", "T::operatorint"},
      {"operator new(unsigned int)", "operatornew"},
      {"main::{lambda(int)#1}::operator()(int) const", "main::{lambda(int)#1}::operator()"},
      {"zf::TList::~TList()", "zf::TList::~TList"},
  };
  for (const auto& c : cases) EXPECT_EQ(RoutineName(c.demangled), c.name) << c.demangled;
}

TEST(MapGen, SymbolNames) {
  EXPECT_EQ(SymbolRoutineName("__ZNK2ns1K1fEi", false), "ns::K::f");
  EXPECT_EQ(SymbolRoutineName("_ZNK2ns1K1fEi", true), "ns::K::f");
  EXPECT_EQ(SymbolRoutineName("_cfunc@8", false), "cfunc");
  EXPECT_EQ(SymbolRoutineName("@fast@12", false), "fast");
  EXPECT_EQ(SymbolRoutineName("__ZN12_GLOBAL__N_110CountChildEP6HWND__l@8", false), "{anonymous}::CountChild");
  // The map joins scopes with "." as the reporter shows every C++ name.
  EXPECT_EQ(MapName("zf::{anonymous}::TParser::Fail"), "zf.{anonymous}.TParser.Fail");
  EXPECT_EQ(MapName("std::vector<zf::TItem>::push_back"), "std.vector<zf.TItem>.push_back");
  EXPECT_EQ(SymbolRoutineName("_main", false), "main");
  EXPECT_EQ(SymbolRoutineName("main", true), "main");
  EXPECT_EQ(SymbolRoutineName("___static_initialization_and_destruction_0", false),
            "__static_initialization_and_destruction_0");
  EXPECT_EQ(SymbolRoutineName(".text$cfunc", false), "");
}

TEST(MapGen, TemplateArgumentsLeftOut) {
  EXPECT_EQ(WithoutTemplateArguments("zf::Make<A,B::{lambda(x)#1}>"), "zf::Make");
  EXPECT_EQ(WithoutTemplateArguments("Make<A, f()::<lambda(x)> >"), "Make");
  EXPECT_EQ(WithoutTemplateArguments("T::operator<"), "T::operator<");
}

TEST(MapGen, FoldPath) {
  EXPECT_EQ(FoldPath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(FoldPath("/build/x/../../src/f.cpp"), "/src/f.cpp");
  EXPECT_EQ(FoldPath("a//b/"), "a/b");
  EXPECT_EQ(FoldPath("../x"), "../x");
  EXPECT_EQ(FoldPath("/"), "/");
}

TEST(MapGen, RefusesWhatIsNoImage) {
  EXPECT_THROW(PeImage(""), std::runtime_error);
  EXPECT_THROW(PeImage(std::string(64, 'x')), std::runtime_error);
  std::string mz(128, '\0');
  mz[0] = 'M';
  mz[1] = 'Z';
  mz[60] = static_cast<char>(0xF0);  // the PE header would lie beyond the file
  EXPECT_THROW(PeImage{mz}, std::runtime_error);
}
