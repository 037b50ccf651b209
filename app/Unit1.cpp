#include "app/Unit1.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <sys/stat.h>

#include <charconv>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppConst.h"
#include "app/Application.h"
#include "app/Trace.h"
#include "app/Form1Components.h"
#include "app/LoadPump.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"
#include "rtl/Exception.h"
#include "rtl/FormReader.h"
#include "rtl/TextConv.h"
#include "rtl/Variant.h"
#include "ui_Unit1.h"
#include "xml/XMLDoc.h"
#include "xml/XMLIntf.h"

namespace {

constexpr int kCounterLabelHeight = 19;
// The load state the document reports at the start of a load and while it
// runs.
constexpr int32_t kLoadStateLoading = 1;
// Nodes the walk takes between two looks at the clock.
constexpr uint32_t kNodesPerPump = 64;

// Shows the busy cursor from construction to destruction, on every path.
class TBusyCursor {
 public:
  TBusyCursor() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      active_ = true;
    }
  }
  ~TBusyCursor() {
    if (active_) QApplication::restoreOverrideCursor();
  }
  TBusyCursor(const TBusyCursor&) = delete;
  TBusyCursor& operator=(const TBusyCursor&) = delete;

 private:
  bool active_ = false;
};

// Brackets the bulk filling of the tree, so the view takes the items in
// one go, also when the walk fails half-way.
class TTreeFill {
 public:
  explicit TTreeFill(viewer::TXMLTreeModel& model) : model_(model) { model_.BeginUpdate(); }
  ~TTreeFill() { model_.EndUpdate(); }
  TTreeFill(const TTreeFill&) = delete;
  TTreeFill& operator=(const TTreeFill&) = delete;

 private:
  viewer::TXMLTreeModel& model_;
};

// Flushes the trace when a load ends by an exception; the success path
// flushes itself and reports a failure.
class TTraceFlush {
 public:
  TTraceFlush() = default;
  ~TTraceFlush() {
    if (!done_) viewer::FlushTraceQuietly();
  }
  void Flush() {
    done_ = true;
    viewer::FlushTrace();
  }
  TTraceFlush(const TTraceFlush&) = delete;
  TTraceFlush& operator=(const TTraceFlush&) = delete;

 private:
  bool done_ = false;
};

// A regular file (after following links). Directories, devices and pipes
// are not loadable documents.
bool FileExists(const rtl::AnsiString& name) {
  struct stat info;
  return !name.empty() && ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The part after the last path separator.
rtl::AnsiString ExtractFileName(const rtl::AnsiString& name) {
  const size_t slash = name.find_last_of('/');
  return slash == rtl::AnsiString::npos ? name : name.substr(slash + 1);
}

// A trace format as the text before and after its one placeholder. The
// walk writes a line per node; formatting each from scratch cost more than
// the rest of the line's work.
class TTraceFormat {
 public:
  explicit TTraceFormat(const char* format) {
    static constexpr char kMark = '\x01';
    const std::string sample = rtl::Format(format, {std::string_view(&kMark, 1)});
    const size_t at = sample.find(kMark);
    prefix_ = sample.substr(0, at);
    if (at != std::string::npos) suffix_ = sample.substr(at + 1);
  }
  void Write(std::string_view value) const { viewer::WriteTraceLine(prefix_, value, suffix_); }
  void Write(rtl::WideStringView value) const { viewer::WriteTraceLine(prefix_, value, suffix_); }

 private:
  std::string prefix_;
  std::string suffix_;
};

void TraceChildCount(int32_t count) {
  static const TTraceFormat format(SChildNodesCountTrace);
  char digits[16];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), count).ptr;
  format.Write(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void TraceNodeName(rtl::WideStringView name) {
  static const TTraceFormat format(SNodeNameTrace);
  format.Write(name);
}

void ShowCounter(QLabel* label, int32_t value) {
  label->setText(QString::number(value));
  label->resize(label->sizeHint().width(), kCounterLabelHeight);
}

}  // namespace

