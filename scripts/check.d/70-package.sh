# Install layout and the Debian package: the binary and its manual page,
# Depends derived from the libraries really linked, and a package that
# installs and plays.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run package
. "$TAMBLO_ROOT/scripts/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configure_build package -DCMAKE_BUILD_TYPE=Release -DTAMBLO_TESTS=OFF

# cmake --install: bin/tamblo and a manual page that renders without warnings.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/tamblo"
page=$work/prefix/share/man/man1/tamblo.1.gz
test -f "$page"
MANWIDTH=80 man --warnings -l "$page" >"$work/man.txt" 2>"$work/man.err"
if [ -s "$work/man.err" ]; then cat "$work/man.err" >&2; exit 1; fi
for word in next before stop ls time loop exit ALSA_CONFIG_PATH; do
  grep -q "$word" "$work/man.txt" || { echo "package: the manual page lacks '$word'" >&2; exit 1; }
done
echo "install: bin/tamblo, share/man/man1/tamblo.1.gz ($(wc -l <"$work/man.txt") lines rendered)"

(cd "$build" && rm -f tamblo_*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/tamblo_*.deb)
dpkg-deb -I "$deb" >"$work/info"
dpkg-deb -c "$deb" >"$work/contents"
grep -q ' \./usr/bin/tamblo$' "$work/contents"
grep -q ' \./usr/share/man/man1/tamblo\.1\.gz$' "$work/contents"
depends=$(sed -n 's/^ Depends: //p' "$work/info")
for lib in libmpg123-0 libsndfile1 libasound2 libc6; do
  case ", $depends," in
    *", $lib "*|*", $lib,"*) ;;
    *) echo "package: Depends lacks $lib: $depends" >&2; exit 1 ;;
  esac
done
# Nothing the program does not link.
# The C++ runtime is linked in; the sound server is reached through ALSA.
for lib in libstdc++6 libpulse0 libgtest-dev python3; do
  case ", $depends," in *"$lib"*) echo "package: Depends has $lib: $depends" >&2; exit 1 ;; esac
done
echo "package: $(basename "$deb"), Depends: $depends"

# It installs, and the installed command plays a folder (silently: the
# sound goes to ALSA's null device). CI runs as root on a machine of its
# own; elsewhere only a dry run, to leave the system alone.
if [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; exit 1; }
  mkdir "$work/music"
  cp "$TAMBLO_ROOT/demo/01 Morning.mp3" "$work/music/"
  printf 'pcm.!default { type null }\n' >"$work/asound.conf"
  out=$(cd "$work/music" && printf 'exit\n' | ALSA_CONFIG_PATH=$work/asound.conf timeout 10 tamblo 2>"$work/stderr")
  expected=$'0  | 01 Morning.mp3\n\nTamblo0~ 01 Morning~$ '
  [ "$out" = "$expected" ] || { echo "package: installed tamblo printed: $out" >&2; exit 1; }
  [ ! -s "$work/stderr" ] || { cat "$work/stderr" >&2; exit 1; }
  man -w tamblo >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tamblo >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; exit 1; }
  echo "package: installed with apt-get, played, removed"
else
  apt-get install --simulate "$deb" >/dev/null
  echo "package: apt-get would install it (dry run: not root)"
fi
