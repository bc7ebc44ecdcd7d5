// quelline-prefs: reads and changes Quelline's preferences on a device root.
//
//   quelline-prefs [--root DIR] list [--json]
//   quelline-prefs [--root DIR] get KEY [--json|--plain]
//   quelline-prefs [--root DIR] set KEY VALUE [KEY VALUE …] [--force] [--json]
//   quelline-prefs keys [--json]
//   quelline-prefs [--root DIR] reset KEY|--all [--force] [--json]
//   quelline-prefs [--root DIR] apps list silent|banner [--json]
//   quelline-prefs [--root DIR] apps add|remove silent|banner BUNDLE [--force] [--json]
//   quelline-prefs --version
//
// The device root comes from --root, or else from QUELLINE_ROOT; there is no
// default, so that a forgotten option never edits the files of this machine.
// `reset --all` removes the keys of the domain and keeps any other key of
// the file: what the editor does not know, it does not throw away.
//
// Exit status: 0 done; 2 the command line is wrong, or a key, value or
// bundle identifier is refused (nothing is read or written); 3 a file could
// not be read or written: a corrupt file without --force, the file's lock
// not had within 5 s, a failed write. Nothing is changed then.
#include "host/files/shown_text.h"
#include "tools/device_root.h"
#include "tools/program_files.h"
#include "tools/quelline_prefs/editor.h"
#include "tools/quelline_prefs/editor_domain.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace quelline::prefs;

struct Arguments {
  std::string root;
  bool json = false;
  bool plain = false;
  bool force = false;
  bool all = false;
  std::string key;
  std::string value;
  std::vector<std::string> more; // set: further KEY VALUE pairs
  std::string list;
  std::string bundle;
};

// The app list named on the command line: silent or banner.
CLI::Validator appListValidator() {
  return CLI::Validator(
      [](const std::string& name) -> std::string {
        if (findAppList(name)) return {};
        return "unknown app list " + prefsfile::inQuotes(name) + "; expected silent or banner";
      },
      "silent|banner");
}

// The device root: --root, else QUELLINE_ROOT. Empty (after a message) when
// there is none or it cannot be used.
fs::path deviceRoot(const std::optional<std::string>& option) {
  try {
    if (auto root = quelline::deviceroot::givenRoot(option)) return root->path;
    std::cerr << "quelline-prefs: no device root: give --root DIR or set QUELLINE_ROOT (there is "
                 "no default, so that a forgotten option never edits this machine's own files)"
              << std::endl;
  } catch (const quelline::deviceroot::RootError& e) {
    std::cerr << "quelline-prefs: " << prefsfile::withoutControls(e.what()) << std::endl;
  }
  return {};
}

void addJson(CLI::App* command, Arguments& arguments) {
  command->add_flag("--json", arguments.json, "print one JSON object instead of text");
}

