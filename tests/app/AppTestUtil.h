// Shared helpers of the viewer tests: files on disk, captured standard
// output, the tree as plain rows, and a literal recursive rendering of the
// fill rules to compare the window's walk against.
#pragma once

#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Interface.h"

class QTemporaryDir;
class TForm1;
struct IXMLNode;

namespace viewer {
class TXMLTreeModel;
}

namespace apptest {

// A directory removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  // Writes the bytes to a file of that name and returns its full path.
  std::string Write(const std::string& name, const std::string& bytes) const;
  std::string Path(const std::string& name) const;

 private:
  std::unique_ptr<QTemporaryDir> dir_;
};

// Points the toolkit's per-user settings (where the file dialog keeps its
// last folder and history) at a folder of this run's own, for the object's
// life: a run neither writes the user's settings nor starts its dialog in a
// folder another test run left there, maybe removed by now. Programs the run
// starts inherit the setting.
class PrivateSettings {
 public:
  PrivateSettings();
  ~PrivateSettings();
  PrivateSettings(const PrivateSettings&) = delete;
  PrivateSettings& operator=(const PrivateSettings&) = delete;

 private:
  TempDir dir_;
  std::unique_ptr<std::string> previous_;
};

// Runs body with standard output going to a file and returns what was
// written; standard output is restored also when body throws.
std::string CaptureStdout(const std::function<void()>& body);
// Runs body with standard output on /dev/full.
void WithStdoutFull(const std::function<void()>& body);

struct Row {
  int depth;
  std::u16string text;
  int image;
  friend bool operator==(const Row&, const Row&) = default;
};
// Every item of the model in order.
std::vector<Row> Rows(const viewer::TXMLTreeModel& model);
// Printable form for failure messages.
std::string Describe(const std::vector<Row>& rows);

// Counters in label order: XML File, Root, Element, Text, Attribute, Value.
using Counters = std::array<int, 6>;
// The texts of Label7 .. Label12.
std::array<QString, 6> CounterLabels(const TForm1& form);
Counters LabelCounts(const TForm1& form);

// The fill rules applied by plain recursion, for comparison on documents
// shallow enough for the call stack.
struct Reference {
  std::vector<Row> rows;
  std::string trace;
  Counters counters{};
};
Reference RenderReference(const std::string& fileName, const rtl::ComPtr<IXMLNode>& root);

// Messages shown by the application's error handler while the object lives.
class ErrorCapture {
 public:
  ErrorCapture();
  ~ErrorCapture();
  const std::vector<QString>& Messages() const { return messages_; }

 private:
  std::vector<QString> messages_;
};

}  // namespace apptest
