#include "serve.h"

#include "domain.h"
#include "output.h"
#include "report.h"
#include "session.h"
#include "web_assets.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <future>
#include <httplib.h>
#include <iostream>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace quelline::sim {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// Requests are a command line or a setting: a few hundred bytes.
constexpr size_t kMaxRequestBytes = 16 * 1024;
// Connections served at once: each open page holds one for its stream.
constexpr size_t kServerThreads = 32;
// Messages kept for the streams; a page further behind starts again from
// a snapshot.
constexpr size_t kKeptMessages = 4096;
// Records of each kind a long session keeps for new pages.
constexpr size_t kKeptRecords = 20000;
// How long a request waits for the process before a 503.
constexpr auto kProcessWait = 10s;

volatile std::sig_atomic_t serveStopRequested = 0;
extern "C" void requestServeStop(int) {
  serveStopRequested = 1;
}

// Work for the process's own thread, which runs its run loop in between:
// the process is never touched from a request's thread.
class ProcessQueue {
public:
  // Runs `work` on the process's thread; nullopt when it did not get there
  // in time or the server is stopping.
  std::optional<json> call(std::function<json()> work) {
    auto task = std::make_shared<std::packaged_task<json()>>(std::move(work));
    std::future<json> result = task->get_future();
    {
      std::lock_guard lock(mutex_);
      if (closed_) return std::nullopt;
      jobs_.push_back([task] { (*task)(); });
    }
    wake_.notify_one();
    if (result.wait_for(kProcessWait) != std::future_status::ready) return std::nullopt;
    return result.get(); // rethrows what the work threw
  }

  // Runs the jobs that came in, waiting at most `wait` for the first.
  void runJobs(std::chrono::milliseconds wait) {
    std::deque<std::function<void()>> jobs;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, wait, [&] { return !jobs_.empty(); });
      jobs.swap(jobs_);
    }
    for (auto& job : jobs)
      job();
  }

  // Jobs not run are dropped: their requests get a broken promise, which
  // they answer with a 500, rather than a hang.
  void close() {
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(jobs_);
  }

private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool closed_ = false;
};

// The records as server-sent events, kept for every open page.
class Broadcast {
public:
  void push(const json& message) {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back("data: " + jsonText(message) + "\n\n");
      if (messages_.size() > kKeptMessages) {
        messages_.pop_front();
        ++first_;
      }
    }
    changed_.notify_all();
  }

  uint64_t next() {
    std::lock_guard lock(mutex_);
    return first_ + messages_.size();
  }

  // The messages from `cursor` on, waiting up to `wait` for one; the cursor
  // moves past them. Empty after a wait with nothing new. nullopt when the
  // page fell behind what is kept, or the server is stopping.
  std::optional<std::string> take(uint64_t& cursor, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return closed_ || cursor < first_ + messages_.size(); });
    if (closed_ || cursor < first_) return std::nullopt;
    std::string out;
    for (; cursor < first_ + messages_.size(); ++cursor)
      out += messages_[cursor - first_];
    return out;
  }

  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> messages_;
  uint64_t first_ = 0; // the number of messages_.front()
  bool closed_ = false;
};

void reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(jsonText(body), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& message) {
  reply(res, status, json{{"error", message}});
}

// Verbs a page may send. `boot` has happened, `wait` is what the real clock
// does by itself, and `prefs copy` would read files from beyond the root.
std::optional<std::string> refusedHere(const Command& command) {
  switch (command.verb) {
  case Verb::Boot:
    return "boot: the process is running; expected restart";
  case Verb::Wait:
    return "wait: the live phone runs on the real clock; time passes by itself";
  case Verb::PrefsCopy:
    return "prefs copy: not available from a page, which may not read files of this machine; "
           "expected prefs set or the settings panel";
  default:
    return std::nullopt;
  }
}

