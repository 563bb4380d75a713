#pragma once

namespace nuv {

// What the USB watcher tells its delegate. The delegate is informal: before
// each send the watcher asks respondsTo() for that one message, and sends
// nothing when the answer is no. The answer may change over time.
//
// Threading: respondsTo() is asked on the main loop thread at the moment of
// the USB event. The message itself is queued to the main loop and runs there
// in a later iteration, never inline inside the watcher's callback.
class USBPluWatcherDelegate {
 public:
  enum class Message { startMonitoring, DevicePlugged, DeviceUnplugged };

  virtual ~USBPluWatcherDelegate() = default;

  virtual bool respondsTo(Message message) const = 0;
  // An iPhone or iPad was matched: start a probe run now.
  virtual void startMonitoring() {}
  // An iPhone, iPad or iPod went away within the just-added window of a match
  // of the same name.
  virtual void DevicePlugged() {}
  // An iPhone, iPad or iPod went away at any other time.
  virtual void DeviceUnplugged() {}
};

}  // namespace nuv
