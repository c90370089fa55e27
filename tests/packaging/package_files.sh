# Sourced by the package checks: the files every package installs, its units' folder given.
package_files() {  # unit folder, as a path without the leading slash; the initramfs builder's hook
    printf '%s\n' "$1"/varnholt-policy{.path,.service,-early.service} "$1"/varnholt-boot-image.{path,service} "$2" \
        usr/bin/varnholt usr/sbin/varnholt-policy \
        usr/libexec/varnholt/{varnholt-machine-writer,update-boot-image,initramfs-rules} \
        usr/share/applications/varnholt.desktop usr/share/doc/varnholt/{changelog.gz,copyright} \
        usr/share/bash-completion/completions/varnholt-policy \
        usr/share/icons/hicolor/{16x16,32x32,48x48,128x128,256x256}/apps/varnholt.png \
        usr/share/icons/hicolor/scalable/apps/varnholt.svg \
        usr/share/man/man1/varnholt.1.gz usr/share/man/man8/varnholt-policy.8.gz \
        usr/share/polkit-1/actions/org.varnholt.varnholt.policy usr/share/varnholt/machine.reg
}
