"""Reads an application's accessibility tree for the integration tests.

Usage: atspi_tree.py APP_NAME
Runs until its standard input closes. For each line it reads it answers one
line of JSON:
  "tree"             the application's windows as nested nodes
                     {"role", "name", "description", "value"?, "children"}
                     (null while the application is not on the bus)
  "act ROLE NAME"    performs the first action of the first node with that
                     role that is named NAME or shows a label NAME (roles
                     with spaces written with '_');
                     answers true when one was found
GTK 4 leaves hidden widgets out of the tree, so what is in it is shown.
libatspi's cache is dropped before every read, so answers are always fresh.
"""

import json
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

MAX_NODES = 5000


def application(name):
    desktop = Atspi.get_desktop(0)
    desktop.clear_cache()
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            app.clear_cache()
            return app
    return None


def node(acc, budget):
    budget[0] -= 1
    out = {"role": acc.get_role_name(), "name": acc.get_name() or "",
           "description": acc.get_description() or "", "children": []}
    if "Value" in acc.get_interfaces():
        out["value"] = Atspi.Value.get_current_value(acc)
    out["states"] = sorted(Atspi.StateType(s).value_nick
                           for s in acc.get_state_set().get_states())
    for i in range(acc.get_child_count()):
        if budget[0] <= 0:
            break
        child = acc.get_child_at_index(i)
        if child is not None:
            out["children"].append(node(child, budget))
    return out


def walk(acc):
    yield acc
    for i in range(acc.get_child_count()):
        child = acc.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def shows(acc, name):
    """Whether `acc` is named `name` or shows a label with that text (GTK 4.8
    names some buttons "Cancel Cancel")."""
    return acc.get_name() == name or any(
        child.get_role_name() == "label" and child.get_name() == name for child in walk(acc))


def act(app, role, name):
    for acc in walk(app):
        if acc.get_role_name() == role and shows(acc, name):
            if "Action" in acc.get_interfaces() and Atspi.Action.get_n_actions(acc) > 0:
                return Atspi.Action.do_action(acc, 0)
    return False


def main():
    Atspi.init()
    for line in sys.stdin:
        words = line.split() or [""]
        answer = None
        try:
            app = application(sys.argv[1])
            if app is not None and words[0] == "tree":
                answer = [node(app.get_child_at_index(i), [MAX_NODES])
                          for i in range(app.get_child_count())]
            elif app is not None and words[0] == "act":
                answer = act(app, words[1].replace("_", " "), " ".join(words[2:]))
        except gi.repository.GLib.Error as error:  # the application went meanwhile
            answer = {"error": str(error)}
        print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main()
