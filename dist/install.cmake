# Install layout. The prefix defaults to /usr: the polkit action and the units name the
# installed programs by their full paths, and polkit reads actions only from /usr/share, so an
# install elsewhere would not start.
find_package(PkgConfig REQUIRED)
pkg_get_variable(VARNHOLT_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
if(NOT VARNHOLT_SYSTEMD_UNIT_DIR)
    message(FATAL_ERROR "pkg-config knows no systemd system unit folder (package systemd)")
endif()
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)

set(dist_linux ${CMAKE_CURRENT_SOURCE_DIR}/linux)
set(dist_build ${PROJECT_BINARY_DIR}/package)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/varnholt)

install(TARGETS varnholt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS varnholt-policy RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# The root helper behind an ordinary user's window: no one's command, so not on PATH.
install(TARGETS varnholt-machine-writer RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/varnholt)

# The units that run apply at boot and whenever the hive changes: where pkg-config says
# (Debian 12: /lib/systemd/system), and in an RPM where Fedora, RHEL and openSUSE keep them.
# Both services share one [Service] section (what apply runs with, and its sandbox), kept once.
file(READ ${dist_linux}/varnholt-policy-service.in VARNHOLT_POLICY_SERVICE)
string(CONFIGURE "${VARNHOLT_POLICY_SERVICE}" VARNHOLT_POLICY_SERVICE @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dist_linux}/varnholt-policy-service.in)
set(units)
foreach(unit varnholt-policy-early.service varnholt-policy.service varnholt-policy.path
        varnholt-boot-image.path varnholt-boot-image.service)
    configure_file(${dist_linux}/${unit} ${dist_build}/${unit} @ONLY)
    list(APPEND units ${dist_build}/${unit})
endforeach()
install(CODE "
    set(unit_dir ${VARNHOLT_SYSTEMD_UNIT_DIR})
    if(\"\$ENV{VARNHOLT_PACKAGE_FORMAT}\" STREQUAL RPM)
        set(unit_dir /usr/lib/systemd/system)
    endif()
    file(INSTALL ${units} DESTINATION \${unit_dir})")

# The rules carried into the initramfs, so that the mode holds from power-on: appended to each
# image whenever they change (varnholt-boot-image.path), again after initramfs-tools builds
# one (the .deb), and built in by a dracut module (the RPM).
install(PROGRAMS ${dist_linux}/initramfs-rules ${dist_build}/update-boot-image
    DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/varnholt)
foreach(hook initramfs-post-update dracut/module-setup.sh update-boot-image)
    configure_file(${dist_linux}/${hook} ${dist_build}/${hook} @ONLY)
endforeach()
set(executable OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(CODE "
    if(\"\$ENV{VARNHOLT_PACKAGE_FORMAT}\" STREQUAL RPM)
        file(INSTALL ${dist_build}/dracut/module-setup.sh FILE_PERMISSIONS ${executable}
             DESTINATION \${CMAKE_INSTALL_PREFIX}/lib/dracut/modules.d/90varnholt)
    else()
        file(INSTALL ${dist_build}/initramfs-post-update FILE_PERMISSIONS ${executable}
             DESTINATION /etc/initramfs/post-update.d RENAME varnholt)
    endif()")

# Completion of its commands and modes, where bash-completion looks for it (also when that
# package is not there to name its folder).
pkg_get_variable(VARNHOLT_BASH_COMPLETION_DIR bash-completion completionsdir)
if(NOT VARNHOLT_BASH_COMPLETION_DIR)
    set(VARNHOLT_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
install(FILES ${dist_linux}/varnholt-policy.bash-completion
    DESTINATION ${VARNHOLT_BASH_COMPLETION_DIR} RENAME varnholt-policy)

# The menu entry, its icons and the polkit action through which an ordinary user's start
# asks for the administrator password to start the helper.
install(FILES ${dist_linux}/varnholt.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/res/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
set(VARNHOLT_INSTALLED_HELPER ${CMAKE_INSTALL_FULL_LIBEXECDIR}/varnholt/varnholt-machine-writer)
configure_file(${dist_linux}/org.varnholt.varnholt.policy.in
    ${dist_build}/org.varnholt.varnholt.policy @ONLY)
install(FILES ${dist_build}/org.varnholt.varnholt.policy
    DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# The machine hive a new install starts from, written by the program's own hive store.
add_executable(default_machine_hive ${dist_linux}/default_machine_hive.cpp)
target_link_libraries(default_machine_hive PRIVATE varnholt_platform varnholt_warnings)
add_custom_command(OUTPUT ${dist_build}/machine.reg
    COMMAND default_machine_hive ${dist_build}/machine.reg
    DEPENDS default_machine_hive
    COMMENT "Writing the default machine hive")

# Manual pages from their scdoc sources, compressed as Debian keeps them.
file(GLOB man_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/*.scd)
set(man_pages)
foreach(source IN LISTS man_sources)
    get_filename_component(page ${source} NAME_WLE)  # varnholt.1
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    set(output ${dist_build}/man/${page}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dist_build}/man
        COMMAND sh -c [["$0" < "$1" | "$2" -9n > "$3"]] ${SCDOC} ${source} ${GZIP} ${output}
        DEPENDS ${source}
        COMMENT "Writing the manual page ${page}"
        VERBATIM)
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND man_pages ${output})
endforeach()

# Debian wants the changelog compressed without a time stamp, as the manual pages.
add_custom_command(OUTPUT ${dist_build}/changelog.gz
    COMMAND sh -c [["$0" -9n < "$1" > "$2"]] ${GZIP} ${dist_linux}/changelog
        ${dist_build}/changelog.gz
    DEPENDS ${dist_linux}/changelog
    VERBATIM)
add_custom_target(package_files ALL
    DEPENDS ${man_pages} ${dist_build}/machine.reg ${dist_build}/changelog.gz)
install(FILES ${dist_build}/machine.reg DESTINATION ${CMAKE_INSTALL_DATADIR}/varnholt)

# The package scripts of both formats: each its format's own steps, with the steps they share
# (package-steps.sh) put in at the line naming them.
file(READ ${dist_linux}/package-steps.sh package_steps)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dist_linux}/package-steps.sh)
foreach(script postinst prerm postrm rpm-post rpm-preun rpm-postun)
    configure_file(${dist_linux}/${script} ${dist_build}/${script} @ONLY)
endforeach()
install(FILES ${dist_build}/changelog.gz ${dist_linux}/copyright DESTINATION ${doc_dir})

# What every package format shares.
set(CPACK_PACKAGE_NAME varnholt)
set(CPACK_PACKAGE_VENDOR Varnholt)
set(CPACK_PACKAGE_CONTACT "Varnholt Maintainers <maintainers@varnholt.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cpack_format.cmake)
set(CPACK_VARNHOLT_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "password-guarded USB storage policy for the machine")
set(CPACK_PACKAGE_DESCRIPTION
    "Varnholt decides how the machine treats USB mass-storage devices: disabled,
read-only or read/write, and can lock the registry editor for the current user.
USB mice and keyboards are never affected. Use of the tool is guarded by a
password. The mode is kept in a hive file in the registry's export format, and
varnholt-policy brings the kernel into line with it through udev rules, at boot
and whenever the file changes.")
