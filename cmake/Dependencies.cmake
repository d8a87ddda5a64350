# Every third-party library comes from Debian's -dev packages (scripts/setup.sh).
find_package(Threads REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt REQUIRED)
find_package(CLI11 REQUIRED)
find_package(PkgConfig REQUIRED)
# libplist, libzip (its CMake config is broken on Debian 12), poppler-cpp and
# xxhash have no usable CMake package: pkg-config finds them.
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
# Only the PDF reader module (pdf-module/) links poppler-cpp; the library loads it at run time.
pkg_check_modules(POPPLER REQUIRED IMPORTED_TARGET poppler-cpp)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
if(ORVEXA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(ORVEXA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
