# What the check steps (and ./play) share; sourced, never run. Expects
# TAMBLO_ROOT, the top of the repository (./check sets it).
#
#   configure_build NAME [CMAKE_ARG...] [--configure-only | --target TARGET...]
#
# Configures the build tree build/NAME and builds all of it, or only the
# TARGETs, or nothing with --configure-only. Every tree is RelWithDebInfo
# with the tests, unless a CMAKE_ARG says otherwise (the later -D wins). Sets
# `build` to the tree's path.
#
# A first configure says so in one line; a build that has work to do says
# so in one line and then shows its progress, one line per file compiled or
# program linked. A tree that is up to date prints nothing. CMake's own
# chatter is left out; errors and the compiler's messages still reach
# standard error.

configure_build() {
  local name=$1
  build=$TAMBLO_ROOT/build/$name
  shift
  local configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLO_TESTS=ON) targets=() only_configure=
  while [ $# -gt 0 ]; do
    case "$1" in
      --configure-only) only_configure=1 ;;
      --target) shift; targets=(--target "$@"); break ;;
      *) configure+=("$1") ;;
    esac
    shift
  done
  [ -f "$build/CMakeCache.txt" ] || echo "Configuring build/$name"
  cmake -S "$TAMBLO_ROOT" -B "$build" "${configure[@]}" >/dev/null || return
  [ -z "$only_configure" ] || return 0
  cmake --build "$build" -j"$(nproc)" "${targets[@]}" | show_build_progress "build/$name"
  return "${PIPESTATUS[0]}"
}

# Keeps the lines of a build's output that say a step is being done
# (make's "[ 40%] Building ...", "Linking", "Generating"; ninja's "[3/9] ..."),
# after one line naming the tree; drops the rest ("Built target", "no work
# to do"), so that an up-to-date tree prints nothing.
show_build_progress() {
  local line announced=
  while IFS= read -r line; do
    case "$line" in
      "["*"%] Building "* | "["*"%] Linking "* | "["*"%] Generating "* | "["[0-9]*/[0-9]*"] "*)
        [ -n "$announced" ] || echo "Building $1"
        announced=1
        echo "$line"
        ;;
    esac
  done
}
