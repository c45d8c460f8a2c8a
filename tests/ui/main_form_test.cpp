// The main window and the run window, offscreen, driven like a user would;
// questions are answered by a scripted dialog service.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "sftp/sftp_site_connection.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/loopback_peer.h"
#include "support/temp_dir.h"
#include "ui/dialog_service.h"
#include "ui/main_form.h"
#include "ui/upload_form.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Answers questions from a script and records them.
class ScriptedDialogs : public DialogService {
 public:
  std::deque<QMessageBox::StandardButton> answers;
  std::vector<QString> asked;
  std::vector<QString> errors;
  std::vector<QString> told;
  std::vector<QString> chooser_starts;
  QString folder, open_file, save_file, typed;
  std::vector<QMessageBox::StandardButton> defaults;  // the default button of each question
  QMessageBox::StandardButton Ask(QWidget*, QMessageBox::Icon, const QString& title, const QString& text,
                                  QMessageBox::StandardButtons, QMessageBox::StandardButton safe) override {
    asked.push_back(title + ": " + text);
    defaults.push_back(safe);
    if (answers.empty()) return QMessageBox::Cancel;
    const auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowError(QWidget*, const QString&, const QString& text) override { errors.push_back(text); }
  void Inform(QWidget*, const QString& title, const QString& text) override { told.push_back(title + ": " + text); }
  QString AskText(QWidget*, const QString& title, const QString&) override {
    asked.push_back(title);
    return typed;
  }
  QString ChooseFolder(QWidget*, const QString& start) override {
    chooser_starts.push_back(start);
    return folder;
  }
  QString OpenFile(QWidget*, const QString&) override { return open_file; }
  QString SaveFile(QWidget*) override { return save_file; }
};

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dialogs = std::make_unique<ScriptedDialogs>();
    dialogs_ = dialogs.get();
    DialogService::Install(std::move(dialogs));
    form_ = std::make_unique<MainForm>(dir_.File("registry.db"));
    run_window_ = new UploadForm(form_.get());
    form_->SetRunWindow(run_window_);
    form_->OpenDocument = [this](const QString& path) {
      opened_.push_back(path);
      return true;
    };
  }
  void TearDown() override { DialogService::Install(std::make_unique<MessageBoxDialogs>()); }

  void Show() {
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  }

  // Closes the run window as soon as its run has ended.
  void CloseRunWindowWhenDone() {
    auto* poll = new QTimer(form_.get());
    QObject::connect(poll, &QTimer::timeout, [this, poll] {
      if (run_window_->isVisible() && run_window_->LastOutcome()) {
        poll->deleteLater();
        run_window_->close();
      }
    });
    poll->start(20);
  }

  // A pyftpdlib server and a site of 30 pages, the window shown, and the
  // profile aimed at the server's /www.
  std::unique_ptr<testing::FtpServerFixture> ServeSite(
      const testing::FtpServerOptions& options = testing::FtpServerOptions()) {
    std::string why;
    auto server = testing::FtpServerFixture::Start(testing::FtpServerFixture::Kind::Pyftpdlib,
                                                   (dir_.Path() / "ftp").string(), why, options);
    EXPECT_TRUE(server) << why;
    if (!server) return server;
    const fs::path site = dir_.Path() / "site";
    fs::create_directories(site);
    for (int i = 0; i < 30; ++i)
      std::ofstream(site / ("page" + std::to_string(i) + ".htm")) << "<title>" << i << "</title>";
    Show();
    SiteProfile& profile = form_->Profile();
    profile.NewSite.HostName = "127.0.0.1";
    profile.NewSite.Port = server->Port();
    profile.NewSite.UserName = server->User();
    profile.NewSite.PassWord = server->Password();
    profile.NewStartDir = "/www";
    profile.NewRetryPause = 0;
    form_->RootSource()->setText(QString::fromStdString(site.string()));
    return server;
  }

  std::string Stored(const std::string& name) {
    Registry registry(dir_.File("registry.db"));
    return registry.ValueType("\\Software\\Brindlecote\\Kestova\\Site\\Default", name) == RegistryType::rdString
               ? registry.ReadString("\\Software\\Brindlecote\\Kestova\\Site\\Default", name)
               : std::to_string(registry.ReadInteger("\\Software\\Brindlecote\\Kestova\\Site\\Default", name));
  }

  testing::TempDir dir_;
  ScriptedDialogs* dialogs_ = nullptr;
  std::unique_ptr<MainForm> form_;
  UploadForm* run_window_ = nullptr;
  std::vector<QString> opened_;
};

