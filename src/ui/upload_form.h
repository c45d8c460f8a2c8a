// The run window: runs one job when it is activated and shows its progress
// log. The log stays afterwards so the user can read or copy it.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <memory>
#include <optional>

#include "engine/upload.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace kestova {

class UploadForm : public QDialog {
 public:
  explicit UploadForm(QWidget* parent = nullptr);

  // Filled by the main window before it shows the window.
  RunSettings Settings;
  const ProfileView* Profile = nullptr;
  std::function<void()> ShowHelpPage;
  // Stores a fingerprint the user chose to trust for the run's site.
  std::function<void(const std::string& fingerprint)> TrustCertificate;

  // Set by Esc; the run in progress ends after its current command.
  bool Terminated() const;
  QPlainTextEdit* Progress() const { return progress_; }
  QLabel* Status() const { return status_; }
  std::optional<RunOutcome> LastOutcome() const { return outcome_; }

  // Adds one line to the log, trimming it when it reaches 500 lines.
  void AddLine(const QString& line);
  void CopyBtnClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void StartUpload();
  void TrimLog();
  void UpdateStatus();
  void OfferTrust(const CertificateCheck& refused);

  QPlainTextEdit* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* copy_ = nullptr;
  Upload* run_ = nullptr;
  bool terminated_ = false;
  bool running_ = false;
  std::optional<RunOutcome> outcome_;
  QElapsedTimer elapsed_;
  long long files_sent_ = 0;
  long long bytes_sent_ = 0;
  QString folder_;
};

}  // namespace kestova
