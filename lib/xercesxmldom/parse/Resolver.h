// External resources of a load: local files only, opened by the library
// itself, never by Xerces and never over the network.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

#include "lib/xercesxmldom/nodes/Common.h"
#include "lib/xercesxmldom/parse/Limits.h"

namespace xdom {

// Opens a local file for reading, but only a regular file: opening a named
// pipe blocks until somebody writes to it, and a device may never end.
// Null when it cannot be opened; *notRegular tells why.
FILE* OpenRegularFile(const std::string& path, bool* notRegular);

// An input source reading the open file f, which it owns.
std::unique_ptr<xc::InputSource> FileInput(FILE* f, const std::u16string& systemId);

// The system id of a local file: its absolute path.
std::u16string AbsoluteSystemId(const std::string& path);

// The local file a system identifier names, resolved the way XML resolves
// it: surrounding white space trimmed, a relative one against base (a path
// or a file: URL; the working directory when empty). Empty when it names
// anything but a local file (another scheme, a remote host).
std::string LocalFileFor(std::u16string_view systemId, std::u16string_view base);

// Answers every external entity, DTD and schema the scanner asks for, so
// that Xerces itself opens nothing. With resolving off each is empty
// content, except a schema while validating, which is refused: an unread
// schema can only make validation fail, and the reason should say why.
// With resolving on, local regular files are read (their bytes charged to
// the budget) and anything else is refused.
class ExternalResolver final : public xc::XMLEntityResolver {
 public:
  // refuse records the failure and does not return.
  using Refuse = std::function<void(std::u16string reason)>;
  ExternalResolver(bool resolve, bool validate, ExpansionBudget& budget, Refuse refuse)
      : resolve_(resolve), validate_(validate), budget_(budget), refuse_(std::move(refuse)) {}
  xc::InputSource* resolveEntity(xc::XMLResourceIdentifier* id) override;

 private:
  bool resolve_;
  bool validate_;
  ExpansionBudget& budget_;
  Refuse refuse_;
};

}  // namespace xdom