TEST_F(MainFormTest, TheFirstStartOnAnEmptyStoreShowsDefaultWithTheEditorHidden) {
  Show();
  ASSERT_EQ(form_->ProfileList()->count(), 1);
  EXPECT_EQ(form_->ProfileList()->currentText(), "Default");
  EXPECT_FALSE(form_->HTML()->isVisible());
  EXPECT_EQ(form_->ViewBtn()->text(), "&View");
  EXPECT_EQ(form_->RootSource()->text(), "") << "no local folder until the user chooses one";
  EXPECT_EQ(Registry(dir_.File("registry.db")).ReadString("\\Software\\Brindlecote\\Kestova\\Site", "CurrProfile"),
            "Default");
  EXPECT_FALSE(form_->Profile().Loading);
  QTest::keyClick(form_.get(), Qt::Key_F1);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_TRUE(opened_[0].endsWith("/help/kestova_help.htm"));
  EXPECT_TRUE(dialogs_->told.empty());
  // The hidden editor's height, in the middle of the screen.
  EXPECT_EQ(form_->height(), 166);
  const QRect screen = form_->screen()->availableGeometry();
  EXPECT_LE(std::abs(form_->frameGeometry().center().x() - screen.center().x()), 1);
  EXPECT_LE(std::abs(form_->frameGeometry().center().y() - screen.center().y()), 1);
  EXPECT_EQ(form_->windowTitle(), "Kestova " KESTOVA_VERSION " - press F1 for help");
  // Without a browser, a box names the page.
  form_->OpenDocument = [](const QString&) { return false; };
  QTest::keyClick(form_.get(), Qt::Key_F1);
  ASSERT_EQ(dialogs_->told.size(), 1u);
  EXPECT_TRUE(dialogs_->told[0].startsWith("Kestova help: No web browser could open the help page."));
  EXPECT_TRUE(dialogs_->told[0].endsWith("/help/kestova_help.htm"));
}

// The place and size a window was left at come back at the next start.
TEST_F(MainFormTest, WindowPlacesAreRememberedAcrossStarts) {
  Show();
  QTest::mouseClick(form_->ViewBtn(), Qt::LeftButton);  // the editor shown: the height is the user's
  form_->setGeometry(40, 50, 700, 450);
  const QRect left_at = form_->geometry();
  ASSERT_TRUE(form_->close());
  form_ = std::make_unique<MainForm>(dir_.File("registry.db"));
  Show();
  EXPECT_EQ(form_->geometry(), left_at);
  // With the editor hidden the height is the short one, wherever it was.
  QTest::mouseClick(form_->ViewBtn(), Qt::LeftButton);
  ASSERT_TRUE(form_->close());
  form_ = std::make_unique<MainForm>(dir_.File("registry.db"));
  Show();
  EXPECT_EQ(form_->height(), 166);
  EXPECT_EQ(form_->width(), 700);
}

TEST_F(MainFormTest, ANewProfileIsACopyUnderTheTypedName) {
  Show();
  form_->RootSource()->setText("/srv/site");
  form_->Profile().NewWipe = form_->Profile().OldWipe = true;  // the current profile wipes; the copy does not
  dialogs_->typed = "  Zeta shop ";
  QTest::keyClick(form_.get(), Qt::Key_N, Qt::ControlModifier);
  EXPECT_EQ(form_->ProfileList()->currentText(), "Zeta shop");
  Registry registry(dir_.File("registry.db"));
  EXPECT_EQ(registry.ReadInteger("\\Software\\Brindlecote\\Kestova\\Site\\prof_Zeta shop", "NewWipe"), 0);
  EXPECT_EQ(registry.ReadInteger("\\Software\\Brindlecote\\Kestova\\Site\\prof_Zeta shop", "OldWipe"), 0);
  EXPECT_EQ(registry.ReadString("\\Software\\Brindlecote\\Kestova\\Site\\prof_Zeta shop", "RootSource"), "/srv/site");
  EXPECT_EQ(registry.ReadString("\\Software\\Brindlecote\\Kestova\\Site", "CurrProfile"), "Zeta shop");
  // Names that exist in any case, or cannot be stored, are refused.
  for (const char* name : {"DEFAULT", "zeta SHOP", "a\\b"}) {
    dialogs_->typed = name;
    form_->NewProfileClick();
  }
  ASSERT_EQ(dialogs_->errors.size(), 3u);
  EXPECT_EQ(dialogs_->errors[0], "There is already a profile named \"Default\".");
  EXPECT_EQ(dialogs_->errors[2], "A profile name cannot contain '\\': a\\b");
  EXPECT_EQ(form_->ProfileList()->count(), 2);
  dialogs_->typed = "";  // cancelled
  form_->NewProfileClick();
  EXPECT_EQ(form_->ProfileList()->count(), 2);
}

