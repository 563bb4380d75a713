// A simulated iPhone for demonstrations and tests without hardware. It prints
// what the real probe prints for one device. The battery level follows the
// wall clock (one percent every 15 s, between 60 and 90 %, charging while it
// rises), so consecutive runs see a device that drifts and toggles charging
// without any state kept between runs.
//
// NUV_SIM_NAME and NUV_SIM_UDID override the device's name and identity.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "-f") != 0) {
    std::fprintf(stderr,
                 "usage: %s -f\n  prints the facts of a simulated iPhone as KEY<TAB>VALUE lines\n",
                 argv[0]);
    return 2;
  }
  const char* name = std::getenv("NUV_SIM_NAME");
  const char* udid = std::getenv("NUV_SIM_UDID");
  constexpr long kLow = 60, kHigh = 90, kStepSeconds = 15;
  const long span = kHigh - kLow;
  const long step = static_cast<long>(std::time(nullptr) / kStepSeconds) % (2 * span);
  const bool charging = step < span;
  const long level = charging ? kLow + step : kHigh - (step - span);

  std::printf("Bonjour\t%s\n", udid && *udid ? udid : "00008030-00SIMULATED0001");
  std::printf("name\t%s\n", name && *name ? name : "Simulated iPhone");
  std::printf("Battery\t%ld\n", level);
  std::printf("Charging\t%d\n", charging ? 1 : 0);
  std::printf("Host Attached\t1\n");
  std::printf("ProductType\tiPhone15,2\n");
  std::printf("Trusted\t1\n");
  std::printf("FullyCharged\t0\n");
  std::printf("ExternalConnected\t%d\n", charging ? 1 : 0);
  return 0;
}
