# Native (Linux) build of the plain code: tests under sanitizers, fuzzers
# and the maintainers' release tool.
add_compile_options(-Wall -Wextra -g)
option(BRISQUEL_FUZZ "Native clang builds: libFuzzer targets of tests/fuzz" OFF)
if(BRISQUEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(brisquel_pure STATIC ${pure_sources})
target_include_directories(brisquel_pure PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(brisquel_pure PUBLIC ${brisquel_defs})
if(BRISQUEL_FUZZ)
  include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake)
endif()

add_subdirectory(${CMAKE_SOURCE_DIR}/tools/release ${CMAKE_BINARY_DIR}/tools/release)
