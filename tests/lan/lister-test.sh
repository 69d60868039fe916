#!/usr/bin/env bash
# trelvan-list in a test LAN (preset lan24) with its own DNS server, a
# gateway (.2) and three more hosts, which answer their own names
# (avahi-daemon, nmbd) or serve HTTPS only, and four hostile ones (names.py):
# names made of markup, names with a right-to-left override or a C1 control,
# names under another id than the question's, and a neighbour that answers
# for another host and floods the scanner. The JSON, CSV and text lists, as
# root and as an ordinary user, against hosts.tsv (hosts, MACs, makers, port
# 80, the address "Connecter" opens, the name shown and each source's name):
# markup stays text, a CSV field a spreadsheet would run gets its
# apostrophe, no refused or spoofed name and no control character gets out,
# and each list comes in its usual time; hosts that say what they are (a
# printer, a cast device and a NAS by avahi-daemon, a media renderer by
# says.py) and hostile ones (a location on another host, an oversized and a
# DTD-laden description, a DNS-SD answer about another host's address,
# markup in a friendly name) in one identification round (tst_lan
# devicesSayWhatTheyAre); the window in the same LAN (tst_lan
# hostileNamesStayText) and its notice on a session bus; the word of the
# neighbour table on a terminal; a refusal; watch mode and the presence history, as root (two watchers
# sharing one store, one running a program for each event) and as an
# ordinary user: a host never seen that comes, one that goes after the
# rule's minute and comes back, one that changes its card, each change once
# in the store, --historique, then the end on SIGINT and on a closed pipe;
# Wake-on-LAN's packets on the LAN. The LAN has IPv6 (up --ipv6): every
# host's link-local address is in its JSON row's "ipv6", as root and as the
# user the scanner's namespace lets send ICMP echoes, and in the window's
# address tooltip.
#
# About 2 min 30 s, of which the rule's minute and a scan or two either side
# are the one wait: every watcher waits it at the same time.
#
#   lister-test.sh TRELVAN_LIST [TST_LAN NOTIFYRECORDER]
#
# Exits 77 (skipped) without root or network namespaces.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1
window_test=${2:-}
notify_recorder=${3:-}

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: building a LAN of network namespaces needs root" >&2
    exit 77
fi

