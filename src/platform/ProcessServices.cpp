#include "platform/ProcessServices.h"

namespace nuv {

ProcessServices& processServices() {
  static ProcessServices services;
  return services;
}

}  // namespace nuv
