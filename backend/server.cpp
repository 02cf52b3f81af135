#include "backend/server.h"

#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "backend/log.h"
#include "backend/protocol.h"

namespace backend {

namespace {

using Args = std::vector<std::string>;
using Handler = std::function<void(SessionCalls&, const httplib::Request&, httplib::Response&, const Args&)>;

// The control bodies are small: the start body of a long brush stroke is
// some hundred kilobytes.
constexpr std::size_t kMaxJsonBytes = 4 << 20;

std::vector<std::string> segments(const std::string& path);

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
      {"POST", segments(contract::kSessions),
       [](SessionCalls& s, const httplib::Request& req, httplib::Response& res, const Args&) {
         const std::string id = s.create(req.body);
         res.set_header("Location", contract::session_path(id));
         answer_json(res, 201, {{contract::member::kSessionId, id}});
       }},
      {"GET", segments(contract::session_path("*")),
       [](SessionCalls& s, const httplib::Request&, httplib::Response& res, const Args& a) {
         answer_json(res, 200, s.status(a[0]));
       }},
      {"DELETE", segments(contract::session_path("*")),
       [](SessionCalls& s, const httplib::Request&, httplib::Response& res, const Args& a) {
         s.remove(a[0]);
         res.status = 204;
       }},
      {"PUT", segments(contract::session_path("*") + contract::kFrames + "*"),
       [](SessionCalls& s, const httplib::Request& req, httplib::Response& res, const Args& a) {
         const bool replaced = s.put_frame(a[0], a[1], req.body);
         answer_json(res, replaced ? 200 : 201, {{"replaced", replaced}});
       }},
      {"POST", segments(contract::session_path("*") + contract::kStart),
       [](SessionCalls& s, const httplib::Request& req, httplib::Response& res, const Args& a) {
         s.start(a[0], req.body);
         answer_json(res, 202, {{contract::member::kStatus, state_name(JobState::Queued)}});
       }},
      {"GET", segments(contract::session_path("*") + contract::kMattes + "*"),
       [](SessionCalls& s, const httplib::Request&, httplib::Response& res, const Args& a) {
         const std::string& name = a[1];
         const std::size_t ending = std::strlen(contract::kMatteExtension);
         if (name.size() <= ending || name.compare(name.size() - ending, ending, contract::kMatteExtension) != 0)
           throw Refusal(404, std::string("matte paths end in <frame>") + contract::kMatteExtension);
         const std::string png = read_whole(s.matte(a[0], name.substr(0, name.size() - ending)));
         if (png.empty()) throw Refusal(404, "matte " + name + " is missing from the data folder");
         res.set_content(png, "image/png");
       }},
      {"POST", segments(contract::kBeacon),
       [](SessionCalls&, const httplib::Request& req, httplib::Response& res, const Args&) {
         log_line("beacon: " + read_beacon(req.body));
         res.status = 204;
       }},
      {"GET", {},
       [](SessionCalls& s, const httplib::Request&, httplib::Response& res, const Args&) {
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

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// An IPv6 address as it stands in a Host header.
std::string bracketed(const std::string& host) {
  return host.find(':') != std::string::npos && host[0] != '[' ? "[" + host + "]" : host;
}

}  // namespace

Server::Server(SessionCalls& sessions, const Options& options)
    : sessions_(sessions), options_(options), http_(WaitingServer::Limits{}) {
  http_.set_payload_max_length(options.maxFrameBytes);
  // Not httplib's default, which shares the port (SO_REUSEPORT): a second
  // backend on a taken port would quietly get half of the first's requests.
  http_.set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // What the answers' Keep-Alive header says; the waiting room keeps to it.
  http_.set_keep_alive_max_count(WaitingServer::Limits{}.requestsPerConnection)
      .set_keep_alive_timeout(WaitingServer::Limits{}.idle.count())
      .set_tcp_nodelay(true);
  http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    tRequestStart = std::chrono::steady_clock::now();
    try {
      screen(req);
    } catch (const Refusal& refusal) {
      // Refused before its body is read: the client must not send another
      // request after it.
      res.status = refusal.status;
      res.set_header("Connection", "close");
      close_after_this_request();
      res.set_content(refusal.what(), "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    // Several ranges would send the body once per range, as many times as
    // a header of 8 KB can ask: the whole body goes once instead. httplib
    // hands the handler its own request, which it did not declare const.
    if (req.ranges.size() > 1) const_cast<httplib::Request&>(req).ranges.clear();
    return httplib::Server::HandlerResponse::Unhandled;
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
  return port_ = http_.bind(options_.host, options_.port);
}

bool Server::addressed_to_us(const std::string& hostHeader, const std::string& localAddress) const {
  const std::string host = lowercase(hostHeader);
  const std::size_t colon = host.rfind(':');
  const bool hasPort = colon != std::string::npos && host.find(']', colon) == std::string::npos;
  const std::string name = hasPort ? host.substr(0, colon) : host;
  if (name.empty()) return false;
  for (const std::string& allowed : options_.allowHosts)  // a name without a port takes any
    if (lowercase(allowed) == host || lowercase(allowed) == name) return true;
  if (hasPort && host.substr(colon + 1) != std::to_string(port_)) return false;
  if (name == bracketed(lowercase(options_.host)) || name == "localhost") return true;
  // The address the connection came in on is as good as the listening
  // address: a page on a name that rebinds to it sends that name.
  return hasPort && (name == "127.0.0.1" || name == "[::1]" || name == bracketed(lowercase(localAddress)));
}

void Server::screen(const httplib::Request& req) const {
  // Our clients (the plug-in, the prismhollow command) never send an
  // Origin; a browser sends one with every request a page makes.
  if (req.has_header("Origin")) throw Refusal(403, "requests from web pages are refused");
  if (req.get_header_value_count("Host") > 1) throw Refusal(400, "the request names its host more than once");
  // A page on a name that rebinds to this address sends its own name.
  if (req.has_header("Host") && !addressed_to_us(req.get_header_value("Host"), req.local_addr)) {
    std::string names = bracketed(options_.host) + ":" + std::to_string(port_) + " or localhost:" + std::to_string(port_);
    for (const std::string& allowed : options_.allowHosts) names += " or " + allowed;
    throw Refusal(403, "the backend is not addressed as " + names);
  }
  // A length and a chunked coding together are read as two different
  // bodies by two readers; a chunked body alone could go on for ever.
  if (req.has_header("Transfer-Encoding"))
    throw Refusal(411, "send the body with a Content-Length and no Transfer-Encoding");
  const std::size_t lengths = req.get_header_value_count("Content-Length");
  for (std::size_t i = 0; i < lengths; ++i) {
    const std::string length = req.get_header_value("Content-Length", i);
    if (length.empty() || length.size() > 19 || length.find_first_not_of("0123456789") != std::string::npos)
      throw Refusal(400, "Content-Length must be a number of bytes");
    if (length != req.get_header_value("Content-Length")) throw Refusal(400, "the request gives two different Content-Lengths");
  }
  // Inflating would take a body of some kilobytes to gigabytes before any
  // limit is looked at.
  if (req.has_header("Content-Encoding") && lowercase(req.get_header_value("Content-Encoding")) != "identity")
    throw Refusal(415, "send the body uncompressed, without a Content-Encoding");
  const bool body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
  if (body && lengths == 0) throw Refusal(411, "send the body with a Content-Length");
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
