// The main window: the document tree, the six statistics rows and the load
// command.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/Icons.h"
#include "rtl/Component.h"
#include "rtl/Interface.h"
#include "rtl/Types.h"

class QFileDialog;
class QGroupBox;
class QLabel;
class QPushButton;
class TXMLDocument;
struct IXMLNode;

namespace Ui {
class Form1;
}

namespace viewer {
class TLoadPump;
class TXMLTreeModel;
class TXMLTreeView;
}  // namespace viewer

// What AddNodeItems makes of a node.
enum TItemKind { ikChildrenOnly, ikRoot, ikElement, ikText, ikAttribute, ikAttrValue };

// The form is also the owner component of its non-visual components, so the
// document lives exactly as long as the window.
class TForm1 : public QWidget, public rtl::TComponent {
  Q_OBJECT

 public:
  // An item of TreeView1 (an item of its model).
  using TTreeNode = int;

  // Creates the window from its form description and runs FormCreate.
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  TXMLDocument* XMLDocument1 = nullptr;
  viewer::TXMLTreeView* TreeView1 = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* Image2 = nullptr;
  QLabel* Image3 = nullptr;
  QLabel* Image4 = nullptr;
  QLabel* Image5 = nullptr;
  QLabel* Image6 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* Label8 = nullptr;
  QLabel* Label9 = nullptr;
  QLabel* Label10 = nullptr;
  QLabel* Label11 = nullptr;
  QLabel* Label12 = nullptr;
  QFileDialog* OpenDialog1 = nullptr;
  viewer::TImageList ImageList1{viewer::kIconSize, viewer::kIconSize};
  QPushButton* Button1 = nullptr;
  QLabel* Label13 = nullptr;

  void FormCreate(QObject* Sender);
  // Asks for a file and loads it; a cancelled dialog or a name that is not an
  // existing file changes nothing.
  void Button1Click(QObject* Sender);
  // Loads the file (a full path in the locale's character set) into the tree
  // and the counters. On failure the tree stays empty (or partly filled when
  // the walk failed) and the labels keep the previous values. The window
  // repaints throughout; Escape or closing the window cancels the load,
  // which then ends as a failed one does (empty tree, labels as they were,
  // document closed) but without an error; a window closed so closes then.
  void LoadXMLFile(const rtl::AnsiString& FileName);
  // Adds the items for Node under ParentItem as Kind says, and those of the
  // nodes below it.
  void AddNodeItems(TTreeNode ParentItem, const rtl::ComPtr<IXMLNode>& Node, TItemKind Kind);

  viewer::TXMLTreeModel* TreeModel() const { return treeModel_; }

  // Runs the open dialog; true when the user chose a file. Defaults to the
  // dialog's modal exec(); tests answer the dialog through it.
  std::function<bool(QFileDialog& dialog)> ExecuteOpenDialog;

 private:
  // The load itself, as LoadXMLFile describes it but without cancelling.
  void Load(const rtl::AnsiString& fileName);
  void EndCancelledLoad();
  // Closes what the open dialog left on the screen.
  void DismissDialogPopups();
  void ZeroCounters();
  void WriteCounters();
  TTreeNode AddItem(TTreeNode parent, rtl::WideStringView text, int imageIndex);

  int32_t FXMLFileCount = 0;
  int32_t FRootCount = 0;
  int32_t FElementCount = 0;
  int32_t FTextCount = 0;
  int32_t FAttributeCount = 0;
  int32_t FAttrValueCount = 0;

  std::unique_ptr<Ui::Form1> ui_;
  viewer::TXMLTreeModel* treeModel_ = nullptr;
  viewer::TLoadPump* loadPump_ = nullptr;
};

// The form description of the window (its non-visual components' stored
// properties).
const char* Unit1FormDescription();

// Registers the component classes the form description names.
void RegisterUnit1Classes();
