#include "orv/staging.h"

#include "orv/backend.h"

namespace orv {

std::string matte_folder(const std::string& sessionId) {
  return valid_session_id(sessionId) ? kStagingRoot + sessionId + "/" : std::string();
}

}  // namespace orv
