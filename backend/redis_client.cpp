#include "backend/redis_client.h"

#include <hiredis/hiredis.h>

#include <regex>

namespace backend {

namespace {

RedisReply convert(const redisReply* r) {
  RedisReply out;
  switch (r->type) {
    case REDIS_REPLY_INTEGER:
      out.kind = RedisReply::kInteger, out.integer = r->integer;
      break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      out.kind = RedisReply::kText, out.text.assign(r->str, r->len);
      break;
    case REDIS_REPLY_ARRAY:
      out.kind = RedisReply::kArray;
      for (std::size_t i = 0; i < r->elements; ++i) out.items.push_back(convert(r->element[i]));
      break;
    default:
      break;  // nil
  }
  return out;
}

}  // namespace

std::optional<RedisAddress> parse_redis_url(const std::string& url) {
  static const std::regex form(R"(redis://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:]+\])(?::(\d{1,5}))?/?)");
  std::smatch m;
  if (!std::regex_match(url, m, form)) return std::nullopt;
  RedisAddress address{m[1], 6379};
  if (address.host.front() == '[') address.host = address.host.substr(1, address.host.size() - 2);
  if (m[2].matched) address.port = std::stoi(m[2]);
  if (address.port < 1 || address.port > 65535) return std::nullopt;
  return address;
}

RedisClient::RedisClient(RedisAddress address, std::chrono::milliseconds timeout)
    : address_(std::move(address)),
      timeout_(timeout),
      where_("redis://" + address_.host + ":" + std::to_string(address_.port)) {}

RedisClient::~RedisClient() { disconnect(); }

void RedisClient::disconnect() {
  if (context_) redisFree(context_);
  context_ = nullptr;
}

RedisReply RedisClient::call(const std::vector<std::string>& args) {
  std::lock_guard<std::mutex> lock(mu_);
  return send(args);
}

RedisReply RedisClient::send(const std::vector<std::string>& args) {
  const timeval limit{static_cast<long>(timeout_.count() / 1000), static_cast<long>(timeout_.count() % 1000) * 1000};
  if (!context_) {
    context_ = redisConnectWithTimeout(address_.host.c_str(), address_.port, limit);
    if (!context_ || context_->err) {
      const std::string why = context_ ? context_->errstr : "out of memory";
      disconnect();
      throw BrokerDown("the broker at " + where_ + " is not answering: " + why);
    }
    redisSetTimeout(context_, limit);
  }
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const std::string& a : args) argv.push_back(a.data()), lengths.push_back(a.size());
  auto* reply = static_cast<redisReply*>(redisCommandArgv(context_, static_cast<int>(args.size()), argv.data(),
                                                          lengths.data()));
  if (!reply) {
    const std::string why = context_->errstr;
    disconnect();  // the connection is unusable after an I/O error
    throw BrokerDown("the broker at " + where_ + " is not answering: " + why);
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    const std::string why(reply->str, reply->len);
    freeReplyObject(reply);
    throw BrokerDown("the broker at " + where_ + " refused a call: " + why);
  }
  RedisReply out = convert(reply);
  freeReplyObject(reply);
  return out;
}

RedisReply RedisClient::eval(const std::string& script, const std::vector<std::string>& keys,
                             const std::vector<std::string>& args) {
  std::vector<std::string> call = {"EVAL", script, std::to_string(keys.size())};
  call.insert(call.end(), keys.begin(), keys.end());
  call.insert(call.end(), args.begin(), args.end());
  return this->call(call);
}

}  // namespace backend
