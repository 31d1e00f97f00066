#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages from a configured and built tree, one package
# per install component of the same name (cmake/Install.cmake), with the
# tools Debian builds its own packages with:
#
#   cmake --install --component PKG --strip   the package's files, staged
#                                            in debian/PKG as under debian/
#   gzip -9n                                 manual pages (links renamed)
#   copyright, changelog.Debian.gz           in usr/share/doc/PKG
#   dpkg-shlibdeps                           Depends of the ELF files
#                                            (libvorn from libvorn1's shlibs)
#   dpkg-gencontrol                          DEBIAN/control from control,
#                                            changelog and the substvars
#   dpkg-deb --root-owner-group              the .deb, files owned by root
#
# The package texts, maintainer scripts and control files are in this
# folder (cmake/debian): control (every package), changelog, copyright,
# PKG.postinst/.prerm/.postrm and PKG.shlibs/.triggers (@VERSION@ is the
# upstream version), PKG.lintian-overrides.
#
# usage: build-debs.sh BUILD_DIR OUT_DIR
# BUILD_DIR is configured with the prefix /usr. A package whose component
# installs nothing is an error, except python3-vorn, which is left out
# with a note while the tree has no Python module.
set -euo pipefail
umask 022

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)

die() {
    echo "build-debs: $*" >&2
    exit 1
}

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || die "$build is configured with prefix '$prefix', not /usr"
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
version=$(dpkg-parsechangelog -l"$here/changelog" -SVersion)
upstream=${version%-*}
[ "$upstream" = "$project_version" ] ||
    die "cmake/debian/changelog is at $version, the project at $project_version"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-debs.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
cp "$here/control" "$here/changelog" "$work/debian/"
cd "$work"

# An ELF file starts with 0x7f 'E' 'L' 'F'.
is_elf() {
    [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]
}

packages=$(sed -n 's/^Package: *//p' debian/control)
for pkg in $packages; do
    root=debian/$pkg
    mkdir -p "$root"
    if ! DESTDIR="$work/$root" cmake --install "$build" --component "$pkg" --strip \
            >"$work/$pkg.install.log" 2>&1; then
        cat "$work/$pkg.install.log" >&2
        die "cmake --install --component $pkg failed"
    fi
    if [ -z "$(find "$root" ! -type d -print -quit)" ]; then
        if [ "$pkg" = python3-vorn ]; then
            echo "build-debs: note: component $pkg installs nothing; no package $pkg"
            rm -rf "$root"
            continue
        fi
        die "component $pkg installs nothing"
    fi

    # Manual pages compressed with gzip -9n (no name, no time stamp: the
    # same page gives the same bytes); links between pages follow.
    if [ -d "$root/usr/share/man" ]; then
        while IFS= read -r -d '' page; do
            if [ -L "$page" ]; then
                target=$(readlink "$page")
                rm "$page"
                ln -s "$target.gz" "$page.gz"
            else
                gzip -9nf "$page"
            fi
        done < <(find "$root/usr/share/man" \( -type f -o -type l \) ! -name '*.gz' -print0)
    fi

    doc=$root/usr/share/doc/$pkg
    install -d "$doc"
    install -m 0644 "$here/copyright" "$doc/copyright"
    gzip -9nc "$here/changelog" >"$doc/changelog.Debian.gz"
    chmod 0644 "$doc/changelog.Debian.gz"
    if [ -f "$here/$pkg.lintian-overrides" ]; then
        install -D -m 0644 "$here/$pkg.lintian-overrides" \
            "$root/usr/share/lintian/overrides/$pkg"
    fi

    install -d -m 0755 "$root/DEBIAN"
    for script in preinst postinst prerm postrm; do
        if [ -f "$here/$pkg.$script" ]; then
            sed "s/@VERSION@/$upstream/g" "$here/$pkg.$script" >"$root/DEBIAN/$script"
            chmod 0755 "$root/DEBIAN/$script"
        fi
    done
    for file in shlibs triggers conffiles; do
        if [ -f "$here/$pkg.$file" ]; then
            sed "s/@VERSION@/$upstream/g" "$here/$pkg.$file" >"$root/DEBIAN/$file"
            chmod 0644 "$root/DEBIAN/$file"
        fi
    done

    substvars=debian/$pkg.substvars
    echo "misc:Depends=" >"$substvars"
    elfs=()
    while IFS= read -r -d '' f; do
        if is_elf "$f"; then elfs+=("$f"); fi
    done < <(find "$root" -type f ! -path "$root/DEBIAN/*" -print0)
    if [ ${#elfs[@]} -gt 0 ]; then
        # libvorn.so.1 is found in libvorn1's staged tree, its dependency
        # line in that package's DEBIAN/shlibs.
        dpkg-shlibdeps -T"$substvars" -l"$work/debian/libvorn1/usr/lib/$multiarch" \
            "${elfs[@]}"
    fi
    dpkg-gencontrol -p"$pkg" -P"$root" -T"$substvars"

    (cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z |
        xargs -0r md5sum) >"$root/DEBIAN/md5sums"
    [ -s "$root/DEBIAN/md5sums" ] || rm "$root/DEBIAN/md5sums"
    chmod 0644 "$root/DEBIAN/md5sums" 2>/dev/null || true

    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/"
done
