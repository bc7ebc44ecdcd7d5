#include "sim/settings_protocol.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

namespace quelline::sim::settingsapp {
namespace {

using json = nlohmann::json;
using hostsim::settings::AppEdit;
using hostsim::settings::AppList;

// The words of the requests, spelled here only.
constexpr const char* kOp = "op";
constexpr const char* kOpOpen = "open";
constexpr const char* kOpSet = "set";
constexpr const char* kOpApps = "apps";
constexpr const char* kOpStorage = "storage";
constexpr const char* kKey = "key";
constexpr const char* kValue = "value";
constexpr const char* kPairs = "pairs";
constexpr const char* kList = "list";
constexpr const char* kAction = "action";
constexpr const char* kApp = "app";
constexpr const char* kFull = "full";
constexpr const char* kSilent = "silent";
constexpr const char* kBanner = "banner";
constexpr const char* kAdd = "add";
constexpr const char* kRemove = "remove";

support::Unexpected<support::Error> refuse(const std::string& why) {
  return support::Unexpected(support::Error{why});
}

std::string asJson(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// The fields that `op` takes, besides "op" itself: any other is an error.
std::optional<std::string> unknownField(const json& message, const std::string& op,
                                        std::initializer_list<const char*> fields) {
  for (const auto& [name, value] : message.items()) {
    if (name == kOp) continue;
    bool known = false;
    for (const char* field : fields)
      known = known || name == field;
    if (!known) return "\"" + op + "\" takes no field " + asJson(name);
  }
  return std::nullopt;
}

// The string field `name`, or why there is none.
support::Expected<std::string> stringField(const json& message, const std::string& op,
                                           const char* name) {
  const auto found = message.find(name);
  if (found == message.end() || !found->is_string())
    return refuse("\"" + op + "\" takes a string \"" + name + "\"");
  return found->get<std::string>();
}

} // namespace

json encode(const Request& request) {
  return std::visit(
      [](const auto& r) -> json {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, Open>) {
          return {{kOp, kOpOpen}};
        } else if constexpr (std::is_same_v<R, Set>) {
          if (r.pairs.size() == 1)
            return {{kOp, kOpSet}, {kKey, r.pairs.front().first}, {kValue, r.pairs.front().second}};
          json pairs = json::array();
          for (const auto& [key, value] : r.pairs)
            pairs.push_back(json::array({key, value}));
          return {{kOp, kOpSet}, {kPairs, std::move(pairs)}};
        } else if constexpr (std::is_same_v<R, Apps>) {
          return {{kOp, kOpApps},
                  {kList, listName(r.list)},
                  {kAction, editName(r.action)},
                  {kApp, r.app}};
        } else {
          return {{kOp, kOpStorage}, {kFull, r.full}};
        }
      },
      request);
}

const char* opName(const Request& request) {
  constexpr const char* names[] = {kOpOpen, kOpSet, kOpApps, kOpStorage};
  static_assert(std::size(names) == std::variant_size_v<Request>);
  return names[request.index()];
}

const char* listName(AppList list) {
  return list == AppList::Banner ? kBanner : kSilent;
}

const char* editName(AppEdit action) {
  return action == AppEdit::Remove ? kRemove : kAdd;
}

support::Expected<Request> decode(const json& message) {
  if (!message.is_object()) return refuse("a request is one JSON object");
  const auto op = message.find(kOp);
  if (op == message.end() || !op->is_string())
    return refuse("a request names its \"op\": open, set, apps or storage");
  const std::string name = op->get<std::string>();
  if (name == kOpOpen) {
    if (auto unknown = unknownField(message, name, {})) return refuse(*unknown);
    return Request(Open{});
  }
  if (name == kOpSet) {
    // Whether a control can give its value is the pane's to say.
    if (const auto pairs = message.find(kPairs); pairs != message.end()) {
      if (auto unknown = unknownField(message, name, {kPairs})) return refuse(*unknown);
      Set set;
      if (pairs->is_array())
        for (const json& pair : *pairs) {
          if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string()) {
            set.pairs.clear();
            break;
          }
          set.pairs.emplace_back(pair[0].get<std::string>(), pair[1]);
        }
      if (set.pairs.empty())
        return refuse("\"set\" takes \"pairs\" as a list of [key, value], at least one");
      return Request(std::move(set));
    }
    if (auto unknown = unknownField(message, name, {kKey, kValue})) return refuse(*unknown);
    auto key = stringField(message, name, kKey);
    if (!key) return refuse(key.error().reason);
    const auto value = message.find(kValue);
    if (value == message.end()) return refuse("\"set\" takes a \"value\"");
    return Request(Set{{{*key, *value}}});
  }
  if (name == kOpApps) {
    if (auto unknown = unknownField(message, name, {kList, kAction, kApp})) return refuse(*unknown);
    auto list = stringField(message, name, kList);
    auto action = stringField(message, name, kAction);
    auto app = stringField(message, name, kApp);
    if (!list) return refuse(list.error().reason);
    if (!action) return refuse(action.error().reason);
    if (!app) return refuse(app.error().reason);
    Apps apps;
    if (*list == kSilent)
      apps.list = AppList::Silent;
    else if (*list == kBanner)
      apps.list = AppList::Banner;
    else
      return refuse("\"apps\" takes a \"list\" silent or banner, not " + asJson(*list));
    if (*action == kAdd)
      apps.action = AppEdit::Add;
    else if (*action == kRemove)
      apps.action = AppEdit::Remove;
    else
      return refuse("\"apps\" takes an \"action\" add or remove, not " + asJson(*action));
    apps.app = *app;
    return Request(apps);
  }
  if (name == kOpStorage) {
    if (auto unknown = unknownField(message, name, {kFull})) return refuse(*unknown);
    const auto full = message.find(kFull);
    if (full == message.end() || !full->is_boolean())
      return refuse("\"storage\" takes a boolean \"full\"");
    return Request(Storage{full->get<bool>()});
  }
  return refuse("unknown request " + asJson(name) + "; expected open, set, apps or storage");
}

