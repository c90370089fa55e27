# accessibility.py VARNHOLT MACHINE_HIVE USER_HIVE: each window as a screen reader or an automation
# tool sees and drives it over AT-SPI, as an ordinary user in that user's session (the window's
# owners: elevation.sh): the helper writes the machine hive, and a key monitor of the user's learns
# no typed character of a password.
import os, subprocess, sys, time
import pyatspi
from gi.repository import Gio, GLib

program, machine_hive, user_hive = sys.argv[1:]
failures = 0
def check(what, actual, expected):
    global failures
    print(f"ok: {what}" if actual == expected else f"FAIL: {what}: got {actual!r}, expected {expected!r}")
    failures += actual != expected

def soon(get):  # asks again for five seconds, taking in events meanwhile
    end = time.time() + 5
    while not (value := get()) and time.time() < end:
        GLib.MainContext.default().iteration(False) or time.sleep(0.02)
    return value

# Accessibility on, as a screen reader turns it on.
Gio.bus_get_sync(Gio.BusType.SESSION, None).call_sync("org.a11y.Bus", "/org/a11y/bus",
    "org.freedesktop.DBus.Properties", "Set", GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled",
    GLib.Variant("b", True))), None, 0, 5000, None)
events, keys = [], []
pyatspi.Registry.registerEventListener(lambda e: events.append((e.type, str(e.any_data))), "object:text-changed")
pyatspi.Registry.registerKeystrokeListener(lambda e: keys.append((e.event_string, e.id)) and False,
    kind=(pyatspi.KEY_PRESSED_EVENT, pyatspi.KEY_RELEASED_EVENT), mask=pyatspi.allModifiers())
run = subprocess.Popen([program])

def window(title, expected):  # checks the role and name of each control; returns them by name
    found = soon(lambda: [w for app in pyatspi.Registry.getDesktop(0) if app for w in app if w and w.name == title])
    if not found: run.kill(); sys.exit(f"FAIL: no window {title}")
    controls = pyatspi.findAllDescendants(found[0], lambda node: True)
    check(f"{title}'s controls", [(c.getRoleName(), c.name) for c in controls], expected)
    return {c.name: c for c in controls}

def hive_holds(path, value): return soon(lambda: os.path.exists(path) and value in open(path, encoding="utf-16").read())

login = window("Login", [("password text", "Password"), ("label", "Initial Password: mango"), ("push button", "Login")])
subprocess.run(["xdotool", "search", "--name", "^Login$", "windowfocus", "--sync"], check=True)
subprocess.run(["xdotool", "type", "--delay", "50", "S3cr#t"], check=True)
soon(lambda: len(keys) >= 12)
check("a key monitor gets each key of the password as '*', the box each character",
    [sorted(set(keys)), soon(lambda: login["Password"].queryText().characterCount == 6)], [[("*", 0x2a)], True])
subprocess.run(["xdotool", "key", "ctrl+a", "keydown", "Insert", "key", "h", "keyup", "Insert"], check=True)
check("commands (Control, a screen reader's Insert) go as they are",
    [soon(lambda: any(key == 0x61 for _, key in keys)), soon(lambda: any(key == 0x68 for _, key in keys))], [True, True])
login["Login"].queryAction().doAction(0)
login["Password"].queryEditableText().setTextContents("mango")
login["Login"].queryAction().doAction(0)
main = window("Varnholt", [("push button", "Change Password"), ("panel", "USB storage"), ("radio button", "Read/Write"),
    ("radio button", "ReadOnly"), ("radio button", "Disable"), ("check box", "Disable Regedit"),
    ("label", "All the above-mentioned settings will not affect your USB mouse or keyboard."), ("image", "USB storage: disabled")])
main["ReadOnly"].queryAction().doAction(0)  # Toggle
check("ReadOnly toggled reaches the hive", hive_holds(machine_hive, '"WriteProtect"=dword:00000001'), True)
check("the helper wrote it", os.stat(machine_hive).st_uid, 0)
check("the picture says the mode", soon(lambda: main["USB storage: disabled"].name == "USB storage: read-only"), True)
main["Disable Regedit"].queryAction().doAction(0)
check("the check box toggled reaches the user hive", hive_holds(user_hive, '"DisableRegistryTools"=dword:00000001'), True)
main["Change Password"].queryAction().doAction(0)
dialog = window("SetPassword", [("label", "Current Password"), ("password text", "Current Password"), ("label", "New Password"),
    ("password text", "New Password"), ("label", "Confirm Password"), ("password text", "Confirm Password"), ("label", ""), ("push button", "Change")])
main["Read/Write"].queryAction().doAction(0)  # the dialog holds the main window off
dialog["Current Password"].queryEditableText().setTextContents("wrong")
dialog["Change"].queryAction().doAction(0)
check("the main window took nothing meanwhile", [hive_holds(machine_hive, '"WriteProtect"=dword:00000001'),
    main["Read/Write"].getState().contains(pyatspi.STATE_CHECKED)], [True, False])
check("no event tells a typed character", [text for kind, text in events if kind.startswith("object:text-changed") and set(text) - {"*"}], [])
run.kill()
sys.exit(failures > 0)
