// nuv-simdevice: stands in for the probe tool devInfo.NUVModule without
// hardware. Prints what the real probe prints, in the same turns over the
// devices (the same rotation state), for NUV_SIM_DEVICES simulated devices
// (default 1). NUV_SIM_NAME and NUV_SIM_UDID replace the first device's name
// and identity.

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

#include "ProbeReport.h"
#include "RotationState.h"
#include "SimulatedFactsSource.h"

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "-f") != 0) {
    std::cerr << "usage: " << argv[0]
              << " -f\n  prints the facts of simulated iPhones and iPads as KEY<TAB>VALUE "
                 "lines,\n  one device per run in turn; NUV_SIM_DEVICES=N (0.."
              << nuv::SimulatedFactsSource::kMaxDevices << ", default 1) sets how many\n";
    return 2;
  }
  int count = 1;
  if (const char* text = std::getenv("NUV_SIM_DEVICES"); text && *text) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < 0 || n > nuv::SimulatedFactsSource::kMaxDevices) {
      std::cerr << "nuv-simdevice: NUV_SIM_DEVICES must be a number from 0 to "
                << nuv::SimulatedFactsSource::kMaxDevices << ", not '" << text << "'\n";
      return 2;
    }
    count = static_cast<int>(n);
  }
  const char* name = std::getenv("NUV_SIM_NAME");
  const char* udid = std::getenv("NUV_SIM_UDID");
  const std::time_t now = std::time(nullptr);
  nuv::SimulatedFactsSource source(count, now, name ? name : "", udid ? udid : "");
  const std::string folder = nuv::RotationState::defaultDirectory();
  nuv::RotationState rotation(folder);
  nuv::BatteryHealthState health(folder);
  nuv::BatteryReadingState reading(folder);
  return nuv::ProbeReport::run(source, {&rotation, &health, now, &reading}, std::cout, std::cerr);
}
