# The Debian package, checked without installing it: lintian finds no error
# or warning, the program is hardened as Debian hardens its own, the control
# fields and the contents are what they should be, and the program and its
# manual page, unpacked into a folder of their own, work from there. Nothing
# of the machine's is touched: a tamblo installed here stays as it was.
set -euo pipefail

# What the program needs at run time, in any order: the packages of the
# shared libraries it links (found by dpkg-shlibdeps), and libasound2 and
# libsndfile1, which it loads itself when first needed. Nothing more: the
# C++ runtime is linked in, and the sound server is spoken to directly.
expected_depends="libasound2 libc6 libmpg123-0 libsndfile1"

"$TAMBLO_ROOT/scripts/deps" build run package
. "$TAMBLO_ROOT/scripts/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "package: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Version}\n' tamblo 2>/dev/null || true; }
installed_before=$(installed)

configure_build package -DCMAKE_BUILD_TYPE=Release -DTAMBLO_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# The build uses every flag that dpkg-buildflags gives for hardening on this
# machine: those it gives with hardening=+all and not with hardening=-all.
hardening_flags() {
  comm -23 <(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" | tr ' ' '\n' | sort -u) \
    <(DEB_BUILD_MAINT_OPTIONS=hardening=-all dpkg-buildflags --get "$1" | tr ' ' '\n' | sort -u)
}
grep '"command":' "$build/compile_commands.json" >"$work/compiles"
for flag in $(hardening_flags CPPFLAGS) $(hardening_flags CXXFLAGS); do
  if grep -v -F -- " $flag " "$work/compiles" >"$work/without"; then
    fail "compiled without $flag: $(head -n1 "$work/without")"
  fi
done
for flag in $(hardening_flags LDFLAGS); do
  grep -q -F -- " $flag " "$build/CMakeFiles/tamblo.dir/link.txt" || fail "the program is linked without $flag"
done

(cd "$build" && rm -f ./*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  exit 1
}
deb=$build/tamblo_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$build"/*.deb)"

# lintian, pedantic, info tags shown: any error or warning fails the step.
# (As root it says it would rather not be; that is not about the package.)
# It leaves files in its temporary folder: that is ours, removed at the end.
if ! TMPDIR=$work lintian --pedantic --display-info --display-experimental --fail-on error,warning --color never \
  "$deb" >"$work/lintian" 2>"$work/lintian.err"; then
  cat "$work/lintian" >&2
  grep -v 'running with root privileges' "$work/lintian.err" >&2 || true
  fail "lintian finds errors or warnings"
fi
if [ -s "$work/lintian" ]; then
  sed 's/^/lintian: /' "$work/lintian"
else
  echo "lintian --pedantic: no tag"
fi

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tamblo ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version $(field Version), the project's is $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = sound ] || fail "Section: $(field Section)"
[ "$(field Priority)" = optional ] || fail "Priority: $(field Priority)"
for name in Recommends Suggests Pre-Depends Conflicts Breaks Replaces Provides; do
  [ -z "$(field "$name")" ] || fail "unexpected $name: $(field "$name")"
done
depends=$(field Depends)
# Each one once, each with the least version the build asks for.
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ *(.*//' | sort | xargs)
[ "$names" = "$(xargs -n1 <<<"$expected_depends" | sort | xargs)" ] ||
  fail "Depends names $names; expected $expected_depends (Depends: $depends)"
if tr ',' '\n' <<<"$depends" | grep -v -E '^ *[a-z0-9.+-]+ \(>= [^)]+\)$' >"$work/unversioned"; then
  fail "Depends without a least version: $(xargs <"$work/unversioned")"
fi
echo "package: $(basename "$deb"), Depends: $depends"

# The contents: these files and their folders, owned by root, modes as
# Debian's policy has them.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $NF }' | sort -k3 >"$work/contents"
{
  for dir in usr usr/bin usr/share usr/share/doc usr/share/doc/tamblo usr/share/man usr/share/man/man1; do
    echo "drwxr-xr-x root/root ./$dir/"
  done
  echo "-rwxr-xr-x root/root ./usr/bin/tamblo"
  for file in doc/tamblo/changelog.gz doc/tamblo/copyright man/man1/tamblo.1.gz; do
    echo "-rw-r--r-- root/root ./usr/share/$file"
  done
} | sort -k3 >"$work/expected"
diff -u "$work/expected" "$work/contents" >&2 || fail "the contents differ from the expected ones (above)"

# cmake --install, as the README installs it, puts the same files in place.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
diff <(cd "$work/prefix" && find . -type f | sort) \
  <(sed -n 's|^-[^ ]* [^ ]* \./usr/|./|p' "$work/contents" | sort) >&2 ||
  fail "cmake --install and the package install different files (above)"

# Unpacked, never installed: the files are read and run from here.
root=$work/root
dpkg-deb -x "$deb" "$root"
program=$root/usr/bin/tamblo
doc=$root/usr/share/doc/tamblo

# The copyright file carries the repository's license, word for word, its
# empty lines written as " ." (a line of blanks would end the paragraph).
! grep -n '^[[:blank:]]\+$' "$doc/copyright" >&2 || fail "the copyright file has lines of blanks (above)"
diff <(sed -n '/^Permission is hereby granted/,$p' "$TAMBLO_ROOT/LICENSE") \
  <(sed -n '/^License: Expat$/,/^$/{ /^License:/d; s/^ \.$//; s/^ //; p; }' "$doc/copyright") >&2 ||
  fail "the copyright file's license differs from LICENSE (above)"
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" ||
  fail "the copyright file is not in the machine-readable format"
# The changelog's latest entry is this version.
zcat "$doc/changelog.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's latest entry is $(dpkg-parsechangelog -l "$work/changelog" -S Version), not $version"

# Hardened as Debian hardens its packages. Control flow protection needs
# every object linked to carry it, the C library's start-up files too; where
# those lack it (Debian 12), no program can have it.
nocf=()
start_notes=$(readelf -n "$(c++ -print-file-name=Scrt1.o)" 2>/dev/null || true)
grep -q 'x86 feature: IBT, SHSTK' <<<"$start_notes" || nocf=(--nocfprotection)
hardening-check "${nocf[@]}" "$program" >"$work/hardening" || {
  cat "$work/hardening" >&2
  fail "hardening-check finds a protection missing"
}
sed -n 's/^ \(.*\): /hardening: \1: /p' "$work/hardening"
[ ${#nocf[@]} -eq 0 ] || echo "hardening: (control flow protection not required: the C library's start-up files lack it)"
sections=$(readelf -S -W "$program")
! grep -q -F ' .comment ' <<<"$sections" || fail "the program keeps its .comment section"
dynamic=$(readelf -d "$program")
! grep -q -E 'RPATH|RUNPATH' <<<"$dynamic" || fail "the program names a library path of its own"

# The manual page renders without warnings and says what it must.
MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/tamblo.1.gz" >"$work/man.txt" 2>"$work/man.err"
if [ -s "$work/man.err" ]; then
  cat "$work/man.err" >&2
  exit 1
fi
# Words and phrases, wherever the lines break.
text=$(tr -s ' \n' '  ' <"$work/man.txt")
for word in next before stop ls time loop exit "There are no mp3s." Ctrl-D ALSA_CONFIG_PATH PULSE_SERVER; do
  grep -q -w -F -- "$word" <<<"$text" || fail "the manual page lacks '$word'"
done
echo "man page: $(wc -l <"$work/man.txt") lines rendered, no warning"

# The unpacked program plays a folder, silently: no sound server answers,
# and ALSA's default device is the null one.
mkdir "$work/music"
cp "$TAMBLO_ROOT/demo/01 Morning.mp3" "$work/music/"
printf 'pcm.!default { type null }\n' >"$work/asound.conf"
out=$(cd "$work/music" && printf 'exit\n' | PULSE_SERVER=unix:$work/no-server ALSA_CONFIG_PATH=$work/asound.conf \
  timeout 10 "$program" 2>"$work/stderr")
expected=$'0  | 01 Morning.mp3\n\nTamblo0~ 01 Morning~$ '
[ "$out" = "$expected" ] || fail "the unpacked tamblo printed: $out"
[ ! -s "$work/stderr" ] || fail "the unpacked tamblo wrote to standard error: $(cat "$work/stderr")"
echo "package: unpacked with dpkg-deb -x, played a folder from there"

[ "$(installed)" = "$installed_before" ] || fail "the installed tamblo changed: '$installed_before' -> '$(installed)'"
