#include "MetricsServer.h"

#include <glib/gi18n.h>
#include <libsoup/soup.h>

#include <cstring>

#include "PrometheusText.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvbridge {
namespace {

void answer(SoupServerMessage* message, unsigned status, const char* text) {
  soup_server_message_set_status(message, status, nullptr);
  soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_STATIC, text,
                                   std::strlen(text));
}

}  // namespace

std::unique_ptr<MetricsServer> MetricsServer::start(const BridgeSettings::Listen& listen,
                                                    std::string* error) {
  std::unique_ptr<MetricsServer> self(new MetricsServer());
  self->server_.reset(
      SOUP_SERVER(g_object_new(SOUP_TYPE_SERVER, "server-header", "nuv-bridge ", nullptr)));
  self->text_.reset(g_bytes_new_static("", 0));
  soup_server_add_handler(self->server_.get(), nullptr, handle, self.get(), nullptr);
  nuv::glib::Object<GSocketAddress> address(
      g_inet_socket_address_new_from_string(listen.address.c_str(), listen.port));
  GError* raw = nullptr;
  if (!address || !soup_server_listen(self->server_.get(), address.get(),
                                      static_cast<SoupServerListenOptions>(0), &raw)) {
    nuv::glib::Error failed(raw);
    // TRANSLATORS: the address, the port, then the reason.
    *error = nuv::linux_backend::LocaleText::format(_("cannot listen on %s:%u: %s"),
                                                    listen.address.c_str(), listen.port,
                                                    failed ? failed->message : _("not an address"));
    return nullptr;
  }
  GSList* uris = soup_server_get_uris(self->server_.get());
  const bool v6 = listen.address.find(':') != std::string::npos;
  const int port = uris ? g_uri_get_port(static_cast<GUri*>(uris->data)) : int(listen.port);
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  self->url_ = "http://" + (v6 ? "[" + listen.address + "]" : listen.address) + ":" +
               std::to_string(port) + "/metrics";
  return self;
}

MetricsServer::~MetricsServer() {
  if (server_) soup_server_disconnect(server_.get());
}

void MetricsServer::setText(const std::string& text) {
  text_.reset(g_bytes_new(text.data(), text.size()));
}

void MetricsServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                           void* data) {
  auto* self = static_cast<MetricsServer*>(data);
  const char* method = soup_server_message_get_method(message);
  if (std::strcmp(path, "/metrics") != 0) {
    answer(message, SOUP_STATUS_NOT_FOUND, "Not found: the metrics are at /metrics\n");
    return;
  }
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "Allow",
                                 "GET, HEAD");
    answer(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "Method not allowed: use GET\n");
    return;
  }
  soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
  soup_message_headers_replace(soup_server_message_get_response_headers(message), "Content-Type",
                               PrometheusText::kContentType);
  soup_message_body_append_bytes(soup_server_message_get_response_body(message), self->text_.get());
}

}  // namespace nuvbridge
