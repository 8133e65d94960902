#!/usr/bin/env bash
# Builds whisper.cpp's whisper-server and our parakeet-server (src/parakeet_server,
# on the Parakeet library of the same whisper.cpp source) and installs them at
# OUTPUT and beside it, where the daemon finds them next to itself.
#
#   build-whisper-server.sh [--vulkan=auto|on|off] CACHE_DIR OUTPUT [SOURCE_DIR]
#   build-whisper-server.sh --portable CACHE_DIR APP_DIR [SOURCE_DIR]
#
# The first form is the user's own build: tuned for this machine's CPU
# (-march=native, static libraries), plus ggml's Vulkan backend when the
# machine has a Vulkan GPU ("auto", the default) or when asked for ("on").
# The second is what a release carries: every x86-64 CPU, the best of ggml's
# CPU variants chosen at run time, and the Vulkan backend as one more loadable
# library. It writes APP_DIR/bin/whisper-server, the variant and Vulkan
# libraries beside it (ggml looks for them next to the executable) and
# whisper.cpp's shared libraries in APP_DIR/lib (the servers' RPATH is
# $ORIGIN/../lib), each a plain file under the name the loader asks for.
# The first form also leaves Parakeet's own tools (parakeet-cli,
# parakeet-quantize) in whisper-tools/ beside OUTPUT's folder, for the tests
# and benchmarks. A whisper.cpp source without the Parakeet library builds
# whisper-server alone.
#
# The pinned whisper.cpp release comes from the npm package nodejs-whisper,
# whose tarball carries the complete whisper.cpp source; npm checks the
# tarball against the registry and we check it against our own pinned SHA-512.
# ggml's Vulkan backend needs newer Vulkan headers than Debian 12 has: those of
# Debian 13's libvulkan-dev, checksum pinned, unpacked into CACHE_DIR (only the
# headers are used; the Vulkan loader stays the system's libvulkan1).
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
readonly vulkan_headers_deb=libvulkan-dev_1.4.309.0-1_amd64.deb
readonly vulkan_headers_sha256=8d329d465e16168afff58b1bd0dd6db46aac2cc3f56054a481b25a04e90b345a
readonly debian_mirror=${PARLOTTA_DEBIAN_MIRROR:-http://deb.debian.org/debian}

portable=false
vulkan=auto
while [[ ${1:-} == --* ]]; do
  case $1 in
  --portable) portable=true ;;
  --vulkan=auto | --vulkan=on | --vulkan=off) vulkan=${1#--vulkan=} ;;
  *) set -- ;;
  esac
  shift
done
if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: $0 [--vulkan=auto|on|off] CACHE_DIR OUTPUT [SOURCE_DIR]" >&2
  echo "       $0 --portable CACHE_DIR APP_DIR [SOURCE_DIR]" >&2
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

readonly repo_root=$(cd "$(dirname "$0")/.." && pwd)

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

has_parakeet() { [[ -f $1/include/parakeet.h && -d $1/examples/parakeet-cli ]]; }

is_whisper_source() {
  [[ -f $1/CMakeLists.txt && -f $1/examples/server/server.cpp ]] &&
    grep -Eq '^project\("whisper\.cpp"' "$1/CMakeLists.txt"
}

# Copies a built server (a folder: bin/whisper-server, and for a portable
# build the backend libraries beside it and lib/) into place, each file by one
# rename, so every file at the destination is whole.
install_built() {
  local from=$1 file target folder
  if ! $portable; then
    folder=$(dirname "$output")
    mkdir -p "$folder" || fail "cannot create $folder"
    cmp -s "$from/bin/whisper-server" "$output" || place "$from/bin/whisper-server" "$output" 755
    for file in "$from"/bin/parakeet-server "$from"/tools/*; do
      [[ -f $file ]] || continue
      case $file in
      */tools/*) target=$(dirname "$folder")/whisper-tools/$(basename "$file") ;;
      *) target=$folder/$(basename "$file") ;;
      esac
      cmp -s "$file" "$target" && continue
      mkdir -p "$(dirname "$target")" || fail "cannot create $(dirname "$target")"
      place "$file" "$target" 755
    done
    return
  fi
  for file in "$from"/bin/* "$from"/lib/*; do
    target=$output/${file#"$from"/}
    cmp -s "$file" "$target" && continue
    mkdir -p "$(dirname "$target")" || fail "cannot create $(dirname "$target")"
    case $file in
    */bin/whisper-server | */bin/parakeet-server) place "$file" "$target" 755 ;;
    *) place "$file" "$target" 644 ;;
    esac
  done
}

