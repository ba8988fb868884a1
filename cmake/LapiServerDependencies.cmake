# Third-party libraries of lapid and lapictl, looked up once for the whole tree (their
# tests included):
#   GeographicLib::GeographicLib  geodesy. Debian ships libGeographicLib.so and a Find
#                                 module outside CMake's module path, so the library
#                                 and header are located here and wrapped in a target.
#   SQLite::SQLite3               the GPS database store
#   CLI11::CLI11                  command lines (header only; Debian's CMake package)
#   PkgConfig::LIBGPS             libgps, lapid's client of a gpsd daemon (pkg-config)
#   PkgConfig::LIBEDIT            libedit, the line editor of `lapictl shell` (pkg-config)
find_library(LAPI_GEOGRAPHICLIB_LIBRARY NAMES GeographicLib Geographic REQUIRED)
find_path(LAPI_GEOGRAPHICLIB_INCLUDE_DIR GeographicLib/Geodesic.hpp REQUIRED)
add_library(GeographicLib::GeographicLib UNKNOWN IMPORTED)
set_target_properties(GeographicLib::GeographicLib PROPERTIES
    IMPORTED_LOCATION ${LAPI_GEOGRAPHICLIB_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${LAPI_GEOGRAPHICLIB_INCLUDE_DIR})
find_package(SQLite3 REQUIRED)
find_package(CLI11 2.1 CONFIG REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBGPS REQUIRED IMPORTED_TARGET libgps)
pkg_check_modules(LIBEDIT REQUIRED IMPORTED_TARGET libedit)
