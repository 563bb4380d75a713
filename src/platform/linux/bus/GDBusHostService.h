#pragma once

#include <memory>
#include <string>

#include "platform/HostService.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuv::linux_backend {

// The host service on the session bus (names in platform/BusNames.h): the
// skeleton that gdbus-codegen generates at build time from the installed
// interface XML (data/vemo.Tallyport.NUVModule1.xml), exported on the
// module's own GDBus connection, the one the notification centre posts on.
// One connection means one outgoing queue: a PropertiesChanged announced
// after "iOSStack" was posted leaves after it, and a host never hears them
// the other way round. The name is requested without replacement, so a
// second process waits in the bus's queue and gets the name when the first
// lets go.
//
// Methods arrive as the skeleton's handle-* signals (one per method of the
// XML), on the loop's context (the thread-default one when publish() is
// called), also while a probe run serves the loop in a nested iteration.
// Property reads are answered on GDBus's worker thread as they arrive, from
// the values kept here: the map's a{sa{sv}} is built once per change (only
// changed entries re-encoded) and every read gets a reference to it.
// PropertiesChanged is sent by announceDevices() only, never by the
// skeleton, so a change that is not announced stays silent.
//
// Threading: the methods are for the loop thread; the handlers run there.
// Nothing here waits for the bus.
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
  struct Values;

 private:
  glib::Object<GDBusConnection> connection_;
  const std::string version_;
  std::shared_ptr<Values> values_;
  // Each device's a{sv} in the map last set: a change rebuilds only the
  // entries that changed (a run changes one device at most).
  EncodedEntries encodedEntries_;
  std::shared_ptr<Publication> published_;
};

}  // namespace nuv::linux_backend
