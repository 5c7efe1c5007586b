#pragma once
// UTC timestamps of run log rows, RFC 3339: 2025-01-31T08:15:02.5Z. The
// fraction appears only when non-zero, without trailing zeros.
#include <chrono>
#include <string>

namespace zun::logging {

std::string rfc3339_utc(std::chrono::system_clock::time_point time);
std::string now_rfc3339_utc();

}  // namespace zun::logging
