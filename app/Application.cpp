#include "app/Application.h"

#include <QMessageBox>
#include <cstdio>

#include "app/AppConst.h"
#include "rtl/Exception.h"

std::function<void(const QString&, const QString&)> TApplication::ShowErrorHook;

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

QString TApplication::ErrorMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const rtl::Exception& e) {
    return QString::fromLocal8Bit(e.Message());
  } catch (const std::exception& e) {
    return QString::fromLocal8Bit(e.what());
  } catch (...) {
    return QString::fromUtf8(SUnknownError);
  }
}

void TApplication::HandleException(std::exception_ptr error) noexcept {
  try {
    const QString title = QCoreApplication::instance() ? QCoreApplication::applicationName() : QString();
    const QString message = ErrorMessage(error);
    if (ShowErrorHook) {
      ShowErrorHook(title, message);
    } else if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
      QMessageBox::critical(QApplication::activeWindow(), title, message);
    } else {
      std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
  } catch (...) {
    // Showing the error failed as well (out of memory, say); the event loop
    // must go on regardless.
  }
}

void TApplication::Guard(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (...) {
    HandleException(std::current_exception());
  }
}
