// The application object: the one place where an error that escapes an
// event handler is shown to the user.
#pragma once

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>

class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);

  // Delivers the event; an exception escaping its handler is shown through
  // HandleException and the event counts as not handled.
  bool notify(QObject* receiver, QEvent* event) override;

  // Shows the message of the exception (the runtime exception's message, a
  // standard exception's what(), or a fixed text for anything else). Safe to
  // call without an application object; never throws.
  static void HandleException(std::exception_ptr error) noexcept;
  // Runs handler and hands any exception it raises to HandleException.
  static void Guard(const std::function<void()>& handler) noexcept;
  // The text HandleException shows for error.
  static QString ErrorMessage(std::exception_ptr error);

  // Replaces the modal error box (title, message); tests capture messages
  // through it. Empty restores the box.
  static std::function<void(const QString& title, const QString& message)> ShowErrorHook;
};
