#include "backend/job_board.h"

#include <random>

namespace backend {

namespace {

// Time on the broker's clock, in milliseconds: the one clock every backend
// shares.
constexpr const char* kNow = R"(
local function now()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
)";

// KEYS: job, queue. ARGV: id, most queued, upload seconds ("" for none).
constexpr const char* kEnqueue = R"(
local state = redis.call('HGET', KEYS[1], 'state')
if state == 'QUEUED' or state == 'RUNNING' then return state end
if redis.call('LLEN', KEYS[2]) >= tonumber(ARGV[2]) then return 'full' end
redis.call('DEL', KEYS[1])
redis.call('HSET', KEYS[1], 'state', 'QUEUED', 'attempts', 0, 'queued_at', now(), 'stage', 'queued')
if ARGV[3] ~= '' then redis.call('HSET', KEYS[1], 'upload_seconds', ARGV[3]) end
redis.call('LPUSH', KEYS[2], ARGV[1])
return ''
)";

// KEYS: queue, running. ARGV: claim, lease ms, key prefix. Skips the ids of
// jobs forgotten or queued twice.
constexpr const char* kClaim = R"(
while true do
  local id = redis.call('RPOP', KEYS[1])
  if not id then return false end
  local job = ARGV[3] .. 'job:' .. id
  if redis.call('HGET', job, 'state') == 'QUEUED' then
    local t = now()
    local queued = tonumber(redis.call('HGET', job, 'queued_at') or t)
    redis.call('SET', ARGV[3] .. 'claim:' .. id, ARGV[1], 'PX', ARGV[2])
    redis.call('SADD', KEYS[2], id)
    redis.call('HINCRBY', job, 'attempts', 1)
    redis.call('HSET', job, 'state', 'RUNNING', 'claim', ARGV[1], 'queued_seconds', (t - queued) / 1000,
               'stage', 'starting', 'frame', 0, 'frames', 0, 'job', 0)
    return id
  end
end
)";

// KEYS: claim, job. ARGV: claim, lease ms.
constexpr const char* kRenew = R"(
if redis.call('GET', KEYS[1]) ~= ARGV[1] then return 0 end
redis.call('PEXPIRE', KEYS[1], ARGV[2])
if redis.call('HGET', KEYS[2], 'deleted') == '1' then return 2 end
return 1
)";

// KEYS: claim, job. ARGV: claim, stage, frame, frames, share of the job,
// seconds so far.
constexpr const char* kProgress = R"(
if redis.call('GET', KEYS[1]) ~= ARGV[1] then return 0 end
redis.call('HSET', KEYS[2], 'stage', ARGV[2], 'frame', ARGV[3], 'frames', ARGV[4], 'job', ARGV[5], 'seconds', ARGV[6])
return 1
)";

// KEYS: claim, job, running, queue. ARGV: claim, id, outcome, error,
// summary, seconds.
constexpr const char* kFinish = R"(
if redis.call('GET', KEYS[1]) ~= ARGV[1] then return 0 end
redis.call('DEL', KEYS[1])
redis.call('SREM', KEYS[3], ARGV[2])
if redis.call('HGET', KEYS[2], 'deleted') == '1' then
  redis.call('DEL', KEYS[2])
  return 1
end
if ARGV[3] == 'STOPPED' then
  redis.call('HINCRBY', KEYS[2], 'attempts', -1)
  redis.call('HSET', KEYS[2], 'state', 'QUEUED', 'stage', 'queued again: its backend stopped', 'queued_at', now())
  redis.call('RPUSH', KEYS[4], ARGV[2])
  return 1
end
local published = ''
if ARGV[3] == 'COMPLETED' then published = ARGV[1] end
redis.call('HSET', KEYS[2], 'state', ARGV[3], 'error', ARGV[4], 'summary', ARGV[5], 'seconds', ARGV[6],
           'published', published, 'stage', 'done')
return 1
)";

// KEYS: running, queue. ARGV: key prefix, most attempts.
constexpr const char* kReclaim = R"(
local deleted = {}
for _, id in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  if redis.call('EXISTS', ARGV[1] .. 'claim:' .. id) == 0 then
    redis.call('SREM', KEYS[1], id)
    local job = ARGV[1] .. 'job:' .. id
    local attempts = tonumber(redis.call('HGET', job, 'attempts') or '0')
    if redis.call('HGET', job, 'deleted') == '1' then
      redis.call('DEL', job)
      table.insert(deleted, id)
    elseif attempts >= tonumber(ARGV[2]) then
      redis.call('HSET', job, 'state', 'FAILED', 'error',
                 'the backends running this job stopped ' .. attempts .. ' times while it ran; it was given up')
    else
      redis.call('HSET', job, 'state', 'QUEUED', 'stage', 'queued again: its backend stopped', 'queued_at', now())
      redis.call('RPUSH', KEYS[2], id)
    end
  end
