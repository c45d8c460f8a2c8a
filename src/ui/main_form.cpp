#include "ui/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>

#include "platform/program_path.h"
#include "platform/registry.h"
#include "sftp/host_keys.h"
#include "ui/dialog_service.h"
#include "ui/upload_form.h"
#include "ui/window_places.h"

namespace kestova {

namespace {

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.c_str(), static_cast<int>(text.size())); }
std::string S(const QString& text) { return text.toLocal8Bit().toStdString(); }

QLabel* BoldLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

// What a run reads from the main window while it runs: the editor's lines
// and the profile list's text, live.
class MainFormView : public ProfileView {
 public:
  MainFormView(MainForm& form) : form_(form) {}
  bool TestRun() const override { return form_.Profile().TestRun; }
  bool ExclFrontPage() const override { return form_.Profile().ExclFrontPage; }
  bool NewChanges() const override { return form_.Profile().NewChanges; }
  std::string AutoDetectExts() const override { return form_.Profile().AutoDetectExts; }
  std::string NewURL() const override { return form_.Profile().NewURL; }
  std::string OldURL() const override { return form_.Profile().OldURL; }
  std::vector<std::string> TemplateLines() const override {
    std::vector<std::string> lines;
    for (const QString& line : form_.HTML()->toPlainText().split('\n')) lines.push_back(S(line));
    return lines;
  }
  std::string ProfileName() const override { return S(form_.ProfileList()->currentText()); }

 private:
  MainForm& form_;
};

}  // namespace

MainForm::MainForm(const std::string& store_file, QWidget* parent) : QMainWindow(parent), profile_(store_file) {
  setWindowTitle("Kestova " KESTOVA_VERSION " - press F1 for help");
  resize(622, 379);
  setMinimumSize(451, 162);
  BuildLayout();
  BuildTemplateMenu();
  view_ = std::make_unique<MainFormView>(*this);
  profile_.OnTemplateToggle = [this](bool) { ViewBtnClick(false); };
  OpenDocument = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
  // A new profile from anywhere in the window.
  auto* new_profile = new QAction("New profile", this);
  new_profile->setObjectName("NewProfileAction");
  new_profile->setShortcut(QKeySequence::New);
  new_profile->setShortcutContext(Qt::WindowShortcut);
  connect(new_profile, &QAction::triggered, this, &MainForm::NewProfileClick);
  addAction(new_profile);
  profile_list_->setContextMenuPolicy(Qt::ActionsContextMenu);
  profile_list_->addAction(new_profile);
}

MainForm::~MainForm() { profile_.Loading = true; }

QPushButton* MainForm::Button(const QString& caption, const char* name, QWidget* parent, bool bold) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  if (bold) {
    QFont font = button->font();
    font.setBold(true);
    button->setFont(font);
  }
  return button;
}

