#include "xml/XMLTextRules.h"

#include "rtl/TextConv.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

void CheckValueText(rtl::WideStringView value, rtl::WideStringView nodeName) {
  if (value.find(u'\0') != rtl::WideStringView::npos) RaiseDocErrorFmt(XMLConst::SNulInValue, {rtl::WideToNarrow(nodeName)});
}
