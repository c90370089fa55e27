#!/bin/bash
# Carries the USB storage rules varnholt-policy wrote into the initramfs, so that the mode
# holds from the first probe of a disk at power-on, not from the boot unit on.
check() {
    [[ -f /etc/udev/rules.d/61-varnholt.rules ]]
}

depends() {
    echo udev-rules
}

install() {
    inst_multiple sh
    inst "$(command -v blockdev)" /usr/libexec/varnholt/blockdev
    mkdir -p "$initdir/etc/udev/rules.d"
    @CMAKE_INSTALL_FULL_LIBEXECDIR@/varnholt/initramfs-rules >"$initdir/etc/udev/rules.d/61-varnholt.rules"
}
