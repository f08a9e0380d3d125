# libarchive 3.7.2, the version whose bsdtar ships as Windows' own tar.exe,
# built from the shared source with our MinGW toolchain. It gives the tests'
# Wine prefixes the real tar (tools/bsdtar.exe) and the Windows build of the
# release tool its zip reader (libarchive_static). Built once per build tree:
# the external project's stamps keep later builds from touching it.
include(ExternalProject)

set(BRISQUEL_THIRD_PARTY "${CMAKE_SOURCE_DIR}/../shared/third_party" CACHE PATH
  "Folder that holds libarchive-3.7.2-src.tar.xz")
set(libarchive_archive "${BRISQUEL_THIRD_PARTY}/libarchive-3.7.2-src.tar.xz")
if(NOT EXISTS "${libarchive_archive}")
  message(FATAL_ERROR "libarchive source not found: ${libarchive_archive} "
    "(set BRISQUEL_THIRD_PARTY to the folder that holds it)")
endif()

set(libarchive_prefix ${CMAKE_BINARY_DIR}/libarchive)
set(libarchive_src ${libarchive_prefix}/src/libarchive_win)
set(libarchive_bin ${libarchive_prefix}/src/libarchive_win-build)
set(libarchive_lib ${libarchive_bin}/libarchive/libarchive_static.a)
set(BRISQUEL_BSDTAR ${CMAKE_BINARY_DIR}/tools/bsdtar.exe)

ExternalProject_Add(libarchive_win
  PREFIX ${libarchive_prefix}
  URL ${libarchive_archive}
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DENABLE_TEST=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_UNZIP=OFF
    -DENABLE_TAR=ON -DENABLE_TAR_SHARED=OFF
    -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF
    -DENABLE_LZMA=OFF -DENABLE_BZip2=OFF -DENABLE_LZ4=OFF -DENABLE_ZSTD=OFF
    -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_LIBB2=OFF
    -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF -DENABLE_CNG=ON
    -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a
    -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include
    "-DCMAKE_EXE_LINKER_FLAGS=-static -static-libgcc"
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target bsdtar archive_static
  INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/bin/bsdtar.exe ${BRISQUEL_BSDTAR}
  BUILD_BYPRODUCTS ${libarchive_lib} ${BRISQUEL_BSDTAR}
  LOG_CONFIGURE ON LOG_BUILD ON LOG_OUTPUT_ON_FAILURE ON)

# The static library for our own Windows programs (the release tool).
file(MAKE_DIRECTORY ${libarchive_src}/libarchive)
add_library(libarchive_static STATIC IMPORTED GLOBAL)
set_target_properties(libarchive_static PROPERTIES
  IMPORTED_LOCATION ${libarchive_lib}
  INTERFACE_INCLUDE_DIRECTORIES ${libarchive_src}/libarchive
  INTERFACE_COMPILE_DEFINITIONS LIBARCHIVE_STATIC
  INTERFACE_LINK_LIBRARIES "z;bcrypt")
add_dependencies(libarchive_static libarchive_win)
