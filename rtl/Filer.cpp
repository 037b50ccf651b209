#include "rtl/Filer.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "rtl/Streams.h"
#include "rtl/TextConv.h"
#include "rtl/rtlconst.h"

namespace rtl {
namespace {

enum ValueKind { vkString, vkInteger, vkIdent, vkSet };

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

// Takes an identifier (dots allowed when dotted) off the front of s; "" when
// s does not start with one.
std::string_view TakeIdent(std::string_view& s, bool dotted) {
  if (s.empty() || !IsLetter(s.front())) return {};
  size_t n = 1;
  while (n < s.size() && (IsLetter(s[n]) || IsDigit(s[n]) || (dotted && s[n] == '.' && n + 1 < s.size() &&
                                                              IsLetter(s[n + 1]))))
    ++n;
  std::string_view ident = s.substr(0, n);
  s.remove_prefix(n);
  return ident;
}

bool IsPropertyName(std::string_view s) {
  std::string_view ident = TakeIdent(s, true);
  return !ident.empty() && s.empty();
}

}  // namespace

struct TReader::Value {
  ValueKind kind = vkString;
  std::string text;
  std::vector<std::string> items;
};

struct TReader::Header {
  AnsiString name;
  AnsiString className;
};

TReader::TReader(std::string text) : text_(std::move(text)) {
  // Editors like to put a byte order mark in front of UTF-8 text.
  if (text_.starts_with("\xEF\xBB\xBF")) offset_ = 3;
}

TReader::~TReader() = default;

void TReader::Fail(const std::string& what) const {
  throw EReadError(Format(msg::kFormSyntax, {what, line_}));
}

bool TReader::NextLine(std::string_view& line) {
  while (offset_ < text_.size()) {
    size_t end = text_.find('\n', offset_);
    if (end == std::string::npos) end = text_.size();
    std::string_view raw(text_.data() + offset_, end - offset_);
    offset_ = end + 1;
    ++line_;
    raw = Trim(raw);
    if (!raw.empty()) {
      line = raw;
      return true;
    }
  }
  return false;
}

TReader::Header TReader::ParseHeader(std::string_view line) {
  std::string_view rest = line;
  if (TakeIdent(rest, false) != "object" || (!rest.empty() && !IsBlank(rest.front())))
    Fail(Format(msg::kExpected, {"object", line}));
  SkipBlanks(rest);
  Header header;
  std::string_view first = TakeIdent(rest, false);
  SkipBlanks(rest);
  if (!rest.empty() && rest.front() == ':') {
    rest.remove_prefix(1);
    SkipBlanks(rest);
    header.name = std::string(first);
    first = TakeIdent(rest, false);
  }
  if (first.empty() || !rest.empty()) Fail(Format(msg::kExpected, {"object Name: ClassName", line}));
  header.className = std::string(first);
  return header;
}

TComponent* TReader::ReadForm(TComponent* root, TComponent* owner) {
  loaded_.clear();
  created_.clear();
  try {
    std::string_view line;
    if (!NextLine(line)) Fail(Format(msg::kExpected, {"object", ""}));
    Header header = ParseHeader(line);
    if (root) {
      AnsiString rootClass = root->ClassName();
      if (!rootClass.empty() && rootClass != header.className)
        Fail(Format(msg::kRootClassMismatch, {header.className, rootClass}));
    } else {
      TComponentFactory factory = FindComponentClass(header.className);
      if (!factory) Fail(Format(msg::kClassNotFound, {header.className}));
      root = factory(owner);
      created_.push_back(root);
      root->state_.Include(csLoading).Include(csReading);
      root->AfterConstruction();
    }
    ReadInto(root, header.name);
    if (NextLine(line)) Fail(Format(msg::kExpected, {"end of form", line}));
  } catch (...) {
    // Created components go, last first (so owned ones before their owner);
    // the ones that existed before keep working without Loaded.
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) delete *it;
    for (TComponent* c : loaded_)
      if (std::find(created_.begin(), created_.end(), c) == created_.end())
        c->state_.Exclude(csLoading).Exclude(csReading);
    loaded_.clear();
    created_.clear();
    component_ = nullptr;
    throw;
  }
  std::exception_ptr firstFailure;
  for (TComponent* c : loaded_) {
    try {
      c->Loaded();
    } catch (...) {
      if (!firstFailure) firstFailure = std::current_exception();
    }
    c->state_.Exclude(csLoading);
  }
  const bool rootCreated = !created_.empty() && created_.front() == root;
  loaded_.clear();
  created_.clear();
  if (firstFailure) {
    // Nobody but this read knows a root it created; do not leak it.
    if (rootCreated) delete root;
    std::rethrow_exception(firstFailure);
  }
  return root;
}

