#!/usr/bin/env bash
# Builds whisper.cpp's whisper-server (Release, static libraries) and installs
# it at OUTPUT, which the daemon finds next to itself.
#
#   build-whisper-server.sh CACHE_DIR OUTPUT [SOURCE_DIR]
#
# The pinned whisper.cpp release comes from the npm package nodejs-whisper,
# whose tarball carries the complete whisper.cpp source; npm checks the
# tarball against the registry and we check it against our own pinned SHA-512.
# Once built, the pinned release is never built again from the same CACHE_DIR.
#
# Instead of the pinned release:
#   SOURCE_DIR, or PARLOTTA_WHISPER_SOURCE   a whisper.cpp source folder to build
#   PARLOTTA_WHISPER_TARBALL                 the nodejs-whisper tarball, already downloaded
#
# Every failure ends with one line on stderr saying what failed and what to do,
# and a non-zero status; OUTPUT is only ever replaced by a complete program.
set -uo pipefail

readonly version=1.9.1
readonly package=nodejs-whisper@0.3.1
readonly tarball_name=nodejs-whisper-0.3.1.tgz
readonly tarball_sha512=71ea2295456b691b91e459cdc97a46413d9ab80478f0e7370100449a45e75694a7f6237ac95473401142a954c659b93a59d8bde4d86fc1737316fb91edeacb5b

if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: $0 CACHE_DIR OUTPUT [SOURCE_DIR]" >&2
  exit 2
fi
cache=$1
output=$2
source_dir=${3:-${PARLOTTA_WHISPER_SOURCE:-}}
log=$cache/build.log
temporaries=()
# Our own messages go to the stderr we were given even when a trap fires
# while the build's output is redirected into the log.
exec 3>&2

cleanup() { rm -rf "${temporaries[@]}"; }
fail() {
  echo "parlotta: $*" >&3
  cleanup
  exit 1
}
interrupted() {
  echo "parlotta: the whisper-server build was interrupted; run the same command again to finish it" >&3
  cleanup
  exit 130
}
trap interrupted INT TERM HUP
trap cleanup EXIT

is_whisper_source() {
  [[ -f $1/CMakeLists.txt && -f $1/examples/server/server.cpp ]] &&
    grep -Eq '^project\("whisper\.cpp"' "$1/CMakeLists.txt"
}

# Copies the program into place in one rename, so OUTPUT is whole or absent.
install_program() {
  if cmp -s "$1" "$output"; then
    return
  fi
  mkdir -p "$(dirname "$output")" || fail "cannot create $(dirname "$output")"
  local partial=$output.partial.$$
  temporaries+=("$partial")
  cp "$1" "$partial" && chmod 755 "$partial" && mv -f "$partial" "$output" ||
    fail "cannot install whisper-server at $output"
}

# Configures and builds the whisper-server target of a whisper.cpp source folder.
build() {
  local source=$1 build_dir=$2
  if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    fail "building whisper-server needs cmake and ninja; run tools/install-deps.sh first"
  fi
  {
    cmake -S "$source" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_SHARED_LIBS=OFF -DWHISPER_BUILD_TESTS=OFF -DWHISPER_BUILD_EXAMPLES=ON \
      -DWHISPER_BUILD_SERVER=ON -DWHISPER_SDL2=OFF -DWHISPER_CURL=OFF -DGGML_CCACHE=OFF &&
      cmake --build "$build_dir" --target whisper-server
  } >>"$log" 2>&1 || fail "building whisper-server failed; the compiler's messages are in $log"
  [[ -x $build_dir/bin/whisper-server ]] ||
    fail "the whisper.cpp build made no bin/whisper-server; its messages are in $log"
}

mkdir -p "$cache" || fail "cannot create $cache"

if [[ -n $source_dir ]]; then
  is_whisper_source "$source_dir" ||
    fail "$source_dir is not a whisper.cpp source folder (no whisper.cpp CMakeLists.txt and examples/server); point PARLOTTA_WHISPER_SOURCE at one, or unset it to build the pinned release"
  source_dir=$(cd "$source_dir" && pwd)
  # One build folder per source folder; ninja makes a second run cheap.
  key=$(printf '%s' "$source_dir" | sha256sum | cut -c1-16)
  : >"$log"
  echo "parlotta: building whisper-server from $source_dir (log: $log)"
  build "$source_dir" "$cache/build-$key"
  install_program "$cache/build-$key/bin/whisper-server"
  exit 0
fi

built=$cache/whisper-server-$version
if [[ -x $built ]]; then
  install_program "$built"
  exit 0
fi

tarball=$cache/$tarball_name
if [[ -n ${PARLOTTA_WHISPER_TARBALL:-} ]]; then
  [[ -f $PARLOTTA_WHISPER_TARBALL ]] || fail "PARLOTTA_WHISPER_TARBALL names no file: $PARLOTTA_WHISPER_TARBALL"
  tarball=$PARLOTTA_WHISPER_TARBALL
elif [[ ! -f $tarball ]]; then
  command -v npm >/dev/null ||
    fail "fetching whisper.cpp needs npm; run tools/install-deps.sh, or set PARLOTTA_WHISPER_SOURCE to a whisper.cpp source folder"
  download=$cache/download.$$
  temporaries+=("$download")
  mkdir -p "$download"
  echo "parlotta: fetching whisper.cpp $version ($package) with npm"
  (cd "$download" && npm pack "$package" --silent) >"$log" 2>&1 && [[ -f $download/$tarball_name ]] ||
    fail "npm could not fetch $package (messages in $log); check the network and run the command again, or set PARLOTTA_WHISPER_SOURCE to a whisper.cpp source folder"
  mv -f "$download/$tarball_name" "$tarball"
fi

actual=$(sha512sum "$tarball" | cut -d' ' -f1)
if [[ $actual != "$tarball_sha512" ]]; then
  [[ $tarball == "$cache/$tarball_name" ]] && rm -f "$tarball"
  fail "refused $tarball: its SHA-512 is not the one pinned for whisper.cpp $version, so it is not the release we build; run the command again to download it afresh, or set PARLOTTA_WHISPER_SOURCE to a whisper.cpp source folder"
fi

source_dir=$cache/source-$version
if ! is_whisper_source "$source_dir"; then
  unpack=$cache/unpack.$$
  temporaries+=("$unpack")
  rm -rf "$source_dir" && mkdir -p "$unpack" &&
    tar -xzf "$tarball" -C "$unpack" package/cpp/whisper.cpp &&
    mv "$unpack/package/cpp/whisper.cpp" "$source_dir" ||
    fail "cannot unpack whisper.cpp from $tarball; delete it and run the command again"
  is_whisper_source "$source_dir" || fail "$tarball holds no whisper.cpp source"
fi

: >"$log"
echo "parlotta: building whisper-server $version (about 2 minutes on two cores, only the first time; log: $log)"
build "$source_dir" "$cache/build-$version"
partial=$built.partial.$$
temporaries+=("$partial")
cp "$cache/build-$version/bin/whisper-server" "$partial" && mv -f "$partial" "$built" ||
  fail "cannot store the built whisper-server in $cache"
install_program "$built"