name=l$$
work=$(mktemp -d /tmp/trelvan-lister-test.XXXXXX)
watcher=""
capture=""
daemons=""
cleanup() {
    for pid in $watcher $capture $daemons; do kill "$pid" 2>/dev/null || true; done
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The host name "imprimante" in the LAN's DNS, "epson-bureau" by multicast
# DNS: the host's own name is shown. NetBIOS names come after DNS names.
"$here/lan.sh" up "$name" --preset lan24 --dns --gateway 198.51.100.2 --ipv6 \
    --host 198.51.100.30,mdns=epson-bureau,dnssd=printer,name=imprimante \
    --host 198.51.100.31,netbios=PC-DE-LEA,name=portable \
    --host 198.51.100.32,https,mdns=nas-salon,netbios=NAS-SALON,dnssd=nas,name=nas \
    --host 198.51.100.35,mdns=chromecast-salon,dnssd=cast,name=chromecast \
    --host 198.51.100.36,says=renderer,name=lecteur \
    --host 198.51.100.37,says=markup,name=lecteur-balise \
    --host 198.51.100.38,says=oversized,name=lecteur-obese \
    --host 198.51.100.39,says=dtd,name=lecteur-dtd \
    --host 198.51.100.40,says=elsewhere:198.51.100.36,name=renvoi \
    --host 198.51.100.41,says=mdns-other:198.51.100.30,name=menteur \
    --host 198.51.100.60,rogue=markup,name=balise \
    --host 198.51.100.61,rogue=controls,name=controle \
    --host 198.51.100.62,rogue=wrong-id,name=id-errone \
    --host 198.51.100.63,rogue=spoof:198.51.100.12,name=voisin >"$work/up.log" || {
    status=$?
    cat "$work/up.log" >&2
    exit "$status"
}
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")
# shellcheck disable=SC1091
. "$state/lan.env"
# nmbd's packet-server sockets lie in its host's folder, not the machine's.
for _ in $(seq 50); do
    [ "$(find "$state" -path '*/nmbd/unexpected' -type s | wc -l)" -eq 2 ] && break
    sleep 0.1
done
[ "$(find "$state" -path '*/nmbd/unexpected' -type s | wc -l)" -eq 2 ] ||
    { echo "FAIL: nmbd's sockets are not in its hosts' folders" >&2; exit 1; }

# Each host's link-local IPv6 address, by its MAC: every row of that MAC
# lists it in "ipv6", as root and as the user the scanner's namespace lets
# send ICMP echoes.
while IFS=$'\t' read -r ip mac _; do
    [[ $ip == \#* || -z $ip ]] && continue
    link=$("$here/lan.sh" exec-host "$name" "$ip" ip -o -6 addr show scope link |
        sed -n 's/.* inet6 \(fe80:[0-9a-f:]*\)\/.*/\1/p' | head -n1)
    [ -n "$link" ] || { echo "FAIL: $ip has no link-local address" >&2; exit 1; }
    printf '%s\t%s\n' "${mac^^}" "$link"
done <"$state/hosts.tsv" >"$work/ipv6.tsv"

# A copy the unprivileged user can reach; each user its own settings folder.
cp "$program" "$work/trelvan-list"
chmod 755 "$work" "$work/trelvan-list"
mkdir -m 700 "$work/root" "$work/user"
chown nobody:nogroup "$work/user"
# The command line that runs the lister as root or as nobody, with its
# presence store in $work/MODE/${store:-list}; every program in it execs the
# next, so a process started from it is the lister itself.
lister() { # root|user
    run=("$here/lan.sh" exec "$name")
    [ "$1" = user ] && run+=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all)
    run+=(env "HOME=$work/$1" "XDG_CONFIG_HOME=$work/$1" "XDG_DATA_HOME=$work/$1/${store:-list}"
        "$work/trelvan-list")
}
list() { # root|user ARGS...
    lister "$1"
    shift
    "${run[@]}" "$@"
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

# A list comes in its usual time (a second or two), the flood notwithstanding.
timed() { # seconds command...
    local limit=$1 start ms
    shift
    start=$(date +%s%N)
    "$@"
    ms=$((($(date +%s%N) - start) / 1000000))
    [ "$ms" -lt $((limit * 1000)) ] || fail "$* took $ms ms"
}
for mode in root user; do
    timed 10 list "$mode" --format json >"$work/$mode.json" 2>"$work/$mode.err"
    timed 10 list "$mode" --format csv "$SCANNER_IP/$PREFIX" >"$work/$mode.csv"
    timed 10 list "$mode" >"$work/$mode.txt"
    "$python" - "$state/hosts.tsv" "$SCANNER_IP" "$SCANNER_MAC" "$work/$mode.json" \
        "$work/$mode.csv" "$work/$mode.txt" "$work/ipv6.tsv" <<'PY' || fail "lists as $mode"
import csv, json, re, sys
tsv, scanner_ip, scanner_mac, json_file, csv_file, text_file, ipv6_file = sys.argv[1:]
link_local = dict(line.rstrip("\n").split("\t") for line in open(ipv6_file))
expected = {scanner_ip: {"mac": scanner_mac.upper(), "web": False, "name": "", "url": "",
                         "names": {"dns": "", "mdns": "", "netbios": ""}}}
for line in open(tsv):
    if line.startswith("#") or not line.strip():
        continue
    ip, mac, web, _delay, label, _ns, mdns, netbios = line.rstrip("\n").split("\t")
    url = {"yes": f"http://{ip}/", "https": f"https://{ip}/"}.get(web, "")
    names = {"dns": label, "mdns": mdns + ".local" if mdns else "", "netbios": netbios}
    expected[ip] = {"mac": mac.upper(), "web": web == "yes", "name": mdns or label, "url": url,
                    "names": names}
assert sum(bool(want["names"]["mdns"]) for want in expected.values()) == 3
assert sum(bool(want["names"]["netbios"]) for want in expected.values()) == 2
# Of the hostile hosts only the markup one gets its own names, as text; the
# others, and the host a neighbour answers for, keep their DNS names.
markup = "=<img src=x width=3000 height=2000>"
expected["198.51.100.60"].update(name=markup, names={
    "dns": "balise", "mdns": markup + ".local", "netbios": "<b>GRAS</b>"})
# C0, DEL, C1, line separators, bidirectional marks, zero-width characters.
forbidden = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069"
                       "\u200e\u200f\u061c\u200b-\u200d\u2060\ufeff]")
makers = {"00:00:0C": "Cisco", "B8:27:EB": "Raspberry", "F0:18:98": "Apple", "00:11:32": "Synology"}

def check(rows, what):
    ips = [row["ip"] for row in rows]
    assert ips == sorted(ips, key=lambda ip: tuple(map(int, ip.split(".")))), f"{what}: order {ips}"
    got = {row["ip"]: row for row in rows}
    assert set(got) == set(expected), f"{what}: hosts {sorted(set(got) ^ set(expected))}"
    for ip, want in expected.items():
        row = got[ip]
        for key in ("mac", "web", "name", "url", "names")[: 4 if what == "csv" else 5]:
            value = want[key]
            # A spreadsheet would run it: an apostrophe first.
            if what == "csv" and key == "name" and value[:1] in ("=", "+", "-", "@"):
                value = "'" + value
            assert row[key] == value, f"{what}: {ip} {key} {row[key]!r}, expected {value!r}"
        maker = makers.get(want["mac"][:8])
        if int(want["mac"][:2], 16) & 0x02:
            assert row["maker"] == "(adresse locale)", f"{what}: {ip} maker {row['maker']!r}"
        elif maker:
            assert maker in row["maker"], f"{what}: {ip} maker {row['maker']!r}"
        else:
            assert row["maker"], f"{what}: {ip} has no maker"
        assert row["comment"] == "", f"{what}: {ip} comment {row['comment']!r}"

types = {"router", "access-point", "computer", "phone", "tablet", "printer", "tv", "media-player",
         "speaker", "nas", "camera", "game-console", "iot", "unknown"}
rows = json.load(open(json_file))
assert all(sorted(row) == ["comment", "evidence", "friendly_name", "interface", "ip", "ipv6",
                          "mac", "maker", "model", "name", "names", "network", "services", "type",
                          "url", "web"] and row["network"] == "198.51.100.0/24"
           and row["interface"] == "eth0" for row in rows)
for row in rows:
    want = link_local.get(row["mac"])
    assert isinstance(row["ipv6"], list) and len(row["ipv6"]) <= 8, row
    assert (want in row["ipv6"]) if want else row["ipv6"] == [], \
        f"json: {row['ip']} ipv6 {row['ipv6']}, expected {want}"
assert all(row["type"] in types and isinstance(row["services"], list)
           and all(sorted(said) == ["detail", "source"] for said in row["evidence"])
           for row in rows), rows
check(rows, "json")
# What the devices said of themselves, from themselves only: type, model,
# the name their owner chose and the evidence; the hostile ones nothing.
said = {row["ip"]: row for row in rows}
for ip, kind, model, friendly, source in (
        ("198.51.100.30", "printer", "HP OfficeJet Pro 9010", "Imprimante bureau", "mdns"),
        ("198.51.100.32", "nas", "", "NAS du salon", "mdns"),
        ("198.51.100.35", "media-player", "Chromecast Ultra", "Télé du salon", "mdns"),
        ("198.51.100.36", "media-player", "Trelvan Audio Lecteur R1", "Salon", "upnp"),
        ("198.51.100.37", "media-player", "Trelvan Audio Lecteur R1", "<b>Salon</b>", "upnp")):
    row = said[ip]
    assert (row["type"], row["model"], row["friendly_name"]) == (kind, model, friendly), row
    assert source in [e["source"] for e in row["evidence"]], row
for ip in ("198.51.100.38", "198.51.100.39", "198.51.100.40", "198.51.100.41"):
    row = said[ip]
    assert not row["model"] and not row["friendly_name"] and not row["services"], row
    assert not {"mdns", "upnp"} & {e["source"] for e in row["evidence"]}, row
assert said["198.51.100.30"]["services"] == ["_ipp._tcp"], said["198.51.100.30"]
with open(csv_file, newline="") as f:
    assert f.readline() == "comment,ip,mac,maker,web,name,url,network,interface,type,model\r\n", \
        "csv header"
    f.seek(0)
    rows = list(csv.DictReader(f, strict=True))
for row in rows:
    assert row["web"] in ("true", "false"), f"csv web {row['web']!r}"
    assert row["type"] in types, f"csv type {row['type']!r}"
    row["web"] = row["web"] == "true"
check(rows, "csv")
# Nothing refused, answered under another id or spoofed gets out, nor any
# control character but the line ends.
for name, data in (("json", open(json_file, encoding="utf-8").read()),
                   ("csv", open(csv_file, encoding="utf-8", newline="").read().replace("\r\n", "")),
                   ("text", open(text_file, encoding="utf-8").read())):
    data = data.replace("\n", "")
    assert not forbidden.search(data), f"{name}: {forbidden.search(data)!r}"
    for word in ("usurpateur", "faux-id", "FAUX-ID", "evil"):
        assert word not in data, f"{name}: {word}"
text = open(text_file, encoding="utf-8").read()
assert re.search(r"198\.51\.100\.60 .* " + re.escape(markup) + "$", text, re.M), text
print(f"PASS {len(rows)} hosts in JSON, CSV and text, hostile names kept out or as text")
PY
done

# The neighbour did answer for its target and flood the scanner.
grep -qh "^spoof $SCANNER_IP:[0-9]* for 198.51.100.12\$" "$state"/log/rogue-*.log ||
    fail "the neighbour never answered"
flooded=$(sed -n 's/^flood .* \([0-9]*\) datagrams in .*/\1/p' "$state"/log/rogue-*.log | sort -n | tail -1)
[ "${flooded:-0}" -ge 1000 ] || fail "no flood worth the name: ${flooded:-none}"
echo "PASS the neighbour's answers and flood (up to $flooded datagrams a question) changed nothing"

# The window in the same LAN: its tooltips and hints, and its notice of the
# markup host, a card its history never saw (trelvan-list recorded the
# network in it while that host was away), on a session bus of the test's
# own with a notification server that records what it gets.
host() { "$here/lan.sh" exec-host "$name" "$@"; }
if [ -n "$window_test" ]; then
    host 198.51.100.60 ip link set eth0 down
    store=.qttest/share list root >/dev/null # the window's data folder in Qt's test mode
    host 198.51.100.60 ip link set eth0 up
    cat >"$work/bus.conf" <<EOF
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/>
  </policy>
</busconfig>
EOF
    "$here/lan.sh" exec "$name" dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile \
        2>"$work/bus.log" &
    daemons+=" $!"
    for _ in $(seq 50); do [ -S "$work/bus" ] && break; sleep 0.1; done
    address=unix:path=$work/bus
    "$here/lan.sh" exec "$name" env "DBUS_SESSION_BUS_ADDRESS=$address" \
        "$notify_recorder" "$work/notices.jsonl" >"$work/recorder.out" &
    daemons+=" $!"
    for _ in $(seq 50); do grep -q ready "$work/recorder.out" && break; sleep 0.1; done
    grep -q ready "$work/recorder.out" || fail "no notification server on the test's bus"
    # What the devices say of themselves, in one identification round.
    timed 20 "$here/lan.sh" exec "$name" env "TRELVAN_LAN_DIR=$state" QT_QPA_PLATFORM=offscreen \
        "HOME=$work/root" "XDG_CONFIG_HOME=$work/root" "XDG_RUNTIME_DIR=$work/root" \
        "$window_test" devicesSayWhatTheyAre >"$work/identify.log" 2>&1 ||
        fail "the identification round: $(cat "$work/identify.log")"
    grep -q '^PASS   : TestLan::devicesSayWhatTheyAre()' "$work/identify.log" ||
        fail "the identification round did not run: $(cat "$work/identify.log")"
    echo "PASS the devices say what they are:"
    grep '^QINFO  : TestLan::devicesSayWhatTheyAre()' "$work/identify.log" | cut -d' ' -f5-
    timed 60 "$here/lan.sh" exec "$name" env "TRELVAN_LAN_DIR=$state" QT_QPA_PLATFORM=offscreen \
        "HOME=$work/root" "XDG_CONFIG_HOME=$work/root" "XDG_RUNTIME_DIR=$work/root" \
        "DBUS_SESSION_BUS_ADDRESS=$address" "TRELVAN_LAN_NOTICES=$work/notices.jsonl" \
        "$window_test" hostileNamesStayText >"$work/window.log" 2>&1 ||
        fail "the window: $(cat "$work/window.log")"
    grep -q '^PASS   : TestLan::hostileNamesStayText()' "$work/window.log" ||
        fail "the window's test did not run: $(cat "$work/window.log")"
    mac=$(awk -F'\t' '$1 == "198.51.100.60" {print toupper($2)}' "$state/hosts.tsv")
    "$python" - "$work/notices.jsonl" "$mac" <<'PY' || fail "the window's notice: $(cat "$work/notices.jsonl")"
import json, sys
notices = [json.loads(line) for line in open(sys.argv[1])]
assert len(notices) == 1, notices
notice = notices[0]
# The server reads markup: the name is escaped, and shows as text.
body = (f"198.51.100.60 \u2014 {sys.argv[2]}\nFabricant\u00a0: (adresse locale)\n"
        "Nom\u00a0: =&lt;img src=x width=3000 height=2000&gt;")
assert notice["summary"] == "Nouvel appareil sur le réseau", notice
assert notice["body"] == body, (notice["body"], body)
assert notice["app"] == "Trelvan" and notice["hints"]["category"] == "network", notice
PY
    for pid in $daemons; do kill "$pid" && wait "$pid" || true; done
    daemons=""
    echo "PASS the window shows the hostile names as text, or not at all, and tells its" \
        "new card once on a session bus, escaped;" \
        "$(grep -o 'scan under the flood took [0-9]* ms' "$work/window.log")"
fi

# On the neighbour table (nobody, and a copy of the program starts no
# helper), a terminal hears so in one line; a pipe does not, nor root.
for mode in root user; do
    lister "$mode"
    script -qec "$(printf '%q ' "${run[@]}") --format csv >/dev/null" /dev/null \
        >"$work/$mode.tty" 2>&1 </dev/null || fail "on a terminal as $mode: $(cat "$work/$mode.tty")"
done
neighbours="sans le résolveur trelvan-resolver, la table de voisinage du noyau répond"
[ "$(grep -c "$neighbours" "$work/user.tty")" -eq 1 ] ||
    fail "no word of the neighbour table on a terminal: $(cat "$work/user.tty")"
! grep -q "$neighbours" "$work/root.tty" "$work/user.err" "$work/root.err" ||
    fail "word of the neighbour table as root or in a pipe"
echo "PASS the neighbour table said on a terminal only"

# The table, for a pipe: one line per host under the heading, no colours.
list root >"$work/table.txt"
[ "$(wc -l <"$work/table.txt")" -eq $(($(grep -vc '^#' "$state/hosts.tsv") + 2)) ] ||
    fail "table: $(cat "$work/table.txt")"
! grep -q $'\x1b' "$work/table.txt" || fail "colours in a pipe"
head -1 "$work/table.txt" | grep -q '^Commentaire  Adresse IP ' || fail "table heading"

status=0
list user 203.0.113.1/24 >"$work/refused.out" 2>"$work/refused.err" || status=$?
[ "$status" -eq 2 ] && [ ! -s "$work/refused.out" ] && grep -q "$SCANNER_IP/$PREFIX (eth0)" "$work/refused.err" ||
    fail "refusal: status $status, $(cat "$work/refused.err")"
echo "PASS lists as root and as an ordinary user, table, refusal"

# Watch mode. .3 is away at the start, then comes with a card never seen; .4
# goes, then comes back; .5 gets another card. Watchers a and b (root) share a
# store, c (nobody) has its own; all stores are new. The scanner's neighbour
# entries age in seconds rather than a minute, and the lists' entries go, so
# that on the neighbour table (nobody) a host is there when it is: the rule's
# figures are the same for all.
host 198.51.100.3 ip link set eth0 down
"$here/lan.sh" exec "$name" sysctl -qw net.ipv4.neigh.eth0.base_reachable_time_ms=2000 \
    net.ipv4.neigh.eth0.delay_first_probe_time=1
"$here/lan.sh" exec "$name" ip neigh flush dev eth0
printf '#!/bin/sh\n{ echo "$TRELVAN_EVENT $TRELVAN_MAC $TRELVAN_IP $#"; cat; } >>"%s"\n' \
    "$work/commands.txt" >"$work/record-event"
chmod 755 "$work/record-event"
declare -A watching=()
watch() { # tag root|user ARGS...
    store=watch lister "$2"
    "${run[@]}" --suivre --format json "${@:3}" >"$work/$1.jsonl" 2>"$work/$1.err" &
    watching[$1]=$!
    watcher+=" $!"
}
events() { "$python" -c '
import datetime, json, sys
for line in open(sys.argv[1]):
    event = json.loads(line)
    when = datetime.datetime.fromisoformat(event["time"].replace("Z", "+00:00")).timestamp()
    print(event["event"], event["ip"], event["mac"], "new" if event.get("new") else "-",
          event.get("previous_mac") or "-", int(when))
' "$work/$1.jsonl"; }
wait_for() { # tag pattern seconds [times]
    local deadline=$(($(date +%s) + $3))
    until [ "$(events "$1" | grep -c "$2")" -ge "${4:-1}" ]; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "watch $1: no '$2' in $(events "$1" | tr '\n' ';')"
        sleep 0.5
    done
}
watch a root --commande "$work/record-event"
watch c user
wait_for a "^appeared 198.51.100.254 " 20
wait_for c "^appeared 198.51.100.254 " 20
watch b root
wait_for b "^appeared 198.51.100.254 " 20
for w in a b c; do
    [ "$(events $w | grep -c " 198.51.100.3 ")" -eq 0 ] || fail "watch $w: .3 reported while away"
    [ "$(events $w | grep -c " new ")" -eq 0 ] || fail "watch $w: a new card on a new store's first scan"
done
host 198.51.100.3 ip link set eth0 up
host 198.51.100.4 ip link set eth0 down
gone=$(date +%s)
host 198.51.100.5 ip link set eth0 address F0:18:98:7E:8F:55
for w in a b c; do
    wait_for $w "^appeared 198.51.100.3 00:1B:21:3A:4B:03 new " 25
    wait_for $w "^mac-changed 198.51.100.5 F0:18:98:7E:8F:55 - F0:18:98:7E:8F:05 " 25
done
for w in a b c; do wait_for $w "^left 198.51.100.4 B8:27:EB:5C:6D:04 " 100; done
left=$(($(date +%s) - gone))
host 198.51.100.4 ip link set eth0 up
for w in a b c; do
    wait_for $w "^appeared 198.51.100.4 B8:27:EB:5C:6D:04 - " 25 2
    # Once each, after the rule's minute (.4 was last seen at most a scan
    # before it went); the first scan's hosts, then nothing else.
    when=$(events $w | awk '$1 == "left" {print $6}')
    [ "$when" -ge $((gone + 50)) ] || fail "watch $w: .4 left $((when - gone)) s after it went"
    [ "$(events $w | grep -c '^appeared')" -eq $(($(grep -vc '^#' "$state/hosts.tsv") + 2)) ] &&
        [ "$(events $w | grep -Evc '^(appeared|identified)')" -eq 2 ] ||
        fail "watch $w: $(events $w | tr '\n' ';')"
    # What the devices said, told once each as it came, and only of them.
    identified=$(events $w | awk '$1 == "identified" {print $2}' | sort -V | tr '\n' ' ')
    case "$w:$identified" in
    a:"198.51.100.30 198.51.100.32 198.51.100.35 198.51.100.36 198.51.100.37 ") ;;
    [bc]:*) [ -z "$(echo "$identified" | tr ' ' '\n' | sort | uniq -d)" ] &&
        [ -z "$(echo "$identified" | tr ' ' '\n' | grep -Ev '^(|198\.51\.100\.(30|32|35|36|37))$')" ] ||
        fail "watch $w: identified $identified" ;;
    *) fail "watch $w: identified $identified" ;;
    esac
