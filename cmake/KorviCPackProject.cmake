# SPDX-License-Identifier: MIT
# Read by cpack before it builds the packages (CPACK_PROJECT_CONFIG_FILE).
# The packages' changelog must have an entry for the version they are built
# at: a version raised in CMakeLists.txt without one is refused here, rather
# than shipped with a changelog that ends at the version before.
file(STRINGS "${CPACK_KORVI_CHANGELOG}" korvi_first LIMIT_COUNT 1)
if(NOT korvi_first MATCHES "^korvi \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog has no entry for ${CPACK_PACKAGE_VERSION} at the top "
    "(it starts: ${korvi_first}); add one")
endif()
