#!/usr/bin/env bash
# Builds the Debian package build/velmora_<version>_<arch>.deb: the server and
# velmora-channel built with Debian's hardening flags, the systemd service,
# the manual page, the documents, the maintainer scripts and lintian's
# overrides of packaging/.
# The version is the program's own (CMakeLists.txt), and packaging/changelog
# must have an entry for it.  Prints the package's path on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
tools/setup.sh --package

version=$(tools/version.sh)
logged=$(dpkg-parsechangelog -l packaging/changelog -S Version)
if [ "$version" != "$logged" ]; then
    echo "package.sh: the program is version $version, packaging/changelog's last entry $logged" >&2
    exit 1
fi
maintainer=$(dpkg-parsechangelog -l packaging/changelog -S Maintainer)
arch=$(dpkg --print-architecture)

# Debian's build flags: optimised, with debug information that strip removes
# below, and every hardening feature (stack protector, fortified calls,
# read-only relocations bound at load, position-independent executable).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
build=build/package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DVELMORA_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmora velmora-channel

root=$build/root
doc=$root/usr/share/doc/velmora
rm -rf "$root"
install -d "$root/DEBIAN" "$root/usr/bin" "$root/lib/systemd/system" "$root/usr/share/man/man1" "$doc" \
    "$root/usr/share/lintian/overrides"
for p in velmora velmora-channel; do
    install -m 0755 "$build/$p" "$root/usr/bin/$p"
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$root/usr/bin/$p"
done
install -m 0644 packaging/velmora.service "$root/lib/systemd/system/velmora.service"
sed "s/@VERSION@/$version/" packaging/velmora.1 | gzip -9n >"$root/usr/share/man/man1/velmora.1.gz"
ln -s velmora.1.gz "$root/usr/share/man/man1/velmora-channel.1.gz"
gzip -9n <README.md >"$doc/README.md.gz"
gzip -9n <packaging/changelog >"$doc/changelog.gz"
install -m 0644 packaging/copyright "$doc/copyright"
install -m 0644 packaging/lintian-overrides "$root/usr/share/lintian/overrides/velmora"
chmod 0644 "$doc"/*.gz "$root/usr/share/man/man1/velmora.1.gz"
install -m 0755 packaging/postinst packaging/prerm packaging/postrm "$root/DEBIAN/"

# dpkg-shlibdeps reads a source package's control file; give it a minimal one.
shlib=$build/shlibdeps
mkdir -p "$shlib/debian"
printf 'Source: velmora\n\nPackage: velmora\nArchitecture: any\n' >"$shlib/debian/control"
depends=$(cd "$shlib" && dpkg-shlibdeps -O "$top/$root/usr/bin/velmora" "$top/$root/usr/bin/velmora-channel" |
          sed -n 's/^shlibs:Depends=//p')

size=$(du -sk --apparent-size --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: velmora
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: $depends, adduser
Recommends: vlc-bin, vlc-plugin-base, dbus
Section: video
Priority: optional
Description: home media server for Roku players
 Velmora serves a family's movies, music and photos over HTTP on the local
 network to the Velmora Roku channel, which browses the shared folders, plays
 files and shows photo slideshows. It also imports iTunes music and iPhoto
 photo libraries into tables the channel reads.
 .
 The package runs the server as a systemd service under its own account,
 velmora, with its data in /var/lib/velmora. VLC transcodes the movies a
 player cannot play itself.
CONTROL
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
     xargs -0 md5sum >DEBIAN/md5sums)

deb=build/velmora_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