class Server {
public:
  Server(Runner& runner, RunRecorder& recorder, const ServeOptions& options,
         std::filesystem::path root)
      : runner_(runner), recorder_(recorder), options_(options), root_(std::move(root)) {}

  int run();

private:
  void routes();
  bool allowedHost(const httplib::Request& req) const;
  void command(const httplib::Request& req, httplib::Response& res);
  void preference(const httplib::Request& req, httplib::Response& res);
  void events(const httplib::Request& req, httplib::Response& res);
  json snapshot() const {
    json s = recorder_.snapshot();
    return json{{"seq", s["seq"]}, {"now", now_.load()}, {"record", std::move(s)}};
  }
  // Runs one scenario command on the process's thread; its outcome as a
  // status and a body.
  std::pair<int, json> perform(const std::string& line);

  Runner& runner_;
  RunRecorder& recorder_;
  ServeOptions options_;
  std::filesystem::path root_;
  httplib::Server http_;
  ProcessQueue queue_;
  Broadcast broadcast_;
  std::atomic<double> now_{0};
  std::atomic<int> requests_{0};
  int port_ = 0;
};

bool Server::allowedHost(const httplib::Request& req) const {
  // A page of another site may send requests here, through the browser; a
  // name other than a loopback one means it was reached through DNS
  // rebinding, and a foreign Origin means a cross-site form or script.
  const std::string port = ":" + std::to_string(port_);
  const std::string hosts[] = {"127.0.0.1" + port, "localhost" + port, "[::1]" + port,
                               options_.bind + port};
  const std::string host = req.get_header_value("Host");
  bool ok = false;
  for (const std::string& h : hosts)
    ok = ok || host == h;
  if (!ok) return false;
  if (req.has_header("Origin")) {
    const std::string origin = req.get_header_value("Origin");
    bool same = false;
    for (const std::string& h : hosts)
      same = same || origin == "http://" + h;
    return same;
  }
  return true;
}

std::pair<int, json> Server::perform(const std::string& line) {
  if (line.find_first_of("\r\n") != std::string::npos)
    return {400, {{"error", "one command per request; expected a single line"}}};
  const int number = ++requests_;
  std::optional<json> outcome;
  try {
    outcome = queue_.call([this, line, number]() -> json {
      Location where{"<page>", number};
      std::optional<Command> parsed;
      try {
        parsed = parseLine(line, where);
      } catch (const ScenarioError& e) {
        return json{{"status", 400}, {"error", e.what()}};
      }
      if (!parsed)
        return json{{"status", 400},
                    {"error", "no command; expected one, as in a "
                              "scenario (docs/scenarios.md)"}};
      if (auto why = refusedHere(*parsed)) return json{{"status", 400}, {"error", *why}};
      const int before = runner_.failedExpectations();
      try {
        runner_.run(*parsed, root_);
      } catch (const ScenarioError& e) {
        runner_.noteFailure(e.what());
        return json{{"status", 400}, {"error", e.what()}};
      } catch (const SimulatorFailure& e) {
        runner_.noteFailure(e.what());
        return json{{"status", 500}, {"error", e.what()}};
      }
      json body{{"status", 200}, {"t", recorder_.runTime(runner_.now())}};
      if (parsed->verb == Verb::Dump) body["state"] = runner_.state();
      if (parsed->verb == Verb::Expect) body["held"] = runner_.failedExpectations() == before;
      return body;
    });
  } catch (const std::exception& e) {
    return {500, {{"error", std::string("the process failed: ") + e.what()}}};
  }
  if (!outcome) return {503, {{"error", "the process did not answer in time; try again"}}};
  const int status = outcome->value("status", 500);
  outcome->erase("status");
  return {status, *outcome};
}

void Server::command(const httplib::Request& req, httplib::Response& res) {
  json body;
  try {
    body = json::parse(req.body);
  } catch (const json::exception&) {
    return refuse(res, 400, "the body is no JSON; expected {\"command\":\"switch silent\"}");
  }
  if (!body.is_object() || !body.contains("command") || !body["command"].is_string())
    return refuse(res, 400, "expected {\"command\":\"switch silent\"}, a command as in a scenario");
  auto [status, answer] = perform(body["command"].get<std::string>());
  reply(res, status, answer);
}