end
return deleted
)";

// KEYS: job.
constexpr const char* kForget = R"(
if redis.call('HGET', KEYS[1], 'state') == 'RUNNING' then
  redis.call('HSET', KEYS[1], 'deleted', '1')
  return 1
end
redis.call('DEL', KEYS[1])
return 0
)";

std::string script(const char* body) { return std::string(kNow) + body; }

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string new_claim_name() {
  std::random_device random;
  char name[33];
  std::snprintf(name, sizeof name, "%08x%08x%08x%08x", random(), random(), random(), random());
  return name;
}

JobBoard::JobBoard(const std::string& url, std::chrono::milliseconds lease)
    : redis_([&] {
        const auto address = parse_redis_url(url);
        if (!address) throw std::invalid_argument("not a redis://HOST:PORT address: " + url);
        return *address;
      }()),
      lease_(lease) {}

std::string JobBoard::enqueue(const std::string& id, int maxQueued, std::optional<double> uploadSeconds) {
  return redis_
      .eval(script(kEnqueue), {key("job:", id), key("queue")},
            {id, std::to_string(maxQueued), uploadSeconds ? number_text(*uploadSeconds) : ""})
      .text;
}

std::optional<std::string> JobBoard::claim(const std::string& claim) {
  const RedisReply id =
      redis_.eval(script(kClaim), {key("queue"), key("running")}, {claim, std::to_string(lease_.count()), prefix_});
  if (id.kind != RedisReply::kText) return std::nullopt;
  return id.text;
}

JobBoard::Hold JobBoard::renew(const std::string& id, const std::string& claim) {
  const long long held =
      redis_.eval(script(kRenew), {key("claim:", id), key("job:", id)}, {claim, std::to_string(lease_.count())})
          .integer;
  return held == 1 ? Hold::kHeld : held == 2 ? Hold::kDeleted : Hold::kLost;
}

void JobBoard::progress(const std::string& id, const std::string& claim, const std::string& stage, int frame,
                        int frames, double job, double seconds) {
  redis_.eval(script(kProgress), {key("claim:", id), key("job:", id)},
              {claim, stage, std::to_string(frame), std::to_string(frames), number_text(job), number_text(seconds)});
}

bool JobBoard::finish(const std::string& id, const std::string& claim, const std::string& outcome,
                      const std::string& error, const std::string& summary, double seconds) {
  return redis_
             .eval(script(kFinish), {key("claim:", id), key("job:", id), key("running"), key("queue")},
                   {claim, id, outcome, error, summary, number_text(seconds)})
             .integer == 1;
}

std::vector<std::string> JobBoard::reclaim(int maxAttempts) {
  std::vector<std::string> deleted;
  for (const RedisReply& id :
       redis_.eval(script(kReclaim), {key("running"), key("queue")}, {prefix_, std::to_string(maxAttempts)}).items)
    deleted.push_back(id.text);
  return deleted;
}

JobRecord JobBoard::record(const std::string& id) {
  const RedisReply fields = redis_.call({"HGETALL", key("job:", id)});
  JobRecord r;
  for (std::size_t i = 0; i + 1 < fields.items.size(); i += 2) {
    const std::string& name = fields.items[i].text;
    const std::string& value = fields.items[i + 1].text;
    const auto number = [&] { return std::strtod(value.c_str(), nullptr); };
    r.exists = true;
    if (name == "state") r.state = value;
    else if (name == "attempts") r.attempts = static_cast<int>(number());
    else if (name == "error") r.error = value;
    else if (name == "summary") r.summary = value;
    else if (name == "stage") r.stage = value;
    else if (name == "frame") r.frame = static_cast<int>(number());
    else if (name == "frames") r.frames = static_cast<int>(number());
    else if (name == "job") r.job = number();
    else if (name == "seconds") r.seconds = number();
    else if (name == "queued_seconds") r.queuedSeconds = number();
    else if (name == "upload_seconds") r.uploadSeconds = number();
    else if (name == "published") r.published = value;
  }
  return r;
}

bool JobBoard::forget(const std::string& id) { return redis_.eval(script(kForget), {key("job:", id)}, {}).integer == 1; }

}  // namespace backend
