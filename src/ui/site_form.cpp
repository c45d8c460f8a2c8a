#include "ui/site_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "common/text_helpers.h"
#include "engine/connection_test.h"
#include "profile/site_profile.h"
#include "ui/dialog_service.h"
#include "ui/window_places.h"

namespace kestova {

namespace {

// The start directory stored for what the user typed: one trailing
// separator goes, but the root "/" stays the root (stripped, it would be
// empty, which means the login folder).
std::string StartDirOf(const std::string& typed) { return typed == "/" ? typed : StripTrailingSlash(typed); }

std::string S(const QString& text) { return text.toLocal8Bit().toStdString(); }
QString Q(const std::string& text) { return QString::fromLocal8Bit(text.c_str(), static_cast<int>(text.size())); }

// A number typed into a retry field; the old value when it is not one.
int NumberOr(const QString& text, int previous) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok);
  return ok ? value : previous;
}

void SetText(QLineEdit* edit, const std::string& text) {
  if (edit->text() != Q(text)) edit->setText(Q(text));
  edit->setCursorPosition(0);  // show the start of a long text
}

const char* const kMethodNote =
    "Classic sends files as this program always has, pausing 100 ms after each (3000 small files: about 5 "
    "minutes). Modern has no pause and renames each file into place, so that visitors never see half a page "
    "(the same files: seconds).";

}  // namespace

SiteForm::SiteForm(SiteProfile& profile, QWidget* parent) : QDialog(parent), profile_(profile) {
  setWindowTitle("Site & Login Details");
  // 400 x 460 is where it starts; the layout grows it until no text is cut.
  resize(400, 460);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* label = new QLabel("Profile: ", this);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  profile_list_ = new QComboBox(this);
  profile_list_->setObjectName("Profile");
  profile_list_->setEditable(true);
  profile_list_->setInsertPolicy(QComboBox::NoInsert);
  // No completion: a typed name must stay as typed, or "S" would turn into
  // the stored "Shop" and the next letters into a copy of it.
  profile_list_->setCompleter(nullptr);
  // A typed name becomes a new profile's: no backslash (a key separator) and
  // no control characters.
  profile_list_->setValidator(
      new QRegularExpressionValidator(QRegularExpression("[^\\\\\\x00-\\x1f\\x7f]*"), profile_list_));
  delete_btn_ = new QPushButton("Delete", this);
  delete_btn_->setObjectName("DeleteBtn");
  delete_btn_->setAutoDefault(false);
  top->addWidget(label);
  top->addWidget(profile_list_, 1);
  top->addWidget(delete_btn_);
  layout->addLayout(top);
  new_group_ = BuildGroup(true);
  old_group_ = BuildGroup(false);
  layout->addWidget(new_group_);
  layout->addWidget(old_group_);
  auto* exts = new QHBoxLayout;
  exts->addWidget(new QLabel("Text Extensions:", this));
  text_exts_ = AddEdit(this, "TextExts", [this](const QString& t) { profile_.AutoDetectExts = S(t); });
  exts->addWidget(text_exts_, 1);
  layout->addLayout(exts);
  // What every job leaves out, for both sites.
  auto* exclude_label = new QLabel("Exclude (one pattern a line, as in .gitignore: *.psd, drafts/, !keep.psd):", this);
  layout->addWidget(exclude_label);
  exclude_ = new QPlainTextEdit(this);
  exclude_->setObjectName("Exclude");
  exclude_->setTabChangesFocus(true);
  exclude_->setToolTip(
      "Files and folders no job sends, removes or wipes. A pattern without \"/\" matches a name at any depth; "
      "\"/\" at the start ties it to the local folder and the start directory; \"/\" at the end matches "
      "folders only; \"!\" takes a name back in");
  exclude_->setFixedHeight(exclude_->fontMetrics().lineSpacing() * 3 + 12);
  connect(exclude_, &QPlainTextEdit::textChanged, this, [this] {
    profile_.Exclude = S(exclude_->toPlainText());
    CommitChange();
  });
  layout->addWidget(exclude_);
  test_run_ = AddCheck(this, "TestRun", "Test run?", [this](bool on) { profile_.TestRun = on; });
  excl_front_page_ = AddCheck(this, "ExclFrontPage", "Exclude FrontPage Maintenance Directories?",
                              [this](bool on) { profile_.ExclFrontPage = on; });
  layout->addWidget(test_run_);
  layout->addWidget(excl_front_page_);
  connect(profile_list_, &QComboBox::editTextChanged, this, &SiteForm::ProfileChange);
  connect(delete_btn_, &QPushButton::clicked, this, &SiteForm::DeleteBtnClick);
}

