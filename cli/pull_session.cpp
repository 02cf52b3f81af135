#include "pull_session.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "contract/files.h"
#include "contract/selection.h"

std::string sessionRecordPath(const std::string& outDir) { return outDir + "/.prismhollow-session.json"; }

std::optional<SessionRecord> readSessionRecord(const std::string& outDir) {
  const std::optional<std::string> text = contract::read_file(sessionRecordPath(outDir));
  if (!text) return std::nullopt;
  const nlohmann::json j = contract::parse_record(*text);
  if (!j.is_object()) return std::nullopt;
  try {
    SessionRecord r;
    r.backend = j.at("backend").get<std::string>();
    r.clip = j.at("clip").get<std::string>();
    r.first = j.at("first").get<int>();
    r.last = j.at("last").get<int>();
    r.isFloat = j.at("float").get<bool>();
    r.session = j.at("session_id").get<std::string>();
    r.clipStart = j.at("clip_start").get<std::string>();
    return r;
  } catch (const nlohmann::json::exception&) {  // a member missing or of another type
    return std::nullopt;
  }
}

bool writeSessionRecord(const std::string& outDir, const SessionRecord& r) {
  const nlohmann::json j = {{"backend", r.backend},     {"clip", r.clip},     {"first", r.first},
                            {"last", r.last},           {"float", r.isFloat}, {"session_id", r.session},
                            {"clip_start", r.clipStart}};
  const std::string path = sessionRecordPath(outDir);
  const std::string temporary = path + "." + std::to_string(::getpid());  // another pull's stays its own
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << j.dump(2) << '\n';
    if (out.close(), out.good() && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  }
  std::remove(temporary.c_str());
  return false;
}

bool sameFrames(const SessionRecord& a, const SessionRecord& b) {
  return a.backend == b.backend && a.clip == b.clip && a.first == b.first && a.last == b.last && a.isFloat == b.isFloat;
}
