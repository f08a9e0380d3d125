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

set(brisquel_system_libs winhttp bcrypt comctl32 shell32 gdi32 user32 kernel32)

add_library(brisquel_pure STATIC ${pure_sources})
target_include_directories(brisquel_pure PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(brisquel_pure PUBLIC ${brisquel_defs})

add_library(brisquel_win STATIC ${win_sources})
target_link_libraries(brisquel_win PUBLIC brisquel_pure ${brisquel_system_libs})

add_executable(BrisquelBuilder WIN32 ${CMAKE_SOURCE_DIR}/src/app/main_win.cpp
  ${CMAKE_SOURCE_DIR}/res/brisquel.rc)
target_link_libraries(BrisquelBuilder PRIVATE brisquel_win)
target_link_options(BrisquelBuilder PRIVATE -s -municode)
set_target_properties(BrisquelBuilder PROPERTIES OUTPUT_NAME BrisquelBuilder)

include(${CMAKE_SOURCE_DIR}/cmake/libarchive.cmake)
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/release ${CMAKE_BINARY_DIR}/tools/release)

add_subdirectory(${CMAKE_SOURCE_DIR}/bench ${CMAKE_BINARY_DIR}/bench)
