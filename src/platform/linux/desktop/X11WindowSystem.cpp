#include "platform/linux/desktop/X11WindowSystem.h"

#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace nuv::linux_backend {

namespace {

template <class T>
struct ReplyFree {
  void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, ReplyFree<T>>;

struct PixelFormat {
  std::uint32_t redMask = 0, greenMask = 0, blueMask = 0;
  int bitsPerPixel = 0;
  bool msbFirst = false;
};

int shiftOf(std::uint32_t mask) {
  if (!mask) return 0;
  int shift = 0;
  while (!(mask & 1u)) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

std::uint8_t channel(std::uint32_t pixel, std::uint32_t mask) {
  if (!mask) return 0;
  std::uint32_t bits = mask >> shiftOf(mask);
  std::uint32_t v = (pixel & mask) >> shiftOf(mask);
  return static_cast<std::uint8_t>(bits == 255 ? v : v * 255 / bits);
}

}  // namespace

struct X11WindowSystem::Connection {
  xcb_connection_t* c = nullptr;
  xcb_screen_t* screen = nullptr;
  xcb_atom_t netWmPid = 0, netWmName = 0, utf8String = 0, wmState = 0, rootPixmap = 0,
             netActiveWindow = 0, netSupportingWmCheck = 0;
  bool compositeReady = false;
  bool redirected = false;

  ~Connection() {
    if (c) xcb_disconnect(c);
  }

  xcb_atom_t atom(const char* name) {
    auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c, cookie, nullptr));
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  }

  Reply<xcb_get_property_reply_t> property(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type,
                                           std::uint32_t longs = 1024) {
    auto cookie = xcb_get_property(c, 0, w, prop, type, 0, longs);
    return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(c, cookie, nullptr));
  }

  std::optional<std::uint32_t> cardinal(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
    auto r = property(w, prop, type, 1);
    if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 4) return std::nullopt;
    return *static_cast<std::uint32_t*>(xcb_get_property_value(r.get()));
  }

  std::string text(xcb_window_t w) {
    for (auto [prop, type] :
         {std::pair{netWmName, utf8String},
          std::pair<xcb_atom_t, xcb_atom_t>{XCB_ATOM_WM_NAME, xcb_atom_t(XCB_ATOM_ANY)}}) {
      auto r = property(w, prop, type);
      if (r && r->format == 8 && xcb_get_property_value_length(r.get()) > 0) {
        return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                           static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
      }
    }
    return "";
  }

  bool hasProperty(xcb_window_t w, xcb_atom_t prop) {
    auto r = property(w, prop, xcb_atom_t(XCB_ATOM_ANY), 1);
    return r && r->type != XCB_ATOM_NONE;
  }

  std::vector<xcb_window_t> children(xcb_window_t w, xcb_window_t* parent = nullptr) {
    Reply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
    if (!r) return {};
    if (parent) *parent = r->parent;
    auto* kids = xcb_query_tree_children(r.get());
    return std::vector<xcb_window_t>(kids, kids + xcb_query_tree_children_length(r.get()));
  }

  bool isClient(xcb_window_t w) { return hasProperty(w, wmState) || hasProperty(w, netWmPid); }

  // The application window inside a root child: the child itself, or the
  // first window with client properties up to two levels down (a manager's frame).
  xcb_window_t findClient(xcb_window_t frame) {
    if (isClient(frame)) return frame;
    for (xcb_window_t k : children(frame)) {
      if (isClient(k)) return k;
      for (xcb_window_t kk : children(k)) {
        if (isClient(kk)) return kk;
      }
    }
    return frame;
  }

  // The root's child that contains `w`, or 0 when `w` does not exist.
  xcb_window_t topLevelOf(xcb_window_t w) {
    for (int depth = 0; depth < 64; ++depth) {
      xcb_window_t parent = 0;
      Reply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
      if (!r) return 0;
      parent = r->parent;
      if (w == screen->root) return 0;
      if (parent == screen->root) return w;
      w = parent;
    }
    return 0;
  }

  std::optional<PixelFormat> formatFor(xcb_visualid_t visual, std::uint8_t depth) {
    PixelFormat f;
    const xcb_setup_t* setup = xcb_get_setup(c);
    f.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
      if (it.data->depth == depth) f.bitsPerPixel = it.data->bits_per_pixel;
    }
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
        if (v.data->visual_id == visual) {
          f.redMask = v.data->red_mask;
          f.greenMask = v.data->green_mask;
          f.blueMask = v.data->blue_mask;
        }
      }
    }
    if (f.bitsPerPixel != 32 || !f.redMask) return std::nullopt;
    return f;
  }

  // Copies the part of `drawable` (placed with its top-left at `at` in root
  // coordinates, `width` x `height`) that falls into `rect` onto `canvas`.
  bool paint(xcb_drawable_t drawable, const PixelFormat& f, int atX, int atY, int width, int height,
             const Rect& rect, CapturedImage& canvas) {
    int rx = static_cast<int>(rect.origin.x), ry = static_cast<int>(rect.origin.y);
    int x0 = std::max(atX, rx), y0 = std::max(atY, ry);
    int x1 = std::min(atX + width, rx + canvas.width),
        y1 = std::min(atY + height, ry + canvas.height);
    if (x0 >= x1 || y0 >= y1) return true;
    auto cookie =
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(x0 - atX),
                      static_cast<std::int16_t>(y0 - atY), static_cast<std::uint16_t>(x1 - x0),
                      static_cast<std::uint16_t>(y1 - y0), ~0u);
    Reply<xcb_get_image_reply_t> img(xcb_get_image_reply(c, cookie, nullptr));
    if (!img) return false;
    const std::uint8_t* data = xcb_get_image_data(img.get());
    std::size_t length = static_cast<std::size_t>(xcb_get_image_data_length(img.get()));
    std::size_t stride = static_cast<std::size_t>(x1 - x0) * 4;  // 32 bpp, scanline pad 32
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        std::size_t at =
            static_cast<std::size_t>(y - y0) * stride + static_cast<std::size_t>(x - x0) * 4;
        if (at + 4 > length) return false;
        const std::uint8_t* p = data + at;
        std::uint32_t pixel = f.msbFirst ? (std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                                            std::uint32_t(p[2]) << 8 | p[3])
                                         : (std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                                            std::uint32_t(p[1]) << 8 | p[0]);
        std::size_t out =
            (static_cast<std::size_t>(y - ry) * static_cast<std::size_t>(canvas.width) +
             static_cast<std::size_t>(x - rx)) *
            4;
        canvas.samples[out] = channel(pixel, f.redMask);
        canvas.samples[out + 1] = channel(pixel, f.greenMask);
        canvas.samples[out + 2] = channel(pixel, f.blueMask);
        canvas.samples[out + 3] = 255;
      }
    }
    return true;
  }
};

