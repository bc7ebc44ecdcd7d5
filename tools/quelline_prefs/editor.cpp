#include "tools/quelline_prefs/editor.h"

#include "host/files/device_paths.h"
#include "host/sim/services/darwin_notify.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace quelline::prefs {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using prefsfile::asWord;
using prefsfile::FileError;
using prefsfile::FileState;
using prefsfile::inQuotes;
using prefsfile::Kind;
using prefsfile::PreferenceFile;
using prefsfile::Value;

// What a command refuses or cannot do, with the exit status it calls for.
class CommandError : public std::runtime_error {
public:
  CommandError(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

private:
  int status_;
};

std::string_view kindName(Kind kind) {
  switch (kind) {
  case Kind::Boolean:
    return "boolean";
  case Kind::Integer:
    return "integer";
  case Kind::Real:
    return "real";
  case Kind::String:
    return "string";
  case Kind::Array:
    return "array";
  case Kind::Dictionary:
    return "dictionary";
  case Kind::Date:
    return "date";
  case Kind::Data:
    return "data";
  case Kind::Other:
    break;
  }
  return "other";
}

Kind kindOf(KeyType type) {
  return type == KeyType::Boolean ? Kind::Boolean : Kind::Integer;
}

json toJson(const Value& value) {
  return std::visit([](const auto& v) { return json(v); }, value);
}

std::string valueText(const Value& value) {
  struct Text {
    std::string operator()(bool v) const { return v ? "true" : "false"; }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const {
      char text[32];
      std::snprintf(text, sizeof text, "%.17g", v);
      return text;
    }
    std::string operator()(const std::string& v) const { return inQuotes(v); }
  };
  return std::visit(Text{}, value);
}

// A JSON record as one line: what came from a file or an argument is
// escaped (bytes that are no UTF-8 replaced, DEL and C1 controls too).
std::string jsonLine(const json& record) {
  return prefsfile::withoutControls(record.dump(-1, ' ', false, json::error_handler_t::replace));
}

// The value stored under the key as text: "-" when absent; its kind in
// parentheses when it is not of the key's type.
std::string storedText(const PreferenceFile& file, const KeyInfo& key) {
  const std::optional<Kind> kind = file.kind(key.name);
  if (!kind) return "-";
  const std::optional<Value> value = file.value(key.name);
  if (*kind == kindOf(key.type) && value) return valueText(*value);
  std::string text = value ? valueText(*value) + " " : std::string();
  return text + "(" + std::string(kindName(*kind)) + ")";
}

json entryJson(const PreferenceFile& file, const KeyInfo& key) {
  json entry = json::object();
  entry["key"] = key.name;
  entry["type"] = typeName(key.type);
  entry["default"] = toJson(defaultValue(key));
  entry["live"] = key.live;
  entry["description"] = key.description;
  const std::optional<Kind> kind = file.kind(key.name);
  entry["inFile"] = kind.has_value();
  if (kind) {
    const std::optional<Value> value = file.value(key.name);
    entry["value"] = value ? toJson(*value) : json();
    entry["storedType"] = kindName(*kind);
  } else {
    entry["value"] = json();
  }
  entry["effective"] = toJson(effectiveValue(key, file));
  return entry;
}

// The keys of the file that the domain does not know.
std::vector<std::string> otherKeys(const PreferenceFile& file) {
  std::vector<std::string> out;
  for (const std::string& name : file.keys())
    if (findKey(name) == nullptr) out.push_back(name);
  return out;
}

const KeyInfo& requireKey(const std::string& name) {
  if (const KeyInfo* key = findKey(name)) return *key;
  throw CommandError(kExitRefused, "unknown key " + inQuotes(name) + "; " + unknownKeyHint(name) +
                                       " (the known keys are " + knownKeyNames() + ")");
}

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// Rows in columns, the first row the heading.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i)
      line += i + 1 < row.size() ? padded(row[i], widths[i] + 2) : row[i];
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    out << line << '\n';
  }
}

// What `set` takes for a key: "true or false", "1 to 3600".
std::string takes(const KeyInfo& key) {
  if (key.type == KeyType::Boolean) return "true or false";
  return std::to_string(key.minimum) + " to " + std::to_string(key.maximum);
}

std::string appListName(AppList list) {
  return std::string(appList(list).name) + " apps";
}