QLineEdit* SiteForm::AddEdit(QWidget* parent, const QString& name, std::function<void(const QString&)> write) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  connect(edit, &QLineEdit::textChanged, this, [this, write](const QString& text) {
    write(text);
    CommitChange();
  });
  return edit;
}

QCheckBox* SiteForm::AddCheck(QWidget* parent, const QString& name, const QString& caption,
                              std::function<void(bool)> write) {
  auto* check = new QCheckBox(caption, parent);
  check->setObjectName(name);
  connect(check, &QCheckBox::toggled, this, [this, write](bool on) {
    write(on);
    CommitChange();
  });
  return check;
}

QComboBox* SiteForm::AddList(QWidget* parent, const QString& name, const QStringList& items,
                             std::function<void(const QString&)> write) {
  auto* list = new QComboBox(parent);
  list->setObjectName(name);
  list->addItems(items);
  connect(list, &QComboBox::currentTextChanged, this, [this, write](const QString& text) {
    write(text);
    CommitChange();
  });
  return list;
}

// A site's group: its rows as laid out, each control writing its field.
QGroupBox* SiteForm::BuildGroup(bool new_site) {
  const QString p = new_site ? "New" : "Old";
  auto* group = new QGroupBox(new_site ? "New Site" : "Original Site", this);
  auto* grid = new QGridLayout(group);
  SiteSettings& client = new_site ? profile_.NewSite : profile_.OldSite;
  std::string& url = new_site ? profile_.NewURL : profile_.OldURL;
  std::string& start = new_site ? profile_.NewStartDir : profile_.OldStartDir;
  auto label = [group](const QString& text) { return new QLabel(text, group); };

  grid->addWidget(label(new_site ? "New URL:" : "Old URL:"), 0, 0);
  grid->addWidget(AddEdit(group, p + "URL", [&url](const QString& t) { url = S(t); }), 0, 1, 1, 5);
  grid->addWidget(label("Server/IP:"), 1, 0);
  grid->addWidget(AddEdit(group, p + "ServerIP", [&client](const QString& t) { client.HostName = S(t); }), 1, 1, 1, 5);
  grid->addWidget(label("UserId:"), 2, 0);
  grid->addWidget(AddEdit(group, p + "UserId", [&client](const QString& t) { client.UserName = S(t); }), 2, 1, 1, 2);
  grid->addWidget(label("Password:"), 2, 3);
  QLineEdit* password = AddEdit(group, p + "Password", [&client](const QString& t) { client.PassWord = S(t); });
  password->setEchoMode(QLineEdit::Password);
  // Each hidden character shows as "*", whatever the style's own mark.
  password->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");
  grid->addWidget(password, 2, 4, 1, 2);
  AddTransferRow(grid, group, new_site);
  grid->addWidget(label("Start Dir:"), 4, 0);
  grid->addWidget(AddEdit(group, p + "StartDir", [&start](const QString& t) { start = StartDirOf(S(t)); }), 4, 1, 1, 5);
  grid->addWidget(label("Proxy:"), 5, 0);
  grid->addWidget(AddEdit(group, p + "Proxy", [&client](const QString& t) { client.ProxyServer = S(t); }), 5, 1, 1, 2);
  // The FTP proxy applies to FTP; a private key to SFTP (empty: the agent
  // and ssh's own defaults).
  grid->addWidget(label("Key file:"), 5, 3);
  QLineEdit* key = AddEdit(group, p + "KeyFile", [&client](const QString& t) { client.KeyFile = S(t); });
  key->setToolTip(
      "SFTP: the private key to log in with. Empty: ssh's own keys and agent, as ssh would use them for this "
      "host");
  grid->addWidget(key, 5, 4, 1, 2);
  AddRetryRow(grid, group, new_site);
  AddSecurityRow(grid, group, new_site);
  auto* test = new QPushButton("Test connection", group);
  test->setObjectName(p + "TestBtn");
  test->setAutoDefault(false);
  test->setToolTip(
      "Connect to this site, log in and go to its start directory, changing nothing, and show what "
      "happened");
  connect(test, &QPushButton::clicked, this, [this, new_site] { TestConnectionClick(new_site); });
  grid->addWidget(test, 8, 4, 1, 2);
  if (new_site) {
    AddRemovalRow(grid, group);
  } else {
    QCheckBox* all = AddCheck(group, "OldAllPages", "Also redirect pages only the old site has",
                              [this](bool on) { profile_.OldAllPages = on; });
    all->setToolTip(
        "The redirection pages also go over every .htm or .html page of the old site that the local folder does not "
        "hold, each pointing at the same path on the new site, with the title of the old page");
    grid->addWidget(all, 10, 0, 1, 4);
  }
  grid->setColumnStretch(1, 1);
  return group;
}

