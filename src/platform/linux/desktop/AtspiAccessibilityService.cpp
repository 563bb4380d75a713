#include "platform/linux/desktop/AtspiAccessibilityService.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/desktop/X11WindowSystem.h"

namespace nuv::linux_backend {

namespace {

using Accessible = glib::Object<AtspiAccessible>;

struct AtspiElement : AccessibilityElement {
  enum class Kind { SystemWide, Application, Node };
  Kind kind = Kind::Node;
  int pid = 0;      // Application
  Accessible node;  // Node
};

ElementRef makeNode(Accessible node) {
  auto e = std::make_shared<AtspiElement>();
  e->kind = AtspiElement::Kind::Node;
  e->node = std::move(node);
  return e;
}

ElementRef makeApplication(int pid) {
  auto e = std::make_shared<AtspiElement>();
  e->kind = AtspiElement::Kind::Application;
  e->pid = pid;
  return e;
}

Accessible ref(AtspiAccessible* a) {
  if (a) g_object_ref(a);
  return Accessible(a);
}

// libatspi caches what it read and updates the cache from events that only
// arrive while its connection is served; volatile data (states, names,
// children) is therefore dropped from the cache before each read. (Turning
// the cache off altogether makes libatspi's own event handlers issue nested
// calls that deadlock inside libatspi's bus layer.)
bool hasState(AtspiAccessible* a, AtspiStateType state) {
  atspi_accessible_clear_cache(a);
  glib::Object<AtspiStateSet> set(atspi_accessible_get_state_set(a));
  return set && atspi_state_set_contains(set.get(), state);
}

bool isDefunct(AtspiAccessible* a) { return hasState(a, ATSPI_STATE_DEFUNCT); }

AtspiRole roleOf(AtspiAccessible* a, bool* ok) {
  GError* raw = nullptr;
  AtspiRole role = atspi_accessible_get_role(a, &raw);
  glib::Error error(raw);
  *ok = !error;
  return role;
}

bool isTopLevelRole(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_COLOR_CHOOSER:
      return true;
    default:
      return false;
  }
}

std::vector<Accessible> childrenOf(AtspiAccessible* a) {
  std::vector<Accessible> out;
  atspi_accessible_clear_cache(a);
  GError* raw = nullptr;
  gint count = atspi_accessible_get_child_count(a, &raw);
  glib::Error error(raw);
  if (error || count < 0) return out;
  count = std::min(count, 10000);
  for (gint i = 0; i < count; ++i) {
    GError* childError = nullptr;
    Accessible child(atspi_accessible_get_child_at_index(a, i, &childError));
    glib::Error owned(childError);
    if (child) out.push_back(std::move(child));
  }
  return out;
}

std::optional<AtspiRect> extentsOf(AtspiAccessible* a) {
  glib::Object<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return std::nullopt;
  GError* raw = nullptr;
  AtspiRect* rect = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &raw);
  glib::Error error(raw);
  if (error || !rect) {
    g_free(rect);
    return std::nullopt;
  }
  AtspiRect out = *rect;
  g_free(rect);
  return out;
}

std::string nameOf(AtspiAccessible* a, bool* ok) {
  atspi_accessible_clear_cache(a);
  GError* raw = nullptr;
  glib::String name(atspi_accessible_get_name(a, &raw));
  glib::Error error(raw);
  *ok = !error && name;
  return name ? std::string(name.get()) : std::string();
}

int pidOf(AtspiAccessible* a) {
  GError* raw = nullptr;
  guint pid = atspi_accessible_get_process_id(a, &raw);
  glib::Error error(raw);
  return error ? 0 : static_cast<int>(pid);
}

// libatspi ends the process when it cannot reach the accessibility bus, so
// the bus is looked up and tried here first, the way libatspi finds it: the
// AT_SPI_BUS_ADDRESS variable, else the launcher's GetAddress on the session
// bus (which may start the launcher, as libatspi would).
bool accessibilityBusReachable() {
  std::string address;
  if (const char* env = g_getenv("AT_SPI_BUS_ADDRESS"); env && *env) {
    address = env;
  } else {
    glib::Object<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!session) return false;
    glib::Variant reply(g_dbus_connection_call_sync(
        session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
    if (!reply) return false;
    const gchar* text = nullptr;
    g_variant_get(reply.get(), "(&s)", &text);
    if (!text || !*text) return false;
    address = text;
  }
  glib::Object<GDBusConnection> bus(g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr));
  if (!bus) return false;
  g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
  return true;
}

}  // namespace

