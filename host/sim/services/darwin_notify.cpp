// The Darwin notify center between the processes of one device root, over
// Unix datagram sockets (see darwin_notify.h for the layout).
//
// Addresses. sun_path holds 108 bytes; when ROOT is long, an endpoint's full
// path does not fit. Each party then names the socket through a descriptor
// of the folder: "/proc/self/fd/<dirfd>/<file>", which Linux resolves like
// the full path, in bind, connect and sendto alike.
//
// Stale endpoints. A process that ended without stopping its center leaves
// its socket file behind, bound to nothing: a send there fails with
// ECONNREFUSED (twice, a moment apart), and the poster unlinks the file. A
// forked child that inherited its parent's endpoint closes its copy without
// unlinking it: the file belongs to the process that bound it.
//
// Full queues. Linux queues at most net.unix.max_dgram_qlen (10 by default)
// datagrams for a receiver that has not read them (a process sending to its
// own socket is not limited that way). When a peer's queue is full, the
// poster waits for room, at most kFullPeerWait, then drops the notification
// for that peer and says so on stderr. A booted process remembers a peer
// that let the whole wait pass: later posts try it once, without waiting,
// until it takes one again, so one stuck process does not slow every post
// down. A process's own queue is full only when hundreds of its own posts
// are pending; waiting cannot help there (this thread is the one that
// reads), so that copy is dropped at once.
//
// Delivery. The endpoint's run-loop handler reads the datagrams pending (at
// most kDrainBatch a pass), then runs the callbacks registered for each
// name, in registration order. Each post is one delivery per registration:
// nothing is coalesced.
#include "host/sim/services/darwin_notify.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/trace.h"
#include "platform/corefoundation.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

struct __CFNotificationCenter {
  const char* kind;
};

