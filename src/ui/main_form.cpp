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

#include "platform/registry.h"
#include "ui/dialog_service.h"
#include "ui/upload_form.h"

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
  const FtpClient* OldClient() const override { return &form_.Profile().OldClient; }
  const FtpClient* NewClient() const override { return &form_.Profile().NewClient; }
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
  OpenDocument = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
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
  grid->addWidget(profile_list_, 0, 1, 1, 3);
  root_source_ = new QLineEdit(central);
  root_source_->setObjectName("RootSource");
  auto* root_btn = Button("...", "RootSourceBtn", central);
  auto* source_upload = Button("&Upload", "SourceUpload", central, true);
  grid->addWidget(BoldLabel("New Root: ", central), 1, 0);
  grid->addWidget(root_source_, 1, 1);
  grid->addWidget(root_btn, 1, 2);
  grid->addWidget(source_upload, 1, 3);
  auto* destn_upload = Button("U&pload Redirection Pages", "DestnUpload", central);
  grid->addWidget(BoldLabel("Old Root: ", central), 2, 0);
  grid->addWidget(destn_upload, 2, 1, 1, 3);
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
  connect(site_btn, &QPushButton::clicked, this, &MainForm::SiteBtnClick);
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
  QString start = root_source_->text().toUpper();
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

void MainForm::SiteBtnClick() {
  if (OpenSiteWindow) OpenSiteWindow();
  RefreshProfileCombo();
  ShowLoadedProfile();
}

// ---- Runs

void MainForm::Upload(bool new_site) {
  DialogService& dialogs = DialogService::Current();
  const QString first = new_site
                            ? "You are about to upload latest changes to your new site.\nDo you wish to continue?"
                            : "You are about to upload redirection pages to your old site.\nDo you wish to continue?";
  if (dialogs.Ask(this, QMessageBox::Question, "Confirm", first, QMessageBox::Ok | QMessageBox::Cancel) !=
      QMessageBox::Ok) {
    return;
  }
  if (new_site ? profile_.NewWipe : profile_.OldWipe) {
    const QString second = QString::fromStdString(WipeQuestion(!new_site));
    if (dialogs.Ask(this, QMessageBox::Warning, "Warning", second, QMessageBox::Ok | QMessageBox::Cancel) !=
        QMessageBox::Ok) {
      return;
    }
  }
  if (!upload_form_) return;
  profile_.RootSource = S(root_source_->text());
  upload_form_->Settings = SettingsForJob(profile_, !new_site);
  upload_form_->Profile = view_.get();
  upload_form_->ShowHelpPage = [this] { ShowHelpPage(); };
  upload_form_->TrustCertificate = [this, new_site](const std::string& fingerprint) {
    (new_site ? profile_.NewClient : profile_.OldClient).TrustedFingerprint = fingerprint;
    profile_.SaveRegistry(profile_.GetCurrentProfile());
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
  if (OpenDocument) OpenDocument(QCoreApplication::applicationDirPath() + "/help/kestova_help.htm");
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
