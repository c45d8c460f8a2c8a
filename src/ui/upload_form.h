// The run window: runs one job when it is activated and shows its progress
// log. The log stays afterwards so the user can read or copy it.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <optional>

#include "engine/run_tally.h"
#include "engine/upload.h"
#include "platform/saved_log.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace kestova {

class UploadForm : public QDialog {
 public:
  explicit UploadForm(QWidget* parent = nullptr);

  // Filled by the main window before it shows the window.
  RunSettings Settings;
  const ProfileView* Profile = nullptr;
  std::function<void()> ShowHelpPage;
  // The store that keeps the window's place between starts.
  std::string PlaceStore;
  // Stores a fingerprint the user chose to trust for the run's site.
  std::function<void(const std::string& fingerprint)> TrustCertificate;
  // Stores an SFTP host key the user chose to trust ("ED25519 SHA256:...");
  // false, with the reason, when it could not.
  std::function<bool(const std::string& key, std::string& why)> TrustHostKey;
  // Shows a folder in the desktop's file manager; false when none could.
  // Tests replace it.
  std::function<bool(const QString& folder)> OpenFolder;

  // Set by Esc; the run in progress ends at once, or after the file being sent.
  bool Terminated() const;
  QPlainTextEdit* Progress() const { return progress_; }
  QLabel* Status() const { return status_; }
  QProgressBar* Bar() const { return bar_; }
  QPushButton* StopBtn() const { return stop_; }
  const RunTally& Tally() const { return tally_; }
  // The file the last run's log was saved to; empty when it was not saved.
  const std::string& SavedLogPath() const { return saved_log_path_; }
  std::optional<RunOutcome> LastOutcome() const { return outcome_; }

  // Adds one line to the log, trimming it when it reaches 500 lines.
  void AddLine(const QString& line);
  void CopyBtnClick();
  // What Esc does while a run goes: it ends at once, or after the file being sent.
  void StopBtnClick();
  void OpenLogFolderBtnClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void reject() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void StartUpload();
  bool PlanAccepted();
  void TrimLog();
  // A run's lines: one after a quiet spell shows at once, a burst at most
  // every kFlushMs, so that a run of many small files does not spend its
  // time laying out the log.
  void QueueLine(const QString& line);
  void FlushLines();
  static constexpr int kFlushMs = 50;
  void UpdateStatus();
  void UpdateBar();
  void OnRunEvent(const RunEvent& event);
  void OfferTrust(const CertificateCheck& refused);
  void OfferHostKeyTrust(const std::string& key);

  QPlainTextEdit* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* copy_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* open_logs_ = nullptr;
  Upload* run_ = nullptr;
  bool terminated_ = false;
  bool running_ = false;
  std::optional<RunOutcome> outcome_;
  QElapsedTimer elapsed_;
  QStringList pending_lines_;
  QTimer flush_timer_;
  QElapsedTimer flush_clock_;  // since the last lines were shown
  QElapsedTimer bar_clock_;    // since the bar was last drawn
  RunTally tally_;
  std::unique_ptr<SavedLog> saved_log_;
  std::string saved_log_path_;
  std::string saved_log_problem_;
};

}  // namespace kestova
