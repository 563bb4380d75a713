#include "MqttClient.h"

#include <glib-unix.h>
#include <glib.h>
#include <glib/gi18n.h>
#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/Log.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvbridge {

using nuv::linux_backend::LocaleText;

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kTickSeconds = 5;
constexpr const char* kOffline = "offline";

// The library calls back on the thread that called into it. The loop thread
// is the only one that may see a callback; an attempt's thread is told apart
// without touching the client, which may be gone by then.
std::thread::id loopThread;

bool onLoop() { return std::this_thread::get_id() == loopThread; }

// What the library logged as errors on an attempt's thread.
thread_local std::vector<std::string> threadLogged;
constexpr std::size_t kMaxLogged = 16;

// The library's texts end in a full stop; log lines go on after them.
std::string withoutStop(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// One of the library's error lines in short: "Error: Unable to load ..." or
// "OpenSSL Error[0]: error:0A00010B:SSL routines::wrong version number".
std::string shortError(const std::string& line) {
  if (line.rfind("OpenSSL Error", 0) == 0) return "TLS: " + line.substr(line.rfind(':') + 1);
  constexpr std::string_view kError = "Error: ";
  return withoutStop(line.rfind(kError, 0) == 0 ? line.substr(kError.size()) : line);
}

}  // namespace

