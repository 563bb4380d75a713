// nuv-devices: a window that shows the iPhones, iPads and iPods NUVModule
// reports, with their battery, and the battery alerts. One instance per
// session: starting it again opens the window in the running instance.
// `--background` runs it without a window (the login autostart entry does):
// it stays, sending alerts, until the session ends, and closing a window it
// opened later leaves it running.

#include <glib-unix.h>
#include <glib/gi18n.h>
#include <gtk/gtk.h>

#include <memory>
#include <string_view>

#include "Autostart.h"
#include "BackgroundAlerts.h"
#include "DevicesWindow.h"
#include "PreferencesDialog.h"
#include "platform/Log.h"
#include "platform/linux/runtime/GlibRunLoop.h"
#include "platform/linux/runtime/TextDomain.h"

namespace {

using nuvdevices::DevicesWindow;

constexpr const char* kResourceIcons = "/vemo/Tallyport/NUVDevices/icons";
constexpr const char* kResourceStyle = "/vemo/Tallyport/NUVDevices/style.css";

struct App {
  nuv::linux_backend::GlibRunLoop loop;
  nuv::glib::Object<GSettings> settings;  // null when the schema is not installed
  std::unique_ptr<nuvdevices::BackgroundAlerts> alerts;
  std::unique_ptr<DevicesWindow> window;
  bool held = false;
};

// The settings, or null (with one warning) when the schema is missing: the
// alerts then use their defaults. g_settings_new() would abort instead.
GSettings* openSettings() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source ? g_settings_schema_source_lookup(source, DevicesWindow::kAppId, TRUE) : nullptr;
  if (!schema) {
    nuv::log::warning(std::string("the settings schema ") + DevicesWindow::kAppId +
                      " is not installed: alerts use their defaults, Preferences is off");
    return nullptr;
  }
  GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
  g_settings_schema_unref(schema);
  return settings;
}

void addAction(GApplication* application, const char* name, GCallback callback, App* app,
               const GVariantType* parameter = nullptr) {
  nuv::glib::Object<GSimpleAction> action(g_simple_action_new(name, parameter));
  g_signal_connect(action.get(), "activate", callback, app);
  g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action.get()));
}

void openPreferences(GSimpleAction*, GVariant*, void* data) {
  auto* app = static_cast<App*>(data);
  GApplication* application = g_application_get_default();
  g_application_activate(application);  // the dialog belongs to the window
  if (app->window && app->settings) {
    nuvdevices::PreferencesDialog::open(app->window->gtkWindow(), app->settings.get());
  }
}

void onStartup(GApplication* application, void* data) {
  auto* app = static_cast<App*>(data);
  GdkDisplay* display = gdk_display_get_default();
  // The icon ships inside the program, so it shows also when not installed.
  gtk_icon_theme_add_resource_path(gtk_icon_theme_get_for_display(display), kResourceIcons);
  nuv::glib::Object<GtkCssProvider> css(gtk_css_provider_new());
  gtk_css_provider_load_from_resource(css.get(), kResourceStyle);
  gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(css.get()),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_window_set_default_icon_name(DevicesWindow::kAppId);

  app->settings.reset(openSettings());
  if (app->settings) {
    nuvdevices::Autostart::offerOnce(g_settings_get_boolean(app->settings.get(), "start-at-login"));
    g_signal_connect(app->settings.get(), "changed::start-at-login",
                     G_CALLBACK(+[](GSettings* s, const char* key, void*) {
                       nuvdevices::Autostart::apply(g_settings_get_boolean(s, key));
                     }),
                     nullptr);
    addAction(application, "preferences", G_CALLBACK(openPreferences), app);
    const char* keys[] = {"<Control>comma", nullptr};
    gtk_application_set_accels_for_action(GTK_APPLICATION(application), "app.preferences", keys);
  }
  // app.show-device(key): the window on that device's page; what clicking
  // an alert does.
  addAction(application, "show-device", G_CALLBACK(+[](GSimpleAction*, GVariant* key, void* data) {
              auto* app = static_cast<App*>(data);
              g_application_activate(g_application_get_default());
              if (app->window) app->window->showDevice(g_variant_get_string(key, nullptr));
            }),
            app, G_VARIANT_TYPE_STRING);
  app->alerts = std::make_unique<nuvdevices::BackgroundAlerts>(
      application, g_application_get_dbus_connection(application), app->settings.get(), app->loop);

  // A closed window is dropped at once, so a background app does not keep
  // its rows and their bus client.
  g_signal_connect(application, "window-removed",
                   G_CALLBACK(+[](GtkApplication*, GtkWindow*, void* data) {
                     g_idle_add(
                         +[](void* d) {
                           auto* app = static_cast<App*>(d);
                           if (app->window && app->window->closed()) app->window.reset();
                           return G_SOURCE_REMOVE;
                         },
                         data);
                   }),
                   app);
}

