#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <string>
#include <vector>

#include "rtl/Component.h"
#include "rtl/FormReader.h"
#include "rtl/Streams.h"

using namespace rtl;

namespace {

std::vector<std::string> events;

// Logs its life and the state it is in at each step.
class Probe : public TComponent {
 public:
  explicit Probe(TComponent* owner) : TComponent(owner) {}
  ~Probe() override {
    Destroying();  // the base marks it only after this destructor has run
    events.push_back("destroy " + Name() + (ComponentState().Contains(csDestroying) ? " (destroying)" : ""));
  }
  void AfterConstruction() override {
    TComponent::AfterConstruction();
    constructedWhileLoading = ComponentState().Contains(csLoading);
  }
  void Loaded() override {
    TComponent::Loaded();
    events.push_back("loaded " + Name());
  }
  bool constructedWhileLoading = false;
};

// A component with one defined property "Foo" and a published boolean
// "Enabled"; logs what it goes through.
class Widget : public TComponent {
 public:
  explicit Widget(TComponent* owner) : TComponent(owner) {}
  std::string foo;
  bool enabled = true;
  std::vector<std::string> statesWhileReading;
  bool failInLoaded = false;

  void DefineProperties(TFormReader& reader) override {
    TComponent::DefineProperties(reader);
    reader.DefineProperty("Foo", [this](TFormReader& r) {
      statesWhileReading.push_back(ComponentState().Contains(csReading) ? "reading" : "not reading");
      foo = r.ReadString();
    });
  }
  bool ReadProperty(std::string_view name, TFormReader& r) override {
    if (name != "Enabled") return TComponent::ReadProperty(name, r);
    enabled = r.ReadBoolean();
    return true;
  }
  void Loaded() override {
    TComponent::Loaded();
    events.push_back("loaded " + Name());
    if (failInLoaded) throw Exception("Loaded failed for " + Name());
  }
};

class Form : public TComponent {
 public:
  explicit Form(TComponent* owner) : TComponent(owner) {}
  void Loaded() override {
    TComponent::Loaded();
    events.push_back("loaded form");
  }
};

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    RegisterComponentClass<Probe>("TProbe");
    RegisterComponentClass<Widget>("TWidget");
    RegisterComponentClass<Form>("TForm");
  }
  void TearDown() override {
    UnregisterComponentClass("TProbe");
    UnregisterComponentClass("TWidget");
    UnregisterComponentClass("TForm");
  }
};

}  // namespace

TEST_F(ComponentTest, OwnerDestroysOwnedComponentsLastFirst) {
  auto* root = CreateComponent<Probe>(nullptr);
  root->SetName("root");
  auto* a = CreateComponent<Probe>(root);
  a->SetName("a");
  auto* b = CreateComponent<Probe>(root);
  b->SetName("b");
  auto* a1 = CreateComponent<Probe>(a);
  a1->SetName("a1");
  EXPECT_EQ(root->ComponentCount(), 2);
  EXPECT_EQ(root->Components(1), b);
  EXPECT_EQ(a1->Owner(), a);
  EXPECT_EQ(b->ComponentIndex(), 1);
  EXPECT_THROW(root->Components(2), EListError);

  // A component destroyed on its own leaves its owner's list.
  auto* c = CreateComponent<Probe>(root);
  c->SetName("c");
  delete c;
  EXPECT_EQ(root->ComponentCount(), 2);
  events.clear();

  delete root;
  EXPECT_EQ(events, (std::vector<std::string>{"destroy root (destroying)", "destroy b (destroying)",
                                              "destroy a (destroying)", "destroy a1 (destroying)"}));
}

