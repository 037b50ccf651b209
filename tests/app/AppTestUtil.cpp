#include "AppTestUtil.h"

#include <QLabel>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "app/Application.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "rtl/Exception.h"
#include "rtl/TextConv.h"
#include "rtl/Variant.h"
#include "xml/XMLIntf.h"

namespace apptest {

TempDir::TempDir() : dir_(std::make_unique<QTemporaryDir>()) {
  if (!dir_->isValid()) throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() = default;

std::string TempDir::Path(const std::string& name) const {
  return dir_->path().toStdString() + "/" + name;
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string path = Path(name);
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

PrivateSettings::PrivateSettings() {
  if (const char* value = std::getenv("XDG_CONFIG_HOME")) previous_ = std::make_unique<std::string>(value);
  ::setenv("XDG_CONFIG_HOME", dir_.Path("").c_str(), 1);
}

PrivateSettings::~PrivateSettings() {
  if (previous_)
    ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
}

namespace {

// Points standard output at fd for the duration of body.
void Redirected(int fd, const std::function<void()>& body) {
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  const auto restore = [&] {
    std::fflush(stdout);
    std::clearerr(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
  };
  try {
    body();
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

}  // namespace

std::string CaptureStdout(const std::function<void()>& body) {
  char name[] = "/tmp/apptest-stdout-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  Redirected(fd, body);
  std::string text;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

void WithStdoutFull(const std::function<void()>& body) {
  const int fd = ::open("/dev/full", O_WRONLY);
  if (fd < 0) throw std::runtime_error("cannot open /dev/full");
  try {
    Redirected(fd, body);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

std::vector<Row> Rows(const viewer::TXMLTreeModel& model) {
  std::vector<Row> rows;
  for (int i = 0; i < model.ItemCount(); ++i) rows.push_back({model.Depth(i), model.Text(i), model.ImageIndex(i)});
  return rows;
}

std::string Describe(const std::vector<Row>& rows) {
  std::ostringstream out;
  for (const Row& r : rows)
    out << std::string(static_cast<size_t>(r.depth) * 2, ' ') << rtl::Utf8Encode(r.text) << " [" << r.image << "]\n";
  return out.str();
}

std::array<QString, 6> CounterLabels(const TForm1& form) {
  return {form.Label7->text(), form.Label8->text(), form.Label9->text(),
          form.Label10->text(), form.Label11->text(), form.Label12->text()};
}

Counters LabelCounts(const TForm1& form) {
  Counters c{};
  const auto texts = CounterLabels(form);
  for (size_t i = 0; i < texts.size(); ++i) c[i] = texts[i].toInt();
  return c;
}

namespace {

// The fill rules, written as directly as they read.
class ReferenceWalk {
 public:
  Reference result;

  void Add(int depth, const std::u16string& text, int image) { result.rows.push_back({depth, text, image}); }

  static std::u16string ValueText(IXMLNode& node) {
    const rtl::OleVariant v = node.GetNodeValue();
    return v.IsNull() ? std::u16string() : v.ToWideString();
  }

  void Walk(int parentDepth, const rtl::ComPtr<IXMLNode>& node, TItemKind kind) {
    int current = parentDepth;
    switch (kind) {
      case ikChildrenOnly: break;
      case ikRoot:
        Add(parentDepth + 1, node->GetNodeName(), 1);
        current = parentDepth + 1;
        result.counters[1] = 1;
        break;
      case ikElement:
        Add(parentDepth + 1, node->GetNodeName(), 2);
        current = parentDepth + 1;
        ++result.counters[2];
        break;
      case ikText:
        Add(parentDepth + 1, ValueText(*node), 3);
        ++result.counters[3];
        return;
      case ikAttribute:
        Add(parentDepth + 1, node->GetNodeName(), 4);
        ++result.counters[4];
        Walk(parentDepth + 1, node, ikAttrValue);
        return;
      case ikAttrValue:
        Add(parentDepth + 1, ValueText(*node), 5);
        ++result.counters[5];
        return;
    }
    if (!node->HasChildNodes()) return;
    result.trace += "ChildNodes.Count=" + std::to_string(node->GetChildNodes()->GetCount()) + "\n";
    const int n = node->GetChildNodes()->GetCount();
    for (int i = 0; i < n; ++i) {
      const rtl::ComPtr<IXMLNode> child = node->GetChildNodes()->GetNode(rtl::OleVariant(i));
      const rtl::ComPtr<IXMLNodeList> attributes = child->GetAttributeNodes();
      result.trace += "NodeName=" + rtl::WideToNarrow(child->GetNodeName()) + "\n";
      if (attributes->GetCount() > 0) {
        Add(current + 1, child->GetNodeName(), 2);
        ++result.counters[2];
        const int m = attributes->GetCount();
        for (int j = 0; j < m; ++j) Walk(current + 1, attributes->GetNode(rtl::OleVariant(j)), ikAttribute);
        Walk(current + 1, child, ikChildrenOnly);
      } else if (child->IsTextElement()) {
        Add(current + 1, child->GetNodeName(), 2);
        ++result.counters[2];
        Walk(current + 1, child, ikText);
      } else {
        Walk(current, child, ikElement);
      }
    }
  }
};

}  // namespace

Reference RenderReference(const std::string& fileName, const rtl::ComPtr<IXMLNode>& root) {
  ReferenceWalk walk;
  const size_t slash = fileName.find_last_of('/');
  walk.Add(0, rtl::NarrowToWide(slash == std::string::npos ? fileName : fileName.substr(slash + 1)), 0);
  walk.result.counters[0] = 1;
  walk.Walk(0, root, ikRoot);
  return walk.result;
}

ErrorCapture::ErrorCapture() {
  TApplication::ShowErrorHook = [this](const QString&, const QString& message) { messages_.push_back(message); };
}

ErrorCapture::~ErrorCapture() { TApplication::ShowErrorHook = nullptr; }

}  // namespace apptest
