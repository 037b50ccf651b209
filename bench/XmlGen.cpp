#include "bench/XmlGen.h"

#include <array>
#include <cstring>
#include <string_view>

namespace bench {

namespace {

// splitmix64: tiny, fast and the same on every platform, so a seed names
// one document everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) * n >> 32); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }

 private:
  uint64_t state_;
};

constexpr std::array<std::string_view, 48> kWords = {
    "archive", "river",   "signal",   "copper",  "lantern", "harbor",  "meadow",   "orbit",
    "quartz",  "saddle",  "timber",   "velvet",  "window",  "yonder",  "anchor",   "basalt",
    "cinder",  "delta",   "ember",    "fathom",  "granite", "hollow",  "island",   "juniper",
    "kettle",  "ledger",  "marble",   "nectar",  "oracle",  "pepper",  "quiver",   "rampart",
    "sierra",  "thistle", "umber",    "vortex",  "wander",  "xenon",   "yarrow",   "zephyr",
    "caf\xC3\xA9", "na\xC3\xAFve", "stra\xC3\x9F" "e", "\xC3\xA5ngstr\xC3\xB6m", "r\xC3\xA9sum\xC3\xA9",
    "fjord",   "gazette", "\xE6\x9D\xB1\xE4\xBA\xAC"};
constexpr std::array<std::string_view, 6> kTypes = {"book", "article", "report", "map", "score", "film"};
constexpr std::array<std::string_view, 4> kRoles = {"author", "editor", "translator", "illustrator"};
constexpr std::array<std::string_view, 3> kCurrencies = {"EUR", "USD", "GBP"};
constexpr std::array<std::string_view, 3> kStatus = {"active", "retired", "draft"};

// Buffered writer that remembers the first failure.
class Sink {
 public:
  explicit Sink(std::FILE* out) : out_(out) {}
  ~Sink() { Flush(); }
  void Put(std::string_view s) {
    if (buffer_.size() + s.size() > kFlushAt) Flush();
    buffer_.append(s);
    written_ += s.size();
  }
  void PutNumber(uint64_t n) {
    char digits[24];
    int len = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
    Put(std::string_view(digits, static_cast<size_t>(len)));
  }
  bool Flush() {
    if (!buffer_.empty() && ok_) {
      if (out_) ok_ = std::fwrite(buffer_.data(), 1, buffer_.size(), out_) == buffer_.size();
      else text_.append(buffer_);
    }
    buffer_.clear();
    return ok_;
  }
  uint64_t Written() const { return written_; }
  std::string TakeText() { Flush(); return std::move(text_); }

 private:
  static constexpr size_t kFlushAt = 1 << 20;
  std::FILE* out_;
  std::string buffer_;
  std::string text_;
  uint64_t written_ = 0;
  bool ok_ = true;
};

class Generator {
 public:
  Generator(Sink& sink, uint64_t seed) : out_(sink), random_(seed), seed_(seed) {}

  uint64_t Run(uint64_t targetBytes) {
    out_.Put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated records, seed ");
    out_.PutNumber(seed_);
    out_.Put(" -->\n<catalog xmlns=\"urn:example:catalog\" xmlns:meta=\"urn:example:meta\" version=\"2\">\n");
    static constexpr std::string_view kClose = "</catalog>\n";
    uint64_t records = 0;
    while (out_.Written() + kClose.size() < targetBytes) {
      // Every so often a group of records sits one level deeper, so the
      // root's list is wide but not the only wide list.
      if (random_.Chance(3)) {
        out_.Put("  <batch n=\"");
        out_.PutNumber(records);
        out_.Put("\">\n");
        for (uint32_t i = 0, n = 20 + random_.Below(60); i < n && out_.Written() + kClose.size() < targetBytes; ++i)
          Record(++records, 2);
        out_.Put("  </batch>\n");
      } else {
        Record(++records, 1);
      }
    }
    out_.Put(kClose);
    return records;
  }

 private:
  void Indent(int level) {
    static constexpr std::string_view kSpaces = "                                ";
    out_.Put(kSpaces.substr(0, static_cast<size_t>(std::min(level, 16)) * 2));
  }
  void Words(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      if (i > 0) out_.Put(" ");
      out_.Put(kWords[random_.Below(kWords.size())]);
    }
  }
  template <size_t N>
  std::string_view Pick(const std::array<std::string_view, N>& from) {
    return from[random_.Below(N)];
  }
  void Leaf(int level, std::string_view name, uint32_t words) {
    Indent(level);
    out_.Put("<");
    out_.Put(name);
    out_.Put(">");
    Words(words);
    out_.Put("</");
    out_.Put(name);
    out_.Put(">\n");
  }