done
echo "PASS watch as root (two at once) and as nobody: a new card, a departure after $left s, a return, another card at an address"

# Each change once in the shared store, whichever watcher saw it first; the
# history of each store: first and last seen, present.
"$python" - "$work/root/watch/Dantrix/Trelvan/presence.sqlite" <<'PY' || fail "the shared store"
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
events = db.execute("SELECT kind, hex(mac) FROM events ORDER BY id").fetchall()
assert events == [("new", "001B213A4B03"), ("mac-changed", "F018987E8F55"),
                  ("left", "B827EB5C6D04"), ("arrived", "B827EB5C6D04")], events
assert db.execute("SELECT cidr, hex(gateway_mac) FROM networks").fetchall() == \
    [("198.51.100.0/24", "00000C9FF002")]
assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
PY
for mode in root user; do
    store=watch list "$mode" --historique --format json >"$work/$mode.history"
    "$python" - "$work/$mode.history" "$gone" "$(grep -vc '^#' "$state/hosts.tsv")" "$work/ipv6.tsv" <<'PY' ||
import datetime, json, sys
rows = json.load(open(sys.argv[1]))
gone, hosts = int(sys.argv[2]), int(sys.argv[3])
link_local = dict(line.rstrip("\n").split("\t") for line in open(sys.argv[4]))
seen = lambda row, key: datetime.datetime.fromisoformat(row[key].replace("Z", "+00:00")).timestamp()
assert all(sorted(row) == ["comment", "evidence", "first_seen", "friendly_name", "interface", "ip",
                           "ipv6", "last_seen", "mac", "macs", "maker", "model", "name", "network",
                           "present", "services", "type"] for row in rows)
