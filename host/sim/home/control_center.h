// Control Center of the modeled process: it loads the module bundles found
// in /Library/ControlCenter/Bundles, creates each bundle's principal class
// by name, and drives the toggle as the user does.
#pragma once

#include "host/sim/runtime/runtime.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

namespace hostsim::home {

class ControlCenter {
public:
  // Puts a built bundle in place under the device root (as the package
  // manager would); nothing when there is none.
  void install(const std::filesystem::path& builtBundle);
  // Loads the bundles and creates the module; unless `lazy`, reads its
  // isSelected once. No bundle: Control Center goes on without a module.
  void start(bool lazy);
  // The user switches the toggle: setSelected: only.
  void setSelected(bool on);
  // The user opens Control Center: isSelected, iconGlyph, selectedColor.
  void open();
  // Drops the module (the process ends), then unloads the bundles once the
  // platform is gone.
  void stop();
  void close();

  // {"selected","glyph","color"} as the dump shows them.
  nlohmann::json dump() const;

private:
  std::vector<void*> handles_;
  Strong module_;
  nlohmann::json glyph_ = nullptr;
  nlohmann::json color_ = nullptr;
};

} // namespace hostsim::home
