#!/usr/bin/env bash
# The Windows installer end to end, under Wine, in a test LAN of its own:
#
#   installer-test.sh INSTALLER WINE [SCREENSHOT]
#
# In a fresh Wine prefix whose every process runs in the LAN's scanner
# namespace (Wine's server makes the programs' sockets, so it runs there
# too): a silent install; the files, the Start-menu entry, the Add/Remove
# Programs entry and trelvan.exe's version and manifest; trelvan-list.exe's
# --version, --help (to a file and to a console), a JSON list with nothing on
# standard error, a refusal, watch mode running a program of --commande for
# each event and feeding a broker on the LAN (MQTT without TLS, Home
# Assistant's discovery), Ctrl+C ending it, the history in its store and by
# --historique, and Wake-on-LAN's packets on the LAN; trelvan.exe on Xvfb
# with its window titled "Trelvan", the LAN's network in its picker and the
# end of its scan (a screenshot of the screen goes to SCREENSHOT when given);
# a silent uninstall that leaves no installed file and the user's comments in
# the registry.
#
# Wine's SendARP is a stub that answers ERROR_NOT_SUPPORTED for every
# address, so the programs read the neighbour table instead: the JSON list
# holds exactly the LAN's hosts, with their makers, web servers and a
# comment of the user's, the window every host, and a host that leaves is
# gone from the window by its second scan. The LAN's hosts have IPv6; Wine 8
# lists no IPv6 neighbours (its GetIpNetTable2(AF_INET6) is not implemented),
# so the rows' "ipv6" lists stay empty there, and nothing is said of it on
# standard error.
#
# Exits 77 (skipped) without root, network namespaces, Xvfb or the installer.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lan=$here/../lan/lan.sh
installer=$1
wine=$2
screenshot=${3:-}
# The version, from the installer's name (trelvan-<version>-win64.exe), and
# as the version block writes it (minor in two digits, patch in three).
version=$(basename "$installer" -win64.exe)
version=${version#trelvan-}
IFS=. read -r major minor patch <<<"$version"
rc_version=$(printf '%d.%02d.%03d' "$major" "$minor" "$patch")
skip() {
    echo "skipped: $*" >&2
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "building a LAN of network namespaces needs root"
[ -f "$installer" ] || skip "no installer at $installer (cpack makes it)"
command -v Xvfb >/dev/null || skip "Xvfb is not installed"
command -v xwininfo >/dev/null || skip "xwininfo (x11-utils) is not installed"
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver

name=wi$$
work=$(mktemp -d /tmp/trelvan-installer-test.XXXXXX)
chmod 755 "$work"
prefix=$work/prefix
mkdir "$prefix"
xvfb=""
watcher=""
window=""
capture=""
cleanup() {
    set +e
    [ -n "$watcher" ] && kill "$watcher"
    [ -n "$capture" ] && kill "$capture"
    [ -n "$window" ] && kill "$window"
    inlan "$server" -k
    [ -n "$xvfb" ] && kill "$xvfb"
    "$lan" down "$name"
    rm -rf "$work"
} >/dev/null 2>&1
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# A web server, one on HTTPS only that is also the gateway, a printer without
# one that is also the LAN's MQTT broker and says what it is over DNS-SD (its
# own avahi-daemon), and a media player with a locally administered address
# that says what it is over SSDP/UPnP and leaves while the window watches.
"$lan" up "$name" --scanner 198.51.100.1/24 --gateway 198.51.100.21 --ipv6 \
    --host 198.51.100.20,00:11:32:AA:BB:20,web,name=nas \
    --host 198.51.100.21,B8:27:EB:5C:6D:21,https,name=raspi \
    --host 198.51.100.22,9C:7B:EF:12:34:22,name=imprimante,mosquitto,mdns=imprimante-bureau,dnssd=printer \
    --host 198.51.100.30,name=lecteur,says=renderer >"$work/up.log" || {
    status=$?
    cat "$work/up.log" >&2
    exit "$status"
}
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")
# shellcheck disable=SC1091
. "$state/lan.env"
hosts=$(($(grep -vc '^#' "$state/hosts.tsv") + 1)) # and the scanner
# The scanner's kernel trusts an entry it has confirmed for 1 to 3 s rather
# than 15 to 45: a host that leaves is checked again, and dropped, within
# two scans instead of about a minute, which no program can shorten.
"$lan" exec "$name" sysctl -qw net.ipv4.neigh.eth0.base_reachable_time_ms=2000

# A command in the scanner namespace, with this test's Wine prefix; Wine
# hands QT_* variables on only when they are named WINEQT_*.
# A screen first: Wine's desktop, which the prefix's first program starts,
# keeps the display it found for every later window.
"$lan" exec "$name" Xvfb -displayfd 3 -nolisten tcp -screen 0 800x700x24 3>"$work/display" \
    >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
display=:$(cat "$work/display")
[ "$display" != : ] || fail "Xvfb did not start"

winenv=(env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=C.UTF-8
    DISPLAY="$display")
inlan() { "$lan" exec "$name" "${winenv[@]}" "$@"; }
# Started in the background, the process whose PID $! gives is the program
# itself: each command of the line execs the next, and Wine runs the
# program in the process it was started as.
lister=("$lan" exec "$name" "${winenv[@]}" "$wine" 'C:\Program Files\Trelvan\trelvan-list.exe')
inlan "$server" -p </dev/null >/dev/null 2>&1
inlan "$wine" wineboot --init </dev/null >/dev/null 2>&1
# Wine's own view of the interfaces may lag behind a fresh prefix: wait
# until it shows the LAN's address.
for _ in $(seq 30); do
    inlan "$wine" ipconfig </dev/null >"$work/ipconfig.txt" 2>/dev/null || true
    grep -aq "$SCANNER_IP" "$work/ipconfig.txt" && break
    sleep 1
done
echo "PASS a fresh Wine prefix in the LAN's scanner namespace"

# --- install ---
status=0
inlan "$wine" "$(realpath "$installer")" /S </dev/null >"$work/install.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "silent install: status $status, $(cat "$work/install.log")"
folder="$prefix/drive_c/Program Files/Trelvan"
expected="Qt6Core.dll Qt6Gui.dll Qt6Network.dll Qt6Sql.dll Qt6Widgets.dll Uninstall.exe
imageformats/qico.dll libgcc_s_seh-1.dll libmosquitto.dll libstdc++-6.dll libwinpthread-1.dll
platforms/qwindows.dll sqldrivers/qsqlite.dll sqlite3.dll styles/qwindowsvistastyle.dll
tls/qschannelbackend.dll translations/qtbase_fr.qm trelvan-list.exe trelvan.exe"
installed=$(cd "$folder" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$installed" = "$(echo $expected | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')" ] ||
    fail "installed files: $installed"
shortcut="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Trelvan.lnk"
[ -f "$shortcut" ] || fail "no Start-menu entry: $(find "$prefix/drive_c/ProgramData" -name '*.lnk')"
# The link names the program, and the program again as its icon.
[ "$(grep -ao 'C:\\Program Files\\Trelvan\\trelvan.exe' "$shortcut" | wc -l)" -ge 1 ] ||
    fail "the Start-menu entry does not start trelvan.exe"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Trelvan'
inlan "$wine" reg query "$key" </dev/null >"$work/uninstall-key.txt" 2>/dev/null ||
    fail "no Add/Remove Programs entry"
for value in "DisplayName.*Trelvan" "DisplayVersion.*${version//./\\.}" "Publisher.*Dantrix" \
    'DisplayIcon.*C:\\Program Files\\Trelvan\\trelvan\.exe,0' "UninstallString.*Uninstall\.exe"; do
    grep -aq "$value" "$work/uninstall-key.txt" || fail "Add/Remove Programs: no $value in $(cat "$work/uninstall-key.txt")"
done
# A GUI program with its version block and manifest; the lister a console one.
objdump=x86_64-w64-mingw32-objdump
"$objdump" -p "$folder/trelvan.exe" >"$work/trelvan.pe"
"$objdump" -p "$folder/trelvan-list.exe" >"$work/trelvan-list.pe"
grep -q 'Subsystem.*(Windows GUI)' "$work/trelvan.pe" || fail "trelvan.exe is no GUI program"
grep -q 'Subsystem.*(Windows CUI)' "$work/trelvan-list.pe" || fail "trelvan-list.exe is no console program"
x86_64-w64-mingw32-windres -i "$folder/trelvan.exe" -O rc >"$work/resources.rc" 2>/dev/null
for text in "VALUE \"FileVersion\", \"$rc_version\"" 'VALUE "CompanyName", "Dantrix"' \
    'VALUE "FileDescription", L"Trelvan - Liste les machines sur un r\351seau"' \
    'VALUE "Translation", 0x40c, 1200' "FILEVERSION $major, $minor, $patch, 0"; do
    grep -aqF "$text" "$work/resources.rc" || fail "trelvan.exe's resources: no $text"
done
# The manifest is kept as its text.
for text in '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2' \
    'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' 'level="asInvoker"'; do
    grep -aqF "$text" "$folder/trelvan.exe" || fail "trelvan.exe's manifest: no $text"
done
echo "PASS install: the files, the Start-menu entry, Add/Remove Programs, resources"

# --- trelvan-list.exe ---
# What a program wrote to standard error, but for one line of Wine's own: its
# TLS (GnuTLS under Windows' interface) writes it there, whatever WINEDEBUG
# says, after some handshakes with the HTTPS host whose page is read.
ours() { grep -avx "GnuTLS error: The requested data were not available." "$1" || true; }
list() { "${lister[@]}" "$@"; }
[ "$(list --version </dev/null)" = "trelvan-list $version" ] || fail "--version: $(list --version)"
list --help </dev/null >"$work/help.txt"
# To a file: UTF-8, and the line ends of Linux.
grep -q "^Liste les machines présentes sur les réseaux locaux" "$work/help.txt" &&
    grep -q "RÉSEAU" "$work/help.txt" && ! grep -q $'\r' "$work/help.txt" ||
    fail "--help to a file: $(head -3 "$work/help.txt" | od -c | head -5)"
# To a console (Wine makes one of a terminal): the same accents.
script -qec "$(printf '%q ' "${lister[@]}" --help)" /dev/null </dev/null >"$work/help-console.txt"
grep -aq "Liste les machines présentes sur les réseaux locaux" "$work/help-console.txt" &&
    grep -aq "RÉSEAU" "$work/help-console.txt" ||
    fail "--help to a console: $(head -c 300 "$work/help-console.txt" | od -c | head -8)"
# A comment of the user's on a host, as the window keeps it.
nas_comment="NAS à l'étage"
inlan "$wine" reg add 'HKCU\Software\Dantrix\Trelvan\Comments' /v 00:11:32:AA:BB:20 /d "$nas_comment" /f \
    </dev/null >/dev/null 2>&1
status=0
list --format json </dev/null >"$work/list.json" 2>"$work/list.err" || status=$?
[ "$status" -eq 0 ] || fail "--format json: status $status, $(cat "$work/list.json" "$work/list.err")"
python3 - "$state/hosts.tsv" "$SCANNER_IP" "$SCANNER_MAC" "$work/list.json" "$nas_comment" <<'PY' ||
import json, sys
tsv, scanner_ip, scanner_mac, listed, nas_comment = sys.argv[1:]
want = {scanner_ip: (scanner_mac.upper(), "(adresse locale)", False, "", "")}
makers = {"00:11:32": "Synology", "B8:27:EB": "Raspberry Pi", "9C:7B:EF": "Hewlett Packard"}
for line in open(tsv):
    if not line.startswith("#"):
        ip, mac, web, *_ = line.split("\t")
        url = {"yes": f"http://{ip}/", "https": f"https://{ip}/"}.get(web, "")
        want[ip] = (mac, makers.get(mac[:8], "(adresse locale)"), web == "yes", url,
                    nas_comment if mac == "00:11:32:AA:BB:20" else "")
rows = json.load(open(listed))
got = {r["ip"]: (r["mac"], r["maker"], r["web"], r["url"], r["comment"]) for r in rows}
assert len(rows) == len(got) == 5 and got.keys() == want.keys(), f"hosts {sorted(got)}"
for ip, (mac, maker, *rest) in want.items():
    assert got[ip][0] == mac and maker in got[ip][1] and got[ip][2:] == tuple(rest), got[ip]
# IPv6 addresses, where the system lists its IPv6 neighbours (Wine 8 does
# not: its lists stay empty), are the hosts' own link-local ones.
for row in rows:
    octets = [int(part, 16) for part in row["mac"].split(":")]
    eui = [octets[0] ^ 2] + octets[1:3] + [0xFF, 0xFE] + octets[3:]
    link_local = "fe80::" + ":".join(f"{eui[i] << 8 | eui[i + 1]:x}" for i in range(0, 8, 2))
    assert isinstance(row["ipv6"], list) and row["ipv6"] in ([], [link_local]), row
# What the printer and the media player said of themselves, each from itself.
said = {r["ip"]: r for r in rows}
for ip, kind, model, friendly, source, services in (
        ("198.51.100.22", "printer", "HP OfficeJet Pro 9010", "Imprimante bureau", "mdns",
         ["_ipp._tcp"]),
        ("198.51.100.30", "media-player", "Trelvan Audio Lecteur R1", "Salon", "upnp", [])):
    row = said[ip]
    assert (row["type"], row["model"], row["friendly_name"], row["services"]) == \
        (kind, model, friendly, services), row
    assert source in [e["source"] for e in row["evidence"]], row
PY
    fail "--format json: $(cat "$work/list.json" "$work/list.err")"
# Nothing else on standard error, not even Qt's at the end of the process.
[ -z "$(ours "$work/list.err")" ] || fail "--format json wrote to standard error: $(cat "$work/list.err")"
status=0
list 203.0.113.1/24 </dev/null >"$work/refused.out" 2>"$work/refused.err" || status=$?
[ "$status" -eq 2 ] && [ ! -s "$work/refused.out" ] && grep -q "$SCANNER_IP/$PREFIX" "$work/refused.err" ||
    fail "refusal: status $status, $(cat "$work/refused.err")"
echo "PASS trelvan-list.exe: --version, --help, the LAN's hosts in JSON, a refusal"

# Watch mode runs --commande's program, with spaces in its path, for each
# event: through CreateProcess, its command line the program alone, the event
# in its environment and its JSON line on its input; and it feeds the LAN's
# broker with libmosquitto.dll, the password in its environment. Then Ctrl+C
# (Wine turns SIGINT into the console's Ctrl+C event).
sink='C:\Mes outils\event sink.exe'
mkdir "$prefix/drive_c/Mes outils"
x86_64-w64-mingw32-gcc-posix -O2 -o "$prefix/drive_c/Mes outils/event sink.exe" "$here/event-sink.c"
sunk="$prefix/drive_c/Mes outils/events.txt"
"$lan" exec "$name" "${winenv[@]}" TRELVAN_MQTT_PASSWORD="$(cat "$MQTT_DIR/agent.password")" \
    "$wine" 'C:\Program Files\Trelvan\trelvan-list.exe' --suivre --format json --commande "$sink" \
    --mqtt "mqtt://agent@$MQTT_BROKER" --agent vitrine </dev/null >"$work/watch.jsonl" 2>"$work/watch.err" &
watcher=$!
for _ in $(seq 300); do [ -f "$sunk" ] && [ "$(wc -l <"$sunk")" -ge "$hosts" ] && break; sleep 0.1; done
start=$(date +%s%N)
kill -INT "$watcher"
for _ in $(seq 50); do kill -0 "$watcher" 2>/dev/null || break; sleep 0.1; done
kill -0 "$watcher" 2>/dev/null && fail "watch mode still runs 5 s after Ctrl+C"
status=0
wait "$watcher" || status=$?
watcher=""
ms=$((($(date +%s%N) - start) / 1000000))
# Within the 5 s above: about 2 s under Wine on a quiet machine, over 3 s
# with another Wine test running beside it.
[ "$status" -eq 0 ] && [ "$(grep -c '"event":"appeared"' "$work/watch.jsonl")" -eq "$hosts" ] &&
    [ -z "$(ours "$work/watch.err")" ] ||
    fail "watch after Ctrl+C: status $status after $ms ms, $(cat "$work/watch.jsonl" "$work/watch.err")"
python3 - "$work/watch.jsonl" "$sunk" "$sink" <<'PY' || fail "--commande: $(cat "$sunk")"
import json, sys
printed = open(sys.argv[1], encoding="utf-8").read().splitlines()
got = [line.split("\t", 4) for line in open(sys.argv[2], encoding="utf-8").read().splitlines()]
assert len(got) == len(printed), (len(got), len(printed))
for line, (command, kind, mac, ip, given) in zip(printed, got):
    event = json.loads(line)
    assert command.rstrip(" ") == f'"{sys.argv[3]}"', command
    assert (kind, mac, ip, given) == (event["event"], event["mac"], event["ip"], line)
PY
# What the broker kept: each card's discovery and "home", the agent offline
# since it ended.
"$lan" exec-host "$name" "$MQTT_BROKER" mosquitto_sub -h "$MQTT_BROKER" -u reader \
    -P "$(cat "$MQTT_DIR/reader.password")" -t 'homeassistant/#' -t 'trelvan/#' -F '%j' -W 2 \
    >"$work/retained.jsonl" 2>/dev/null || true
python3 - "$work/watch.jsonl" "$work/retained.jsonl" <<'PY' || fail "MQTT: $(cat "$work/retained.jsonl")"
import json, sys
macs = {json.loads(line)["mac"].replace(":", "").lower() for line in open(sys.argv[1])}
kept = {m["topic"]: m["payload"] for m in map(json.loads, open(sys.argv[2]))}
discovery = "homeassistant/device_tracker/trelvan_vitrine_"
assert {t[len(discovery):-7] for t in kept if t.startswith(discovery)} == macs, sorted(kept)
assert all(kept[f"trelvan/vitrine/{mac}/state"] == "home" for mac in macs), kept
assert kept["trelvan/vitrine/status"] == "offline", kept["trelvan/vitrine/status"]
PY
echo "PASS watch mode: every host appeared, each through --commande's program and on the broker; Ctrl+C ended it with status 0 in $ms ms"

# The history: in the store of the user's local data folder, on the network
# of the gateway's card, and listed by --historique with every host present.
store="$prefix/drive_c/users/$(id -un)/AppData/Local/Dantrix/Trelvan/presence.sqlite"
status=0
list --historique --format json </dev/null >"$work/history.json" 2>"$work/history.err" || status=$?
python3 - "$store" "$work/history.json" "$hosts" <<'PY' && [ "$status" -eq 0 ] && [ ! -s "$work/history.err" ] ||
import datetime, json, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
assert db.execute("SELECT cidr, hex(gateway_mac) FROM networks").fetchall() == \
    [("198.51.100.0/24", "B827EB5C6D21")]
rows = json.load(open(sys.argv[2]))
seen = lambda row, key: datetime.datetime.fromisoformat(row[key].replace("Z", "+00:00"))
assert len(rows) == int(sys.argv[3]) and all(row["present"] for row in rows), rows
assert all(seen(row, "first_seen") < seen(row, "last_seen") for row in rows), rows
PY
    fail "the history: status $status, $(cat "$work/history.json" "$work/history.err")"
echo "PASS the history: in %LOCALAPPDATA%\\Dantrix\\Trelvan\\presence.sqlite, by --historique"

# Wake-on-LAN through Winsock, seen on the switch: the magic packet three
# times to the network's broadcast from the scanner, port 9, and nothing else
# but the empty datagram that has the gateway's card asked for (the check
# that this is the network where the NAS was seen). In immediate mode, or the
# capture could still hold the last packets in its buffer when it is stopped.
ip netns exec "$SWITCH_NS" tcpdump -i br0 -nn -U --immediate-mode -w "$work/wake.pcap" udp port 9 \
    2>"$work/tcpdump.err" &
capture=$!
for _ in $(seq 100); do grep -q "listening on" "$work/tcpdump.err" && break; sleep 0.1; done
list --reveiller 00:11:32:AA:BB:20 </dev/null >"$work/wake.out" 2>&1 ||
    fail "--reveiller: $(cat "$work/wake.out")"
grep -q "^Paquet de réveil envoyé à 00:11:32:AA:BB:20 sur $CIDR (diffusion $BROADCAST, port 9)" \
    "$work/wake.out" || fail "--reveiller said: $(cat "$work/wake.out")"
sleep 0.5
kill -INT "$capture"
wait "$capture" || true
capture=""
python3 - "$work/wake.pcap" "$SCANNER_MAC" "$SCANNER_IP" "$BROADCAST" "$GATEWAY" <<'PY' ||
import socket, struct, sys
data = open(sys.argv[1], "rb").read()
scanner_mac, scanner_ip, broadcast, gateway = sys.argv[2:]
magic = b"\xff" * 6 + bytes.fromhex("001132AABB20") * 16
offset, times = 24, []
while offset < len(data):
    seconds, micros, length, _ = struct.unpack("<IIII", data[offset:offset + 16])
    frame, ip = data[offset + 16:offset + 16 + length], data[offset + 30:offset + 16 + length]
    offset += 16 + length
    header = (ip[0] & 0x0F) * 4
    source, target = socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20])
    assert frame[6:12].hex() == scanner_mac.replace(":", "").lower() and source == scanner_ip
    assert ip[9] == 17 and struct.unpack("!H", ip[header + 2:header + 4])[0] == 9
    if target == gateway and ip[header + 8:] == b"":
        continue
    assert frame[:6] == b"\xff" * 6 and target == broadcast, target
    assert ip[header + 8:] == magic, ip[header + 8:].hex()
    times.append(seconds + micros / 1e6)
assert len(times) == 3, len(times)
assert all(0.08 < b - a < 0.5 for a, b in zip(times, times[1:])), times
PY
    fail "magic packets: $(tcpdump -nn -r "$work/wake.pcap" 2>&1)"
echo "PASS Wake-on-LAN: three magic packets to $BROADCAST, port 9, and nothing else"

# --- trelvan.exe on a screen ---
# Wine would draw Windows' interface fonts with a font of symbols: DejaVu Sans
# stands in for them, for the screenshot.
for font in "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI" "Tahoma" "Microsoft Sans Serif" "MS Sans Serif"; do
    inlan "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d "DejaVu Sans" /f \
        </dev/null >/dev/null 2>&1
done
"$lan" exec "$name" "${winenv[@]}" WINEQT_FORCE_STDERR_LOGGING=1 \
    WINEQT_LOGGING_RULES="trelvan.*.debug=true" \
    "$wine" 'C:\Program Files\Trelvan\trelvan.exe' </dev/null >"$work/window.log" 2>&1 &
window=$!
deadline=$(($(date +%s) + 90))
# Qt writes its lines in the ANSI code page (1252 here: "à" is one byte,
# matched by "." in the C locale) and with CRLF.
windowlog() { tr -d '\r' <"$work/window.log" >"$work/window.txt"; }
until windowlog && LC_ALL=C grep -aq "^trelvan.window: status: Fin de recherche $SCANNER_IP . [0-9:]*\.$" "$work/window.txt" &&
    grep -aq "^trelvan.window: Machines= $hosts\$" "$work/window.txt"; do
    [ "$(date +%s)" -lt "$deadline" ] ||
        fail "the window did not show every host: $(iconv -f WINDOWS-1252 -t UTF-8 "$work/window.log")"
    kill -0 "$window" 2>/dev/null || fail "trelvan.exe ended: $(cat "$work/window.log")"
    sleep 1
done
grep -aq "^trelvan.window: networks: $SCANNER_IP / $NETMASK chosen: $SCANNER_IP / $NETMASK$" "$work/window.txt" ||
    fail "the picker: $(grep 'networks:' "$work/window.log")"
[ "$(grep -ac "^trelvan.arp: SendARP n'est pas disponible (erreur 50)" "$work/window.txt")" -eq 1 ] ||
    fail "Wine's SendARP not said once: $(grep -a 'trelvan.arp' "$work/window.txt")"
for ip in $SCANNER_IP $(grep -v '^#' "$state/hosts.tsv" | cut -f1); do
    LC_ALL=C grep -aq "^trelvan.scan: .R.ponse de $ip\$" "$work/window.txt" || fail "no answer from $ip in the window"
done
inlan xwininfo -root -tree >"$work/windows.txt"
grep -q '"Trelvan": ' "$work/windows.txt" || fail "no window titled Trelvan: $(cat "$work/windows.txt")"
if [ -n "$screenshot" ] && command -v import >/dev/null; then
    sleep 1
    inlan import -window "$(awk '/"Trelvan": / {print $1; exit}' "$work/windows.txt")" "$screenshot"
fi
# The media player leaves: gone from the table by the second scan that follows.
"$lan" exec-host "$name" 198.51.100.30 ip link set eth0 down
windowlog
left=$(wc -l <"$work/window.txt")
since() { tail -n +"$((left + 1))" "$work/window.txt"; }
deadline=$(($(date +%s) + 45))
until since | grep -aq "^trelvan.window: Machines= $((hosts - 1))\$"; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "the media player stayed: $(grep -a '^trelvan.window: Machines=' "$work/window.txt")"
    sleep 1
    windowlog
done
scans=$(since | sed "/^trelvan.window: Machines= $((hosts - 1))\$/q" | LC_ALL=C grep -ac "^trelvan.window: status: Fin de recherche")
[ "$scans" -le 2 ] || fail "the media player was dropped by scan $scans after it left"
# Closed as a user closes it: taskkill asks the window to close.
inlan "$wine" taskkill /im trelvan.exe </dev/null >/dev/null 2>&1 || true
for _ in $(seq 200); do kill -0 "$window" 2>/dev/null || break; sleep 0.1; done
kill -0 "$window" 2>/dev/null && fail "trelvan.exe did not close"
status=0
wait "$window" || status=$?
window=""
[ "$status" -eq 0 ] || fail "trelvan.exe closed with status $status"
echo "PASS trelvan.exe: its window \"Trelvan\", the LAN's network in the picker, every host, one that left dropped by scan $scans after"

# --- uninstall ---
# A comment of the user's, which must stay.
inlan "$wine" reg add 'HKCU\Software\Dantrix\Trelvan\Comments' /v 02:54:4C:00:00:14 /d "serveur à garder" /f \
    </dev/null >/dev/null 2>&1
status=0
inlan "$wine" 'C:\Program Files\Trelvan\Uninstall.exe' /S </dev/null >"$work/uninstall.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "silent uninstall: status $status"
# The uninstaller copies itself away and goes on from there: wait for it.
for _ in $(seq 60); do [ -d "$folder" ] || break; sleep 1; done
left=$(cd "$prefix/drive_c" && find . -ipath '*trelvan*' ! -path './users/*')
[ -z "$left" ] || fail "left after the uninstall: $left"
! inlan "$wine" reg query "$key" </dev/null >/dev/null 2>&1 || fail "Add/Remove Programs entry left"
inlan "$wine" reg query 'HKCU\Software\Dantrix\Trelvan\Comments' </dev/null >"$work/comments.txt" 2>&1 || true
grep -q "02:54:4C:00:00:14" "$work/comments.txt" || fail "the user's comment went with the uninstall"
echo "PASS uninstall: no installed file, no folder, no entry; the user's comments stay"
