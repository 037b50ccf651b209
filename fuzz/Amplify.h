// Amplification inputs: small documents whose entities and DTD defaults
// expand far beyond their own size. Each is a mixture drawn from a seed:
// a chain of nested entities (empty or not, wide or deep), used in content,
// in attribute values, in a DTD default repeated on many elements, or
// through parameter entities in the DTD. In content the innermost entity
// may hold markup (elements, attributes, text between elements, comments,
// processing instructions), which multiplies nodes rather than characters. Used by the hostile-input tests
// and to seed the fuzz corpus (amplify_corpus).
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

namespace amplify {

struct Input {
  std::string xml;
  // Characters of text and attribute values the document holds once every
  // entity and default is expanded (saturating at kHuge).
  uint64_t output = 0;
  // Entity expansions and defaulted attributes that takes (saturating).
  uint64_t expansions = 0;
  // Characters of entity replacement text scanned on the way (saturating).
  uint64_t scanned = 0;
  // Nodes the markup in entities makes (saturating; besides these, each
  // expansion may start one text node).
  uint64_t nodes = 0;
};

inline constexpr uint64_t kHuge = uint64_t(1) << 60;

inline uint64_t Add(uint64_t a, uint64_t b) { return std::min(kHuge, a + b); }
inline uint64_t Mul(uint64_t a, uint64_t b) { return a && b > kHuge / a ? kHuge : std::min(kHuge, a * b); }

// A document of at most about maxBytes (the repeated uses are cut to fit).
inline Input Generate(uint32_t seed, size_t maxBytes) {
  std::mt19937 rng(seed);
  auto pick = [&](std::initializer_list<uint64_t> choices) {
    return *(choices.begin() + std::uniform_int_distribution<size_t>(0, choices.size() - 1)(rng));
  };
  const uint64_t leaf = pick({0, 1, 3, 64, 1024, 20000});
  const uint64_t depth = pick({0, 1, 2, 4, 8, 12});
  const uint64_t fanOut = pick({2, 4, 10});
  const int use = static_cast<int>(pick({0, 1, 2, 3, 4}));  // content, attribute, default, parameter, mixture
  const uint64_t repeat = pick({1, 10, 100, 1000, 100000});
  // Markup unit of the innermost entity, its characters of text and nodes.
  struct Unit {
    const char* text;
    uint64_t chars, nodes;
  };
  static constexpr Unit kUnits[] = {{"x", 1, 0}, {"<a/>", 0, 1}, {"<a b=''/>", 0, 2}, {"x<b/>", 1, 2}, {"<!---->", 0, 1}, {"<?p?>", 0, 1}};
  const Unit unit = kUnits[use == 0 ? pick({0, 1, 2, 3, 4, 5}) : 0];
  const uint64_t units = unit.nodes ? std::min<uint64_t>(leaf, 1024) : leaf;

  Input in;
  std::string leafText;
  for (uint64_t i = 0; i < units; ++i) leafText += unit.text;
  std::string dtd = "<!ENTITY e0 \"" + leafText + "\">";
  // Size, expansions, scanned text and nodes of one reference to e<i>.
  uint64_t size = units * unit.chars, count = 1, scanned = leafText.size(), nodes = units * unit.nodes;
  for (uint64_t i = 1; i <= depth; ++i) {
    std::string ref = "&e" + std::to_string(i - 1) + ";";
    std::string value;
    for (uint64_t k = 0; k < fanOut; ++k) value += ref;
    dtd += "<!ENTITY e" + std::to_string(i) + " \"y" + value + "\">";
    size = Add(1, Mul(fanOut, size));
    count = Add(1, Mul(fanOut, count));
    nodes = Mul(fanOut, nodes);
    scanned = Add(value.size() + 1, Mul(fanOut, scanned));
  }
  const std::string top = "&e" + std::to_string(depth) + ";";
  std::string body;
  auto fits = [&](size_t more) { return dtd.size() + body.size() + more + 64 <= maxBytes; };
  auto expand = [&](uint64_t times) {
    in.output = Add(in.output, Mul(times, size));
    in.expansions = Add(in.expansions, Mul(times, count));
    in.scanned = Add(in.scanned, Mul(times, scanned));
    in.nodes = Add(in.nodes, Mul(times, nodes));
  };
  if (use == 0 || use == 4) {  // references in text
    body += "<t>";
    uint64_t n = 0;
    for (; n < repeat && fits(top.size()); ++n) body += top;
    body += "</t>";
    expand(n);
  }
  if (use == 1 || use == 4) {  // references in attribute values
    uint64_t n = 0;
    for (; n < repeat && fits(top.size() + 12); ++n) body += "<a v=\"" + top + "\"/>";
    expand(n);
  }
  if (use == 2 || use == 4) {  // a default built from the entity, on many elements
    dtd += "<!ATTLIST d v CDATA \"" + top + "\">";
    in.expansions = Add(in.expansions, count);
    in.scanned = Add(in.scanned, scanned);
    uint64_t n = 0;
    for (; n < repeat && fits(4); ++n) body += "<d/>";
    in.output = Add(in.output, Mul(n, size));
    in.expansions = Add(in.expansions, n);
  }
  if (use == 3) {  // parameter entities expanding into (ignored) declarations
    dtd += "<!ENTITY % p0 \"<!ENTITY z 'q'>\">";
    uint64_t pcount = 1;
    for (uint64_t i = 1; i <= depth; ++i) {
      dtd += "<!ENTITY % p" + std::to_string(i) + " \"";
      for (uint64_t k = 0; k < fanOut; ++k) dtd += "&#37;p" + std::to_string(i - 1) + ";";
      dtd += "\">";
      pcount = Add(1, Mul(fanOut, pcount));
    }
    uint64_t n = 0;
    const std::string ptop = "%p" + std::to_string(depth) + ";";
    for (; n < std::min<uint64_t>(repeat, 1000) && fits(ptop.size()); ++n) dtd += ptop;
    in.expansions = Add(in.expansions, Mul(n, pcount));
    in.scanned = Add(in.scanned, Mul(Mul(n, pcount), 16));
  }
  in.xml = "<!DOCTYPE r [" + dtd + "]><r>" + body + "</r>";
  return in;
}

}  // namespace amplify
