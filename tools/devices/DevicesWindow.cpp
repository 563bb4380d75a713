#include "DevicesWindow.h"

#include <glib/gi18n.h>

#include <algorithm>

#include "client/DeviceStatus.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {
namespace {

using nuv::linux_backend::LocaleText;

constexpr int kStartTimeoutSeconds = 15;

GSimpleAction* addAction(GtkApplication* app, const char* name, GCallback callback, void* self) {
  GSimpleAction* action = g_simple_action_new(name, nullptr);
  g_signal_connect(action, "activate", callback, self);
  g_action_map_add_action(G_ACTION_MAP(app), G_ACTION(action));
  g_object_unref(action);  // the application holds it
  return action;
}

GtkWidget* iconButton(const char* icon, const char* label, const char* tooltip) {
  GtkWidget* button = gtk_button_new_from_icon_name(icon);
  gtk_widget_set_tooltip_text(button, tooltip);
  gtk_accessible_update_property(GTK_ACCESSIBLE(button), GTK_ACCESSIBLE_PROPERTY_LABEL, label, -1);
  return button;
}

}  // namespace

DevicesWindow::DevicesWindow(GtkApplication* app, GDBusConnection* bus, const nuv::Clock& clock)
    : app_(app), haveBus_(bus != nullptr), model_(clock) {
  window_.reset(GTK_WIDGET(g_object_ref_sink(gtk_application_window_new(app))));
  gtk_window_set_title(GTK_WINDOW(window_.get()), _("NUVModule Devices"));
  gtk_window_set_icon_name(GTK_WINDOW(window_.get()), kAppId);
  gtk_window_set_default_size(GTK_WINDOW(window_.get()), 660, 400);
  gtk_widget_add_css_class(window_.get(), "devices-window");
  g_signal_connect(window_.get(), "destroy", G_CALLBACK(+[](GtkWidget*, void* s) {
                     static_cast<DevicesWindow*>(s)->windowGone_ = true;
                   }),
                   this);
  if (bus) history_ = std::make_unique<DeviceHistoryPage>(bus, clock);
  addActions();
  buildHeader();
  buildPages();
  if (bus) {
    client_ = std::make_unique<nuvclient::HostFollower>(
        bus, nuvclient::HostFollower::Events{
                 [this](bool running) { onRunning(running); },
                 [this](const nuvclient::StackPayload& map) { onDevices(map); }});
  }
  render();
}

DevicesWindow::~DevicesWindow() {
  client_.reset();
  history_.reset();
  if (ageTimer_) g_source_remove(ageTimer_);
  if (startTimer_) g_source_remove(startTimer_);
  for (const char* name : {"refresh", "stop-module", "start-module", "quit"}) {
    g_action_map_remove_action(G_ACTION_MAP(app_), name);
  }
  rows_.clear();
  if (!windowGone_) gtk_window_destroy(GTK_WINDOW(window_.get()));
}

void DevicesWindow::present() { gtk_window_present(GTK_WINDOW(window_.get())); }

void DevicesWindow::addActions() {
  refreshAction_ = addAction(app_, "refresh", G_CALLBACK(+[](GSimpleAction*, GVariant*, void* s) {
                               auto* self = static_cast<DevicesWindow*>(s);
                               if (self->client_) self->client_->refresh();
                             }),
                             this);
  stopAction_ = addAction(app_, "stop-module", G_CALLBACK(+[](GSimpleAction*, GVariant*, void* s) {
                            static_cast<DevicesWindow*>(s)->askToStop();
                          }),
                          this);
  startAction_ =
      addAction(app_, "start-module", G_CALLBACK(+[](GSimpleAction*, GVariant*, void* s) {
                  static_cast<DevicesWindow*>(s)->startModule();
                }),
                this);
  addAction(app_, "quit", G_CALLBACK(+[](GSimpleAction*, GVariant*, void* s) {
              gtk_window_close(GTK_WINDOW(static_cast<DevicesWindow*>(s)->window_.get()));
            }),
            this);
  // Back is the window's: its keys must not reach the dialogs it opens.
  backAction_ = g_simple_action_new("back", nullptr);
  g_signal_connect(backAction_, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, void* s) {
                     static_cast<DevicesWindow*>(s)->showList();
                   }),
                   this);
  g_action_map_add_action(G_ACTION_MAP(window_.get()), G_ACTION(backAction_));
  g_object_unref(backAction_);
  GtkEventController* keys = gtk_shortcut_controller_new();
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(keys),
      gtk_shortcut_new(gtk_shortcut_trigger_parse_string("Escape|<Alt>Left"),
                       gtk_named_action_new("win.back")));
  gtk_widget_add_controller(window_.get(), keys);
  const char* refreshKeys[] = {"<Control>r", "F5", nullptr};
  const char* quitKeys[] = {"<Control>q", "<Control>w", nullptr};
  gtk_application_set_accels_for_action(app_, "app.refresh", refreshKeys);
  gtk_application_set_accels_for_action(app_, "app.quit", quitKeys);
}