struct AtspiAccessibilityService::Impl {
  X11WindowSystem& windows;
  Accessible desktop;  // null until the accessibility bus was reached
  // The window last made main, per process. A window manager applies the
  // activation asynchronously, so right afterwards the stacking order may
  // still show the old front window; this one is the process's front window.
  std::map<int, std::uint32_t> lastActivated;

  explicit Impl(X11WindowSystem& w) : windows(w) {}

  // Connects libatspi on first use, once the bus is known to be there; until
  // then every operation that needs it fails with CannotComplete.
  bool ready() {
    if (desktop) return true;
    if (!accessibilityBusReachable()) return false;
    atspi_init();
    desktop = Accessible(atspi_get_desktop(0));
    return desktop != nullptr;
  }

  std::vector<Accessible> applications() {
    if (!desktop) return {};
    return childrenOf(desktop.get());
  }

  Accessible applicationFor(int pid) {
    if (pid <= 0) return nullptr;
    for (auto& app : applications()) {
      if (pidOf(app.get()) == pid) return std::move(app);
    }
    return nullptr;
  }

  // The application accessible an element stands for, or null.
  Accessible applicationOf(const AtspiElement& e) {
    if (e.kind == AtspiElement::Kind::Application) return applicationFor(e.pid);
    if (e.kind == AtspiElement::Kind::Node && e.node) {
      bool ok = false;
      if (roleOf(e.node.get(), &ok) == ATSPI_ROLE_APPLICATION && ok) return ref(e.node.get());
    }
    return nullptr;
  }

  std::vector<Accessible> windowsOf(AtspiAccessible* app) { return childrenOf(app); }

  Accessible activeWindowOf(AtspiAccessible* app) {
    for (auto& w : windowsOf(app)) {
      if (hasState(w.get(), ATSPI_STATE_ACTIVE)) return std::move(w);
    }
    return nullptr;
  }

  // The top-level window containing `a` (itself when it is one).
  Accessible windowContaining(AtspiAccessible* a) {
    Accessible current = ref(a);
    for (int depth = 0; depth < 256 && current; ++depth) {
      GError* raw = nullptr;
      Accessible parent(atspi_accessible_get_parent(current.get(), &raw));
      glib::Error error(raw);
      if (error || !parent) return nullptr;
      bool ok = false;
      if (roleOf(parent.get(), &ok) == ATSPI_ROLE_APPLICATION && ok) return current;
      current = std::move(parent);
    }
    return nullptr;
  }

  // The X11 top-level window that shows the AT-SPI window `w`: same process,
  // then best by title and geometry.
  std::optional<TopLevelWindow> x11WindowFor(AtspiAccessible* w) {
    int pid = pidOf(w);
    bool ok = false;
    std::string name = nameOf(w, &ok);
    auto extents = extentsOf(w);
    std::optional<TopLevelWindow> best;
    int bestScore = -1;
    for (const TopLevelWindow& t : windows.stackingOrder()) {
      if (pid > 0 && t.pid != pid) continue;
      int score = 0;
      if (ok && t.name == name) score += 2;
      if (extents && std::abs(t.frameRect.origin.x - extents->x) < 1 &&
          std::abs(t.frameRect.origin.y - extents->y) < 1) {
        score += 1;
      }
      if (t.viewable) score += 1;
      if (score > bestScore) {
        bestScore = score;
        best = t;
      }
    }
    return best;
  }

  // Position of `w` in the X11 stacking order (higher is nearer the top).
  int stackIndexOf(AtspiAccessible* w, const std::vector<TopLevelWindow>& stack) {
    auto match = x11WindowFor(w);
    if (!match) return -1;
    for (std::size_t i = 0; i < stack.size(); ++i) {
      if (stack[i].frame == match->frame) return static_cast<int>(i);
    }
    return -1;
  }