void Server::preference(const httplib::Request& req, httplib::Response& res) {
  json body;
  try {
    body = json::parse(req.body);
  } catch (const json::exception&) {
    return refuse(res, 400, "the body is no JSON; expected {\"key\":KEY,\"value\":TEXT}");
  }
  if (!body.is_object() || !body.contains("key") || !body["key"].is_string())
    return refuse(res, 400,
                  "expected {\"key\":KEY,\"value\":TEXT} or {\"key\":KEY,\"remove\":true}");
  const std::string name = body["key"].get<std::string>();
  const prefs::KeyInfo* key = prefs::findKey(name);
  if (key == nullptr)
    return refuse(res, 400,
                  "unknown key \"" + name + "\"; expected one of " + prefs::knownKeyNames());
  if (body.value("remove", false)) {
    auto [status, answer] = perform("prefs remove " + std::string(key->name));
    return reply(res, status, answer);
  }
  if (!body.contains("value"))
    return refuse(res, 400, "expected a \"value\" for " + name + ", or \"remove\":true");
  const json& given = body["value"];
  const std::string text = given.is_string() ? given.get<std::string>() : jsonText(given);
  std::string expected;
  auto value = prefs::parseValue(*key, text, expected);
  if (!value)
    return refuse(res, 400,
                  name + ": \"" + text + "\" is no " + std::string(prefs::typeName(key->type)) +
                      "; expected " + expected);
  // The same change quelline-prefs makes: under the file's lock, then the
  // reload is posted.
  auto [status, answer] = perform("prefs set " + std::string(key->name) + " " + literal(*value));
  reply(res, status, answer);
}

void Server::events(const httplib::Request&, httplib::Response& res) {
  struct Stream {
    bool started = false;
    uint64_t cursor = 0;
  };
  auto stream = std::make_shared<Stream>();
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream", [this, stream](size_t, httplib::DataSink& sink) {
        if (!stream->started) {
          // The cursor first: what comes after the snapshot is sent, and
          // the page drops what the snapshot already held (by "seq").
          stream->cursor = broadcast_.next();
          const std::string first = "event: snapshot\ndata: " + jsonText(snapshot()) + "\n\n";
          stream->started = true;
          return sink.write(first.data(), first.size());
        }
        std::optional<std::string> text = broadcast_.take(stream->cursor, 15s);
        if (!text) {
          // Behind what is kept: the page starts again from a snapshot.
          const std::string reset = "event: reset\ndata: {}\n\n";
          sink.write(reset.data(), reset.size());
          sink.done();
          return false;
        }
        if (text->empty()) *text = ": still here\n\n";
        return sink.write(text->data(), text->size());
      });
}