TEST_F(ComponentTest, NamesAreIdentifiersUniqueAmongSiblings) {
  Form form(nullptr);
  auto* w = CreateComponent<Widget>(&form);
  auto* v = CreateComponent<Widget>(&form);
  w->SetName("XMLDocument1");
  EXPECT_EQ(form.FindComponent("XMLDocument1"), w);
  EXPECT_EQ(form.FindComponent("xmldocument1"), nullptr);
  EXPECT_EQ(form.FindComponent(""), nullptr) << "unnamed components must not be found by the empty name";
  EXPECT_THROW(v->SetName("XMLDocument1"), EComponentError);
  EXPECT_THROW(v->SetName("1abc"), EComponentError);
  EXPECT_THROW(v->SetName("a b"), EComponentError);
  EXPECT_EQ(v->Name(), "");
  v->SetName("_x9");
  w->SetName("XMLDocument1");  // its own name again is fine
  w->SetName("");
  EXPECT_EQ(form.FindComponent("XMLDocument1"), nullptr);
}

TEST_F(ComponentTest, DesignModeIsInheritedAndSpreads) {
  Form form(nullptr);
  auto* before = CreateComponent<Widget>(&form);
  form.SetDesigning(true);
  EXPECT_TRUE(before->ComponentState().Contains(csDesigning));
  auto* after = CreateComponent<Widget>(&form);
  EXPECT_TRUE(after->ComponentState().Contains(csDesigning));
  form.SetDesigning(false);
  EXPECT_FALSE(after->ComponentState().Contains(csDesigning));
  EXPECT_TRUE(form.ComponentState().Empty());
}

TEST_F(ComponentTest, FailingAfterConstructionDestroysTheComponent) {
  struct Bad : TComponent {
    using TComponent::TComponent;
    void AfterConstruction() override { throw Exception("no"); }
  };
  Form form(nullptr);
  EXPECT_THROW(CreateComponent<Bad>(&form), Exception);
  EXPECT_EQ(form.ComponentCount(), 0);
}

TEST_F(ComponentTest, FormDescriptionCreatesOrFindsComponentsAndSetsTheirProperties) {
  Form form(nullptr);
  auto* existing = CreateComponent<Widget>(&form);
  existing->SetName("Doc");
  // A byte order mark, comments, blank lines, blanks around everything.
  const char* text =
      "\xEF\xBB\xBF# components\n"
      "Doc : TWidget\n"
      "  Foo = \"say \\\"hi\\\" \\\\ # not a comment\"  \n"
      "\n"
      "\t# Enabled = true\n"
      "  Enabled=false\r\n"
      "Made: TProbe\n"
      "Plain: TWidget\n";
  ReadForm(text, &form);
  EXPECT_EQ(form.ComponentCount(), 3) << "an existing component was created again";
  EXPECT_EQ(existing->foo, "say \"hi\" \\ # not a comment");
  EXPECT_FALSE(existing->enabled);
  EXPECT_EQ(existing->statesWhileReading, (std::vector<std::string>{"reading"}));
  auto* made = dynamic_cast<Probe*>(form.FindComponent("Made"));
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(made->constructedWhileLoading) << "AfterConstruction must see csLoading when reading";
  EXPECT_EQ(made->Owner(), &form);
  EXPECT_EQ(events, (std::vector<std::string>{"loaded form", "loaded Doc", "loaded Made", "loaded Plain"}));
  for (int i = 0; i < form.ComponentCount(); ++i) EXPECT_TRUE(form.Components(i)->ComponentState().Empty());
  EXPECT_TRUE(form.ComponentState().Empty());

  // Outside a form, construction does not look like loading.
  Probe direct(nullptr);
  direct.AfterConstruction();
  EXPECT_FALSE(direct.constructedWhileLoading);
  EXPECT_THROW(ReadForm("", nullptr), EReadError);
}

