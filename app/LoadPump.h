// Keeps the window alive while a load runs on the GUI thread. The load calls
// Pump often; at most every kPumpInterval it lets the window repaint and
// timers run, while user input is held off: Escape and closing the window
// cancel the load, everything else is dropped, so nothing a user does can
// reach the window mid-load.
#pragma once

#include <QObject>
#include <chrono>

class QWidget;

namespace viewer {

class TLoadPump : public QObject {
  Q_OBJECT

 public:
  // Below the document's own reporting interval, so that each of its
  // reports gets a turn.
  static constexpr std::chrono::milliseconds kPumpInterval{20};

  // window: the one whose closing cancels a load.
  explicit TLoadPump(QWidget* window);

  // Arms the pump for one load, from construction to destruction.
  class TRun {
   public:
    explicit TRun(TLoadPump& pump);
    ~TRun();
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

   private:
    TLoadPump& pump_;
  };

  // While armed: processes pending events when kPumpInterval has passed
  // since it last began to, and raises once the load is cancelled. Does
  // nothing while not armed.
  void Pump();
  // The last load was cancelled, or closing the window was asked for
  // during it.
  bool Cancelled() const { return cancelled_; }
  bool CloseRequested() const { return closeRequested_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  [[noreturn]] void RaiseCancelled() const;

  QWidget* window_;
  bool running_ = false;
  bool cancelled_ = false;
  bool closeRequested_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace viewer
