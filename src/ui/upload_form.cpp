#include "ui/upload_form.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <ctime>

#include "ui/dialog_service.h"
#include "ui/window_places.h"

namespace kestova {

namespace {

// The loaded profile as a test run sees it: the same in all but that.
class TestRunView : public ProfileView {
 public:
  explicit TestRunView(const ProfileView& base) : base_(base) {}
  bool TestRun() const override { return true; }
  bool ExclFrontPage() const override { return base_.ExclFrontPage(); }
  bool NewChanges() const override { return base_.NewChanges(); }
  std::string AutoDetectExts() const override { return base_.AutoDetectExts(); }
  std::string NewURL() const override { return base_.NewURL(); }
  std::string OldURL() const override { return base_.OldURL(); }
  std::vector<std::string> TemplateLines() const override { return base_.TemplateLines(); }
  std::string ProfileName() const override { return base_.ProfileName(); }

 private:
  const ProfileView& base_;
};

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
  // Stray keys must not change the log that Copy log copies and the saved
  // copy keeps; it can still be selected and copied.
  progress_->setReadOnly(true);
  progress_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  layout->addWidget(progress_, 1);
  // Under the log, and never in it: how far the run has got.
  status_ = new QLabel(this);
  status_->setObjectName("Status");
  status_->setContentsMargins(4, 0, 4, 0);
  status_->setWordWrap(true);
  layout->addWidget(status_);
  // Beside the log and the copy button: how far the run is, a button that
  // does what Esc does, and the folder of the saved logs.
  auto* row = new QHBoxLayout;
  row->setContentsMargins(4, 0, 4, 0);
  bar_ = new QProgressBar(this);
  bar_->setObjectName("ProgressBar");
  bar_->setRange(0, 1);
  bar_->setValue(0);
  bar_->setFormat(QString());
  bar_->setToolTip("Files of the local folder the run has dealt with, bytes sent, and the time left at this pace");
  stop_ = new QPushButton("Stop", this);
  stop_->setObjectName("StopBtn");
  stop_->setAutoDefault(false);
  stop_->setEnabled(false);
  stop_->setToolTip("End the run now, or after the file being sent (Esc)");
  open_logs_ = new QPushButton("Open log folder", this);
  open_logs_->setObjectName("OpenLogFolderBtn");
  open_logs_->setAutoDefault(false);
  open_logs_->setToolTip(QString::fromStdString("Every run's log is saved in " + SavedLog::Folder()));
  row->addWidget(bar_, 1);
  row->addWidget(stop_);
  row->addWidget(open_logs_);
  layout->addLayout(row);
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
  connect(stop_, &QPushButton::clicked, this, &UploadForm::StopBtnClick);
  connect(open_logs_, &QPushButton::clicked, this, &UploadForm::OpenLogFolderBtnClick);
  OpenFolder = [](const QString& folder) { return QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };
  progress_->viewport()->installEventFilter(this);
  flush_timer_.setSingleShot(true);
  connect(&flush_timer_, &QTimer::timeout, this, &UploadForm::FlushLines);
}

// A double-click in the log asks the server for its working directory; the
// client refuses while another request of the run is waiting.
bool UploadForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == progress_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    if (run_) run_->Site().WorkingFolder();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

bool UploadForm::Terminated() const { return terminated_; }

void UploadForm::AddLine(const QString& line) {
  progress_->appendPlainText(line);
  TrimLog();
}

void UploadForm::QueueLine(const QString& line) {
  pending_lines_.push_back(line);
  const qint64 since = flush_clock_.isValid() ? flush_clock_.elapsed() : kFlushMs;
  if (since >= kFlushMs) return FlushLines();
  if (!flush_timer_.isActive()) flush_timer_.start(static_cast<int>(kFlushMs - since));
}

void UploadForm::FlushLines() {
  flush_timer_.stop();
  flush_clock_.restart();
  if (pending_lines_.isEmpty()) return;
  progress_->appendPlainText(pending_lines_.join('\n'));
  pending_lines_.clear();
  TrimLog();
}

// At 500 lines the log drops back to 400: the lines from index 50 on go,
// so the first fifty lines (the banner and the first connection) always
// stay.
void UploadForm::TrimLog() {
  QTextDocument* document = progress_->document();
  const int count = document->blockCount();
  if (count < kTrimAt) return;
  QTextCursor cursor(document->findBlockByNumber(kKeptHead));
  cursor.setPosition(document->findBlockByNumber(kKeptHead + count - (kTrimAt - kTrimmed)).position(),
                     QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void UploadForm::CopyBtnClick() { QApplication::clipboard()->setText(progress_->toPlainText()); }

void UploadForm::StopBtnClick() {
  if (!running_) return;
  terminated_ = true;
  if (run_) run_->Stop();
}

void UploadForm::OpenLogFolderBtnClick() {
  const QString folder = QString::fromStdString(SavedLog::Folder());
  std::string why;
  const bool made = SavedLog::MakeFolder(why);
  if (!made || !OpenFolder || !OpenFolder(folder)) {
    DialogService::Current().Inform(
        this, "Run logs",
        "Every run's log is saved in\n" + folder +
            (made ? QString() : "\n\nThe folder cannot be made: " + QString::fromStdString(why)));
  }
}

void UploadForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  terminated_ = false;
  const bool test_run = Profile && Profile->TestRun();
  // The title as it was, then which job runs and where to.
  const QString job = Settings.FetchJob      ? "fetch from "
                      : Settings.RedirectJob ? "redirection pages to "
                                             : "publish to ";
  setWindowTitle(
      (test_run ? QString("Upload - *** Test Only *** - No writing takes place...") : QString("Upload to web site")) +
      (Settings.Site.HostName.empty() ? QString() : " (" + job + QString::fromStdString(Settings.Site.HostName) + ")"));
  // As wide as the screen, as it always was; its height and top are where
  // the user left them.
  int top = geometry().top();
  int tall = height();
  if (const auto place = RememberedPlace(PlaceStore, "Run")) top = place->top(), tall = place->height();
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    setGeometry(area.left() + 2, top, area.width() - 4, tall);
  }
  // The run starts as soon as the window is up, inside its own event loop.
  QTimer::singleShot(0, this, &UploadForm::StartUpload);
}

void UploadForm::UpdateStatus() {
  if (!Profile) return;
  const double seconds = elapsed_.isValid() ? static_cast<double>(elapsed_.elapsed()) / 1000.0 : 0;
  if (!running_) {
    // The run has ended: its summary stays.
    QString summary = tally_.started ? "Summary: " + QString::fromStdString(tally_.Summary(seconds)) : QString();
    if (const std::string hint = tally_.PauseHint(seconds); !hint.empty()) {
      summary += "\n" + QString::fromStdString(hint);
    }
    if (!saved_log_problem_.empty()) {
      summary += QString(summary.isEmpty() ? "" : "  |  ") + QString::fromStdString(saved_log_problem_);
    }
    status_->setText(summary);
    return;
  }
  // The counts are the bar's alone: one count, from the run's events.
  const qint64 whole = static_cast<qint64>(seconds);
  status_->setText(QString("%1:%2  |  folder %3")
                       .arg(whole / 60)
                       .arg(whole % 60, 2, 10, QChar('0'))
                       .arg(run_ ? QString::fromStdString(run_->CurrentFolder()) : QString()) +
                   (saved_log_problem_.empty() ? QString() : "  |  " + QString::fromStdString(saved_log_problem_)));
  UpdateBar();
}

void UploadForm::UpdateBar() {
  const double seconds = elapsed_.isValid() ? static_cast<double>(elapsed_.elapsed()) / 1000.0 : 0;
  // Per mille, so that a large file moves the bar as it goes.
  bar_->setRange(0, 1000);
  bar_->setValue(tally_.total_files > 0 ? static_cast<int>(tally_.Done() * 1000) : (tally_.ended ? 1000 : 0));
  bar_->setFormat(tally_.started ? "%p%  " + QString::fromStdString(tally_.Progress(seconds)) : QString());
}

void UploadForm::OnRunEvent(const RunEvent& event) {
  tally_.Add(event);
  if (event.kind == RunEvent::Kind::FolderEntered || event.kind == RunEvent::Kind::Retry) return;
  // Drawn at most every kFlushMs while files stream by, and at the end.
  if (bar_clock_.isValid() && bar_clock_.elapsed() < kFlushMs && event.kind != RunEvent::Kind::RunEnded) return;
  bar_clock_.restart();
  UpdateBar();
}

// With removals on, a real run shows its plan first: a test run of the
// same settings, its log in the window and its totals in a question; the
// run goes only after a yes.
bool UploadForm::PlanAccepted() {
  const TestRunView view(*Profile);
  std::string totals;
  Upload plan(Settings, view, [this, &totals](const std::string& line) {
    if (line.rfind("Would send ", 0) == 0 || line.rfind("Would remove ", 0) == 0) totals = line;
    QueueLine(QString::fromStdString(line));
  });
  run_ = &plan;
  plan.StartUpload();
  run_ = nullptr;
  FlushLines();
  if (totals.empty() || terminated_) return false;  // its log says why
  return DialogService::Current().Ask(
             this, QMessageBox::Question, "The plan",
             QString::fromStdString("This run would do what the test run above lists:\n\n" + totals +
                                    "\n\nFiles that are no longer in the local folder are removed from the server. "
                                    "Go ahead?"),
             QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void UploadForm::StartUpload() {
  if (running_ || !Profile) return;
  if (Settings.RemoveGone && !Profile->TestRun()) {
    running_ = true;
    terminated_ = false;
    progress_->clear();
    stop_->setEnabled(true);
    const bool accepted = PlanAccepted();
    stop_->setEnabled(false);
    running_ = false;
    if (!accepted) return;
  }
  running_ = true;
  terminated_ = false;
  outcome_.reset();
  tally_ = RunTally();
  tally_.classic = Settings.Site.Method == TransferMethod::Classic && !Settings.FetchJob;
  tally_.fetch = Settings.FetchJob;
  progress_->clear();
  stop_->setEnabled(true);
  // The log is also kept on disk; a run goes on when it cannot be.
  saved_log_ = std::make_unique<SavedLog>();
  saved_log_problem_.clear();
  if (!saved_log_->Open(Profile->ProfileName(),
                        Settings.FetchJob      ? "fetch"
                        : Settings.RedirectJob ? "redirect"
                                               : "publish",
                        std::time(nullptr), saved_log_problem_)) {
    saved_log_problem_ = "log not saved: " + saved_log_problem_;
    saved_log_.reset();
  }
  saved_log_path_ = saved_log_ ? saved_log_->Path() : std::string();
  UpdateBar();
  elapsed_.start();
  QTimer status_timer;
  connect(&status_timer, &QTimer::timeout, this, &UploadForm::UpdateStatus);
  status_timer.start(500);
  Upload run(Settings, *Profile, [this](const std::string& line) {
    if (saved_log_ && !saved_log_->Write(line)) {
      saved_log_problem_ = saved_log_->Failure();
      UpdateStatus();
    }
    QueueLine(QString::fromStdString(line));
  });
  tally_.WatchTransfers(run);
  // The counts come from what the run reports, not from its log's wording.
  run.OnEvent = [this](const RunEvent& event) { OnRunEvent(event); };
  // A wipe asks first, naming what it found to delete; No is the default.
  run.ConfirmWipe = [this](const WipePreview& preview) {
    FlushLines();
    return DialogService::Current().Ask(this, QMessageBox::Warning, "Warning",
                                        QString::fromStdString(preview.Question()), QMessageBox::Yes | QMessageBox::No,
                                        QMessageBox::No) == QMessageBox::Yes;
  };
  // Past its limit a removal of what is no longer local asks the same way.
  run.ConfirmRemovals = [this](const RemovalPreview& preview) {
    FlushLines();
    return DialogService::Current().Ask(this, QMessageBox::Warning, "Warning",
                                        QString::fromStdString(preview.Question()), QMessageBox::Yes | QMessageBox::No,
                                        QMessageBox::No) == QMessageBox::Yes;
  };
  run_ = &run;
  try {
    outcome_ = run.StartUpload();
  } catch (const std::exception& error) {
    // An error that escapes the run is shown; the window stays usable.
    outcome_ = RunOutcome::Failed;
    FlushLines();
    DialogService::Current().ShowError(this, "Kestova", QString::fromStdString(error.what()));
  }
  FlushLines();
  // A run that ended terminated (by Esc or by a failure) closes on one Esc.
  if (run.Terminated() || outcome_ == RunOutcome::Terminated) terminated_ = true;
  run_ = nullptr;
  running_ = false;
  saved_log_.reset();
  stop_->setEnabled(false);
  UpdateBar();
  UpdateStatus();
  if (run.RefusedCertificate().verdict != CertificateCheck::Verdict::None) OfferTrust(run.RefusedCertificate());
  // Only a key that is not known is offered: one that replaced a known key
  // may be someone between this computer and the host.
  if (const auto& key = run.RefusedHostKey(); !key.key.empty() && !key.changed) OfferHostKeyTrust(key.key);
}

// The SFTP run stopped at a host key that no known_hosts file holds: the
// user may trust it (after comparing its fingerprint) and run again at once.
void UploadForm::OfferHostKeyTrust(const std::string& key) {
  if (!TrustHostKey) return;
  const QString text = QString::fromStdString("The host key of " + Settings.Site.HostName + " is not known:\n\n" + key +
                                              "\n\nNo user id or password was sent. Compare the fingerprint with the "
                                              "one your host gives. Trust this host key for this site and run again?");
  if (DialogService::Current().Ask(this, QMessageBox::Warning, "Unknown host key", text,
                                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  std::string why;
  if (!TrustHostKey(key, why)) {
    DialogService::Current().ShowError(this, "Kestova", QString::fromStdString("The host key was not stored: " + why));
    return;
  }
  QTimer::singleShot(0, this, &UploadForm::StartUpload);
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
  // The next run trusts it too: the settings are the run's own copy.
  Settings.Site.TrustedFingerprint = refused.certificate.fingerprint;
  QTimer::singleShot(0, this, &UploadForm::StartUpload);
}

void UploadForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    if (terminated_) {
      close();
    } else {
      terminated_ = true;
      if (run_) run_->Stop();
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
  if (run_) run_->Stop();
  QDialog::reject();
}

void UploadForm::hideEvent(QHideEvent* event) {
  // However it goes (Esc, the close box), the window's place is kept.
  RememberPlace(PlaceStore, "Run", geometry());
  QDialog::hideEvent(event);
}

void UploadForm::closeEvent(QCloseEvent* event) {
  terminated_ = true;
  if (run_) run_->Stop();
  QDialog::closeEvent(event);
}

}  // namespace kestova
