#include "ModuleStarter.h"

#include <gio/gio.h>
#include <glib/gi18n.h>

#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {

using nuv::linux_backend::LocaleText;

ModuleStarter::~ModuleStarter() {
  // systemctl itself is left to finish: the start it asked for stands.
  if (cancellable_) g_cancellable_cancel(cancellable_.get());
}

void ModuleStarter::start(Done done) {
  if (busy()) return;
  GError* raw = nullptr;
  nuv::glib::Object<GSubprocess> process(
      g_subprocess_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
                                                     G_SUBPROCESS_FLAGS_STDERR_PIPE),
                       &raw, "systemctl", "--user", "start", kUnit, nullptr));
  nuv::glib::Error error(raw);
  if (!process) {
    // TRANSLATORS: %s is the system's reason.
    done(false, LocaleText::format(_("cannot run systemctl: %s"), error->message));
    return;
  }
  done_ = std::move(done);
  cancellable_.reset(g_cancellable_new());
  g_subprocess_communicate_utf8_async(process.get(), nullptr, cancellable_.get(), onFinished, this);
}

void ModuleStarter::onFinished(GObject* object, GAsyncResult* result, void* data) {
  auto* process = G_SUBPROCESS(object);
  char* rawErrors = nullptr;
  GError* raw = nullptr;
  const bool communicated =
      g_subprocess_communicate_utf8_finish(process, result, nullptr, &rawErrors, &raw);
  nuv::glib::String errors(rawErrors);
  nuv::glib::Error error(raw);
  if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;

  auto* self = static_cast<ModuleStarter*>(data);
  self->cancellable_.reset();
  Done done = std::move(self->done_);
  if (!communicated) {
    done(false, LocaleText::format(_("systemctl failed: %s"), error->message));
    return;
  }
  // communicate() finishes only once the process has exited.
  if (g_subprocess_get_if_exited(process) && g_subprocess_get_exit_status(process) == 0) {
    done(true, "");
    return;
  }
  std::string message = errors && *errors.get() ? g_strstrip(errors.get()) : "";
  if (message.empty()) {
    // TRANSLATORS: %s is the command that failed.
    message = LocaleText::format(_("%s failed"),
                                 ("systemctl --user start " + std::string(kUnit)).c_str());
  }
  done(false, message);
}

}  // namespace nuvdevices