support::Expected<std::string, LineError>
LineReader::next(std::optional<std::chrono::steady_clock::time_point> deadline,
                 const std::function<void()>& idle, std::chrono::milliseconds slice) {
  using Kind = LineError::Kind;
  const auto fail = [](Kind kind, std::string reason) {
    return support::Unexpected(LineError{kind, std::move(reason)});
  };
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (dropping_) {
      // The rest of a line that was too long.
      buffer_.erase(0, newline == std::string::npos ? buffer_.size() : newline + 1);
      dropping_ = newline == std::string::npos;
      if (!dropping_) continue;
    } else if (newline != std::string::npos && newline <= kMaxLineBytes) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    } else if (newline != std::string::npos || buffer_.size() > kMaxLineBytes) {
      buffer_.erase(0, newline == std::string::npos ? buffer_.size() : newline + 1);
      dropping_ = newline == std::string::npos;
      return fail(Kind::TooLong,
                  "a line longer than " + std::to_string(kMaxLineBytes >> 20) + " MiB");
    }
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return fail(Kind::Timeout, "no answer before the deadline");
      timeout = static_cast<int>(left.count());
    }
    if (idle && (timeout < 0 || slice.count() < timeout)) timeout = static_cast<int>(slice.count());
    pollfd input{descriptor_, POLLIN, 0};
    const int ready = ::poll(&input, 1, timeout);
    if (ready < 0 && errno == EINTR) return fail(Kind::Interrupted, "interrupted by a signal");
    if (ready < 0)
      return fail(Kind::System, std::string("waiting failed: ") + std::strerror(errno));
    if (ready == 0) {
      if (idle) idle();
      continue;
    }
    char chunk[65536];
    const ssize_t n = ::read(descriptor_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) return fail(Kind::Interrupted, "interrupted by a signal");
    // A socket whose other end closed with a request of ours unread.
    if (n < 0 && errno == ECONNRESET) return fail(Kind::EndOfInput, "end of input");
    if (n < 0) return fail(Kind::System, std::string("reading failed: ") + std::strerror(errno));
    if (n == 0) return fail(Kind::EndOfInput, "end of input");
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

} // namespace quelline::sim::settingsapp