TEST_F(MainFormTest, TheViewButtonTwiceReturnsAndSavesEachTime) {
  Show();
  QTest::mouseClick(form_->ViewBtn(), Qt::LeftButton);
  EXPECT_TRUE(form_->HTML()->isVisible());
  EXPECT_EQ(form_->ViewBtn()->text(), "&Hide");
  EXPECT_EQ(Stored("HTMLVisible"), "1");
  QTest::mouseClick(form_->ViewBtn(), Qt::LeftButton);
  EXPECT_FALSE(form_->HTML()->isVisible());
  EXPECT_EQ(Stored("HTMLVisible"), "0");
}

TEST_F(MainFormTest, TypingInTheRootFolderSavesEveryKeystroke) {
  Show();
  form_->RootSource()->clear();
  QTest::keyClicks(form_->RootSource(), "/srv");
  EXPECT_EQ(Stored("RootSource"), "/srv");
}

TEST_F(MainFormTest, DecliningAConfirmationShowsNoRunWindow) {
  Show();
  // No local folder: said at once, before any question.
  form_->Upload(true);
  EXPECT_TRUE(dialogs_->asked.empty());
  ASSERT_EQ(dialogs_->errors.size(), 1u);
  EXPECT_THAT(dialogs_->errors[0].toStdString(), HasSubstr("No local folder is set."));
  EXPECT_TRUE(run_window_->Settings.Site.HostName.empty()) << "a run was set up";

  form_->RootSource()->setText(QString::fromStdString(dir_.Path().string()));
  dialogs_->answers = {QMessageBox::Cancel};
  form_->Upload(true);
  ASSERT_EQ(dialogs_->asked.size(), 1u);
  // The question as it was, then the folder, the host and what the write
  // mode will do.
  EXPECT_EQ(dialogs_->asked[0],
            "Confirm: You are about to upload latest changes to your new site.\nDo you wish to continue?\n\n"
            "Local folder: " +
                QString::fromStdString(dir_.Path().string()) +
                "\nHost: ftp.new-site.example (/public_html)\nWrite mode: Overwrite All (every file is sent, "
                "replacing the server's copy)");
  EXPECT_TRUE(run_window_->Settings.Site.HostName.empty()) << "a run was set up";
}

// A wipe asks in the run window once it knows what would go: host, start
// folder and counts, with No as the default. No deletes nothing; Yes wipes,
// and the summary counts what went.
TEST_F(MainFormTest, TheWipeQuestionSaysWhatWillGoAndNoIsTheDefault) {
  auto server = ServeSite();
  for (int i = 0; i < 4; ++i) testing::WriteFile(dir_.Path() / "ftp/www/old" / ("gone" + std::to_string(i)), "x");
  testing::WriteFile(dir_.Path() / "ftp/www/stale.htm", "x");
  form_->Profile().NewWipe = true;
  form_->Profile().NewSite.Method = TransferMethod::Modern;  // no pause per file
  for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
    dialogs_->asked.clear();
    dialogs_->defaults.clear();
    dialogs_->answers = {QMessageBox::Ok, answer};
    CloseRunWindowWhenDone();
    form_->Upload(true);
    ASSERT_EQ(dialogs_->asked.size(), 2u);
    EXPECT_THAT(dialogs_->asked[0].toStdString(), HasSubstr("Write mode: Wipe Site (everything in the start folder"));
    EXPECT_EQ(dialogs_->asked[1].toStdString(),
              "Warning: You are about to wipe your entire live site.\nAre you sure you wish to do this?\n\n"
              "Host: 127.0.0.1\nStart folder: /www\n5 files and 1 folder will be deleted (dot-files such as "
              ".htaccess stay).");
    EXPECT_EQ(dialogs_->defaults[1], QMessageBox::No);
    if (answer == QMessageBox::No) {
      EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Terminated);
      EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/www/stale.htm"));
      EXPECT_THAT(run_window_->Progress()->toPlainText().toStdString(),
                  HasSubstr("The wipe was not confirmed: nothing was deleted."));
    } else {
      EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Finished);
      EXPECT_FALSE(fs::exists(dir_.Path() / "ftp/www/stale.htm"));
      EXPECT_THAT(run_window_->Status()->text().toStdString(), HasSubstr("; 5 files and 1 folder deleted"));
    }
  }
}