void addForce(CLI::App* command, Arguments& arguments) {
  command->add_flag("--force", arguments.force,
                    "when the file is no dictionary property list, start over from an empty "
                    "dictionary (what it holds is lost) instead of refusing");
}

} // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reads and changes Quelline's preferences (the domain com.veltrasse.quelline and "
               "its app lists) on a device root. Every change is written atomically under the "
               "file's lock and followed by the notification "
               "com.veltrasse.quelline/ReloadPrefs.",
               "quelline-prefs"};
  Arguments arguments;
  CLI::Option* rootOption =
      app.add_option("--root", arguments.root,
                     "device root folder (device path P is DIR/P); default: $QUELLINE_ROOT. There "
                     "is no other default.");
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("quelline-prefs ") + QUELLINE_VERSION);
  const std::string exitStatus =
      "Exit status: 0 done; 2 the command line is wrong, or a key, value or bundle identifier is "
      "refused; 3 a file could not be read or written (a corrupt file without --force, its lock "
      "not had within 5 s, a failed write): nothing was changed.";
  const std::string keysFooter =
      exitStatus + "\nKeys (what each does: quelline-prefs list): " + knownKeyNames() + ".";

  CLI::App* list = app.add_subcommand("list", "every key with its type, its value in the file "
                                              "and its default");
  addJson(list, arguments);

  CLI::App* get = app.add_subcommand("get", "the value of KEY: in the file, or its default");
  get->add_option("KEY", arguments.key, "a key of the domain")->required();
  addJson(get, arguments);
  get->add_flag("--plain", arguments.plain,
                "print only the value the home screen uses (the default when the key is not "
                "set), for $(...)");

  CLI::App* set = app.add_subcommand(
      "set", "store VALUE under KEY: true/false/yes/no/1/0 for a boolean key; for an integer key, "
             "a whole number in its range (" +
                 integerRanges() + ")");
  set->add_option("KEY", arguments.key, "a key of the domain")->required();
  set->add_option("VALUE", arguments.value, "the value")->required();
  set->add_option("MORE", arguments.more,
                  "further KEY VALUE pairs: all are written in one change, under one lock, "
                  "and checked together (swap quiet hours with set quietHoursStart 420 "
                  "quietHoursEnd 1320)");
  addForce(set, arguments);
  addJson(set, arguments);

  CLI::App* keysCommand = app.add_subcommand(
      "keys", "every key of the domain with its type, what it takes and what it does (no device "
              "root needed)");
  addJson(keysCommand, arguments);

  CLI::App* reset = app.add_subcommand(
      "reset", "remove KEY from the file (it returns to its default), or with --all every key "
               "of the domain (keys this editor does not know are kept)");
  reset->add_option("KEY", arguments.key, "a key of the domain");
  reset->add_flag("--all", arguments.all, "every key of the domain");
  addForce(reset, arguments);
  addJson(reset, arguments);

  CLI::App* apps = app.add_subcommand("apps", "the silent and banner app lists");
  apps->require_subcommand(1);
  CLI::App* appsList = apps->add_subcommand("list", "the bundle identifiers of a list");
  appsList->add_option("LIST", arguments.list, "silent or banner")
      ->required()
      ->check(appListValidator());
  addJson(appsList, arguments);
  CLI::App* appsAdd = apps->add_subcommand("add", "add BUNDLE to a list (once)");
  CLI::App* appsRemove = apps->add_subcommand("remove", "remove BUNDLE from a list");
  for (CLI::App* command : {appsAdd, appsRemove}) {
    command->add_option("LIST", arguments.list, "silent or banner")
        ->required()
        ->check(appListValidator());
    command->add_option("BUNDLE", arguments.bundle, "a bundle identifier")->required();
    addForce(command, arguments);
    addJson(command, arguments);
  }
  // The key list where keys are named; the documents at the top.
  app.footer(exitStatus + "\nKeys: " + knownKeyNames() +
             ".\nMore: " + quelline::programfiles::documentPath("preference-editor.md") +
             "; what each setting does: " + quelline::programfiles::documentPath("settings.md"));
  for (CLI::App* command : {list, keysCommand, apps, appsList, appsAdd, appsRemove})
    command->footer(exitStatus);
  for (CLI::App* command : {get, set, reset})
    command->footer(keysFooter);
  for (CLI::App* command :
       {list, keysCommand, get, set, reset, apps, appsList, appsAdd, appsRemove})
    command->fallthrough();

  // The parser's messages may echo an argument: shown without its control
  // characters.
  app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
    return prefsfile::withoutControls(CLI::FailureMessage::simple(failed, e));
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitRefused;
  }
  if (reset->parsed() && arguments.all == !arguments.key.empty()) {
    std::cerr << "quelline-prefs: reset: give a KEY or --all (not both)" << std::endl;
    return kExitRefused;
  }

  if (set->parsed() && arguments.more.size() % 2 != 0) {
    std::cerr << "quelline-prefs: set: " << prefsfile::inQuotes(arguments.more.back())
              << " has no value; expected KEY VALUE pairs" << std::endl;
    return kExitRefused;
  }
  if (keysCommand->parsed()) {
    EditorOptions none;
    none.json = arguments.json;
    return Editor(none, std::cout, std::cerr).describeKeys();
  }

  EditorOptions options;
  options.root = deviceRoot(rootOption->count() > 0 ? std::optional<std::string>(arguments.root)
                                                    : std::nullopt);
  if (options.root.empty()) return kExitRefused;
  options.json = arguments.json;
  options.plain = arguments.plain;
  options.force = arguments.force;
  Editor editor(options, std::cout, std::cerr);

  if (list->parsed()) return editor.list();
  if (get->parsed()) return editor.get(arguments.key);
  if (set->parsed()) {
    std::vector<std::pair<std::string, std::string>> pairs{{arguments.key, arguments.value}};
    for (size_t i = 0; i + 1 < arguments.more.size(); i += 2)
      pairs.emplace_back(arguments.more[i], arguments.more[i + 1]);
    return editor.set(pairs);
  }
  if (reset->parsed()) return arguments.all ? editor.resetAll() : editor.reset(arguments.key);
  const AppList which = *findAppList(arguments.list);
  if (appsList->parsed()) return editor.listApps(which);
  if (appsAdd->parsed()) return editor.addApp(which, arguments.bundle);
  return editor.removeApp(which, arguments.bundle);
}
