#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/StackPayload.h"

namespace nuvdevices {

// The facts of a device's battery as its page lists them, from the probe's
// keys, in the user's language. Pure C++ (no GTK); numbers are grouped as
// the locale groups them (LC_NUMERIC: "2,815" in English, "2.815" in German). Values
// that do not read as numbers within what a battery can show count as not
// reported, as the probe itself leaves them out.
struct BatterySection {
  struct Item {
    std::string label;
    std::string value;
    friend bool operator==(const Item&, const Item&) = default;
  };

  // In this order, each only when known, for a trusted device (none for
  // another):
  //   Maximum capacity  "87%" (a new battery may show more than 100%)
  //   Capacity          "2,815 of 3,279 mAh" (full charge of design), or
  //                     one of them alone: "2,815 mAh at full charge",
  //                     "3,279 mAh when new"
  //   Charge cycles     "412"
  //   Temperature       "31 °C"
  //   Charger           its name, power and kind: "USB-C Power Adapter ·
  //                     20 W · wired"; "Not connected" off external power
  //   Charging power    "12 W"
  static std::vector<Item> items(const nuvclient::DeviceEntry& entry);
};

}  // namespace nuvdevices
