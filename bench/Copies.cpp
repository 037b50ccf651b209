#include "bench/Copies.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace bench {

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return text;
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

NameSpan FindRootName(const std::string& text) {
  // The first '<' that opens neither a declaration, a processing
  // instruction nor a comment.
  size_t element = 0;
  while ((element = text.find('<', element)) != std::string::npos &&
         (text[element + 1] == '?' || text[element + 1] == '!'))
    ++element;
  if (element == std::string::npos) throw std::runtime_error("no element in the text");
  return {element + 1, text.find_first_of(" \t\r\n/>", element)};
}

void AddDocumentType(std::string& text, const std::string& externalId) {
  size_t at = text.compare(0, 5, "<?xml") == 0 ? text.find("?>") : std::string::npos;
  at = at == std::string::npos ? 0 : at + 2;
  const NameSpan root = FindRootName(text);
  std::string line = "\n<!DOCTYPE " + text.substr(root.begin, root.end - root.begin);
  if (!externalId.empty()) line += " " + externalId;
  text.insert(at, line + ">");
}

}  // namespace bench
