#!/usr/bin/env bash
# scripts/setup.sh in its dry run, against machines of this check's own (a
# dpkg-query that answers from a list, a policy-rc.d file in a temporary
# folder): it must never mask a unit, nor disable one of a package that was
# installed before it ran, never install the test daemons where apt could
# start them, and leave policy-rc.d as it found it. apt-get, systemctl and
# sudo are stand-ins that fail the check if they are ever run.
#
#   tests/scripts/setup-check.sh SOURCE_DIR
set -uo pipefail
source_dir=${1:?usage: setup-check.sh SOURCE_DIR}
setup=$source_dir/scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir "$work/bin"
# The machine's packages: "$work/installed" (one name a line) and the units
# each holds, "$work/units" ("package /lib/systemd/system/unit" lines).
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
case $1 in
-W) grep -qx "$3" "$FAKE/installed" && printf 'install ok installed' && exit 0
    exit 1 ;;
-L) awk -v p="$2" '$1 == p {print $2}' "$FAKE/units" ;;
esac
EOF
for tool in apt-get systemctl sudo; do
    # shellcheck disable=SC2016 # expanded when the stand-in runs
    printf '#!/bin/sh\necho "ran %s $*" >>"$FAKE/ran"\nexit 1\n' "$tool" >"$work/bin/$tool"
done
chmod 755 "$work/bin/"*

cat >"$work/units-all" <<'EOF'
avahi-daemon /lib/systemd/system/avahi-daemon.service
avahi-daemon /lib/systemd/system/avahi-daemon.socket
avahi-daemon /usr/share/doc/avahi-daemon/README
samba /lib/systemd/system/nmbd.service
samba /lib/systemd/system/smbd.service
samba /lib/systemd/system/samba-ad-dc.service
mosquitto /lib/systemd/system/mosquitto.service
dbus /lib/systemd/system/dbus.service
EOF

fail() {
    echo "FAIL $case: $*"
    failures=$((failures + 1))
}

# check NAME INSTALLED POLICY EXPECTED_STATUS OPTIONS...
# POLICY: none, refuses (exits 101) or allows (exits 0).
check() {
    case=$1 installed=$2 policy=$3 expected=$4
    shift 4
    local fake=$work/$case
    mkdir -p "$fake/sbin"
    tr ' ' '\n' <<<"$installed" >"$fake/installed"
    cp "$work/units-all" "$fake/units"
    case $policy in
    refuses) printf '#!/bin/sh\n# the admin'"'"'s own\nexit 101\n' >"$fake/sbin/policy-rc.d" ;;
    allows) printf '#!/bin/sh\nexit 0\n' >"$fake/sbin/policy-rc.d" ;;
    esac
    [ "$policy" = none ] || chmod 750 "$fake/sbin/policy-rc.d"
    local before=""
    [ "$policy" = none ] || before=$(stat -c '%a %s %Y' "$fake/sbin/policy-rc.d")-$(md5sum <"$fake/sbin/policy-rc.d")

    status=0
    FAKE=$fake PATH="$work/bin:$PATH" TRELVAN_SETUP_DRYRUN=1 TRELVAN_SETUP_POLICY=$fake/sbin/policy-rc.d \
        bash "$setup" "$@" >"$fake/out" 2>&1 || status=$?
    out=$(cat "$fake/out")
    [ "$status" -eq "$expected" ] || fail "exit status $status, not $expected: $out"
    [ ! -e "$fake/ran" ] || fail "ran a command of the machine's: $(cat "$fake/ran")"
    grep -q 'mask' <<<"$out" && fail "masks: $out"
    # Nothing disabled but the units of the daemons it installed itself.
    local unit package
    while read -r package unit; do
        unit=${unit##*/}
        if grep -qx "$package" "$fake/installed" && grep -q "disable.* $unit" <<<"$out"; then
            fail "disables $unit of $package, installed before: $out"
        fi
    done <"$work/units-all"
    if [ "$policy" = none ]; then
        [ ! -e "$fake/sbin/policy-rc.d" ] || fail "left a policy-rc.d behind"
    else
        after=$(stat -c '%a %s %Y' "$fake/sbin/policy-rc.d")-$(md5sum <"$fake/sbin/policy-rc.d")
        [ "$before" = "$after" ] || fail "changed the policy-rc.d it found ($before / $after)"
    fi
}
installs() { grep -q "apt-get install .* $1\( \|$\)" "$work/$case/out" || fail "does not install $1"; }
never_installs() { ! grep -q "apt-get install .* $1\( \|$\)" "$work/$case/out" || fail "installs $1"; }

build_run="cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
    libqt6sql6-sqlite libseccomp-dev libcap-ng-dev libmosquitto-dev"
build_run=$(tr -s " \n" "  " <<<"$build_run")

# run.sh: building and running only, Qt's French texts among them.
check run-fresh "" none 0
installs cmake
installs qt6-translations-l10n
for package in avahi-daemon samba mosquitto dnsmasq-base tcpdump clang nmap; do never_installs $package; done
grep -q systemctl "$work/$case/out" && fail "touches units"

# An ordinary desktop: avahi-daemon runs, samba and mosquitto are not there.
check tests-desktop "$build_run qt6-translations-l10n avahi-daemon dbus" none 0 --tests
installs samba
installs mosquitto
never_installs avahi-daemon
grep -q "disable --quiet nmbd.service smbd.service samba-ad-dc.service mosquitto.service$" \
    "$work/$case/out" || fail "does not disable the units of samba and mosquitto"
[ "$(grep -c '^Disabled ' "$work/$case/out")" -eq 1 ] || fail "does not say so in one line"

# The same with the admin's policy-rc.d, which refuses: used, left as it was.
check tests-policy "$build_run qt6-translations-l10n avahi-daemon" refuses 0 --with-tools
installs samba
installs clang

# A policy-rc.d that lets apt start services: the daemons are not installed.
check tests-open-policy "$build_run" allows 1 --tests
installs tcpdump
never_installs samba
never_installs mosquitto
grep -q 'systemctl' "$work/$case/out" && fail "touches units"

# The demo: its LAN's daemons, not the tests' broker nor the yardsticks.
check demo "$build_run qt6-translations-l10n" none 0 --demo
installs avahi-daemon
installs samba
for package in mosquitto clang nmap arp-scan python3-matplotlib tcpdump; do never_installs $package; done

# Everything there: nothing run at all.
check nothing-missing "$build_run qt6-translations-l10n" none 0
[ ! -s "$work/$case/out" ] || fail "ran something: $(cat "$work/$case/out")"

if [ "$failures" -gt 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "PASS setup.sh masks nothing, disables only what it installed, leaves policy-rc.d as it was"
