#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/Component.h"
#include "rtl/Filer.h"
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

// A component with one defined property "Foo" (stored when not empty) and
// published Count / Enabled / Kind / Flags / Title properties.
class Widget : public TComponent {
 public:
  explicit Widget(TComponent* owner) : TComponent(owner) {}
  std::string foo;
  int32_t count = 0;
  bool enabled = true;
  std::string kind = "kNone";
  std::vector<std::string> flags;
  WideString title;
  std::vector<std::string> statesWhileReading;
  bool failInLoaded = false;

  void DefineProperties(TFiler& filer) override {
    TComponent::DefineProperties(filer);
    bool hasData = !foo.empty();
    if (auto* anc = dynamic_cast<Widget*>(filer.Ancestor())) hasData = foo != anc->foo;
    filer.DefineProperty(
        "Foo",
        [this](TReader& r) {
          statesWhileReading.push_back(ComponentState().Contains(csReading) ? "reading" : "not reading");
          foo = r.ReadString();
        },
        [this](TWriter& w) { w.WriteString(foo); }, hasData);
  }
  bool ReadProperty(std::string_view name, TReader& r) override {
    if (name == "Count") count = r.ReadInteger();
    else if (name == "Enabled") enabled = r.ReadBoolean();
    else if (name == "Kind") kind = r.ReadIdent();
    else if (name == "Flags") flags = r.ReadSet();
    else if (name == "Title") title = r.ReadWideString();
    else if (name == "object") count = r.ReadInteger();
    else return TComponent::ReadProperty(name, r);
    return true;
  }
  void WriteProperties(TWriter& w) override {
    if (count != 0) { w.WritePropName("Count"); w.WriteInteger(count); }
    if (!enabled) { w.WritePropName("Enabled"); w.WriteBoolean(enabled); }
    if (kind != "kNone") { w.WritePropName("Kind"); w.WriteIdent(kind); }
    if (!flags.empty()) { w.WritePropName("Flags"); w.WriteSet(flags); }
    if (!title.empty()) { w.WritePropName("Title"); w.WriteWideString(title); }
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
};

class Unregistered : public TComponent {
 public:
  using TComponent::TComponent;
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

TEST_F(ComponentTest, FormRoundTripKeepsStoredProperties) {
  Form form(nullptr);
  form.SetName("Form1");
  auto* doc = CreateComponent<Widget>(&form);
  doc->SetName("XMLDocument1");
  doc->foo = "Xerces XML";
  doc->count = -2147483647 - 1;
  doc->enabled = false;
  doc->kind = "kBig";
  doc->flags = {"doNodeAutoCreate", "doAttrNull"};
  doc->title = u"caf\u00e9 \u2603";
  auto* plain = CreateComponent<Widget>(&form);
  plain->SetName("Plain");
  plain->foo = "it's\ta\nline\x01";  // quote, tab, line break and control byte

  const std::string text = WriteForm(&form);
  EXPECT_EQ(text.substr(0, 20), "object Form1: TForm\n");
  EXPECT_NE(text.find("  object XMLDocument1: TWidget\n    Count = -2147483648\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    Foo = 'Xerces XML'\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    Flags = [doNodeAutoCreate, doAttrNull]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    Foo = 'it''s'#9'a'#10'line'#1\n"), std::string::npos) << text;

  Form fresh(nullptr);
  ReadForm(text, &fresh);
  EXPECT_EQ(fresh.Name(), "Form1");
  ASSERT_EQ(fresh.ComponentCount(), 2);
  auto* back = dynamic_cast<Widget*>(fresh.FindComponent("XMLDocument1"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->foo, "Xerces XML");
  EXPECT_EQ(back->count, doc->count);
  EXPECT_FALSE(back->enabled);
  EXPECT_EQ(back->kind, "kBig");
  EXPECT_EQ(back->flags, doc->flags);
  EXPECT_EQ(back->title, doc->title);
  EXPECT_EQ(dynamic_cast<Widget*>(fresh.Components(1))->foo, plain->foo);
  EXPECT_EQ(back->statesWhileReading, (std::vector<std::string>{"reading"}));
  EXPECT_TRUE(back->ComponentState().Empty()) << "loading flags left after reading";
  EXPECT_EQ(WriteForm(&fresh), text) << "second round differs";
}

TEST_F(ComponentTest, PropertyWithoutDataIsNotWritten) {
  Form form(nullptr);
  auto* w = CreateComponent<Widget>(&form);
  w->SetName("W");
  EXPECT_EQ(WriteForm(&form), "object TForm\n  object W: TWidget\n  end\nend\n");

  // With an ancestor holding the same value, the value is inherited, not stored.
  w->foo = "Xerces XML";
  Form ancestor(nullptr);
  auto* aw = CreateComponent<Widget>(&ancestor);
  aw->SetName("W");
  aw->foo = "Xerces XML";
  EXPECT_EQ(WriteForm(&form, &ancestor).find("Foo"), std::string::npos);
  aw->foo = "Other";
  EXPECT_NE(WriteForm(&form, &ancestor).find("Foo = 'Xerces XML'"), std::string::npos);
}

TEST_F(ComponentTest, ReadingSetsStateAndCallsLoadedOnEveryComponent) {
  const char* text =
      "object Main: TProbe\n"
      "  object P1: TProbe\n"
      "    object P2: TProbe\n"
      "    end\n"
      "  end\n"
      "end\n";
  TReader reader(text);
  TComponent* root = reader.ReadComponent(nullptr);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(events, (std::vector<std::string>{"loaded Main", "loaded P1", "loaded P2"}));
  auto* p2 = dynamic_cast<Probe*>(root->Components(0)->Components(0));
  ASSERT_NE(p2, nullptr);
  EXPECT_TRUE(p2->constructedWhileLoading) << "AfterConstruction must see csLoading when reading";
  EXPECT_FALSE(p2->ComponentState().Contains(csLoading));
  delete root;

  // Outside a form, construction does not look like loading.
  Probe direct(nullptr);
  direct.AfterConstruction();
  EXPECT_FALSE(direct.constructedWhileLoading);
}

TEST_F(ComponentTest, ReadIntoExistingComponentsAndRootClassCheck) {
  Form form(nullptr);
  auto* existing = CreateComponent<Widget>(&form);
  existing->SetName("Doc");
  ReadForm("object Form1: TForm\n  object Doc: TWidget\n    Foo = 'x'\n  end\nend\n", &form);
  EXPECT_EQ(form.ComponentCount(), 1) << "an existing component was created again";
  EXPECT_EQ(existing->foo, "x");

  // A byte order mark in front is not part of the form.
  Form marked(nullptr);
  ReadForm("\xEF\xBB\xBFobject Marked: TForm\nend\n", &marked);
  EXPECT_EQ(marked.Name(), "Marked");

  ReadForm("object Form1: TForm\n  object Doc: TWidget\n    object = 7\n  end\nend\n", &form);
  EXPECT_EQ(existing->count, 7) << "a property called object was taken for a component";

  Widget notAForm(nullptr);
  EXPECT_THROW(ReadForm("object F: TForm\nend\n", &notAForm), EReadError);
}

TEST_F(ComponentTest, UnknownPropertyNamesPropertyAndLine) {
  Form form(nullptr);
  const char* text =
      "object Form1: TForm\n"
      "  object Doc: TWidget\n"
      "    Foo = 'a'\n"
      "\n"
      "    Bar = 'b'\n"
      "  end\n"
      "end\n";
  try {
    ReadForm(text, &form);
    FAIL() << "unknown property accepted";
  } catch (const EReadError& e) {
    const std::string m = e.Message();
    EXPECT_NE(m.find("Bar"), std::string::npos) << m;
    EXPECT_NE(m.find("Doc"), std::string::npos) << m;
    EXPECT_NE(m.find("line 5"), std::string::npos) << m;
  }
  EXPECT_EQ(form.ComponentCount(), 0) << "a component created by the failed read stayed";
  EXPECT_TRUE(form.ComponentState().Empty()) << "the root kept its loading flags";
  EXPECT_TRUE(events.empty()) << "Loaded ran after a failed read";
}

TEST_F(ComponentTest, MalformedFormsAreReportedWithLines) {
  struct Case {
    const char* text;
    const char* fragment;
  };
  const Case cases[] = {
      {"object F: TForm\n  object D: TWidget\n    Foo = 'open\n  end\nend\n", "line 3"},
      {"object F: TForm\n  object D: TWidget\n    Count = 'text'\n  end\nend\n", "Integer expected"},
      {"object F: TForm\n  object D: TWidget\n    Count = 99999999999\n  end\nend\n", "out of range"},
      {"object F: TForm\n  object D: TWidget\n    Enabled = Maybe\n  end\nend\n", "Boolean expected"},
      {"object F: TForm\n  object D: TWidget\n    Flags = [a b]\n  end\nend\n", "line 3"},
      {"object F: TForm\n  object D: TNothing\n  end\nend\n", "Class TNothing not found"},
      {"object F: TForm\n  object D: TWidget\n  end\n", "end of text"},
      {"object F: TForm\nend\nend\n", "line 3"},
      {"thing F: TForm\nend\n", "line 1"},
      {"object F: TForm\n  Foo 'x'\nend\n", "line 2"},
      {"", "object expected"},
      {"object F: TForm\n  object D: TWidget\n  end\n  object D: TWidget\n  end\nend\n", "line 4"},
      {"object F: TForm\n  object D: TWidget\n    Foo = 'a' 'b\n  end\nend\n", "line 3"},
  };
  for (const Case& c : cases) {
    Form form(nullptr);
    try {
      ReadForm(c.text, &form);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const EReadError& e) {
      EXPECT_NE(e.Message().find(c.fragment), std::string::npos) << e.Message() << "\nfor: " << c.text;
    }
    EXPECT_EQ(form.ComponentCount(), 0);
  }
}

TEST_F(ComponentTest, PropertyReaderMustTakeExactlyOneValue) {
  struct Lazy : TComponent {
    using TComponent::TComponent;
    void DefineProperties(TFiler& f) override { f.DefineProperty("Foo", [](TReader&) {}, nullptr, false); }
  };
  RegisterComponentClass<Lazy>("TLazy");
  Form form(nullptr);
  EXPECT_THROW(ReadForm("object F: TForm\n  object L: TLazy\n    Foo = 1\n  end\nend\n", &form), EReadError);
  UnregisterComponentClass("TLazy");
}

TEST_F(ComponentTest, LoadedFailureIsRaisedAfterAllComponentsLoaded) {
  Form form(nullptr);
  auto* a = CreateComponent<Widget>(&form);
  a->SetName("A");
  a->failInLoaded = true;
  auto* b = CreateComponent<Widget>(&form);
  b->SetName("B");
  b->failInLoaded = true;
  CreateComponent<Widget>(&form)->SetName("C");
  try {
    ReadForm("object F: TForm\n  object A: TWidget\n  end\n  object B: TWidget\n  end\n"
             "  object C: TWidget\n  end\nend\n",
             &form);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Loaded failed for A");
  }
  EXPECT_EQ(events, (std::vector<std::string>{"loaded A", "loaded B", "loaded C"}));
  for (int i = 0; i < form.ComponentCount(); ++i)
    EXPECT_FALSE(form.Components(i)->ComponentState().Contains(csLoading));

  // A root the reader created itself is not left behind by a failing Loaded.
  events.clear();
  TReader reader("object Top: TProbe\n  object W: TWidget\n    Count = 1\n  end\nend\n");
  RegisterComponentClass("TWidget", typeid(Widget), [](TComponent* owner) -> TComponent* {
    auto* w = new Widget(owner);
    w->failInLoaded = true;
    return w;
  });
  EXPECT_THROW(reader.ReadComponent(nullptr), Exception);
  EXPECT_EQ(events, (std::vector<std::string>{"loaded Top", "loaded W", "destroy Top (destroying)"}));
}

TEST_F(ComponentTest, WriterRejectsMisuse) {
  Form form(nullptr);
  Unregistered u(&form);
  EXPECT_THROW(WriteForm(&form), EWriteError) << "a class the reader cannot create was written";

  struct Twice : TComponent {
    using TComponent::TComponent;
    void WriteProperties(TWriter& w) override {
      w.WritePropName("A");
      w.WriteInteger(1);
      w.WriteInteger(2);
    }
  };
  struct Nothing : TComponent {
    using TComponent::TComponent;
    void DefineProperties(TFiler& f) override { f.DefineProperty("Foo", nullptr, [](TWriter&) {}, true); }
  };
  RegisterComponentClass<Twice>("TTwice");
  RegisterComponentClass<Nothing>("TNothingWritten");
  Twice t(nullptr);
  EXPECT_THROW(WriteForm(&t), EWriteError);
  Nothing n(nullptr);
  EXPECT_THROW(WriteForm(&n), EWriteError);
  TWriter w;
  EXPECT_THROW(w.WritePropName("no good"), EWriteError);
  UnregisterComponentClass("TTwice");
  UnregisterComponentClass("TNothingWritten");
}
