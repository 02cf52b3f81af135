#pragma once
// A small synchronous Redis client over hiredis: one connection, made again
// after any failure, with time-outs, shared by the threads of a backend one
// call at a time.

#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct redisContext;

namespace backend {

// Redis did not answer, or answered a call with an error; the text says
// which, for a 503 and the log.
struct BrokerDown : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct RedisReply {
  enum Kind { kNil, kInteger, kText, kArray } kind = kNil;
  long long integer = 0;
  std::string text;
  std::vector<RedisReply> items;
};

struct RedisAddress {
  std::string host;
  int port = 6379;
};
// "redis://HOST:PORT" or "redis://HOST"; none when it is not such a URL.
std::optional<RedisAddress> parse_redis_url(const std::string& url);

class RedisClient {
 public:
  explicit RedisClient(RedisAddress address, std::chrono::milliseconds timeout = std::chrono::seconds(2));
  ~RedisClient();
  RedisClient(const RedisClient&) = delete;
  RedisClient& operator=(const RedisClient&) = delete;

  // Throws BrokerDown.
  RedisReply call(const std::vector<std::string>& args);
  RedisReply eval(const std::string& script, const std::vector<std::string>& keys,
                  const std::vector<std::string>& args);

  const std::string& where() const { return where_; }  // "redis://HOST:PORT"

 private:
  RedisReply send(const std::vector<std::string>& args);  // with mu_ held
  void disconnect();

  const RedisAddress address_;
  const std::chrono::milliseconds timeout_;
  const std::string where_;
  std::mutex mu_;
  redisContext* context_ = nullptr;
};

}  // namespace backend