place() {
  local partial=$2.partial.$$
  temporaries+=("$partial")
  cp "$1" "$partial" && chmod "$3" "$partial" && mv -f "$partial" "$2" ||
    fail "cannot install $(basename "$2") at $(dirname "$2")"
}

has_vulkan_gpu() {
  command -v vulkaninfo >/dev/null &&
    timeout 30 vulkaninfo --summary 2>/dev/null |
    grep -Eq 'deviceType += PHYSICAL_DEVICE_TYPE_(INTEGRATED|DISCRETE|VIRTUAL)_GPU'
}

# The configure arguments for ggml's Vulkan backend, into vulkan_args.
vulkan_args=()
prepare_vulkan() {
  local glslc loader headers=$cache/vulkan-headers-1.4.309 deb
  glslc=$(command -v glslc) && loader=$(g++ -print-file-name=libvulkan.so.1) && [[ $loader == /* ]] &&
    [[ -d /usr/share/cmake/SPIRV-Headers || -d /usr/lib/cmake/SPIRV-Headers ]] ||
    fail "building the Vulkan backend needs glslc, spirv-headers and libvulkan1; run tools/install-deps.sh first"
  if [[ ! -f $headers/usr/include/vulkan/vulkan.hpp ]]; then
    deb=$cache/$vulkan_headers_deb
    if [[ ! -f $deb ]] || ! sha256sum "$deb" | grep -q "^$vulkan_headers_sha256 "; then
      echo "parlotta: fetching the Vulkan headers ($vulkan_headers_deb) from $debian_mirror"
      temporaries+=("$deb.partial")
      curl -fsSL --retry 2 -o "$deb.partial" "$debian_mirror/pool/main/v/vulkan-loader/$vulkan_headers_deb" ||
        fail "could not download $vulkan_headers_deb from $debian_mirror; check the network (or set PARLOTTA_DEBIAN_MIRROR), or build without Vulkan (PARLOTTA_WHISPER_VULKAN=OFF)"
      sha256sum "$deb.partial" | grep -q "^$vulkan_headers_sha256 " ||
        fail "refused the downloaded $vulkan_headers_deb: its SHA-256 is not the one pinned; run the command again"
      mv -f "$deb.partial" "$deb"
    fi
    temporaries+=("$headers.partial")
    rm -rf "$headers.partial" && dpkg-deb -x "$deb" "$headers.partial" && rm -rf "$headers" &&
      mv "$headers.partial" "$headers" || fail "cannot unpack $deb; delete it and run the command again"
  fi
  vulkan_args=(-DGGML_VULKAN=ON "-DVulkan_INCLUDE_DIR=$headers/usr/include" "-DVulkan_LIBRARY=$loader"
    "-DVulkan_GLSLC_EXECUTABLE=$glslc")
}

# Configures and builds whisper-server, and parakeet-server when the source
# has the Parakeet library (whisper.cpp built as part of our small project),
# and gathers what they need to run into the folder $3.
build() {
  local source build_dir=$2 into=$3 file soname project targets=(whisper-server)
  # Absolute: our project adds it from a folder of its own.
  source=$(cd "$1" && pwd) || fail "cannot enter $1"
  shift 3
  if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    fail "building whisper-server needs cmake and ninja; run tools/install-deps.sh first"
  fi
  project=(-S "$source")
  if has_parakeet "$source"; then
    project=(-S "$repo_root/src/parakeet_server" "-DWHISPER_SOURCE=$source")
    targets+=(parakeet-server)
    $portable || targets+=(parakeet-cli parakeet-quantize)
  else
    echo "parlotta: $source has no Parakeet library; building whisper-server alone"
  fi
  {
    cmake "${project[@]}" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DWHISPER_BUILD_TESTS=OFF -DWHISPER_BUILD_EXAMPLES=ON -DWHISPER_BUILD_SERVER=ON \
      -DWHISPER_SDL2=OFF -DWHISPER_CURL=OFF -DGGML_CCACHE=OFF "$@" &&
      cmake --build "$build_dir" --target "${targets[@]}"
  } >>"$log" 2>&1 || fail "building ${targets[*]} failed; the compiler's messages are in $log"
  for file in "${targets[@]}"; do
    [[ -x $build_dir/bin/$file ]] || fail "the whisper.cpp build made no bin/$file; its messages are in $log"
  done
  temporaries+=("$into.partial")
  rm -rf "$into.partial" && mkdir -p "$into.partial/bin" && cp "$build_dir/bin/whisper-server" "$into.partial/bin/" ||
    fail "cannot store the built whisper-server in $cache"
  for file in "${targets[@]:1}"; do
    case $file in
    parakeet-server) cp "$build_dir/bin/$file" "$into.partial/bin/" ;;
    *) mkdir -p "$into.partial/tools" && cp "$build_dir/bin/$file" "$into.partial/tools/" ;;
    esac || fail "cannot store the built $file in $cache"
  done
  if $portable; then
    mkdir -p "$into.partial/lib" || fail "cannot store the built whisper-server in $cache"
    for file in "$build_dir"/bin/*.so*; do
      [[ -L $file ]] && continue
      soname=$(objdump -p "$file" | awk '$1 == "SONAME" { print $2 }')
      # The backends, which ggml loads by their file names next to the
      # executable; the libraries the server links, under their sonames.
      case $(basename "$file") in
      libggml-base.so* | libggml.so* | libwhisper.so* | libparakeet.so*) cp "$file" "$into.partial/lib/${soname:-$(basename "$file")}" ;;
      libggml-*.so) cp "$file" "$into.partial/bin/" ;;
      *) continue ;;
      esac || fail "cannot store the built whisper-server in $cache"
    done
  fi
  rm -rf "$into" && mv "$into.partial" "$into" || fail "cannot store the built whisper-server in $cache"
}

configure_args=(-DBUILD_SHARED_LIBS=OFF)
flavour=native
if $portable; then
  configure_args=(-DBUILD_SHARED_LIBS=ON -DGGML_NATIVE=OFF -DGGML_BACKEND_DL=ON -DGGML_CPU_ALL_VARIANTS=ON
    '-DCMAKE_INSTALL_RPATH=$ORIGIN/../lib' -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON)
  flavour=portable
  vulkan=on
else
  [[ $vulkan == auto ]] && { has_vulkan_gpu && vulkan=on || vulkan=off; }
  [[ $vulkan == on ]] && flavour=native-vulkan
fi
case $flavour in
native) what="whisper-server $version (about 2 minutes on two cores, only the first time" ;;
native-vulkan) what="whisper-server $version with its Vulkan backend (about 6 minutes on two cores, only the first time" ;;
portable) what="the release's whisper-server $version for every x86-64 CPU and Vulkan (about 10 minutes on two cores, only the first time" ;;
esac

mkdir -p "$cache" || fail "cannot create $cache"

if [[ -n $source_dir ]]; then
  is_whisper_source "$source_dir" ||
    fail "$source_dir is not a whisper.cpp source folder (no whisper.cpp CMakeLists.txt and examples/server); point PARLOTTA_WHISPER_SOURCE at one, or unset it to build the pinned release"
  source_dir=$(cd "$source_dir" && pwd)
  # One build folder per source folder and kind; ninja makes a second run cheap.
  key=$(printf '%s' "$source_dir" | sha256sum | cut -c1-16)-$flavour
  : >"$log"
  [[ $vulkan == on ]] && prepare_vulkan
  echo "parlotta: building whisper-server ($flavour) from $source_dir (log: $log)"
  build "$source_dir" "$cache/build-$key-servers" "$cache/server-$key" "${configure_args[@]}" "${vulkan_args[@]}"
  install_built "$cache/server-$key"
  exit 0
fi

# Our own server's sources name the built folder too: a change to them is
# built again (incrementally, in the same build folder).
ours=$(cat "$repo_root"/src/parakeet_server/* "$repo_root"/src/models/model_header.* 2>/dev/null |
  sha256sum | cut -c1-12)
built=$cache/server-$version-$flavour-$ours
if [[ -x $built/bin/whisper-server && -x $built/bin/parakeet-server ]]; then
  install_built "$built"
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

[[ $vulkan == on ]] && prepare_vulkan
: >"$log"
echo "parlotta: building $what; log: $log)"
build "$source_dir" "$cache/build-$version-$flavour-servers" "$built" "${configure_args[@]}" "${vulkan_args[@]}"
install_built "$built"
