#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Classes.h"
#include "SysUtils.h"
#include "Units.h"

using namespace zf;

namespace {

std::vector<std::string> g_log;

class TLogged : public TComponent {
public:
  explicit TLogged(TComponent* owner, std::string tag = "") : TComponent(owner), FTag(std::move(tag)) {}
  ~TLogged() override { g_log.push_back("free " + FTag); }

private:
  std::string FTag;
};

TEST(Component, OwnerFreesOwnedLastCreatedFirst) {
  g_log.clear();
  {
    auto root = std::make_unique<TLogged>(nullptr, "root");
    auto* a = MakeOwned<TLogged>(root.get(), "a");
    MakeOwned<TLogged>(a, "a1");
    MakeOwned<TLogged>(root.get(), "b");
    EXPECT_EQ(root->ComponentCount(), 2);
    EXPECT_EQ(a->Owner(), root.get());
  }
  EXPECT_EQ(g_log, (std::vector<std::string>{"free root", "free b", "free a", "free a1"}));
}

TEST(Component, FreeComponentEarlyAndFindByName) {
  g_log.clear();
  auto root = std::make_unique<TComponent>(nullptr);
  auto* a = MakeOwned<TLogged>(root.get(), "a");
  a->SetName("Button1");
  EXPECT_EQ(root->FindComponent("BUTTON1"), a);
  root->FreeComponent(a);
  EXPECT_EQ(g_log, std::vector<std::string>{"free a"});
  EXPECT_EQ(root->ComponentCount(), 0);
  EXPECT_EQ(root->FindComponent("Button1"), nullptr);
}

TEST(Component, DesigningStateReachesNewAndOwnedComponents) {
  auto root = std::make_unique<TComponent>(nullptr);
  auto* early = MakeOwned<TComponent>(root.get());
  root->SetDesigning(true);
  auto* late = MakeOwned<TComponent>(root.get());
  EXPECT_TRUE(early->ComponentState().Has(csDesigning));
  EXPECT_TRUE(late->ComponentState().Has(csDesigning));
}

TEST(Component, InsertIntoForeignOwnerIsRefused) {
  auto a = std::make_unique<TComponent>(nullptr);
  auto b = std::make_unique<TComponent>(nullptr);
  EXPECT_THROW(a->InsertComponent(std::make_unique<TComponent>(b.get())), EComponentError);
}

TEST(SysUtils, StrToIntCases) {
  struct Case { const char* text; bool ok; int32_t value; };
  const Case cases[] = {
      {"0", true, 0},           {"9600", true, 9600},          {"  42", true, 42},
      {"-17", true, -17},       {"+5", true, 5},               {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0}, {"$FF", true, 255},
      {"0x10", true, 16},       {"$FFFFFFFF", true, -1},       {"", false, 0},
      {"  ", false, 0},         {"12a", false, 0},             {"9600 ", false, 0},
      {"-", false, 0},          {"$", false, 0},               {"1,5", false, 0},
  };
  for (const Case& c : cases) {
    int32_t v = 12345;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
      EXPECT_EQ(StrToInt(c.text), c.value);
    } else {
      try {
        StrToInt(c.text);
        ADD_FAILURE() << "no exception for '" << c.text << "'";
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), std::string("'") + c.text + "' is not a valid integer value");
        EXPECT_STREQ(e.ClassName(), "EConvertError");
      }
      EXPECT_EQ(StrToIntDef(c.text, -9), -9);
    }
  }
}

std::vector<std::string> g_units;
void InitA() { g_units.push_back("init A"); }
void FiniA() { g_units.push_back("fini A"); }
void InitB() { g_units.push_back("init B"); }
void FiniB() { g_units.push_back("fini B"); }
void InitBad() { throw Exception("boom"); }
void FiniBad() { g_units.push_back("fini Bad"); }

TEST(UnitTable, InitInOrderFiniInReverseOnce) {
  g_units.clear();
  const TUnitEntry units[] = {{"A", InitA, FiniA}, {"N", nullptr, nullptr}, {"B", InitB, FiniB}};
  {
    TUnitTable t(units);
    t.Initialize();
    EXPECT_EQ(t.InitializedCount(), 3u);
    t.Finalize();
    t.Finalize();
  }
  EXPECT_EQ(g_units, (std::vector<std::string>{"init A", "init B", "fini B", "fini A"}));
}

