// The site and login details window, offscreen.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <deque>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "profile/site_profile.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "ui/dialog_service.h"
#include "ui/site_form.h"

namespace kestova {
namespace {

const std::string kSite = "\\Software\\Brindlecote\\Kestova\\Site";

class AnswerOk : public DialogService {
 public:
  std::vector<QString> asked;
  QMessageBox::StandardButton Ask(QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                                  QMessageBox::StandardButtons, QMessageBox::StandardButton) override {
    asked.push_back(text);
    return QMessageBox::Ok;
  }
  // Errors and information, as "title: text".
  std::vector<QString> shown;
  void ShowError(QWidget*, const QString& title, const QString& text) override { shown.push_back(title + ": " + text); }
  void Inform(QWidget*, const QString& title, const QString& text) override { shown.push_back(title + ": " + text); }
  QString AskText(QWidget*, const QString&, const QString&) override { return {}; }
  QString ChooseFolder(QWidget*, const QString&) override { return {}; }
  QString OpenFile(QWidget*, const QString&) override { return {}; }
  QString SaveFile(QWidget*) override { return {}; }
};

class SiteFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dialogs = std::make_unique<AnswerOk>();
    dialogs_ = dialogs.get();
    DialogService::Install(std::move(dialogs));
    profile_.RefreshProfileList();
    profile_.LoadRegistry("Default");
    form_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form_));
  }
  void TearDown() override { DialogService::Install(std::make_unique<MessageBoxDialogs>()); }

  QLineEdit* Edit(const char* name) { return qobject_cast<QLineEdit*>(form_.Control(name)); }
  void Retype(const char* name, const QString& text) {
    Edit(name)->selectAll();
    QTest::keyClicks(Edit(name), text);
  }
  Registry Store() { return Registry(dir_.File("registry.db")); }

  testing::TempDir dir_;
  SiteProfile profile_{dir_.File("registry.db")};
  SiteForm form_{profile_};
  AnswerOk* dialogs_ = nullptr;
};

TEST_F(SiteFormTest, ATypedNameBecomesAProfileAtTheFirstEdit) {
  profile_.OldWipe = true;  // the profile shown wipes the old site; the new one does not
  form_.ProfileList()->setEditText("Shop");
  EXPECT_FALSE(Store().KeyExists(kSite + "\\prof_Shop"));
  Retype("NewPort", "2121");
  ASSERT_TRUE(Store().KeyExists(kSite + "\\prof_Shop"));
  EXPECT_EQ(Store().ReadString(kSite + "\\prof_Shop", "NewPort"), "2121");
  EXPECT_EQ(Store().ReadString(kSite + "\\prof_Shop", "OldURL"), profile_.OldURL);  // a copy of Default
  EXPECT_EQ(Store().ReadInteger(kSite + "\\prof_Shop", "OldWipe"), 0);
  EXPECT_GE(form_.ProfileList()->findText("Shop"), 0);
  EXPECT_EQ(Store().ReadString(kSite + "\\Default", "NewPort"), "ftp");
}

TEST_F(SiteFormTest, ATypedNameIsNotCompletedIntoAStoredOne) {
  // "Shop" is stored with its own host; the user types "Sx", letter by letter.
  form_.ProfileList()->setEditText("Shop");
  Retype("NewServerIP", "ftp.shop.test");
  form_.ProfileList()->setEditText("Default");
  ASSERT_EQ(Edit("NewServerIP")->text().toStdString(), profile_.NewSite.HostName);
  const std::string default_host = profile_.NewSite.HostName;
  form_.ProfileList()->lineEdit()->clear();
  form_.ProfileList()->setFocus();
  // A backslash (a key separator) and control characters are not taken.
  QTest::keyClicks(form_.ProfileList()->lineEdit(), "S\\\x1bx");
  EXPECT_EQ(form_.ProfileList()->currentText(), "Sx");
  Retype("NewPort", "2121");
  ASSERT_TRUE(Store().KeyExists(kSite + "\\prof_Sx"));
  EXPECT_EQ(Store().ReadString(kSite + "\\prof_Sx", "NewHostName"), default_host) << "a copy of Default, not of Shop";
  EXPECT_EQ(Store().ReadString(kSite + "\\prof_Shop", "NewPort"), "ftp");
}