# Each present card's last IPv6 addresses, its link-local one among them.
assert all(link_local[row["mac"]] in row["ipv6"] for row in rows
           if row["present"] and row["mac"] in link_local), rows
assert all(row["macs"][0] == row["mac"] for row in rows), rows
# Every host and the scanner present, then .5's card before the new one.
present = {row["ip"]: row for row in rows if row["present"]}
assert len(present) == hosts + 1 and len(rows) == hosts + 2, rows
assert rows[-1]["mac"] == "F0:18:98:7E:8F:05" and not rows[-1]["present"], rows[-1]
for row in present.values():
    assert seen(row, "first_seen") <= seen(row, "last_seen"), row
    assert (seen(row, "first_seen") >= gone) == (row["ip"] in ("198.51.100.3", "198.51.100.5")), row
assert seen(present["198.51.100.4"], "last_seen") >= gone + 50
PY
        fail "--historique as $mode: $(cat "$work/$mode.history")"
done
echo "PASS each change once in the shared store; --historique as root and as nobody"

# The program of --commande had each of a's lines on its input, the event in
# its environment, no argument.
"$python" - "$work/a.jsonl" "$work/commands.txt" <<'PY' || fail "--commande: $(cat "$work/commands.txt")"
import json, sys
printed = open(sys.argv[1]).read().splitlines()
got = open(sys.argv[2]).read().splitlines()
assert len(got) == 2 * len(printed), (len(got), len(printed))
for line, environment, given in zip(printed, got[::2], got[1::2]):
    event = json.loads(line)
    assert given == line, (given, line)
    assert environment == f'{event["event"]} {event["mac"]} {event["ip"]} 0', environment
