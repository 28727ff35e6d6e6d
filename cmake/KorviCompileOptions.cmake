# SPDX-License-Identifier: MIT
# Compiler settings shared by every target of the project.
set(CMAKE_C_STANDARD 99)
set(CMAKE_C_STANDARD_REQUIRED ON)
set(CMAKE_C_EXTENSIONS OFF)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion)

# 32-bit builds (the device) take glibc's 64-bit file offsets and time_t, so
# that files past 2 GiB can be read and times go on past January 2038. glibc
# 2.34 and later honour _TIME_BITS.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()

# Sanitizer build: AddressSanitizer and UndefinedBehaviorSanitizer on every
# target, and the first report ends the program. The fuzz targets need them
# too, and coverage feedback for libFuzzer in the code they reach.
option(KORVI_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KORVI_BUILD_FUZZERS "Build the libFuzzer targets (clang only; implies KORVI_SANITIZE)" OFF)
if(KORVI_BUILD_FUZZERS)
  set(KORVI_SANITIZE ON)
endif()
if(KORVI_SANITIZE)
  set(KORVI_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_options(${KORVI_SANITIZER_FLAGS} -fno-omit-frame-pointer)
  add_link_options(${KORVI_SANITIZER_FLAGS})
endif()
if(KORVI_BUILD_FUZZERS)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The deliverables run without the C++ runtime: no exceptions, no RTTI, linked
# by the C driver so that neither libstdc++ nor libgcc_s is pulled in, and
# nothing exported unless marked.
function(korvi_runtime_free target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
    -fvisibility=hidden -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE
    -static-libgcc -Wl,--as-needed -Wl,--gc-sections -Wl,-z,relro -Wl,-z,now)
  set_target_properties(${target} PROPERTIES
    LINKER_LANGUAGE C
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
