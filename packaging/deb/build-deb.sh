#!/bin/sh
# build-deb.sh BUILD OUT VERSION: makes keltra-service_VERSION_ARCH.deb (the host, its systemd
# unit, /etc/keltra/registry.reg as a configuration file, and maintainer scripts) and
# keltra-service-dev_VERSION_all.deb (the plug-in SDK header and CMake package) in OUT from the
# CMake build tree BUILD. The unit is written by keltra-systemd-unit, with the same code
# /INSTALL uses. Needs dpkg-dev (dpkg-shlibdeps); run by the build's "deb" target.
set -eu
build=$1 out=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
maintainer=${KELTRA_DEB_MAINTAINER:-Keltra Service Framework developers <packaging@keltra.invalid>}
arch=$(dpkg --print-architecture)
work=$(mktemp -d "${TMPDIR:-/tmp}/keltra-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Documentation every Debian package carries: copyright and a compressed changelog.
docs() {  # docs ROOT PACKAGE
    mkdir -p "$1/usr/share/doc/$2"
    cp "$here/copyright" "$1/usr/share/doc/$2/copyright"
    printf '%s (%s) unstable; urgency=medium\n\n  * Built from the project'"'"'s CMake build.\n\n -- %s  %s\n' \
        "$2" "$version" "$maintainer" "$(date -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")" |
        gzip -9n >"$1/usr/share/doc/$2/changelog.gz"
}

# The control files every package gets: md5sums of what is not a configuration file, and
# modes dpkg expects whatever the umask.
finish() {  # finish ROOT PACKAGE
    (cd "$1" && find . -path ./DEBIAN -prune -o -path ./etc -prune -o -type f -printf '%P\0' |
        sort -z | xargs -0r md5sum >DEBIAN/md5sums)
    find "$1" -type d -exec chmod 0755 {} +
    chmod 0644 "$1/DEBIAN/md5sums" "$1/DEBIAN/control"
    dpkg-deb --root-owner-group -Zxz --build "$1" "$out/${2}_${version}_$3.deb" >/dev/null
    echo "$out/${2}_${version}_$3.deb"
}

# keltra-service: the host, its unit and its configuration.
root=$work/keltra-service
DESTDIR=$root cmake --install "$build" --prefix /usr --component runtime >/dev/null
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$root/usr/bin/keltra-service"
mkdir -p "$root/lib/systemd/system" "$root/etc/keltra" "$root/DEBIAN"
unit=$("$build/bin/keltra-systemd-unit" /usr/bin/keltra-service "$root/lib/systemd/system")
chmod 0644 "$root/lib/systemd/system/$unit"
install -m 0644 "$here/registry.reg" "$root/etc/keltra/registry.reg"
echo /etc/keltra/registry.reg >"$root/DEBIAN/conffiles"
chmod 0644 "$root/DEBIAN/conffiles"
for script in postinst prerm postrm; do
    sed "s/@UNIT@/$unit/g" "$here/$script" >"$root/DEBIAN/$script"
    chmod 0755 "$root/DEBIAN/$script"
done
docs "$root" keltra-service
# dpkg-shlibdeps reads the libraries' symbol files; it wants a source package around it.
mkdir -p "$work/src/debian"
printf 'Source: keltra-service\n\nPackage: keltra-service\nArchitecture: any\n' >"$work/src/debian/control"
depends=$(cd "$work/src" && dpkg-shlibdeps -O "$root/usr/bin/keltra-service" | sed -n 's/^shlibs:Depends=//p')
cat >"$root/DEBIAN/control" <<CONTROL
Package: keltra-service
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends, init-system-helpers (>= 1.54~)
Section: admin
Priority: optional
Description: plug-in host that runs as a systemd service
 The Keltra Service Framework loads the plug-in libraries listed in
 /etc/keltra/registry.reg, forwards every service control to them and keeps
 a shared trace log. The service is enabled and started on installation and
 restarted on upgrade; the configuration file is kept when it was changed.
CONTROL
finish "$root" keltra-service "$arch"

# keltra-service-dev: the header and the CMake package for plug-in authors.
root=$work/keltra-service-dev
DESTDIR=$root cmake --install "$build" --prefix /usr --component dev >/dev/null
mkdir -p "$root/DEBIAN"
docs "$root" keltra-service-dev
cat >"$root/DEBIAN/control" <<CONTROL
Package: keltra-service-dev
Version: $version
Architecture: all
Multi-Arch: foreign
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Suggests: keltra-service
Section: libdevel
Priority: optional
Description: plug-in SDK of the Keltra Service Framework
 The header plug-in libraries are written against (keltra/plugin.h) and the
 CMake package: find_package(Keltra) gives the target Keltra::sdk and the
 function keltra_add_plugin().
CONTROL
finish "$root" keltra-service-dev all