PY
echo "PASS --commande: $(wc -l <"$work/a.jsonl") events, each on the program's input"

# SIGINT ends it within 3 s, even in the middle of a scan.
sleep 11.5
start=$(date +%s%N)
kill -INT "${watching[@]}"
for w in a b c; do
    status=0
    wait "${watching[$w]}" || status=$?
    [ "$status" -eq 0 ] || fail "watch $w after SIGINT: status $status"
done
watcher=""
ms=$((($(date +%s%N) - start) / 1000000))
[ "$ms" -lt 3000 ] || fail "watch after SIGINT: $ms ms"
echo "PASS watch: SIGINT ended three in $ms ms"

# A reader that goes away ends it too.
start=$(date +%s)
status=0
lister root
timeout 30 "${run[@]}" --suivre | head -n 1 >/dev/null || status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || fail "watch with a closed pipe: status $status"
echo "PASS watch ends when its reader goes, after $(($(date +%s) - start)) s"

# Wake-on-LAN, as root by card, as nobody by address: three magic packets
# each, to the network's broadcast from the scanner's address, seen on the
# switch; an unknown card gets a message and sends nothing.
ip netns exec "$SWITCH_NS" tcpdump -i br0 -nn -U -w "$work/wake.pcap" udp port 9 \
    2>"$work/tcpdump.err" &