void RegisterUnit1Classes() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!rtl::FindComponentClass("TXMLDocument")) rtl::RegisterComponentClass<TXMLDocument>("TXMLDocument");
  });
}

const char* Unit1FormDescription() { return kForm1Components; }

TForm1::TForm1(QWidget* parent) : QWidget(parent), rtl::TComponent(nullptr), ui_(std::make_unique<Ui::Form1>()) {
  RegisterUnit1Classes();
  SetName("Form1");
  rtl::ReadForm(Unit1FormDescription(), this);
  XMLDocument1 = dynamic_cast<TXMLDocument*>(FindComponent("XMLDocument1"));

  ui_->setupUi(this);
  TreeView1 = ui_->TreeView1;
  GroupBox1 = ui_->GroupBox1;
  Image1 = ui_->Image1;
  Image2 = ui_->Image2;
  Image3 = ui_->Image3;
  Image4 = ui_->Image4;
  Image5 = ui_->Image5;
  Image6 = ui_->Image6;
  Label1 = ui_->Label1;
  Label2 = ui_->Label2;
  Label3 = ui_->Label3;
  Label4 = ui_->Label4;
  Label5 = ui_->Label5;
  Label6 = ui_->Label6;
  Label7 = ui_->Label7;
  Label8 = ui_->Label8;
  Label9 = ui_->Label9;
  Label10 = ui_->Label10;
  Label11 = ui_->Label11;
  Label12 = ui_->Label12;
  OpenDialog1 = new QFileDialog(this);
  viewer::FillKindImages(ImageList1);
  Button1 = ui_->Button1;
  Label13 = ui_->Label13;

  // The form's own position; the generated setup only sizes the window.
  move(208, 197);
  setFixedSize(size());
  // Captions size themselves to their text like the counters: their widths
  // in the form were measured in the designer's font, which this one is not.
  for (QLabel* caption : {Label1, Label2, Label3, Label4, Label5, Label6})
    caption->resize(caption->sizeHint().width(), caption->height());
  // The toolkit's own dialog, the same on every desktop (and answerable by
  // tests); no filter list, any name may be typed.
  OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::AnyFile);
  ExecuteOpenDialog = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };

  QLabel* const rowIcons[] = {Image1, Image2, Image3, Image4, Image5, Image6};
  for (int i = 0; i < viewer::kKindIconCount; ++i)
    rowIcons[i]->setPixmap(viewer::MakeKindIcon(i, viewer::IconBackground::Transparent));

  // The document reports progress while it parses, and the walk does so
  // itself; both give the pump its turn.
  loadPump_ = new viewer::TLoadPump(this);
  XMLDocument1->SetParseOptions(TParseOptions{poAsyncLoad});
  XMLDocument1->SetOnAsyncLoad([this](rtl::TObject*, int32_t state) {
    if (state == kLoadStateLoading) loadPump_->Pump();
  });

  treeModel_ = new viewer::TXMLTreeModel(this);
  treeModel_->SetImages(&ImageList1);
  TreeView1->SetTreeModel(treeModel_);
  TreeView1->setFocus(Qt::OtherFocusReason);

  // Return and Enter press the focused button, as Space does (the toolkit
  // does that only for buttons of dialogs).
  Button1->setAutoDefault(true);
  // Handlers run guarded: an exception must not unwind through the toolkit's
  // signal delivery.
  connect(Button1, &QPushButton::clicked, this, [this] { TApplication::Guard([this] { Button1Click(Button1); }); });

  FormCreate(this);
}

TForm1::~TForm1() {
  // The document goes before the widgets, while the window is still whole.
  DestroyComponents();
}

void TForm1::FormCreate(QObject*) {
  ZeroCounters();
  WriteCounters();
}

