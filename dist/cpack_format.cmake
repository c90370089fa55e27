# Read by cpack before it builds each package format: each format's package in a folder of its
# own, and the format named to the install rules, which place the units by it (install.cmake).
set(ENV{VARNHOLT_PACKAGE_FORMAT} ${CPACK_GENERATOR})
string(TOLOWER ${CPACK_GENERATOR} format)
set(CPACK_PACKAGE_DIRECTORY ${CPACK_VARNHOLT_BINARY_DIR}/${format})
