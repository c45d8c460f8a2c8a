#include "ui/upload_form.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/dialog_service.h"

namespace kestova {

namespace {
constexpr int kTrimAt = 500;
constexpr int kKeptHead = 50;
constexpr int kTrimmed = 100;
}  // namespace

UploadForm::UploadForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Upload to Web Site");
  setModal(true);
  resize(470, 273);
  setMinimumSize(320, 200);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  progress_ = new QPlainTextEdit(this);
  progress_->setObjectName("Progress");
  QFont fixed("Courier New");
  fixed.setStyleHint(QFont::Monospace);
  fixed.setPointSize(8);
  progress_->setFont(fixed);
  progress_->setLineWrapMode(QPlainTextEdit::NoWrap);
  progress_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // The log is only ever appended to and trimmed; a history of those edits
  // would grow with every line of a long run, trimmed or not.
  progress_->setUndoRedoEnabled(false);
  layout->addWidget(progress_, 1);
  // Under the log, and never in it: how far the run has got.
  status_ = new QLabel(this);
  status_->setObjectName("Status");
  status_->setContentsMargins(4, 0, 4, 0);
  layout->addWidget(status_);
  copy_ = new QPushButton("&Copy log to clipboard", this);
  copy_->setObjectName("CopyBtn");
  QFont bold = copy_->font();
  bold.setBold(true);
  bold.setPointSize(12);
  copy_->setFont(bold);
  copy_->setMinimumHeight(29);
  copy_->setAutoDefault(false);
  layout->addWidget(copy_);
  connect(copy_, &QPushButton::clicked, this, &UploadForm::CopyBtnClick);
  progress_->viewport()->installEventFilter(this);
}

// A double-click in the log asks the server for its working directory; the
// client refuses while another request of the run is waiting.
bool UploadForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == progress_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    if (Settings.SiteClient) Settings.SiteClient->Pwd();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

bool UploadForm::Terminated() const { return terminated_; }

void UploadForm::AddLine(const QString& line) {
  progress_->appendPlainText(line);
  TrimLog();
}

// At 500 lines the log drops back to 400: the line at index 50 is deleted a
// hundred times, so the first fifty lines (the banner and the first
// connection) always stay.
void UploadForm::TrimLog() {
  QTextDocument* document = progress_->document();
  if (document->blockCount() < kTrimAt) return;
  QTextCursor cursor(document->findBlockByNumber(kKeptHead));
  cursor.setPosition(document->findBlockByNumber(kKeptHead + kTrimmed).position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void UploadForm::CopyBtnClick() { QApplication::clipboard()->setText(progress_->toPlainText()); }

void UploadForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  terminated_ = false;
  const bool test_run = Profile && Profile->TestRun();
  setWindowTitle(test_run ? "Upload - *** Test Only *** - No writing takes place..." : "Upload to web site");
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    setGeometry(area.left() + 2, geometry().top(), area.width() - 4, height());
  }
  // The run starts as soon as the window is up, inside its own event loop.
  QTimer::singleShot(0, this, &UploadForm::StartUpload);
}

void UploadForm::UpdateStatus() {
  if (!Settings.SiteClient) return;
  const qint64 seconds = elapsed_.isValid() ? elapsed_.elapsed() / 1000 : 0;
  status_->setText(QString("%1:%2  |  %3 files sent  |  %4 bytes sent  |  folder %5")
                       .arg(seconds / 60)
                       .arg(seconds % 60, 2, 10, QChar('0'))
                       .arg(files_sent_)
                       .arg(bytes_sent_)
                       .arg(QString::fromStdString(Settings.SiteClient->HostDirName)));
}

void UploadForm::StartUpload() {
  if (running_ || !Profile || !Settings.SiteClient) return;
  running_ = true;
  terminated_ = false;
  outcome_.reset();
  files_sent_ = 0;
  bytes_sent_ = 0;
  progress_->clear();
  elapsed_.start();
  QTimer status_timer;
  connect(&status_timer, &QTimer::timeout, this, &UploadForm::UpdateStatus);
  status_timer.start(500);
  Upload run(Settings, *Profile, [this](const std::string& line) { AddLine(QString::fromStdString(line)); });
  // The counts come from what the run reports, not from its log's wording.
  run.OnEvent = [this](const RunEvent& event) {
    if (event.kind != RunEvent::Kind::FileSent) return;
    ++files_sent_;
    bytes_sent_ += event.bytes;
  };
  run_ = &run;
  try {
    outcome_ = run.StartUpload();
  } catch (const std::exception& error) {
    // An error that escapes the run is shown; the window stays usable.
    outcome_ = RunOutcome::Failed;
    DialogService::Current().ShowError(this, "Kestova", QString::fromStdString(error.what()));
  }
  // A run that ended terminated (by Esc or by a failure) closes on one Esc.
  if (run.Terminated() || outcome_ == RunOutcome::Terminated) terminated_ = true;
  run_ = nullptr;
  running_ = false;
  UpdateStatus();
  if (run.RefusedCertificate().verdict != CertificateCheck::Verdict::None) OfferTrust(run.RefusedCertificate());
}

// The run stopped at a certificate that does not verify: the user may trust
// it (after comparing its fingerprint) and run again at once.
void UploadForm::OfferTrust(const CertificateCheck& refused) {
  if (!TrustCertificate) return;
  QString text = QString::fromStdString(RefusalLine(refused)) + ".\n\n";
  for (const std::string& line : DescribeCertificate(refused)) text += QString::fromStdString(line) + "\n";
  text +=
      "\nCompare the fingerprint with the one your host gives. Trust this certificate for this site and run "
      "again?";
  if (DialogService::Current().Ask(this, QMessageBox::Warning, "Untrusted certificate", text,
                                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  TrustCertificate(refused.certificate.fingerprint);
  QTimer::singleShot(0, this, &UploadForm::StartUpload);
}

void UploadForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    if (terminated_) {
      close();
    } else {
      terminated_ = true;
      if (run_) run_->Terminate();
    }
    return;
  }
  if (event->key() == Qt::Key_F1) {
    if (ShowHelpPage) ShowHelpPage();
    return;
  }
  QDialog::keyPressEvent(event);
}

void UploadForm::reject() {
  // Esc is handled above; the close box ends a run first.
  terminated_ = true;
  if (run_) run_->Terminate();
  QDialog::reject();
}

void UploadForm::closeEvent(QCloseEvent* event) {
  terminated_ = true;
  if (run_) run_->Terminate();
  if (!running_ && Settings.SiteClient && Settings.SiteClient->Connected()) Settings.SiteClient->Quit();
  QDialog::closeEvent(event);
}

}  // namespace kestova
