#pragma once

// RAII owners for the GLib/GIO handles the Linux backends hold.

#include <gio/gio.h>
#include <glib.h>

#include <memory>

namespace nuv::glib {

struct ObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
struct VariantUnref {
  void operator()(GVariant* v) const {
    if (v) g_variant_unref(v);
  }
};
struct ErrorFree {
  void operator()(GError* e) const {
    if (e) g_error_free(e);
  }
};
struct Free {
  void operator()(gpointer p) const { g_free(p); }
};
struct SourceUnref {
  void operator()(GSource* s) const {
    if (s) g_source_unref(s);
  }
};
struct BytesUnref {
  void operator()(GBytes* b) const {
    if (b) g_bytes_unref(b);
  }
};
struct OptionContextFree {
  void operator()(GOptionContext* c) const {
    if (c) g_option_context_free(c);
  }
};
struct NodeInfoUnref {
  void operator()(GDBusNodeInfo* info) const {
    if (info) g_dbus_node_info_unref(info);
  }
};
struct DateTimeUnref {
  void operator()(GDateTime* t) const {
    if (t) g_date_time_unref(t);
  }
};
struct KeyFileFree {
  void operator()(GKeyFile* k) const {
    if (k) g_key_file_free(k);
  }
};
struct StrvFree {
  void operator()(gchar** v) const { g_strfreev(v); }
};
struct UriUnref {
  void operator()(GUri* u) const {
    if (u) g_uri_unref(u);
  }
};
struct DirClose {
  void operator()(GDir* d) const {
    if (d) g_dir_close(d);
  }
};

template <class T>
using Object = std::unique_ptr<T, ObjectUnref>;
using Variant = std::unique_ptr<GVariant, VariantUnref>;
using Error = std::unique_ptr<GError, ErrorFree>;
using String = std::unique_ptr<gchar, Free>;
using Source = std::unique_ptr<GSource, SourceUnref>;
using Bytes = std::unique_ptr<GBytes, BytesUnref>;
using OptionContext = std::unique_ptr<GOptionContext, OptionContextFree>;
using Dir = std::unique_ptr<GDir, DirClose>;
using DateTime = std::unique_ptr<GDateTime, DateTimeUnref>;
using NodeInfo = std::unique_ptr<GDBusNodeInfo, NodeInfoUnref>;
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;
using Strv = std::unique_ptr<gchar*, StrvFree>;
using Uri = std::unique_ptr<GUri, UriUnref>;

}  // namespace nuv::glib
