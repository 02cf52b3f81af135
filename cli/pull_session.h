#pragma once
// The session a pull with --backend leaves in its out folder, so that a
// re-pull of the same frames starts its job on it, as a saved project
// would, instead of uploading the clip again.

#include <optional>
#include <string>

struct SessionRecord {
  std::string backend;  // --backend as given
  std::string clip;     // the clip as given, made absolute
  int first = 0, last = 0;
  bool isFloat = false;
  std::string session;  // session_id and clip_start as the plug-in wrote them
  std::string clipStart;
};

// OUT/.prismhollow-session.json
std::string sessionRecordPath(const std::string& outDir);

// The record in `outDir`; nullopt when there is none or it is unreadable or malformed.
std::optional<SessionRecord> readSessionRecord(const std::string& outDir);

// Writes it in one rename, so a reader sees the old record or the new; false when it cannot.
bool writeSessionRecord(const std::string& outDir, const SessionRecord& record);

// Whether the two pulled the same frames of the same clip from the same backend.
bool sameFrames(const SessionRecord& a, const SessionRecord& b);
