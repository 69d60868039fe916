#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack, into a folder of
# its own, and checks it: the files it holds and their modes, its control
# fields, the menu entry (desktop-file-validate), the metainfo (appstreamcli,
# offline), the icons, the postinst's three outcomes (run against stand-ins
# for setcap, never on this machine's files), the watch service's unit and
# settings (systemd-analyze verify, offline, and its exposure figure) and
# lintian, which must report no error. Installs nothing. Exits 77 (skipped)
# where a tool is missing.
#
#   check-package.sh BUILD_DIR CPACK WITH_RESOLVER(0|1) WITH_LISTER(0|1)
set -uo pipefail
if [ $# -ne 4 ]; then
    echo "usage: $0 BUILD_DIR CPACK WITH_RESOLVER WITH_LISTER" >&2
    exit 2
fi
build=$1 cpack=$2 with_resolver=$3 with_lister=$4
id=example.dantrix.trelvan
source=$(cd "$(dirname "$0")/../.." && pwd)
helper=/usr/libexec/trelvan/trelvan-resolver

for tool in dpkg-deb dpkg-shlibdeps file desktop-file-validate appstreamcli lintian; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed (scripts/setup.sh --package installs it)"
        exit 77
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/trelvan-package.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$work/out/trelvan_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
    ls "$work/out"
    echo "FAIL: no $deb"
    exit 1
fi
echo "built $(basename "$deb")"

# Files, with their modes and owners; directories only under /usr, and
# /etc/default for the service's settings.
{
    echo "-rwxr-xr-x root/root usr/bin/trelvan"
    [ "$with_lister" = 1 ] && echo "-rwxr-xr-x root/root usr/bin/trelvan-list"
    [ "$with_resolver" = 1 ] && echo "-rwxr-xr-x root/root ${helper#/}"
    echo "-rw-r--r-- root/root usr/share/applications/$id.desktop"
    echo "-rw-r--r-- root/root usr/share/doc/trelvan/changelog.gz"
    echo "-rw-r--r-- root/root usr/share/doc/trelvan/copyright"
    for size in 16 22 24 32 48 64 128 256; do
        echo "-rw-r--r-- root/root usr/share/icons/hicolor/${size}x$size/apps/$id.png"
    done
    echo "-rw-r--r-- root/root usr/share/lintian/overrides/trelvan"
    echo "-rw-r--r-- root/root usr/share/man/man1/trelvan.1.gz"
    [ "$with_lister" = 1 ] && [ -f "$source/res/linux/trelvan-list.1.in" ] &&
        echo "-rw-r--r-- root/root usr/share/man/man1/trelvan-list.1.gz"
    echo "-rw-r--r-- root/root usr/share/metainfo/$id.metainfo.xml"
    if [ "$with_lister" = 1 ]; then
        echo "-rw-r----- root/root etc/default/trelvan-watch"
        echo "-rw-r--r-- root/root usr/lib/systemd/system/trelvan-watch.service"
        echo "-rw-r--r-- root/root usr/lib/sysusers.d/trelvan.conf"
    fi
} | sort >"$work/expected"
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $1, $2, $6}' "$work/contents" | sort >"$work/files"
diff -u "$work/expected" "$work/files" || fail "the package's files (- expected, + found)"
awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root" ||
    $6 !~ /^\.\/(usr\/|etc\/$|etc\/default\/$)/) {print}' \
    "$work/contents" | grep . && fail "directories outside /usr or with other modes"

# Control fields: the libraries' packages come from dpkg-shlibdeps; the
# platform plugins always; setcap's only where the postinst needs it.
dpkg-deb -f "$deb" Package Version Depends >"$work/control"
grep -qx "Package: trelvan" "$work/control" || fail "package name"
grep -qx "Version: $version" "$work/control" || fail "version"
for dependency in libc6 libqt6core6 libqt6widgets6 libqt6network6; do
    grep -q "^Depends:.* $dependency (>= " "$work/control" || fail "no versioned $dependency in Depends"
done
grep -q "^Depends: .*qt6-qpa-plugins" "$work/control" || fail "Depends lacks qt6-qpa-plugins"
grep -q "^Depends: .*libqt6sql6-sqlite" "$work/control" || fail "Depends lacks libqt6sql6-sqlite"
if [ "$with_resolver" = 1 ]; then
    grep -q "^Depends: .*libcap2-bin" "$work/control" || fail "Depends lacks libcap2-bin"
    # The helper confines itself with these.
    for dependency in libseccomp2 libcap-ng0; do
        grep -q "^Depends:.* $dependency (>= " "$work/control" || fail "no versioned $dependency in Depends"
    done