// Any text survives the quoting of a string value.
RC_GTEST_FIXTURE_PROP(ComponentTest, StringValuesReadBackAsWritten, (const std::string& value)) {
  std::string quoted;
  for (char c : value) {
    if (c == '\n') return;  // one value, one line
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  Form form(nullptr);
  ReadForm("W: TWidget\n  Foo = \"" + quoted + "\"\n", &form);
  const auto* w = dynamic_cast<Widget*>(form.FindComponent("W"));
  RC_ASSERT(w != nullptr);
  RC_ASSERT(w->foo == value);
}

TEST_F(ComponentTest, FaultsOfTheTextNameTheLineAndUndoTheRead) {
  struct Case {
    const char* text;
    const char* fragment;
  };
  // Each follows two good lines, which read into an existing component.
  const Case cases[] = {
      {"W: TWidget\n  Foo = 'single'\n", "line 4"},
      {"W: TWidget\n  Foo = \"open\n", "line 4"},
      {"W: TWidget\n  Foo = \"a\" \"b\"\n", "end of line expected"},
      {"W: TWidget\n  Foo = \"\\n\"\n", "line 4"},
      {"W: TWidget\n  Foo = true\n", "Text expected as value of property Foo"},
      {"W: TWidget\n  Enabled = \"yes\"\n", "true or false expected as value of property Enabled"},
      {"W: TWidget\n  Enabled = True\n", "line 4"},
      {"W: TWidget\n\n  Bar = \"b\"\n", "Property Bar of W does not exist (line 5)"},
      {"W: TWidget\n  Foo\n", "line 4"},
      {"W: TNothing\n", "Class TNothing not found"},
      {"W TWidget\n", "line 3"},
      {"W: TWidget extra\n", "line 3"},
      {"W: TWidget\nW: TWidget\n", "line 4"},
      {"Doc: TWidget\n", "A component named Doc already exists (line 3)"},
      {"Other: TProbe\n", "Component Other is a TWidget"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    events.clear();
    Form form(nullptr);
    for (const char* name : {"Doc", "Other"}) CreateComponent<Widget>(&form)->SetName(name);
    try {
      ReadForm(std::string("Doc: TWidget\n  Foo = \"kept\"\n") + c.text, &form);
      ADD_FAILURE() << "accepted";
    } catch (const EReadError& e) {
      EXPECT_NE(e.Message().find(c.fragment), std::string::npos) << e.Message();
    }
    EXPECT_EQ(form.ComponentCount(), 2) << "a component created by the failed read stayed";
    EXPECT_TRUE(form.Components(0)->ComponentState().Empty());
    EXPECT_TRUE(form.ComponentState().Empty()) << "the form kept its loading flag";
    EXPECT_TRUE(events.empty()) << "Loaded ran after a failed read";
  }
  Form form(nullptr);
  try {
    ReadForm("\n  Foo = \"x\"\n", &form);
    ADD_FAILURE() << "a property outside any component was accepted";
  } catch (const EReadError& e) {
    EXPECT_NE(e.Message().find("line 2"), std::string::npos) << e.Message();
  }
}

TEST_F(ComponentTest, PropertyReaderMustTakeExactlyOneValue) {
  struct Lazy : TComponent {
    using TComponent::TComponent;
    void DefineProperties(TFormReader& r) override { r.DefineProperty("Foo", [](TFormReader&) {}); }
  };
  struct Greedy : TComponent {
    using TComponent::TComponent;
    bool ReadProperty(std::string_view, TFormReader& r) override {
      r.ReadString();
      r.ReadString();
      return true;
    }
  };
  RegisterComponentClass<Lazy>("TLazy");
  RegisterComponentClass<Greedy>("TGreedy");
  Form form(nullptr);
  EXPECT_THROW(ReadForm("L: TLazy\n  Foo = \"x\"\n", &form), EReadError);
  EXPECT_THROW(ReadForm("G: TGreedy\n  Foo = \"x\"\n", &form), EReadError);
  UnregisterComponentClass("TLazy");
  UnregisterComponentClass("TGreedy");
}

TEST_F(ComponentTest, LoadedFailureIsRaisedAfterAllComponentsLoaded) {
  Form form(nullptr);
  for (const char* name : {"A", "B", "C"}) CreateComponent<Widget>(&form)->SetName(name);
  dynamic_cast<Widget*>(form.Components(0))->failInLoaded = true;
  dynamic_cast<Widget*>(form.Components(1))->failInLoaded = true;
  try {
    ReadForm("A: TWidget\nB: TWidget\nC: TWidget\n", &form);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Loaded failed for A");
  }
  EXPECT_EQ(events, (std::vector<std::string>{"loaded form", "loaded A", "loaded B", "loaded C"}));
  for (int i = 0; i < form.ComponentCount(); ++i)
    EXPECT_FALSE(form.Components(i)->ComponentState().Contains(csLoading));
}