// With removals on, the run window shows the plan first (a test run, its
// totals in a question) and runs only after a yes.
TEST_F(MainFormTest, WithRemovalsTheRunWindowShowsThePlanFirst) {
  auto server = ServeSite();
  ASSERT_TRUE(server);
  testing::WriteFile(dir_.Path() / "ftp/www/stale.htm", "x");
  form_->Profile().NewDelete = true;
  form_->Profile().NewSite.Method = TransferMethod::Modern;
  dialogs_->answers = {QMessageBox::Ok, QMessageBox::Yes};
  CloseRunWindowWhenDone();
  form_->Upload(true);
  ASSERT_EQ(dialogs_->asked.size(), 2u);
  EXPECT_THAT(dialogs_->asked[0].toStdString(), HasSubstr("Then: files no longer in the local folder are removed"));
  EXPECT_THAT(dialogs_->asked[1].toStdString(),
              HasSubstr("The plan: This run would do what the test run above lists:\n\nWould send 30 files (500 "
                        "bytes), make 0 folders, remove 1 file\n\n"));
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Finished) << run_window_->Progress()->toPlainText().toStdString();
  EXPECT_FALSE(fs::exists(dir_.Path() / "ftp/www/stale.htm"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/www/page29.htm"));
  EXPECT_THAT(run_window_->Status()->text().toStdString(), HasSubstr("; 1 file removed"));
}

TEST_F(MainFormTest, RedirectionPagesUseTheOldClientWithBothTransferFlagsOff) {
  Show();
  testing::ClosedPort nobody;
  SiteProfile& profile = form_->Profile();
  profile.NewBinary = profile.NewAutoDetect = true;
  profile.OldSite.HostName = "127.0.0.1";
  profile.OldSite.Port = nobody.Port();
  profile.OldRetries = 0;
  form_->RootSource()->setText(QString::fromStdString(dir_.Path().string()));
  dialogs_->answers = {QMessageBox::Ok};
  CloseRunWindowWhenDone();
  form_->Upload(false);
  EXPECT_EQ(run_window_->Settings.Site.HostName, "127.0.0.1");
  EXPECT_EQ(run_window_->Settings.Site.Port, nobody.Port());
  EXPECT_TRUE(run_window_->Settings.RedirectJob);
  EXPECT_FALSE(run_window_->Settings.BinaryMode);
  EXPECT_FALSE(run_window_->Settings.AutoDetect);
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::NotConnected);
  EXPECT_THAT(run_window_->Progress()->toPlainText().toStdString(), HasSubstr("Connection retries all failed."));
}

// Fetch Old Site asks with the host and the folder, then fetches the old
// site's start folder into the local folder and says so in its title and
// summary.
TEST_F(MainFormTest, FetchOldSiteBringsTheOldSiteIntoTheLocalFolder) {
  auto server = ServeSite();
  ASSERT_TRUE(server);
  testing::WriteFile(dir_.Path() / "ftp/old/index.htm", "<title>Old home</title>");
  testing::WriteFile(dir_.Path() / "ftp/old/art/logo.gif", std::string(3000, '\x01'));
  SiteProfile& profile = form_->Profile();
  profile.OldSite = profile.NewSite;
  profile.OldStartDir = "/old";
  const fs::path into = dir_.Path() / "fetched";
  form_->RootSource()->setText(QString::fromStdString(into.string()));
  dialogs_->answers = {QMessageBox::Ok};
  CloseRunWindowWhenDone();
  QTest::mouseClick(form_->findChild<QPushButton*>("FetchOldSite"), Qt::LeftButton);
  ASSERT_EQ(dialogs_->asked.size(), 1u);
  EXPECT_THAT(dialogs_->asked[0].toStdString(), HasSubstr("You are about to fetch your old site into the local folder."
                                                          "\nDo you wish to continue?\n\nHost: 127.0.0.1 (/old)\n"
                                                          "Local folder: " +
                                                          into.string()));
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Finished) << run_window_->Progress()->toPlainText().toStdString();
  EXPECT_EQ(testing::Tree(into), testing::Tree(dir_.Path() / "ftp/old"));
  EXPECT_EQ(run_window_->windowTitle(), "Upload to web site (fetch from 127.0.0.1)");
  EXPECT_THAT(run_window_->Status()->text().toStdString(),
              ::testing::StartsWith("Summary: 2 files checked, 2 fetched, 0 skipped as unchanged, 0 failed; 3.0 KiB "
                                    "(3023 bytes) received in 0:0"));
  EXPECT_THAT(fs::path(run_window_->SavedLogPath()).filename().string(), ::testing::StartsWith("Default_fetch_"));
}

