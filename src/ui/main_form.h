// The main window: owner of the loaded profile. The user picks a profile and
// the local folder, edits the redirection template, opens the site window and
// starts either job after confirming it.
#pragma once

#include <QMainWindow>
#include <memory>

#include "engine/run_settings.h"
#include "profile/site_profile.h"

class QComboBox;
class QGridLayout;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace kestova {

class UploadForm;

class MainForm : public QMainWindow {
 public:
  explicit MainForm(const std::string& store_file = std::string(), QWidget* parent = nullptr);
  ~MainForm() override;

  SiteProfile& Profile() { return profile_; }
  UploadForm* RunWindow() const { return upload_form_; }
  void SetRunWindow(UploadForm* form) { upload_form_ = form; }
  // Opens the site and login details window; set by the program.
  std::function<void()> OpenSiteWindow;

  // The handlers, public so that tests can drive them like a user.
  void ProfileChange(const QString& name);
  void RootSourceChange(const QString& text);
  void RootSourceBtnClick();
  void Upload(bool new_site);
  void FetchOldSite();
  void RunInWindow(RunSettings settings, bool new_site);
  void ViewBtnClick(bool from_button);
  void ShowHelpPage();
  void SiteBtnClick();
  // Asks for a name and makes a new profile as a copy of the current one.
  void NewProfileClick();
  void RefreshProfileCombo();
  // The template editor.
  bool Save();
  bool SaveAs();
  void HTMLFileBtnClick();
  void Insert(const QString& placeholder);
  // Asks the unsaved-changes question when the text is modified; false when
  // the user cancels.
  bool ConfirmTemplateSaved();
  void UpdateMenuStates();

  QComboBox* ProfileList() const { return profile_list_; }
  QLineEdit* RootSource() const { return root_source_; }
  QLineEdit* HTMLFile() const { return html_file_; }
  QPlainTextEdit* HTML() const { return html_; }
  QPushButton* ViewBtn() const { return view_btn_; }
  QMenu* HTMLMenu() const { return html_menu_; }
  const ProfileView& View() const { return *view_; }
  // Where help is opened, false when nothing could open it; tests replace it.
  std::function<bool(const QString& path)> OpenDocument;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildLayout();
  void BuildTemplateRows(QGridLayout* grid, QWidget* central);
  static QPushButton* Button(const QString& caption, const char* name, QWidget* parent, bool bold = false);
  void BuildTemplateMenu();
  void ShowLoadedProfile();
  void PlaceOnFirstShow();
  void LoadTemplate(const QString& path);
  void SetTemplateMarked(bool changed);
  std::string CurrentProfile() { return profile_.GetCurrentProfile(); }

  SiteProfile profile_;
  std::unique_ptr<ProfileView> view_;
  QComboBox* profile_list_ = nullptr;
  QLineEdit* root_source_ = nullptr;
  QLineEdit* html_file_ = nullptr;
  QPlainTextEdit* html_ = nullptr;
  QPushButton* view_btn_ = nullptr;
  QMenu* html_menu_ = nullptr;
  QList<QAction*> menu_actions_;
  UploadForm* upload_form_ = nullptr;
  bool shown_once_ = false;
};

}  // namespace kestova
