# Shared by scripts/bootstrap and scripts/bootstrap-windows (sourced, not run): the private apt
# configuration under .deps/apt, source tarballs checked against the signed Sources index, and
# CMake builds of them into a prefix. Nothing here changes the machine's own package sources.

# The suites searched for versions newer than Debian 13's, newest first by what they carry; the
# one place that lists them. QV_DEPS_SUITES replaces the list (a test uses it to pretend the
# mirror offers nothing newer).
DEPS_NEWER_SUITES=${QV_DEPS_SUITES-forky sid trixie-backports}
DEPS_BASE_SUITE=trixie

deps_aptopts() {
  local root=$1
  aptopts=(-o "Dir::Etc=$root/etc/apt" -o "Dir::State=$root/state"
           -o "Dir::State::status=$root/state/status" -o "Dir::Cache=$root/cache"
           -o "APT::Architecture=amd64" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
}

# The mirror the machine's own apt sources use (never written into the project's files).
deps_mirror() {
  local m
  m=$(grep -h -E '^\s*(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
        /etc/apt/sources.list.d/*.list 2>/dev/null \
      | grep -v -i security | grep -o -E 'https?://[^ ]+' | grep -i debian | head -n 1 || true)
  [ -n "$m" ] || return 1
  printf '%s\n' "${m%/}"
}

# Writes the private sources (deb and deb-src) for the base suite and each newer suite the mirror
# offers, and fetches their lists. Sets deps_suites to the suites in use.
deps_apt_setup() {
  local root=$1 mirror=$2 key=/usr/share/keyrings/debian-archive-keyring.gpg suite code
  rm -rf "$root"
  mkdir -p "$root"/etc/apt/{sources.list.d,preferences.d,apt.conf.d} "$root"/state/lists/partial \
           "$root"/cache/archives/partial
  : > "$root/state/status"
  deps_suites=$DEPS_BASE_SUITE
  for suite in $DEPS_NEWER_SUITES; do
    code=$(curl -s -o /dev/null -w '%{http_code}' "$mirror/dists/$suite/InRelease" || true)
    if [ "$code" = 200 ]; then deps_suites="$deps_suites $suite"
    else say "suite $suite is not offered by the mirror (HTTP $code): left out"; fi
  done
  for suite in $deps_suites; do
    printf 'deb [signed-by=%s] %s %s main\ndeb-src [signed-by=%s] %s %s main\n' \
      "$key" "$mirror" "$suite" "$key" "$mirror" "$suite"
  done > "$root/etc/apt/sources.list"
  deps_aptopts "$root"
  say "fetching the package lists of $deps_suites into .deps/"
  apt-get -qq "${aptopts[@]}" update >/dev/null
}

# Uses the private configuration already in ROOT as it is, with the suites of DEPS_NEWER_SUITES
# that its lists hold. Sets deps_suites as deps_apt_setup does.
deps_apt_reuse() {
  local root=$1 suite
  deps_aptopts "$root"
  deps_suites=$DEPS_BASE_SUITE
  for suite in $DEPS_NEWER_SUITES; do
    if grep -q " $suite main\$" "$root/etc/apt/sources.list"; then deps_suites="$deps_suites $suite"
    else say "suite $suite is not in the package lists in ${root#"$deps"/}: left out"; fi
  done
}

# The upstream part of a Debian version: 1:3.6.7-3 -> 3.6.7, 0.10.0+ds-1 -> 0.10.0.
deps_upstream() { local v=${1#*:}; v=${v%-*}; v=${v%%+*}; printf '%s\n' "${v%%~*}"; }

# Downloads the orig tarball of source package NAME at Debian version VERSION into .deps/src,
# checked against the Sources index, and unpacks it fresh into DEST (dated now, so a build made
# before recompiles).
deps_fetch_source() {
  local name=$1 version=$2 dest=$3 srcinfo dir line sum file
  srcinfo=$(apt-cache "${aptopts[@]}" showsrc "$name" \
            | awk -v v="$version" 'BEGIN { RS = ""; ORS = "\n\n" } index($0, "\nVersion: " v "\n")')
  dir=$(printf '%s\n' "$srcinfo" | sed -n 's/^Directory: //p' | head -n 1)
  line=$(printf '%s\n' "$srcinfo" | sed -n '/^Checksums-Sha256:/,/^[A-Z]/p' | grep -E "orig\.tar" | head -n 1)
  sum=$(echo "$line" | awk '{print $1}'); file=$(echo "$line" | awk '{print $3}')
  [ -n "$dir" ] && [ -n "$sum" ] && [ -n "$file" ] || { say "$name $version: no source record"; return 1; }
  mkdir -p "$deps/src"
  if ! echo "$sum  $deps/src/$file" | sha256sum -c --quiet - >/dev/null 2>&1; then
    say "downloading $file"
    curl -fsS -o "$deps/src/$file" "$DEPS_MIRROR/$dir/$file"
    echo "$sum  $deps/src/$file" | sha256sum -c --quiet - || { say "checksum mismatch for $file"; return 1; }
  fi
  rm -rf "$dest"; mkdir -p "$dest"
  tar -xmf "$deps/src/$file" -C "$dest" --strip-components=1
}

# Configures, builds and installs the CMake project SRC into PREFIX (static, optimised, each
# function in a section of its own so the program's link keeps only what it calls). Further
# arguments go to CMake. The output stays in a log unless the build fails.
deps_cmake_install() {
  local src=$1 build=$2 prefix=$3; shift 3
  local log="$build.log"
  rm -rf "$build"; mkdir -p "$(dirname "$build")"
  if ! { cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF \
           -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
           -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections" "$@" \
         && ninja -C "$build" && ninja -C "$build" install; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2; say "building $(basename "$src") failed (log: $log)"; return 1
  fi
}

# Builds the three libraries the program links (Mbed TLS with the project's configuration,
# yyjson, libqrencode) from the unpacked sources in .deps/src into PREFIX; further arguments go
# to CMake (the Windows build passes its toolchain).
deps_build_libraries() {
  local prefix=$1 tag=$2; shift 2
  local mbed="$deps/src/mbedtls"
  rm -rf "$prefix"
  say "building Mbed TLS $MBEDTLS_UPSTREAM ($tag) with the project's configuration"
  cp "$top/cmake/mbedtls_config.h" "$mbed/include/mbedtls/mbedtls_config.h"
  deps_cmake_install "$mbed" "$deps/build/$tag/mbedtls" "$prefix" -DENABLE_PROGRAMS=OFF \
    -DENABLE_TESTING=OFF -DMBEDTLS_FATAL_WARNINGS=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DGEN_FILES=OFF "$@"
  grep -q "MBEDTLS_VERSION_STRING *\"$MBEDTLS_UPSTREAM\"" "$prefix/include/mbedtls/build_info.h" \
    || { say "the Mbed TLS built is not version $MBEDTLS_UPSTREAM"; return 1; }
  say "building yyjson $YYJSON_UPSTREAM ($tag)"
  deps_cmake_install "$deps/src/yyjson" "$deps/build/$tag/yyjson" "$prefix" "$@"
  say "building libqrencode $QRENCODE_UPSTREAM ($tag)"
  deps_cmake_install "$deps/src/qrencode" "$deps/build/$tag/qrencode" "$prefix" -DWITH_TOOLS=NO \
    -DWITH_TESTS=NO "$@"
}
