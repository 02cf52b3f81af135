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

}  // namespace orv