TEST(UnitTable, FailingInitFinalizesTheEarlierUnits) {
  g_units.clear();
  const TUnitEntry units[] = {{"A", InitA, FiniA}, {"Bad", InitBad, FiniBad}, {"B", InitB, FiniB}};
  TUnitTable t(units);
  EXPECT_THROW(t.Initialize(), Exception);
  EXPECT_EQ(g_units, (std::vector<std::string>{"init A", "fini A"}));
}

enum class TColourish : uint8_t { clRed, clGreen, clBlue };
const TEnumInfo ColourishInfo("TColourish", {"clRed", "clGreen", "clBlue"});
using TPing = std::function<void(TObject* Sender, int n)>;

class TWidget : public TComponent {
public:
  using TComponent::TComponent;
  static const TClassInfo& StaticClassInfo() {
    return MakeClassInfo<TWidget, TComponent>("TWidget", [](TPublisher<TWidget>& p) {
      p.Enum("Colour", &TWidget::SetColour, ColourishInfo);
      p.Integer("Size", &TWidget::SetSize);
      p.Event("OnPing", &TWidget::SetOnPing);
      p.Handler<TPing>("WidgetPing", &TWidget::WidgetPing);
      p.Creatable();
    });
  }
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  void SetColour(TColourish c) { Colour = c; }
  void SetSize(int s) { Size = s; }
  void SetOnPing(const TPing& e) { OnPing = e; }
  void WidgetPing(TObject*, int n) { Pinged += n; }
  TColourish Colour = TColourish::clRed;
  int Size = 0;
  int Pinged = 0;
  TPing OnPing;
};

TEST(ClassInfo, PublishedPropertiesHandlersAndFactory) {
  RegisterClass(TWidget::StaticClassInfo());
  const TClassInfo* ci = FindClass("twidget");
  ASSERT_NE(ci, nullptr);
  EXPECT_TRUE(ci->InheritsFrom(TComponent::StaticClassInfo()));
  auto root = std::make_unique<TComponent>(nullptr);
  TComponent* made = ci->Factory(root.get());
  auto* w = dynamic_cast<TWidget*>(made);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->ClassName(), "TWidget");

  (*ci->FindProperty("colour"))(*w, TPropertyValue::Ident("clBlue"));
  EXPECT_EQ(w->Colour, TColourish::clBlue);
  EXPECT_THROW((*ci->FindProperty("Colour"))(*w, TPropertyValue::Ident("clPink")), EPropertyError);
  EXPECT_THROW((*ci->FindProperty("Colour"))(*w, TPropertyValue::Integer(1)), EPropertyError);
  (*ci->FindProperty("Size"))(*w, TPropertyValue::Integer(7));
  EXPECT_EQ(w->Size, 7);
  (*ci->FindProperty("Name"))(*w, TPropertyValue::Ident("W1"));
  EXPECT_EQ(w->Name(), "W1");
  EXPECT_EQ(ci->FindProperty("Nope"), nullptr);

  TPropertyValue h;
  h.kind = TPropertyValue::Kind::Method;
  h.Method = (*ci->FindHandler("WidgetPing"))(*w);
  (*ci->FindProperty("OnPing"))(*w, h);
  ASSERT_TRUE(w->OnPing);
  w->OnPing(w, 3);
  EXPECT_EQ(w->Pinged, 3);

  TPropertyValue wrong;
  wrong.kind = TPropertyValue::Kind::Method;
  wrong.Method = std::function<void(TObject*)>([](TObject*) {});
  wrong.HandlerName = "Other";
  EXPECT_THROW((*ci->FindProperty("OnPing"))(*w, wrong), EPropertyError);
}

TEST(Persistent, AssignErrorNamesBothClasses) {
  TComponent a(nullptr), b(nullptr);
  try {
    a.Assign(&b);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TComponent to a TComponent");
  }
}

}  // namespace
