#pragma once

#include <memory>
#include <string>

#include "BridgeSettings.h"
#include "platform/linux/GlibHandles.h"

typedef struct _SoupServer SoupServer;
typedef struct _SoupServerMessage SoupServerMessage;

namespace nuvbridge {

// The /metrics endpoint for a Prometheus server to scrape, on the GLib main
// loop (libsoup): GET (and HEAD) /metrics answers the newest text, any other
// path 404, any other method 405. The text is handed out as it was set, not
// built per request. Loop thread only.
class MetricsServer {
 public:
  // Listens at once; none, with the reason, when the address cannot be used.
  static std::unique_ptr<MetricsServer> start(const BridgeSettings::Listen& listen,
                                              std::string* error);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  void setText(const std::string& text);
  // Where it listens: "http://127.0.0.1:9101/metrics" (the real port when
  // any was asked for).
  const std::string& url() const { return url_; }

 private:
  MetricsServer() = default;
  static void handle(SoupServer* server, SoupServerMessage* message, const char* path,
                     GHashTable* query, void* self);

  nuv::glib::Object<SoupServer> server_;
  nuv::glib::Bytes text_;
  std::string url_;
};

}  // namespace nuvbridge
