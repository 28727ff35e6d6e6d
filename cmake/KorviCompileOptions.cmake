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
