# Windows build: Mbed TLS 3.6 compiled from Debian's source (scripts/bootstrap-windows puts it in
# .deps/src/mbedtls), linked statically with the Winsock library. Included by CMakeLists.txt when
# the target is Windows; it defines the same mbedtls_static target as the Linux build.
set(QV_MBEDTLS_SRC "${QV_DEPS}/src/mbedtls")
if(NOT EXISTS "${QV_MBEDTLS_SRC}/CMakeLists.txt")
  message(FATAL_ERROR "dependencies are missing: run scripts/bootstrap-windows first")
endif()

set(ENABLE_PROGRAMS OFF CACHE BOOL "" FORCE)
set(ENABLE_TESTING OFF CACHE BOOL "" FORCE)
set(MBEDTLS_FATAL_WARNINGS OFF CACHE BOOL "" FORCE)
set(USE_SHARED_MBEDTLS_LIBRARY OFF CACHE BOOL "" FORCE)
set(USE_STATIC_MBEDTLS_LIBRARY ON CACHE BOOL "" FORCE)
set(GEN_FILES OFF CACHE BOOL "" FORCE)
set(DISABLE_PACKAGE_CONFIG_AND_INSTALL ON CACHE BOOL "" FORCE)
add_subdirectory("${QV_MBEDTLS_SRC}" "${CMAKE_BINARY_DIR}/mbedtls" EXCLUDE_FROM_ALL SYSTEM)

add_library(mbedtls_static INTERFACE)
target_link_libraries(mbedtls_static INTERFACE mbedtls mbedx509 mbedcrypto ws2_32)