void TForm1::ZeroCounters() {
  FXMLFileCount = 0;
  FRootCount = 0;
  FElementCount = 0;
  FTextCount = 0;
  FAttributeCount = 0;
  FAttrValueCount = 0;
}

void TForm1::WriteCounters() {
  ShowCounter(Label7, FXMLFileCount);
  ShowCounter(Label8, FRootCount);
  ShowCounter(Label9, FElementCount);
  ShowCounter(Label10, FTextCount);
  ShowCounter(Label11, FAttributeCount);
  ShowCounter(Label12, FAttrValueCount);
}

void TForm1::Button1Click(QObject*) {
  OpenDialog1->setDirectory(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
  // The name field would still hold the last choice, and what the user types
  // would be added to it.
  if (auto* name = OpenDialog1->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) name->clear();
  const bool chosen = ExecuteOpenDialog(*OpenDialog1);
  DismissDialogPopups();
  if (!chosen) return;
  const QStringList files = OpenDialog1->selectedFiles();
  if (files.isEmpty()) return;
  const rtl::AnsiString fileName = rtl::WideToNarrow(files.first().toStdU16String());
  if (!FileExists(fileName)) return;
  LoadXMLFile(fileName);
}

TForm1::TTreeNode TForm1::AddItem(TTreeNode parent, rtl::WideStringView text, int imageIndex) {
  return treeModel_->AddItem(parent, text, imageIndex);
}

void TForm1::LoadXMLFile(const rtl::AnsiString& FileName) {
  bool cancelled = false;
  {
    TBusyCursor busy;
    viewer::TLoadPump::TRun pumping(*loadPump_);
    try {
      Load(FileName);
    } catch (...) {
      // Whatever the cancel broke off, the user asked for it to stop.
      if (!loadPump_->Cancelled()) throw;
      cancelled = true;
    }
  }
  if (cancelled) {
    EndCancelledLoad();
    return;
  }
  // The user goes on in the tree, from the file item: the first key moves
  // in it rather than bringing the focus there.
  TreeView1->setCurrentIndex(treeModel_->index(0, 0));
  TreeView1->setFocus(Qt::OtherFocusReason);
}

void TForm1::DismissDialogPopups() {
  // A completion list the dialog opened is a window of its own that closing
  // the dialog leaves up; during a load nothing would take it away. What it
  // covered is painted again before the load begins.
  bool dismissed = false;
  for (int guard = 0; guard < 16; ++guard) {
    QWidget* const popup = QApplication::activePopupWidget();
    if (!popup) break;
    popup->hide();
    dismissed = true;
  }
  if (!dismissed) return;
  repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TForm1::EndCancelledLoad() {
  treeModel_->Clear();
  XMLDocument1->SetActive(false);
  if (loadPump_->CloseRequested()) close();
}

void TForm1::Load(const rtl::AnsiString& FileName) {
  TTraceFlush trace;
  treeModel_->Clear();
  XMLDocument1->LoadFromFile(rtl::NarrowToWide(FileName));
  ZeroCounters();
  {
    TTreeFill fill(*treeModel_);
    if (!XMLDocument1->IsEmptyDocument()) {
      const TTreeNode fileItem = AddItem(viewer::TXMLTreeModel::kNoItem,
                                         rtl::NarrowToWide(ExtractFileName(FileName)), 0);
      FXMLFileCount = 1;
      // A successful parse always yields a document element; should a
      // document ever have children but none, the file item stands alone.
      if (const rtl::ComPtr<IXMLNode> root = XMLDocument1->GetDocumentElement())
        AddNodeItems(fileItem, root, ikRoot);
    }
  }
  trace.Flush();
  treeModel_->ExpandAll();
  WriteCounters();
}

// The walk is defined recursively: each node of kind ikChildrenOnly, ikRoot
// or ikElement lists its children, and a child may start such a walk of its
// own before the next sibling is taken. Document depth is unbounded, so the
// pending child loops live on an explicit stack instead of the call stack;
// each frame is one suspended loop, resumed where the nested walk returned.
// Only the public interfaces are used: how long the lists and wrappers the
// walk asks for live is the document layer's business.
void TForm1::AddNodeItems(TTreeNode ParentItem, const rtl::ComPtr<IXMLNode>& Node, TItemKind Kind) {
  struct ChildLoop {
    rtl::ComPtr<IXMLNode> node;
    // The node's child list, taken once for the whole loop.
    rtl::ComPtr<IXMLNodeList> children;
    TTreeNode item;
    int32_t next;
    int32_t count;
  };
  std::vector<ChildLoop> loops;
  rtl::WideString text;

  // Step 1 for one node, and for the kinds that walk children, the start of
  // its child loop. The leaf kinds end here.
  // name, when given, is the node's NodeName already taken by the caller.
  const auto enter = [&](TTreeNode parent, const rtl::ComPtr<IXMLNode>& node, TItemKind kind,
                         const rtl::WideString* name = nullptr) {
    TTreeNode current = parent;
    switch (kind) {
      case ikChildrenOnly:
        break;
      case ikRoot:
        current = AddItem(parent, node->GetNodeName(), 1);
        FRootCount = 1;
        break;
      case ikElement:
        current = AddItem(parent, name ? *name : node->GetNodeName(), 2);
        ++FElementCount;
        break;
      // A value shows its text; an empty value (null) shows as empty text.
      case ikText:
        AddItem(parent, node->GetText(), 3);
        ++FTextCount;
        return;
      case ikAttribute: {
        const TTreeNode attribute = AddItem(parent, node->GetNodeName(), 4);
        ++FAttributeCount;
        // The one nested walk an attribute makes, ikAttrValue, inline.
        AddItem(attribute, node->GetText(), 5);
        ++FAttrValueCount;
        return;
      }
      case ikAttrValue:
        AddItem(parent, node->GetText(), 5);
        ++FAttrValueCount;
        return;
    }
    if (node->HasChildNodes()) {
      rtl::ComPtr<IXMLNodeList> children = node->GetChildNodes();
      const int32_t count = children->GetCount();
      TraceChildCount(count);
      loops.push_back({node, std::move(children), current, 0, count});
    }
  };

  enter(ParentItem, Node, Kind);
  for (uint32_t step = 1; !loops.empty(); ++step) {
    if (step % kNodesPerPump == 0) loadPump_->Pump();
    ChildLoop& loop = loops.back();
    if (loop.next >= loop.count) {
      loops.pop_back();
      continue;
    }
    const TTreeNode current = loop.item;
    const rtl::ComPtr<IXMLNode> child = loop.children->Get(loop.next++);
    // The attribute list, when it has items: an element without attributes
    // is told without making an empty one.
    const rtl::ComPtr<IXMLNodeList> attributes = child->HasAttributeNodes() ? child->GetAttributeNodes() : nullptr;
    // Taken once: the trace line and the item show the same name.
    const rtl::WideString childName = child->GetNodeName();
    TraceNodeName(childName);
    // `loop` may dangle from here on: enter() can grow the stack.
    if (const int32_t attributeCount = attributes ? attributes->GetCount() : 0; attributeCount > 0) {
      const TTreeNode element = AddItem(current, childName, 2);
      ++FElementCount;
      for (int32_t j = 0; j < attributeCount; ++j) enter(element, attributes->Get(j), ikAttribute);
      enter(element, child, ikChildrenOnly);
    } else if (child->ReadTextElement(text)) {
      // IsTextElement and the ikText step's text in one call.
      const TTreeNode element = AddItem(current, childName, 2);
      ++FElementCount;
      AddItem(element, text, 3);
      ++FTextCount;
    } else {
      enter(current, child, ikElement, &childName);
    }
  }
  viewer::WritePendingTrace();
}