// The rows, top to bottom: profile, the new root with its two jobs, the
// template file, the editor, and the site button.
void MainForm::BuildLayout() {
  auto* central = new QWidget(this);
  auto* grid = new QGridLayout(central);
  grid->setContentsMargins(6, 6, 6, 0);
  profile_list_ = new QComboBox(central);
  profile_list_->setObjectName("Profile");
  profile_list_->setStyleSheet("QComboBox { background: rgb(255,255,187); color: navy; }");
  grid->addWidget(BoldLabel("Profile: ", central), 0, 0);
  grid->addWidget(profile_list_, 0, 1, 1, 2);
  auto* new_btn = Button("New...", "NewProfileBtn", central);
  new_btn->setToolTip("New profile (Ctrl+N): a copy of the current profile under a name you give");
  grid->addWidget(new_btn, 0, 3);
  root_source_ = new QLineEdit(central);
  root_source_->setObjectName("RootSource");
  auto* root_btn = Button("...", "RootSourceBtn", central);
  auto* source_upload = Button("&Upload", "SourceUpload", central, true);
  QLabel* new_root = BoldLabel("New Root: ", central);
  new_root->setToolTip("The local folder that holds the site's files: Upload publishes it to the new site");
  root_source_->setToolTip(new_root->toolTip());
  grid->addWidget(new_root, 1, 0);
  grid->addWidget(root_source_, 1, 1);
  grid->addWidget(root_btn, 1, 2);
  grid->addWidget(source_upload, 1, 3);
  auto* destn_upload = Button("U&pload Redirection Pages", "DestnUpload", central);
  QLabel* old_root = BoldLabel("Old Root: ", central);
  old_root->setToolTip("The old site: a redirection page goes over each of its pages that the local folder has");
  auto* fetch = Button("&Fetch Old Site...", "FetchOldSite", central);
  fetch->setToolTip(
      "Downloads the old site's start folder into the local folder (New Root): what is new or differs in size or "
      "time, each file with the server's time; nothing local is removed");
  grid->addWidget(old_root, 2, 0);
  grid->addWidget(destn_upload, 2, 1, 1, 2);
  grid->addWidget(fetch, 2, 3);
  auto* line = new QFrame(central);
  line->setFrameShape(QFrame::HLine);
  grid->addWidget(line, 3, 0, 1, 4);
  BuildTemplateRows(grid, central);
  auto* site_btn = Button("Click here to give site and &login details", "SiteBtn", central, true);
  site_btn->setStyleSheet("QPushButton { color: blue; }");
  grid->addWidget(site_btn, 6, 0, 1, 4);
  setCentralWidget(central);
  root_source_->setFocus();

  connect(profile_list_, &QComboBox::textActivated, this, &MainForm::ProfileChange);
  connect(root_source_, &QLineEdit::textChanged, this, &MainForm::RootSourceChange);
  connect(root_btn, &QPushButton::clicked, this, &MainForm::RootSourceBtnClick);
  connect(source_upload, &QPushButton::clicked, this, [this] { Upload(true); });
  connect(destn_upload, &QPushButton::clicked, this, [this] { Upload(false); });
  connect(fetch, &QPushButton::clicked, this, &MainForm::FetchOldSite);
  connect(site_btn, &QPushButton::clicked, this, &MainForm::SiteBtnClick);
  connect(new_btn, &QPushButton::clicked, this, &MainForm::NewProfileClick);
}

// The template file's row and the editor below it.
void MainForm::BuildTemplateRows(QGridLayout* grid, QWidget* central) {
  html_file_ = new QLineEdit(central);
  html_file_->setObjectName("HTMLFile");
  html_file_->setReadOnly(true);
  html_file_->setStyleSheet("QLineEdit { background: palette(button); }");
  auto* html_btn = Button("...", "HTMLFileBtn", central);
  view_btn_ = Button("&View", "ViewBtn", central, true);
  auto* html_label = BoldLabel("&HTML File:", central);
  grid->addWidget(html_label, 4, 0);
  grid->addWidget(html_file_, 4, 1);
  grid->addWidget(html_btn, 4, 2);
  grid->addWidget(view_btn_, 4, 3);
  html_ = new QPlainTextEdit(central);
  html_->setObjectName("HTML");
  QFont fixed("Courier New");
  fixed.setStyleHint(QFont::Monospace);
  fixed.setPointSize(8);
  html_->setFont(fixed);
  html_->setLineWrapMode(QPlainTextEdit::NoWrap);
  html_->setVisible(false);
  html_label->setBuddy(html_);
  grid->addWidget(html_, 5, 0, 1, 4);
  grid->setRowStretch(5, 1);
  grid->setColumnStretch(1, 1);

  connect(view_btn_, &QPushButton::clicked, this, [this] { ViewBtnClick(true); });
  connect(html_btn, &QPushButton::clicked, this, &MainForm::HTMLFileBtnClick);
  connect(html_, &QPlainTextEdit::textChanged, this, [this] {
    if (!profile_.Loading) SetTemplateMarked(true);
  });
  html_->viewport()->installEventFilter(this);
  html_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(html_, &QPlainTextEdit::customContextMenuRequested, this, [this](const QPoint& at) {
    UpdateMenuStates();
    html_menu_->exec(html_->mapToGlobal(at));
  });
}

