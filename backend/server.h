#pragma once
// The HTTP face of the sessions: the protocol's paths routed to them, every
// refusal answered with its status and reason, one log line per request.

#include <httplib.h>

#include "backend/connections.h"
#include "backend/options.h"
#include "backend/session_calls.h"

namespace backend {

class Server {
 public:
  Server(SessionCalls& sessions, const Options& options);
  // The port bound (a free one when the options say 0); -1 when it cannot be.
  int bind();
  // Serves until stop().
  void serve() { http_.listen_after_bind(); }
  void stop() { http_.stop(); }

 private:
  void dispatch(const httplib::Request& req, httplib::Response& res);
  // Refuses, before its body is read, a request from a web page, one not
  // addressed to this backend, and one whose body is framed or coded in a
  // way that costs more than its length says.
  void screen(const httplib::Request& req) const;
  bool addressed_to_us(const std::string& host, const std::string& localAddress) const;

  SessionCalls& sessions_;
  const Options& options_;
  WaitingServer http_;
  int port_ = -1;
};

}  // namespace backend
