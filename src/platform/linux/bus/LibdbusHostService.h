#pragma once

#include <memory>
#include <string>

#include "platform/HostService.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuv {
class RunLoop;
}

namespace nuv::linux_backend {

// The host service on the session bus (names in platform/BusNames.h, interface
// in data/vemo.Tallyport.NUVModule1.xml, compiled in), on a libdbus connection
// and a thread of its own. The name is requested without replacement, so a
// second process waits in the bus's queue and gets the name when the first
// lets go.
//
// Why a connection of its own: a read of Devices is the service's hot path
// (hosts read when they start, when they redraw, in loops), and GDBus
// marshals a reply's body afresh for every message: about 0.3 ms of CPU for a
// hundred devices, per read, on top of the bus's own cost. Here the reply is
// marshalled once per change of the map and each read sends a copy of its
// bytes, so the module adds next to nothing to a host's round trip. The
// broadcasts stay on the module's GDBus connection: a host that hears
// "iOSStack" and then reads Devices gets that map or a newer one, since the
// map is set before it is posted.
//
// Threading: the methods are for the loop thread, and the handlers run there
// (posted to `loop`). The service thread owns the connection: it connects,
// asks for the name, answers every call and sends every PropertiesChanged.
// It never waits for the loop, and the loop never waits for it except in
// publish()'s handle, which joins it.
class LibdbusHostService : public HostService {
 public:
  // `address`: the session bus the module's broadcasts go to. `version`: the
  // Version property.
  LibdbusHostService(RunLoop& loop, std::string address, std::string version);
  ~LibdbusHostService() override;
  LibdbusHostService(const LibdbusHostService&) = delete;
  LibdbusHostService& operator=(const LibdbusHostService&) = delete;

  // The handle's destruction sends what is still queued (when the bus is
  // there), closes the connection, which releases the name, and joins the
  // thread.
  Subscription publish(Handlers handlers) override;
  void setDevices(const Dictionary& devices) override;
  void announceDevices() override;

  struct Values;
  struct Service;

 private:
  RunLoop& loop_;
  const std::string address_;
  std::shared_ptr<Values> values_;
  // Each device's a{sv} in the map last set: a change rebuilds only the
  // entries that changed (a run changes one device at most).
  EncodedEntries encodedEntries_;
  std::shared_ptr<Service> published_;
};

}  // namespace nuv::linux_backend