// apps add/remove --json: the list after the change.
std::string appChangeJson(const AppListInfo& info, const std::string& bundle, bool changed,
                          const std::vector<std::string>& apps) {
  return jsonLine(
      json{{"list", info.name}, {"bundle", bundle}, {"changed", changed}, {"apps", apps}});
}

} // namespace

Editor::Editor(EditorOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {}

fs::path Editor::hostPath(std::string_view devicePath) const {
  return prefsfile::hostPathUnder(options_.root, devicePath);
}

std::string Editor::where(std::string_view devicePath) const {
  return std::string(devicePath) + " (on this machine: " + asWord(hostPath(devicePath).string()) +
         ")";
}

PreferenceFile Editor::loadForReading(std::string_view devicePath) const {
  PreferenceFile file = PreferenceFile::load(hostPath(devicePath));
  if (!file.editable())
    throw CommandError(kExitFileError, "cannot read " + where(devicePath) + ": " + file.problem());
  return file;
}

bool Editor::requireEditable(PreferenceFile& file, std::string_view devicePath) {
  switch (file.state()) {
  case FileState::Missing:
  case FileState::Dictionary:
    return true;
  case FileState::Unreadable:
    throw CommandError(kExitFileError,
                       where(devicePath) + ": " + file.problem() + "; nothing was changed");
  case FileState::NotPropertyList:
  case FileState::NotDictionary:
    break;
  }
  if (!options_.force)
    throw CommandError(kExitFileError,
                       where(devicePath) + ": " + file.problem() +
                           "; it was left as it is. Repair or remove it, or give --force to "
                           "start over from an empty dictionary (what it holds is then lost)");
  err_ << "quelline-prefs: " << where(devicePath) << ": " << file.problem()
       << "; --force: starting over from an empty dictionary" << std::endl;
  file.startEmpty();
  return false;
}

bool Editor::change(std::string_view devicePath, const std::function<bool(PreferenceFile&)>& edit) {
  const fs::path path = hostPath(devicePath);
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec)
    throw CommandError(kExitFileError, "cannot create the folder " +
                                           inQuotes(path.parent_path().string()) + ": " +
                                           ec.message() + "; nothing was changed");
  const bool written = prefsfile::editLocked(path, options_.lockWait, [&](PreferenceFile& file) {
    // A file started over is written even when the edit changes nothing.
    const bool startedOver = !requireEditable(file, devicePath);
    const bool changed = edit(file);
    return changed || startedOver;
  });
  // False only when no process of this root ever started: nobody to tell.
  hostsim::postDarwinNotification(options_.root, kReloadNotification);
  return written;
}

int Editor::run(const std::function<void()>& command) {
  try {
    command();
    out_.flush();
    return kExitOk;
  } catch (const CommandError& e) {
    out_.flush();
    err_ << "quelline-prefs: " << prefsfile::withoutControls(e.what()) << std::endl;
    return e.status();
  } catch (const FileError& e) {
    // A lock not had, a save that failed: the file is as it was.
    out_.flush();
    err_ << "quelline-prefs: " << prefsfile::withoutControls(e.what()) << std::endl;
    return kExitFileError;
  } catch (const std::exception& e) {
    out_.flush();
    err_ << "quelline-prefs: failed: " << prefsfile::withoutControls(e.what()) << std::endl;
    return kExitFileError;
  }
}

int Editor::describeKeys() {
  return run([&] {
    if (options_.json) {
      json entries = json::array();
      for (const KeyInfo& key : prefs::keys())
        entries.push_back({{"key", key.name},
                           {"type", typeName(key.type)},
                           {"takes", takes(key)},
                           {"default", toJson(defaultValue(key))},
                           {"live", key.live},
                           {"description", key.description}});
      out_ << jsonLine(json{{"keys", std::move(entries)}}) << '\n';
      return;
    }
    std::vector<std::vector<std::string>> rows{{"KEY", "TYPE", "TAKES", "DEFAULT", "WHAT IT DOES"}};
    for (const KeyInfo& key : prefs::keys())
      rows.push_back({std::string(key.name), std::string(typeName(key.type)), takes(key),
                      valueText(defaultValue(key)),
                      (key.live ? "(live) " : "") + std::string(key.description)});
    printTable(out_, rows);
  });
}