void onActivate(GApplication* application, void* data) {
  auto* app = static_cast<App*>(data);
  if (app->window && app->window->closed()) app->window.reset();
  if (!app->window) {
    app->window = std::make_unique<DevicesWindow>(GTK_APPLICATION(application),
                                                  g_application_get_dbus_connection(application),
                                                  app->loop.clock());
  }
  app->window->present();
}

// Every start's command line comes here, in the running instance.
int onCommandLine(GApplication* application, GApplicationCommandLine* line, void* data) {
  auto* app = static_cast<App*>(data);
  if (g_variant_dict_contains(g_application_command_line_get_options_dict(line), "background")) {
    if (!app->held) g_application_hold(application);
    app->held = true;
  } else {
    g_application_activate(application);
  }
  return 0;
}

// Whether this start asks for the background app (parsed again, properly, by
// GApplication; here only to choose the renderer before GTK starts).
bool backgroundRequested(int argc, char** argv) {
  for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
    if (std::string_view(argv[i]) == "--background") return true;
  }
  return false;
}

// SIGINT and SIGTERM end the program: on the loop, with everything released.
int onStopSignal(void* application) {
  g_application_quit(G_APPLICATION(application));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::linux_backend::TextDomain::bind();
  g_set_prgname("nuv-devices");
  g_set_application_name(_("NUVModule Devices"));
  // GTK brings up GL when it opens the display (on X11 it picks its visual
  // that way), whether or not a window is ever drawn: Mesa's driver stack is
  // then most of the process, 80 MiB and more instead of 22 MiB. The
  // background app draws with cairo, a window it opens later too (a few rows
  // need no GPU), unless the user chose otherwise.
  if (backgroundRequested(argc, argv) && !g_getenv("GDK_DEBUG") && !g_getenv("GSK_RENDERER")) {
    g_setenv("GDK_DEBUG", "gl-disable", FALSE);
    g_setenv("GSK_RENDERER", "cairo", FALSE);
  }
  App app;
  nuv::glib::Object<GtkApplication> application(
      gtk_application_new(DevicesWindow::kAppId, G_APPLICATION_HANDLES_COMMAND_LINE));
  g_application_add_main_option(G_APPLICATION(application.get()), "background", 0,
                                G_OPTION_FLAG_NONE, G_OPTION_ARG_NONE,
                                _("Run without a window and send battery alerts"), nullptr);
  g_signal_connect(application.get(), "startup", G_CALLBACK(onStartup), &app);
  g_signal_connect(application.get(), "activate", G_CALLBACK(onActivate), &app);
  g_signal_connect(application.get(), "command-line", G_CALLBACK(onCommandLine), &app);
  const unsigned sigint = g_unix_signal_add(SIGINT, onStopSignal, application.get());
  const unsigned sigterm = g_unix_signal_add(SIGTERM, onStopSignal, application.get());
  const int status = g_application_run(G_APPLICATION(application.get()), argc, argv);
  app.window.reset();
  app.alerts.reset();
  g_source_remove(sigterm);
  g_source_remove(sigint);
  return status;
}