void TReader::ReadRootComponent(TComponent* root) {
  if (!root) throw EReadError(msg::kNoComponent);
  ReadForm(root, nullptr);
}

TComponent* TReader::ReadComponent(TComponent* owner) { return ReadForm(nullptr, owner); }

void TReader::ReadInto(TComponent* component, const AnsiString& name) {
  component->state_.Include(csLoading).Include(csReading);
  loaded_.push_back(component);
  if (!name.empty()) {
    try {
      component->SetName(name);
    } catch (const EComponentError& e) {
      Fail(e.Message());
    }
  }
  std::string_view line;
  for (;;) {
    if (!NextLine(line)) Fail(Format(msg::kExpected, {"end", "end of text"}));
    if (line == "end") break;
    std::string_view rest = line;
    const bool isObject = TakeIdent(rest, false) == "object" && !rest.empty() && IsBlank(rest.front());
    SkipBlanks(rest);
    // "object = 1" is a property that happens to be called object.
    if (isObject && (rest.empty() || rest.front() != '=')) {
      Header header = ParseHeader(line);
      TComponent* child = component->FindComponent(header.name);
      // Existing components are read into, but only once per form.
      if (child && std::find(loaded_.begin(), loaded_.end(), child) != loaded_.end())
        Fail(Format(msg::kDuplicateName, {header.name}));
      if (!child) {
        TComponentFactory factory = FindComponentClass(header.className);
        if (!factory) Fail(Format(msg::kClassNotFound, {header.className}));
        child = factory(component);
        created_.push_back(child);
        child->state_.Include(csLoading).Include(csReading);
        child->AfterConstruction();
      }
      ReadInto(child, header.name);
    } else {
      ReadPropertyLine(component, line);
    }
  }
  component->state_.Exclude(csReading);
}

