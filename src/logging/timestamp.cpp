#include "logging/timestamp.hpp"

#include <fmt/format.h>

namespace zun::logging {

std::string rfc3339_utc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto nanos = time_point_cast<nanoseconds>(time);
    const sys_days day = floor<days>(nanos);
    const year_month_day date(day);
    const hh_mm_ss<nanoseconds> clock(nanos - day);
    std::string text = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", static_cast<int>(date.year()),
                                   static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                                   clock.hours().count(), clock.minutes().count(), clock.seconds().count());
    const auto fraction = clock.subseconds().count();
    if (fraction != 0) {
        std::string digits = fmt::format("{:09}", fraction);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += '.' + digits;
    }
    return text + 'Z';
}

std::string now_rfc3339_utc() { return rfc3339_utc(std::chrono::system_clock::now()); }

}  // namespace zun::logging
