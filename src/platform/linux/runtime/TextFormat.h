#pragma once

#include <glib.h>

#include <string>

namespace nuv::linux_backend {

// printf into a std::string, for texts people read: under the C library's
// locale, which TextDomain::bind took from the user, so `%'d` groups digits
// as the user's language does ("2,815", "2.815"). The format is usually a
// translated one; its translation may reorder the
// arguments with `%1$s`, which msgfmt --check holds to the same types.
// Never for output that programs read: that must not depend on the locale.
class TextFormat {
 public:
  static std::string printf(const char* format, ...) G_GNUC_PRINTF(1, 2);
};

}  // namespace nuv::linux_backend