X11WindowSystem::X11WindowSystem() = default;
X11WindowSystem::~X11WindowSystem() = default;

X11WindowSystem& X11WindowSystem::shared() {
  static auto* instance = new X11WindowSystem;  // keeps its connection until exit
  return *instance;
}

bool X11WindowSystem::connectLocked() {
  if (conn_) return true;
  auto conn = std::make_unique<Connection>();
  int screenNumber = 0;
  conn->c = xcb_connect(nullptr, &screenNumber);
  if (!conn->c || xcb_connection_has_error(conn->c)) return false;
  auto it = xcb_setup_roots_iterator(xcb_get_setup(conn->c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return false;
  conn->screen = it.data;
  conn->netWmPid = conn->atom("_NET_WM_PID");
  conn->netWmName = conn->atom("_NET_WM_NAME");
  conn->utf8String = conn->atom("UTF8_STRING");
  conn->wmState = conn->atom("WM_STATE");
  conn->rootPixmap = conn->atom("_XROOTPMAP_ID");
  conn->netActiveWindow = conn->atom("_NET_ACTIVE_WINDOW");
  conn->netSupportingWmCheck = conn->atom("_NET_SUPPORTING_WM_CHECK");
  Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
      conn->c, xcb_composite_query_version(conn->c, 0, 4), nullptr));
  conn->compositeReady = version && (version->major_version > 0 || version->minor_version >= 2);
  conn_ = std::move(conn);
  return true;
}

bool X11WindowSystem::available() {
  std::lock_guard lock(mutex_);
  return connectLocked();
}

