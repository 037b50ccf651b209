// A private X server for the tests that need the window system itself: real
// expose events, keys typed and windows closed as a user does it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace apptest {

class XServer {
 public:
  // Starts Xvfb on a display nobody uses and points DISPLAY at it. Throws
  // std::runtime_error when it does not come up.
  XServer();
  // Stops the server.
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Types the keys (X key names separated by blanks, as "Escape" or "space
// Return") into the window that has the focus, through the server's test
// extension. Returns when they are sent.
void TypeKeys(const std::string& keys);
// Types the text, character by character, into the window that has the focus.
void TypeText(const std::string& text);
// Moves the pointer to the screen position and clicks the left button.
void ClickAt(int x, int y);
// Asks the window to close as a window manager does when its close button
// is pressed (WM_DELETE_WINDOW).
void RequestClose(unsigned long window);

// Runs the program with arguments; the descriptors in closed are closed in
// the child. Returns its process id.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& closed = {});
// Waits up to seconds for the child to end; its exit status, or -1 when it
// is still running (it is then killed).
int WaitForExit(pid_t pid, double seconds);

}  // namespace apptest
