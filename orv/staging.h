#pragma once
// Where the plug-in stages a pull's frames and keeps each session's mattes.

#include <string>

namespace orv {

// The shared staging root: upload folders ("upload_..."), download folders
// ("download_...") and one folder of mattes per session.
inline constexpr const char* kStagingRoot = "/tmp/prismhollow/";

// This user's staging root, ending in "/": kStagingRoot when it is a real
// folder of this user's, else /tmp/prismhollow-UID/ on the same terms; ""
// when neither is. A root that is missing is made, and one of this user's
// made private (0700): frames of unreleased footage are not for other local
// users, and a root that is another's or a link could hand them the files
// or swap mattes under render. The pull and render both find a session here.
std::string staging_root();
// This user's own root beside the shared one, "/tmp/prismhollow-UID/".
std::string own_staging_root();

// The folder of a session's mattes in staging_root(), ending in "/"; "" for
// an id that is not a valid session id, wherever it was read from (a
// backend's answer, a saved project), so that no id can name a place
// outside the root, and "" when this user has no staging root.
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
