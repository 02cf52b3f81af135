#pragma once
// Where the plug-in stages a pull's frames and keeps each session's mattes.

#include <string>

namespace orv {

// The staging root: upload folders ("upload_..."), download folders
// ("download_...") and one folder of mattes per session.
inline constexpr const char* kStagingRoot = "/tmp/prismhollow/";

// The folder of a session's mattes, ending in "/"; "" for an id that is not
// a valid session id, wherever it was read from (a backend's answer, a
// saved project), so that no id can name a place outside the root.
std::string matte_folder(const std::string& sessionId);

// Kept in a session's matte folder: the fingerprint of the frames that
// session was given, so that a later pull of the same frames can start a
// new job on it instead of uploading them again.
inline constexpr const char* kFramesDigest = "frames.digest";

// The fingerprint of the staged files 000000.jpg ... of `count` frames in
// `dir` (FNV-1a over their bytes, in order, as 16 hex digits); "" when one
// cannot be read.
std::string frames_digest(const std::string& dir, int count);

}  // namespace orv
