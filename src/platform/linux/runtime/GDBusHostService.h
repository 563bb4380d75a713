#pragma once

#include <memory>
#include <string>

#include "platform/HostService.h"
#include "platform/linux/runtime/VariantCodec.h"

typedef struct _GDBusConnection GDBusConnection;

namespace nuv::linux_backend {

// The host service on the session bus (names in platform/BusNames.h, interface
// in data/vemo.Tallyport.NUVModule1.xml, compiled in): the object is exported
// on the given connection and the well-known name requested without
// replacement, so a second process waits in the bus's queue and gets the name
// when the first lets go.
//
// Property reads (Properties.Get and GetAll) are answered on GDBus's worker
// thread from values built once per map, as they arrive. Every other call is
// served on the thread-default main context of the thread that calls
// publish(), which must be the loop thread, also while a probe run serves
// the loop in a nested iteration. The methods are for the loop thread.
class GDBusHostService : public HostService {
 public:
  // Takes a reference to `connection`. `version` is the Version property.
  GDBusHostService(GDBusConnection* connection, std::string version);
  ~GDBusHostService() override;
  GDBusHostService(const GDBusHostService&) = delete;
  GDBusHostService& operator=(const GDBusHostService&) = delete;

  Subscription publish(Handlers handlers) override;
  void setDevices(const Dictionary& devices) override;
  void announceDevices() override;

  struct Publication;
  struct Properties;

 private:
  GDBusConnection* connection_;
  std::shared_ptr<Properties> properties_;
  // Each device's a{sv} in the map last set: a change rebuilds only the
  // entries that changed (a run changes one device at most).
  EncodedEntries encodedEntries_;
  std::shared_ptr<Publication> published_;
};

}  // namespace nuv::linux_backend
