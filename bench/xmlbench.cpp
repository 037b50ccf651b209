// xmlbench FILE [TRACEFILE]: how fast and lean the viewer loads FILE, beside
// two floors: Xerces-C++ alone with the library's settings scanning it
// (SAX2, nothing kept) and parsing it into its own DOM.
//
// The floors run first, each in a forked child. Then, in this process, the
// viewer's whole load (LoadXMLFile on an offscreen window, the trace going
// to TRACEFILE through standard output) and its first paint; then the same
// load again in stages on a fresh window: document load, walk and tree fill,
// expansion; then on a third window a plain walk of the loaded document
// through the public interfaces and the document's closing after it.
// Each stage starts with the heap trimmed and the resident
// high-water mark reset, and reports the peak it added over its start.
// Last, what the process holds after a document is closed and after a load
// fails (a well-formedness error near the end of a copy of FILE, and an
// expansion refused), against what it held before, untrimmed.
// "ratio-dt" gives the window's whole load of a copy of FILE with a document
// type over that of FILE itself, the two run by turns on fresh windows late
// in the run ("total-dt", "total-pl"), so that both meet the same heap, and
// each goes first in every other pair. The two differ by a few percent at
// most, less than loads of either differ from minute to minute on a shared
// machine, so at least five pairs run however few runs are asked for.
// "ratio-walk" gives the plain walk's CPU over the scan's, its added peak
// over the file's size and the closing's CPU over the scan's.
// The last line is "ratio time=X.XX memory=Y.YY", the whole load over the
// scan (wall time; added peak); "ratio-dom" lines compare with the DOM
// parse. With --runs N the floors and the whole load run N times each and
// the fastest of each counts, and so do the document load's, the plain
// walk's, the loads with a document type and the edit's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"
#include "bench/Copies.h"
#include "bench/Floor.h"
#include "bench/Measure.h"
#include "rtl/TextConv.h"
#include "tests/support/PlainWalk.h"
#include "xml/XMLDoc.h"

namespace {

std::FILE* gReport = stdout;

void Report(const std::string& line) {
  std::fprintf(gReport, "%s\n", line.c_str());
  std::fflush(gReport);
}

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(gReport, "xmlbench: %s\n", text.c_str());
  std::fflush(gReport);
  std::_Exit(1);
}

// Standard output becomes the trace file; the report goes to what standard
// output was. Done before anything writes to standard output, so the trace
// is buffered as it is when the viewer's output is redirected to a file.
void RedirectTrace(const std::string& tracePath) {
  const int saved = dup(STDOUT_FILENO);
  if (saved < 0) Die(std::string("dup: ") + std::strerror(errno));
  gReport = fdopen(saved, "w");
  if (!gReport) Die(std::string("fdopen: ") + std::strerror(errno));
  const int trace = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (trace < 0) Die("cannot create " + tracePath + ": " + std::strerror(errno));
  if (dup2(trace, STDOUT_FILENO) < 0) Die(std::string("dup2: ") + std::strerror(errno));
  close(trace);
}

int64_t FileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

std::string Counters(TForm1& form) {
  std::string text = "counters";
  for (QLabel* label : {form.Label7, form.Label8, form.Label9, form.Label10, form.Label11, form.Label12})
    text.append(" ").append(label->text().toStdString());
  text.append(" items=").append(std::to_string(form.TreeModel()->ItemCount()));
  text.append(" rows=").append(std::to_string(form.TreeModel()->rowCount()));
  return text;
}

// Lets the window lay out and paint what the load left in the view.
void Paint(TForm1& form) {
  form.TreeView1->doItemsLayout();
  form.repaint();
  QApplication::processEvents();
}

// A copy of path with a mismatched end tag before its last tag: a document
// that fails near its end, after nearly all of it was built.
std::string WriteBrokenCopy(const std::string& path, const std::string& to) {
  std::string text = bench::ReadFileText(path);
  const size_t last = text.rfind('<');
  if (last == std::string::npos) Die("no markup in " + path);
  text.insert(last, "<broken></mismatch>");
  bench::WriteFileText(to, text);
  return to;
}

