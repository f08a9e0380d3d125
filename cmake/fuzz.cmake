# libFuzzer targets for the plain code, under AddressSanitizer and
# UndefinedBehaviorSanitizer. Included by native.cmake when BRISQUEL_FUZZ
# is on; needs clang and its runtime (Debian: clang-14, libclang-rt-14-dev).
# Each tests/fuzz/fuzz_<name>.cpp becomes build/.../fuzz/fuzz_<name>.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "BRISQUEL_FUZZ needs clang: configure with "
    "-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14")
endif()

# Any sanitizer report ends the run, so the fuzzer counts it as a crash
# instead of printing it and carrying on.
set(fuzz_common -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

# The product code gets coverage counters but no fuzzer main.
target_compile_options(brisquel_pure PRIVATE -fsanitize=fuzzer-no-link ${fuzz_common})

# The same plain sources with clang's coverage mapping, for reports of
# what the corpora reach line by line (llvm-cov); no sanitizers there.
add_library(brisquel_pure_cov STATIC ${pure_sources})
target_include_directories(brisquel_pure_cov PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(brisquel_pure_cov PUBLIC ${brisquel_defs})
set(cov_flags -fprofile-instr-generate -fcoverage-mapping)
target_compile_options(brisquel_pure_cov PRIVATE ${cov_flags})

file(GLOB fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
set(fuzz_targets "")
foreach(f ${fuzz_sources})
  get_filename_component(n ${f} NAME_WE)
  add_executable(${n} ${f})
  # The harness itself is left without coverage counters: what libFuzzer
  # reports as covered is then the product code alone.
  target_compile_options(${n} PRIVATE ${fuzz_common})
  target_link_options(${n} PRIVATE -fsanitize=fuzzer ${fuzz_common})
  target_include_directories(${n} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz)
  target_link_libraries(${n} PRIVATE brisquel_pure)
  set_target_properties(${n} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  list(APPEND fuzz_targets ${n})

  # <name>_cov: the harness over brisquel_pure_cov, run by replay_main.
  add_executable(${n}_cov ${f} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
  target_include_directories(${n}_cov PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz)
  target_link_options(${n}_cov PRIVATE -fprofile-instr-generate)
  target_link_libraries(${n}_cov PRIVATE brisquel_pure_cov)
  set_target_properties(${n}_cov PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  list(APPEND fuzz_targets ${n}_cov)
endforeach()
add_custom_target(fuzzers DEPENDS ${fuzz_targets})
