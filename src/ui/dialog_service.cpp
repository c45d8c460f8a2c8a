#include "ui/dialog_service.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>

namespace kestova {

namespace {
std::unique_ptr<DialogService>& Slot() {
  static std::unique_ptr<DialogService> service = std::make_unique<MessageBoxDialogs>();
  return service;
}
}  // namespace

DialogService& DialogService::Current() { return *Slot(); }

void DialogService::Install(std::unique_ptr<DialogService> service) { Slot() = std::move(service); }

QMessageBox::StandardButton MessageBoxDialogs::Ask(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                                   const QString& text, QMessageBox::StandardButtons buttons,
                                                   QMessageBox::StandardButton safe) {
  QMessageBox box(icon, title, text, buttons, parent);
  // The texts carry names from listings and servers' replies: never markup.
  box.setTextFormat(Qt::PlainText);
  if (safe != QMessageBox::NoButton) {
    box.setDefaultButton(safe);
    box.setEscapeButton(safe);
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MessageBoxDialogs::ShowError(QWidget* parent, const QString& title, const QString& text) {
  Ask(parent, QMessageBox::Critical, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

void MessageBoxDialogs::Inform(QWidget* parent, const QString& title, const QString& text) {
  Ask(parent, QMessageBox::Information, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

QString MessageBoxDialogs::AskText(QWidget* parent, const QString& title, const QString& label) {
  bool ok = false;
  const QString text = QInputDialog::getText(parent, title, label, QLineEdit::Normal, QString(), &ok);
  return ok ? text : QString();
}

namespace {

// Qt's folder chooser refuses a typed folder that does not exist; this one
// returns it, so that the caller can offer to create it.
class FolderChooser : public QFileDialog {
 public:
  FolderChooser(QWidget* parent, const QString& start) : QFileDialog(parent, "Select Directory", start) {
    setFileMode(QFileDialog::Directory);
    setOption(QFileDialog::ShowDirsOnly);
    setOption(QFileDialog::DontUseNativeDialog);
  }
  QString chosen;

  void accept() override {
    const auto* typed = findChild<QLineEdit*>("fileNameEdit");
    const QString text = typed ? typed->text().trimmed() : QString();
    if (!text.isEmpty()) {
      const QString path = QDir::isAbsolutePath(text) ? text : directory().absoluteFilePath(text);
      if (!QFileInfo::exists(path)) {
        chosen = QDir::cleanPath(path);
        QDialog::accept();
        return;
      }
    }
    QFileDialog::accept();
    if (result() == QDialog::Accepted && !selectedFiles().isEmpty()) chosen = selectedFiles().front();
  }
};

// The folder itself when it exists, else the nearest folder above it.
QString ExistingFolder(const QString& start) {
  QString folder = start.isEmpty() ? QDir::currentPath() : QDir::cleanPath(QDir(start).absolutePath());
  while (!QDir(folder).exists() && folder != "/") folder = QFileInfo(folder).path();
  return folder;
}

}  // namespace

QString MessageBoxDialogs::ChooseFolder(QWidget* parent, const QString& start) {
  FolderChooser dialog(parent, ExistingFolder(start));
  if (dialog.exec() != QDialog::Accepted) return QString();
  return dialog.chosen;
}

namespace {
const char* const kFilters = "HTML Files (*.htm *.html);;Text Files (*.txt);;All Files (*)";
}  // namespace

QString MessageBoxDialogs::OpenFile(QWidget* parent, const QString& preset) {
  QFileDialog dialog(parent, "Open", preset, kFilters);
  dialog.setDefaultSuffix("htm");
  dialog.setFileMode(QFileDialog::AnyFile);  // a typed name that does not exist is ignored by the caller
  dialog.selectFile(preset);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().front();
}

QString MessageBoxDialogs::SaveFile(QWidget* parent) {
  QFileDialog dialog(parent, "Save As", QString(), kFilters);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("htm");
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().front();
}

}  // namespace kestova