TEST_F(SiteFormTest, ConversionsKeepWhatCannotBeStored) {
  Retype("NewStartDir", "/www/");
  EXPECT_EQ(profile_.NewStartDir, "/www");
  Retype("OldStartDir", "/www//");
  EXPECT_EQ(profile_.OldStartDir, "/www/");
  Retype("NewStartDir", "/");  // the root stays the root, not the login folder
  EXPECT_EQ(Store().ReadString(kSite + "\\Default", "NewStartDir"), "/");
  Retype("NewRetries", "x");
  EXPECT_EQ(profile_.NewRetries, 5);
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewRetries"), 5);
  EXPECT_EQ(Edit("NewRetries")->text(), "x");
}

TEST_F(SiteFormTest, WrtChangesSurvivesReopening) {
  qobject_cast<QComboBox*>(form_.Control("NewWrite"))->setCurrentText("Wrt Changes");
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewChanges"), 1);
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewWipe"), 0);
  form_.close();
  form_.show();
  EXPECT_EQ(qobject_cast<QComboBox*>(form_.Control("NewWrite"))->currentText(), "Wrt Changes");
  // A window made for the loaded profile (as the program makes it) changes
  // nothing while it is built.
  profile_.LoadRegistry("Default");
  SiteForm another(profile_);
  EXPECT_TRUE(profile_.NewChanges);
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewChanges"), 1);
}

TEST_F(SiteFormTest, TheProtocolEncryptionAndMethodListsStoreTheChoiceAndThePortFollowsWhileItHoldsADefault) {
  auto* list = qobject_cast<QComboBox*>(form_.Control("OldSecurity"));
  ASSERT_EQ(list->currentText(), "Plain FTP, insecure");
  const struct {
    const char* typed_port;  // nullptr: as it is
    const char* chosen;
    const char* port;
    int stored;
  } steps[] = {
      {nullptr, "Implicit FTP over TLS", "990", 2}, {nullptr, "Explicit FTP over TLS", "ftp", 1},
      {"21", "Implicit FTP over TLS", "990", 2},    {nullptr, "Plain FTP, insecure", "ftp", 0},
      {"2121", "Implicit FTP over TLS", "2121", 2},  // a port of the user's own stays
  };
  for (const auto& step : steps) {
    if (step.typed_port) Retype("OldPort", step.typed_port);
    list->setCurrentText(step.chosen);
    EXPECT_EQ(Edit("OldPort")->text().toStdString(), step.port) << step.chosen;
    EXPECT_EQ(Store().ReadString(kSite + "\\Default", "OldPort"), step.port) << step.chosen;
    EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "OldSecurity"), step.stored);
  }
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewSecurity"), 0);
  // The protocol list: SFTP takes port 22 and the key file, and what
  // applies to FTP only is disabled; back to FTP, all of it returns.
  auto* protocol = qobject_cast<QComboBox*>(form_.Control("NewProtocol"));
  ASSERT_EQ(protocol->currentText(), "FTP");
  EXPECT_FALSE(form_.Control("NewKeyFile")->isEnabled());
  for (const bool sftp : {true, false}) {
    protocol->setCurrentText(sftp ? "SFTP" : "FTP");
    EXPECT_EQ(Edit("NewPort")->text(), sftp ? "22" : "ftp");
    EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewProtocol"), sftp ? 1 : 0);
    for (const char* ftp_only : {"NewSecurity", "NewMethod", "NewPASV", "NewProxy", "NewTransfer"}) {
      EXPECT_EQ(form_.Control(ftp_only)->isEnabled(), !sftp) << ftp_only;
    }
    EXPECT_EQ(form_.Control("NewKeyFile")->isEnabled(), sftp);
    EXPECT_EQ(qobject_cast<QLabel*>(form_.Control("NewMethodNote"))->text().startsWith("SFTP sends"), sftp);
    if (sftp) Retype("NewKeyFile", "/home/me/.ssh/id_site");
  }
  EXPECT_EQ(Store().ReadString(kSite + "\\Default", "NewKeyFile"), "/home/me/.ssh/id_site");
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "OldProtocol"), 0);
  // The method list beside it.
  auto* method = qobject_cast<QComboBox*>(form_.Control("NewMethod"));
  ASSERT_EQ(method->currentText(), "Classic");
  EXPECT_FALSE(method->toolTip().isEmpty());
  method->setCurrentText("Modern");
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewMethod"), 1);
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "OldMethod"), 0);
  form_.close();
  form_.show();
  EXPECT_EQ(method->currentText(), "Modern");
  EXPECT_EQ(list->currentText(), "Implicit FTP over TLS");
  EXPECT_EQ(Edit("OldPort")->text(), "2121");
}

