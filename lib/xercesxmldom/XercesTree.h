// What this library's tests ask of a document beyond the DOM. Every
// document lives in the library's store; the tests check the store's reads
// and changes against the same document built as Xerces' own tree, which
// nothing else builds. Header only: programs have no use for it.
#pragma once

#include "rtl/Interface.h"

struct IXercesTree : rtl::IInterface {
  static constexpr rtl::GUID IID = {0x027D15A4, 0xFAA4, 0x4815, {0x87, 0xAF, 0x28, 0x71, 0xB5, 0x67, 0xA0, 0xC8}};
  using Base = rtl::IInterface;
  // Builds the document's Xerces tree from its store; nothing once built.
  virtual HResult BuildTree() = 0;
  // Whether the document's tree is built (and its store gone).
  virtual HResult HasTree(WordBool* result) = 0;
};
