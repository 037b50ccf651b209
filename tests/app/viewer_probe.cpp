// The viewer program for tests: the program's own start-up and window, which
// once the event loop runs loads FILE as if it had been chosen in the
// dialog, then closes the window. It reports to the file RESULT, a line at a
// time: "window ID", "loading", "error MESSAGE" for an error shown, and
// "loaded C1 C2 C3 C4 C5 C6 items N" with the six counter labels and the
// tree's item count after the load (also after a cancelled one).
//
//   viewer_probe FILE RESULT
#include <QGuiApplication>
#include <QLabel>
#include <QTimer>

#include <cstdio>
#include <string>

#include "app/Application.h"
#include "app/Program.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"

namespace {

void Report(const std::string& path, const std::string& line) {
  if (std::FILE* f = std::fopen(path.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string file = argv[1];
  const std::string result = argv[2];
  return viewer::RunProgram(argc, argv, [&](TForm1& form) {
    Report(result, "window " + std::to_string(form.winId()));
    QTimer::singleShot(0, &form, [&] {
      TApplication::ShowErrorHook = [&](const QString&, const QString& message) {
        Report(result, "error " + message.toStdString());
      };
      Report(result, "loading");
      TApplication::Guard([&] { form.LoadXMLFile(file); });
      // A display connection spoilt by stray output breaks at the next
      // round trip.
      QGuiApplication::sync();
      std::string loaded = "loaded";
      for (QLabel* label : {form.Label7, form.Label8, form.Label9, form.Label10, form.Label11, form.Label12})
        loaded += " " + label->text().toStdString();
      Report(result, loaded + " items " + std::to_string(form.TreeModel()->ItemCount()));
      form.close();
    });
  });
}