capture=$!
for _ in $(seq 100); do grep -q "listening on" "$work/tcpdump.err" && break; sleep 0.1; done
store=watch list root --reveiller 00:11:32:aa:bb:10 >"$work/wake.out" || fail "--reveiller as root"
store=watch list user --reveiller 198.51.100.10 >>"$work/wake.out" || fail "--reveiller as nobody"
status=0
store=watch list root --reveiller 00:11:32:AA:BB:99 2>"$work/wake.err" || status=$?
[ "$status" -eq 2 ] && grep -q "appareil inconnu" "$work/wake.err" ||
    fail "--reveiller of an unknown card: status $status, $(cat "$work/wake.err")"
[ "$(grep -c "Paquet de réveil envoyé à 00:11:32:AA:BB:10 sur $CIDR" "$work/wake.out")" -eq 2 ] ||
    fail "--reveiller said: $(cat "$work/wake.out")"
sleep 0.5
kill -INT "$capture"
wait "$capture" || true
capture=""
"$python" - "$work/wake.pcap" "$SCANNER_MAC" "$SCANNER_IP" "$BROADCAST" <<'PY' || fail "magic packets"
import socket, struct, sys
data = open(sys.argv[1], "rb").read()
scanner_mac = bytes.fromhex(sys.argv[2].replace(":", ""))
magic = b"\xff" * 6 + bytes.fromhex("001132AABB10") * 16
offset, times = 24, []
while offset < len(data):
    seconds, micros, length, _ = struct.unpack("<IIII", data[offset:offset + 16])
    frame = data[offset + 16:offset + 16 + length]
    offset += 16 + length
    assert frame[:6] == b"\xff" * 6 and frame[6:12] == scanner_mac and frame[12:14] == b"\x08\x00"
    ip = frame[14:]
    header = (ip[0] & 0x0F) * 4
    assert socket.inet_ntoa(ip[12:16]) == sys.argv[3] and socket.inet_ntoa(ip[16:20]) == sys.argv[4]
    assert ip[9] == 17 and struct.unpack("!H", ip[header + 2:header + 4])[0] == 9
    assert ip[header + 8:] == magic, ip[header + 8:].hex()
    times.append(seconds + micros / 1e6)
