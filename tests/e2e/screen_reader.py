# screen_reader.py VARNHOLT: what Orca, as Debian ships it, says while a blind user goes through
# every window by keys alone. Orca speaks to no server: its log, written line by line, has what
# it would have said.
import os, re, subprocess, sys, tempfile, time

prefs = tempfile.mkdtemp(dir=os.environ["HOME"])
log = os.path.join(prefs, "debug.log")
open(os.path.join(prefs, "user-settings.conf"), "w").write('{"general": {"speechServerFactory": "none", '
    '"speechFactoryModules": []}, "pronunciations": {}, "keybindings": {}, "profiles": {"default": {}}}')
open(os.path.join(prefs, "orca-customizations.py"), "w").write(
    "from orca import debug\ndebug.debugFile.reconfigure(line_buffering=True)\n")
subprocess.Popen(["openbox"], stderr=subprocess.DEVNULL)
orca = subprocess.Popen(["orca", "--user-prefs", prefs, "--debug-file", log], stderr=subprocess.DEVNULL)
def spoken(): return re.findall(r"SPEECH OUTPUT: '(.*?)' ?\{", open(log, errors="replace").read()) if os.path.exists(log) else []
def holds(lines, expected): rest = iter(lines); return all(line in rest for line in expected)
def soon(test, seconds=10):
    end = time.time() + seconds
    while not test() and time.time() < end: time.sleep(0.1)

# Keys, or text ("type:...") a character once the last is echoed (Qt waits only 100 ms for Orca
# to take a key, and Orca tells of a burst of insertions once); then lines Orca says, in order,
# among exactly as many '*' as characters typed.
steps = [("", "Login dialog Initial Password: mango.|Password password text."), ("type:wrong", ""),
    ("Return", "Error password"), ("Return", "Error password"), ("ctrl+a BackSpace type:mango", ""),
    ("Return", "Varnholt frame.|Change Password push button."), ("Tab", "USB storage panel.|Read/Write.|not selected radio button"),
    ("Down", "ReadOnly.|selected radio button"), ("shift+Tab shift+Tab", "Change Password push button."),
    ("space", "SetPassword dialog.|Current Password password text."), ("type:mango", ""), ("Tab", "Change push button."),
    ("Tab", "New Password password text."), ("type:ab", ""), ("Tab", "Confirm Password password text."), ("type:ac", ""),
    ("shift+Tab shift+Tab", "Change push button."), ("space", "Confirm password error"), ("KP_Insert+KP_Enter", "SetPassword"),
    ("alt+F4", "Varnholt frame.|Change Password push button."), ("alt+F4", "")]
soon(lambda: "Screen reader on." in spoken())
heard, failures = len(spoken()), 0
run = subprocess.Popen([sys.argv[1]])
for keys, expected in steps:
    expected, stars = [line for line in expected.split("|") if line], 0
    for key in keys.split():
        for character in key[5:] if key.startswith("type:") else [None]:
            stars += character is not None
            subprocess.run(["xdotool", "key", key] if character is None else ["xdotool", "type", character], check=True)
            soon(lambda: spoken()[heard:].count("*") >= stars, 5)
    soon(lambda: holds(spoken()[heard:], expected) and spoken()[heard:].count("*") >= stars)
    time.sleep(0.5)  # anything more is said by now
    lines = spoken()[heard:]
    heard += len(lines)
    failures += not (ok := holds(lines, expected) and lines.count("*") == stars)
    print(f"{'ok' if ok else 'FAIL'}: {keys or 'start'}: Orca says {lines}" + ("" if ok else f", expected {expected}, {stars} '*'"), flush=True)
soon(lambda: run.poll() is not None)
typed = [line for line in spoken() if re.fullmatch(r"[a-z] |.*(wrong|mango).*", line) and "Initial" not in line]
print(f"program ended with {run.poll()}; typed characters said: {typed}")
orca.terminate()
orca.wait(10)  # while one of this user's runs, no other Orca starts
sys.exit(bool(failures or typed or run.poll() != 0))