void DevicesWindow::buildHeader() {
  GtkWidget* header = gtk_header_bar_new();
  GtkWidget* titles = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_valign(titles, GTK_ALIGN_CENTER);
  GtkWidget* title = title_ = gtk_label_new(nullptr);
  gtk_widget_add_css_class(title, "title");
  gtk_label_set_ellipsize(GTK_LABEL(title), PANGO_ELLIPSIZE_END);
  subtitle_ = gtk_label_new(nullptr);
  gtk_widget_add_css_class(subtitle_, "subtitle");
  gtk_box_append(GTK_BOX(titles), title);
  gtk_box_append(GTK_BOX(titles), subtitle_);
  gtk_header_bar_set_title_widget(GTK_HEADER_BAR(header), titles);

  GtkWidget* back =
      iconButton("go-previous-symbolic", _("Back"), _("Back to the devices (Alt+Left)"));
  gtk_actionable_set_action_name(GTK_ACTIONABLE(back), "win.back");
  // Shown only where there is a way back, as the action is enabled only there.
  g_object_bind_property(backAction_, "enabled", back, "visible", G_BINDING_SYNC_CREATE);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), back);

  GtkWidget* refresh = iconButton("view-refresh-symbolic", _("Refresh"),
                                  _("Ask NUVModule for fresh values now (Ctrl+R)"));
  gtk_actionable_set_action_name(GTK_ACTIONABLE(refresh), "app.refresh");
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), refresh);

  nuv::glib::Object<GMenu> menu(g_menu_new());
  nuv::glib::Object<GMenu> moduleSection(g_menu_new());
  g_menu_append(moduleSection.get(), _("Stop NUVModule\u2026"), "app.stop-module");
  nuv::glib::Object<GMenu> appSection(g_menu_new());
  g_menu_append(appSection.get(), _("Preferences"), "app.preferences");
  g_menu_append(appSection.get(), _("Quit"), "app.quit");
  g_menu_append_section(menu.get(), nullptr, G_MENU_MODEL(moduleSection.get()));
  g_menu_append_section(menu.get(), nullptr, G_MENU_MODEL(appSection.get()));
  GtkWidget* menuButton = gtk_menu_button_new();
  gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
  gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), G_MENU_MODEL(menu.get()));
  gtk_widget_set_tooltip_text(menuButton, _("Main menu"));
  gtk_accessible_update_property(GTK_ACCESSIBLE(menuButton), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 _("Main menu"), -1);
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), menuButton);

  gtk_window_set_titlebar(GTK_WINDOW(window_.get()), header);
}

void DevicesWindow::buildPages() {
  // The list page shows one of two, the rows or a status (hidden widgets,
  // not a stack's pages: a hidden widget also leaves the accessibility tree).
  GtkWidget* pages = listPage_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget* scroller = devicesPage_ = gtk_scrolled_window_new();
  gtk_widget_set_vexpand(scroller, TRUE);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_widget_add_css_class(column, "devices-page");
  list_ = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_NONE);
  gtk_widget_add_css_class(list_, "device-list");
  gtk_widget_set_valign(list_, GTK_ALIGN_START);
  gtk_accessible_update_property(GTK_ACCESSIBLE(list_), GTK_ACCESSIBLE_PROPERTY_LABEL, _("Devices"),
                                 -1);
  g_signal_connect(list_, "row-activated",
                   G_CALLBACK(+[](GtkListBox*, GtkListBoxRow* row, void* s) {
                     auto* self = static_cast<DevicesWindow*>(s);
                     const auto i = static_cast<std::size_t>(gtk_list_box_row_get_index(row));
                     if (i < self->rows_.size()) self->showDevice(self->rows_[i]->key());
                   }),
                   this);
  overflow_ = gtk_label_new(nullptr);
  gtk_widget_add_css_class(overflow_, "dim-label");
  gtk_widget_set_visible(overflow_, FALSE);
  gtk_box_append(GTK_BOX(column), list_);
  gtk_box_append(GTK_BOX(column), overflow_);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), column);
  gtk_box_append(GTK_BOX(pages), scroller);
  gtk_box_append(GTK_BOX(pages), statusPage());
  stack_ = gtk_stack_new();
  gtk_stack_set_transition_type(GTK_STACK(stack_), GTK_STACK_TRANSITION_TYPE_SLIDE_LEFT_RIGHT);
  gtk_stack_add_child(GTK_STACK(stack_), pages);
  if (history_) gtk_stack_add_child(GTK_STACK(stack_), history_->widget());
  gtk_window_set_child(GTK_WINDOW(window_.get()), stack_);
}

