#pragma once

namespace nuv::linux_backend {

// The language of the programs people read (nuvctl, nuv-devices): gettext
// with the one text domain "nuvmodule", whose texts they mark with _(),
// N_() and ngettext() from <glib/gi18n.h>. The module itself and the probe
// are never translated: what they print is read by programs.
//
// The user's locale applies to every category, LC_NUMERIC and LC_TIME too,
// so texts for people show numbers and dates the user's way. Output for
// programs (JSON, the key/value lines, ISO dates) must therefore not go
// through locale-dependent formatting or parsing: printf's %f, strtod,
// std::to_string of a double. It uses nlohmann::json, IsoDate and integers,
// which do not depend on the locale.
class TextDomain {
 public:
  // Takes the user's locale from the environment and binds the text domain,
  // its texts in UTF-8 whatever the locale's character set. The catalogues
  // (<lang>/LC_MESSAGES/nuvmodule.mo) are read from $NUV_LOCALEDIR when it
  // is set and not empty (the build tree's <build>/locale), else from the
  // installed share/locale, found relative to the running executable so
  // that an install to any prefix finds its own. Call it first in main,
  // before any thread starts: setlocale is not thread-safe.
  static void bind();
};

}  // namespace nuv::linux_backend