TEST_F(MainFormTest, APublishRunFromTheMainWindowFinishesAndEscEndsAnother) {
  auto server = ServeSite();
  dialogs_->answers = {QMessageBox::Ok};
  CloseRunWindowWhenDone();
  form_->Upload(true);
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Finished) << run_window_->Progress()->toPlainText().toStdString();
  EXPECT_TRUE(run_window_->Progress()->toPlainText().endsWith("Finished."));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/www/page29.htm"));
  // The bar and the summary come from the run's events.
  EXPECT_THAT(run_window_->Status()->text().toStdString(),
              ::testing::StartsWith("Summary: 30 files checked, 30 sent, 0 skipped as unchanged, 0 failed; 500 bytes "
                                    "sent in 0:0"));
  EXPECT_EQ(run_window_->Bar()->value(), run_window_->Bar()->maximum());
  EXPECT_THAT(run_window_->Bar()->format().toStdString(), HasSubstr("30 of 30 files, 500 bytes of 500 bytes sent"));
  // 30 small files by the classic method: most of the time was its pause,
  // and the status line says so.
  EXPECT_THAT(run_window_->Status()->text().toStdString(),
              HasSubstr("s went to the classic method's pause of 100 ms before each of the 30 files' data connections "
                        "closed. The modern method has no such pause"));
  EXPECT_FALSE(run_window_->StopBtn()->isEnabled());
  EXPECT_THAT(run_window_->Progress()->toPlainText().toStdString(), ::testing::Not(HasSubstr("bytes sent")));
  EXPECT_EQ(run_window_->windowTitle(), "Upload to web site (publish to 127.0.0.1)");
  // Stray keys do not change the log, which Copy log and the saved copy keep.
  const QString log = run_window_->Progress()->toPlainText();
  QTest::keyClicks(run_window_->Progress(), "stray keys");
  QTest::keyClick(run_window_->Progress(), Qt::Key_Backspace);
  EXPECT_EQ(run_window_->Progress()->toPlainText(), log);
  // The saved copy holds the window's log, private to the user.
  const std::string saved = run_window_->SavedLogPath();
  ASSERT_FALSE(saved.empty());
  EXPECT_THAT(fs::path(saved).filename().string(), ::testing::StartsWith("Default_publish_"));
  EXPECT_EQ(testing::ReadFile(saved), run_window_->Progress()->toPlainText().toStdString() + "\n");
  EXPECT_EQ(fs::status(saved).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(fs::path(saved).parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

  // Esc, then the Stop button, as soon as the first file has gone: each
  // ends the run at once, or after the file being sent.
  const std::function<void()> stops[] = {[this] { QTest::keyClick(run_window_, Qt::Key_Escape); },
                                         [this] {
                                           ASSERT_TRUE(run_window_->StopBtn()->isEnabled());
                                           QTest::mouseClick(run_window_->StopBtn(), Qt::LeftButton);
                                         }};
  for (const auto& stop_run : stops) {
    auto* watch = new QTimer(form_.get());
    QObject::connect(watch, &QTimer::timeout, [this, watch, stop_run] {
      if (run_window_->Progress()->toPlainText().contains("Copy to")) {
        watch->deleteLater();
        stop_run();
      }
    });
    watch->start(5);
    dialogs_->answers = {QMessageBox::Ok};
    CloseRunWindowWhenDone();
    form_->Upload(true);
    EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Terminated);
    EXPECT_TRUE(run_window_->Progress()->toPlainText().endsWith("Terminated before completion."));
    // One count, from the events: every file counted as checked was dealt
    // with, and a stopped run tells no time left.
    const RunTally& tally = run_window_->Tally();
    EXPECT_EQ(tally.Dealt(), tally.sent);
    EXPECT_THAT(run_window_->Status()->text().toStdString(),
                HasSubstr(std::to_string(tally.sent) + (tally.sent == 1 ? " file" : " files") + " checked, " +
                          std::to_string(tally.sent) + " sent"));
    EXPECT_THAT(run_window_->Bar()->format().toStdString(), ::testing::Not(HasSubstr("left")));
  }
  EXPECT_LT(run_window_->Tally().sent, 30);
  // The log folder opens, or a box says where it is.
  std::vector<QString> folders;
  run_window_->OpenFolder = [&folders](const QString& folder) {
    folders.push_back(folder);
    return false;
  };
  QTest::mouseClick(run_window_->findChild<QPushButton*>("OpenLogFolderBtn"), Qt::LeftButton);
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].toStdString(), fs::path(saved).parent_path().string());
  ASSERT_EQ(dialogs_->told.size(), 1u);
  EXPECT_EQ(dialogs_->told[0], "Run logs: Every run's log is saved in\n" + folders[0]);
}