GtkWidget* DevicesWindow::statusPage() {
  GtkWidget* page = statusPage_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_add_css_class(page, "status-page");
  gtk_widget_set_vexpand(page, TRUE);
  gtk_widget_set_valign(page, GTK_ALIGN_CENTER);
  gtk_widget_set_halign(page, GTK_ALIGN_CENTER);
  statusIcon_ = gtk_image_new();
  gtk_image_set_pixel_size(GTK_IMAGE(statusIcon_), 80);
  gtk_widget_add_css_class(statusIcon_, "status-icon");
  statusTitle_ = gtk_label_new(nullptr);
  gtk_widget_add_css_class(statusTitle_, "status-title");
  gtk_label_set_wrap(GTK_LABEL(statusTitle_), TRUE);
  gtk_label_set_justify(GTK_LABEL(statusTitle_), GTK_JUSTIFY_CENTER);
  statusText_ = gtk_label_new(nullptr);
  gtk_widget_add_css_class(statusText_, "status-text");
  gtk_label_set_wrap(GTK_LABEL(statusText_), TRUE);
  gtk_label_set_justify(GTK_LABEL(statusText_), GTK_JUSTIFY_CENTER);
  gtk_label_set_max_width_chars(GTK_LABEL(statusText_), 56);
  gtk_label_set_selectable(GTK_LABEL(statusText_), FALSE);
  statusSpinner_ = gtk_spinner_new();
  gtk_widget_set_size_request(statusSpinner_, 24, 24);
  startButton_ = gtk_button_new_with_label(_("Start NUVModule"));
  gtk_actionable_set_action_name(GTK_ACTIONABLE(startButton_), "app.start-module");
  gtk_widget_add_css_class(startButton_, "suggested-action");
  gtk_widget_add_css_class(startButton_, "pill");
  gtk_widget_set_halign(startButton_, GTK_ALIGN_CENTER);
  for (GtkWidget* child : {statusIcon_, statusTitle_, statusText_, statusSpinner_, startButton_}) {
    gtk_box_append(GTK_BOX(page), child);
  }
  return page;
}

void DevicesWindow::onRunning(bool running) {
  watched_ = true;
  running_ = running;
  mapKnown_ = false;
  if (running) {
    starting_ = false;
    startProblem_.clear();
    if (startTimer_) g_source_remove(startTimer_);
    startTimer_ = 0;
  }
  followShownDevice();
  render();
}

void DevicesWindow::onDevices(const nuvclient::StackPayload& map) {
  model_.update(map);
  map_ = map;
  mapKnown_ = true;
  followShownDevice();
  render();
}

void DevicesWindow::showDevice(const std::string& key) {
  if (!history_) return;
  history_->open(key);
  followShownDevice();
  gtk_stack_set_visible_child(GTK_STACK(stack_), history_->widget());
  render();
}

void DevicesWindow::showList() {
  if (!history_) return;
  const std::string key = history_->key();
  history_->close();
  gtk_stack_set_visible_child(GTK_STACK(stack_), listPage_);
  render();
  // Back where the person left: the device's row has the focus.
  for (const auto& row : rows_) {
    if (row->key() == key) gtk_widget_grab_focus(row->widget());
  }
}

void DevicesWindow::followShownDevice() {
  if (!history_ || history_->key().empty()) return;
  const nuvclient::DeviceEntry* entry = nullptr;
  const bool mapCurrent = running_ && mapKnown_;
  for (const auto& e : map_.devices) {
    if (mapCurrent && e.key == history_->key()) entry = &e;
  }
  std::string name, notice;
  if (entry) {
    name = nuvclient::DeviceStatus::name(*entry);
  } else if (mapCurrent) {
    notice = LocaleText::format(
        // TRANSLATORS: %s is the device's name.
        _("%s is no longer among NUVModule's devices. Its history stays here until you go back."),
        history_->name().c_str());
  } else if (watched_ && !running_) {
    notice = _("NUVModule is not running: no new changes are kept until it is back.");
  }
  history_->update(entry, name, notice);
}