// The captions of the encryption list, in the order of the stored numbers.
const QStringList& SiteForm::SecurityCaptions() {
  static const QStringList captions = {"Plain FTP, insecure", "Explicit FTP over TLS", "Implicit FTP over TLS"};
  return captions;
}

// The protocol, then FTP over TLS or not. The port follows both while it
// holds a default (ftp, 21, 990 or 22): implicit TLS listens on 990 by
// custom, SFTP on 22.
void SiteForm::AddSecurityRow(QGridLayout* grid, QGroupBox* group, bool new_site) {
  const QString p = new_site ? "New" : "Old";
  SiteSettings& client = new_site ? profile_.NewSite : profile_.OldSite;
  const auto follow = [this, &client, p] {
    if (filling_) return;
    auto* port = findChild<QLineEdit*>(p + "Port");
    const QString now = port->text().trimmed();
    if (now.isEmpty() || now == "ftp" || now == "21" || now == "990" || now == "22") {
      port->setText(client.Protocol == SiteProtocol::Sftp      ? "22"
                    : client.Security == FtpSecurity::Implicit ? "990"
                    : now == "21"                              ? "21"
                                                               : "ftp");
    }
  };
  grid->addWidget(new QLabel("Protocol:", group), 7, 0);
  QComboBox* protocol =
      AddList(group, p + "Protocol", {"FTP", "SFTP"}, [this, &client, follow, new_site](const QString& t) {
        client.Protocol = t == "SFTP" ? SiteProtocol::Sftp : SiteProtocol::Ftp;
        follow();
        ShowProtocol(new_site);
      });
  protocol->setToolTip(
      "FTP: FTP or FTP over TLS, as Encryption says.\nSFTP: files over SSH, through the ssh command: your "
      "~/.ssh/config, agent, keys and known_hosts apply");
  grid->addWidget(protocol, 7, 1);
  grid->addWidget(new QLabel("Encryption:", group), 7, 2);
  QComboBox* list = AddList(group, p + "Security", SecurityCaptions(), [&client, follow](const QString& t) {
    client.Security = static_cast<FtpSecurity>(std::max<qsizetype>(0, SecurityCaptions().indexOf(t)));
    follow();
  });
  list->setToolTip("FTP only: SFTP is always encrypted");
  grid->addWidget(list, 7, 3, 1, 3);
  // The transfer method below it: classic, as the program always worked,
  // or modern.
  grid->addWidget(new QLabel("Method:", group), 8, 0);
  QComboBox* method = AddList(group, p + "Method", {"Classic", "Modern"}, [this, &client, new_site](const QString& t) {
    client.Method = t == "Modern" ? TransferMethod::Modern : TransferMethod::Classic;
    if (!filling_) ShowProtocol(new_site);
  });
  method->setToolTip(
      "Classic: the program's first way, kept exactly: 1460-byte blocks and a 100 ms pause before each upload's "
      "data connection closes.\nModern: 64 KiB blocks, and each data connection closes as soon as its last byte "
      "has left: many small files go dozens of times faster.");
  grid->addWidget(method, 8, 1);
  int& connections = new_site ? profile_.NewConnections : profile_.OldConnections;
  grid->addWidget(new QLabel("Connections:", group), 8, 2);
  QComboBox* count = AddList(group, p + "Connections", {"1", "2", "3", "4", "5", "6", "7", "8"},
                             [&connections](const QString& t) { connections = std::clamp(t.toInt(), 1, 8); });
  count->setToolTip(
      "How many connections the modern method and SFTP send or fetch over side by side; a server that takes "
      "fewer closes the rest and the run goes on without them. The classic method always uses one.");
  grid->addWidget(count, 8, 3);
  // The choice in words, where it is made: the method decides most of the
  // time a site of many small files takes.
  auto* note = new QLabel(kMethodNote, group);
  note->setObjectName(p + "MethodNote");
  note->setWordWrap(true);
  // A grid does not ask a wrapped label how tall it needs to be.
  note->setMinimumHeight(note->fontMetrics().lineSpacing() * 4 + 6);
  note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  grid->addWidget(note, 9, 0, 1, 6);
}

