// XMLIntf.h compiles on its own (included first, nothing before it).
#include "xml/XMLIntf.h"