struct MqttClient::Handle {
  explicit Handle(mosquitto* m) : mosq(m) {}
  ~Handle() { mosquitto_destroy(mosq); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  mosquitto* const mosq;
};

// An attempt's outcome, carried from its thread to the loop.
struct MqttClient::Attempt {
  std::weak_ptr<bool> alive;
  MqttClient* client;
  int code = MOSQ_ERR_SUCCESS;
  int error = 0;
  std::vector<std::string> logged{};
};

MqttClient::MqttClient(nuv::RunLoop& loop, const BridgeSettings::Mqtt& settings,
                       std::string willTopic, Events events)
    : loop_(loop),
      settings_(settings),
      willTopic_(std::move(willTopic)),
      events_(std::move(events)),
      backoff_(loop, [this] { attempt(); }) {
  static const bool initialised = (mosquitto_lib_init(), true);
  (void)initialised;
  loopThread = std::this_thread::get_id();
}

MqttClient::~MqttClient() {
  backoff_.cancel();
  unwatch();
}

void MqttClient::start() {
  if (state_ == State::Idle) attempt();
}

int MqttClient::prepare() {
  handle_ = std::make_shared<Handle>(mosquitto_new(settings_.clientId.c_str(), true, this));
  mosquitto* mosq = handle_->mosq;
  if (!mosq) return MOSQ_ERR_NOMEM;
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (!settings_.username.empty()) {
    mosquitto_username_pw_set(mosq, settings_.username.c_str(),
                              settings_.password ? settings_.password->c_str() : nullptr);
  }
  mosquitto_will_set(mosq, willTopic_.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline, 1,
                     true);
  mosquitto_log_callback_set(mosq, onLog);
  mosquitto_connect_callback_set(mosq, onConnect);
  mosquitto_disconnect_callback_set(mosq, onDisconnect);
  mosquitto_message_callback_set(mosq, onMessage);
  if (!settings_.tls) return MOSQ_ERR_SUCCESS;
  // The broker's certificate must verify, chain and host name (the
  // library's defaults, stated here because they are the point).
  int code = mosquitto_tls_insecure_set(mosq, false);
  if (code == MOSQ_ERR_SUCCESS) code = mosquitto_tls_opts_set(mosq, 1, nullptr, nullptr);
  if (code != MOSQ_ERR_SUCCESS) return code;
  if (settings_.cafile.empty()) return mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
  code = mosquitto_tls_set(mosq, settings_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
  return code == MOSQ_ERR_INVAL ? MOSQ_ERR_ERRNO : code;  // it cannot open the file
}

void MqttClient::attempt() {
  if (closed_) return;
  logged_.clear();
  // Never a connection without TLS to a broker that was meant to have it.
  if (const int code = prepare(); code != MOSQ_ERR_SUCCESS) {
    const int error = errno;
    lost(code == MOSQ_ERR_ERRNO
             // TRANSLATORS: the certificate file, then the reason.
             ? LocaleText::format(_("cannot read the cafile %s: %s"), settings_.cafile.c_str(),
                                  g_strerror(error))
             : reason(code, error));
    return;
  }
  state_ = State::Connecting;
  auto* outcome = new Attempt{alive_, this};
  std::thread([handle = handle_, outcome, host = settings_.host, port = settings_.port] {
    outcome->code =
        mosquitto_connect(handle->mosq, host.c_str(), static_cast<int>(port), kKeepAliveSeconds);
    outcome->error = errno;
    outcome->logged = std::move(threadLogged);
    g_idle_add(onAttempted, outcome);
  }).detach();
}

int MqttClient::onAttempted(void* data) {
  std::unique_ptr<Attempt> outcome(static_cast<Attempt*>(data));
  if (outcome->alive.lock()) {
    auto& logged = outcome->client->logged_;
    logged.insert(logged.end(), outcome->logged.begin(), outcome->logged.end());
    outcome->client->attempted(outcome->code, outcome->error);
  }
  return G_SOURCE_REMOVE;
}

void MqttClient::attempted(int code, int error) {
  if (closed_) return;
  if (code != MOSQ_ERR_SUCCESS) {
    lost(reason(code, error));
    return;
  }
  state_ = State::Handshake;
  handshakeSince_ = g_get_monotonic_time();
  watch();
}

void MqttClient::onLog(mosquitto*, void* data, int level, const char* text) {
  if (level != MOSQ_LOG_ERR) return;
  auto& lines = onLoop() ? static_cast<MqttClient*>(data)->logged_ : threadLogged;
  if (lines.size() < kMaxLogged) lines.emplace_back(text);
}

std::string MqttClient::reason(int code, int error) {
  const auto lines = std::exchange(logged_, {});
  if (code == MOSQ_ERR_TLS) {
    // The code says only "a TLS error"; what went wrong is in what the
    // library logged.
    auto said = [&lines](std::string_view what) {
      return std::any_of(lines.begin(), lines.end(), [what](const std::string& line) {
        return line.find(what) != std::string::npos;
      });
    };
    if (said("host name verification failed")) {
      return LocaleText::format(
          // TRANSLATORS: %s is the broker's host name or address.
          _("certificate verification failed: the broker's certificate is not for %s"),
          settings_.host.c_str());
    }
    if (said("certificate verify failed")) {
      return settings_.cafile.empty()
                 // TRANSLATORS: [mqtt] cafile stays as it is.
                 ? std::string(_("certificate verification failed against the system's "
                                 "certificate authorities (set [mqtt] cafile for a private one)"))
                 // TRANSLATORS: %s is the certificate file.
                 : LocaleText::format(_("certificate verification failed against the cafile %s"),
                                      settings_.cafile.c_str());
    }
    if (!lines.empty()) return shortError(lines.front());
  }
  return withoutStop(code == MOSQ_ERR_ERRNO ? g_strerror(error) : mosquitto_strerror(code));
}

void MqttClient::onConnect(mosquitto*, void* data, int code) {
  if (onLoop()) static_cast<MqttClient*>(data)->connack_ = code;
}

void MqttClient::onDisconnect(mosquitto*, void* data, int) {
  if (onLoop()) static_cast<MqttClient*>(data)->dropped_ = true;
}

void MqttClient::onMessage(mosquitto*, void* data, const mosquitto_message* message) {
  if (!onLoop()) return;
  static_cast<MqttClient*>(data)->messages_.emplace_back(
      message->topic, std::string(static_cast<const char*>(message->payload),
                                  static_cast<std::size_t>(message->payloadlen)));
}

int MqttClient::onReadable(int, unsigned, void* data) {
  auto* self = static_cast<MqttClient*>(data);
  const int code = mosquitto_loop_read(self->handle_->mosq, 1);
  self->settle(code, errno);
  return G_SOURCE_CONTINUE;
}

int MqttClient::onWritable(int, unsigned, void* data) {
  auto* self = static_cast<MqttClient*>(data);
  const int code = mosquitto_loop_write(self->handle_->mosq, 1);
  self->settle(code, errno);
  return G_SOURCE_CONTINUE;
}

int MqttClient::onTick(void* data) {
  auto* self = static_cast<MqttClient*>(data);
  if (self->state_ == State::Handshake &&
      g_get_monotonic_time() - self->handshakeSince_ > kKeepAliveSeconds * G_USEC_PER_SEC) {
    self->lost(_("no answer to the connection request"));
    return G_SOURCE_CONTINUE;
  }
  const int code = mosquitto_loop_misc(self->handle_->mosq);
  self->settle(code, errno);
  return G_SOURCE_CONTINUE;
}

void MqttClient::settle(int code, int error) {
  const int connack = std::exchange(connack_, -1);
  const bool dropped = std::exchange(dropped_, false) || code != MOSQ_ERR_SUCCESS;
  auto messages = std::exchange(messages_, {});
  if (connack > 0) {
    const bool refused = connack == 4 || connack == 5;  // bad user name or password, not authorized
    lost(withoutStop(mosquitto_connack_string(connack)), refused);
    return;
  }
  if (dropped) {
    lost(reason(code == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : code, error));
    return;
  }
  if (connack == 0 && state_ == State::Handshake) {
    state_ = State::Connected;
    logged_.clear();
    backoff_.succeeded();
    if (outage_) {
      nuv::log::debug(
          // TRANSLATORS: %s is the broker's URL.
          LocaleText::format(_("connected to the MQTT broker %s again"), settings_.broker.c_str()));
    } else {
      nuv::log::info(
          // TRANSLATORS: %s is the broker's URL.
          LocaleText::format(_("connected to the MQTT broker %s"), settings_.broker.c_str()));
    }
    outage_ = false;
    refusedLogged_ = false;
    if (events_.connected) events_.connected();
  }
  for (const auto& [topic, payload] : messages) {
    if (state_ == State::Connected && events_.message) events_.message(topic, payload);
  }
  if (state_ != State::Idle && state_ != State::Connecting) watch();
}

void MqttClient::watch() {
  const int fd = mosquitto_socket(handle_->mosq);
  if (fd < 0) return;
  if (!readWatch_) {
    readWatch_ = g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                               reinterpret_cast<GUnixFDSourceFunc>(onReadable), this);
  }
  const bool wantWrite = mosquitto_want_write(handle_->mosq);
  if (wantWrite && !writeWatch_) {
    writeWatch_ =
        g_unix_fd_add(fd, G_IO_OUT, reinterpret_cast<GUnixFDSourceFunc>(onWritable), this);
  } else if (!wantWrite && writeWatch_) {
    g_source_remove(std::exchange(writeWatch_, 0));
  }
  if (!tick_) tick_ = g_timeout_add_seconds(kTickSeconds, onTick, this);
}

void MqttClient::unwatch() {
  for (unsigned* id : {&readWatch_, &writeWatch_, &tick_}) {
    if (*id) g_source_remove(std::exchange(*id, 0));
  }
}

void MqttClient::lost(const std::string& why, bool refused) {
  unwatch();
  const bool was = state_ == State::Connected;
  state_ = State::Idle;
  if (refused) {
    if (!refusedLogged_) {
      nuv::log::warning(LocaleText::format(
          // TRANSLATORS: the broker's URL, then its answer; [mqtt] username and
          // password-file stay as they are.
          _("not authorized by %s (%s): check [mqtt] username and password-file; trying again "
            "every 60 s"),
          settings_.broker.c_str(), why.c_str()));
    }
    refusedLogged_ = true;
    outage_ = true;
  } else if (!outage_) {
    nuv::log::warning(LocaleText::format(
        // TRANSLATORS: the broker's URL, then the reason.
        was ? _("lost the MQTT broker %s: %s; trying again, after a growing delay of up to 60 s")
            : _("cannot connect to the MQTT broker %s: %s; trying again, after a growing delay of "
                "up to 60 s"),
        settings_.broker.c_str(), why.c_str()));
    outage_ = true;
  }
  if (was && events_.disconnected) events_.disconnected();
  if (!closed_) backoff_.failed(refused);
}

void MqttClient::publish(const std::string& topic, const std::string& payload, bool confirmed) {
  if (state_ != State::Connected) return;
  const int code =
      mosquitto_publish(handle_->mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), confirmed ? 1 : 0, true);
  afterCall(code);
}

