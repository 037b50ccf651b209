// Reading a form description: the components a form owns and the stored
// properties they start with.
//
// The text is UTF-8, one item per line:
//
//   # The main window's components.
//   XMLDocument1: TXMLDocument
//     DOMVendorDesc = "Xerces XML"
//     Active = false
//
// "Name: Class" at the start of a line names a component the form owns; the
// indented lines below it set its properties as "Name = value", where the
// value is a text in double quotes (inside, \" and \\ stand for " and \) or
// true or false. Blank lines and lines starting with # are skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Component.h"
#include "rtl/Types.h"

namespace rtl {

class TFormReader {
 public:
  using ReadProc = std::function<void(TFormReader& reader)>;

  // Reads text into form. A component named there is the form's owned
  // component of that name or, when it has none, one created through the
  // class registry with form as owner. The form and every component read
  // are in csLoading until the end, and a component is in csReading while
  // its own properties are read. When all is read, Loaded runs on the form
  // and then on each component in reading order; the first exception from a
  // Loaded is raised after the others have run. When reading fails, the
  // components it created are destroyed, the others' flags are cleared and
  // the exception passes on; faults of the text are EReadError naming the
  // line.
  static void Read(std::string_view text, TComponent* form);

  // Called from TComponent::DefineProperties: runs read when name is the
  // property being read.
  void DefineProperty(std::string_view name, const ReadProc& read);

  // The value of the property being read, which must be read exactly once
  // and be of that kind (EReadError otherwise).
  AnsiString ReadString();
  bool ReadBoolean();

  // Line (1-based) of the property being read.
  int32_t Line() const { return line_; }

 private:
  explicit TFormReader(std::string_view text);
  [[noreturn]] void Fail(const std::string& what) const;
  bool NextLine(std::string_view& line, bool& indented);
  TComponent* Enter(TComponent* form, std::string_view line);
  void ReadPropertyLine(TComponent* component, std::string_view line);

  std::string_view text_;
  size_t offset_ = 0;
  int32_t line_ = 0;
  std::vector<TComponent*> loaded_;
  std::vector<TComponent*> created_;
  // The property being read.
  std::string_view name_;
  bool isString_ = false;
  std::string value_;
  bool handled_ = false;
  bool consumed_ = false;
};

// Reads text into form (see TFormReader::Read).
inline void ReadForm(std::string_view text, TComponent* form) { TFormReader::Read(text, form); }

}  // namespace rtl