assert len(times) == 6, len(times)
gaps = [b - a for a, b in zip(times, times[1:])]
assert all(0.08 < gap < 0.5 for gap in gaps[:2] + gaps[3:]), gaps
PY
echo "PASS --reveiller: 2 × 3 magic packets to $BROADCAST only, an unknown card refused"

# --suivre in text: one line a person reads per change, every host of the
# first scan as "arrivé" with its address, card, maker and name, the
# hostile names escaped; SIGINT ends it.
store=watch lister root
"${run[@]}" --suivre >"$work/watch.txt" 2>"$work/watch-text.err" &
watcher=$!
hosts=$(($(grep -vc '^#' "$state/hosts.tsv") + 1))
for _ in $(seq 300); do [ "$(wc -l <"$work/watch.txt")" -ge "$hosts" ] && break; sleep 0.1; done
kill -INT "$watcher"
status=0
wait "$watcher" || status=$?
watcher=""
[ "$status" -eq 0 ] || fail "--suivre in text after SIGINT: status $status"
"$python" - "$work/watch.txt" "$state/hosts.tsv" "$SCANNER_IP" <<'PY' || fail "--suivre in text: $(cat "$work/watch.txt")"
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]", text)
line = re.compile(r"\d\d:\d\d:\d\d  (nouveau|arrivé|parti|changement d'adresse|changement de carte|"
                  r"inconnus ignorés|passerelle changée|conflit|oublié) +(\S+) +(\S+)(?:  (.*))?")
