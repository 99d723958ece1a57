#!/usr/bin/env bash
# Installs a finished build into a temporary prefix and uses it as a user
# would: a C program built with pkg-config (shared library) and a C++ program
# built with find_package (static library) each read a pose from the
# simulator, and the installed ndi-track tracks it with the installed plugin.
#
# Environment (set by CMakeLists.txt): NDI_BUILD_DIR, NDI_SOURCE_DIR, NDI_SIM,
# NDI_CMAKE, NDI_GENERATOR, NDI_C_COMPILER, NDI_CXX_COMPILER, NDI_LIBDIR,
# NDI_VERSION, NDI_SANITIZE (empty outside sanitizer builds).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"

work=$(mktemp -d)
trap 'stop_simulators; rm -rf "$work"' EXIT
prefix=$work/prefix
# A DESTDIR from the caller would put the tree somewhere else.
unset DESTDIR

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Sanitizer builds install instrumented libraries: their users link the
# same runtime.
san_flags=()
if [[ -n "${NDI_SANITIZE:-}" ]]; then
  san_flags=("-fsanitize=$NDI_SANITIZE" -fno-omit-frame-pointer)
fi

# Installing builds nothing: a build that is not complete fails here.
"$NDI_CMAKE" --install "$NDI_BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }

start_simulator "$NDI_SIM" "$work" aurora --tcp 127.0.0.1:0
host=${SIM_ADDRESS%:*}
port=${SIM_ADDRESS##*:}

# ---- C, pkg-config, shared library ----
export PKG_CONFIG_PATH=$prefix/$NDI_LIBDIR/pkgconfig
flags=$(pkg-config --cflags --libs velantor-ndi-protocol) || fail "pkg-config finds no velantor-ndi-protocol"
[[ "$flags" == *"-I$prefix/"* ]] || fail "pkg-config points outside the prefix: $flags"
# shellcheck disable=SC2086 # the flags are words
"$NDI_C_COMPILER" -std=c11 -Wall -Wextra -Werror "${san_flags[@]}" \
  -o "$work/read_one_pose" "$NDI_SOURCE_DIR/consumer_c/read_one_pose.c" $flags \
  -Wl,-rpath,"$prefix/$NDI_LIBDIR" || fail "building the C consumer"
grep -q 'NEEDED.*libndi_protocol\.so' <<<"$(readelf -d "$work/read_one_pose")" ||
  fail "the C consumer is not linked to the shared library"
out=$("$work/read_one_pose" "$host" "$port") || fail "the C consumer read no pose"
echo "C consumer: $out"
[[ "$out" =~ ^pose\ handle\ [0-9A-F]{2}\ frame\ [0-9]+\ position\ -?[0-9] ]] ||
  fail "the C consumer printed no pose: $out"

# ---- C++, find_package, static library ----
"$NDI_CMAKE" -S "$NDI_SOURCE_DIR/consumer_cpp" -B "$work/cpp" -G "$NDI_GENERATOR" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$NDI_CXX_COMPILER" \
  -DEXPECTED_VERSION="$NDI_VERSION" \
  -DCMAKE_CXX_FLAGS="${san_flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${san_flags[*]}" \
  >"$work/cpp-configure.log" 2>&1 || { cat "$work/cpp-configure.log" >&2; fail "configuring the C++ consumer"; }
found=$(sed -n 's/^VelantorNDIProtocol_DIR:PATH=//p' "$work/cpp/CMakeCache.txt")
[[ "$found" == "$prefix/"* ]] || fail "find_package found the package outside the prefix: $found"
"$NDI_CMAKE" --build "$work/cpp" >"$work/cpp-build.log" 2>&1 ||
  { cat "$work/cpp-build.log" >&2; fail "building the C++ consumer"; }
! grep -q 'NEEDED.*libndi_protocol' <<<"$(readelf -d "$work/cpp/read_one_pose_cpp")" ||
  fail "the C++ consumer should carry the static library, not load the shared one"
out=$("$work/cpp/read_one_pose_cpp" "$host" "$port") || fail "the C++ consumer read no pose"
echo "C++ consumer: $out"
[[ "$out" =~ ^pose\ handle\ [0-9A-F]{2}\ frame\ [0-9]+\ position\ -?[0-9] ]] ||
  fail "the C++ consumer printed no pose: $out"

# ---- The installed programs run from the prefix alone ----
"$prefix/bin/ndi-sim" --help >/dev/null || fail "installed ndi-sim does not start"
"$prefix/bin/ndi-make-tool-image" "$work/tool.rom" || fail "installed ndi-make-tool-image"
# ndi-track through its link in bin/, with the plugin beside its real file
# and the host libraries found by RPATH: a line of csv after the header is a
# frame.
# The installed simulator names the break wrapper of the prefix, not the
# build tree's, which an installed tree may outlive.
start_simulator "$prefix/bin/ndi-sim" "$work" aurora
grep -q "LD_PRELOAD=$prefix/.*/velantor-ndi/libndisim_break_notifier_preload.so " "$SIM_OUT" ||
  { cat "$SIM_OUT" >&2; fail "installed ndi-sim names another break wrapper"; }
track_out=$("$prefix/bin/ndi-track" --family aurora --device "$SIM_DEVICE" --format csv \
  --duration 1 2>"$work/track.err") || { cat "$work/track.err" >&2; fail "installed ndi-track"; }
grep -q "plugin.*loaded from $prefix/" "$work/track.err" ||
  { cat "$work/track.err" >&2; fail "installed ndi-track did not load the installed plugin"; }
[[ $(wc -l <<<"$track_out") -ge 2 ]] || fail "installed ndi-track printed no frame: $track_out"

echo "install and consume: all checks passed"
