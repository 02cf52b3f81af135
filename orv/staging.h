#pragma once
// What the plug-in keeps beside a session's mattes. Where the staging root
// and a session's matte folder are is the contract's (contract/files.h),
// as the command finds the mattes a pull left there too.

#include <string>

namespace orv {

// Kept in a session's matte folder: the fingerprint of the frames that
// session was given, so that a later pull of the same frames can start a
// new job on it instead of uploading them again.
inline constexpr const char* kFramesDigest = "frames.digest";

// The fingerprint of the staged files 000000.jpg ... of `count` frames in
// `dir` (FNV-1a over their bytes, in order, as 16 hex digits); "" when one
// cannot be read.
std::string frames_digest(const std::string& dir, int count);

}  // namespace orv