void TReader::ReadPropertyLine(TComponent* component, std::string_view line) {
  std::string_view rest = line;
  std::string_view name = TakeIdent(rest, true);
  SkipBlanks(rest);
  if (name.empty() || rest.empty() || rest.front() != '=') Fail(Format(msg::kExpected, {"Name = value", line}));
  rest.remove_prefix(1);
  SkipBlanks(rest);

  Value value;
  if (!rest.empty() && (rest.front() == '\'' || rest.front() == '#')) {
    value.kind = vkString;
    while (!rest.empty() && (rest.front() == '\'' || rest.front() == '#')) {
      if (rest.front() == '#') {
        rest.remove_prefix(1);
        int code = 0;
        size_t n = 0;
        while (n < rest.size() && IsDigit(rest[n]) && code <= 255) code = code * 10 + (rest[n++] - '0');
        if (n == 0 || code > 255) Fail(Format(msg::kExpected, {"#0..#255", line}));
        value.text += static_cast<char>(code);
        rest.remove_prefix(n);
        continue;
      }
      rest.remove_prefix(1);
      for (;;) {
        if (rest.empty()) Fail(Format(msg::kExpected, {"'", line}));
        char c = rest.front();
        rest.remove_prefix(1);
        if (c != '\'') {
          value.text += c;
        } else if (!rest.empty() && rest.front() == '\'') {
          value.text += '\'';
          rest.remove_prefix(1);
        } else {
          break;
        }
      }
    }
  } else if (!rest.empty() && (IsDigit(rest.front()) || rest.front() == '-')) {
    value.kind = vkInteger;
    size_t n = rest.front() == '-' ? 1 : 0;
    while (n < rest.size() && IsDigit(rest[n])) ++n;
    value.text = std::string(rest.substr(0, n));
    rest.remove_prefix(n);
    if (value.text == "-") Fail(Format(msg::kExpected, {"integer", line}));
  } else if (!rest.empty() && rest.front() == '[') {
    value.kind = vkSet;
    rest.remove_prefix(1);
    SkipBlanks(rest);
    while (!rest.empty() && rest.front() != ']') {
      if (!value.items.empty()) {
        if (rest.front() != ',') Fail(Format(msg::kExpected, {",", line}));
        rest.remove_prefix(1);
        SkipBlanks(rest);
      }
      std::string_view item = TakeIdent(rest, false);
      if (item.empty()) Fail(Format(msg::kExpected, {"identifier", line}));
      value.items.emplace_back(item);
      SkipBlanks(rest);
    }
    if (rest.empty()) Fail(Format(msg::kExpected, {"]", line}));
    rest.remove_prefix(1);
  } else {
    value.kind = vkIdent;
    value.text = std::string(TakeIdent(rest, false));
    if (value.text.empty()) Fail(Format(msg::kExpected, {"value", line}));
  }
  SkipBlanks(rest);
  if (!rest.empty()) Fail(Format(msg::kExpected, {"end of line", line}));

  propName_ = std::string(name);
  value_ = &value;
  consumed_ = false;
  handled_ = false;
  component_ = component;
  // The value lives on this frame only; forget it however the hooks end.
  struct Reset {
    TReader* r;
    ~Reset() { r->value_ = nullptr; r->component_ = nullptr; }
  } reset{this};
  component->DefineProperties(*this);
  if (!handled_) handled_ = component->ReadProperty(propName_, *this);
  const AnsiString owner = component->Name().empty() ? component->ClassName() : component->Name();
  if (!handled_) Fail(Format(msg::kUnknownProperty, {propName_, owner}));
  if (!consumed_) Fail(Format(msg::kPropertyNotRead, {propName_, owner}));
}

void TReader::DefineProperty(std::string_view name, const ReaderProc& read, const WriterProc&, bool) {
  if (handled_ || !value_ || name != propName_) return;
  handled_ = true;
  if (read) read(*this);
}

const TReader::Value& TReader::Take(int kind, const char* kindName) {
  if (!value_ || consumed_ || value_->kind != kind) Fail(Format(msg::kWrongValueKind, {kindName, propName_}));
  consumed_ = true;
  return *value_;
}

AnsiString TReader::ReadString() { return Take(vkString, "String").text; }

WideString TReader::ReadWideString() { return Utf8Decode(Take(vkString, "String").text); }

int32_t TReader::ReadInteger() {
  const std::string& text = Take(vkInteger, "Integer").text;
  int64_t v = 0;
  const bool negative = text.front() == '-';
  for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) Fail(Format(msg::kIntegerRange, {text}));
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min())
    Fail(Format(msg::kIntegerRange, {text}));
  return static_cast<int32_t>(v);
}

bool TReader::ReadBoolean() {
  if (value_ && !consumed_ && value_->kind == vkIdent && (value_->text == "True" || value_->text == "False"))
    return Take(vkIdent, "Boolean").text == "True";
  Fail(Format(msg::kWrongValueKind, {"Boolean", propName_}));
}

AnsiString TReader::ReadIdent() { return Take(vkIdent, "Identifier").text; }

std::vector<AnsiString> TReader::ReadSet() { return Take(vkSet, "Set").items; }

// ---- TWriter

void TWriter::WriteRootComponent(TComponent* root) {
  WriteComponent(root, rootAncestor_, 0);
}