// Port, transfer type (new site only), passive mode and write mode.
// What applies to the site's protocol is enabled; the note says how SFTP
// sends, where FTP's says what the method does.
void SiteForm::ShowProtocol(bool new_site) {
  const QString p = new_site ? "New" : "Old";
  const bool sftp = (new_site ? profile_.NewSite : profile_.OldSite).Protocol == SiteProtocol::Sftp;
  for (const char* name : {"Security", "Method", "PASV", "Proxy"}) Control(p + name)->setEnabled(!sftp);
  if (new_site) Control("NewTransfer")->setEnabled(!sftp);
  Control(p + "KeyFile")->setEnabled(sftp);
  // The classic method always works over one connection.
  Control(p + "Connections")
      ->setEnabled(sftp || (new_site ? profile_.NewSite : profile_.OldSite).Method == TransferMethod::Modern);
  auto* note = findChild<QLabel*>(p + "MethodNote");
  note->setText(sftp ? "SFTP sends every file byte for byte under a temporary name and renames it into place, with "
                       "one listing per folder and no pause: the modern way, whatever the Method list says. The "
                       "host's key must be known: the first run shows its fingerprint and asks."
                     : kMethodNote);
}

void SiteForm::AddTransferRow(QGridLayout* grid, QGroupBox* group, bool new_site) {
  const QString p = new_site ? "New" : "Old";
  SiteSettings& client = new_site ? profile_.NewSite : profile_.OldSite;
  grid->addWidget(new QLabel("Port:", group), 3, 0);
  QLineEdit* port = AddEdit(group, p + "Port", [&client](const QString& t) { client.Port = S(t); });
  port->setMaximumWidth(60);
  grid->addWidget(port, 3, 1);
  if (new_site) {
    auto* tx = new QLabel("Tx:", group);
    tx->setToolTip(
        "Transfer type: Auto sends files whose extensions are in Text Extensions as text (ASCII) and "
        "all others as binary");
    grid->addWidget(tx, 3, 2);
    grid->addWidget(AddList(group, "NewTransfer", {"Auto", "Binary", "ASCII"},
                            [this](const QString& t) {
                              profile_.NewAutoDetect = t == "Auto";
                              profile_.NewBinary = t == "Binary";
                            }),
                    3, 3);
  }
  QCheckBox* passive = AddCheck(group, p + "PASV", "PASV?", [&client](bool on) { client.SetPassive(on); });
  passive->setToolTip(
      "Passive mode: the client opens every data connection, which works through most firewalls "
      "and routers; off, the server connects back to this computer");
  grid->addWidget(passive, 3, 4);
  const QStringList modes =
      new_site ? QStringList{"Overwrite All", "Wrt Changes", "Wipe Site"} : QStringList{"Overwrite All", "Wipe Site"};
  QComboBox* write = AddList(group, p + "Write", modes, [this, new_site](const QString& t) {
    if (new_site) {
      profile_.NewWipe = t == "Wipe Site";
      profile_.NewChanges = t == "Wrt Changes";
      if (!filling_) ShowRemoval();
    } else {
      profile_.OldWipe = t == "Wipe Site";
    }
  });
  // What each write mode does, on its item and on the list. Changing an
  // item's data signals a change of the current text, which must not write
  // the profile.
  const QSignalBlocker quiet(write);
  // On the old site a wipe takes more than the pages the redirection pages
  // replace: it is said where the choice is made.
  const QString wipe_tip =
      new_site ? "Wipe Site: everything below the start directory is deleted first (dot-files are kept), then every "
                 "file is sent"
               : "Wipe Site: everything below the start directory is deleted first (dot-files are kept), then the "
                 "redirection pages are sent. Warning: the old site's pictures, style sheets and downloads are "
                 "deleted too, and no page replaces them";
  const QStringList tips = {
      "Overwrite All: every file is deleted on the server and sent again",
      "Wrt Changes (write changes): a file is sent only when the server has no copy or an older one", wipe_tip};
  for (int i = 0; i < write->count(); ++i) {
    const QString text = write->itemText(i);
    for (const QString& tip : tips) {
      if (tip.startsWith(text)) write->setItemData(i, tip, Qt::ToolTipRole);
    }
  }
  write->setToolTip(new_site ? tips.join("\n") : tips[0] + "\n" + tips[2]);
  grid->addWidget(write, 3, 5);
}