  void Record(uint64_t id, int level) {
    Indent(level);
    out_.Put("<record id=\"r");
    out_.PutNumber(id);
    out_.Put("\" type=\"");
    out_.Put(Pick(kTypes));
    out_.Put("\" meta:status=\"");
    out_.Put(Pick(kStatus));
    out_.Put("\">\n");
    const int in = level + 1;
    Leaf(in, "title", 2 + random_.Below(4));
    for (uint32_t i = 0, n = 1 + random_.Below(3); i < n; ++i) {
      Indent(in);
      out_.Put("<creator role=\"");
      out_.Put(Pick(kRoles));
      out_.Put("\"><name>");
      Words(2);
      out_.Put("</name><born>");
      out_.PutNumber(1900 + random_.Below(110));
      out_.Put("-0");
      out_.PutNumber(1 + random_.Below(9));
      out_.Put("-1");
      out_.PutNumber(random_.Below(10));
      out_.Put("</born></creator>\n");
    }
    Indent(in);
    out_.Put("<price currency=\"");
    out_.Put(Pick(kCurrencies));
    out_.Put("\">");
    out_.PutNumber(1 + random_.Below(500));
    out_.Put(".");
    out_.PutNumber(10 + random_.Below(90));
    out_.Put("</price>\n");
    if (random_.Chance(40)) {
      Indent(in);
      out_.Put("<meta:note xml:lang=\"en\"><![CDATA[");
      Words(3);
      out_.Put(" <b>raw</b> & \"quoted\" ]]></meta:note>\n");
    }
    if (random_.Chance(30)) {
      Indent(in);
      out_.Put("<!-- reviewed ");
      Words(2);
      out_.Put(" -->\n");
    }
    // Mixed content: text runs around inline elements, with references.
    Indent(in);
    out_.Put("<summary>");
    Words(3 + random_.Below(6));
    out_.Put(" <em>");
    Words(1 + random_.Below(2));
    out_.Put("</em> ");
    Words(2 + random_.Below(4));
    out_.Put(" &amp; ");
    Words(1 + random_.Below(3));
    out_.Put(" &lt;");
    out_.PutNumber(random_.Below(1000));
    out_.Put("&gt;.</summary>\n");
    Indent(in);
    out_.Put("<tags>");
    for (uint32_t i = 0, n = random_.Below(5); i < n; ++i) {
      out_.Put("<tag>");
      Words(1);
      out_.Put("</tag>");
    }
    out_.Put("</tags>\n");
    if (random_.Chance(10)) {
      // A chain of nested sections: depth varies from record to record.
      const uint32_t depth = 2 + random_.Below(8);
      for (uint32_t d = 0; d < depth; ++d) {
        Indent(in + static_cast<int>(d));
        out_.Put("<section level=\"");
        out_.PutNumber(d + 1);
        out_.Put("\">\n");
        Leaf(in + static_cast<int>(d) + 1, "para", 3 + random_.Below(6));
      }
      for (uint32_t d = depth; d-- > 0;) {
        Indent(in + static_cast<int>(d));
        out_.Put("</section>\n");
      }
    }
    if (random_.Chance(20)) {
      Indent(in);
      out_.Put("<?render mode=\"compact\"?>\n");
    }
    Indent(in);
    out_.Put(random_.Chance(50) ? "<flags/>\n" : "<flags hidden=\"\" checked=\"yes\"/>\n");
    Indent(level);
    out_.Put("</record>\n");
  }

  Sink& out_;
  Random random_;
  uint64_t seed_;
};

}  // namespace

bool GenerateXml(std::FILE* out, uint64_t targetBytes, uint64_t seed, GenStats* stats) {
  Sink sink(out);
  Generator generator(sink, seed);
  const uint64_t records = generator.Run(targetBytes);
  const bool ok = sink.Flush() && std::fflush(out) == 0 && !std::ferror(out);
  if (stats) {
    stats->bytes = sink.Written();
    stats->records = records;
  }
  return ok;
}

std::string GenerateXmlText(uint64_t targetBytes, uint64_t seed) {
  Sink sink(nullptr);
  Generator generator(sink, seed);
  generator.Run(targetBytes);
  return sink.TakeText();
}

}  // namespace bench
