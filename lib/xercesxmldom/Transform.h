// XSLT through Xalan-C++, started on first use.
#pragma once

namespace xdom {

// Ends Xalan if it was started (before Xerces ends).
void ShutdownTransformer();

}  // namespace xdom
