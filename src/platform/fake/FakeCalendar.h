#pragma once

#include "platform/Calendar.h"

namespace nuv::fake {

// A calendar in a time zone with a fixed offset from UTC.
class FakeCalendar : public Calendar {
 public:
  explicit FakeCalendar(std::chrono::minutes utcOffset = std::chrono::minutes(0))
      : offset_(utcOffset) {}
  std::chrono::sys_days dayOf(Date date) const override {
    return std::chrono::floor<std::chrono::days>(date.time + offset_);
  }

 private:
  std::chrono::minutes offset_;
};

}  // namespace nuv::fake