else
    grep -q "libcap2-bin" "$work/control" && fail "libcap2-bin without a helper to give a capability to"
fi
zcat <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/trelvan/changelog.gz) 2>/dev/null |
    head -1 | grep -q "^trelvan ($version) " || fail "the changelog's first entry is not $version"

root=$work/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
desktop=$root/usr/share/applications/$id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
grep -qx "Exec=trelvan" "$desktop" || fail "Exec is not trelvan"
grep -qx "Icon=$id" "$desktop" || fail "Icon is not $id"
grep -q "^Name\[fr\]=\|^GenericName\[fr\]=" "$desktop" || fail "no French name"
grep -q "^Comment\[fr\]=" "$desktop" || fail "no French comment"
appstreamcli validate --no-net --no-color "$root/usr/share/metainfo/$id.metainfo.xml" ||
    fail "appstreamcli validate"

# Every file that names the version names the package's: the programs, the
# manual pages and the metainfo.
[ "$("$root/usr/bin/trelvan" --version)" = "trelvan $version" ] ||
    fail "trelvan --version: $("$root/usr/bin/trelvan" --version 2>&1)"
if [ "$with_lister" = 1 ]; then
    [ "$("$root/usr/bin/trelvan-list" --version)" = "trelvan-list $version" ] ||
        fail "trelvan-list --version: $("$root/usr/bin/trelvan-list" --version 2>&1)"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
    zcat "$page" | head -1 | grep -qF "\"Trelvan $version\"" ||
        fail "$(basename "$page") names another version"
done
grep -qF "<release version=\"$version\"" "$root/usr/share/metainfo/$id.metainfo.xml" ||
    fail "the metainfo's release is not $version"
for size in 16 22 24 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x$size/apps/$id.png
    file -b "$png" | grep -q "^PNG image data, $size x $size, 8-bit/color RGBA" ||
        fail "${size}x$size icon: $(file -b "$png")"
done

# The watch service: the program it runs, as the user its sysusers file
# makes, with the settings the defaults file offers (all commented out:
# the package enables nothing); none of the options that set no_new_privs,
# under which the resolver helper would lose its capability; verified and
# rated by systemd-analyze, offline, with the package's program and manual.
unit=$root/usr/lib/systemd/system/trelvan-watch.service
if [ "$with_lister" = 1 ]; then
    # shellcheck disable=SC2016 # the unit's variables, as systemd reads them
    grep -qx 'ExecStart=/usr/bin/trelvan-list --suivre $TRELVAN_NETWORKS $TRELVAN_MQTT $TRELVAN_MQTT_PASSWORD_FILE $TRELVAN_AGENT' "$unit" ||
        fail "the unit's ExecStart"
    user=$(awk '$1 == "u" {print $2}' "$root/usr/lib/sysusers.d/trelvan.conf")
    if ! grep -qx "User=$user" "$unit" || ! grep -qx "Group=$user" "$unit"; then
        fail "the unit's user is not '$user'"
    fi
    grep -qx "EnvironmentFile=-/etc/default/trelvan-watch" "$unit" || fail "the unit reads other settings"
    grep -v '^#' "$root/etc/default/trelvan-watch" | grep . && fail "the defaults file sets something"
    sed -n 's/^#\(TRELVAN_[A-Z_]*\)=.*/\1/p' "$root/etc/default/trelvan-watch" | sort -u >"$work/variables"
    while read -r variable; do
        grep -q "^ExecStart=.*\$$variable\b" "$unit" || fail "the unit does not use $variable"
    done <"$work/variables"
    grep -E '^(NoNewPrivileges|DynamicUser|SystemCall[A-Za-z]*|RestrictAddressFamilies|RestrictNamespaces|RestrictRealtime|RestrictSUIDSGID|LockPersonality|MemoryDenyWriteExecute|PrivateDevices|PrivateUsers|Protect(Clock|Hostname|Kernel[A-Za-z]*))=' "$unit" &&
        fail "the unit sets an option that takes the resolver helper's capability away"
    grep -qx "CapabilityBoundingSet=CAP_NET_RAW" "$unit" || fail "the unit's bounding set"
    if command -v systemd-analyze >/dev/null 2>&1; then
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/trelvan-watch.service"
        MANPATH=$root/usr/share/man systemd-analyze verify "$work/trelvan-watch.service" ||
            fail "systemd-analyze verify"
        systemd-analyze security --offline=true "$work/trelvan-watch.service" 2>&1 | tail -1
    fi