  AXStatus readApplication(AtspiAccessible* app, AXAttribute attribute, AXValue& out) {
    switch (attribute) {
      case AXAttribute::FocusedWindow: {
        Accessible w = activeWindowOf(app);
        if (!w) return AXStatus::NoValue;
        out = makeNode(std::move(w));
        return AXStatus::Success;
      }
      case AXAttribute::Frontmost:
        out = activeWindowOf(app) != nullptr;
        return AXStatus::Success;
      case AXAttribute::Hidden: {
        auto ws = windowsOf(app);
        bool anyVisible = std::any_of(ws.begin(), ws.end(), [](const Accessible& w) {
          return hasState(w.get(), ATSPI_STATE_VISIBLE);
        });
        out = !ws.empty() && !anyVisible;
        return AXStatus::Success;
      }
      case AXAttribute::Windows: {
        ElementArray array;
        for (auto& w : windowsOf(app)) array.push_back(makeNode(std::move(w)));
        out = std::move(array);
        return AXStatus::Success;
      }
      case AXAttribute::Title: {
        bool ok = false;
        std::string name = nameOf(app, &ok);
        if (!ok) return AXStatus::Failure;
        out = name;
        return AXStatus::Success;
      }
      case AXAttribute::Role:
        out = std::string("application");
        return AXStatus::Success;
      default:
        return AXStatus::AttributeUnsupported;
    }
  }

  AXStatus readNode(AtspiAccessible* node, AXAttribute attribute, AXValue& out) {
    bool ok = false;
    AtspiRole role = roleOf(node, &ok);
    if (!ok) return AXStatus::InvalidElement;
    if (role == ATSPI_ROLE_APPLICATION) return readApplication(node, attribute, out);
    switch (attribute) {
      case AXAttribute::Position:
      case AXAttribute::Size: {
        auto extents = extentsOf(node);
        if (!extents) return AXStatus::AttributeUnsupported;
        if (attribute == AXAttribute::Position) {
          out = Point{static_cast<double>(extents->x), static_cast<double>(extents->y)};
        } else {
          out = Size{static_cast<double>(extents->width), static_cast<double>(extents->height)};
        }
        return AXStatus::Success;
      }
      case AXAttribute::Role: {
        if (isTopLevelRole(role)) {
          out = std::string(kWindowRole);
        } else {
          glib::String name(atspi_role_get_name(role));
          out = std::string(name ? name.get() : "unknown");
        }
        return AXStatus::Success;
      }
      case AXAttribute::Title: {
        std::string name = nameOf(node, &ok);
        if (!ok) return AXStatus::Failure;
        out = name;
        return AXStatus::Success;
      }
      case AXAttribute::Minimized:
        if (!isTopLevelRole(role)) return AXStatus::AttributeUnsupported;
        out = hasState(node, ATSPI_STATE_ICONIFIED);
        return AXStatus::Success;
      case AXAttribute::Main:
        if (!isTopLevelRole(role)) return AXStatus::AttributeUnsupported;
        out = hasState(node, ATSPI_STATE_ACTIVE);
        return AXStatus::Success;
      case AXAttribute::Window: {
        Accessible w = windowContaining(node);
        if (!w) return AXStatus::NoValue;
        out = makeNode(std::move(w));
        return AXStatus::Success;
      }
      default:
        return AXStatus::AttributeUnsupported;
    }
  }

  AXStatus read(const AtspiElement& e, AXAttribute attribute, AXValue& out) {
    switch (e.kind) {
      case AtspiElement::Kind::SystemWide: {
        if (attribute != AXAttribute::FocusedApplication) return AXStatus::AttributeUnsupported;
        for (auto& app : applications()) {
          if (activeWindowOf(app.get())) {
            int pid = pidOf(app.get());
            if (pid <= 0) continue;
            out = makeApplication(pid);
            return AXStatus::Success;
          }
        }
        return AXStatus::NoValue;
      }
      case AtspiElement::Kind::Application: {
        Accessible app = applicationFor(e.pid);
        if (!app) return AXStatus::InvalidElement;
        return readApplication(app.get(), attribute, out);
      }
      case AtspiElement::Kind::Node:
        if (!e.node) return AXStatus::IllegalArgument;
        return readNode(e.node.get(), attribute, out);
    }
    return AXStatus::Failure;
  }