// Keeping the new site in step: what is no longer local goes after a
// publish that sent everything, up to a number of files without asking. A
// wipe leaves nothing to remove, so the two exclude each other.
void SiteForm::AddRemovalRow(QGridLayout* grid, QGroupBox* group) {
  QCheckBox* remove =
      AddCheck(group, "NewDelete", "Remove files that are no longer in the local folder", [this](bool on) {
        profile_.NewDelete = on;
        if (!filling_) ShowRemoval();
      });
  remove->setToolTip(
      "After a publish that sent every file, the files and folders below the start directory that the local "
      "folder no longer has are removed (dot-files, the FrontPage folders and excluded names stay). A test run "
      "lists them.");
  grid->addWidget(remove, 10, 0, 1, 4);
  grid->addWidget(new QLabel("Ask past:", group), 10, 4);
  QLineEdit* limit = AddEdit(group, "NewMaxDelete", [this](const QString& t) {
    profile_.NewMaxDelete = std::max(0, NumberOr(t, profile_.NewMaxDelete));
  });
  limit->setToolTip("How many files one run removes without asking (or 10 % of the server's files, when that is more)");
  limit->setMaximumWidth(60);
  grid->addWidget(limit, 10, 5);
}

void SiteForm::ShowRemoval() {
  const bool wipe = profile_.NewWipe;
  Control("NewDelete")->setEnabled(!wipe);
  Control("NewMaxDelete")->setEnabled(!wipe && profile_.NewDelete);
}

// Retries, the pause between them, and whether it grows.
void SiteForm::AddRetryRow(QGridLayout* grid, QGroupBox* group, bool new_site) {
  const QString p = new_site ? "New" : "Old";
  int& retries = new_site ? profile_.NewRetries : profile_.OldRetries;
  int& pause = new_site ? profile_.NewRetryPause : profile_.OldRetryPause;
  bool& ramped = new_site ? profile_.NewRamped : profile_.OldRamped;
  grid->addWidget(new QLabel("Max. Retries:", group), 6, 0);
  QLineEdit* retry_edit =
      AddEdit(group, p + "Retries", [&retries](const QString& t) { retries = NumberOr(t, retries); });
  retry_edit->setMaximumWidth(60);
  grid->addWidget(retry_edit, 6, 1);
  grid->addWidget(new QLabel("Seconds between Retries:", group), 6, 2, 1, 2);
  QLineEdit* pause_edit = AddEdit(group, p + "RetryPause", [&pause](const QString& t) { pause = NumberOr(t, pause); });
  pause_edit->setMaximumWidth(60);
  grid->addWidget(pause_edit, 6, 4);
  grid->addWidget(AddCheck(group, p + "Ramped", "Ramped", [&ramped](bool on) { ramped = on; }), 6, 5);
}

QWidget* SiteForm::Control(const QString& name) const { return findChild<QWidget*>(name); }

