// nuv-devices: a window that shows the iPhones, iPads and iPods NUVModule
// reports, with their battery. One instance per session: starting it again
// brings the open window to the front.

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <memory>

#include "DevicesWindow.h"
#include "platform/linux/runtime/GlibRunLoop.h"

namespace {

constexpr const char* kResourceIcons = "/vemo/Tallyport/NUVDevices/icons";
constexpr const char* kResourceStyle = "/vemo/Tallyport/NUVDevices/style.css";

struct App {
  nuv::linux_backend::SystemClock clock;
  std::unique_ptr<nuvdevices::DevicesWindow> window;
};

void onStartup(GApplication*, void*) {
  GdkDisplay* display = gdk_display_get_default();
  // The icon ships inside the program, so it shows also when not installed.
  gtk_icon_theme_add_resource_path(gtk_icon_theme_get_for_display(display), kResourceIcons);
  nuv::glib::Object<GtkCssProvider> css(gtk_css_provider_new());
  gtk_css_provider_load_from_resource(css.get(), kResourceStyle);
  gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(css.get()),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_window_set_default_icon_name(nuvdevices::DevicesWindow::kAppId);
}

// SIGINT and SIGTERM end the program like its Quit item: on the loop, with
// everything released.
int onStopSignal(void* application) {
  g_application_quit(G_APPLICATION(application));
  return G_SOURCE_CONTINUE;
}

void onActivate(GApplication* application, void* data) {
  auto* app = static_cast<App*>(data);
  if (!app->window) {
    app->window = std::make_unique<nuvdevices::DevicesWindow>(
        GTK_APPLICATION(application), g_application_get_dbus_connection(application), app->clock);
  }
  app->window->present();
}

}  // namespace

int main(int argc, char** argv) {
  g_set_prgname("nuv-devices");
  g_set_application_name("NUVModule Devices");
  App app;
  nuv::glib::Object<GtkApplication> application(
      gtk_application_new(nuvdevices::DevicesWindow::kAppId, G_APPLICATION_DEFAULT_FLAGS));
  g_signal_connect(application.get(), "startup", G_CALLBACK(onStartup), nullptr);
  g_signal_connect(application.get(), "activate", G_CALLBACK(onActivate), &app);
  const unsigned sigint = g_unix_signal_add(SIGINT, onStopSignal, application.get());
  const unsigned sigterm = g_unix_signal_add(SIGTERM, onStopSignal, application.get());
  const int status = g_application_run(G_APPLICATION(application.get()), argc, argv);
  app.window.reset();
  g_source_remove(sigterm);
  g_source_remove(sigint);
  return status;
}
