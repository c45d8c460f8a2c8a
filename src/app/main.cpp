// The kestova program: the windows without arguments, a headless command
// with one.
#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/profile_command.h"
#include "app/run_command.h"
#include "net/event_wait.h"
#include "sftp/askpass.h"
#include "ui/main_form.h"
#include "ui/site_form.h"
#include "ui/upload_form.h"

namespace {

const char* const kUsage =
    "Usage: kestova [COMMAND [ARGS]]\n"
    "\n"
    "Moves a web site from one FTP host to another: publishes the local copy of the\n"
    "site to the new host and puts redirection pages over the old one.\n"
    "\n"
    "Without a command, kestova opens its windows. Commands:\n"
    "  run        run a job: publish the site, or put up the redirection pages\n"
    "  profile    list, show, select, delete and edit the stored site profiles\n"
    "\n"
    "Options:\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Run 'kestova COMMAND --help' for the details of a command.\n";

}  // namespace

int main(int argc, char* argv[]) {
  // Started by ssh as its askpass helper: answer it, and nothing else.
  if (const char* socket = std::getenv(kestova::kAskpassVariable)) {
    return kestova::RunAskpassHelper(socket, argc > 1 ? argv[1] : "");
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
    if (!display) {
      std::cerr << "kestova: there is no display to open the windows on; 'kestova --help' lists the commands.\n";
      return kestova::kExitUsage;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kestova");
    QApplication::setApplicationVersion(KESTOVA_VERSION);
    // The desktop entry and icon an installation brings.
    QGuiApplication::setDesktopFileName("org.kestova.Kestova");
    QApplication::setWindowIcon(QIcon::fromTheme("org.kestova.Kestova"));
    kestova::MainForm main_form;
    kestova::SiteForm site_form(main_form.Profile(), &main_form);
    site_form.ShowHelpPage = [&main_form] { main_form.ShowHelpPage(); };
    main_form.OpenSiteWindow = [&site_form] { site_form.exec(); };
    kestova::UploadForm upload_form(&main_form);
    main_form.SetRunWindow(&upload_form);
    main_form.show();
    const int code = QApplication::exec();
    kestova::SetTerminating(true);
    return code;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << kUsage;
    return kestova::kExitOk;
  }
  if (args[0] == "--version") {
    std::cout << "kestova " KESTOVA_VERSION "\n";
    return kestova::kExitOk;
  }
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("Kestova");
  if (args[0] == "run") {
    return kestova::RunRunCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  }
  if (args[0] == "profile") {
    return kestova::RunProfileCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  }
  std::cerr << "kestova: Unknown command '" << args[0] << "'.\n\n" << kUsage;
  return kestova::kExitUsage;
}
