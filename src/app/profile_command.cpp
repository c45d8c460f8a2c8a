#include "app/profile_command.h"

#include <netdb.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <map>
#include <optional>

#include "app/trust_command.h"
#include "common/text_helpers.h"
#include "engine/run_settings.h"
#include "net/certificate_check.h"
#include "platform/registry.h"
#include "profile/site_profile.h"
#include "profile/stored_value.h"

namespace kestova {

namespace {

const char* const kProfileHelp =
    "Usage: kestova profile COMMAND [ARGS]\n"
    "\n"
    "Lists and edits the site profiles stored in the profile store\n"
    "($XDG_CONFIG_HOME/kestova/registry.db, or the file named by KESTOVA_REGISTRY).\n"
    "\n"
    "Commands:\n"
    "  list                     the profile names; '*' marks the current profile\n"
    "  show [NAME]              every field of a profile (default: the current one)\n"
    "  use NAME                 make NAME the current profile\n"
    "  delete NAME              delete a profile (\"Default\" cannot be deleted)\n"
    "  set [--profile NAME] FIELD=VALUE...\n"
    "                           change fields of a profile (default: the current one)\n"
    "  trust [--profile NAME] new|old [--yes]\n"
    "                           look at a TLS site's certificate and trust it\n"
    "\n"
    "Run 'kestova profile COMMAND --help' for the details of one command.\n";

const std::map<std::string, const char*>& CommandHelp() {
  static const std::map<std::string, const char*> help = {
      {"list",
       "Usage: kestova profile list\n"
       "\n"
       "Prints the profile names in the order the profile lists show them, one a line.\n"
       "The current profile is marked with '*'.\n"},
      {"show",
       "Usage: kestova profile show [NAME]\n"
       "\n"
       "Prints every field of profile NAME (the current profile when NAME is left out)\n"
       "as FIELD=VALUE lines, by the field names the store uses. Booleans print as 0 or\n"
       "1; passwords are masked. Fields missing from the store get their defaults\n"
       "written first, exactly as when the program loads the profile.\n"},
      {"use",
       "Usage: kestova profile use NAME\n"
       "\n"
       "Makes NAME the current profile: the one the windows load at start and that\n"
       "'kestova run' uses without --profile.\n"},
      {"delete",
       "Usage: kestova profile delete NAME\n"
       "\n"
       "Deletes profile NAME with everything stored under it. The profile \"Default\"\n"
       "cannot be deleted. When NAME was the current profile, \"Default\" becomes current.\n"},
      {"set",
       "Usage: kestova profile set [--profile NAME] FIELD=VALUE...\n"
       "\n"
       "Changes fields of profile NAME (the current profile when --profile is left\n"
       "out) and saves the whole profile at once. FIELD is a stored field name such as\n"
       "NewHostName or OldPASV, in any letter case; 'kestova profile show' lists them.\n"
       "Booleans take 0 or 1, integers a decimal number, ports a number from 1 to\n"
       "65535 or a service name such as ftp. NewSecurity and OldSecurity take 0 or plain\n"
       "(plain FTP), 1 or explicit (explicit FTP over TLS), 2 or implicit (implicit FTP\n"
       "over TLS); the site's port\n"
       "follows (990 for implicit, ftp otherwise) while it holds one of those defaults.\n"
       "NewCertificate and OldCertificate take a SHA-256 fingerprint, or nothing.\n"
       "NewMethod and OldMethod take 0 or classic, 1 or modern (64 KiB blocks, no pause\n"
       "before a data connection closes, files renamed into place).\n"
       "NewProtocol and OldProtocol take 0 or ftp, 1 or sftp (over the ssh command,\n"
       "always the modern way); the port follows (22 for SFTP) while it holds a default.\n"
       "Exclude holds patterns of what every run leaves out, one per line, as in\n"
       ".gitignore (*.psd, drafts/, /private/, **/*.bak, !keep.psd): set it with a\n"
       "quoted value such as Exclude=$'*.psd\\ndrafts/'. NewDelete=1 removes remote files\n"
       "no longer in the local folder after a publish that sent everything; past\n"
       "NewMaxDelete files (or 10 % of the remote files) only with a yes.\n"
       "NewConnections and OldConnections (1 to 8, 4 unless set) are the connections the\n"
       "modern method and SFTP send or fetch over side by side; the classic method uses one.\n"
       "NewKeyFile and OldKeyFile name a private key for SFTP; empty for the agent\n"
       "and ssh's own defaults.\n"
       "Passwords are stored scrambled; give\n"
       "NewPassword=- or OldPassword=- to type one without echo (or to read one line\n"
       "of standard input), so that it shows neither in the process list nor in the\n"
       "shell's history.\n"
       "\n"
       "A profile that does not exist yet is created as a copy of the current profile\n"
       "with the changes, as the site window does. The current profile stays as it is\n"
       "('kestova profile use' changes it). Only the fields given are written, so two\n"
       "'set' commands at once both take effect. Nothing is written when any\n"
       "FIELD=VALUE is wrong.\n"},
      {"trust", kTrustHelp},
  };
  return help;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

std::optional<std::int32_t> ParseNumber(const std::string& text) {
  std::int32_t number = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, number);
  if (first == last || error != std::errc() || end != last) return std::nullopt;
  return number;
}

// The field a mistyped name most likely meant: one it begins (NewHost is
// NewHostName), else the one fewest edits away.
std::string NearestField(const std::string& name) {
  const ProfileField* nearest = nullptr;
  for (const ProfileField& field : ProfileFields()) {
    if (!name.empty() && SameText(LeftPart(field.Name, static_cast<long long>(name.size())), name)) return field.Name;
    if (!nearest || EditDistance(name, field.Name) < EditDistance(name, nearest->Name)) nearest = &field;
  }
  return nearest->Name;
}

// A choice given as its number (0, 1, ...) or as its word, in any case;
// -1 when it is neither.
int ChoiceOf(const std::string& text, std::initializer_list<const char*> words) {
  int index = 0;
  for (const char* word : words) {
    if (text == std::to_string(index) || SameText(text, word)) return index;
    ++index;
  }
  return -1;
}

bool IsPortField(FieldId id) { return id == FieldId::NewPort || id == FieldId::OldPort; }
bool IsSecurityField(FieldId id) { return id == FieldId::NewSecurity || id == FieldId::OldSecurity; }
bool IsMethodField(FieldId id) { return id == FieldId::NewMethod || id == FieldId::OldMethod; }
bool IsProtocolField(FieldId id) { return id == FieldId::NewProtocol || id == FieldId::OldProtocol; }
bool IsCertificateField(FieldId id) { return id == FieldId::NewCertificate || id == FieldId::OldCertificate; }

// A port is a number from 1 to 65535 or a service name the system knows.
bool IsPort(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    return text.size() <= 5 && std::stoi(text) >= 1 && std::stoi(text) <= 65535;
  }
  return !text.empty() && ::getservbyname(text.c_str(), "tcp") != nullptr;
}

bool HoldsControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// A password given as "-": typed on the terminal without echo, or one line
// of standard input.
std::optional<std::string> ReadSecret(const std::string& field, std::istream* in, std::ostream& err) {
  std::string line;
  bool got = false;
  if (in) {
    got = static_cast<bool>(std::getline(*in, line));
  } else if (::isatty(STDIN_FILENO)) {
    termios saved{};
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    err << field << ": " << std::flush;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    got = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << '\n';
  } else {
    got = static_cast<bool>(std::getline(std::cin, line));
  }
  if (!got) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// One FIELD=VALUE argument, checked; `error` says what is wrong with it.
struct Change {
  const ProfileField* field = nullptr;
  SiteProfile::Value value;
  std::string error;
};

Change ParseChange(const std::string& arg, std::istream* in, std::ostream& err) {
  Change change;
  const size_t equals = arg.find('=');
  if (equals == std::string::npos) {
    change.error = "Expected FIELD=VALUE, got '" + arg + "'.";
    return change;
  }
  const std::string name = arg.substr(0, equals);
  std::string text = arg.substr(equals + 1);
  change.field = FindProfileField(name);
  if (!change.field) {
    change.error = "Unknown field '" + name + "'. Did you mean " + NearestField(name) +
                   "? 'kestova profile show' lists the fields.";
    return change;
  }
  const char* field = change.field->Name;
  if (change.field->Type == FieldType::Password && text == "-") {
    const auto typed = ReadSecret(field, in, err);
    if (!typed) {
      change.error = std::string("No password was given for ") + field + ".";
      return change;
    }
    text = *typed;
  }
  if (change.field->Id == FieldId::RootDestn) {
    change.error = "The field RootDestn is kept only for compatibility and cannot be set.";
  } else if (change.field->Type == FieldType::Boolean) {
    if (text == "0" || text == "1")
      change.value.number = text == "1" ? 1 : 0;
    else
      change.error = std::string(field) + " takes 0 or 1, not '" + text + "'.";
  } else if (IsSecurityField(change.field->Id)) {
    // The numbers as stored, or the words of the site window's list.
    if (const int choice = ChoiceOf(text, {"plain", "explicit", "implicit"}); choice >= 0)
      change.value.number = choice;
    else
      change.error = std::string(field) + " takes 0 (plain FTP), 1 (explicit FTP over TLS) or 2 (implicit FTP " +
                     "over TLS), or the words plain, explicit or implicit, not '" + text + "'.";
  } else if (IsMethodField(change.field->Id)) {
    if (const int choice = ChoiceOf(text, {"classic", "modern"}); choice >= 0)
      change.value.number = choice;
    else
      change.error =
          std::string(field) + " takes 0 (classic) or 1 (modern), or the words classic or modern, not '" + text + "'.";
  } else if (IsProtocolField(change.field->Id)) {
    if (const int choice = ChoiceOf(text, {"ftp", "sftp"}); choice >= 0)
      change.value.number = choice;
    else
      change.error = std::string(field) + " takes 0 (FTP) or 1 (SFTP), or the words ftp or sftp, not '" + text + "'.";
  } else if (change.field->Id == FieldId::NewConnections || change.field->Id == FieldId::OldConnections) {
    if (const auto number = ParseNumber(text); number && *number >= 1 && *number <= RunSettings::kMaxConnections)
      change.value.number = *number;
    else
      change.error = std::string(field) + " takes a number of connections from 1 to 8, not '" + text + "'.";
  } else if (IsCertificateField(change.field->Id)) {
    change.value.text = NormalizeFingerprint(text);
    if (!text.empty() && change.value.text.empty()) {
      change.error = std::string(field) + " takes a SHA-256 fingerprint (32 bytes in hex, such as AB:CD:...:EF), " +
                     "or nothing to trust none, not '" + text + "'.";
    }
  } else if (change.field->Type == FieldType::Integer) {
    if (const auto number = ParseNumber(text))
      change.value.number = *number;
    else
      change.error = std::string(field) + " takes a whole number, not '" + text + "'.";
  } else if (change.field->Type == FieldType::Password && HoldsControl(text)) {
    change.error = std::string(field) + " cannot hold line breaks or other control characters.";
  } else if (change.field->Id != FieldId::RootSource && change.field->Id != FieldId::HTMLFile &&
             change.field->Id != FieldId::Exclude && HoldsLineBreak(text)) {
    change.error = std::string(field) + " cannot hold a line break: no FTP command can carry one.";
  } else if (IsPortField(change.field->Id) && !IsPort(text)) {
    change.error =
        std::string(field) + " takes a port number from 1 to 65535 or a service name such as ftp, not '" + text + "'.";
  } else {
    change.value.text = text;
  }
  return change;
}

std::string ShownValue(Registry& registry, const std::string& key, const ProfileField& field) {
  switch (field.Type) {
    // The exclusion patterns, one per line, shown on one: "*.psd\ndrafts/".
    case FieldType::String: return EscapeControls(registry.ReadString(key, field.Name));
    case FieldType::Password: return registry.ReadString(key, field.Name).empty() ? "" : "********";
    case FieldType::Boolean: return registry.ReadBool(key, field.Name) ? "1" : "0";
    case FieldType::Integer: return std::to_string(registry.ReadInteger(key, field.Name));
  }
  return std::string();
}

class ProfileCommand {
 public:
  ProfileCommand(std::ostream& out, std::ostream& err, const std::string& store, std::istream* in)
      : out_(out), err_(err), in_(in), profile_(store) {}

  int List(const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("'list' takes no arguments.");
    profile_.RefreshProfileList();
    // One name a line: a name an older version stored with control
    // characters in it is shown with them written out.
    for (const std::string& name : profile_.ProfileList) {
      out_ << (name == profile_.SelectedProfile ? "* " : "  ") << ShownProfileName(name) << '\n';
    }
    return kExitOk;
  }

  int Show(const std::vector<std::string>& args) {
    if (args.size() > 1) return Usage("'show' takes at most one profile name.");
    profile_.RefreshProfileList();
    std::string name = args.empty() ? profile_.GetCurrentProfile() : args[0];
    if (!args.empty()) {
      const auto listed = profile_.ListedName(name);
      if (!listed) return NoSuchProfile(name);
      name = *listed;
    }
    profile_.LoadRegistry(name);
    Registry registry(profile_.StoreFile());
    const std::string key = ProfileKey(name);
    for (const ProfileField& field : ProfileFields()) {
      out_ << field.Name << '=' << ShownValue(registry, key, field) << '\n';
    }
    return kExitOk;
  }

  int Use(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("'use' takes one profile name.");
    profile_.RefreshProfileList();
    const auto listed = profile_.ListedName(args[0]);
    if (!listed) return NoSuchProfile(args[0]);
    profile_.SetCurrentProfile(*listed);
    out_ << "The current profile is now \"" << ShownProfileName(*listed) << "\".\n";
    return kExitOk;
  }

  int Delete(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("'delete' takes one profile name.");
    if (SameText(args[0], kDefaultProfile)) {
      err_ << "kestova: The profile \"Default\" cannot be deleted.\n";
      return kExitUsage;
    }
    profile_.RefreshProfileList();
    const auto listed = profile_.ListedName(args[0]);
    if (!listed || !profile_.DeleteProfile(*listed)) return NoSuchProfile(args[0]);
    if (SameText(profile_.GetCurrentProfile(), *listed)) profile_.SetCurrentProfile(kDefaultProfile);
    out_ << "Deleted the profile \"" << ShownProfileName(*listed) << "\".\n";
    return kExitOk;
  }

  int Set(std::vector<std::string> args) {
    std::optional<std::string> target;
    if (!args.empty() && args[0].rfind("--profile=", 0) == 0) {
      target = args[0].substr(10);
      args.erase(args.begin());
    } else if (!args.empty() && args[0] == "--profile") {
      if (args.size() < 2) return Usage("--profile needs a profile name.");
      target = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    profile_.RefreshProfileList();
    // Only a new profile's name must pass the rule; an existing one is used
    // as it is stored.
    if (target && !profile_.ListedName(*target)) {
      if (const auto problem = ProfileNameProblem(*target)) return Usage(*problem);
    }
    if (args.empty()) return Usage("'set' needs at least one FIELD=VALUE.");
    std::vector<std::pair<FieldId, SiteProfile::Value>> changes;
    for (const std::string& arg : args) {
      const Change change = ParseChange(arg, in_, err_);
      if (!change.error.empty()) return Usage(change.error);
      changes.emplace_back(change.field->Id, change.value);
    }
    profile_.RefreshProfileList();
    const std::string current = profile_.GetCurrentProfile();
    std::string name = target.value_or(current);
    if (const auto listed = profile_.ListedName(name)) name = *listed;
    // Only the fields given are written, in one transaction: a second
    // command at the same time changes other fields without undoing these.
    // A new profile starts as a copy of the current one, as in the site
    // window.
    FollowPorts(name, current, changes);
    const bool created = profile_.UpdateProfile(name, changes, current);
    if (created) {
      out_ << "Created the profile \"" << name << "\" as a copy of \"" << ShownProfileName(current) << "\".\n";
    }
    out_ << "Saved " << changes.size() << (changes.size() == 1 ? " field" : " fields") << " of the profile \""
         << ShownProfileName(name) << "\".\n";
    return kExitOk;
  }

  // A site's port follows its security mode and its protocol while it holds
  // a default (ftp, 21, 990 or 22) and the command does not set it: 22 for
  // SFTP, 990 for implicit TLS, ftp otherwise.
  void FollowPorts(const std::string& name, const std::string& current,
                   std::vector<std::pair<FieldId, SiteProfile::Value>>& changes) {
    Registry registry(profile_.StoreFile());
    const std::string key = ProfileKey(registry.KeyExists(ProfileKey(name)) ? name : current);
    for (size_t i = 0, given = changes.size(); i < given; ++i) {
      const FieldId id = changes[i].first;
      if (!IsSecurityField(id) && !IsProtocolField(id)) continue;
      const bool new_site = id == FieldId::NewSecurity || id == FieldId::NewProtocol;
      const FieldId port = new_site ? FieldId::NewPort : FieldId::OldPort;
      const bool set_too =
          std::any_of(changes.begin(), changes.end(), [port](const auto& c) { return c.first == port; });
      const char* port_name = ProfileFieldOf(port).Name;
      const std::string now = registry.ValueExists(key, port_name) ? registry.ReadString(key, port_name) : "ftp";
      if (set_too || (now != "ftp" && now != "21" && now != "990" && now != "22")) continue;
      // The other of the two fields, as this command sets it or as stored.
      const FieldId other = IsSecurityField(id) ? (new_site ? FieldId::NewProtocol : FieldId::OldProtocol)
                                                : (new_site ? FieldId::NewSecurity : FieldId::OldSecurity);
      const char* other_name = ProfileFieldOf(other).Name;
      int other_value = 0;  // what a profile stored before the field behaves as
      try {
        if (registry.ValueExists(key, other_name)) other_value = registry.ReadInteger(key, other_name);
      } catch (const RegistryError&) {
      }
      for (const auto& c : changes) {
        if (c.first == other) other_value = c.second.number;
      }
      const int protocol = IsProtocolField(id) ? changes[i].second.number : other_value;
      const int security = IsSecurityField(id) ? changes[i].second.number : other_value;
      const std::string follows = protocol == 1                                                 ? "22"
                                  : static_cast<FtpSecurity>(security) == FtpSecurity::Implicit ? "990"
                                                                                                : "ftp";
      if (std::any_of(changes.begin() + static_cast<long>(given), changes.end(),
                      [port](const auto& c) { return c.first == port; })) {
        continue;  // the other field of this command already moved it
      }
      if (follows == now || (follows == "ftp" && now == "21")) continue;
      changes.emplace_back(port, SiteProfile::Value{follows, 0});
      out_ << port_name << " follows: " << follows << ".\n";
    }
  }

 private:
  int Usage(const std::string& message) {
    err_ << "kestova: " << message << '\n';
    return kExitUsage;
  }

  int NoSuchProfile(const std::string& name) {
    return Usage("There is no profile named \"" + ShownProfileName(name) +
                 "\"; 'kestova profile list' shows the profiles.");
  }

  std::ostream& out_;
  std::ostream& err_;
  std::istream* in_;
  SiteProfile profile_;
};

}  // namespace

int RunProfileCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& store_file, std::istream* in) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? err : out) << kProfileHelp;
    return args.empty() ? kExitUsage : kExitOk;
  }
  const std::string command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  const auto help = CommandHelp().find(command);
  if (help == CommandHelp().end()) {
    err << "kestova: Unknown profile command '" << command << "'.\n\n" << kProfileHelp;
    return kExitUsage;
  }
  if (WantsHelp(rest)) {
    out << help->second;
    return kExitOk;
  }
  try {
    ProfileCommand run(out, err, store_file, in);
    if (command == "list") return run.List(rest);
    if (command == "show") return run.Show(rest);
    if (command == "use") return run.Use(rest);
    if (command == "delete") return run.Delete(rest);
    if (command == "trust") return RunTrustCommand(rest, out, err, store_file, in);
    return run.Set(rest);
  } catch (const RegistryError& error) {
    err << "kestova: " << error.what() << '\n';
    return kExitUsage;
  }
}

}  // namespace kestova
