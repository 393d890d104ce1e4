# What the check steps (and ./play) share; sourced, never run. Expects
# TAMBLO_ROOT, the top of the repository (./check sets it).
#
#   configure_build NAME [CMAKE_ARG...] [--configure-only | --target TARGET...]
#
# Configures the build tree build/NAME and builds all of it, or only the
# TARGETs, or nothing with --configure-only. Every tree is RelWithDebInfo
# with the tests, unless a CMAKE_ARG says otherwise (the later -D wins). The
# progress lines are left out; errors and the compiler's messages still reach
# standard error. Sets `build` to the tree's path.

configure_build() {
  build=$TAMBLO_ROOT/build/$1
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
  cmake -S "$TAMBLO_ROOT" -B "$build" "${configure[@]}" >/dev/null || return
  [ -n "$only_configure" ] || cmake --build "$build" -j"$(nproc)" "${targets[@]}" >/dev/null || return
}