// Keeping the site in step: the removal choice and its limit are stored,
// Wipe Site turns them off (a wipe leaves nothing to remove), and the
// exclusion patterns are kept as typed, one a line.
TEST_F(SiteFormTest, TheRemovalChoiceItsLimitAndTheExclusionsAreStored) {
  auto* remove = qobject_cast<QCheckBox*>(form_.Control("NewDelete"));
  ASSERT_FALSE(remove->isChecked());
  EXPECT_FALSE(form_.Control("NewMaxDelete")->isEnabled());
  remove->setChecked(true);
  EXPECT_TRUE(form_.Control("NewMaxDelete")->isEnabled());
  Retype("NewMaxDelete", "200");
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewDelete"), 1);
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewMaxDelete"), 200);
  auto* write = qobject_cast<QComboBox*>(form_.Control("NewWrite"));
  write->setCurrentText("Wipe Site");
  EXPECT_FALSE(remove->isEnabled());
  write->setCurrentText("Overwrite All");
  EXPECT_TRUE(remove->isEnabled());
  auto* exclude = qobject_cast<QPlainTextEdit*>(form_.Control("Exclude"));
  exclude->setFocus();
  QTest::keyClicks(exclude, "*.psd");
  QTest::keyClick(exclude, Qt::Key_Return);
  QTest::keyClicks(exclude, "drafts/");
  EXPECT_EQ(Store().ReadString(kSite + "\\Default", "Exclude"), "*.psd\ndrafts/");
  // Beside the old site's write mode: the old site's own pages.
  auto* all_pages = qobject_cast<QCheckBox*>(form_.Control("OldAllPages"));
  ASSERT_FALSE(all_pages->isChecked());
  all_pages->setChecked(true);
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "OldAllPages"), 1);
  auto* connections = qobject_cast<QComboBox*>(form_.Control("NewConnections"));
  EXPECT_EQ(connections->currentText(), "4");
  // Open while the method is modern (or the site SFTP): the classic
  // method works over one connection.
  auto* method = qobject_cast<QComboBox*>(form_.Control("NewMethod"));
  method->setCurrentText("Classic");
  EXPECT_FALSE(connections->isEnabled());
  method->setCurrentText("Modern");
  EXPECT_TRUE(connections->isEnabled());
  connections->setCurrentText("2");
  EXPECT_EQ(Store().ReadInteger(kSite + "\\Default", "NewConnections"), 2);
  form_.close();
  form_.show();
  EXPECT_TRUE(remove->isChecked());
  EXPECT_TRUE(all_pages->isChecked());
  EXPECT_EQ(connections->currentText(), "2");
  EXPECT_EQ(exclude->toPlainText(), "*.psd\ndrafts/");
}