TEST_F(MainFormTest, AnUntrustedCertificateIsShownAndOnceTrustedTheRunGoesAgain) {
  testing::FtpServerOptions options;
  options.tls = testing::ServerTls::Explicit;
  auto server = ServeSite(options);
  ASSERT_TRUE(server);
  form_->Profile().NewSite.Security = FtpSecurity::Explicit;
  form_->Profile().NewRetries = 0;
  const std::string fingerprint = server->Certificate()->fingerprint;
  for (const auto trust : {QMessageBox::No, QMessageBox::Yes}) {
    dialogs_->asked.clear();
    dialogs_->answers = {QMessageBox::Ok, trust};
    auto* poll = new QTimer(form_.get());
    // Closed after the refused run, or after the run that follows the trust.
    const RunOutcome last = trust == QMessageBox::Yes ? RunOutcome::Finished : RunOutcome::NotConnected;
    QObject::connect(poll, &QTimer::timeout, [this, poll, last] {
      if (run_window_->isVisible() && run_window_->LastOutcome() == last) {
        poll->deleteLater();
        run_window_->close();
      }
    });
    poll->start(20);
    form_->Upload(true);
    ASSERT_EQ(dialogs_->asked.size(), 2u);
    EXPECT_THAT(dialogs_->asked[1].toStdString(), HasSubstr("Untrusted certificate: The server's certificate is not "
                                                            "trusted: "));
    EXPECT_THAT(dialogs_->asked[1].toStdString(), HasSubstr("Certificate SHA-256 fingerprint: " + fingerprint));
    if (trust == QMessageBox::No) {
      EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::NotConnected);
      EXPECT_EQ(Stored("NewCertificate"), "");
    }
  }
  EXPECT_EQ(Stored("NewCertificate"), fingerprint);
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Finished) << run_window_->Progress()->toPlainText().toStdString();
  EXPECT_THAT(run_window_->Progress()->toPlainText().toStdString(),
              HasSubstr("certificate trusted by its fingerprint"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/www/page29.htm"));
}

// Over SFTP, a host key no known_hosts holds stops the run before the
// login; trusted in the window's question, it is stored in Kestova's own
// file and the run goes again at once.
TEST_F(MainFormTest, AnUnknownHostKeyIsOfferedAndOnceTrustedTheSftpRunGoesAgain) {
  SftpSiteConnection::SetDefaultAskpassProgram(KESTOVA_PROGRAM);
  std::string why;
  const auto server = testing::SshServerFixture::Start((dir_.Path() / "ssh").string(), why);
  ASSERT_TRUE(server) << why;
  fs::create_directories(dir_.Path() / "ssh/www");
  server->Own();
  const fs::path site = dir_.Path() / "site";
  testing::WriteFile(site / "index.htm", "<title>Home</title>");
  Show();
  SiteProfile& profile = form_->Profile();
  profile.NewSite.Protocol = SiteProtocol::Sftp;
  profile.NewSite.HostName = "127.0.0.1";
  profile.NewSite.Port = server->Port();
  profile.NewSite.UserName = server->User();
  profile.NewSite.PassWord = server->Password();
  profile.NewStartDir = "www";
  profile.NewRetries = 0;
  form_->RootSource()->setText(QString::fromStdString(site.string()));
  dialogs_->answers = {QMessageBox::Ok, QMessageBox::Yes};
  auto* poll = new QTimer(form_.get());
  QObject::connect(poll, &QTimer::timeout, [this, poll] {
    if (run_window_->isVisible() && run_window_->LastOutcome() == RunOutcome::Finished) {
      poll->deleteLater();
      run_window_->close();
    }
  });
  poll->start(20);
  form_->Upload(true);
  ASSERT_EQ(dialogs_->asked.size(), 2u);
  EXPECT_THAT(dialogs_->asked[1].toStdString(), HasSubstr("Unknown host key: The host key of 127.0.0.1 is not known:"));
  EXPECT_THAT(dialogs_->asked[1].toStdString(), HasSubstr("ED25519 " + server->Fingerprint()));
  const std::string log = run_window_->Progress()->toPlainText().toStdString();
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Finished) << log;
  EXPECT_THAT(log, HasSubstr("trusted by " + profile.HostKeysFile()));
  EXPECT_EQ(testing::ReadFile(dir_.Path() / "ssh/www/index.htm"), "<title>Home</title>");
}

TEST_F(MainFormTest, ARunThatAFailedCommandEndedClosesOnOneEsc) {
  auto server = ServeSite();
  SiteProfile& profile = form_->Profile();
  profile.NewStartDir = "/missing/deeper";
  profile.NewRetries = 0;
  dialogs_->answers = {QMessageBox::Ok};
  bool closed_by_one_esc = false;
  auto* poll = new QTimer(form_.get());
  QObject::connect(poll, &QTimer::timeout, [this, poll, &closed_by_one_esc] {
    if (run_window_->isVisible() && run_window_->LastOutcome()) {
      poll->deleteLater();
      QTest::keyClick(run_window_, Qt::Key_Escape);
      closed_by_one_esc = !run_window_->isVisible();
      run_window_->close();
    }
  });
  poll->start(20);
  form_->Upload(true);
  EXPECT_EQ(run_window_->LastOutcome(), RunOutcome::Terminated);
  EXPECT_TRUE(closed_by_one_esc);
}

