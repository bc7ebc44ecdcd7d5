// Reading the preference file through the hardened reader, as the home
// screen does on every reload and every live read: every key of the
// settings (prefs/domain.h), stored as XML (what the system writes) and as binary (what the
// device's own preferences service may leave).
#include "bench/bench_platform.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "prefs/domain.h"

#include <benchmark/benchmark.h>
#include <fstream>
#include <plist/plist.h>
#include <string>

namespace {

constexpr const char* kXmlFile = "/var/mobile/Library/Preferences/com.example.xml.plist";
constexpr const char* kBinaryFile = "/var/mobile/Library/Preferences/com.example.binary.plist";

// How many keys the files hold: one per setting of the domain.
constexpr size_t kKeys = 0
#define QUELLINE_BENCH_COUNT(name, type, fallback, minimum, maximum, reading, pane, label, text) +1
    QUELLINE_SETTINGS(QUELLINE_BENCH_COUNT)
#undef QUELLINE_BENCH_COUNT
    ;

// Writes both files with libplist; false when either could not be written.
bool writeSettingsFiles() {
  plist_t dict = plist_new_dict();
  // Every key of the domain: each boolean true, each integer its default.
#define QUELLINE_BENCH_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)     \
  plist_dict_set_item(dict, #name, QUELLINE_BENCH_VALUE_##type(fallback));
#define QUELLINE_BENCH_VALUE_Bool(fallback) plist_new_bool(1)
#define QUELLINE_BENCH_VALUE_Int32(fallback) plist_new_uint(fallback)
#define QUELLINE_BENCH_VALUE_Minutes(fallback) plist_new_uint(fallback)
#define QUELLINE_BENCH_VALUE_Duration(fallback) plist_new_uint(fallback)
  QUELLINE_SETTINGS(QUELLINE_BENCH_KEY)
#undef QUELLINE_BENCH_KEY
#undef QUELLINE_BENCH_VALUE_Bool
#undef QUELLINE_BENCH_VALUE_Int32
#undef QUELLINE_BENCH_VALUE_Minutes
#undef QUELLINE_BENCH_VALUE_Duration
  bool ok = true;
  for (auto [path, binary] : {std::pair{kXmlFile, false}, std::pair{kBinaryFile, true}}) {
    char* bytes = nullptr;
    uint32_t length = 0;
    if (binary)
      plist_to_bin(dict, &bytes, &length);
    else
      plist_to_xml(dict, &bytes, &length);
    std::ofstream out(hostsim::hostPath(path), std::ios::binary);
    out.write(bytes, length);
    ok = ok && bytes != nullptr && static_cast<bool>(out);
    free(bytes);
  }
  plist_free(dict);
  return ok;
}

void BM_ReadPreferences(benchmark::State& state, const char* path) {
  bench::BootedPlatform::get();
  static const bool ready = writeSettingsFiles();
  if (!ready) {
    state.SkipWithError("the preference files could not be written");
    return;
  }
  for (auto _ : state) {
    hostsim::Strong settings = hostsim::readDictionaryFile(path, false);
    if (!settings ||
        hostsim::state<hostsim::DictionaryState>(settings.get()).entries.size() != kKeys) {
      static const std::string message =
          "the preference file did not read as " + std::to_string(kKeys) + " settings";
      state.SkipWithError(message.c_str());
      break;
    }
    benchmark::DoNotOptimize(settings.get());
  }
}

BENCHMARK_CAPTURE(BM_ReadPreferences, xml, kXmlFile);
BENCHMARK_CAPTURE(BM_ReadPreferences, binary, kBinaryFile);

} // namespace
