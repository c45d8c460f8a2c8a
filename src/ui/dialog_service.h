// Every question, warning and error box of the windows goes through one
// service, so that tests answer them instead of a person clicking a real box.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>
#include <memory>

class QWidget;

namespace kestova {

class DialogService {
 public:
  virtual ~DialogService() = default;
  // A question with the given buttons; the button chosen. `safe` is the
  // default button, which Enter presses (none: the box's own choice).
  virtual QMessageBox::StandardButton Ask(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                          const QString& text, QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton safe = QMessageBox::NoButton) = 0;
  // An error box with an OK button.
  virtual void ShowError(QWidget* parent, const QString& title, const QString& text) = 0;
  // An information box with an OK button.
  virtual void Inform(QWidget* parent, const QString& title, const QString& text) = 0;
  // A line of text the user types; empty when cancelled.
  virtual QString AskText(QWidget* parent, const QString& title, const QString& label) = 0;
  // A folder chooser in which the user may also type a folder that does not
  // exist; the folder chosen, or empty when cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& start) = 0;
  // File dialogs for the template; empty when cancelled.
  virtual QString OpenFile(QWidget* parent, const QString& preset) = 0;
  virtual QString SaveFile(QWidget* parent) = 0;

  // The service in use; a test installs its own.
  static DialogService& Current();
  static void Install(std::unique_ptr<DialogService> service);
};

// Real message boxes.
class MessageBoxDialogs : public DialogService {
 public:
  QMessageBox::StandardButton Ask(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                                  QMessageBox::StandardButtons buttons,
                                  QMessageBox::StandardButton safe = QMessageBox::NoButton) override;
  void ShowError(QWidget* parent, const QString& title, const QString& text) override;
  void Inform(QWidget* parent, const QString& title, const QString& text) override;
  QString AskText(QWidget* parent, const QString& title, const QString& label) override;
  QString ChooseFolder(QWidget* parent, const QString& start) override;
  QString OpenFile(QWidget* parent, const QString& preset) override;
  QString SaveFile(QWidget* parent) override;
};

}  // namespace kestova
