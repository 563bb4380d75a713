"""A plain GTK 3 test window for the desktop integration tests.

Usage: gtk_window.py TITLE COLOR X Y WIDTH HEIGHT
Shows an undecorated window filled with COLOR (#rrggbb) at (X, Y), with one
small button in its top-left corner, prints "ready xid=<X window> pid=<pid>"
once the window is on screen, and runs until its standard input closes.
"""

import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import Gdk, GdkX11, GLib, Gtk  # noqa: E402,F401  (GdkX11: get_xid)


def main():
    title, color = sys.argv[1], sys.argv[2]
    x, y, width, height = (int(v) for v in sys.argv[3:7])

    css = Gtk.CssProvider()
    css.load_from_data(
        ("window { background-color: %s; } button { margin: 4px; }" % color).encode())
    Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css,
                                             Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)

    win = Gtk.Window(title=title)
    win.set_decorated(False)
    win.set_default_size(width, height)
    win.move(x, y)
    fixed = Gtk.Fixed()
    button = Gtk.Button(label="Press")
    button.set_size_request(60, 30)
    fixed.put(button, 0, 0)
    win.add(fixed)

    def announce(*_):
        print("ready xid=%d pid=%d" % (win.get_window().get_xid(), os.getpid()), flush=True)
        return False

    win.connect("map-event", lambda *_: GLib.timeout_add(200, announce) and False)
    win.show_all()
    # Any input, its end or an error ends the window (main_quit's None removes the watch).
    GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.PRIORITY_DEFAULT,
                      GLib.IOCondition.HUP | GLib.IOCondition.IN | GLib.IOCondition.ERR,
                      lambda *_: Gtk.main_quit())
    Gtk.main()


if __name__ == "__main__":
    main()
