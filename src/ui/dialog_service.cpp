#include "ui/dialog_service.h"

#include <QDir>
#include <QFileDialog>

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
                                                   const QString& text, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, title, text, buttons, parent);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MessageBoxDialogs::ShowError(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox::critical(parent, title, text);
}

QString MessageBoxDialogs::ChooseFolder(QWidget* parent, const QString& start) {
  QFileDialog dialog(parent, "Select Directory", QDir(start).exists() ? start : QDir::currentPath());
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().front();
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
