#include "platform/DesktopServices.h"

namespace nuv {

DesktopServices& desktopServices() {
  static DesktopServices services;
  return services;
}

}  // namespace nuv
