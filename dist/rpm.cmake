# The RPM package for Fedora, RHEL and openSUSE, from the same install rules as the Debian one.
list(APPEND CPACK_GENERATOR RPM)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
# The units and the polkit action name the programs by their paths under /usr.
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PACKAGE_LICENSE Proprietary)
set(CPACK_RPM_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RPM_PACKAGE_SUMMARY "Password-guarded USB storage policy for the machine")
# Stripped binaries and no debuginfo package: no build-id links to ship.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _build_id_links none")
# The linked libraries come from rpm's own reading of the binaries, as sonames with their
# symbol versions (libc.so.6(GLIBC_2.34), libQt6Widgets.so.6(Qt_6), ...), which any RPM
# distribution resolves. Qt's symbol versions do not tell its minor version, which a program
# built against it needs at least. Beyond them, under Fedora's names: the prompt at start,
# Qt's platform plugins to reach a display at all, and udev, through which the policy works.
find_package(Qt6 REQUIRED COMPONENTS Core)
set(CPACK_RPM_PACKAGE_REQUIRES
    "polkit, qt6-qtbase-gui >= ${Qt6_VERSION_MAJOR}.${Qt6_VERSION_MINOR}, systemd-udev")
set(CPACK_RPM_PACKAGE_REQUIRES_POST "systemd, coreutils")
set(CPACK_RPM_PACKAGE_REQUIRES_PREUN systemd)
set(CPACK_RPM_PACKAGE_REQUIRES_POSTUN systemd)
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${dist_build}/rpm-post)
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${dist_build}/rpm-preun)
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE ${dist_build}/rpm-postun)

# The package owns its files and its own folders, never the system's.
file(GLOB_RECURSE icon_dirs LIST_DIRECTORIES true RELATIVE ${PROJECT_SOURCE_DIR}/res/icons
    ${PROJECT_SOURCE_DIR}/res/icons/*)
list(FILTER icon_dirs EXCLUDE REGEX "\\.(png|svg)$")
list(TRANSFORM icon_dirs PREPEND /usr/share/icons/)
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/sbin /usr/libexec /usr/lib/systemd /usr/lib/systemd/system /usr/share/applications
    /usr/share/icons ${icon_dirs} /usr/share/man /usr/share/man/man1 /usr/share/man/man8
    /usr/share/polkit-1 /usr/share/polkit-1/actions
    /usr/share/bash-completion /usr/share/bash-completion/completions
    /usr/libexec /usr/lib/dracut /usr/lib/dracut/modules.d)
