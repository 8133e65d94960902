#!/usr/bin/python3
# Reads and presses a running application's widgets through AT-SPI, as
# assistive technology does. Needs Debian's python3 (for pyatspi) and the
# accessibility bus on the session bus.
#   atspi.py tree APP                 one line per accessible: depth, role, name
#                                     (a combo box's is its current item), the
#                                     label that names it, and its states
#                                     ("checked", "hidden" when not showing,
#                                     "value=N" of a progress bar)
#   atspi.py press APP ROLE NAME      does the first action of the first match
#   atspi.py point APP ROLE NAME      moves the pointer to the middle of it
# NAME matches an accessible's name or the label that names it.
# Exit status 1 when the application or the widget is not there.
import subprocess
import sys

import pyatspi


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name == name:
            return app
    return None


def walk(node, depth=0):
    yield depth, node
    for child in node:
        if child is not None:
            yield from walk(child, depth + 1)


def label(node):
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            return relation.getTarget(0).name
    return ""


def states(node):
    state = node.getState()
    found = []
    if state.contains(pyatspi.STATE_CHECKED):
        found.append("checked")
    if not state.contains(pyatspi.STATE_SHOWING):
        found.append("hidden")
    if node.getRoleName() == "progress bar":
        found.append("value=%d" % node.queryValue().currentValue)
    return ",".join(found)


def main(argv):
    app = application(argv[2])
    if app is None:
        return 1
    if argv[1] == "tree":
        for depth, node in walk(app):
            print("%d\t%s\t%s\t%s\t%s" % (depth, node.getRoleName(), node.name.replace("\n", " "),
                                        label(node), states(node)))
        return 0
    if argv[1] in ("press", "point"):
        for _, node in walk(app):
            if node.getRoleName() == argv[3] and argv[4] in (node.name, label(node)):
                if argv[1] == "press":
                    node.queryAction().doAction(0)
                    return 0
                box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                return subprocess.call(["xdotool", "mousemove", "--sync",
                                        str(box.x + box.width // 2), str(box.y + box.height // 2)])
        return 1
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
