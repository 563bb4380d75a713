#include "platform/linux/runtime/TextDomain.h"

#include <glib.h>
#include <libintl.h>

#include <clocale>
#include <string>

#include "platform/linux/process/LinuxBundle.h"

namespace nuv::linux_backend {
namespace {

std::string catalogueDirectory() {
  if (const char* dir = g_getenv("NUV_LOCALEDIR"); dir && *dir) return dir;
  return LinuxBundle().bundlePath() + "/" + NUV_LOCALEDIR_FROM_BINDIR;
}

}  // namespace

void TextDomain::bind() {
  // A locale the system does not have leaves the C locale, and English.
  std::setlocale(LC_ALL, "");
  const std::string dir = catalogueDirectory();
  bindtextdomain(GETTEXT_PACKAGE, dir.c_str());
  bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
  textdomain(GETTEXT_PACKAGE);
}

}  // namespace nuv::linux_backend
