# Install layout and the Debian package. The prefix defaults to /usr: the polkit action and
# the units name the installed programs by their full paths, and polkit reads actions only
# from /usr/share, so an install elsewhere would not start.
find_package(PkgConfig REQUIRED)
pkg_get_variable(VARNHOLT_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
if(NOT VARNHOLT_SYSTEMD_UNIT_DIR)
    message(FATAL_ERROR "pkg-config knows no systemd system unit folder (package systemd)")
endif()
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)

set(package_source ${PROJECT_SOURCE_DIR}/src/platform/linux/package)
set(package_build ${PROJECT_BINARY_DIR}/package)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/varnholt)

install(TARGETS varnholt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS varnholt-policy RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${VARNHOLT_POLICY_UNITS} DESTINATION ${VARNHOLT_SYSTEMD_UNIT_DIR})

# The menu entry, its icons and the polkit action through which an ordinary user's start
# asks for the administrator password.
install(FILES ${package_source}/varnholt.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/res/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
set(VARNHOLT_INSTALLED_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/varnholt)
configure_file(${package_source}/org.varnholt.varnholt.policy.in
    ${package_build}/org.varnholt.varnholt.policy @ONLY)
install(FILES ${package_build}/org.varnholt.varnholt.policy
    DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# The machine hive a new install starts from, written by the program's own hive store.
add_executable(default_machine_hive ${package_source}/default_machine_hive.cpp)
target_link_libraries(default_machine_hive PRIVATE varnholt_platform varnholt_warnings)
add_custom_command(OUTPUT ${package_build}/machine.reg
    COMMAND default_machine_hive ${package_build}/machine.reg
    DEPENDS default_machine_hive
    COMMENT "Writing the default machine hive")

# Manual pages from their scdoc sources, compressed as Debian keeps them.
file(GLOB man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
set(man_pages)
foreach(source IN LISTS man_sources)
    get_filename_component(page ${source} NAME_WLE)  # varnholt.1
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    set(output ${package_build}/man/${page}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${package_build}/man
        COMMAND sh -c [["$0" < "$1" | "$2" -9n > "$3"]] ${SCDOC} ${source} ${GZIP} ${output}
        DEPENDS ${source}
        COMMENT "Writing the manual page ${page}"
        VERBATIM)
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND man_pages ${output})
endforeach()

# Debian wants the changelog compressed without a time stamp, as the manual pages.
add_custom_command(OUTPUT ${package_build}/changelog.gz
    COMMAND sh -c [["$0" -9n < "$1" > "$2"]] ${GZIP} ${package_source}/changelog
        ${package_build}/changelog.gz
    DEPENDS ${package_source}/changelog
    VERBATIM)
add_custom_target(package_files ALL
    DEPENDS ${man_pages} ${package_build}/machine.reg ${package_build}/changelog.gz)
install(FILES ${package_build}/machine.reg DESTINATION ${CMAKE_INSTALL_DATADIR}/varnholt)
install(FILES ${package_build}/changelog.gz ${package_source}/copyright DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnholt)
set(CPACK_PACKAGE_VENDOR Varnholt)
set(CPACK_PACKAGE_CONTACT "Varnholt Maintainers <maintainers@varnholt.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "password-guarded USB storage policy for the machine")
set(CPACK_PACKAGE_DESCRIPTION
    "Varnholt decides how the machine treats USB mass-storage devices: disabled,
read-only or read/write, and can lock the registry editor for the current user.
USB mice and keyboards are never affected. Use of the tool is guarded by a
password. The mode is kept in a hive file in the registry's export format, and
varnholt-policy brings the kernel into line with it through udev rules, at boot
and whenever the file changes.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beyond the linked libraries: the prompt at start, Qt's platform plugins to reach a display
# at all, and xhost for Wayland sessions only.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "x11-xserver-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${package_source}/postinst ${package_source}/prerm ${package_source}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/deb)
include(CPack)
