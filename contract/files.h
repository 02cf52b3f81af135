#pragma once
// Files every program names the same way: a clip's frames and mattes, numbered
// "NNNNNN" from 0, and the plug-in's staging root, where the command finds
// the mattes of the session a pull left.

#include <fstream>
#include <optional>
#include <string>

namespace contract {

// "000042" + extension: the name of frame or matte `index` in every folder
// of frames (staged, uploaded, matted, rendered).
std::string frame_name(int index, const char* extension = "");

// dir + frame_name(index, extension).
std::string numbered_file(const std::string& dir, int index, const char* extension);

// The whole file in one read sized to it, as a std::string or a vector of
// bytes; nothing when it cannot be opened.
template <class Bytes = std::string>
std::optional<Bytes> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return std::nullopt;
  const std::streamoff size = file.tellg();
  Bytes bytes(size > 0 ? static_cast<std::size_t>(size) : 0, 0);
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

// The shared staging root of the plug-in: upload folders ("upload_..."),
// download folders ("download_...") and one folder of mattes per session.
inline constexpr const char* kStagingRoot = "/tmp/prismhollow/";

// This user's staging root, ending in "/": kStagingRoot when it is a real
// folder of this user's, else /tmp/prismhollow-UID/ on the same terms; ""
// when neither is. A root that is missing is made, and one of this user's
// made private (0700): frames of unreleased footage are not for other local
// users, and a root that is another's or a link could hand them the files
// or swap mattes under render.
std::string staging_root();
// This user's own root beside the shared one, "/tmp/prismhollow-UID/".
std::string own_staging_root();

// The folder of a session's mattes in staging_root(), ending in "/"; "" for
// an id that is not a session id (is_session_id), wherever it was read from
// (a backend's answer, a saved project), so that no id can name a place
// outside the root, and "" when this user has no staging root.
std::string matte_folder(const std::string& sessionId);

}  // namespace contract
