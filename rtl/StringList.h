// Lists of narrow text lines: the abstract TStrings and the concrete
// TStringList, which tells a handler before and after every change.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Object.h"
#include "rtl/Types.h"

namespace rtl {

// Text lines. The text form joins the lines with LF, with no break after the
// last line; reading text splits on LF, CRLF and CR, and a break at the very
// end does not start another line ("a\nb\n" and "a\nb" both give two lines).
class TStrings : public TObject {
 public:
  TStrings() = default;
  TStrings(const TStrings&) = delete;
  TStrings& operator=(const TStrings&) = delete;

  virtual int32_t Count() const = 0;
  // The line at index; raises EListError outside 0..Count()-1.
  virtual const AnsiString& Get(int32_t index) const = 0;
  // Replaces the line at index; raises EListError outside 0..Count()-1.
  virtual void Put(int32_t index, const AnsiString& s) = 0;
  // Inserts before index (Count() appends); raises EListError outside
  // 0..Count().
  virtual void Insert(int32_t index, const AnsiString& s) = 0;
  // Raises EListError outside 0..Count()-1.
  virtual void Delete(int32_t index) = 0;
  // Removes every line (no change, and no notification, when already empty).
  virtual void Clear() = 0;
  // Replaces all lines by the lines of text.
  virtual void SetText(std::string_view text) = 0;
  // Replaces all lines by a copy of source's lines (source may be *this).
  virtual void Assign(const TStrings& source) = 0;

  // Appends s; returns its index.
  virtual int32_t Add(const AnsiString& s);
  // The lines joined with LF; "" when empty.
  AnsiString GetText() const;
  // Index of the first line equal to s (exact, case-sensitive), or -1.
  int32_t IndexOf(std::string_view s) const;
  bool Empty() const { return Count() == 0; }
};

class TStringList : public TStrings {
 public:
  using ChangeHandler = std::function<void(TStringList* sender)>;

  TStringList() = default;

  int32_t Count() const override { return static_cast<int32_t>(lines_.size()); }
  const AnsiString& Get(int32_t index) const override;
  int32_t Add(const AnsiString& s) override;
  void Put(int32_t index, const AnsiString& s) override;
  void Insert(int32_t index, const AnsiString& s) override;
  void Delete(int32_t index) override;
  void Clear() override;
  void SetText(std::string_view text) override;
  void Assign(const TStrings& source) override;

  // Called before every change of the lines, once per modifying call
  // (SetText and Assign included, even when they give an empty list). An
  // exception from it cancels the change and passes to the caller. Setting it
  // to nullptr detaches it. It may change the lines itself: Add then still
  // appends, while an index that it made invalid raises EListError and
  // cancels the change.
  ChangeHandler OnChanging;
  // Called after every change, once per modifying call.
  ChangeHandler OnChange;

 private:
  void Changing();
  void Changed();
  void CheckIndex(int32_t index, int32_t limit) const;

  std::vector<AnsiString> lines_;
};

}  // namespace rtl
