#include "backend/server.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "backend/log.h"
#include "backend/protocol.h"

namespace backend {

namespace {

using Args = std::vector<std::string>;
using Handler = std::function<void(Sessions&, const httplib::Request&, httplib::Response&, const Args&)>;

// The control bodies are small: the start body of a long brush stroke is
// some hundred kilobytes.
constexpr std::size_t kMaxJsonBytes = 4 << 20;

struct Route {
  const char* method;
  std::vector<std::string> pattern;  // "*" takes any one segment
  Handler handle;
};

void answer_json(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

const std::vector<Route>& routes() {
  static const std::vector<Route> table = {
      {"POST", {"api", "matte", "sessions"},
       [](Sessions& s, const httplib::Request& req, httplib::Response& res, const Args&) {
         const std::string id = s.create(req.body);
         res.set_header("Location", "/api/matte/sessions/" + id);
         answer_json(res, 201, {{"session_id", id}});
       }},
      {"GET", {"api", "matte", "sessions", "*"},
       [](Sessions& s, const httplib::Request&, httplib::Response& res, const Args& a) {
         answer_json(res, 200, s.status(a[0]));
       }},
      {"DELETE", {"api", "matte", "sessions", "*"},
       [](Sessions& s, const httplib::Request&, httplib::Response& res, const Args& a) {
         s.remove(a[0]);
         res.status = 204;
       }},
      {"PUT", {"api", "matte", "sessions", "*", "frames", "*"},
       [](Sessions& s, const httplib::Request& req, httplib::Response& res, const Args& a) {
         const bool replaced = s.put_frame(a[0], a[1], req.body);
         answer_json(res, replaced ? 200 : 201, {{"replaced", replaced}});
       }},
      {"POST", {"api", "matte", "sessions", "*", "start"},
       [](Sessions& s, const httplib::Request& req, httplib::Response& res, const Args& a) {
         s.start(a[0], req.body);
         answer_json(res, 202, {{"status", "QUEUED"}});
       }},
      {"GET", {"api", "matte", "sessions", "*", "alpha", "*"},
       [](Sessions& s, const httplib::Request&, httplib::Response& res, const Args& a) {
         const std::string& name = a[1];
         if (name.size() < 5 || name.compare(name.size() - 4, 4, ".png") != 0)
           throw Refusal(404, "matte paths end in <frame>.png");
         const std::string png = read_whole(s.matte(a[0], name.substr(0, name.size() - 4)));
         if (png.empty()) throw Refusal(404, "matte " + name + " is missing from the data folder");
         res.set_content(png, "image/png");
       }},
      {"POST", {"api", "beacon"},
       [](Sessions&, const httplib::Request& req, httplib::Response& res, const Args&) {
         log_line("beacon: " + read_beacon(req.body));
         res.status = 204;
       }},
      {"GET", {},
       [](Sessions& s, const httplib::Request&, httplib::Response& res, const Args&) {
         res.set_content(std::string("prismhollow-backend ") + kVersion + "; sessions: " + std::to_string(s.count()) +
                             "; disk: " + byte_text(s.budget().used()) + " of " + byte_text(s.budget().limit()) +
                             "\n",
                         "text/plain");
       }},
  };
  return table;
}

// The path's segments; leading slashes count as one, as a base address
// typed with a trailing "/" gives "//api/...".
std::vector<std::string> segments(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = path.find_first_not_of('/');
  if (at == std::string::npos) return parts;
  for (std::size_t slash; (slash = path.find('/', at)) != std::string::npos; at = slash + 1)
    parts.push_back(path.substr(at, slash - at));
  parts.push_back(path.substr(at));
  return parts;
}

bool matches(const std::vector<std::string>& pattern, const std::vector<std::string>& parts, Args* args) {
  if (pattern.size() != parts.size()) return false;
  args->clear();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (pattern[i] == "*") args->push_back(parts[i]);
    else if (pattern[i] != parts[i]) return false;
  }
  return true;
}

// What httplib answers on its own, before any route.
std::string reason_for(int status) {
  switch (status) {
    case 400: return "the request could not be read";
    case 404: return "no such path on this backend";
    case 413: return "the body is over this backend's size limit";
    case 414: return "the path is too long";
    default: return "refused with status " + std::to_string(status);
  }
}

thread_local std::chrono::steady_clock::time_point tRequestStart;

}  // namespace

Server::Server(Sessions& sessions, const Options& options) : sessions_(sessions), options_(options) {
  http_.new_task_queue = [] { return new httplib::ThreadPool(32); };
  http_.set_payload_max_length(options.maxFrameBytes);
  http_.set_keep_alive_max_count(1000).set_keep_alive_timeout(2).set_tcp_nodelay(true);
  http_.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    tRequestStart = std::chrono::steady_clock::now();
    const bool body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    if (!body || req.has_header("Content-Length")) return httplib::Server::HandlerResponse::Unhandled;
    // Without a length a body could go on for ever. The body stays unread,
    // so the client must not send another request after it.
    res.status = 411;
    res.set_header("Connection", "close");
    res.set_content("send the body with a Content-Length", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  const auto handler = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
  http_.Get(".*", handler).Post(".*", handler).Put(".*", handler).Delete(".*", handler);
  http_.Patch(".*", handler).Options(".*", handler);
  http_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) res.set_content(reason_for(res.status), "text/plain");
  });
  http_.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - tRequestStart).count();
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.1f ms", ms);
    log_line(printable(req.method, 16) + " " + printable(req.path, 200) + " " + std::to_string(res.status) +
             " in=" + std::to_string(req.body.size()) + " out=" + std::to_string(res.body.size()) + " " + timing);
  });
}

int Server::bind() {
  if (options_.port == 0) return http_.bind_to_any_port(options_.host);
  return http_.bind_to_port(options_.host, options_.port) ? options_.port : -1;
}

void Server::dispatch(const httplib::Request& req, httplib::Response& res) {
  try {
    if (req.method != "PUT" && req.body.size() > kMaxJsonBytes)
      throw Refusal(413, "the body is over this backend's limit of " + byte_text(kMaxJsonBytes));
    const std::string method = req.method == "HEAD" ? "GET" : req.method;  // httplib drops the body
    const std::vector<std::string> parts = segments(req.path);
    std::string allowed;
    Args args;
    for (const Route& route : routes()) {
      if (!matches(route.pattern, parts, &args)) continue;
      if (method == route.method) return route.handle(sessions_, req, res, args);
      allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
    }
    if (allowed.empty()) throw Refusal(404, "no such path on this backend: " + printable(req.path, 120));
    res.set_header("Allow", allowed);
    throw Refusal(405, req.method + " is not served here; use " + allowed);
  } catch (const Refusal& refusal) {
    res.status = refusal.status;
    res.set_content(refusal.what(), "text/plain");
  } catch (const std::exception& e) {
    log_line(std::string("error: ") + e.what());
    res.status = 500;
    res.set_content(std::string("the backend failed: ") + e.what(), "text/plain");
  }
}

}  // namespace backend
