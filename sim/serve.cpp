#include "sim/serve.h"

#include "sim/output.h"
#include "sim/process_queue.h"
#include "sim/record_stream.h"
#include "sim/report.h"
#include "sim/session.h"
#include "sim/web_assets.h"
#include "tools/quelline_prefs/editor_domain.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <future>
#include <httplib.h>
#include <iostream>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace quelline::sim {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// Requests are a command line or a setting: a few hundred bytes. The
// library holds form bodies to its own limit; one limit for every body
// keeps the 413's message true.
constexpr size_t kMaxRequestBytes = 8 * 1024;
static_assert(kMaxRequestBytes <= CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH);
// What the server holds, in bytes: the records kept for pages that join
// (the oldest go first), a piece of them per open stream, and one copy of
// them for /api/records at a time. With the streams' limit below, at most
// 16 + 32 × 0.25 + 2 × 16 = 56 MiB, within the 64 MiB stated in
// docs/reliability.md, while no record is larger than a piece: a record
// is never cut, so a stream's piece is that one record when it is larger
// (a whole state of a large dump), and each stream sending it holds a copy.
constexpr size_t kKeptRecordBytes = 16 * 1024 * 1024;
constexpr size_t kStreamPieceBytes = 256 * 1024;
// Event streams open at once, and from one client address: each holds a
// thread of the server's while it is open; the rest serve requests.
constexpr size_t kMaxStreams = 32;
constexpr size_t kMaxStreamsPerClient = 16;
constexpr size_t kServerThreads = 96;
// How long the server waits for a client to send (a request's next bytes)
// or take what it sent, before it closes the connection: a slow client
// does not hold a thread for long.
constexpr auto kClientTimeout = 2s;
// Requests one connection may carry before the server closes it: the
// library's 5 made a page that sends commands in a row connect again (a
// new connection, and a thread handed it) every fifth command, while a
// connection kept for ever would keep its thread from other clients.
constexpr size_t kKeptRequests = 100;
// How often an idle stream says it is still here (and finds that its page
// has gone).
constexpr auto kStreamHeartbeat = 5s;
// Connections the kernel holds for the server until it accepts them: a
// burst of page loads and commands waits there instead of being refused
// (the kernel caps it at net.core.somaxconn).
constexpr int kListenBacklog = 1024;
// How long a request waits for the process before a 503. A command not
// started by then never runs; one started is waited for.
constexpr auto kProcessWait = 10s;

volatile std::sig_atomic_t serveStopRequested = 0;
extern "C" void requestServeStop(int) {
  serveStopRequested = 1;
}

// Event streams open, by client address: a few pages cannot take every
// thread of the server.
class StreamCount {
public:
  bool open(const std::string& client) {
    std::lock_guard lock(mutex_);
    if (total_ >= kMaxStreams || byClient_[client] >= kMaxStreamsPerClient) return false;
    ++total_;
    ++byClient_[client];
    return true;
  }
  void close(const std::string& client) {
    std::lock_guard lock(mutex_);
    --total_;
    if (--byClient_[client] == 0) byClient_.erase(client);
  }

private:
  std::mutex mutex_;
  size_t total_ = 0;
  std::map<std::string, size_t> byClient_;
};

// The HTTP library with a listening socket whose backlog is deep enough
// for a burst of connections: the library's own is 5, and a connection
// beyond it may be reset before the server has seen it.
class HttpServer : public httplib::Server {
public:
  bool deepenBacklog(int backlog) { return ::listen(svr_sock_, backlog) == 0; }
};