void SiteForm::CommitChange() {
  if (filling_) return;
  const std::string current = profile_.GetCurrentProfile();
  if (profile_.SaveRegistry(current) && profile_list_->findText(Q(current), Qt::MatchFixedString) < 0) {
    // The list shows the names in the store's order, sorted without regard
    // to case, the new one among them.
    const QString text = profile_list_->currentText();
    const int position = profile_list_->lineEdit() ? profile_list_->lineEdit()->cursorPosition() : 0;
    profile_.RefreshProfileList();
    profile_list_->blockSignals(true);
    profile_list_->clear();
    for (const std::string& name : profile_.ProfileList) profile_list_->addItem(Q(name));
    profile_list_->setEditText(text);
    if (profile_list_->lineEdit()) profile_list_->lineEdit()->setCursorPosition(position);
    profile_list_->blockSignals(false);
  }
}

void SiteForm::TestConnectionClick(bool new_site) {
  auto* button = findChild<QPushButton*>(new_site ? "NewTestBtn" : "OldTestBtn");
  button->setEnabled(false);
  const QString old_text = button->text();
  button->setText("Testing...");
  SiteSettings& client = new_site ? profile_.NewSite : profile_.OldSite;
  const ConnectionReport report = TestConnection(client, new_site ? profile_.NewStartDir : profile_.OldStartDir);
  button->setText(old_text);
  button->setEnabled(true);
  const QString title = new_site ? "Test connection: new site" : "Test connection: original site";
  if (report.ok) {
    DialogService::Current().Inform(this, title, QString::fromStdString(report.Text()));
  } else {
    DialogService::Current().ShowError(this, title, QString::fromStdString(report.Text()));
  }
}

void SiteForm::FillFromProfile() {
  filling_ = true;
  auto edit = [this](const char* name, const std::string& text) { SetText(findChild<QLineEdit*>(name), text); };
  auto check = [this](const char* name, bool on) { findChild<QCheckBox*>(name)->setChecked(on); };
  auto list = [this](const char* name, const char* text) { findChild<QComboBox*>(name)->setCurrentText(text); };
  for (const bool new_site : {true, false}) {
    const SiteSettings& client = new_site ? profile_.NewSite : profile_.OldSite;
    const std::string p = new_site ? "New" : "Old";
    edit((p + "URL").c_str(), new_site ? profile_.NewURL : profile_.OldURL);
    edit((p + "ServerIP").c_str(), client.HostName);
    edit((p + "UserId").c_str(), client.UserName);
    edit((p + "Password").c_str(), client.PassWord);
    edit((p + "Port").c_str(), client.Port);
    edit((p + "StartDir").c_str(), new_site ? profile_.NewStartDir : profile_.OldStartDir);
    edit((p + "Proxy").c_str(), client.ProxyServer);
    edit((p + "KeyFile").c_str(), client.KeyFile);
    edit((p + "Retries").c_str(), std::to_string(new_site ? profile_.NewRetries : profile_.OldRetries));
    edit((p + "RetryPause").c_str(), std::to_string(new_site ? profile_.NewRetryPause : profile_.OldRetryPause));
    check((p + "PASV").c_str(), client.Passive());
    check((p + "Ramped").c_str(), new_site ? profile_.NewRamped : profile_.OldRamped);
    findChild<QComboBox*>(Q(p + "Security"))->setCurrentIndex(static_cast<int>(client.Security));
    findChild<QComboBox*>(Q(p + "Method"))->setCurrentIndex(static_cast<int>(client.Method));
    findChild<QComboBox*>(Q(p + "Connections"))
        ->setCurrentText(
            QString::number(std::clamp(new_site ? profile_.NewConnections : profile_.OldConnections, 1, 8)));
    findChild<QComboBox*>(Q(p + "Protocol"))->setCurrentIndex(client.Protocol == SiteProtocol::Sftp ? 1 : 0);
    ShowProtocol(new_site);
  }
  list("NewWrite", profile_.NewWipe ? "Wipe Site" : profile_.NewChanges ? "Wrt Changes" : "Overwrite All");
  list("OldWrite", profile_.OldWipe ? "Wipe Site" : "Overwrite All");
  list("NewTransfer", profile_.NewBinary ? "Binary" : profile_.NewAutoDetect ? "Auto" : "ASCII");
  SetText(text_exts_, profile_.AutoDetectExts);
  check("NewDelete", profile_.NewDelete);
  check("OldAllPages", profile_.OldAllPages);
  edit("NewMaxDelete", std::to_string(profile_.NewMaxDelete));
  if (exclude_->toPlainText() != Q(profile_.Exclude)) exclude_->setPlainText(Q(profile_.Exclude));
  ShowRemoval();
  test_run_->setChecked(profile_.TestRun);
  excl_front_page_->setChecked(profile_.ExclFrontPage);
  filling_ = false;
}