// A small document whose entities expand to far more than the budget of
// expansion allows.
std::string WriteExpansionBomb(const std::string& to) {
  std::string text = "<!DOCTYPE r [\n<!ENTITY e0 \"0123456789abcdef0123456789abcdef\">\n";
  for (int i = 1; i < 10; ++i) {
    text += "<!ENTITY e" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) text += "&e" + std::to_string(i - 1) + ";";
    text += "\">\n";
  }
  text += "]>\n<r>&e9;</r>\n";
  bench::WriteFileText(to, text);
  return to;
}

// A copy of path with a document type naming its first element (no
// declarations) after the XML declaration: what most formats with a
// document type carry.
std::string WriteTypedCopy(const std::string& path, const std::string& to) {
  std::string text = bench::ReadFileText(path);
  bench::AddDocumentType(text, "");
  bench::WriteFileText(to, text);
  return to;
}

// Every node through the public interfaces, as any caller of the document
// layer reads a document: each node's name, its attributes with their
// names and text, its child list. Holds only the child lists it is going
// through. Returns the nodes seen and the characters read, so that nothing
// is left out.
struct WalkCount {
  uint64_t nodes = 0;
  uint64_t chars = 0;
};

// Out of line, so that a profile can be limited to it.
[[gnu::noinline]] WalkCount PlainWalk(const rtl::ComPtr<IXMLNode>& root) {
  WalkCount seen;
  plainwalk::WalkNodes(root, [&](const rtl::ComPtr<IXMLNode>& node) {
    ++seen.nodes;
    seen.chars += node->GetNodeName().size();
    const rtl::ComPtr<IXMLNodeList> attributes = node->GetAttributeNodes();
    for (int32_t j = 0, n = attributes->GetCount(); j < n; ++j) {
      const rtl::ComPtr<IXMLNode> attribute = attributes->Get(j);
      ++seen.nodes;
      seen.chars += attribute->GetNodeName().size() + attribute->GetText().size();
    }
  });
  return seen;
}

// Resident size before a document is loaded into a fresh window (heap
// trimmed), at its peak, and after it is closed or its load failed (as the
// library and the layers above left it: not trimmed here).
struct GivenBack {
  int64_t before = 0;
  int64_t peak = 0;
  int64_t after = 0;
  int64_t trimmed = 0;  // after, once the benchmark trimmed the heap itself
  bool failed = false;
};

GivenBack LoadAndClose(const std::string& path) {
  GivenBack r;
  TForm1 form;
  bench::TrimHeap();
  bench::ResetPeak();
  r.before = bench::ReadMemory().rss;
  try {
    form.XMLDocument1->LoadFromFile(rtl::NarrowToWide(path));
  } catch (...) {
    r.failed = true;
  }
  form.XMLDocument1->SetActive(false);
  const bench::MemoryReading m = bench::ReadMemory();
  r.peak = m.hwm;
  r.after = m.rss;
  bench::TrimHeap();
  r.trimmed = bench::ReadMemory().rss;
  return r;
}