TEST_F(SiteFormTest, DefaultInCapitalsCannotBeDeletedAndAnEmptyNameDisablesTheSites) {
  form_.ProfileList()->setEditText("DEFAULT");
  EXPECT_FALSE(form_.DeleteBtn()->isEnabled());
  form_.ProfileList()->setEditText("");
  EXPECT_FALSE(form_.NewGroup()->isEnabled());
  EXPECT_FALSE(form_.OldGroup()->isEnabled());
  EXPECT_FALSE(form_.TestRun()->isEnabled());
  EXPECT_TRUE(form_.TextExts()->isEnabled());
}

TEST_F(SiteFormTest, DeletingAProfileAsksThenShowsDefault) {
  form_.ProfileList()->setEditText("Shop");
  Retype("NewPort", "2121");
  form_.close();
  form_.show();
  form_.ProfileList()->setEditText("Shop");
  ASSERT_TRUE(form_.DeleteBtn()->isEnabled());
  QTest::mouseClick(form_.DeleteBtn(), Qt::LeftButton);
  ASSERT_EQ(dialogs_->asked.size(), 1u);
  EXPECT_EQ(dialogs_->asked[0], "Permanently Delete Profile \"Shop\"?");
  EXPECT_FALSE(Store().KeyExists(kSite + "\\prof_Shop"));
  EXPECT_EQ(form_.ProfileList()->currentText(), "Default");
  EXPECT_LT(form_.ProfileList()->findText("Shop"), 0);
}

// The audit's list: first focus on the old site's address, Esc leaves the
// window open, passwords show "*", a saved new name sorts without regard to
// case, and the short captions explain themselves.
TEST_F(SiteFormTest, TheWindowBehavesAsDescribed) {
  EXPECT_EQ(QApplication::focusWidget(), form_.Control("OldURL"));
  QTest::keyClick(&form_, Qt::Key_Escape);
  EXPECT_TRUE(form_.isVisible()) << "Esc closed the window";
  // The transfer methods are explained in words on the window, not only in a tooltip.
  for (const char* name : {"NewMethodNote", "OldMethodNote"}) {
    const auto* note = form_.findChild<QLabel*>(name);
    ASSERT_NE(note, nullptr) << name;
    EXPECT_TRUE(note->isVisible());
    EXPECT_TRUE(note->text().contains("Modern has no pause")) << name;
  }
  for (const char* name : {"NewPassword", "OldPassword"}) {
    EXPECT_EQ(Edit(name)->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Edit(name)->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, Edit(name)), '*');
  }
  form_.ProfileList()->setEditText("Beta");
  Retype("NewPort", "2121");
  form_.ProfileList()->setEditText("alpha");
  Retype("NewPort", "2122");
  QStringList names;
  for (int i = 0; i < form_.ProfileList()->count(); ++i) names << form_.ProfileList()->itemText(i);
  EXPECT_LT(names.indexOf("alpha"), names.indexOf("Beta")) << names.join(",").toStdString();
  EXPECT_EQ(form_.ProfileList()->currentText(), "alpha");
  for (const char* name : {"NewPASV", "OldPASV", "NewWrite", "NewTestBtn"}) {
    EXPECT_FALSE(form_.Control(name)->toolTip().isEmpty()) << name;
  }
  const auto* write = qobject_cast<QComboBox*>(form_.Control("NewWrite"));
  EXPECT_TRUE(write->itemData(1, Qt::ToolTipRole).toString().startsWith("Wrt Changes (write changes)"));
}