  AXStatus write(const AtspiElement& e, AXAttribute attribute, const AXValue& value) {
    if (attribute == AXAttribute::Frontmost) {
      auto* b = std::get_if<bool>(&value);
      if (!b) return AXStatus::IllegalArgument;
      if (!*b) return AXStatus::AttributeUnsupported;
      Accessible app = applicationOf(e);
      if (!app) return AXStatus::InvalidElement;
      int pid = pidOf(app.get());
      return bringForward(pid) ? AXStatus::Success : AXStatus::CannotComplete;
    }
    if (e.kind != AtspiElement::Kind::Node || !e.node) return AXStatus::AttributeUnsupported;
    AtspiAccessible* node = e.node.get();
    bool ok = false;
    AtspiRole role = roleOf(node, &ok);
    if (!ok) return AXStatus::InvalidElement;
    switch (attribute) {
      case AXAttribute::Position: {
        auto* p = std::get_if<Point>(&value);
        if (!p || !std::isfinite(p->x) || !std::isfinite(p->y) || std::abs(p->x) > 32767 ||
            std::abs(p->y) > 32767) {
          return AXStatus::IllegalArgument;
        }
        if (setThroughComponent(node, [&](AtspiComponent* c, GError** err) {
              return atspi_component_set_position(c, static_cast<gint>(p->x),
                                                  static_cast<gint>(p->y), ATSPI_COORD_TYPE_SCREEN,
                                                  err);
            })) {
          return AXStatus::Success;
        }
        if (!isTopLevelRole(role)) return AXStatus::CannotComplete;
        auto x = x11WindowFor(node);
        return x && windows.moveWindow(x->client, *p) ? AXStatus::Success
                                                      : AXStatus::CannotComplete;
      }
      case AXAttribute::Size: {
        auto* s = std::get_if<Size>(&value);
        if (!s || !(s->width >= 0 && s->height >= 0 && s->width <= 32767 && s->height <= 32767)) {
          return AXStatus::IllegalArgument;
        }
        if (setThroughComponent(node, [&](AtspiComponent* c, GError** err) {
              return atspi_component_set_size(c, static_cast<gint>(s->width),
                                              static_cast<gint>(s->height), err);
            })) {
          return AXStatus::Success;
        }
        if (!isTopLevelRole(role)) return AXStatus::CannotComplete;
        auto x = x11WindowFor(node);
        return x && windows.resizeWindow(x->client, *s) ? AXStatus::Success
                                                        : AXStatus::CannotComplete;
      }
      case AXAttribute::Main: {
        auto* b = std::get_if<bool>(&value);
        if (!b) return AXStatus::IllegalArgument;
        if (!*b || !isTopLevelRole(role)) return AXStatus::AttributeUnsupported;
        auto x = x11WindowFor(node);
        if (!x || !windows.activate(x->client)) return AXStatus::CannotComplete;
        if (x->pid > 0) lastActivated[x->pid] = x->client;
        return AXStatus::Success;
      }
      default:
        return AXStatus::AttributeUnsupported;
    }
  }

  template <class F>
  bool setThroughComponent(AtspiAccessible* node, F set) {
    glib::Object<AtspiComponent> component(atspi_accessible_get_component_iface(node));
    if (!component) return false;
    GError* raw = nullptr;
    gboolean done = set(component.get(), &raw);
    glib::Error error(raw);
    return done && !error;
  }