void DevicesWindow::startModule() {
  if (running_ || starter_.busy()) return;
  startProblem_.clear();
  starting_ = true;
  render();
  starter_.start([this](bool ok, const std::string& message) { onStarted(ok, message); });
}

void DevicesWindow::onStarted(bool ok, const std::string& message) {
  if (!ok) {
    starting_ = false;
    // TRANSLATORS: %s is what systemctl answered, usually in English.
    startProblem_ = LocaleText::format(_("It could not be started: %s"), message.c_str());
  } else if (!running_ && !startTimer_) {
    startTimer_ = g_timeout_add_seconds(kStartTimeoutSeconds, onStartTimeout, this);
  }
  render();
}

int DevicesWindow::onStartTimeout(void* data) {
  auto* self = static_cast<DevicesWindow*>(data);
  self->startTimer_ = 0;
  self->starting_ = false;
  // TRANSLATORS: %s is a command that shows the module's log.
  self->startProblem_ = LocaleText::format(_("It was started but does not answer. Its log: %s"),
                                           "journalctl --user -u nuvmodule");
  self->render();
  return G_SOURCE_REMOVE;
}

void DevicesWindow::askToStop() {
  if (!running_) return;
  GtkWidget* dialog = gtk_message_dialog_new(
      GTK_WINDOW(window_.get()),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", _("Stop NUVModule?"));
  gtk_message_dialog_format_secondary_text(
      GTK_MESSAGE_DIALOG(dialog), "%s",
      _("Your devices are no longer watched until NUVModule is started again. "
        "Its service does not restart it by itself."));
  gtk_dialog_add_button(GTK_DIALOG(dialog), _("Cancel"), GTK_RESPONSE_CANCEL);
  GtkWidget* stop =
      gtk_dialog_add_button(GTK_DIALOG(dialog), C_("the module", "Stop"), GTK_RESPONSE_ACCEPT);
  gtk_widget_add_css_class(stop, "destructive-action");

  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, void* s) {
                     auto* self = static_cast<DevicesWindow*>(s);
                     if (response == GTK_RESPONSE_ACCEPT && self->client_) {
                       self->client_->requestStop();
                     }
                     gtk_window_destroy(GTK_WINDOW(d));
                   }),
                   this);
  gtk_window_present(GTK_WINDOW(dialog));
}

DevicesWindow::Page DevicesWindow::page() const {
  // Until the bus has said whether the module runs, "not running" could be
  // a lie for a moment.
  if (!watched_ && haveBus_) return Page::Connecting;
  if (!running_) return starting_ ? Page::Starting : Page::NotRunning;
  if (!model_.empty()) return Page::Devices;
  return mapKnown_ ? Page::NoDevices : Page::Connecting;
}

void DevicesWindow::render() {
  const Page shown = page();
  g_simple_action_set_enabled(refreshAction_, running_);
  g_simple_action_set_enabled(stopAction_, running_);
  g_simple_action_set_enabled(startAction_, haveBus_ && !running_ && !starting_);

  std::string subtitle;
  switch (shown) {
    case Page::Devices:
      subtitle =
          LocaleText::format(ngettext("%zu device", "%zu devices", model_.size()), model_.size());
      break;
    case Page::NoDevices:
      subtitle = _("No devices");
      break;
    case Page::Connecting:
      subtitle = _("Connecting\u2026");
      break;
    case Page::Starting:
      subtitle = _("Starting NUVModule\u2026");
      break;
    case Page::NotRunning:
      subtitle = _("NUVModule is not running");
      break;
  }
  const bool devicePage = history_ && !history_->key().empty();
  if (devicePage) subtitle = _("Battery history");
  gtk_label_set_text(GTK_LABEL(title_), devicePage ? history_->name().c_str() : _("Devices"));
  gtk_label_set_text(GTK_LABEL(subtitle_), subtitle.c_str());
  g_simple_action_set_enabled(backAction_, devicePage);
  // A stack keeps its hidden page in the accessibility tree; screen readers
  // must not read it.
  gtk_accessible_update_state(GTK_ACCESSIBLE(listPage_), GTK_ACCESSIBLE_STATE_HIDDEN, devicePage,
                              -1);
  if (history_) {
    gtk_accessible_update_state(GTK_ACCESSIBLE(history_->widget()), GTK_ACCESSIBLE_STATE_HIDDEN,
                                !devicePage, -1);
  }

  if (shown == Page::Devices) {
    renderRows();
  } else {
    renderStatus(shown);
  }
  gtk_widget_set_visible(devicesPage_, shown == Page::Devices);
  gtk_widget_set_visible(statusPage_, shown != Page::Devices);
  scheduleAgeRefresh();
}