void MqttClient::subscribe(const std::string& topic) {
  if (state_ != State::Connected) return;
  afterCall(mosquitto_subscribe(handle_->mosq, nullptr, topic.c_str(), 1));
}

void MqttClient::afterCall(int code) {
  if (code == MOSQ_ERR_SUCCESS) {
    watch();
    return;
  }
  // Told on the loop, not inside the owner's call.
  const int error = errno;
  loop_.post([alive = std::weak_ptr<bool>(alive_), this, code, error] {
    if (alive.lock() && state_ == State::Connected) lost(reason(code, error));
  });
}

void MqttClient::close(std::chrono::milliseconds timeout) {
  closed_ = true;
  backoff_.cancel();
  if (state_ == State::Connected || state_ == State::Handshake) {
    mosquitto* mosq = handle_->mosq;
    mosquitto_disconnect(mosq);
    const gint64 deadline = g_get_monotonic_time() + timeout.count() * 1000;
    while (mosquitto_want_write(mosq) && mosquitto_socket(mosq) >= 0) {
      const gint64 left = (deadline - g_get_monotonic_time()) / 1000;
      pollfd out{mosquitto_socket(mosq), POLLOUT, 0};
      if (left <= 0 || ::poll(&out, 1, static_cast<int>(left)) <= 0) break;
      if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  unwatch();
  state_ = State::Idle;
}

}  // namespace nuvbridge
