#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BridgeSettings.h"
#include "ReconnectBackoff.h"

struct mosquitto;
struct mosquitto_message;

namespace nuvbridge {

// One connection to an MQTT broker (libmosquitto), kept up for as long as
// the client lives. The library's socket is driven from the GLib main loop;
// only the connection attempt itself (name lookup, TCP connect, which may
// take long) runs on a short-lived thread of its own, and the loop does not
// touch the library's handle until that thread has handed it back. A broker
// that cannot be reached, goes away or refuses the credentials is tried
// again (ReconnectBackoff); each outage is logged once ("not authorized by
// <broker>" for refused credentials, once until a connection is accepted).
// Over TLS the broker's certificate must verify (chain and host name) against
// [mqtt] cafile or the system's authorities; one that does not is an outage
// like any other, never a connection. The last will sets `willTopic` to
// "offline", retained.
//
// Loop thread only. Events run on the loop, never inside a call to this
// class, and none after destruction.
class MqttClient {
 public:
  struct Events {
    std::function<void()> connected;  // the broker accepted the connection
    std::function<void()> disconnected;
    std::function<void(const std::string& topic, const std::string& payload)> message;
  };

  MqttClient(nuv::RunLoop& loop, const BridgeSettings::Mqtt& settings, std::string willTopic,
             Events events);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // The first attempt; later ones follow by themselves.
  void start();
  bool connected() const { return state_ == State::Connected; }
  // A retained message; dropped when not connected (the owner publishes its
  // current state again on `connected`). QoS 1 when `confirmed`, else 0.
  void publish(const std::string& topic, const std::string& payload, bool confirmed = false);
  void subscribe(const std::string& topic);
  // Says goodbye to the broker: whatever was published leaves first, for at
  // most `timeout`, then a DISCONNECT (so the last will is not sent).
  void close(std::chrono::milliseconds timeout);

 private:
  enum class State { Idle, Connecting, Handshake, Connected };
  struct Handle;
  struct Attempt;

  static void onConnect(mosquitto*, void* self, int code);
  static void onDisconnect(mosquitto*, void* self, int code);
  static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void onLog(mosquitto*, void* self, int level, const char* text);
  static int onReadable(int fd, unsigned condition, void* self);
  static int onWritable(int fd, unsigned condition, void* self);
  static int onTick(void* self);
  static int onAttempted(void* attempt);

  // A new handle for each attempt: the library keeps state from a failed
  // one (its TLS context among it) that the next must not build on. A
  // library error code.
  int prepare();
  void attempt();
  void attempted(int code, int error);
  // After every call into the library from the loop: what its callbacks
  // reported, then the socket's watches.
  void settle(int code, int error);
  // After a call made for the owner.
  void afterCall(int code);
  void watch();
  void unwatch();
  void lost(const std::string& why, bool refused = false);
  // Why a call failed with `code`, for a log line; takes what was logged.
  std::string reason(int code, int error);

  nuv::RunLoop& loop_;
  BridgeSettings::Mqtt settings_;
  std::string willTopic_;
  Events events_;
  std::shared_ptr<Handle> handle_;  // shared with an attempt's thread
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  ReconnectBackoff backoff_;
  State state_ = State::Idle;
  unsigned readWatch_ = 0;
  unsigned writeWatch_ = 0;
  unsigned tick_ = 0;
  long long handshakeSince_ = 0;  // monotonic microseconds
  bool outage_ = false;           // logged since the last accepted connection
  bool closed_ = false;
  bool refusedLogged_ = false;
  // What the library's callbacks reported during the last call.
  int connack_ = -1;
  bool dropped_ = false;
  std::vector<std::pair<std::string, std::string>> messages_;
  std::vector<std::string> logged_;  // the library's error lines since the last outcome
};

}  // namespace nuvbridge
