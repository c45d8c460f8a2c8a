// The site and login details window: every setting of both sites, written
// straight into the loaded profile and saved after every single edit.
// Profiles are chosen, created (by typing a new name) and deleted here.
#pragma once

#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kestova {

class SiteProfile;

class SiteForm : public QDialog {
 public:
  explicit SiteForm(SiteProfile& profile, QWidget* parent = nullptr);

  std::function<void()> ShowHelpPage;
  // Called after the window closes, so the main window can refresh.
  std::function<void()> Closed;

  void ProfileChange(const QString& text);
  void DeleteBtnClick();
  void FillFromProfile();
  void ApplyProfileChoice();
  void CommitChange();
  // Tries the site's settings without a run and shows what happened.
  void TestConnectionClick(bool new_site);

  QComboBox* ProfileList() const { return profile_list_; }
  QPushButton* DeleteBtn() const { return delete_btn_; }
  QGroupBox* NewGroup() const { return new_group_; }
  QGroupBox* OldGroup() const { return old_group_; }
  QLineEdit* TextExts() const { return text_exts_; }
  QCheckBox* TestRun() const { return test_run_; }
  QCheckBox* ExclFrontPage() const { return excl_front_page_; }
  // A control by its name ("NewPort", "OldRetries", "NewWrite", ...).
  QWidget* Control(const QString& name) const;

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QGroupBox* BuildGroup(bool new_site);
  void AddTransferRow(QGridLayout* grid, QGroupBox* group, bool new_site);
  void AddRetryRow(QGridLayout* grid, QGroupBox* group, bool new_site);
  void AddSecurityRow(QGridLayout* grid, QGroupBox* group, bool new_site);
  void ShowProtocol(bool new_site);
  void AddRemovalRow(QGridLayout* grid, QGroupBox* group);
  void ShowRemoval();
  static const QStringList& SecurityCaptions();
  QLineEdit* AddEdit(QWidget* parent, const QString& name, std::function<void(const QString&)> write);
  QCheckBox* AddCheck(QWidget* parent, const QString& name, const QString& caption, std::function<void(bool)> write);
  QComboBox* AddList(QWidget* parent, const QString& name, const QStringList& items,
                     std::function<void(const QString&)> write);

  SiteProfile& profile_;
  bool filling_ = false;
  bool placed_ = false;
  QString last_profile_name_;
  QComboBox* profile_list_ = nullptr;
  QPushButton* delete_btn_ = nullptr;
  QGroupBox* new_group_ = nullptr;
  QGroupBox* old_group_ = nullptr;
  QLineEdit* text_exts_ = nullptr;
  QPlainTextEdit* exclude_ = nullptr;
  QCheckBox* test_run_ = nullptr;
  QCheckBox* excl_front_page_ = nullptr;
};

}  // namespace kestova
