#!/usr/bin/env bash
# Twips become pixels at the screen's density: at 144 dots per inch the login window's client
# area is half as wide again as at 96 (4680 twips: 312 pixels, then 468), with the frame
# around it unchanged in width.
# Usage: e2e_density.sh VARNHOLT_EXE
source "$(dirname "$0")/wine_test_lib.sh"
program="$1"
desktop='HKCU\Control Panel\Desktop'
trap 'reg_add "$desktop" LogPixels REG_DWORD 96 || true
      if [[ -n "$program_pid" ]]; then kill -KILL "$program_pid" 2>/dev/null || true; fi
      rm -rf "$work"' EXIT

login_width() {  # dots per inch: the width of the login window on the screen
    local WIDTH HEIGHT X Y SCREEN WINDOW login
    reg_add "$desktop" LogPixels REG_DWORD "$1"
    start_program "$program"
    login="$(wait_window Login)" || fail "no login window at $1 dpi"
    eval "$(xdotool getwindowgeometry --shell "$login")"
    xdotool key alt+F4
    wait_program_end
    echo "$WIDTH"
}

at_96="$(login_width 96)"
at_144="$(login_width 144)"
expect_eq "the client area grows from 312 to 468 pixels" "$((at_144 - at_96))" 156
finish