int Editor::list() {
  return run([&] {
    const PreferenceFile file = loadForReading(kPreferencesPath);
    if (options_.json) {
      json record = json::object();
      record["domain"] = kDomain;
      record["path"] = kPreferencesPath;
      record["hostPath"] = hostPath(kPreferencesPath).string();
      record["fileExists"] = file.state() != FileState::Missing;
      json entries = json::array();
      for (const KeyInfo& key : keys())
        entries.push_back(entryJson(file, key));
      record["keys"] = std::move(entries);
      record["otherKeys"] = otherKeys(file);
      out_ << jsonLine(record) << '\n';
      return;
    }
    out_ << where(kPreferencesPath)
         << (file.state() == FileState::Missing ? ": no file; every key has its default" : "")
         << '\n';
    std::vector<std::vector<std::string>> rows{
        {"KEY", "TYPE", "IN FILE", "DEFAULT", "WHAT IT DOES"}};
    for (const KeyInfo& key : keys())
      rows.push_back({std::string(key.name), std::string(typeName(key.type)), storedText(file, key),
                      valueText(defaultValue(key)),
                      (key.live ? "(live) " : "") + std::string(key.description)});
    printTable(out_, rows);
    const std::vector<std::string> others = otherKeys(file);
    if (!others.empty()) {
      out_ << "Other keys in the file, kept as they are:";
      for (const std::string& name : others)
        out_ << ' ' << asWord(name);
      out_ << '\n';
    }
  });
}

int Editor::get(const std::string& name) {
  return run([&] {
    const KeyInfo& key = requireKey(name);
    const PreferenceFile file = loadForReading(kPreferencesPath);
    if (options_.json) {
      out_ << jsonLine(entryJson(file, key)) << '\n';
      return;
    }
    if (options_.plain) {
      out_ << valueText(effectiveValue(key, file)) << '\n';
      return;
    }
    if (!file.has(key.name)) {
      out_ << valueText(defaultValue(key)) << " (default)\n";
      return;
    }
    out_ << storedText(file, key) << '\n';
  });
}

int Editor::set(const std::string& name, const std::string& text) {
  return set({{name, text}});
}

int Editor::set(const std::vector<std::pair<std::string, std::string>>& pairs) {
  return run([&] {
    struct Change {
      const KeyInfo* key;
      Value value;
      bool already = false;
    };
    // Every pair read first: one refused pair changes nothing.
    std::vector<Change> changes;
    for (const auto& [name, text] : pairs) {
      const KeyInfo& key = requireKey(name);
      for (const Change& earlier : changes)
        if (earlier.key == &key)
          throw CommandError(kExitRefused, "set " + name +
                                               ": the key is given twice; give each "
                                               "key once");
      std::string expected;
      const std::optional<Value> value = parseValue(key, text, expected);
      if (!value)
        throw CommandError(kExitRefused, "set " + name + ": " + refusedValue(key, text, expected));
      changes.push_back({&key, *value});
    }
    // All of them applied, then the result checked as a whole: one write.
    change(kPreferencesPath, [&](PreferenceFile& file) {
      bool any = false;
      for (Change& c : changes) {
        c.already =
            file.kind(c.key->name) == kindOf(c.key->type) && file.value(c.key->name) == c.value;
        if (!c.already) file.set(c.key->name, c.value);
        any = any || !c.already;
      }
      for (const Change& c : changes)
        if (auto clash = clashWithPartner(*c.key, c.value, file))
          throw CommandError(kExitRefused, "set " + std::string(c.key->name) + ": " + *clash +
                                               "; nothing was changed");
      return any;
    });
    for (const Change& c : changes) {
      if (options_.json) {
        out_ << jsonLine(
                    json{{"key", c.key->name}, {"value", toJson(c.value)}, {"changed", !c.already}})
             << '\n';
        continue;
      }
      out_ << c.key->name << " = " << valueText(c.value) << (c.already ? " (already)" : "") << '\n';
    }
  });
}

int Editor::reset(const std::string& name) {
  return run([&] {
    const KeyInfo& key = requireKey(name);
    bool removed = false;
    change(kPreferencesPath, [&](PreferenceFile& file) {
      if (auto clash = clashWithPartner(key, defaultValue(key), file))
        throw CommandError(kExitRefused, "reset " + name + ": " + *clash + "; nothing was changed");
      return removed = file.remove(key.name);
    });
    if (options_.json) {
      out_ << jsonLine(
                  json{{"key", name}, {"value", toJson(defaultValue(key))}, {"changed", removed}})
           << '\n';
      return;
    }
    out_ << name << " = " << valueText(defaultValue(key))
         << (removed ? " (reset to its default)" : " (its default; it was not set)") << '\n';
  });
}