void Server::routes() {
  http_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  http_.set_payload_max_length(kMaxRequestBytes);
  // The library's default shares the port (SO_REUSEPORT) with any other
  // server on it: a second live phone would take half the requests.
  http_.set_socket_options([](int socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (allowedHost(req)) return httplib::Server::HandlerResponse::Unhandled;
    refuse(res, 403,
           "Host \"" + req.get_header_value("Host") + "\" or Origin \"" +
               req.get_header_value("Origin") + "\" refused; expected this server's own address");
    return httplib::Server::HandlerResponse::Handled;
  });
  http_.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string what = "unknown";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        refuse(res, 500, "the request failed: " + what);
      });
  http_.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return; // a handler's own message stays
    std::string message = "refused";
    if (res.status == 404)
      message = "nothing at " + req.path +
                "; expected /, /api/state, /api/records, /api/events, "
                "/api/settings, /api/command or /api/prefs";
    else if (res.status == 405)
      message = req.method + " " + req.path + ": method not allowed";
    else if (res.status == 413)
      message = "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes";
    else if (res.status == 400)
      message = "the request is malformed";
    refuse(res, res.status, message);
  });

  http_.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(renderPage(web::kLiveHtml, json{{"scenario", "live"},
                                                    {"vanilla", recorder_.snapshot()["vanilla"]}}),
                    "text/html; charset=utf-8");
  });
  http_.Get("/api/records", [this](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, snapshot());
  });
  // The state as `dump` shows it, without a command on the timeline.
  http_.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    std::optional<json> state;
    try {
      state = queue_.call([this] { return runner_.state(); });
    } catch (const std::exception& e) {
      return refuse(res, 500, std::string("the process failed: ") + e.what());
    }
    if (!state) return refuse(res, 503, "the process did not answer in time; try again");
    reply(res, 200, *state);
  });
  http_.Get("/api/settings", [](const httplib::Request&, httplib::Response& res) {
    json keys = json::array();
    for (const prefs::KeyInfo& key : prefs::keys())
      keys.push_back({{"name", key.name},
                      {"type", prefs::typeName(key.type)},
                      {"default", key.type == prefs::KeyType::Boolean ? json(key.fallback != 0)
                                                                      : json(key.fallback)},
                      {"live", key.live}});
    reply(res, 200, json{{"keys", keys}, {"path", prefs::kPreferencesPath}});
  });
  http_.Get("/api/events",
            [this](const httplib::Request& req, httplib::Response& res) { events(req, res); });
  http_.Post("/api/command",
             [this](const httplib::Request& req, httplib::Response& res) { command(req, res); });
  http_.Post("/api/prefs",
             [this](const httplib::Request& req, httplib::Response& res) { preference(req, res); });
}

int Server::run() {
  recorder_.setLimit(kKeptRecords);
  recorder_.setListener([this](const json& message) { broadcast_.push(message); });
  routes();

  const std::string host = options_.bind == "localhost" ? "127.0.0.1" : options_.bind;
  if (options_.port == 0) {
    port_ = http_.bind_to_any_port(host);
  } else {
    port_ = http_.bind_to_port(host, options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) {
    std::cerr << "serve: cannot listen on " << host << " port " << options_.port
              << ": the address is in use or not available" << std::endl;
    return kExitSimulatorFailure;
  }
  // The process before the first request: a page finds the phone started.
  {
    const auto boot = parseLine("boot", Location{"<serve>", 0});
    try {
      runner_.run(*boot, root_);
    } catch (const std::exception& e) {
      std::cerr << "serve: the process did not start: " << e.what() << std::endl;
      return kExitSimulatorFailure;
    }
  }
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::cerr << "serving the live phone at http://" << shown << ":" << port_ << "/ (device root "
            << root_.string() << "); Ctrl-C stops" << std::endl;
  std::thread listener([this] { http_.listen_after_bind(); });

  struct sigaction action {};
  action.sa_handler = requestServeStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  int status = kExitOk;
  while (serveStopRequested == 0) {
    try {
      queue_.runJobs(10ms);
      runner_.runDue(); // timers, fades, reloads posted by quelline-prefs
      recorder_.sampleIfChanged(runner_.now(), [this] {
        return runner_.state(hostsim::home::HomeProcess::Detail::Perceived);
      });
    } catch (const std::exception& e) {
      std::cerr << "serve: the process failed: " << e.what() << std::endl;
      status = kExitSimulatorFailure;
      break;
    }
    now_ = recorder_.runTime(runner_.now());
    std::cout.flush();
  }
  queue_.close();
  broadcast_.close();
  http_.stop();
  listener.join();
  recorder_.setListener(nullptr);
  return status;
}

} // namespace

bool isLoopbackAddress(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

int runServe(Runner& runner, RunRecorder& recorder, const ServeOptions& options,
             const std::filesystem::path& root) {
  Server server(runner, recorder, options, root);
  return server.run();
}

} // namespace quelline::sim