  bool bringForward(int pid) {
    if (pid <= 0) return false;
    auto stack = windows.stackingOrder();
    if (auto last = lastActivated.find(pid); last != lastActivated.end()) {
      for (const TopLevelWindow& t : stack) {
        if (t.client == last->second && t.viewable && t.pid == pid) {
          return windows.activate(t.client);
        }
      }
      lastActivated.erase(last);
    }
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
      if (it->viewable && it->pid == pid) return windows.activate(it->client);
    }
    return false;
  }

  AXStatus hitTest(const AtspiElement& e, int x, int y, ElementRef& out) {
    std::vector<Accessible> apps;
    if (e.kind == AtspiElement::Kind::SystemWide) {
      apps = applications();
    } else if (Accessible app = applicationOf(e)) {
      apps.push_back(std::move(app));
    } else {
      return AXStatus::IllegalArgument;
    }
    auto stack = windows.stackingOrder();
    Accessible best;
    int bestRank = -2;
    for (auto& app : apps) {
      for (auto& w : windowsOf(app.get())) {
        if (!hasState(w.get(), ATSPI_STATE_SHOWING) || hasState(w.get(), ATSPI_STATE_ICONIFIED)) {
          continue;
        }
        auto r = extentsOf(w.get());
        if (!r || x < r->x || y < r->y || x >= r->x + r->width || y >= r->y + r->height) continue;
        // Without X11 stacking, the active window counts as the top one.
        int rank = stack.empty() ? (hasState(w.get(), ATSPI_STATE_ACTIVE) ? 1 : 0)
                                 : stackIndexOf(w.get(), stack);
        if (rank > bestRank) {
          bestRank = rank;
          best = std::move(w);
        }
      }
    }
    if (!best) return AXStatus::NoValue;
    Accessible current = std::move(best);
    for (int depth = 0; depth < 64; ++depth) {
      glib::Object<AtspiComponent> component(atspi_accessible_get_component_iface(current.get()));
      if (!component) break;
      GError* raw = nullptr;
      Accessible child(atspi_component_get_accessible_at_point(component.get(), x, y,
                                                               ATSPI_COORD_TYPE_SCREEN, &raw));
      glib::Error error(raw);
      if (error || !child || child.get() == current.get()) break;
      current = std::move(child);
    }
    out = makeNode(std::move(current));
    return AXStatus::Success;
  }
};

AtspiAccessibilityService::AtspiAccessibilityService(X11WindowSystem& windows)
    : impl_(std::make_unique<Impl>(windows)) {}

AtspiAccessibilityService::~AtspiAccessibilityService() = default;

ElementRef AtspiAccessibilityService::createSystemWide() {
  auto e = std::make_shared<AtspiElement>();
  e->kind = AtspiElement::Kind::SystemWide;
  return e;
}

ElementRef AtspiAccessibilityService::createApplication(int pid) { return makeApplication(pid); }

AXStatus AtspiAccessibilityService::copyAttributeValue(const ElementRef& element,
                                                       AXAttribute attribute, AXValue& out) {
  auto* e = dynamic_cast<const AtspiElement*>(element.get());
  if (!e) return AXStatus::IllegalArgument;
  std::lock_guard lock(mutex_);
  if (!impl_->ready()) return AXStatus::CannotComplete;
  return impl_->read(*e, attribute, out);
}

AXStatus AtspiAccessibilityService::setAttributeValue(const ElementRef& element,
                                                      AXAttribute attribute, const AXValue& value) {
  auto* e = dynamic_cast<const AtspiElement*>(element.get());
  if (!e) return AXStatus::IllegalArgument;
  std::lock_guard lock(mutex_);
  if (!impl_->ready()) return AXStatus::CannotComplete;
  return impl_->write(*e, attribute, value);
}

AXStatus AtspiAccessibilityService::getPid(const ElementRef& element, int& pid) {
  auto* e = dynamic_cast<const AtspiElement*>(element.get());
  if (!e) return AXStatus::IllegalArgument;
  if (e->kind == AtspiElement::Kind::Application) {
    pid = e->pid;
    return AXStatus::Success;
  }
  if (e->kind != AtspiElement::Kind::Node || !e->node) return AXStatus::IllegalArgument;
  std::lock_guard lock(mutex_);
  int found = pidOf(e->node.get());
  if (found <= 0 || isDefunct(e->node.get())) return AXStatus::InvalidElement;
  pid = found;
  return AXStatus::Success;
}

AXStatus AtspiAccessibilityService::copyElementAtPosition(const ElementRef& element, float x,
                                                          float y, ElementRef& out) {
  auto* e = dynamic_cast<const AtspiElement*>(element.get());
  if (!e) return AXStatus::IllegalArgument;
  if (!std::isfinite(x) || !std::isfinite(y) || std::abs(x) > 1e6f || std::abs(y) > 1e6f) {
    return AXStatus::IllegalArgument;
  }
  std::lock_guard lock(mutex_);
  if (!impl_->ready()) return AXStatus::CannotComplete;
  return impl_->hitTest(*e, static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)), out);
}

bool AtspiAccessibilityService::bringFrontWindowForward(int pid) {
  std::lock_guard lock(mutex_);
  return impl_->bringForward(pid);
}

}  // namespace nuv::linux_backend
