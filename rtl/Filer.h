// Reading and writing components as a form description.
//
// A form description is UTF-8 text, one item per line, nested objects
// indented by two blanks (indentation is not significant when reading):
//
//   object Form1: TForm1
//     Caption = 'Form1'
//     object XMLDocument1: TXMLDocument
//       DOMVendorDesc = 'Xerces XML'
//       Options = [doNodeAutoCreate, doAttrNull]
//     end
//   end
//
// "object Name: ClassName" opens a component ("object ClassName" when it has
// no name) and "end" closes it. Between them come its property lines
// "Name = value" and then the components it owns. Property names are
// identifiers, dots allowed. A value is one of:
//   string   'text' with '' for a quote; control bytes are written outside
//            the quotes as #n (decimal byte), and the pieces are joined:
//            'line 1'#10'line 2'
//   integer  optional '-' and decimal digits
//   boolean  True or False
//   ident    an identifier (an enumeration value)
//   set      [ident, ident, ...], possibly []
// Blank lines are ignored.
//
// Reading a property asks the component's DefineProperties first and its
// ReadProperty hook second; a property neither knows is an error naming the
// property and the line. The value must be read by exactly one Read* call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Component.h"
#include "rtl/Types.h"

namespace rtl {

class TFiler {
 public:
  using ReaderProc = std::function<void(TReader& reader)>;
  using WriterProc = std::function<void(TWriter& writer)>;

  TFiler() = default;
  TFiler(const TFiler&) = delete;
  TFiler& operator=(const TFiler&) = delete;
  virtual ~TFiler() = default;

  // While writing: the ancestor form's component that corresponds to the one
  // being written (same name path), or null. Always null while reading.
  TComponent* Ancestor() const { return ancestor_; }
  // The component whose properties are being read or written, or null.
  TComponent* Component() const { return component_; }

  // Called from TComponent::DefineProperties. A reader calls read when name
  // is the property it is reading; a writer writes the property through
  // write when hasData is true.
  virtual void DefineProperty(std::string_view name, const ReaderProc& read, const WriterProc& write,
                              bool hasData) = 0;

 protected:
  TComponent* ancestor_ = nullptr;
  TComponent* component_ = nullptr;
};

class TReader : public TFiler {
 public:
  explicit TReader(std::string text);
  ~TReader() override;

  // Reads the form into root, an existing component whose registered class
  // (if it has one) must be the form's; the root takes the form's name.
  // Owned components named in the form are read into when they exist and
  // created through the class registry when not. Every component read is in
  // csLoading (and in csReading while its own properties are read); when
  // all is read, Loaded runs on each in reading order, and the first
  // exception from a Loaded is raised after the others have run. A failure
  // while reading destroys the components this read created, clears the
  // flags of the others and passes the exception on; errors of the form text
  // itself are EReadError with the line number.
  void ReadRootComponent(TComponent* root);
  // Creates the form's root component through the class registry, with
  // owner, and reads it as above; returns it. On any failure, a failing
  // Loaded included, it is destroyed. A reader reads one form.
  TComponent* ReadComponent(TComponent* owner);

  // The value of the property being read, which must be of that kind
  // (EReadError otherwise).
  AnsiString ReadString();
  WideString ReadWideString();
  int32_t ReadInteger();
  bool ReadBoolean();
  AnsiString ReadIdent();
  std::vector<AnsiString> ReadSet();

  // Line (1-based) of the item being read.
  int32_t Line() const { return line_; }

  void DefineProperty(std::string_view name, const ReaderProc& read, const WriterProc& write,
                      bool hasData) override;

 private:
  struct Value;
  struct Header;
  [[noreturn]] void Fail(const std::string& what) const;
  bool NextLine(std::string_view& line);
  Header ParseHeader(std::string_view line);
  void ReadInto(TComponent* component, const AnsiString& name);
  void ReadPropertyLine(TComponent* component, std::string_view line);
  const Value& Take(int kind, const char* kindName);
  TComponent* ReadForm(TComponent* root, TComponent* owner);

  std::string text_;
  size_t offset_ = 0;
  int32_t line_ = 0;
  // The property being read and its parsed value.
  std::string propName_;
  Value* value_ = nullptr;
  bool consumed_ = false;
  bool handled_ = false;
  std::vector<TComponent*> loaded_;
  std::vector<TComponent*> created_;
};

class TWriter : public TFiler {
 public:
  // rootAncestor: the form the written one inherits from, or null.
  explicit TWriter(TComponent* rootAncestor = nullptr) : rootAncestor_(rootAncestor) {}

  // Appends root and everything it owns to Text(). Raises EWriteError when a
  // component's class is not registered or a property is written wrongly.
  void WriteRootComponent(TComponent* root);
  const std::string& Text() const { return text_; }

  // Starts a property; exactly one Write* value call must follow.
  void WritePropName(std::string_view name);
  void WriteString(std::string_view value);
  void WriteWideString(WideStringView value);
  void WriteInteger(int32_t value);
  void WriteBoolean(bool value);
  void WriteIdent(std::string_view value);
  void WriteSet(const std::vector<AnsiString>& idents);

  void DefineProperty(std::string_view name, const ReaderProc& read, const WriterProc& write,
                      bool hasData) override;

 private:
  void WriteComponent(TComponent* component, TComponent* ancestor, int depth);
  void WriteValue(const std::string& text);
  void CheckNothingPending();

  TComponent* rootAncestor_;
  std::string text_;
  std::string indent_;
  std::string pendingName_;
};

// Reads text into root (see TReader::ReadRootComponent).
void ReadForm(std::string_view text, TComponent* root);
// The form description of root.
std::string WriteForm(TComponent* root, TComponent* ancestor = nullptr);

}  // namespace rtl
