#include "app/LoadPump.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>

#include "app/AppConst.h"
#include "rtl/Exception.h"

namespace viewer {

TLoadPump::TLoadPump(QWidget* window) : QObject(window), window_(window) {}

TLoadPump::TRun::TRun(TLoadPump& pump) : pump_(pump) {
  pump_.running_ = true;
  pump_.cancelled_ = false;
  pump_.closeRequested_ = false;
  pump_.last_ = std::chrono::steady_clock::now();
  QCoreApplication::instance()->installEventFilter(&pump_);
}

TLoadPump::TRun::~TRun() {
  QCoreApplication::instance()->removeEventFilter(&pump_);
  pump_.running_ = false;
}

void TLoadPump::RaiseCancelled() const { throw rtl::Exception(SLoadCancelled); }

void TLoadPump::Pump() {
  if (!running_) return;
  if (cancelled_) RaiseCancelled();
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kPumpInterval) return;
  last_ = now;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (cancelled_) RaiseCancelled();
}

bool TLoadPump::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && (watched == window_ || watched == window_->windowHandle())) {
    cancelled_ = true;
    closeRequested_ = true;
    event->ignore();
    return true;
  }
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
    cancelled_ = true;
  // Input of every kind, and what follows from it (context menus, shortcuts,
  // composed text), goes nowhere while a load runs.
  return event->isInputEvent() || event->type() == QEvent::ContextMenu || event->type() == QEvent::Shortcut ||
         event->type() == QEvent::InputMethod || event->type() == QEvent::DragEnter ||
         event->type() == QEvent::DragMove || event->type() == QEvent::Drop;
}

}  // namespace viewer
