#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "DeviceHistoryPage.h"
#include "DeviceRowModel.h"
#include "DeviceRowWidget.h"
#include "ModuleStarter.h"
#include "client/HostFollower.h"
#include "platform/linux/GlibHandles.h"

namespace nuvdevices {

// The one window of nuv-devices: a header bar (Back, Refresh, a menu with
// "Stop NUVModule…") over a stack of two pages that slide:
//   - the list, which shows one of
//     - the devices, one row each (DeviceRowWidget), at most kMaxRows;
//     - "No devices yet" while the module runs with an empty map;
//     - "Connecting…" while the module runs and its map is not read yet;
//     - "NUVModule is not running" with a Start button, or "Starting…";
//   - one device's page (DeviceHistoryPage), opened by a click on its row or
//     by showDevice(), with the device's name as the window's title. Back,
//     Escape and Alt+Left return to the list. A device that leaves the map
//     keeps its page, which then says so.
// The rows outlive the module: when it stops and comes back (a relaunch after
// wake) they are shown again at once and then replaced by its map.
//
// The actions live on the application, so the desktop and tests can trigger
// them over the bus too: app.refresh, app.stop-module (asks first),
// app.start-module and app.quit (closes the window). The menu also offers
// app.preferences, which the application provides. win.back is the window's.
//
// Loop thread only. The object must outlive the GtkWindow's use of it: the
// application keeps it until its main loop has ended.
class DevicesWindow {
 public:
  // `bus` may be null (no session bus): the window then says so.
  DevicesWindow(GtkApplication* app, GDBusConnection* bus, const nuv::Clock& clock);
  ~DevicesWindow();
  DevicesWindow(const DevicesWindow&) = delete;
  DevicesWindow& operator=(const DevicesWindow&) = delete;

  void present();
  // Opens the page of the device with this map key (also one not in the map:
  // its history may still be there). Without a session bus it does nothing.
  void showDevice(const std::string& key);
  // The user closed the window; the object only waits to be destroyed.
  bool closed() const { return windowGone_; }
  GtkWindow* gtkWindow() const { return GTK_WINDOW(window_.get()); }

  static constexpr std::size_t kMaxRows = 100;
  // The application's identity: its bus name, .desktop file and icon name.
  static constexpr const char* kAppId = "vemo.Tallyport.NUVDevices";

 private:
  enum class Page { NotRunning, Starting, Connecting, NoDevices, Devices };

  void buildHeader();
  void buildPages();
  void addActions();
  GtkWidget* statusPage();

  void onRunning(bool running);
  void onDevices(const nuvclient::StackPayload& map);
  void onStarted(bool ok, const std::string& message);
  void askToStop();
  void startModule();
  void showList();
  void followShownDevice();

  Page page() const;
  void render();
  void renderRows();
  void renderStatus(Page page);
  void scheduleAgeRefresh();
  static int onAgeTimer(void* self);
  static int onStartTimeout(void* self);

  GtkApplication* app_;
  bool haveBus_;
  DeviceRowModel model_;
  ModuleStarter starter_;

  nuv::glib::Object<GtkWidget> window_;
  GtkWidget* title_ = nullptr;
  GtkWidget* subtitle_ = nullptr;
  GtkWidget* stack_ = nullptr;
  GtkWidget* listPage_ = nullptr;
  GtkWidget* devicesPage_ = nullptr;
  GtkWidget* statusPage_ = nullptr;
  GtkWidget* list_ = nullptr;
  GtkWidget* overflow_ = nullptr;
  GtkWidget* statusIcon_ = nullptr;
  GtkWidget* statusTitle_ = nullptr;
  GtkWidget* statusText_ = nullptr;
  GtkWidget* statusSpinner_ = nullptr;
  GtkWidget* startButton_ = nullptr;
  std::vector<std::unique_ptr<DeviceRowWidget>> rows_;  // in display order

  GSimpleAction* refreshAction_ = nullptr;  // owned by the application
  GSimpleAction* stopAction_ = nullptr;
  GSimpleAction* startAction_ = nullptr;
  GSimpleAction* backAction_ = nullptr;  // owned by the window

  bool watched_ = false;  // the bus has told whether the module runs
  bool running_ = false;
  bool mapKnown_ = false;  // the running module's map has been read
  bool starting_ = false;  // Start pressed; waiting for systemctl or the name
  std::string startProblem_;
  bool windowGone_ = false;  // closed by the user; destroyed already
  unsigned ageTimer_ = 0;
  unsigned startTimer_ = 0;

  nuvclient::StackPayload map_;                 // the last map, for the device's page
  std::unique_ptr<DeviceHistoryPage> history_;  // none without a session bus

  // Last, so that it goes first: its callbacks use everything above.
  std::unique_ptr<nuvclient::HostFollower> client_;
};

}  // namespace nuvdevices