void DevicesWindow::renderRows() {
  std::vector<DeviceRow> rows = model_.rows();
  const std::size_t hidden = rows.size() > kMaxRows ? rows.size() - kMaxRows : 0;
  rows.resize(rows.size() - hidden);

  const bool sameOrder =
      std::equal(rows.begin(), rows.end(), rows_.begin(), rows_.end(),
                 [](const DeviceRow& row, const auto& widget) { return widget->key() == row.key; });
  if (!sameOrder) {
    // New devices, devices gone, or a rename moved a row: lay the list out
    // again, keeping the widgets of the devices that stay.
    std::vector<std::unique_ptr<DeviceRowWidget>> old = std::move(rows_);
    rows_.clear();
    for (auto& widget : old) gtk_list_box_remove(GTK_LIST_BOX(list_), widget->widget());
    for (const auto& row : rows) {
      auto reuse = std::find_if(old.begin(), old.end(),
                                [&](const auto& w) { return w && w->key() == row.key; });
      rows_.push_back(reuse != old.end() ? std::move(*reuse) : std::make_unique<DeviceRowWidget>());
      gtk_list_box_append(GTK_LIST_BOX(list_), rows_.back()->widget());
    }
  }
  for (std::size_t i = 0; i < rows.size(); ++i) rows_[i]->show(rows[i]);

  gtk_widget_set_visible(overflow_, hidden > 0);
  if (hidden) {
    const std::string text = LocaleText::format(
        ngettext("\u2026and %'zu more device", "\u2026and %'zu more devices", hidden), hidden);
    gtk_label_set_text(GTK_LABEL(overflow_), text.c_str());
  }
}

void DevicesWindow::renderStatus(Page shown) {
  const char* icon = kAppId;
  std::string title, text;
  bool busy = false;
  switch (shown) {
    case Page::NotRunning:
      title = _("NUVModule is not running");
      text = haveBus_ ? _("Start it to see the battery of your iPhone, iPad or iPod here.")
                      : _("There is no session bus, so NUVModule cannot be reached.");
      if (!startProblem_.empty()) text += "\n\n" + startProblem_;
      break;
    case Page::Starting:
      title = _("Starting NUVModule\u2026");
      busy = true;
      break;
    case Page::Connecting:
      title = _("Connecting to NUVModule\u2026");
      busy = true;
      break;
    case Page::NoDevices:
      icon = "phone-apple-iphone-symbolic";
      title = _("No devices yet");
      text =
          _("Connect an iPhone, iPad or iPod with a USB cable and unlock it. "
            "It shows up here within a few seconds.");
      break;
    case Page::Devices:
      break;
  }
  gtk_image_set_from_icon_name(GTK_IMAGE(statusIcon_), icon);
  gtk_label_set_text(GTK_LABEL(statusTitle_), title.c_str());
  gtk_label_set_text(GTK_LABEL(statusText_), text.c_str());
  gtk_widget_set_visible(statusText_, !text.empty());
  gtk_widget_set_visible(statusSpinner_, busy);
  gtk_spinner_set_spinning(GTK_SPINNER(statusSpinner_), busy);
  gtk_widget_set_visible(startButton_, shown == Page::NotRunning && haveBus_);
}

void DevicesWindow::scheduleAgeRefresh() {
  if (ageTimer_) g_source_remove(ageTimer_);
  ageTimer_ = 0;
  if (page() != Page::Devices) return;
  const auto wait = model_.untilAgeTextChanges();
  ageTimer_ = g_timeout_add(static_cast<unsigned>(wait.count()), onAgeTimer, this);
}

int DevicesWindow::onAgeTimer(void* data) {
  auto* self = static_cast<DevicesWindow*>(data);
  self->ageTimer_ = 0;
  self->render();
  return G_SOURCE_REMOVE;
}

}  // namespace nuvdevices
