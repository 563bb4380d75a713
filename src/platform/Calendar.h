#pragma once

#include <chrono>

#include "platform/Date.h"

namespace nuv {

// The user's calendar in the user's time zone.
class Calendar {
 public:
  virtual ~Calendar() = default;

  // The calendar day on which `date` falls, in the user's time zone.
  virtual std::chrono::sys_days dayOf(Date date) const = 0;

  // True when `date` falls on the calendar day before the day of `now`.
  bool isDateInYesterday(Date date, Date now) const {
    return dayOf(now) - dayOf(date) == std::chrono::days(1);
  }
};

}  // namespace nuv