// Why a request's framing is refused: the library reads one of two
// Content-Length headers, and a Transfer-Encoding it does not take as
// chunked, as if the other were not there; a proxy before it may read
// the other, and so see another request.
std::optional<std::string> malformedFraming(const httplib::Request& req) {
  if (req.get_header_value_count("Host") != 1) return "expected one Host header";
  const size_t lengths = req.get_header_value_count("Content-Length");
  if (lengths > 1) return "two Content-Length headers; expected one";
  if (lengths == 1) {
    const std::string length = req.get_header_value("Content-Length");
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos)
      return "Content-Length \"" + length + "\"; expected a number of bytes";
  }
  if (req.has_header("Transfer-Encoding")) {
    if (req.get_header_value_count("Transfer-Encoding") > 1 ||
        req.get_header_value("Transfer-Encoding") != "chunked")
      return "Transfer-Encoding \"" + req.get_header_value("Transfer-Encoding") +
             "\"; expected chunked, or none";
    if (lengths > 0) return "both Transfer-Encoding and Content-Length; expected one";
  }
  return std::nullopt;
}

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
  // What the recorder's snapshot holds besides its records.
  json snapshotFields() const {
    const double now = now_.load();
    return json{{"scenario", "live"}, {"vanilla", vanilla_}, {"verdict", nullptr}, {"end", now}};
  }
  // Runs one scenario command on the process's thread; its outcome as a
  // status and a body.
  std::pair<int, json> perform(const std::string& line);

  Runner& runner_;
  RunRecorder& recorder_;
  ServeOptions options_;
  std::filesystem::path root_;
  HttpServer http_;
  std::string livePage_; // the page at /, the same for every load
  ProcessQueue queue_{kProcessWait};
  RecordStream records_{kKeptRecordBytes, kStreamPieceBytes};
  StreamCount streams_;
  std::mutex recordsCopy_; // one copy of the records for /api/records at a time
  bool vanilla_ = false;
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
      json body{{"status", 200}, {"ok", true}, {"t", recorder_.runTime(runner_.now())}};
      if (parsed->verb == Verb::Dump) body["state"] = runner_.state();
      // The pane refused the change and showed an alert: the page says so,
      // in the alert's words.
      const bool settings = parsed->verb == Verb::SettingsSet || parsed->verb == Verb::SettingsApps;
      if (settings && runner_.lastSettingsOutcome().value("outcome", json()) == "failed") {
        const json alert = runner_.state()["pane"].value("alert", json());
        std::string words = runner_.lastSettingsOutcome().value("message", std::string());
        if (alert.is_object() && alert.value("title", json()).is_string())
          words = alert["title"].get<std::string>() + ": " + words;
        body["ok"] = false;
        body["refused"] = true;
        body["error"] = words;
      }
      if (parsed->verb == Verb::Expect) {
        const bool held = runner_.failedExpectations() == before;
        body["held"] = held;
        // It ran, and it failed: the page says so, with the reason.
        if (!held) {
          body["ok"] = false;
          body["error"] = runner_.lastFailedExpectation();
        }
      }
      return body;
    });
  } catch (const std::exception& e) {
    return {500, {{"error", std::string("the process failed: ") + e.what()}}};
  }
  if (!outcome)
    return {503,
            {{"error", "the process did not take the command in time, and it did not run; "
                       "try again"}}};
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
                  "unknown key \"" + name + "\"; " + prefs::unknownKeyHint(name) +
                      " (expected one of " + prefs::knownKeyNames() + ")");
  const auto remove = body.find("remove");
  if (remove != body.end() && !remove->is_boolean())
    return refuse(res, 400, "\"remove\" is " + jsonText(*remove) + "; expected true or false");
  if (remove != body.end() && remove->get<bool>()) {
    auto [status, answer] = perform("prefs remove " + std::string(key->name));
    return reply(res, status, answer);
  }
  if (!body.contains("value"))
    return refuse(res, 400, "expected a \"value\" for " + name + ", or \"remove\":true");
  const json& given = body["value"];
  const std::string text = given.is_string() ? given.get<std::string>() : jsonText(given);
  std::string expected;
  auto value = prefs::parseValue(*key, text, expected);
  // The same words as quelline-prefs set.
  if (!value) return refuse(res, 400, name + ": " + prefs::refusedValue(*key, text, expected));
  // And the same check of the pair of times against what the file holds.
  const auto file = prefsfile::PreferenceFile::load(runner_.preferencesFile());
  if (auto clash = prefs::clashWithPartner(*key, *value, file))
    return refuse(res, 400, name + ": " + *clash + "; nothing was changed");
  // The same change quelline-prefs makes: under the file's lock, then the
  // reload is posted.
  auto [status, answer] = perform("prefs set " + std::string(key->name) + " " + literal(*value));
  reply(res, status, answer);
}

