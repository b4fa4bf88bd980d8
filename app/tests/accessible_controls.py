#!/usr/bin/python3
# Lists the controls and texts of a running program as the desktop's accessibility bus (AT-SPI)
# shows them to screen readers: one JSON array of {role, name, description, enabled}.
# Usage: accessible_controls.py APP_NAME PID
import json, sys, time
import pyatspi

pyatspi.setTimeout(5000, -1)
ROLES = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_LABEL}

def find_app(name, pid):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == name and app.get_process_id() == pid:
            return app

def main():
    name, pid = sys.argv[1], int(sys.argv[2])
    deadline = time.monotonic() + 15
    app = None
    while app is None and time.monotonic() < deadline:
        app = find_app(name, pid)
        if app is None:
            time.sleep(0.1)
    if app is None:
        sys.exit(f"{name} ({pid}) is not on the accessibility bus")
    found = []
    for obj in pyatspi.findAllDescendants(app, lambda o: o is not None and o.getRole() in ROLES):
        state = obj.getState()
        if not state.contains(pyatspi.STATE_SHOWING):
            continue
        found.append({"role": obj.getRoleName(), "name": obj.name, "description": obj.description,
                      "enabled": state.contains(pyatspi.STATE_ENABLED) and state.contains(pyatspi.STATE_SENSITIVE)})
    print(json.dumps(found, ensure_ascii=False))

main()
