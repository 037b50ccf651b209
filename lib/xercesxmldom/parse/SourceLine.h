// The source line a parse error points at, handed back with the error.
#pragma once

#include <cstdint>
#include <string>

#include "lib/xercesxmldom/parse/Parser.h"

namespace xdom {

// Sets info.srcText to line info.line (at most kMaxSourceLine units) of
// the source the error is in: src, read again from its start (a stream
// from streamStart; not again when that is negative), or a local file
// that mainId does not name, only when the parse was allowed to read
// externals. Left empty when the line cannot be read; may throw.
void FillSourceText(const ParseSource& src, const std::u16string& mainId, int64_t streamStart,
                    bool externalsRead, ParseErrorInfo& info);

}  // namespace xdom