events = [line.fullmatch(row) for row in text.splitlines()]
assert all(events), text
arrived = {event[2]: event for event in events if event[1] in ("arrivé", "nouveau")}
hosts = [row.split("\t") for row in open(sys.argv[2]) if row.strip() and not row.startswith("#")]
assert set(arrived) == {row[0] for row in hosts} | {sys.argv[3]}, sorted(arrived)
for ip, mac, *_ in hosts:  # .5 has had another card since
    assert arrived[ip][3] == {"198.51.100.5": "F0:18:98:7E:8F:55"}.get(ip, mac.upper()), arrived[ip][0]
assert arrived["198.51.100.32"][4].endswith("  nas-salon"), arrived["198.51.100.32"][0]
assert arrived["198.51.100.60"][4].endswith("  =<img src=x width=3000 height=2000>"), arrived["198.51.100.60"][0]
PY
echo "PASS --suivre in text: $(wc -l <"$work/watch.txt") lines, e.g. $(grep -m1 ' 198.51.100.32 ' "$work/watch.txt")"

# A private card back with the name its owner chose is its device's: .32
# (nas-salon) answers with another, private card: card-linked, never new.
# (A default name links nothing: tst_presence's Decide table.)
store=link lister root
"${run[@]}" --suivre --format json >"$work/link.jsonl" 2>"$work/link.err" &
watcher=$!
wait_for link "^appeared 198.51.100.32 " 30
host 198.51.100.32 ip link set eth0 address 0A:11:32:D0:00:32
wait_for link "^card-linked 198.51.100.32 0A:11:32:D0:00:32 - " 40
kill -INT "$watcher"
wait "$watcher" || true
watcher=""
[ "$(events link | grep -c ' 0A:11:32:D0:00:32 new ')" -eq 0 ] || fail "a linked card told as new"
"$python" - "$work/link.jsonl" <<'PY' || fail "card-linked: $(cat "$work/link.jsonl")"
import json, sys
linked = [e for e in map(json.loads, open(sys.argv[1])) if e["event"] == "card-linked"]
assert len(linked) == 1 and linked[0]["signal"]["kind"] == "mdns", linked
assert linked[0]["signal"]["name"].lower().startswith("nas-salon"), linked
PY
echo "PASS a private card back with its owner's name linked to its device"
