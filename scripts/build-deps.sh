#!/usr/bin/env bash
# Cross-builds the static FFmpeg and LAME libraries the program links, from Debian's source
# packages, into a cache outside the clone. The cache is keyed by the package versions and the
# configure flags, so a second run (or CI on the same machine) reuses it.
# Prints the install prefix on its last line.
set -euo pipefail

cache_root=${QM_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmeridian-deps}
mkdir -p "$cache_root"
exec 9>"$cache_root/.lock"
flock 9

cross=i686-w64-mingw32
ffmpeg_flags="--enable-cross-compile --target-os=mingw32 --arch=x86 --cross-prefix=$cross- \
 --cc=$cross-gcc-posix --cxx=$cross-g++-posix --pkg-config=pkg-config --pkg-config-flags=--static \
 --enable-static --disable-shared --disable-autodetect --enable-w32threads --disable-programs \
 --disable-doc --disable-debug --disable-network --disable-everything --disable-avdevice \
 --disable-avfilter --disable-swscale --disable-postproc --enable-avutil --enable-avcodec \
 --enable-swresample --enable-avformat --enable-decoder=mp3,mp3float --enable-parser=mpegaudio \
 --enable-demuxer=mp3 --enable-protocol=file"
lame_cflags="-O2 -msse -msse2 -mfpmath=sse"

# Debian source list of our own, next to the cache, so the system's apt lists stay untouched.
apt_dir="$cache_root/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
cat > "$apt_dir/src.sources" <<SRC
Types: deb-src
URIs: $mirror
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
apt_opts=(-o "Dir::Etc::SourceParts=$apt_dir" -o Dir::Etc::sourcelist=/dev/null
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)

src_version() { apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2; exit}'; }
ffmpeg_ver=$(src_version ffmpeg || true)
lame_ver=$(src_version lame || true)
if [ -z "$ffmpeg_ver" ] || [ -z "$lame_ver" ]; then
  apt-get "${apt_opts[@]}" update -qq >/dev/null
  ffmpeg_ver=$(src_version ffmpeg); lame_ver=$(src_version lame)
fi

key=$(printf '%s\n' "$ffmpeg_ver" "$lame_ver" "$ffmpeg_flags" "$lame_cflags" "$($cross-gcc-posix -dumpversion)" | sha1sum | cut -c1-12)
prefix="$cache_root/prefix-$key"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"; exit 0
fi

work="$cache_root/work-$key"
rm -rf "$work" "$prefix"; mkdir -p "$work"
cd "$work"
echo "Building FFmpeg $ffmpeg_ver and LAME $lame_ver into $prefix" >&2
apt-get "${apt_opts[@]}" source --download-only "ffmpeg=$ffmpeg_ver" "lame=$lame_ver" >/dev/null 2>&1
for dsc in *.dsc; do dpkg-source --no-check -x "$dsc" >/dev/null; done

( cd ffmpeg-*/ && \
  ./configure --prefix="$prefix" $ffmpeg_flags >configure.log 2>&1 || { tail -30 configure.log >&2; exit 1; }
  make -j"$(nproc)" >make.log 2>&1 || { tail -30 make.log >&2; exit 1; }
  make install >/dev/null )

( cd lame-*/ && \
  ./configure --host=$cross --prefix="$prefix" CC=$cross-gcc-posix CFLAGS="$lame_cflags" \
    --enable-static --disable-shared --disable-frontend --disable-decoder --disable-gtktest \
    --disable-analyzer-hooks --disable-dependency-tracking >configure.log 2>&1 || { tail -30 configure.log >&2; exit 1; }
  make -j"$(nproc)" -C libmp3lame >make.log 2>&1 || { tail -30 make.log >&2; exit 1; }
  make -C libmp3lame install >/dev/null && make -C include install >/dev/null )

cd "$cache_root"; rm -rf "$work"
touch "$prefix/.complete"
echo "$prefix"