void Server::events(const httplib::Request& req, httplib::Response& res) {
  const std::string client = req.remote_addr;
  if (!streams_.open(client))
    return refuse(res, 503,
                  "too many event streams open (at most " + std::to_string(kMaxStreamsPerClient) +
                      " from one address, " + std::to_string(kMaxStreams) +
                      " in all); close a page and try again");
  struct Stream {
    bool started = false;
    uint64_t cursor = 0;
  };
  auto stream = std::make_shared<Stream>();
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, stream](size_t, httplib::DataSink& sink) {
        if (!stream->started) {
          // The snapshot holds no records: those kept follow as ordinary
          // messages, a piece at a time, and then what comes. Its "seq" is
          // that of the record before them.
          json record = snapshotFields();
          stream->cursor = records_.oldest(record["stateBase"]);
          const json first{{"seq", records_.seqBefore(stream->cursor)},
                           {"now", now_.load()},
                           {"record", std::move(record)}};
          const std::string text = "event: snapshot\ndata: " + jsonText(first) + "\n\n";
          stream->started = true;
          return sink.write(text.data(), text.size());
        }
        std::optional<std::string> text = records_.take(stream->cursor, kStreamHeartbeat);
        if (!text) {
          // Behind what is kept: the page starts again from a snapshot.
          const std::string reset = "event: reset\ndata: {}\n\n";
          sink.write(reset.data(), reset.size());
          sink.done();
          return false;
        }
        if (text->empty()) *text = ": still here\n\n";
        return sink.write(text->data(), text->size());
      },
      [this, client](bool) { streams_.close(client); });
}

void Server::routes() {
  http_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  http_.set_payload_max_length(kMaxRequestBytes);
  // An answer's head and body go out as written: with Nagle's algorithm the
  // body would wait for the client's delayed acknowledgement of the head,
  // some 40 ms per request.
  http_.set_tcp_nodelay(true);
  http_.set_read_timeout(kClientTimeout);
  http_.set_write_timeout(kClientTimeout);
  http_.set_keep_alive_timeout(
      std::chrono::duration_cast<std::chrono::seconds>(kClientTimeout).count());
  http_.set_keep_alive_max_count(kKeptRequests);
  // The library's default shares the port (SO_REUSEPORT) with any other
  // server on it: a second live phone would take half the requests.
  http_.set_socket_options([](int socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (auto why = malformedFraming(req)) {
      // The body, if any, is not read: the connection ends here.
      res.set_header("Connection", "close");
      refuse(res, 400, "the request is malformed: " + *why);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.get_header_value("Transfer-Encoding") == "chunked") {
      // The library reads a chunked body whole, whatever its length, before
      // any handler sees it: it is refused unread.
      res.set_header("Connection", "close");
      refuse(res, 411,
             "a chunked body is not taken; expected a Content-Length of at most " +
                 std::to_string(kMaxRequestBytes) + " bytes");
      return httplib::Server::HandlerResponse::Handled;
    }
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

  livePage_ = renderPage(web::kLiveHtml, json{{"scenario", "live"}, {"vanilla", vanilla_}});
  http_.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(livePage_, "text/html; charset=utf-8");
  });
  http_.Get("/api/records", [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(recordsCopy_);
    uint64_t seq = 0;
    const std::string record = records_.recordsText(snapshotFields(), seq);
    res.status = 200;
    res.set_content("{\"seq\":" + std::to_string(seq) + ",\"now\":" + jsonText(json(now_.load())) +
                        ",\"record\":" + record + "}",
                    "application/json");
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
                      {"live", key.live},
                      {"span", key.span}});
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
  vanilla_ = recorder_.snapshot().value("vanilla", false);
  recorder_.setKeeping(false);
  recorder_.setListener([this](const json& message) { records_.push(message); });
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
  if (!http_.deepenBacklog(kListenBacklog)) {
    std::cerr << "serve: cannot set the listening socket's backlog: " << std::strerror(errno)
              << std::endl;
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
  // The Settings app beside it, with the Quelline pane open: the page's
  // settings panel is what the pane shows. A page works without it.
  {
    const auto open = parseLine("settings open", Location{"<serve>", 0});
    try {
      runner_.run(*open, root_);
    } catch (const std::exception& e) {
      std::cerr << "serve: the Settings app did not start (the page has no pane): " << e.what()
                << std::endl;
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
      recorder_.sampleIfChanged(
          runner_.now(), [this](const Runner::StateUse& use) { runner_.withPerceivedState(use); });
    } catch (const std::exception& e) {
      std::cerr << "serve: the process failed: " << e.what() << std::endl;
      status = kExitSimulatorFailure;
      break;
    }
    now_ = recorder_.runTime(runner_.now());
    std::cout.flush();
  }
  queue_.close();
  records_.close();
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
