// The main window's redirection template editor: loading and saving the
// template file, the placeholder inserts, the unsaved-changes question and
// the pop-up menu's states.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTextStream>

#include "ui/dialog_service.h"
#include "ui/main_form.h"

namespace kestova {

void MainForm::SetTemplateMarked(bool changed) {
  QFont font = html_file_->font();
  font.setBold(changed);
  html_file_->setFont(font);
}

void MainForm::LoadTemplate(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    DialogService::Current().ShowError(this, "Kestova", "Cannot open file " + path);
    return;
  }
  const bool loading = profile_.Loading;
  profile_.Loading = true;
  // The template is plain 8-bit text, kept byte for byte.
  QString text = QString::fromLocal8Bit(file.readAll());
  text.replace("\r\n", "\n");
  // The file's last line end closes its last line; saving adds it back, so a
  // load and a save leave the file as it was.
  if (text.endsWith('\n')) text.chop(1);
  html_->setPlainText(text);
  html_->document()->setModified(false);
  profile_.Loading = loading;
  SetTemplateMarked(false);
}

bool MainForm::Save() {
  QFile file(html_file_->text());
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    DialogService::Current().ShowError(this, "Kestova", "Cannot create file " + html_file_->text());
    return false;
  }
  // Every line, the last one included, ends with CR LF.
  QByteArray bytes;
  for (const QString& line : html_->toPlainText().split('\n')) bytes += line.toLocal8Bit() + "\r\n";
  file.write(bytes);
  html_->document()->setModified(false);
  SetTemplateMarked(false);
  return true;
}

bool MainForm::SaveAs() {
  const QString path = DialogService::Current().SaveFile(this);
  if (path.isEmpty()) return false;
  html_file_->setText(path);
  profile_.HTMLFile = path.toLocal8Bit().toStdString();
  profile_.SaveRegistry(profile_.GetCurrentProfile());
  return Save();
}

bool MainForm::ConfirmTemplateSaved() {
  if (!html_->document()->isModified()) return true;
  const auto answer = DialogService::Current().Ask(this, QMessageBox::Warning, "Warning",
                                                   "HTML has been changed. Save before continuing?",
                                                   QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  if (answer == QMessageBox::Cancel) return false;
  // A save that fails stops what asked, so the text is not lost.
  if (answer == QMessageBox::Yes) return Save();
  return true;
}

void MainForm::HTMLFileBtnClick() {
  const QString chosen = DialogService::Current().OpenFile(this, html_file_->text());
  if (chosen.isEmpty()) return;
  if (!ConfirmTemplateSaved()) return;
  if (!QFile::exists(chosen)) return;
  html_file_->setText(chosen);
  profile_.HTMLFile = chosen.toLocal8Bit().toStdString();
  profile_.SaveRegistry(profile_.GetCurrentProfile());
  LoadTemplate(chosen);
}

void MainForm::Insert(const QString& placeholder) { html_->insertPlainText(placeholder); }

void MainForm::UpdateMenuStates() {
  const bool selection = html_->textCursor().hasSelection();
  const bool text = !html_->toPlainText().isEmpty();
  for (QAction* action : menu_actions_) {
    const QString caption = action->text();
    if (caption == "Cu&t" || caption == "&Copy") action->setEnabled(selection);
    if (caption == "&Paste") action->setEnabled(!QApplication::clipboard()->text().isEmpty());
    if (caption == "Select &All" || caption == "C&lear All") action->setEnabled(text);
    if (caption == "&Save") action->setEnabled(html_->document()->isModified());
  }
}

}  // namespace kestova
