// Values XML can hold, checked when they are set.
#pragma once

#include "rtl/Types.h"

// Raises EXMLDocError naming the node when the value contains U+0000: the
// DOM would cut the value short there, and no XML text can hold it.
void CheckValueText(rtl::WideStringView value, rtl::WideStringView nodeName);