TEST_F(MainFormTest, TheLogKeepsItsHeadAndDropsAHundredLinesAt500) {
  for (int i = 0; i < 499; ++i) run_window_->AddLine(QString("line %1").arg(i));
  EXPECT_EQ(run_window_->Progress()->document()->blockCount(), 499);
  run_window_->AddLine("line 499");
  const QStringList lines = run_window_->Progress()->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 400);
  EXPECT_EQ(lines[49], "line 49");
  EXPECT_EQ(lines[50], "line 150");
  run_window_->CopyBtnClick();
  EXPECT_EQ(QApplication::clipboard()->text(), run_window_->Progress()->toPlainText());
  // A long run keeps no history of the log's edits: it would grow with every
  // line however the log is trimmed.
  for (int i = 500; i < 3000; ++i) run_window_->AddLine(QString("line %1").arg(i));
  EXPECT_EQ(run_window_->Progress()->document()->availableUndoSteps(), 0);
  EXPECT_LE(run_window_->Progress()->document()->blockCount(), 500);
}

TEST_F(MainFormTest, TheTemplateEditorInsertsMarksSavesAndAsksBeforeLosingChanges) {
  const std::string file = dir_.File("template.htm");
  std::ofstream(file) << "<p>abc</p>\r\n";
  Show();
  form_->Profile().HTMLFile = file;
  form_->HTMLFile()->setText(QString::fromStdString(file));
  QTest::mouseClick(form_->ViewBtn(), Qt::LeftButton);
  form_->HTML()->setPlainText("<p>abc</p>");
  EXPECT_TRUE(form_->HTMLFile()->font().bold());
  // F5 replaces the selection "abc".
  QTextCursor cursor = form_->HTML()->textCursor();
  cursor.setPosition(3);
  cursor.setPosition(6, QTextCursor::KeepAnchor);
  form_->HTML()->setTextCursor(cursor);
  form_->HTML()->setFocus();
  QTest::keyClick(form_->HTML(), Qt::Key_F5);
  EXPECT_EQ(form_->HTML()->toPlainText(), "<p><<NEWURL>></p>");
  QTest::keyClick(form_->HTML(), Qt::Key_F10);
  EXPECT_EQ(form_->HTML()->toPlainText(), "<p><<NEWURL>><<PROFILE>></p>");
  QTest::keyClick(form_->HTML(), Qt::Key_S, Qt::ControlModifier);
  EXPECT_FALSE(form_->HTMLFile()->font().bold());
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "<p><<NEWURL>><<PROFILE>></p>\r\n");

  // The three answers of the unsaved-changes question on closing.
  QTest::keyClicks(form_->HTML(), "x");
  dialogs_->answers = {QMessageBox::Cancel};
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->isVisible());
  dialogs_->answers = {QMessageBox::No};
  EXPECT_TRUE(form_->close());
  std::ifstream unchanged(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(unchanged), {}), "<p><<NEWURL>><<PROFILE>></p>\r\n");
  EXPECT_EQ(dialogs_->asked.back(), "Warning: HTML has been changed. Save before continuing?");
}

TEST_F(MainFormTest, ASaveThatFailsKeepsTheEditsAndStopsWhatAskedForIt) {
  const std::string other = dir_.File("other.htm");
  std::ofstream(other) << "<p>other</p>\r\n";
  Show();
  QTest::mouseClick(form_->ViewBtn(), Qt::LeftButton);
  // A folder's path: no file can be written there, not even by root.
  form_->HTMLFile()->setText(QString::fromStdString(dir_.Path().string()));
  QTest::keyClicks(form_->HTML(), "<p>edited</p>");
  dialogs_->answers = {QMessageBox::Yes};
  EXPECT_FALSE(form_->close()) << "closing would lose the edits";
  ASSERT_EQ(dialogs_->errors.size(), 1u);
  EXPECT_TRUE(dialogs_->errors[0].startsWith("Cannot create file "));
  dialogs_->open_file = QString::fromStdString(other);
  dialogs_->answers = {QMessageBox::Yes};
  form_->HTMLFileBtnClick();
  EXPECT_EQ(form_->HTML()->toPlainText(), "<p>edited</p>") << "the other file was loaded over the edits";
  EXPECT_EQ(form_->HTMLFile()->text().toStdString(), dir_.Path().string());
  EXPECT_TRUE(form_->HTML()->document()->isModified());
  dialogs_->answers = {QMessageBox::No};
  EXPECT_TRUE(form_->close());
}