void SiteForm::ApplyProfileChoice() {
  const QString text = profile_list_->currentText();
  const bool is_default = SameText(S(text), "Default");
  const bool existing = !is_default && profile_list_->findText(text, Qt::MatchFixedString) >= 0;
  if ((is_default || existing) && !SameText(S(text), S(last_profile_name_))) {
    profile_.LoadRegistry(profile_.GetCurrentProfile());
    FillFromProfile();
  } else if (!text.isEmpty() && !is_default && !existing && (profile_.NewWipe || profile_.OldWipe)) {
    // A new profile starts as a copy of the one shown, but never wipes a
    // site the user has not chosen to wipe for it.
    profile_.NewWipe = profile_.OldWipe = false;
    FillFromProfile();
  }
  delete_btn_->setEnabled(existing);
  const bool named = !text.isEmpty();
  new_group_->setEnabled(named);
  old_group_->setEnabled(named);
  test_run_->setEnabled(named);
  excl_front_page_->setEnabled(named);
}

void SiteForm::ProfileChange(const QString& text) {
  if (!text.isEmpty()) profile_.SetCurrentProfile(S(text));
  ApplyProfileChoice();
  last_profile_name_ = text;
  profile_.RefreshProfileList();
  if (!text.isEmpty()) profile_.SetCurrentProfile(S(text));
}

void SiteForm::DeleteBtnClick() {
  const QString name = profile_list_->currentText();
  if (DialogService::Current().Ask(this, QMessageBox::Warning, "Warning",
                                   "Permanently Delete Profile \"" + name + "\"?",
                                   QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok) {
    return;
  }
  const std::string current = profile_.GetCurrentProfile();
  if (!profile_.DeleteProfile(current)) {
    DialogService::Current().ShowError(this, "Kestova", "Delete of Profile " + Q(current) + " failed.");
    return;
  }
  profile_.SetCurrentProfile("Default");
  showEvent(nullptr);
}

void SiteForm::showEvent(QShowEvent* event) {
  if (event) QDialog::showEvent(event);
  last_profile_name_.clear();
  filling_ = false;
  profile_.RefreshProfileList();
  profile_list_->blockSignals(true);
  profile_list_->clear();
  for (const std::string& name : profile_.ProfileList) profile_list_->addItem(Q(name));
  profile_list_->setEditText(Q(profile_.GetCurrentProfile()));
  profile_list_->blockSignals(false);
  FillFromProfile();
  ApplyProfileChoice();
  if (event) {
    // The first keystrokes go to the old site's address, as the window's
    // tab order begins there.
    if (QWidget* first = findChild<QWidget*>("OldURL")) first->setFocus();
    if (!placed_) {
      placed_ = true;
      if (const auto place = RememberedPlace(profile_.StoreFile(), "Site")) setGeometry(*place);
    }
  }
}

// Every way of closing (the close box, Esc) ends here.
void SiteForm::done(int result) {
  CommitChange();  // closing always saves, and creates a profile only typed
  RememberPlace(profile_.StoreFile(), "Site", geometry());
  if (profile_.GetCurrentProfile().empty()) profile_.SetCurrentProfile("Default");
  QDialog::done(result);
  if (Closed) Closed();
}

void SiteForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    if (ShowHelpPage) ShowHelpPage();
    return;
  }
  // The window closes by its frame's close control only: an Esc meant for
  // a list that is open must not close it.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace kestova
