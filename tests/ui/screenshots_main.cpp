// Opens each window with a demo profile and saves a picture of it. Run by
// scripts/screenshots under Xvfb; writes PNGs into the folder it is given.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "engine/run_settings.h"
#include "engine/run_tally.h"
#include "profile/site_profile.h"
#include "ui/main_form.h"
#include "ui/site_form.h"
#include "ui/upload_form.h"

namespace {

bool Save(QWidget& window, const QString& path) {
  window.show();
  QApplication::processEvents();
  const bool saved = window.grab().save(path);
  std::printf("%s %s\n", saved ? "wrote" : "could not write", path.toLocal8Bit().constData());
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Kestova");
  const QString out = argc > 1 ? argv[1] : "docs/screenshots";
  const QString templ = argc > 2 ? argv[2] : "resources/auto.htm";
  QDir().mkpath(out);
  QTemporaryDir store;
  kestova::MainForm main_form(QDir(store.path()).filePath("registry.db").toStdString());
  kestova::SiteProfile& profile = main_form.Profile();
  main_form.show();
  QApplication::processEvents();
  // A demo profile, as a user would have filled it in.
  profile.NewURL = "http://www.new-bakery.example";
  profile.NewSite.HostName = "ftp.new-bakery.example";
  profile.NewSite.UserName = "baker";
  profile.NewSite.PassWord = "secret";
  profile.NewStartDir = "/public_html";
  profile.OldURL = "http://www.old-bakery.example";
  profile.OldSite.HostName = "ftp.old-bakery.example";
  profile.OldSite.UserName = "baker@old-bakery.example";
  profile.OldSite.PassWord = "secret";
  profile.NewChanges = true;
  profile.NewAutoDetect = true;
  profile.RootSource = "/home/baker/site";
  profile.HTMLFile = templ.toStdString();
  profile.SaveRegistry("Bakery");
  profile.SetCurrentProfile("Bakery");
  main_form.RefreshProfileCombo();
  main_form.ProfileChange("Bakery");
  main_form.HTMLFile()->setText(templ);
  QFile file(templ);
  if (file.open(QIODevice::ReadOnly)) main_form.HTML()->setPlainText(QString::fromLocal8Bit(file.readAll()));
  main_form.ViewBtnClick(true);
  bool ok = Save(main_form, out + "/main-window.png");
  main_form.ViewBtnClick(true);
  ok = Save(main_form, out + "/main-window-compact.png") && ok;

  kestova::SiteForm site_form(profile, &main_form);
  ok = Save(site_form, out + "/site-window.png") && ok;
  site_form.hide();

  kestova::UploadForm run_window(&main_form);
  run_window.resize(720, 360);
  for (const char* line : {"Connecting to ftp.new-bakery.example", "File index.htm - no date change",
                           "File about.html - no date change", "Old time: 2026-12-01 09:30 New: 2026-12-08 10:12:44",
                           "Write File style.css", "    - 226 Transfer complete.", "** New file: opening-hours.html",
                           "Write File opening-hours.html", "    - 226 Transfer complete.", "Finished."}) {
    run_window.AddLine(line);
  }
  // The bar and the summary as the run's events leave them.
  kestova::RunTally tally;
  using K = kestova::RunEvent::Kind;
  tally.Add({K::RunStarted, "/home/baker/site", 18840, 4});
  for (const char* name : {"index.htm", "about.html"}) {
    tally.Add({K::FileChecked, name, 4100});
    tally.Add({K::FileUnchanged, name});
  }
  for (const auto& [name, bytes] : {std::pair{"style.css", 2130}, std::pair{"opening-hours.html", 8510}}) {
    tally.Add({K::FileChecked, name, bytes});
    tally.Add({K::FileSent, name, bytes});
  }
  tally.Add({K::RunEnded, "Finished."});
  run_window.Bar()->setRange(0, 4);
  run_window.Bar()->setValue(4);
  run_window.Bar()->setFormat("%p%  " + QString::fromStdString(tally.Progress(4)));
  run_window.Status()->setText("Summary: " + QString::fromStdString(tally.Summary(4)));
  run_window.setWindowTitle("Upload to web site (publish to ftp.new-bakery.example)");
  ok = Save(run_window, out + "/run-window.png") && ok;

  // The wipe's question, as the run window asks it once it has counted what
  // would go; No is the default.
  kestova::WipePreview preview;
  preview.host = "ftp.new-bakery.example";
  preview.start_dir = "/public_html";
  preview.files = 3000;
  preview.folders = 30;
  QMessageBox question(QMessageBox::Warning, "Warning", QString::fromStdString(preview.Question()),
                       QMessageBox::Yes | QMessageBox::No, &run_window);
  question.setDefaultButton(QMessageBox::No);
  ok = Save(question, out + "/wipe-question.png") && ok;
  return ok ? 0 : 1;
}
