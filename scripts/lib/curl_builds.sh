# shellcheck shell=bash
# Sourced by scripts/curl-matrix: finds the upstream sources of the libcurl
# versions that macOS ships and builds each one once, as an HTTP-only shared
# library, under a cache folder. Linux only: the builds are swapped in at run
# time with LD_LIBRARY_PATH.

# Every libcurl a Mac user may load (macOS 12.0 to 26), and with them the
# newest upstream release, which a later macOS may bring.
# shellcheck disable=SC2034  # used by the scripts that source this file
CURL_SHIPPED_VERSIONS="7.77.0 7.79.1 7.84.0 7.85.0 7.87.0 7.88.1 8.1.2 8.4.0 8.6.0 8.7.1"
CURL_VERSIONS="$CURL_SHIPPED_VERSIONS 8.21.0"

# find_curl_sources: prints the folder holding curl-VERSION.tar.xz archives.
# QUILLON_CURL_SOURCES names it; otherwise the workplace's shared folder beside
# the checkout is looked for. Fails when there is none.
find_curl_sources() {
  local candidate
  for candidate in ${QUILLON_CURL_SOURCES:-} "$PWD/../shared/deps/curl" /work/shared/deps/curl; do
    if [ -f "$candidate/curl-7.77.0.tar.xz" ]; then
      (cd "$candidate" && pwd)
      return 0
    fi
  done
  return 1
}

# Where builds are kept for every checkout on this machine: a clean checkout
# (CI's) then configures none of the eleven again, each of which costs about a
# minute of a core. QUILLON_CURL_CACHE names it; "none" keeps nothing there.
curl_shared_cache() {
  if [ -n "${QUILLON_CURL_CACHE:-}" ]; then
    printf '%s\n' "$QUILLON_CURL_CACHE"
  elif [ -n "${XDG_CACHE_HOME:-}" ] || [ -n "${HOME:-}" ]; then
    printf '%s\n' "${XDG_CACHE_HOME:-${HOME:-}/.cache}/quillon-mcp/libcurl"
  else
    printf 'none\n'
  fi
}

# No TLS, compression, IDN or docs: the transport speaks plain HTTP to
# loopback, and the HTTP parsing is what differs from version to version.
CURL_CONFIGURE_FLAGS="-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DHTTP_ONLY=ON
  -DCURL_USE_OPENSSL=OFF -DCMAKE_USE_OPENSSL=OFF -DCURL_ENABLE_SSL=OFF -DCURL_ZLIB=OFF
  -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF
  -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF
  -DUSE_NGHTTP2=OFF -DENABLE_THREADED_RESOLVER=ON -DBUILD_LIBCURL_DOCS=OFF -DBUILD_MISC_DOCS=OFF
  -DENABLE_CURL_MANUAL=OFF -DBUILD_EXAMPLES=OFF"
# Raised whenever build_curl changes what it makes other than by those flags.
CURL_RECIPE_REVISION=1

# curl_build_key SOURCES VERSION: what a kept build depends on, hashed: the
# archive's bytes, the recipe, and the compiler and CMake that ran it.
curl_build_key() {
  {
    sha256_of "$1/curl-$2.tar.xz"
    printf '%s\n' "$CURL_CONFIGURE_FLAGS" "$CURL_RECIPE_REVISION"
    cc --version 2>&1 | head -n 1
    cmake --version 2>&1 | head -n 1
  } | sha256_of - | cut -c 1-16
}

# build_curl SOURCES VERSION CACHE: builds libcurl VERSION into
# CACHE/VERSION/lib (libcurl.so.4 there, whatever the version calls it),
# unless an earlier run did, here or in the shared cache. Its configure and
# build output goes to CACHE/VERSION/build.log.
build_curl() {
  local sources=$1 version=$2 cache=$3
  local dir="$cache/$version" shared=""
  [ -f "$dir/built" ] && return 0
  rm -rf "$dir"
  if [ "$(curl_shared_cache)" != none ]; then
    shared="$(curl_shared_cache)/$version-$(curl_build_key "$sources" "$version")"
  fi
  if [ -n "$shared" ] && [ -f "$shared/built" ]; then
    mkdir -p "$cache"
    cp -R "$shared" "$dir.$$" && mv "$dir.$$" "$dir" && return 0
    rm -rf "$dir.$$" "$dir"
  fi
  mkdir -p "$dir/src"
  tar -xJf "$sources/curl-$version.tar.xz" -C "$dir/src" --strip-components=1
  # shellcheck disable=SC2086  # one word per flag
  if ! {
    cmake -S "$dir/src" -B "$dir/b" -G Ninja $CURL_CONFIGURE_FLAGS \
      -DCMAKE_INSTALL_PREFIX="$dir" -DCMAKE_INSTALL_LIBDIR=lib &&
      ninja -C "$dir/b" -j "$(cpu_count)" install
  } >"$dir/build.log" 2>&1; then
    tail -n 30 "$dir/build.log" >&2
    echo "libcurl $version did not build; the whole log is $dir/build.log" >&2
    return 1
  fi
  # Before 7.87 the library carries no .4 in its name, while every program
  # linked the ordinary way asks for libcurl.so.4.
  [ -e "$dir/lib/libcurl.so.4" ] || ln -s libcurl.so "$dir/lib/libcurl.so.4"
  rm -rf "$dir/src" "$dir/b"
  : >"$dir/built"
  # Kept for later checkouts; a cache that cannot be written costs only time.
  if [ -n "$shared" ] && mkdir -p "$(dirname "$shared")" 2>/dev/null &&
    cp -R "$dir" "$shared.$$" 2>/dev/null; then
    # Another run may have kept the same build meanwhile: the first one stays.
    { [ ! -e "$shared" ] && mv "$shared.$$" "$shared" 2>/dev/null; } || rm -rf "$shared.$$"
  fi
  return 0
}
