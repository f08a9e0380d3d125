# The Windows build: the setup exe, statically linked, small and reproducible.
add_compile_options(-Os -Wall -Wextra -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -ffunction-sections
  # No -fdata-sections: with MinGW it moves zeroed buffers out of .bss into
  # the file (a megabyte for the hashing buffer alone).
  -D__USE_MINGW_ANSI_STDIO=0 -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
# Static runtime: the exe must import system DLLs only. No link timestamp,
# so that the same commit always gives the same bytes.
add_link_options(-static -Wl,--gc-sections -Wl,--no-insert-timestamp)

# Static imports are resolved before our entry runs, and Windows looks for a
# DLL that is not a Known DLL in the exe's folder first: winhttp, bcrypt and
# comctl32 are delay-loaded instead, through import libraries made from the
# .def files that list what we call. The entry loads them from the system
# folder before the first call (src/app/system_dlls_win.cpp). The import
# table then names Known DLLs only (tests/build/pe_check.sh).
find_program(BRISQUEL_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)
set(brisquel_delay_libs "")
foreach(dll winhttp bcrypt comctl32)
  set(lib ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
  set(def ${CMAKE_SOURCE_DIR}/cmake/delayload/${dll}.def)
  # A fixed temp prefix and deterministic archives keep the build reproducible.
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delayload
    COMMAND ${BRISQUEL_DLLTOOL} --deterministic-libraries --temp-prefix ${dll}_delay
      -d ${def} -y ${lib}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${def} VERBATIM)
  list(APPEND brisquel_delay_libs ${lib})
endforeach()
add_custom_target(brisquel_delayload DEPENDS ${brisquel_delay_libs})
set(brisquel_system_libs ${brisquel_delay_libs} shell32 gdi32 user32 kernel32)

add_library(brisquel_pure STATIC ${pure_sources})
target_include_directories(brisquel_pure PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(brisquel_pure PUBLIC ${brisquel_defs})

brisquel_list_key_defs(brisquel_key_defs "${BRISQUEL_LIST_KEYS}")
add_library(brisquel_keys STATIC ${CMAKE_SOURCE_DIR}/src/setuplist/list_keys.cpp)
target_include_directories(brisquel_keys PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(brisquel_keys PRIVATE ${brisquel_key_defs})

add_library(brisquel_win STATIC ${win_sources})
target_link_libraries(brisquel_win PUBLIC brisquel_pure brisquel_keys ${brisquel_system_libs})
add_dependencies(brisquel_win brisquel_delayload)

add_executable(BrisquelBuilder WIN32 ${CMAKE_SOURCE_DIR}/src/app/main_win.cpp
  ${CMAKE_SOURCE_DIR}/res/brisquel.rc)
target_link_libraries(BrisquelBuilder PRIVATE brisquel_win)
target_link_options(BrisquelBuilder PRIVATE -s -municode)
set_target_properties(BrisquelBuilder PROPERTIES OUTPUT_NAME BrisquelBuilder)

include(${CMAKE_SOURCE_DIR}/cmake/libarchive.cmake)
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/release ${CMAKE_BINARY_DIR}/tools/release)

add_subdirectory(${CMAKE_SOURCE_DIR}/bench ${CMAKE_BINARY_DIR}/bench)
