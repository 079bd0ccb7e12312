# The libraries chimewick links, found as a distribution's packager expects: Mbed TLS 3.6 through
# its CMake package or pkg-config, yyjson through its CMake package or pkg-config, libqrencode by
# its header and library. Each ends up as one INTERFACE target the layers link: mbedtls_static,
# yyjson, qrencode_static (named for the static libraries the bootstrap builds; a system's shared
# ones serve the same way).
find_package(Threads REQUIRED)
find_package(PkgConfig QUIET)

# --- Mbed TLS 3.6, 3.6.7 or later --------------------------------------------------------------
find_package(MbedTLS 3.6 CONFIG QUIET)
add_library(mbedtls_static INTERFACE)
if(MbedTLS_FOUND)
  target_link_libraries(mbedtls_static INTERFACE MbedTLS::mbedtls MbedTLS::mbedx509 MbedTLS::mbedcrypto)
  get_target_property(QV_MBEDTLS_INCLUDE MbedTLS::mbedcrypto INTERFACE_INCLUDE_DIRECTORIES)
elseif(PKG_CONFIG_FOUND)
  pkg_check_modules(QV_MBEDTLS QUIET IMPORTED_TARGET mbedtls mbedx509 mbedcrypto)
  if(QV_MBEDTLS_FOUND)
    target_link_libraries(mbedtls_static INTERFACE PkgConfig::QV_MBEDTLS)
    set(QV_MBEDTLS_INCLUDE "${QV_MBEDTLS_INCLUDE_DIRS}")
  endif()
endif()
find_file(QV_MBEDTLS_BUILD_INFO mbedtls/build_info.h HINTS ${QV_MBEDTLS_INCLUDE} NO_CACHE)
if(NOT QV_MBEDTLS_BUILD_INFO)
  message(FATAL_ERROR "Mbed TLS 3.6 (3.6.7 or later) was not found. Run scripts/bootstrap, which "
    "builds it into .deps/prefix (scripts/build then passes -DCMAKE_PREFIX_PATH=.deps/prefix), or "
    "install your distribution's Mbed TLS 3.6 development package, or point CMAKE_PREFIX_PATH at "
    "an installation.")
endif()
file(STRINGS "${QV_MBEDTLS_BUILD_INFO}" QV_MBEDTLS_VERSION_LINE REGEX "define MBEDTLS_VERSION_STRING ")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" QV_MBEDTLS_VERSION "${QV_MBEDTLS_VERSION_LINE}")
option(QV_ALLOW_OLD_MBEDTLS "Build with Mbed TLS 3.6.6 or older (some TLS 1.2 servers unreachable)" OFF)
if(QV_MBEDTLS_VERSION VERSION_LESS 3.6 OR QV_MBEDTLS_VERSION VERSION_GREATER_EQUAL 3.7)
  message(FATAL_ERROR "Mbed TLS ${QV_MBEDTLS_VERSION} (${QV_MBEDTLS_BUILD_INFO}) is not of the 3.6 "
    "series this program is written for; install Mbed TLS 3.6.7 or later of 3.6.")
elseif(QV_MBEDTLS_VERSION VERSION_LESS 3.6.7 AND NOT QV_ALLOW_OLD_MBEDTLS)
  message(FATAL_ERROR "Mbed TLS ${QV_MBEDTLS_VERSION} (${QV_MBEDTLS_BUILD_INFO}) is too old: before "
    "3.6.7 a TLS 1.2 client refuses a key exchange signed with RSA-PSS, which OpenSSL servers with "
    "RSA certificates send, so such servers cannot be reached (and the 2026 advisories are open). "
    "Install 3.6.7 or later, or configure with -DQV_ALLOW_OLD_MBEDTLS=ON to build anyway.")
elseif(QV_MBEDTLS_VERSION VERSION_LESS 3.6.7)
  message(WARNING "Mbed TLS ${QV_MBEDTLS_VERSION}: TLS 1.2 servers with RSA keys that sign with "
    "RSA-PSS cannot be reached")
endif()
target_link_libraries(mbedtls_static INTERFACE Threads::Threads)
if(WIN32)
  target_link_libraries(mbedtls_static INTERFACE ws2_32 bcrypt)
endif()

# --- yyjson 0.10 or later ----------------------------------------------------------------------
find_package(yyjson CONFIG QUIET)
add_library(yyjson INTERFACE)
if(yyjson_FOUND)
  target_link_libraries(yyjson INTERFACE yyjson::yyjson)
  get_target_property(QV_YYJSON_INCLUDE yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
elseif(PKG_CONFIG_FOUND)
  pkg_check_modules(QV_YYJSON QUIET IMPORTED_TARGET yyjson>=0.10)
  if(QV_YYJSON_FOUND)
    target_link_libraries(yyjson INTERFACE PkgConfig::QV_YYJSON)
    set(QV_YYJSON_INCLUDE "${QV_YYJSON_INCLUDE_DIRS}")
  endif()
endif()
find_file(QV_YYJSON_HEADER yyjson.h HINTS ${QV_YYJSON_INCLUDE} NO_CACHE)
if(NOT QV_YYJSON_HEADER)
  message(FATAL_ERROR "yyjson 0.10 or later was not found: run scripts/bootstrap, or install your "
    "distribution's yyjson development package (libyyjson-dev, yyjson-devel).")
endif()
file(STRINGS "${QV_YYJSON_HEADER}" QV_YYJSON_VERSION_LINE REGEX "define YYJSON_VERSION_STRING ")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" QV_YYJSON_VERSION "${QV_YYJSON_VERSION_LINE}")
if(QV_YYJSON_VERSION VERSION_LESS 0.10)
  message(FATAL_ERROR "yyjson ${QV_YYJSON_VERSION} (${QV_YYJSON_HEADER}) is too old: 0.10 or later is needed.")
endif()

# --- libqrencode 4.1 or later --------------------------------------------------------------------
# A place remembered from an earlier configuration that is gone now is searched for again.
foreach(var QV_QRENCODE_INCLUDE QV_QRENCODE_LIBRARY)
  if(${var} AND NOT EXISTS "${${var}}")
    unset(${var} CACHE)
  endif()
endforeach()
find_path(QV_QRENCODE_INCLUDE qrencode.h)
find_library(QV_QRENCODE_LIBRARY qrencode)
if(NOT QV_QRENCODE_INCLUDE OR NOT QV_QRENCODE_LIBRARY)
  message(FATAL_ERROR "libqrencode was not found: run scripts/bootstrap, or install your "
    "distribution's libqrencode development package (libqrencode-dev, qrencode-devel).")
endif()
add_library(qrencode_static INTERFACE)
target_include_directories(qrencode_static SYSTEM INTERFACE "${QV_QRENCODE_INCLUDE}")
target_link_libraries(qrencode_static INTERFACE "${QV_QRENCODE_LIBRARY}" Threads::Threads)

message(STATUS "Mbed TLS ${QV_MBEDTLS_VERSION}, yyjson ${QV_YYJSON_VERSION}, libqrencode ${QV_QRENCODE_LIBRARY}")