void TWriter::WriteComponent(TComponent* component, TComponent* ancestor, int depth) {
  const AnsiString className = component->ClassName();
  if (className.empty()) throw EWriteError(Format(msg::kClassNotRegistered, {component->Name()}));
  indent_.assign(static_cast<size_t>(depth) * 2, ' ');
  text_ += indent_ + "object ";
  if (!component->Name().empty()) text_ += component->Name() + ": ";
  text_ += className + "\n";

  indent_ += "  ";
  component_ = component;
  ancestor_ = ancestor;
  component->WriteProperties(*this);
  CheckNothingPending();
  component->DefineProperties(*this);
  CheckNothingPending();

  for (int32_t i = 0; i < component->ComponentCount(); ++i) {
    TComponent* child = component->Components(i);
    TComponent* childAncestor = ancestor ? ancestor->FindComponent(child->Name()) : nullptr;
    WriteComponent(child, childAncestor, depth + 1);
  }
  component_ = nullptr;
  ancestor_ = nullptr;
  indent_.assign(static_cast<size_t>(depth) * 2, ' ');
  text_ += indent_ + "end\n";
}

void TWriter::CheckNothingPending() {
  if (!pendingName_.empty()) {
    std::string name = std::move(pendingName_);
    pendingName_.clear();
    throw EWriteError(Format(msg::kPropertyNotWritten, {name, component_ ? component_->Name() : ""}));
  }
}

void TWriter::WritePropName(std::string_view name) {
  CheckNothingPending();
  if (!IsPropertyName(name)) throw EWriteError(Format(msg::kBadPropertyName, {name}));
  pendingName_ = std::string(name);
}

void TWriter::WriteValue(const std::string& text) {
  if (pendingName_.empty()) throw EWriteError(msg::kNoPropertyName);
  text_ += indent_ + pendingName_ + " = " + text + "\n";
  pendingName_.clear();
}

void TWriter::WriteString(std::string_view value) {
  std::string out;
  bool quoted = false;
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      if (quoted) out += '\'';
      quoted = false;
      out += '#' + std::to_string(byte);
    } else {
      if (!quoted) out += '\'';
      quoted = true;
      out += c;
      if (c == '\'') out += '\'';
    }
  }
  if (quoted) out += '\'';
  if (out.empty()) out = "''";
  WriteValue(out);
}

void TWriter::WriteWideString(WideStringView value) { WriteString(Utf8Encode(value)); }

void TWriter::WriteInteger(int32_t value) { WriteValue(std::to_string(value)); }

void TWriter::WriteBoolean(bool value) { WriteValue(value ? "True" : "False"); }

void TWriter::WriteIdent(std::string_view value) {
  if (!IsPropertyName(value) || value.find('.') != std::string_view::npos)
    throw EWriteError(Format(msg::kBadPropertyName, {value}));
  WriteValue(std::string(value));
}

void TWriter::WriteSet(const std::vector<AnsiString>& idents) {
  std::string out = "[";
  for (size_t i = 0; i < idents.size(); ++i) {
    if (!IsPropertyName(idents[i]) || idents[i].find('.') != std::string::npos)
      throw EWriteError(Format(msg::kBadPropertyName, {idents[i]}));
    if (i > 0) out += ", ";
    out += idents[i];
  }
  WriteValue(out + "]");
}

void TWriter::DefineProperty(std::string_view name, const ReaderProc&, const WriterProc& write, bool hasData) {
  if (!hasData || !write) return;
  WritePropName(name);
  write(*this);
  CheckNothingPending();
}

void ReadForm(std::string_view text, TComponent* root) {
  TReader reader{std::string(text)};
  reader.ReadRootComponent(root);
}

std::string WriteForm(TComponent* root, TComponent* ancestor) {
  TWriter writer(ancestor);
  writer.WriteRootComponent(root);
  return writer.Text();
}

}  // namespace rtl