std::string FormatGivenBack(const char* name, const GivenBack& r) {
  const auto mb = [](int64_t b) { return static_cast<double>(b) / (1024.0 * 1024.0); };
  char line[256];
  std::snprintf(line, sizeof line, "%-8s before=%.1fMB peak=%.1fMB after=%.1fMB held=%.1fMB trimmed=%.1fMB after/before=%.3f",
                name, mb(r.before), mb(r.peak), mb(r.after), mb(r.after - r.before), mb(r.trimmed),
                r.before > 0 ? static_cast<double>(r.after) / static_cast<double>(r.before) : 0.0);
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  // --runs N repeats the floors and the whole load N times and keeps each
  // one's fastest run: on a shared machine the fastest is the one least
  // disturbed by others. The peaks are those of the first runs.
  const int runs = bench::TakeRuns(argc, argv);
  if (argc < 2 || argc > 3 || runs == 0) {
    std::fprintf(stderr, "usage: xmlbench [--runs N] FILE [TRACEFILE]\n");
    return 2;
  }
  const std::string file = argv[1];
  if (FileSize(file) < 0) {
    std::fprintf(stderr, "xmlbench: cannot read %s\n", file.c_str());
    return 1;
  }
  const bool keepTrace = argc == 3;
  const std::string tracePath =
      keepTrace ? argv[2] : "/tmp/xmlbench-" + std::to_string(getpid()) + ".trace";
  RedirectTrace(tracePath);

  std::setlocale(LC_ALL, "");
  rtl::ResetLocaleCache();
  setenv("QT_QPA_PLATFORM", "offscreen", 0);

  const bool peakResets = bench::ResetPeak();
  if (!peakResets) Report("warning: the resident peak cannot be reset here; later stages include earlier peaks");

  char host[256] = "";
  gethostname(host, sizeof host - 1);
  Report("file " + file + " bytes=" + std::to_string(FileSize(file)) + " cores=" +
         std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " runs=" + std::to_string(runs));
  if (std::FILE* load = std::fopen("/proc/loadavg", "r")) {
    char text[128] = "";
    if (std::fgets(text, sizeof text, load)) Report(std::string("loadavg ") + strtok(text, "\n"));
    std::fclose(load);
  }

  // A stage run runs times: the fastest times, with the first run's peak
  // (later runs meet the heap the earlier ones left).
  const auto fastestOf = [runs](const std::function<bench::StageResult()>& stage) {
    bench::StageResult best = stage();
    for (int run = 1; run < runs; ++run) best.KeepFastest(stage());
    return best;
  };

  // Both floors, each the fastest of runs fresh children.
  const auto fastest = [runs](bench::FloorResult (*measure)(const std::string&), const std::string& path,
                              const char* name) {
    bench::FloorResult best = measure(path);
    if (!best.ok) Die(std::string(name) + ": " + best.error);
    for (int run = 1; run < runs; ++run) {
      const bench::FloorResult again = measure(path);
      if (!again.ok) Die(std::string(name) + ": " + again.error);
      best.stage.KeepFastest(again.stage);
    }
    return best;
  };
  const bench::FloorResult scan = fastest(bench::MeasureScanInChild, file, "scan");
  const bench::FloorResult floor = fastest(bench::MeasureFloorInChild, file, "dom");
  if (scan.elements != floor.elements || scan.attributes != floor.attributes)
    Report("warning: the scan saw " + std::to_string(scan.elements) + " elements and " + std::to_string(scan.attributes) +
           " attributes, the DOM parse other counts");
  const uint64_t nodes = floor.nodes;
  Report("nodes " + std::to_string(nodes) + " (elements " + std::to_string(floor.elements) + ", attributes " +
         std::to_string(floor.attributes) + ", whitespace-only texts " + std::to_string(floor.whitespaceTexts) + ")");
  Report(bench::FormatStage("scan", scan.stage, nodes) + "  [SAX2 scan, forked child, run first]");
  Report(bench::FormatStage("dom", floor.stage, nodes) + "  [Xerces DOM parse, forked child]");

  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  bench::StageResult total, paint, load, fill, expand;
  int64_t traceBytes = -1;
  try {
    {
      TForm1 form;
      form.show();
      QApplication::processEvents();
      const bench::StageTimer timer;
      form.LoadXMLFile(file);
      total = timer.Stop();
      traceBytes = FileSize(tracePath);
      const bench::StageTimer paintTimer;
      Paint(form);
      paint = paintTimer.Stop();
      Report(Counters(form));
      for (int run = 1; run < runs; ++run) {
        // Each run starts as the first did, from an empty window and a heap
        // given back to the system, so none reuses the last run's pages.
        form.TreeModel()->Clear();
        form.XMLDocument1->SetActive(false);
        const bench::StageTimer again;
        form.LoadXMLFile(file);
        const bench::StageResult r = again.Stop();
        total.KeepFastest(r);
      }
    }
    {
      TForm1 form;
      viewer::TXMLTreeModel& model = *form.TreeModel();
      // The document load alone, each run from a closed document.
      load = fastestOf([&] {
        form.XMLDocument1->SetActive(false);
        const bench::StageTimer loadTimer;
        form.XMLDocument1->LoadFromFile(rtl::NarrowToWide(file));
        return loadTimer.Stop();
      });
      const bench::StageTimer fillTimer;
      model.BeginUpdate();
      const int fileItem = model.AddItem(viewer::TXMLTreeModel::kNoItem, u"file");
      model.SetImageIndex(fileItem, 0);
      form.AddNodeItems(fileItem, form.XMLDocument1->GetDocumentElement(), ikRoot);
      model.EndUpdate();
      std::fflush(stdout);
      fill = fillTimer.Stop();
      const bench::StageTimer expandTimer;
      model.ExpandAll();
      expand = expandTimer.Stop();
    }
  } catch (...) {
    Die("load failed: " + bench::Message(std::current_exception()));
  }
  // The document read as any caller of the layer reads it, then freed.
  bench::StageResult walk, freed;
  WalkCount walked;
  try {
    TForm1 form;
    form.XMLDocument1->LoadFromFile(rtl::NarrowToWide(file));
    // The walk leaves the document as it found it: each run walks the same.
    walk = fastestOf([&] {
      const bench::StageTimer walkTimer;
      walked = PlainWalk(form.XMLDocument1->GetDocumentElement());
      return walkTimer.Stop();
    });
    const bench::StageTimer freeTimer;
    form.XMLDocument1->SetActive(false);
    freed = freeTimer.Stop();
  } catch (...) {
    Die("plain walk failed: " + bench::Message(std::current_exception()));
  }

  Report(bench::FormatStage("load", load, nodes) + "  [TXMLDocument::LoadFromFile]");
  Report(bench::FormatStage("fill", fill, nodes) + "  [walk and tree fill, trace]");
  Report(bench::FormatStage("expand", expand, nodes) + "  [ExpandAll]");
  Report(bench::FormatStage("walk", walk, nodes) + "  [plain walk through IXMLNode, IXMLNodeList: " +
         std::to_string(walked.nodes) + " nodes, " + std::to_string(walked.chars) + " characters]");
  Report(bench::FormatStage("free", freed, nodes) + "  [document closed after the plain walk]");
  Report(bench::FormatStage("total", total, nodes) + "  [LoadXMLFile, trace to file]");
  Report(bench::FormatStage("paint", paint, nodes) + "  [first layout and paint after the load]");
  Report("trace " + std::to_string(traceBytes) + " bytes from LoadXMLFile" + (keepTrace ? " in " + tracePath : ""));
  if (!keepTrace) std::remove(tracePath.c_str());

  // What is given back once a document is closed, or its load failed.
  GivenBack closed, broken, refused;
  const std::string scratch = "/tmp/xmlbench-" + std::to_string(getpid());
  try {
    closed = LoadAndClose(file);
    broken = LoadAndClose(WriteBrokenCopy(file, scratch + "-broken.xml"));
    refused = LoadAndClose(WriteExpansionBomb(scratch + "-bomb.xml"));
  } catch (...) {
    Die("close stage failed: " + bench::Message(std::current_exception()));
  }
  std::remove((scratch + "-broken.xml").c_str());
  std::remove((scratch + "-bomb.xml").c_str());
  if (closed.failed || !broken.failed || !refused.failed) Die("the close stages did not load and fail as meant");
  Report(FormatGivenBack("closed", closed) + "  [LoadFromFile, then closed]");
  Report(FormatGivenBack("broken", broken) + "  [load failing near the end of a copy]");
  Report(FormatGivenBack("refused", refused) + "  [expansion over the budget]");

  // The same file with a document type: the library's load alone and the
  // window's whole load. Then the file opened, one element added to its
  // document element, and saved to a file. Each the fastest of runs, as the
  // plain load.
  bench::StageResult typedLoad, typedTotal, plainTotal, edit;
  try {
    const std::string typed = WriteTypedCopy(file, scratch + "-typed.xml");
    typedLoad = fastestOf([&] {
      TForm1 form;
      const bench::StageTimer timer;
      form.XMLDocument1->LoadFromFile(rtl::NarrowToWide(typed));
      return timer.Stop();
    });
    // The window's load of the two variants by turns, so that both meet
    // the same heap: the first whole load ran in a fresh process.
    const auto windowLoad = [](const std::string& path) {
      TForm1 form;
      form.show();
      QApplication::processEvents();
      const bench::StageTimer timer;
      form.LoadXMLFile(path);
      return timer.Stop();
    };
    // Which goes first changes from run to run: the second of a pair meets
    // the heap the first left.
    constexpr int kFewestPairs = 5;
    for (int run = 0; run < std::max(runs, kFewestPairs); ++run) {
      bench::StageResult plain, withType;
      if (run % 2 == 0) {
        plain = windowLoad(file);
        withType = windowLoad(typed);
      } else {
        withType = windowLoad(typed);
        plain = windowLoad(file);
      }
      if (run == 0) {
        plainTotal = plain;
        typedTotal = withType;
      } else {
        plainTotal.KeepFastest(plain);
        typedTotal.KeepFastest(withType);
      }
    }
    std::remove(typed.c_str());
    edit = fastestOf([&] {
      TForm1 form;
      const bench::StageTimer timer;
      form.XMLDocument1->LoadFromFile(rtl::NarrowToWide(file));
      form.XMLDocument1->GetDocumentElement()->AddChild(u"added");
      form.XMLDocument1->SaveToFile(rtl::NarrowToWide(scratch + "-saved.xml"));
      return timer.Stop();
    });
    std::remove((scratch + "-saved.xml").c_str());
  } catch (...) {
    Die("document type or edit stage failed: " + bench::Message(std::current_exception()));
  }
  Report(bench::FormatStage("load-dt", typedLoad, nodes) + "  [TXMLDocument::LoadFromFile, with a document type]");
  Report(bench::FormatStage("total-pl", plainTotal, nodes) + "  [LoadXMLFile, by turns with total-dt]");
  Report(bench::FormatStage("total-dt", typedTotal, nodes) + "  [LoadXMLFile, with a document type]");
  Report(bench::FormatStage("edit", edit, nodes) + "  [LoadFromFile, one element added, SaveToFile]");

  const auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
  const auto added = [](const bench::StageResult& r) { return static_cast<double>(r.Added()); };
  const double bytes = static_cast<double>(FileSize(file));
  char line[128];
  std::snprintf(line, sizeof line, "ratio-file memory=%.2f", ratio(added(total), bytes));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-load cpu=%.2f memory=%.2f dt-cpu=%.2f dt-memory=%.2f",
                ratio(load.cpu, scan.stage.cpu), ratio(added(load), bytes), ratio(typedLoad.cpu, scan.stage.cpu),
                ratio(added(typedLoad), bytes));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-dt total-cpu=%.2f", ratio(typedTotal.cpu, plainTotal.cpu));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-edit cpu=%.2f memory=%.2f", ratio(edit.cpu, scan.stage.cpu),
                ratio(added(edit), bytes));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-walk time=%.2f memory=%.2f free=%.2f", ratio(walk.cpu, scan.stage.cpu),
                ratio(added(walk), bytes), ratio(freed.cpu, scan.stage.cpu));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-dom-cpu time=%.2f", ratio(total.cpu, floor.stage.cpu));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-dom time=%.2f memory=%.2f", ratio(total.wall, floor.stage.wall),
                ratio(added(total), added(floor.stage)));
  Report(line);
  std::snprintf(line, sizeof line, "ratio-cpu time=%.2f", ratio(total.cpu, scan.stage.cpu));
  Report(line);
  std::snprintf(line, sizeof line, "ratio time=%.2f memory=%.2f", ratio(total.wall, scan.stage.wall),
                ratio(added(total), added(scan.stage)));
  Report(line);
  return 0;
}
