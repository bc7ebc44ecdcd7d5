// pane-specifiers: the settings pane's specifier plist (Root.plist), made
// from the one description of the preference domain (prefs/domain.h), so
// that the pane shows every key of its groups with the key's label, default
// and range, and nothing else.
//
//   pane-specifiers --write FILE   write the plist to FILE
//   pane-specifiers --check FILE   exit 1 (saying how) when FILE is not the plist the
//                                  domain gives now
//
// The plist holds what -[PSListController loadSpecifiersFromPlistName:target:]
// reads: `title` and `items`, each item a dictionary with `cell`:
//   PSGroupCell   a group: `id` (the group's name), `label`, and on its last
//                 section `footerText`;
//   PSSwitchCell  a boolean key;
//   PSSliderCell  an integer key, with `min`, `max` and `showValue` (the pane
//                 rounds and clamps what the slider gives). A slider cell
//                 draws no label (its specifier's name is not shown), so
//                 the usual pattern is followed: a section of its own
//                 titled with the key's label (`id` KEYLabel), and an
//                 untitled one (`id` KEYEnd) after it when rows follow;
//   PSLinkListCell a clock time (Minutes), with `detail` PSListItemsController
//                 and the day's times every 15 minutes as `validValues`
//                 (minutes after midnight) and `validTitles` ("22:00");
//   PSLinkCell    an app-list row: `id` (the row), `label`, and `action`, the
//                 pane's method that pushes the app-list editor.
// A key's row has `id` and `key` (its name), `label`, `default` and
// `defaults` (the domain). Keys of the Hidden group (the toggle's own) have
// no row. The build writes the plist into the pane's bundle.
#include "prefs/domain.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <plist/plist.h>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum class Group {
#define QUELLINE_GROUP_ENUM(group, title, footer) group,
  QUELLINE_PANE_GROUPS(QUELLINE_GROUP_ENUM)
#undef QUELLINE_GROUP_ENUM
      Hidden,
};

struct GroupInfo {
  Group group;
  std::string_view name;
  std::string_view title;
  std::string_view footer;
};

constexpr GroupInfo kGroups[] = {
#define QUELLINE_GROUP_INFO(group, title, footer) {Group::group, #group, title, footer},
    QUELLINE_PANE_GROUPS(QUELLINE_GROUP_INFO)
#undef QUELLINE_GROUP_INFO
};

enum class Control { Switch, Slider, Time };
#define QUELLINE_PANE_CONTROL_Bool Control::Switch
#define QUELLINE_PANE_CONTROL_Int32 Control::Slider
#define QUELLINE_PANE_CONTROL_Minutes Control::Time

struct KeyRow {
  std::string_view name;
  Control control;
  int32_t fallback;
  int32_t minimum;
  int32_t maximum;
  Group group;
  int place;
  std::string_view label;
};

constexpr KeyRow kKeys[] = {
#define QUELLINE_KEY_ROW(name, type, fallback, minimum, maximum, reading, pane, label, text)       \
  {#name,                                                                                          \
   QUELLINE_PANE_CONTROL_##type,                                                                   \
   fallback,                                                                                       \
   minimum,                                                                                        \
   maximum,                                                                                        \
   Group::QUELLINE_PANE_GROUP(pane),                                                               \
   QUELLINE_PANE_PLACE(pane),                                                                      \
   label},
    QUELLINE_SETTINGS(QUELLINE_KEY_ROW)
#undef QUELLINE_KEY_ROW
};

struct AppListRow {
  std::string_view row;
  std::string_view label;
};

constexpr AppListRow kAppLists[] = {
#define QUELLINE_APP_LIST_ROW(row, label, list, key) {#row, label},
    QUELLINE_PANE_APP_LISTS(QUELLINE_APP_LIST_ROW)
#undef QUELLINE_APP_LIST_ROW
};

void set(plist_t dict, const char* key, std::string_view text) {
  plist_dict_set_item(dict, key, plist_new_string(std::string(text).c_str()));
}

plist_t groupItem(std::string_view id, std::string_view label) {
  plist_t item = plist_new_dict();
  set(item, "cell", "PSGroupCell");
  set(item, "id", id);
  if (!label.empty()) set(item, "label", label);
  return item;
}

// A clock time: a list of the day's times in steps of QUELLINE_PANE_TIME_STEP
// minutes within the key's range, shown as "22:00"; the value stored is
// the minutes after midnight.
void timeChoices(plist_t item, const KeyRow& key) {
  set(item, "detail", "PSListItemsController");
  plist_t values = plist_new_array();
  plist_t titles = plist_new_array();
  for (int32_t m = key.minimum; m <= key.maximum; m += QUELLINE_PANE_TIME_STEP) {
    char title[8];
    std::snprintf(title, sizeof title, "%02d:%02d", m / 60 % 100, m % 60);
    plist_array_append_item(values, plist_new_uint(static_cast<uint64_t>(m)));
    plist_array_append_item(titles, plist_new_string(title));
  }
  plist_dict_set_item(item, "validValues", values);
  plist_dict_set_item(item, "validTitles", titles);
}