fi

# The postinst, run against stand-ins for setcap, with the helper's path
# moved into this test's folder.
control=$work/control.d
dpkg-deb -e "$deb" "$control" || fail "dpkg-deb -e"
if [ "$with_resolver" = 1 ]; then
    postinst=$control/postinst
    [ -x "$postinst" ] || fail "postinst missing or not executable"
    grep -qx "helper=$helper" "$postinst" || fail "postinst names another helper than $helper"
    grep -qx "defaults=/etc/default/trelvan-watch" "$postinst" || fail "postinst names other settings"
    sed -e "s|^helper=.*|helper=$work/helper|" -e "s|^defaults=.*|defaults=$work/defaults|" \
        "$postinst" >"$work/postinst"
    touch "$work/defaults"
    mkdir "$work/ok" "$work/refused" "$work/none"
    printf '#!/bin/sh\necho "$@" >"%s/setcap.args"\n' "$work" >"$work/ok/setcap"
    printf '#!/bin/sh\necho "$@" >"%s/sysusers.args"\n' "$work" >"$work/ok/systemd-sysusers"
    # The service's group exists, no override: the settings become root's and its group's.
    printf '#!/bin/sh\necho _trelvan:x:999:\n' >"$work/ok/getent"
    printf '#!/bin/sh\nexit 1\n' >"$work/ok/dpkg-statoverride"
    for tool in chgrp chmod; do
        printf '#!/bin/sh\necho "$@" >"%s/%s.args"\n' "$work" "$tool" >"$work/ok/$tool"
    done
    printf '#!/bin/sh\necho "Operation not supported" >&2\nexit 1\n' >"$work/refused/setcap"
    chmod 755 "$work/ok/"* "$work/refused/setcap"
    for case in ok refused none; do
        PATH=$work/$case /bin/sh "$work/postinst" configure >"$work/out.$case" 2>"$work/err.$case" ||
            fail "postinst exits with an error when setcap is '$case'"
    done
    [ "$(cat "$work/setcap.args" 2>/dev/null)" = "cap_net_raw+ep $work/helper" ] ||
        fail "postinst ran setcap $(cat "$work/setcap.args" 2>/dev/null)"
    [ -s "$work/err.ok" ] && fail "postinst printed: $(cat "$work/err.ok")"
    if [ "$with_lister" = 1 ]; then
        [ "$(cat "$work/chgrp.args" "$work/chmod.args" 2>/dev/null)" = "_trelvan $work/defaults
0640 $work/defaults" ] || fail "postinst left the settings readable by others"
    fi
    [ "$with_lister" = 0 ] || [ "$(cat "$work/sysusers.args" 2>/dev/null)" = trelvan.conf ] ||
        fail "postinst ran systemd-sysusers $(cat "$work/sysusers.args" 2>/dev/null)"
    for case in refused none; do
        if ! { [ "$(wc -l <"$work/err.$case")" -eq 1 ] && grep -q "cap_net_raw" "$work/err.$case"; }; then
            fail "postinst without setcap ($case) does not say so in one line: $(cat "$work/err.$case")"
        fi
    done
else
    grep -qx "helper=" "$control/postinst" || fail "a postinst that names a helper the package lacks"
fi
unexpected=preinst
[ "$with_lister" = 1 ] || unexpected="preinst prerm postrm"
if [ "$with_lister" = 1 ]; then
    grep -qx /etc/default/trelvan-watch "$control/conffiles" || fail "the defaults file is no conffile"
    for script in prerm postrm; do
        [ -x "$control/$script" ] || fail "$script missing or not executable"
    done
fi
for script in $unexpected; do
    [ -e "$control/$script" ] && fail "unexpected $script"
done

# Lintian: no error, and no binary built without the hardening flags.
# Warnings are printed, not counted; infos are not printed (the embedded
# listings alone make hundreds).
lintian --fail-on error --tag-display-limit 0 --display-info "$deb" >"$work/lintian" 2>&1 ||
    fail "lintian reports an error"
grep -v "^running with root privileges\|^I: " "$work/lintian"
grep "hardening-no-" "$work/lintian" && fail "a binary lacks hardening"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package checks passed"
