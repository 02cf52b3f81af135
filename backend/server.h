#pragma once
// The HTTP face of the sessions: the protocol's paths routed to them, every
// refusal answered with its status and reason, one log line per request.

#include <httplib.h>

#include "backend/options.h"
#include "backend/sessions.h"

namespace backend {

class Server {
 public:
  Server(Sessions& sessions, const Options& options);
  // The port bound (a free one when the options say 0); -1 when it cannot be.
  int bind();
  // Serves until stop().
  void serve() { http_.listen_after_bind(); }
  void stop() { http_.stop(); }

 private:
  void dispatch(const httplib::Request& req, httplib::Response& res);

  Sessions& sessions_;
  const Options& options_;
  httplib::Server http_;
};

}  // namespace backend