plist_t keyItem(const KeyRow& key) {
  plist_t item = plist_new_dict();
  set(item, "cell",
      key.control == Control::Switch   ? "PSSwitchCell"
      : key.control == Control::Slider ? "PSSliderCell"
                                       : "PSLinkListCell");
  set(item, "id", key.name);
  set(item, "key", key.name);
  set(item, "label", key.label);
  set(item, "defaults", QUELLINE_DOMAIN);
  if (key.control == Control::Switch) {
    plist_dict_set_item(item, "default", plist_new_bool(key.fallback != 0));
  } else if (key.control == Control::Time) {
    plist_dict_set_item(item, "default", plist_new_uint(static_cast<uint64_t>(key.fallback)));
    timeChoices(item, key);
  } else {
    plist_dict_set_item(item, "default", plist_new_uint(static_cast<uint64_t>(key.fallback)));
    plist_dict_set_item(item, "min", plist_new_uint(static_cast<uint64_t>(key.minimum)));
    plist_dict_set_item(item, "max", plist_new_uint(static_cast<uint64_t>(key.maximum)));
    plist_dict_set_item(item, "showValue", plist_new_bool(1));
  }
  return item;
}

plist_t appListItem(const AppListRow& list) {
  plist_t item = plist_new_dict();
  set(item, "cell", "PSLinkCell");
  set(item, "id", list.row);
  set(item, "label", list.label);
  set(item, "action", QUELLINE_PANE_APP_LIST_ACTION);
  return item;
}

// The keys of `group` by place; false (saying why) when two keys share a
// place or a place is left out.
bool rowsOf(Group group, std::string_view name, std::vector<const KeyRow*>& rows) {
  for (const KeyRow& key : kKeys)
    if (key.group == group) rows.push_back(&key);
  for (size_t i = 0; i < rows.size(); ++i) {
    const KeyRow* at = nullptr;
    for (const KeyRow* key : rows)
      if (key->place == static_cast<int>(i) + 1) {
        if (at != nullptr) {
          std::cerr << "pane-specifiers: " << at->name << " and " << key->name << " share place "
                    << i + 1 << " of group " << name << " in prefs/domain.h\n";
          return false;
        }
        at = key;
      }
    if (at == nullptr) {
      std::cerr << "pane-specifiers: group " << name << " has " << rows.size()
                << " keys but none at place " << i + 1 << " in prefs/domain.h\n";
      return false;
    }
  }
  std::vector<const KeyRow*> ordered(rows.size());
  for (const KeyRow* key : rows)
    ordered[static_cast<size_t>(key->place - 1)] = key;
  rows = ordered;
  return true;
}

// The plist as XML, or "" when the domain's pane columns do not add up.
std::string specifiers() {
  plist_t items = plist_new_array();
  bool ok = true;
  for (const GroupInfo& group : kGroups) {
    // The footer shows below the group's last section.
    plist_t section = groupItem(group.name, group.title);
    plist_array_append_item(items, section);
    std::vector<const KeyRow*> rows;
    ok = rowsOf(group.group, group.name, rows) && ok;
    for (size_t i = 0; i < rows.size(); ++i) {
      const KeyRow& key = *rows[i];
      // A slider cell draws no label: its label is the title of a section
      // of its own, which an untitled one ends when rows follow.
      if (key.control == Control::Slider) {
        section = groupItem(std::string(key.name) + "Label", key.label);
        plist_array_append_item(items, section);
      }
      plist_array_append_item(items, keyItem(key));
      if (key.control == Control::Slider && i + 1 < rows.size()) {
        section = groupItem(std::string(key.name) + "End", "");
        plist_array_append_item(items, section);
      }
    }
    set(section, "footerText", group.footer);
    if (group.group == Group::Apps)
      for (const AppListRow& list : kAppLists)
        plist_array_append_item(items, appListItem(list));
  }
  for (const KeyRow& key : kKeys)
    if (key.group == Group::Hidden && key.place != 0) {
      std::cerr << "pane-specifiers: " << key.name << " is Hidden at place " << key.place
                << " in prefs/domain.h (a hidden key has place 0)\n";
      ok = false;
    }
  plist_t root = plist_new_dict();
  set(root, "title", QUELLINE_PANE_TITLE);
  plist_dict_set_item(root, "items", items);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  std::string out = ok && xml != nullptr ? std::string(xml, length) : std::string();
  free(xml);
  plist_free(root);
  return out;
}

int usage() {
  std::cerr << "usage: pane-specifiers --write FILE | --check FILE\n";
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) return usage();
  const std::string_view mode = argv[1];
  const std::string file = argv[2];
  if (mode != "--write" && mode != "--check") return usage();
  const std::string plist = specifiers();
  if (plist.empty()) return 1;
  if (mode == "--write") {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << plist;
    out.close();
    if (!out) {
      std::cerr << "pane-specifiers: cannot write " << file << "\n";
      return 1;
    }
    return 0;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "pane-specifiers: cannot read " << file << "\n";
    return 1;
  }
  const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stored != plist) {
    std::cerr << "pane-specifiers: " << file
              << " is not the specifier plist that prefs/domain.h gives now: rebuild the pane\n";
    return 1;
  }
  return 0;
}