TEST_F(MainFormTest, ChoosingANewRootFolderAsksToCreateIt) {
  Show();
  // The chooser starts at the folder as typed, its case kept.
  form_->RootSource()->setText("/srv/MixedCase/Site");
  const QString folder = QString::fromStdString((dir_.Path() / "new" / "site").string());
  dialogs_->folder = folder;
  dialogs_->answers = {QMessageBox::Yes};
  form_->RootSourceBtnClick();
  EXPECT_EQ(dialogs_->asked.back(), "Confirm: The specified directory does not exist. Create it?");
  ASSERT_FALSE(dialogs_->chooser_starts.empty());
  EXPECT_EQ(dialogs_->chooser_starts[0], "/srv/MixedCase/Site");
  EXPECT_TRUE(fs::is_directory(folder.toStdString()));
  EXPECT_EQ(form_->RootSource()->text(), folder);
  EXPECT_EQ(Stored("RootSource"), folder.toStdString());
}

// The real folder chooser: a typed folder that does not exist comes back (so
// that the main window can offer to create it), and one that does, too.
TEST(FolderChooserTest, ReturnsTheTypedFolderWhetherItExistsOrNot) {
  testing::TempDir dir;
  fs::create_directories(dir.Path() / "Existing");
  for (const char* typed : {"New Site/deeper", "Existing"}) {
    QString shown_at;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      answer.stop();
      shown_at = dialog->directory().absolutePath();
      dialog->findChild<QLineEdit*>("fileNameEdit")->setText(typed);
      QMetaObject::invokeMethod(dialog, "accept");
    });
    answer.start(10);
    // It opens at the nearest folder that exists, the case kept.
    const QString start = QString::fromStdString((dir.Path() / "Missing" / "Start").string());
    const QString chosen = MessageBoxDialogs().ChooseFolder(nullptr, start);
    EXPECT_EQ(shown_at.toStdString(), dir.Path().string());
    EXPECT_EQ(chosen.toStdString(), (dir.Path() / typed).string());
  }
}

TEST_F(MainFormTest, AnotherProfileChangesTheFoldersButNotTheTemplateText) {
  Show();
  SiteProfile& profile = form_->Profile();
  profile.RootSource = "/srv/shop";
  profile.HTMLFile = "/srv/shop.htm";
  profile.SaveRegistry("Shop");
  form_->RefreshProfileCombo();
  form_->HTML()->setPlainText("kept text");
  form_->ProfileChange("Shop");
  EXPECT_EQ(form_->RootSource()->text(), "/srv/shop");
  EXPECT_EQ(form_->HTMLFile()->text(), "/srv/shop.htm");
  EXPECT_EQ(form_->HTML()->toPlainText(), "kept text");
}

TEST_F(MainFormTest, TheMenuStatesFollowTheEditorAndOpeningCanBeCancelled) {
  const std::string first = dir_.File("first.htm");
  const std::string second = dir_.File("second.htm");
  std::ofstream(first) << "first\r\n";
  std::ofstream(second) << "second\r\n";
  Show();
  form_->Profile().HTMLFile = first;
  form_->HTMLFile()->setText(QString::fromStdString(first));
  QApplication::clipboard()->clear();
  form_->HTML()->setPlainText("");
  form_->UpdateMenuStates();
  auto state = [this](const QString& caption) {
    for (QAction* action : form_->HTMLMenu()->actions()) {
      if (action->text() == caption) return action->isEnabled();
    }
    return false;
  };
  EXPECT_FALSE(state("&Paste"));
  EXPECT_FALSE(state("Cu&t"));
  EXPECT_FALSE(state("Select &All"));
  QTest::keyClicks(form_->HTML(), "edited");
  form_->HTML()->selectAll();
  form_->UpdateMenuStates();
  EXPECT_TRUE(state("Cu&t"));
  EXPECT_TRUE(state("&Save"));
  // Opening another file with unsaved text: Cancel keeps everything.
  dialogs_->open_file = QString::fromStdString(second);
  dialogs_->answers = {QMessageBox::Cancel};
  form_->HTMLFileBtnClick();
  EXPECT_EQ(form_->HTMLFile()->text().toStdString(), first);
  EXPECT_EQ(form_->HTML()->toPlainText(), "edited");
  EXPECT_TRUE(form_->HTMLFile()->font().bold());
  // Yes saves the edits to the current file, then opens the other one.
  dialogs_->answers = {QMessageBox::Yes};
  form_->HTMLFileBtnClick();
  std::ifstream saved(first, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "edited\r\n");
  EXPECT_EQ(form_->HTMLFile()->text().toStdString(), second);
  EXPECT_EQ(form_->HTML()->toPlainText(), "second");
  EXPECT_FALSE(form_->HTMLFile()->font().bold());
  EXPECT_EQ(Stored("HTMLFile"), second);
}

}  // namespace
}  // namespace kestova
