# The code is formatted as .clang-format says, and clang-tidy's chosen checks
# (.clang-tidy) pass on the program's sources.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build package
. "$TAMBLO_ROOT/scripts/lib.sh"
cd "$TAMBLO_ROOT"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "format: ${#sources[@]} files formatted"

configure_build tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTAMBLO_TESTS=OFF --configure-only
# The Windows side is checked by its own build; here the POSIX one.
mapfile -t programs < <(git ls-files 'src/*.cpp' | grep -v '^src/platform/win32/')
printf '%s\n' "${programs[@]}" | xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet 2>/dev/null
echo "tidy: ${#programs[@]} files clean"