std::vector<TopLevelWindow> X11WindowSystem::stackingOrder() {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return {};
  return stackingOrderLocked();
}

std::vector<TopLevelWindow> X11WindowSystem::stackingOrderLocked() {
  Connection& k = *conn_;
  std::vector<TopLevelWindow> out;
  for (xcb_window_t frame : k.children(k.screen->root)) {
    Reply<xcb_get_window_attributes_reply_t> attrs(
        xcb_get_window_attributes_reply(k.c, xcb_get_window_attributes(k.c, frame), nullptr));
    Reply<xcb_get_geometry_reply_t> geo(
        xcb_get_geometry_reply(k.c, xcb_get_geometry(k.c, frame), nullptr));
    if (!attrs || !geo || attrs->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;
    TopLevelWindow w;
    w.frame = frame;
    w.client = k.findClient(frame);
    w.pid = static_cast<int>(k.cardinal(w.client, k.netWmPid, XCB_ATOM_CARDINAL).value_or(0));
    w.name = k.text(w.client);
    w.frameRect = Rect{{static_cast<double>(geo->x), static_cast<double>(geo->y)},
                       {static_cast<double>(geo->width + 2 * geo->border_width),
                        static_cast<double>(geo->height + 2 * geo->border_width)}};
    w.viewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    out.push_back(std::move(w));
  }
  return out;
}

bool X11WindowSystem::moveWindow(std::uint32_t client, Point topLeft) {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return false;
  std::uint32_t values[] = {static_cast<std::uint32_t>(static_cast<std::int32_t>(topLeft.x)),
                            static_cast<std::uint32_t>(static_cast<std::int32_t>(topLeft.y))};
  auto cookie = xcb_configure_window_checked(conn_->c, client,
                                             XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
  Reply<xcb_generic_error_t> error(xcb_request_check(conn_->c, cookie));
  return !error;
}

bool X11WindowSystem::resizeWindow(std::uint32_t client, Size size) {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return false;
  if (!(size.width >= 1 && size.height >= 1 && size.width <= 32767 && size.height <= 32767)) {
    return false;
  }
  std::uint32_t values[] = {static_cast<std::uint32_t>(size.width),
                            static_cast<std::uint32_t>(size.height)};
  auto cookie = xcb_configure_window_checked(
      conn_->c, client, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
  Reply<xcb_generic_error_t> error(xcb_request_check(conn_->c, cookie));
  return !error;
}

bool X11WindowSystem::activate(std::uint32_t client) {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return false;
  Connection& k = *conn_;
  if (k.cardinal(k.screen->root, k.netSupportingWmCheck, XCB_ATOM_WINDOW)) {
    // A window manager decides about focus and stacking: ask it.
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = client;
    ev.type = k.netActiveWindow;
    ev.data.data32[0] = 2;  // source: a pager-like tool acting for the user
    ev.data.data32[1] = XCB_CURRENT_TIME;
    auto cookie = xcb_send_event_checked(
        k.c, 0, k.screen->root,
        XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
        reinterpret_cast<const char*>(&ev));
    Reply<xcb_generic_error_t> error(xcb_request_check(k.c, cookie));
    return !error;
  }
  xcb_window_t top = k.topLevelOf(client);
  if (!top) return false;
  std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
  auto raise = xcb_configure_window_checked(k.c, top, XCB_CONFIG_WINDOW_STACK_MODE, above);
  auto focus = xcb_set_input_focus_checked(k.c, XCB_INPUT_FOCUS_PARENT, client, XCB_CURRENT_TIME);
  Reply<xcb_generic_error_t> e1(xcb_request_check(k.c, raise));
  Reply<xcb_generic_error_t> e2(xcb_request_check(k.c, focus));
  return !e1 && !e2;
}

std::optional<double> X11WindowSystem::screenHeight() {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return std::nullopt;
  return static_cast<double>(conn_->screen->height_in_pixels);
}

std::optional<CapturedImage> X11WindowSystem::captureBelow(const Rect& rect, std::uint32_t window) {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return std::nullopt;
  Connection& k = *conn_;
  if (!(rect.size.width >= 1 && rect.size.height >= 1 && rect.size.width <= 4096 &&
        rect.size.height <= 4096 && std::abs(rect.origin.x) < 1e6 &&
        std::abs(rect.origin.y) < 1e6)) {
    return std::nullopt;
  }
  xcb_window_t top = k.topLevelOf(window);
  if (!top) return std::nullopt;

  if (!k.compositeReady || k.redirected) return composeBelowLocked(rect, top);

  // Automatic redirection gives every top-level window an off-screen copy
  // while the server keeps drawing the screen as before. It lasts as long as
  // this connection. When it begins, the covered parts of the copies are
  // empty until their clients repaint them, so the first capture waits
  // (bounded) until two successive compositions agree.
  auto cookie = xcb_composite_redirect_subwindows_checked(k.c, k.screen->root,
                                                          XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  Reply<xcb_generic_error_t> error(xcb_request_check(k.c, cookie));
  k.redirected = !error;
  if (!k.redirected) return composeBelowLocked(rect, top);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  auto previous = composeBelowLocked(rect, top);
  for (int i = 0; i < 15 && previous; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto next = composeBelowLocked(rect, top);
    if (!next || next->samples == previous->samples) return next;
    previous = std::move(next);
  }
  return previous;
}

std::optional<CapturedImage> X11WindowSystem::composeBelowLocked(const Rect& rect,
                                                                 std::uint32_t top) {
  Connection& k = *conn_;
  CapturedImage canvas;
  canvas.width = static_cast<int>(rect.size.width);
  canvas.height = static_cast<int>(rect.size.height);
  canvas.space = Color::Space::RGB;
  canvas.samples.assign(static_cast<std::size_t>(canvas.width) * canvas.height * 4, 0);
  for (std::size_t i = 3; i < canvas.samples.size(); i += 4) canvas.samples[i] = 255;
  Rect clipped{{std::floor(rect.origin.x), std::floor(rect.origin.y)}, rect.size};

  // The wallpaper, where a desktop tool has published one.
  if (auto pixmap = k.cardinal(k.screen->root, k.rootPixmap, XCB_ATOM_PIXMAP)) {
    Reply<xcb_get_geometry_reply_t> geo(
        xcb_get_geometry_reply(k.c, xcb_get_geometry(k.c, *pixmap), nullptr));
    if (geo) {
      if (auto f = k.formatFor(k.screen->root_visual, geo->depth)) {
        k.paint(*pixmap, *f, 0, 0, geo->width, geo->height, clipped, canvas);
      }
    }
  }

  for (const TopLevelWindow& w : stackingOrderLocked()) {
    if (w.frame == top) break;  // the given window and everything above it stay out
    if (!w.viewable) continue;
    Reply<xcb_get_window_attributes_reply_t> attrs(
        xcb_get_window_attributes_reply(k.c, xcb_get_window_attributes(k.c, w.frame), nullptr));
    Reply<xcb_get_geometry_reply_t> geo(
        xcb_get_geometry_reply(k.c, xcb_get_geometry(k.c, w.frame), nullptr));
    if (!attrs || !geo) continue;
    auto f = k.formatFor(attrs->visual, geo->depth);
    if (!f) continue;
    int x = static_cast<int>(w.frameRect.origin.x), y = static_cast<int>(w.frameRect.origin.y);
    int width = static_cast<int>(w.frameRect.size.width);
    int height = static_cast<int>(w.frameRect.size.height);
    bool painted = false;
    if (k.redirected) {
      xcb_pixmap_t pixmap = xcb_generate_id(k.c);
      auto named = xcb_composite_name_window_pixmap_checked(k.c, w.frame, pixmap);
      Reply<xcb_generic_error_t> error(xcb_request_check(k.c, named));
      if (!error) {
        painted = k.paint(pixmap, *f, x, y, width, height, clipped, canvas);
        xcb_free_pixmap(k.c, pixmap);
      }
    }
    if (!painted) {
      // Without an off-screen copy only the uncovered part of the window is
      // exact; the border is outside the window's own drawable.
      int bw = geo->border_width;
      k.paint(w.frame, *f, x + bw, y + bw, geo->width, geo->height, clipped, canvas);
    }
  }
  xcb_flush(k.c);
  return canvas;
}

}  // namespace nuv::linux_backend
