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

# Every date in the packages (files, control files, archive members) is
# SOURCE_DATE_EPOCH, which cpack honours: by default the last commit's date,
# so that two builds of one commit give byte-identical packages, the
# architecture-independent one from the amd64 and the armhf build alike.
# Outside a git checkout, the date of the changelog's top entry.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_KORVI_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE korvi_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT korvi_epoch MATCHES "^[0-9]+$")
    file(STRINGS "${CPACK_KORVI_CHANGELOG}" korvi_trailer LIMIT_COUNT 1 REGEX "^ -- .*>  ")
    string(REGEX REPLACE "^.*>  " "" korvi_trailer "${korvi_trailer}")
    execute_process(COMMAND date -u -d "${korvi_trailer}" +%s
      OUTPUT_VARIABLE korvi_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT korvi_epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No date for the packages: set SOURCE_DATE_EPOCH")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${korvi_epoch})
endif()