TEST_F(SiteFormTest, TestConnectionLogsInAndReportsTheServersReply) {
  std::string why;
  auto server =
      testing::FtpServerFixture::Start(testing::FtpServerFixture::Kind::Pyftpdlib, (dir_.Path() / "ftp").string(), why);
  ASSERT_TRUE(server) << why;
  std::filesystem::create_directories(dir_.Path() / "ftp" / "www");
  Retype("NewServerIP", "127.0.0.1");
  Retype("NewPort", QString::fromStdString(server->Port()));
  Retype("NewUserId", QString::fromStdString(server->User()));
  Retype("NewPassword", QString::fromStdString(server->Password()));
  Retype("NewStartDir", "/www");
  QTest::mouseClick(qobject_cast<QPushButton*>(form_.Control("NewTestBtn")), Qt::LeftButton);
  ASSERT_EQ(dialogs_->shown.size(), 1u);
  const std::string told = dialogs_->shown[0].toStdString();
  EXPECT_THAT(told, ::testing::StartsWith("Test connection: new site: Connected to 127.0.0.1 port " + server->Port() +
                                          " and logged in as " + server->User() + "."));
  EXPECT_THAT(told, ::testing::HasSubstr("\nEntered the start directory /www.\nServer's reply: 257 \"/www\""));

  Retype("NewPassword", "wrong");
  Retype("NewStartDir", "/missing");
  QTest::mouseClick(qobject_cast<QPushButton*>(form_.Control("NewTestBtn")), Qt::LeftButton);
  ASSERT_EQ(dialogs_->shown.size(), 2u);
  EXPECT_THAT(dialogs_->shown[1].toStdString(),
              ::testing::MatchesRegex("Test connection: new site: Could not connect to 127.0.0.1 port [0-9]+ and log "
                                      "in.\nReason: 530 .*"));
  EXPECT_EQ(dialogs_->shown[1].toStdString().find("wrong"), std::string::npos) << "the password was shown";
  Retype("NewPassword", QString::fromStdString(server->Password()));
  QTest::mouseClick(qobject_cast<QPushButton*>(form_.Control("NewTestBtn")), Qt::LeftButton);
  ASSERT_EQ(dialogs_->shown.size(), 3u);
  EXPECT_THAT(dialogs_->shown[2].toStdString(),
              ::testing::HasSubstr("The start directory /missing cannot be entered: 550"));
}

// Over TLS the report says how the connection is protected, or shows the
// certificate that stopped it before the login.
TEST_F(SiteFormTest, TestConnectionOverTlsTellsHowTheCertificateWasTaken) {
  std::string why;
  testing::FtpServerOptions options;
  options.tls = testing::ServerTls::Explicit;
  auto server = testing::FtpServerFixture::Start(testing::FtpServerFixture::Kind::Pyftpdlib,
                                                 (dir_.Path() / "ftp").string(), why, options);
  ASSERT_TRUE(server) << why;
  Retype("OldServerIP", "127.0.0.1");
  Retype("OldPort", QString::fromStdString(server->Port()));
  Retype("OldUserId", QString::fromStdString(server->User()));
  Retype("OldPassword", QString::fromStdString(server->Password()));
  Edit("OldStartDir")->clear();
  qobject_cast<QComboBox*>(form_.Control("OldSecurity"))->setCurrentText("Explicit FTP over TLS");
  QTest::mouseClick(qobject_cast<QPushButton*>(form_.Control("OldTestBtn")), Qt::LeftButton);
  ASSERT_EQ(dialogs_->shown.size(), 1u);
  EXPECT_THAT(dialogs_->shown[0].toStdString(), ::testing::HasSubstr(". The server's certificate is not trusted: "));
  EXPECT_THAT(dialogs_->shown[0].toStdString(),
              ::testing::HasSubstr("Certificate SHA-256 fingerprint: " + server->Certificate()->fingerprint));
  profile_.OldSite.TrustedFingerprint = server->Certificate()->fingerprint;
  QTest::mouseClick(qobject_cast<QPushButton*>(form_.Control("OldTestBtn")), Qt::LeftButton);
  ASSERT_EQ(dialogs_->shown.size(), 2u);
  const std::string told = dialogs_->shown[1].toStdString();
  EXPECT_THAT(told, ::testing::StartsWith("Test connection: original site: Connected to 127.0.0.1 port "));
  EXPECT_THAT(told, ::testing::ContainsRegex("\nEncrypted with TLS 1\\.[23] \\(.*\\), certificate trusted by its "
                                             "fingerprint\\.\nServer's reply: 257 "));
}

}  // namespace
}  // namespace kestova