void MainForm::BuildTemplateMenu() {
  html_menu_ = new QMenu(this);
  html_menu_->setObjectName("HTMLMenu");
  QMenu* inserts = html_menu_->addMenu("Inserts");
  const std::pair<const char*, int> placeholders[] = {{"newurl", Qt::Key_F5},  {"oldurl", Qt::Key_F6},
                                                      {"title", Qt::Key_F7},   {"oldhome", Qt::Key_F8},
                                                      {"newhome", Qt::Key_F9}, {"profile", Qt::Key_F10}};
  for (const auto& [name, key] : placeholders) {
    QAction* action = inserts->addAction(QString("<<%1>>").arg(name));
    action->setShortcut(QKeySequence(key));
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    const QString text = QString("<<%1>>").arg(QString(name).toUpper());
    connect(action, &QAction::triggered, this, [this, text] { Insert(text); });
    html_->addAction(action);
  }
  auto add = [this](const QString& caption, const QKeySequence& keys, auto slot) {
    QAction* action = html_menu_->addAction(caption);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(action, &QAction::triggered, this, slot);
    html_->addAction(action);
    menu_actions_.push_back(action);
    return action;
  };
  html_menu_->addSeparator();
  add("&Undo", QKeySequence::Undo, [this] { html_->undo(); });
  html_menu_->addSeparator();
  add("Cu&t", QKeySequence::Cut, [this] { html_->cut(); });
  add("&Copy", QKeySequence::Copy, [this] { html_->copy(); });
  add("&Paste", QKeySequence::Paste, [this] { html_->paste(); });
  html_menu_->addSeparator();
  add("Select &All", QKeySequence::SelectAll, [this] { html_->selectAll(); });
  html_menu_->addSeparator();
  add("C&lear All", QKeySequence(Qt::CTRL | Qt::Key_Delete), [this] {
    html_->clear();
    SetTemplateMarked(true);
  });
  html_menu_->addSeparator();
  add("&Save", QKeySequence(Qt::CTRL | Qt::Key_S), [this] { Save(); });
  add("Save &As...", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S), [this] { SaveAs(); });
}

// ---- Profiles

void MainForm::RefreshProfileCombo() {
  profile_.RefreshProfileList();
  profile_list_->clear();
  for (const std::string& name : profile_.ProfileList) profile_list_->addItem(Q(name));
  profile_list_->setCurrentText(Q(profile_.SelectedProfile));
}

void MainForm::ShowLoadedProfile() {
  const bool loading = profile_.Loading;
  profile_.Loading = true;  // filling the edits must not save
  root_source_->setText(Q(profile_.RootSource));
  html_file_->setText(Q(profile_.HTMLFile));
  profile_.Loading = loading;
}

void MainForm::ProfileChange(const QString& name) {
  profile_.SetCurrentProfile(S(name));
  profile_.LoadRegistry(S(name));
  ShowLoadedProfile();
}

void MainForm::RootSourceChange(const QString& text) {
  if (profile_.Loading) return;
  profile_.RootSource = S(text);
  profile_.SaveRegistry(CurrentProfile());
}