int Editor::resetAll() {
  return run([&] {
    size_t removed = 0;
    std::vector<std::string> names;
    std::vector<std::string> kept;
    change(kPreferencesPath, [&](PreferenceFile& file) {
      for (const KeyInfo& key : keys())
        if (file.remove(key.name)) {
          ++removed;
          names.emplace_back(key.name);
        }
      kept = otherKeys(file);
      return removed > 0;
    });
    if (options_.json) {
      out_ << jsonLine(json{{"reset", names}, {"kept", kept}, {"changed", removed > 0}}) << '\n';
      return;
    }
    out_ << removed << (removed == 1 ? " key" : " keys") << " reset to the default";
    if (!kept.empty()) {
      out_ << "; kept the keys this editor does not know:";
      for (const std::string& other : kept)
        out_ << ' ' << asWord(other);
    }
    out_ << '\n';
  });
}

int Editor::listApps(AppList list) {
  return run([&] {
    const AppListInfo& info = appList(list);
    const PreferenceFile file = loadForReading(info.path);
    std::vector<std::string> apps;
    if (file.has(info.key)) {
      std::optional<std::vector<std::string>> strings = file.strings(info.key);
      if (!strings)
        throw CommandError(kExitFileError, "cannot read " + where(info.path) + ": the key " +
                                               inQuotes(info.key) + " holds no array");
      apps = std::move(*strings);
    }
    if (options_.json) {
      json record = json::object();
      record["list"] = info.name;
      record["path"] = info.path;
      record["hostPath"] = hostPath(info.path).string();
      record["apps"] = apps;
      out_ << jsonLine(record) << '\n';
      return;
    }
    for (const std::string& app : apps)
      out_ << asWord(app) << '\n';
    // Said apart from the list, so that $(…) gets nothing.
    if (apps.empty())
      err_ << "quelline-prefs: the " << appListName(list) << " list is empty" << std::endl;
  });
}

int Editor::addApp(AppList list, const std::string& bundle) {
  return run([&] {
    const AppListInfo& info = appList(list);
    if (!isBundleIdentifier(bundle))
      throw CommandError(kExitRefused, "apps add " + std::string(info.name) + ": " +
                                           inQuotes(bundle) +
                                           " is refused; expected a bundle identifier such as "
                                           "com.apple.mobilesafari (letters, digits, '.', '-' "
                                           "and '_')");
    bool added = false;
    std::vector<std::string> apps;
    change(info.path, [&](PreferenceFile& file) {
      if (file.has(info.key) && file.kind(info.key) != Kind::Array) {
        if (!options_.force)
          throw CommandError(kExitFileError,
                             where(info.path) + ": the key " + inQuotes(info.key) +
                                 " holds no array; it was left as it is. Give --force to "
                                 "replace it with a new list");
        err_ << "quelline-prefs: " << where(info.path) << ": the key " << inQuotes(info.key)
             << " holds no array; --force: starting a new list" << std::endl;
        file.remove(info.key);
      }
      added = file.addString(info.key, bundle);
      apps = file.strings(info.key).value_or(std::vector<std::string>());
      return added;
    });
    if (options_.json) {
      out_ << appChangeJson(info, bundle, added, apps) << '\n';
      return;
    }
    out_ << asWord(bundle) << (added ? " added to the " : " is in the ") << appListName(list)
         << (added ? "" : " already") << '\n';
  });
}

int Editor::removeApp(AppList list, const std::string& bundle) {
  return run([&] {
    const AppListInfo& info = appList(list);
    if (bundle.empty())
      throw CommandError(kExitRefused, "apps remove " + std::string(info.name) +
                                           ": the bundle identifier is empty");
    bool removed = false;
    std::vector<std::string> apps;
    change(info.path, [&](PreferenceFile& file) {
      if (file.has(info.key) && file.kind(info.key) != Kind::Array)
        throw CommandError(kExitFileError, where(info.path) + ": the key " + inQuotes(info.key) +
                                               " holds no array; it was left as it is");
      removed = file.removeString(info.key, bundle);
      apps = file.strings(info.key).value_or(std::vector<std::string>());
      return removed;
    });
    if (options_.json) {
      out_ << appChangeJson(info, bundle, removed, apps) << '\n';
      return;
    }
    out_ << asWord(bundle) << (removed ? " removed from the " : " is not in the ")
         << appListName(list) << '\n';
  });
}

} // namespace quelline::prefs
