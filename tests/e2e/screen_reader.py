# screen_reader.py VARNHOLT MACHINE_HIVE: what Orca, as Debian ships it, says while a blind user
# goes through every window with the keyboard alone. Orca speaks to no server; each line it would
# have said is in its debug log.
import os, re, subprocess, sys, tempfile, time

program, machine_hive = sys.argv[1:]
failures = 0
prefs = tempfile.mkdtemp()
log = os.path.join(prefs, "debug.log")
with open(os.path.join(prefs, "user-settings.conf"), "w") as f:  # no speech server to wait for
    f.write('{"general": {"speechServerFactory": "none", "speechFactoryModules": []}, "pronunciations": {},'
            ' "keybindings": {}, "profiles": {"default": {"profile": ["Default", "default"]}}}')
with open(os.path.join(prefs, "orca-customizations.py"), "w") as f:  # the log read as it grows
    f.write("from orca import debug\ndebug.debugFile.reconfigure(line_buffering=True)\n")
wm = subprocess.Popen(["openbox"], stderr=subprocess.DEVNULL)
orca = subprocess.Popen(["orca", "--user-prefs", prefs, "--debug-file", log], stderr=subprocess.DEVNULL)
heard = 0  # lines of speech taken so far

def spoken():
    with open(log, errors="replace") as f:
        return re.findall(r"SPEECH OUTPUT: '(.*?)' ?\{", f.read())

def says(what, keys, expected, stars=0):
    """Presses keys and types text ("type:..."), a character once the last one is echoed (Qt
    gives keys to Orca with a 100 ms timeout, and Orca tells of a burst of insertions once);
    waits for the expected lines, in that order, and exactly `stars` asterisks; prints them."""
    global heard, failures
    for key in keys.split():
        if not key.startswith("type:"):
            subprocess.run(["xdotool", "key", key], check=True)
            continue
        for character in key[5:]:
            echoed = spoken()[heard:].count("*") + 1
            subprocess.run(["xdotool", "type", character], check=True)
            for _ in range(50):
                if spoken()[heard:].count("*") >= echoed: break
                time.sleep(0.1)
    end, lines = time.time() + 10, []
    while time.time() < end:
        lines = spoken()[heard:]
        rest = iter(lines)
        if all(line in rest for line in expected) and lines.count("*") >= stars:
            time.sleep(0.5)  # anything said after that is said now
            lines = spoken()[heard:]
            break
        time.sleep(0.1)
    heard += len(lines)
    rest = iter(lines)
    ok = all(line in rest for line in expected) and lines.count("*") == stars
    print(f"{'ok' if ok else 'FAIL'}: {what}: Orca says {lines}" + ("" if ok else f", expected {expected} and {stars} '*'"))
    failures += not ok

for _ in range(100):
    if os.path.exists(log) and "Screen reader on." in spoken(): break
    time.sleep(0.1)
heard = len(spoken())
run = subprocess.Popen([program])
says("the login window opens", "", ["Login dialog Initial Password: mango.", "Password password text."])
says("a wrong password, typed", "type:wrong", [], stars=5)
says("it is refused", "Return", ["Error password"])
says("and refused again", "Return", ["Error password"])
says("the right one, typed", "ctrl+a BackSpace type:mango", [], stars=5)
says("the main window opens", "Return", ["Varnholt frame.", "Change Password push button."])
says("Tab reaches the first option", "Tab", ["USB storage panel.", "Read/Write.", "not selected radio button"])
says("an arrow key selects the next", "Down", ["ReadOnly.", "selected radio button"])
check_hive = os.path.exists(machine_hive) and '"WriteProtect"=dword:00000001' in open(machine_hive, encoding="utf-16").read()
print(f"{'ok' if check_hive else 'FAIL'}: ReadOnly is in the machine hive"); failures += not check_hive
says("back to the button", "shift+Tab shift+Tab", ["Change Password push button."])
says("the dialog opens", "space", ["SetPassword dialog.", "Current Password password text."])
says("the current password, typed", "type:mango", [], stars=5)
says("Tab goes to Change first", "Tab", ["Change push button."])
says("then to the new password", "Tab", ["New Password password text."])
says("a new password, typed", "type:ab", [], stars=2)
says("the confirmation", "Tab", ["Confirm Password password text."])
says("a different one, typed", "type:ac", [], stars=2)
says("back to Change", "shift+Tab shift+Tab", ["Change push button."])
says("the confirmation is refused", "space", ["Confirm password error"])
says("the title, on request", "KP_Insert+KP_Enter", ["SetPassword"])
says("the dialog closes; the main window again", "alt+F4", ["Varnholt frame.", "Change Password push button."])
says("the program closes", "alt+F4", [])
try: status = run.wait(10)
except subprocess.TimeoutExpired: status = "still running"; run.kill()
print(f"{'ok' if status == 0 else 'FAIL'}: the program ended with {status}"); failures += status != 0
typed = [line for line in spoken() if re.fullmatch(r"[a-z] ?|.*(wrong|mango).*", line)
         and line != "Login dialog Initial Password: mango."]
print(f"{'ok' if not typed else 'FAIL'}: no typed character is said: {typed}"); failures += bool(typed)
orca.terminate(); wm.terminate()
sys.exit(failures > 0)