namespace hostsim {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kFullPeerWait{100};
// Datagrams read per run-loop pass; more wait for the next pass, so that a
// flood (or a callback that posts its own name) cannot hold the loop.
constexpr int kDrainBatch = 256;

__CFNotificationCenter darwinCenter{"darwin"};

struct Registration {
  std::string name;
  const void* observer;
  CFNotificationCallback callback;
};

struct Center {
  pid_t owner = 0;
  int fd = -1;    // this process's endpoint, bound and non-blocking
  int dirFd = -1; // the folder (O_PATH), for long addresses
  fs::path folder;
  std::string endpoint; // file name of the endpoint in the folder
  std::vector<Registration> registrations;
  std::set<std::string> congested; // peers that let a whole wait pass
};

Center*& current() {
  static Center* center = nullptr;
  return center;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

Center& booted(const char* caller) {
  if (current() == nullptr) fail(caller, "the Darwin notify center is not running");
  return *current();
}

bool validName(std::string_view name) {
  return !name.empty() && name.size() <= kDarwinNameMax &&
         name.find('\0') == std::string_view::npos;
}

void reportInvalidName(const char* caller, const std::string& name) {
  std::fprintf(stderr, "%s: a name of %zu bytes (\"%.40s%s\") is refused: 1 to %zu bytes, no NUL\n",
               caller, name.size(), name.c_str(), name.size() > 40 ? "..." : "", kDarwinNameMax);
}

std::string nameOf(CFStringRef name) {
  return stringOf(bridge(name));
}

// What both entry points check of their arguments: the center, and a name
// that the center can carry (an unusable name is reported and refused).
std::optional<std::string> checkedName(const char* caller, CFNotificationCenterRef center,
                                       CFStringRef name) {
  if (center != &darwinCenter) fail(caller, "not the Darwin notify center");
  if (name == nullptr) fail(caller, "a Darwin notification needs a name");
  std::string text = nameOf(name);
  if (!validName(text)) {
    reportInvalidName(caller, text);
    return std::nullopt;
  }
  return text;
}

// The address of `file` in the folder: its full path when that fits, else
// the path through the folder's descriptor.
bool addressOf(const fs::path& folder, int dirFd, const std::string& file, sockaddr_un& addr,
               socklen_t& length) {
  std::string path = (folder / file).string();
  if (path.size() >= sizeof addr.sun_path) {
    if (dirFd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + file;
    if (path.size() >= sizeof addr.sun_path) return false;
  }
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

const sockaddr* raw(const sockaddr_un& addr) {
  return reinterpret_cast<const sockaddr*>(&addr);
}

// errno of one non-blocking send, 0 when it went out.
int sendOnce(int fd, const sockaddr_un& addr, socklen_t length, std::string_view name) {
  for (;;) {
    if (::sendto(fd, name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL, raw(addr), length) >= 0)
      return 0;
    if (errno != EINTR) return errno;
  }
}

// Waits, at most kFullPeerWait, for room in a full peer's queue and sends
// there. A socket connected to the peer polls writable once the peer's queue
// has room again.
bool sendWhenRoom(const sockaddr_un& addr, socklen_t length, std::string_view name) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool sent = false;
  if (::connect(fd, raw(addr), length) == 0) {
    auto deadline = std::chrono::steady_clock::now() + kFullPeerWait;
    for (;;) {
      if (::send(fd, name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
        sent = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) break;
      auto left =
          std::chrono::duration<double, std::milli>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(std::ceil(left.count())));
    }
  }
  ::close(fd);
  return sent;
}

void reportDropped(std::string_view name, const std::string& file, const char* reason) {
  std::fprintf(stderr, "darwin notify: \"%.*s\" not delivered to %s: %s\n",
               static_cast<int>(name.size()), name.data(), file.c_str(), reason);
}

// Sends `name` from fd to every endpoint in the folder. `self` is the
// poster's own endpoint (empty for a tool process); `congested` its memory
// of stuck peers (null for a tool process).
void sendToFolder(int fd, const fs::path& folder, int dirFd, std::string_view name,
                  const std::string& self, std::set<std::string>* congested) {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->is_socket(typeError)) files.push_back(it->path().filename().string());
  }
  for (const std::string& file : files) {
    sockaddr_un addr;
    socklen_t length = 0;
    if (!addressOf(folder, dirFd, file, addr, length)) {
      reportDropped(name, file, "address too long");
      continue;
    }
    int error = sendOnce(fd, addr, length, name);
    if (error == 0) {
      if (congested != nullptr) congested->erase(file);
    } else if (error == ECONNREFUSED) {
      // Nobody is bound there: the process ended without stopping. Unless
      // it is binding right now: bind makes the file a moment before the
      // socket answers. So the file goes only if refused again a moment
      // later.
      struct timespec moment {
        0, 1000000
      };
      ::nanosleep(&moment, nullptr);
      if (sendOnce(fd, addr, length, name) == ECONNREFUSED) {
        std::error_code removeError;
        fs::remove(folder / file, removeError);
        if (congested != nullptr) congested->erase(file);
      }
    } else if (error == ENOENT) {
      // Gone since the folder was read: that process stopped.
    } else if (error == EAGAIN || error == EWOULDBLOCK) {
      if (file == self) {
        reportDropped(name, file, "this process's own queue is full");
      } else if (congested != nullptr && congested->count(file) != 0) {
        // Still stuck: dropped without waiting again (reported once).
      } else if (!sendWhenRoom(addr, length, name)) {
        reportDropped(name, file, "its queue stayed full");
        if (congested != nullptr) congested->insert(file);
      }
    } else {
      reportDropped(name, file, std::strerror(error));
    }
  }
}

int openFolder(const fs::path& folder) {
  return ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

std::string randomPart() {
  std::random_device device;
  uint64_t value = (uint64_t{device()} << 32) | device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// Delivers one name to the registrations for it, in registration order.
// Registrations made by a callback take part from the next name on.
void deliver(const std::string& name) {
  std::vector<Registration> matching;
  for (const Registration& r : booted("darwin notify").registrations)
    if (r.name == name) matching.push_back(r);
  if (matching.empty()) return;
  // A string of its own, not owned by the callbacks (they retain it to keep
  // it), as the names that reach Darwin callbacks on the device.
  Strong text = newString(name);
  auto cfName = reinterpret_cast<CFStringRef>(text.get());
  for (const Registration& r : matching) {
    trace::emit("darwin-deliver", {{"name", name}});
    r.callback(&darwinCenter, const_cast<void*>(r.observer), cfName, nullptr, nullptr);
  }
}

// The run loop's handler for the endpoint: reads what is pending, then
// delivers it (posts made by the callbacks wait for the next pass).
void drain() {
  Center* center = current();
  if (center == nullptr) return;
  std::vector<std::string> names;
  char buffer[kDarwinNameMax + 1];
  for (int i = 0; i < kDrainBatch; ++i) {
    ssize_t n = ::recv(center->fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::string_view name(buffer, std::min(static_cast<size_t>(n), sizeof buffer));
    if (static_cast<size_t>(n) == name.size() && validName(name)) names.emplace_back(name);
  }
  for (const std::string& name : names) {
    if (current() == nullptr) return; // a callback stopped the center
    deliver(name);
  }
}

} // namespace

fs::path darwinNotifyFolder(const fs::path& root) {
  return root / "var/run/notify";
}

void startDarwinNotifyCenter() {
  stopDarwinNotifyCenter();
  auto center = std::make_unique<Center>();
  const char* what = "darwin notify center";
  if (deviceRoot().empty()) fail(what, "no device root");
  center->owner = ::getpid();
  center->folder = darwinNotifyFolder(deviceRoot());
  // The device root is the user's: a folder that cannot be made or used
  // there is reported to the caller, not a reason to abort.
  auto unusable = [&](const std::string& detail) {
    if (center->fd >= 0) ::close(center->fd);
    if (center->dirFd >= 0) ::close(center->dirFd);
    throw std::runtime_error(std::string(what) + ": " + detail);
  };
  std::error_code ec;
  fs::create_directories(center->folder, ec);
  if (ec) unusable("cannot make the folder " + center->folder.string() + ": " + ec.message());
  center->dirFd = openFolder(center->folder);
  if (center->dirFd < 0)
    unusable("cannot open the folder " + center->folder.string() + ": " + std::strerror(errno));
  center->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (center->fd < 0) unusable(std::string("socket: ") + std::strerror(errno));
  for (int attempt = 0;; ++attempt) {
    center->endpoint = std::to_string(center->owner) + "-" + randomPart() + ".sock";
    sockaddr_un addr;
    socklen_t length = 0;
    if (!addressOf(center->folder, center->dirFd, center->endpoint, addr, length))
      unusable(center->folder.string() + ": no usable socket address");
    if (::bind(center->fd, raw(addr), length) == 0) break;
    if (errno != EADDRINUSE || attempt == 8)
      unusable("cannot make an endpoint in the folder " + center->folder.string() + ": " +
               std::strerror(errno));
  }
  mainRunLoop().addSource(center->fd, [] { drain(); });
  current() = center.release();
}

void stopDarwinNotifyCenter() {
  std::unique_ptr<Center> center(std::exchange(current(), nullptr));
  if (!center) return;
  if (hasMainRunLoop()) mainRunLoop().removeSource(center->fd);
  if (center->owner == ::getpid()) {
    std::error_code ec;
    fs::remove(center->folder / center->endpoint, ec);
  }
  ::close(center->fd);
  ::close(center->dirFd);
}

bool postDarwinNotification(const fs::path& root, std::string_view name) {
  if (!validName(name)) return false;
  fs::path folder = darwinNotifyFolder(root);
  int dirFd = openFolder(folder);
  if (dirFd < 0) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    ::close(dirFd);
    return false;
  }
  sendToFolder(fd, folder, dirFd, name, std::string(), nullptr);
  ::close(fd);
  ::close(dirFd);
  return true;
}

} // namespace hostsim

extern "C" {

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter(void) {
  return &hostsim::darwinCenter;
}

// Name-only: `object` and the suspension behaviour are accepted and
// ignored; delivery is always immediate. One registration per call.
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callBack, CFStringRef name, const void*,
                                     CFNotificationSuspensionBehavior) {
  const char* what = "CFNotificationCenterAddObserver";
  if (callBack == nullptr) hostsim::fail(what, "callBack is NULL");
  std::optional<std::string> text = hostsim::checkedName(what, center, name);
  hostsim::Center& c = hostsim::booted(what);
  if (!text) return;
  c.registrations.push_back({std::move(*text), observer, callBack});
}

// Name-only: `object` and `userInfo` are ignored, as on the device.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void*, CFDictionaryRef, Boolean) {
  const char* what = "CFNotificationCenterPostNotification";
  std::optional<std::string> text = hostsim::checkedName(what, center, name);
  hostsim::Center& c = hostsim::booted(what);
  if (!text) return;
  hostsim::trace::emit("darwin", {{"name", *text}});
  hostsim::sendToFolder(c.fd, c.folder, c.dirFd, *text, c.endpoint, &c.congested);
}

} // extern "C"