void MainForm::RootSourceBtnClick() {
  DialogService& dialogs = DialogService::Current();
  // The folder as typed: names on this system are case-sensitive.
  QString start = root_source_->text();
  for (;;) {
    const QString chosen = dialogs.ChooseFolder(this, start);
    if (chosen.isEmpty()) return;
    if (!QDir(chosen).exists()) {
      if (dialogs.Ask(this, QMessageBox::Question, "Confirm", "The specified directory does not exist. Create it?",
                      QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        start = chosen;
        continue;
      }
      std::error_code error;
      std::filesystem::create_directories(S(chosen), error);
    }
    root_source_->setText(chosen);
    profile_.RootSource = S(chosen);
    profile_.SaveRegistry(CurrentProfile());
    return;
  }
}

void MainForm::NewProfileClick() {
  DialogService& dialogs = DialogService::Current();
  const std::string current = CurrentProfile();
  const QString typed =
      dialogs.AskText(this, "New profile", "Name of the new profile (it starts as a copy of \"" + Q(current) + "\"):");
  const std::string name = S(typed.trimmed());
  if (name.empty()) return;
  if (const auto problem = ProfileNameProblem(name)) {
    dialogs.ShowError(this, "Kestova", Q(*problem));
    return;
  }
  profile_.RefreshProfileList();
  if (const auto listed = profile_.ListedName(name)) {
    dialogs.ShowError(this, "Kestova", "There is already a profile named \"" + Q(*listed) + "\".");
    return;
  }
  profile_.RootSource = S(root_source_->text());
  // A copy of the current profile, but one that wipes nothing until the
  // user chooses so for it.
  profile_.NewWipe = profile_.OldWipe = false;
  profile_.SetCurrentProfile(name);
  if (!profile_.SaveRegistry(name)) {
    profile_.SetCurrentProfile(current);
    dialogs.ShowError(this, "Kestova", "The profile \"" + Q(name) + "\" could not be created.");
    return;
  }
  RefreshProfileCombo();
  ShowLoadedProfile();
}

void MainForm::SiteBtnClick() {
  if (OpenSiteWindow) OpenSiteWindow();
  RefreshProfileCombo();
  ShowLoadedProfile();
}

// ---- Runs

void MainForm::Upload(bool new_site) {
  DialogService& dialogs = DialogService::Current();
  // A run without a local folder can do nothing: said before any question.
  if (root_source_->text().trimmed().isEmpty()) {
    dialogs.ShowError(this, "Kestova",
                      "No local folder is set. Choose the folder that holds the site's files (New Root) and start "
                      "again.");
    return;
  }
  // The question as it always was, then what the run will work on and what
  // its write mode will do.
  const SiteSettings& site = new_site ? profile_.NewSite : profile_.OldSite;
  const QString start_dir = Q(new_site ? profile_.NewStartDir : profile_.OldStartDir);
  const bool wipe = new_site ? profile_.NewWipe : profile_.OldWipe;
  const QString mode =
      wipe ? "Wipe Site (everything in the start folder is deleted first, after a question that says how much; then "
             "every file is sent)"
      : (new_site && profile_.NewChanges)
          ? "Wrt Changes (only files that are new or newer than the server's copy are sent)"
          : "Overwrite All (every file is sent, replacing the server's copy)";
  const QString removal = new_site && profile_.NewDelete && !wipe
                              ? "\nThen: files no longer in the local folder are removed from the server (more than " +
                                    QString::number(profile_.NewMaxDelete) + " only after a question)"
                              : QString();
  const QString first =
      (new_site ? "You are about to upload latest changes to your new site.\nDo you wish to continue?"
                : "You are about to upload redirection pages to your old site.\nDo you wish to continue?") +
      QString("\n\nLocal folder: %1\nHost: %2 (%3)\nWrite mode: %4%5")
          .arg(root_source_->text(), Q(site.HostName), start_dir.isEmpty() ? "the login folder" : start_dir, mode,
               profile_.TestRun ? " (test run: nothing is written or deleted)" : "") +
      removal;
  if (dialogs.Ask(this, QMessageBox::Question, "Confirm", first, QMessageBox::Ok | QMessageBox::Cancel) !=
      QMessageBox::Ok) {
    return;
  }
  // The wipe's own question comes from the run, once it knows what would go.
  if (!upload_form_) return;
  profile_.RootSource = S(root_source_->text());
  RunInWindow(SettingsForJob(profile_, !new_site), new_site);
}

// The old site's start folder into the local folder, after a question
// that names both.
void MainForm::FetchOldSite() {
  DialogService& dialogs = DialogService::Current();
  if (root_source_->text().trimmed().isEmpty()) {
    dialogs.ShowError(this, "Kestova",
                      "No local folder is set. Choose the folder to fetch the old site into (New Root) and start "
                      "again.");
    return;
  }
  const QString start_dir = Q(profile_.OldStartDir);
  const QString question =
      QString(
          "You are about to fetch your old site into the local folder.\nDo you wish to continue?\n\nHost: %1 "
          "(%2)\nLocal folder: %3\nWhat is new or differs in size or time is fetched; nothing local is removed.%4")
          .arg(Q(profile_.OldSite.HostName), start_dir.isEmpty() ? "the login folder" : start_dir, root_source_->text(),
               profile_.TestRun ? "\n(Test run: nothing is written.)" : "");
  if (dialogs.Ask(this, QMessageBox::Question, "Confirm", question, QMessageBox::Ok | QMessageBox::Cancel) !=
      QMessageBox::Ok) {
    return;
  }
  if (!upload_form_) return;
  profile_.RootSource = S(root_source_->text());
  RunInWindow(SettingsForFetch(profile_, std::string()), false);
}

// The run window, set up for one run on the new site or the old one: a
// certificate or host key the user trusts there is kept for that site.
void MainForm::RunInWindow(RunSettings settings, bool new_site) {
  upload_form_->Settings = std::move(settings);
  upload_form_->Profile = view_.get();
  upload_form_->ShowHelpPage = [this] { ShowHelpPage(); };
  upload_form_->PlaceStore = profile_.StoreFile();
  upload_form_->TrustCertificate = [this, new_site](const std::string& fingerprint) {
    (new_site ? profile_.NewSite : profile_.OldSite).TrustedFingerprint = fingerprint;
    profile_.SaveRegistry(profile_.GetCurrentProfile());
  };
  const SiteSettings site = new_site ? profile_.NewSite : profile_.OldSite;
  upload_form_->TrustHostKey = [this, site](const std::string& key, std::string& why) {
    return TrustShownHostKey(profile_.HostKeysFile(), site.HostName, site.Port == "ftp" ? std::string() : site.Port,
                             key, why);
  };
  upload_form_->exec();
}

// ---- View, help, start and close

void MainForm::ViewBtnClick(bool from_button) {
  const int old_height = height();
  const int old_top = y();
  // From the button the editor flips; from a load it follows the stored state.
  const bool show = from_button ? !html_->isVisible() : profile_.IsTemplateVisible();
  if (show) {
    resize(width(), 412);
    html_->setVisible(true);
    view_btn_->setText("&Hide");
  } else {
    resize(width(), 166);
    html_->setVisible(false);
    view_btn_->setText("&View");
  }
  if (from_button) {
    profile_.SetTemplateVisible(show);
    profile_.SaveRegistry(CurrentProfile());
  }
  int top = old_top + old_height / 2 - height() / 2;
  if (top < 0) top = 0;
  if (const QScreen* screen = this->screen(); screen && top + height() > screen->geometry().height()) {
    top = screen->geometry().height() - height() - 10;
  }
  move(x(), top);
}

void MainForm::ShowHelpPage() {
  const QString page = QString::fromStdString(DataFile("help/kestova_help.htm"));
  if (OpenDocument && OpenDocument(page)) return;
  // No browser (or none that would open it): say where the page is.
  DialogService::Current().Inform(this, "Kestova help",
                                  "No web browser could open the help page. It is the file\n" + page);
}

// The editor's stored state sets the height; the place is where the window
// was left, or the middle of the screen.
void MainForm::PlaceOnFirstShow() {
  const bool visible = profile_.IsTemplateVisible();
  html_->setVisible(visible);
  view_btn_->setText(visible ? "&Hide" : "&View");
  const auto place = RememberedPlace(profile_.StoreFile(), "Main");
  int height_now = visible ? 412 : 166;
  if (place && visible && place->height() >= 300) height_now = place->height();
  resize(place ? place->width() : width(), height_now);
  if (place) {
    move(place->topLeft());
  } else if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - frameGeometry().width()) / 2,
         area.top() + (area.height() - frameGeometry().height()) / 2);
  }
}

void MainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  try {
    RefreshProfileCombo();
    profile_.LoadRegistry(CurrentProfile());
  } catch (const RegistryError& error) {
    profile_.Loading = false;
    DialogService::Current().ShowError(this, "Kestova", QString::fromStdString(error.what()));
  }
  ShowLoadedProfile();
  PlaceOnFirstShow();
  profile_.Loading = true;
  if (QFile::exists(html_file_->text())) LoadTemplate(html_file_->text());
  SetTemplateMarked(false);
  profile_.Loading = false;
}

void MainForm::closeEvent(QCloseEvent* event) {
  if (!ConfirmTemplateSaved()) {
    event->ignore();
    return;
  }
  profile_.Loading = true;  // nothing is saved while the windows go
  RememberPlace(profile_.StoreFile(), "Main", QRect(pos(), size()));
  QMainWindow::closeEvent(event);
}

void MainForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) return ShowHelpPage();
  QMainWindow::keyPressEvent(event);
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == html_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    Save();
    return true;
  }
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
    ShowHelpPage();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace kestova
