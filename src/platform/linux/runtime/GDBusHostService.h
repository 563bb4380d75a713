#pragma once

#include <memory>
#include <string>

#include "platform/HostService.h"

typedef struct _GDBusConnection GDBusConnection;

namespace nuv::linux_backend {

// The host service on the session bus (names in platform/BusNames.h, interface
// in data/vemo.Tallyport.NUVModule1.xml, compiled in): the object is exported
// on the given connection and the well-known name requested without
// replacement, so a second process waits in the bus's queue and gets the name
// when the first lets go.
//
// Bus calls are served on the thread-default main context of the thread that
// calls publish(), which must be the loop thread; they are answered from
// there, also while a probe run serves the loop in a nested iteration.
class GDBusHostService : public HostService {
 public:
  // Takes a reference to `connection`. `version` is the Version property.
  GDBusHostService(GDBusConnection* connection, std::string version);
  ~GDBusHostService() override;
  GDBusHostService(const GDBusHostService&) = delete;
  GDBusHostService& operator=(const GDBusHostService&) = delete;

  Subscription publish(Handlers handlers) override;
  void devicesChanged(const Dictionary& devices) override;

  struct Publication;

 private:
  GDBusConnection* connection_;
  std::string version_;
  std::shared_ptr<Publication> published_;
};

}  // namespace nuv::linux_backend
