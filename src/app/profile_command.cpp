#include "app/profile_command.h"

#include <charconv>
#include <map>
#include <optional>

#include "common/text_helpers.h"
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
       "Booleans take 0 or 1, integers a decimal number. Passwords are given in clear\n"
       "and stored scrambled; they may hold printable ASCII characters except \" # '.\n"
       "\n"
       "A profile that does not exist yet is created as a copy of the current profile\n"
       "with the changes, as the site window does. The current profile stays as it is\n"
       "('kestova profile use' changes it). Nothing is written when any FIELD=VALUE is\n"
       "wrong.\n"},
  };
  return help;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

// A profile name goes into a key path: a backslash would make it a path of
// several keys, and an empty one has no key of its own.
std::optional<std::string> CheckName(const std::string& name) {
  if (name.empty()) return "A profile name cannot be empty.";
  if (name.find('\\') != std::string::npos) return "A profile name cannot contain '\\': " + name;
  return std::nullopt;
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

// One FIELD=VALUE argument, checked; `error` says what is wrong with it.
struct Change {
  const ProfileField* field = nullptr;
  SiteProfile::Value value;
  std::string error;
};

Change ParseChange(const std::string& arg) {
  Change change;
  const size_t equals = arg.find('=');
  if (equals == std::string::npos) {
    change.error = "Expected FIELD=VALUE, got '" + arg + "'.";
    return change;
  }
  const std::string name = arg.substr(0, equals);
  const std::string text = arg.substr(equals + 1);
  change.field = FindProfileField(name);
  if (!change.field) {
    change.error = "Unknown field '" + name + "'. 'kestova profile show' lists the fields.";
  } else if (change.field->Id == FieldId::RootDestn) {
    change.error = "The field RootDestn is kept only for compatibility and cannot be set.";
  } else if (change.field->Type == FieldType::Boolean) {
    if (text == "0" || text == "1") change.value.number = text == "1" ? 1 : 0;
    else change.error = std::string(change.field->Name) + " takes 0 or 1, not '" + text + "'.";
  } else if (change.field->Type == FieldType::Integer) {
    if (const auto number = ParseNumber(text)) change.value.number = *number;
    else change.error = std::string(change.field->Name) + " takes a whole number, not '" + text + "'.";
  } else if (change.field->Type == FieldType::Password && !IsStorable(text)) {
    change.error = std::string(change.field->Name) +
                   " can hold only printable ASCII characters other than \" # ' (the store cannot keep the others).";
  } else {
    change.value.text = text;
  }
  return change;
}

std::string ShownValue(Registry& registry, const std::string& key, const ProfileField& field) {
  switch (field.Type) {
    case FieldType::String:
      return registry.ReadString(key, field.Name);
    case FieldType::Password:
      return registry.ReadString(key, field.Name).empty() ? "" : "********";
    case FieldType::Boolean:
      return registry.ReadBool(key, field.Name) ? "1" : "0";
    case FieldType::Integer:
      return std::to_string(registry.ReadInteger(key, field.Name));
  }
  return std::string();
}

// The name as the profile list shows it, for a name typed in any letter case.
std::optional<std::string> ListedName(SiteProfile& profile, const std::string& name) {
  for (const std::string& listed : profile.ProfileNames) {
    if (SameText(listed, name)) return listed;
  }
  return std::nullopt;
}

class ProfileCommand {
 public:
  ProfileCommand(std::ostream& out, std::ostream& err, const std::string& store)
      : out_(out), err_(err), profile_(store) {}

  int List(const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("'list' takes no arguments.");
    profile_.RefreshProfileList();
    for (const std::string& name : profile_.ProfileList) {
      out_ << (name == profile_.SelectedProfile ? "* " : "  ") << name << '\n';
    }
    return kExitOk;
  }

  int Show(const std::vector<std::string>& args) {
    if (args.size() > 1) return Usage("'show' takes at most one profile name.");
    profile_.RefreshProfileList();
    std::string name = args.empty() ? profile_.GetCurrentProfile() : args[0];
    if (!args.empty()) {
      const auto listed = ListedName(profile_, name);
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
    const auto listed = ListedName(profile_, args[0]);
    if (!listed) return NoSuchProfile(args[0]);
    profile_.SetCurrentProfile(*listed);
    out_ << "The current profile is now \"" << *listed << "\".\n";
    return kExitOk;
  }

  int Delete(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("'delete' takes one profile name.");
    if (SameText(args[0], kDefaultProfile)) {
      err_ << "kestova: The profile \"Default\" cannot be deleted.\n";
      return kExitUsage;
    }
    profile_.RefreshProfileList();
    const auto listed = ListedName(profile_, args[0]);
    if (!listed || !profile_.DeleteProfile(*listed)) return NoSuchProfile(args[0]);
    if (SameText(profile_.GetCurrentProfile(), *listed)) profile_.SetCurrentProfile(kDefaultProfile);
    out_ << "Deleted the profile \"" << *listed << "\".\n";
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
    if (target) {
      if (const auto problem = CheckName(*target)) return Usage(*problem);
    }
    if (args.empty()) return Usage("'set' needs at least one FIELD=VALUE.");
    std::vector<Change> changes;
    for (const std::string& arg : args) {
      changes.push_back(ParseChange(arg));
      if (!changes.back().error.empty()) return Usage(changes.back().error);
    }
    profile_.RefreshProfileList();
    const std::string current = profile_.GetCurrentProfile();
    std::string name = target.value_or(current);
    const auto listed = ListedName(profile_, name);
    // A new profile starts as a copy of the current one, as in the site window.
    profile_.LoadRegistry(listed ? *listed : current);
    if (listed) name = *listed;
    for (const Change& change : changes) profile_.Set(change.field->Id, change.value);
    const bool created = profile_.SaveRegistry(name);
    if (created) out_ << "Created the profile \"" << name << "\" as a copy of \"" << current << "\".\n";
    out_ << "Saved " << changes.size() << (changes.size() == 1 ? " field" : " fields") << " of the profile \""
         << name << "\".\n";
    return kExitOk;
  }

 private:
  int Usage(const std::string& message) {
    err_ << "kestova: " << message << '\n';
    return kExitUsage;
  }

  int NoSuchProfile(const std::string& name) {
    return Usage("There is no profile named \"" + name + "\"; 'kestova profile list' shows the profiles.");
  }

  std::ostream& out_;
  std::ostream& err_;
  SiteProfile profile_;
};

}  // namespace

int RunProfileCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& store_file) {
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
    ProfileCommand run(out, err, store_file);
    if (command == "list") return run.List(rest);
    if (command == "show") return run.Show(rest);
    if (command == "use") return run.Use(rest);
    if (command == "delete") return run.Delete(rest);
    return run.Set(rest);
  } catch (const RegistryError& error) {
    err << "kestova: " << error.what() << '\n';
    return kExitUsage;
  }
}

}  // namespace kestova
