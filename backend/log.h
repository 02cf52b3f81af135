#pragma once
// The service's log: one line at a time on standard error, stamped with the
// local time, whole even when threads write at once.

#include <string>

namespace backend {

void log_line(const std::string& text);

// The text cut to `limit` bytes with control bytes shown as "?", so that
// what a client sends cannot forge or break log lines.
std::string printable(const std::string& text, std::size_t limit);

}  // namespace backend
