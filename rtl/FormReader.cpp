#include "rtl/FormReader.h"

#include <algorithm>
#include <exception>

#include "rtl/Streams.h"
#include "rtl/rtlconst.h"

namespace rtl {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

// Takes an identifier off the front of s; "" when s does not start with one.
std::string_view TakeName(std::string_view& s) {
  size_t n = 0;
  while (n < s.size() && (IsLetter(s[n]) || (n > 0 && s[n] >= '0' && s[n] <= '9'))) ++n;
  const std::string_view name = s.substr(0, n);
  s.remove_prefix(n);
  SkipBlanks(s);
  return name;
}

bool Contains(const std::vector<TComponent*>& list, const TComponent* c) {
  return std::find(list.begin(), list.end(), c) != list.end();
}

}  // namespace

TFormReader::TFormReader(std::string_view text) : text_(text) {
  // Editors like to put a byte order mark in front of UTF-8 text.
  if (text_.starts_with("\xEF\xBB\xBF")) offset_ = 3;
}

void TFormReader::Fail(const std::string& what) const { throw EReadError(Format(msg::kFormSyntax, {what, line_})); }

bool TFormReader::NextLine(std::string_view& line, bool& indented) {
  while (offset_ < text_.size()) {
    size_t end = text_.find('\n', offset_);
    if (end == std::string_view::npos) end = text_.size();
    line = text_.substr(offset_, end - offset_);
    offset_ = end + 1;
    ++line_;
    indented = !line.empty() && IsBlank(line.front());
    SkipBlanks(line);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (!line.empty() && line.front() != '#') return true;
  }
  return false;
}

void TFormReader::Read(std::string_view text, TComponent* form) {
  if (!form) throw EReadError(msg::kNoComponent);
  TFormReader reader(text);
  form->state_.Include(csLoading);
  reader.loaded_.push_back(form);
  try {
    TComponent* current = nullptr;
    std::string_view line;
    bool indented = false;
    while (reader.NextLine(line, indented)) {
      if (current && !indented) current->state_.Exclude(csReading);
      if (!indented)
        current = reader.Enter(form, line);
      else if (current)
        reader.ReadPropertyLine(current, line);
      else
        reader.Fail(Format(msg::kExpected, {"Name: Class", line}));
    }
    if (current) current->state_.Exclude(csReading);
  } catch (...) {
    // Created components go, last first; the ones that existed before keep
    // working without Loaded.
    for (auto it = reader.created_.rbegin(); it != reader.created_.rend(); ++it) delete *it;
    for (TComponent* c : reader.loaded_)
      if (!Contains(reader.created_, c)) c->state_.Exclude(csLoading).Exclude(csReading);
    throw;
  }
  std::exception_ptr firstFailure;
  for (TComponent* c : reader.loaded_) {
    try {
      c->Loaded();
    } catch (...) {
      if (!firstFailure) firstFailure = std::current_exception();
    }
    c->state_.Exclude(csLoading);
  }
  if (firstFailure) std::rethrow_exception(firstFailure);
}

TComponent* TFormReader::Enter(TComponent* form, std::string_view line) {
  std::string_view rest = line;
  const std::string_view name = TakeName(rest);
  if (name.empty() || rest.empty() || rest.front() != ':') Fail(Format(msg::kExpected, {"Name: Class", line}));
  rest.remove_prefix(1);
  SkipBlanks(rest);
  const std::string_view className = TakeName(rest);
  if (className.empty() || !rest.empty()) Fail(Format(msg::kExpected, {"Name: Class", line}));

  TComponent* component = form->FindComponent(name);
  if (component) {
    if (Contains(loaded_, component)) Fail(Format(msg::kDuplicateName, {name}));
    const AnsiString actual = component->ClassName();
    if (!actual.empty() && actual != className) Fail(Format(msg::kClassMismatch, {name, actual}));
    component->state_.Include(csLoading).Include(csReading);
  } else {
    const TComponentFactory factory = FindComponentClass(className);
    if (!factory) Fail(Format(msg::kClassNotFound, {className}));
    component = factory(form);
    created_.push_back(component);
    component->state_.Include(csLoading).Include(csReading);
    component->AfterConstruction();
    component->SetName(AnsiString(name));
  }
  loaded_.push_back(component);
  return component;
}

void TFormReader::ReadPropertyLine(TComponent* component, std::string_view line) {
  std::string_view rest = line;
  name_ = TakeName(rest);
  if (name_.empty() || rest.empty() || rest.front() != '=') Fail(Format(msg::kExpected, {"Name = value", line}));
  rest.remove_prefix(1);
  SkipBlanks(rest);
  value_.clear();
  isString_ = !rest.empty() && rest.front() == '"';
  if (isString_) {
    rest.remove_prefix(1);
    for (;;) {
      if (rest.empty()) Fail(Format(msg::kExpected, {"\"", line}));
      char c = rest.front();
      rest.remove_prefix(1);
      if (c == '"') break;
      if (c == '\\') {
        if (rest.empty() || (rest.front() != '"' && rest.front() != '\\'))
          Fail(Format(msg::kExpected, {"\\\" or \\\\", line}));
        c = rest.front();
        rest.remove_prefix(1);
      }
      value_ += c;
    }
    SkipBlanks(rest);
  } else {
    value_ = std::string(TakeName(rest));
    if (value_ != "true" && value_ != "false") Fail(Format(msg::kExpected, {"\"text\", true or false", line}));
  }
  if (!rest.empty()) Fail(Format(msg::kExpected, {"end of line", line}));

  handled_ = false;
  consumed_ = false;
  component->DefineProperties(*this);
  if (!handled_) handled_ = component->ReadProperty(name_, *this);
  if (!handled_) Fail(Format(msg::kUnknownProperty, {name_, component->Name()}));
  if (!consumed_) Fail(Format(msg::kPropertyNotRead, {name_, component->Name()}));
}

void TFormReader::DefineProperty(std::string_view name, const ReadProc& read) {
  if (handled_ || name != name_) return;
  handled_ = true;
  if (read) read(*this);
}

AnsiString TFormReader::ReadString() {
  if (consumed_ || !isString_) Fail(Format(msg::kWrongValueKind, {"Text", name_}));
  consumed_ = true;
  return value_;
}

bool TFormReader::ReadBoolean() {
  if (consumed_ || isString_) Fail(Format(msg::kWrongValueKind, {"true or false", name_}));
  consumed_ = true;
  return value_ == "true";
}

}  // namespace rtl
