#include "rtl/StringList.h"

#include "rtl/Exception.h"
#include "rtl/rtlconst.h"

namespace rtl {
namespace {

std::vector<AnsiString> SplitLines(std::string_view text) {
  std::vector<AnsiString> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\n' || c == '\r') {
      lines.emplace_back(text.substr(start, i - start));
      ++i;
      if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

}  // namespace

int32_t TStrings::Add(const AnsiString& s) {
  int32_t index = Count();
  Insert(index, s);
  return index;
}

AnsiString TStrings::GetText() const {
  AnsiString text;
  const int32_t n = Count();
  for (int32_t i = 0; i < n; ++i) {
    if (i > 0) text += '\n';
    text += Get(i);
  }
  return text;
}

int32_t TStrings::IndexOf(std::string_view s) const {
  const int32_t n = Count();
  for (int32_t i = 0; i < n; ++i)
    if (Get(i) == s) return i;
  return -1;
}

// The handlers run from copies: a handler may detach or replace itself (and
// so destroy the function object) while it runs.
void TStringList::Changing() {
  if (ChangeHandler handler = OnChanging) handler(this);
}

void TStringList::Changed() {
  if (ChangeHandler handler = OnChange) handler(this);
}

void TStringList::CheckIndex(int32_t index, int32_t limit) const {
  if (index < 0 || index >= limit) throw EListError(Format(msg::kListIndexError, {index}));
}

const AnsiString& TStringList::Get(int32_t index) const {
  CheckIndex(index, Count());
  return lines_[static_cast<size_t>(index)];
}

// The before-change handler may change the lines itself (a document empties
// them when it closes), so indexes are checked again after it has run. The
// value is copied first because it may be one of the lines.

void TStringList::Put(int32_t index, const AnsiString& s) {
  CheckIndex(index, Count());
  AnsiString value = s;
  Changing();
  CheckIndex(index, Count());
  lines_[static_cast<size_t>(index)] = std::move(value);
  Changed();
}

int32_t TStringList::Add(const AnsiString& s) {
  AnsiString value = s;
  Changing();
  lines_.push_back(std::move(value));
  const int32_t index = Count() - 1;
  Changed();
  return index;
}

void TStringList::Insert(int32_t index, const AnsiString& s) {
  CheckIndex(index, Count() + 1);
  AnsiString value = s;
  Changing();
  CheckIndex(index, Count() + 1);
  lines_.insert(lines_.begin() + index, std::move(value));
  Changed();
}

void TStringList::Delete(int32_t index) {
  CheckIndex(index, Count());
  Changing();
  CheckIndex(index, Count());
  lines_.erase(lines_.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (lines_.empty()) return;
  Changing();
  lines_.clear();
  Changed();
}

void TStringList::SetText(std::string_view text) {
  // Split first: the handler may look at (or the text may alias) the old lines.
  std::vector<AnsiString> lines = SplitLines(text);
  Changing();
  lines_ = std::move(lines);
  Changed();
}

void TStringList::Assign(const TStrings& source) {
  std::vector<AnsiString> lines;
  lines.reserve(static_cast<size_t>(source.Count()));
  for (int32_t i = 0; i < source.Count(); ++i) lines.push_back(source.Get(i));
  Changing();
  lines_ = std::move(lines);
  Changed();
}

}  // namespace rtl
