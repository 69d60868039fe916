#!/usr/bin/env bash
# trelvan-list watching several networks and publishing presence over MQTT,
# in a LAN with two networks on the scanner (eth1's holds Debian's Mosquitto),
# a container bridge and a second scanner: a --tous list of both networks
# without docker0's; agent "salon", the service's own command line (unit and
# defaults file) as nobody, and agent "atelier" on the second scanner; a
# retained discovery message and home per host, each agent its own; a wrong
# password and an unknown broker; a broker restart; a host not_home after the
# rule's minute and back; kill -9 and the will; the service's store. ~75 s.
# Then, given the other programs, a hostile neighbour in a LAN of its own
# (~90 s): a host that answers for every free address with fresh cards at
# each scan, and a second card claiming one host's address, against a watch
# as root, one through the resolver helper, an agent on the broker and the
# window on a session bus of the test's own. Before the flood, two hosts
# leave and come back with another private card (~80 s): the one its owner
# named is its device again, the one named "iPhone" like any phone is new.
#
#   watch-test.sh TRELVAN_LIST UNIT_FILE [ARPRESPONDER TRELVAN NOTIFYRECORDER RESOLVER]
#                                        (77: skipped, without root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 unit=$2 responder=${3:-} window=${4:-} notify_recorder=${5:-} resolver=${6:-}
[ "$(id -u)" -eq 0 ] || { echo "skipped: a LAN of network namespaces needs root" >&2; exit 77; }
name=w$$ work=$(mktemp -d /tmp/trelvan-watch-test.XXXXXX) pids="" capable=""
trap 'for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    [ -z "$capable" ] || setcap -r "$capable" 2>/dev/null || true
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
lan() { "$here/lan.sh" "$1" "$name" "${@:2}"; }
py() { /usr/bin/python3 - "$@"; }

lan up --host 198.51.100.10,00:11:32:AA:BB:10,web --host 198.51.100.11,B8:27:EB:5C:6D:11 \
    --host 198.51.100.12 --net2 203.0.113.1/24 --host 203.0.113.10,mosquitto \
    --host 203.0.113.20,00:1B:21:3A:4B:20 --scanner-b 203.0.113.2 --virtual-bridge docker0 \
    >"$work/up.log" || { cat "$work/up.log" >&2; exit 1; }
# shellcheck disable=SC1091
. "$(sed -n 's/^STATE_DIR=//p' "$work/up.log")/lan.env"
# Each card the scanner sees: the hosts, its own two and the second scanner.
{ awk -F'\t' '!/^#/ {print $1, $2}' "$STATE_DIR/hosts.tsv"
  echo "$SCANNER_IP $SCANNER_MAC"; echo "$SCANNER2_IP 02:54:4C:00:01:01"
  echo "$SCANNER_B_IP $SCANNER_B_MAC"; } >"$work/cards"
cp "$program" "$work/trelvan-list" # where nobody reaches it, with no helper
chmod 755 "$work" "$work/trelvan-list"
mkdir "$work/b"
for format in json texte; do
    lan exec env HOME="$work" XDG_DATA_HOME="$work" "$work/trelvan-list" --tous --format $format \
        >"$work/all.$format"
done
py "$work/all.json" "$work/cards" <<'PY' || fail "--tous: $(cat "$work/all.json")"
import json, sys
got = {r["ip"]: (r["mac"], r["network"], r["interface"]) for r in json.load(open(sys.argv[1]))}
want = {ip: (mac.upper(), ip.rsplit(".", 1)[0] + ".0/24", "eth0" if ip < "2" else "eth1")
        for ip, mac in (line.split() for line in open(sys.argv[2]))}
assert got == want, sorted(set(got.items()) ^ set(want.items()))
PY
[ "$(grep -c '^Réseau ' "$work/all.texte")" -eq 2 ] && ! grep -q 192.0.2 "$work/all.texte" ||
    fail "--tous: $(cat "$work/all.texte")"
echo "PASS --tous: $(grep -c . "$work/cards") hosts of two networks, each with its own; docker0 left out"

# The service: the unit's Environment=, then the defaults file, %S as the
# state directory's root, ExecStart's $VARIABLEs split at blanks as systemd
# does; as nobody, with the unit's umask.
install -o nobody -m 600 "$MQTT_DIR/agent.password" "$work/password"
echo wrong >"$work/wrong"
install -d -o nobody -m 750 "$work/lib/trelvan-watch"
printf '%s\n' "TRELVAN_MQTT=--mqtt mqtt://agent@$MQTT_BROKER" 'TRELVAN_AGENT="--agent salon"' \
    "TRELVAN_MQTT_PASSWORD_FILE=--mqtt-password-file $work/password" >"$work/default"
service() { # DEFAULTS-FILE: run=(the unit's command line)
    mapfile -d '' run < <(py "$unit" "$1" "$work" <<'PY'
import shlex, sys
unit, defaults, work = sys.argv[1:]
env = {}
for line in open(unit):
    key, _, value = line.strip().replace("%S", work + "/lib").partition("=")
    if key == "Environment":
        env.update(word.split("=", 1) for word in shlex.split(value))
    elif key == "ExecStart":
        command = value.split()
    elif key == "User":
        assert value == "_trelvan", value
for line in open(defaults):
    key, _, value = line.strip().partition("=")
    env[key] = shlex.split(value)[0] if value.startswith(('"', "'")) else value
words = [w for word in command for w in
         (env.get(word[1:], "").split() if word[0] == "$" else [word.replace("@TRELVAN_LIST@", work + "/trelvan-list")])]
print("\0".join(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--inh-caps=-all",
                 "env", "-i", "PATH=/usr/bin:/bin"] + [f"{k}={v}" for k, v in env.items()] +
                ["sh", "-c", 'umask 077 && exec "$@"', "sh"] + words), end="")
PY
    )
}
# Nobody has the neighbour table, which forgets a host in seconds here.
lan exec sysctl -qw net.ipv4.neigh.eth0.base_reachable_time_ms=2000 net.ipv4.neigh.eth0.delay_first_probe_time=1
reader=("$here/lan.sh" exec-host "$name" "$MQTT_BROKER" mosquitto_sub -h "$MQTT_BROKER" -u reader
    -P "$(cat "$MQTT_DIR/reader.password")" -t 'homeassistant/#' -t 'trelvan/#' -F '%j')
"${reader[@]}" >>"$work/live" &
pids+=" $!"
service "$work/default"
"$here/lan.sh" exec "$name" "${run[@]}" >"$work/salon" 2>"$work/salon.err" &
salon=$! pids+=" $!"
"$here/lan.sh" exec-b "$name" env TRELVAN_MQTT_PASSWORD="$(cat "$MQTT_DIR/agent.password")" HOME="$work/b" \
    XDG_DATA_HOME="$work/b" "$work/trelvan-list" --suivre --mqtt "mqtt://agent@$MQTT_BROKER" \
    --agent atelier >/dev/null 2>"$work/atelier.err" &
atelier=$! pids+=" $!"

# The last of what the reader got (or the retained messages), against what
# each agent should have said: every card of its networks, its status.
broker() { # FILE [KEY=STATE]...: a card's digits or an agent's name
    py "$work/cards" "$@" <<'PY'
import json, sys
cards = dict(line.split() for line in open(sys.argv[1]))
last = {m["topic"]: m for m in map(json.loads, open(sys.argv[2]))}
want = dict(arg.split("=") for arg in sys.argv[3:])
payload = lambda topic: last[topic]["payload"] if topic in last else None
for agent, prefix in (("salon", ""), ("atelier", "203.")):
    mine = {mac.replace(":", "").lower(): ip for ip, mac in cards.items() if ip.startswith(prefix)}
    discovery = f"homeassistant/device_tracker/trelvan_{agent}_"
    configs = {t[len(discovery):-7] for t in last if t.startswith(discovery) and payload(t)}
    assert configs == set(mine), (agent, sorted(configs ^ set(mine)))
    assert payload(f"trelvan/{agent}/status") == want.get(agent, "online"), agent
    for mac, ip in mine.items():
        config = json.loads(payload(discovery + mac + "/config"))
        assert config["unique_id"] == f"trelvan_{agent}_{mac}" and config["source_type"] == "router"
        assert config["state_topic"] == f"trelvan/{agent}/{mac}/state"
        assert config["availability_topic"] == f"trelvan/{agent}/status"
        assert config["device"]["connections"][0][1].replace(":", "") == mac
        assert last[discovery + mac + "/config"]["retain"] or sys.argv[2].endswith("live")
        state = payload(f"trelvan/{agent}/{mac}/state")
        assert state == want.get(mac if agent == "salon" else "-", "home"), (agent, ip, state)
        assert json.loads(payload(f"trelvan/{agent}/{mac}/attributes"))["network"].startswith(ip[:7])
PY
}
retained() {
    "${reader[@]}" --retained-only -W 3 >"$work/retained" 2>/dev/null || true
    broker "$work/retained"
}
wait_for() { # SECONDS WHAT COMMAND...
    local deadline=$(($(date +%s) + $1))
    until "${@:3}" 2>"$work/why"; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "$2: $(tail -1 "$work/why")"
        sleep 1
    done
}
wait_for 30 "the first scans" broker "$work/live"
retained || fail "retained: $(tail -1 "$work/why")"
echo "PASS a retained discovery message and home for each host, each agent its own"

lan exec-host 198.51.100.11 ip link set eth0 down
gone=$(date +%s)
lan exec ip neigh flush dev eth0
for case in "$work/password|$work/wrong|refuse l'identification" "@$MQTT_BROKER|@broker.invalid|introuvable"; do
    IFS='|' read -r from to said <<<"$case"
    sed "s|$from|$to|" "$work/default" >"$work/refused"
    service "$work/refused"
    status=0
    lan exec "${run[@]}" >/dev/null 2>"$work/refused.err" || status=$?
    [ "$status" -eq 1 ] && grep -q "$said" "$work/refused.err" ||
        fail "$to: status $status, $(cat "$work/refused.err")"
done
echo "PASS a wrong password and an unknown broker: status 1, a message"

pid=$(awk -v role="mosquitto:$MQTT_BROKER" '$3 == role {print $1}' "$STATE_DIR/pids")
kill "$pid"
while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
"$here/lan.sh" exec-host "$name" "$MQTT_BROKER" mosquitto -c "$MQTT_DIR/mosquitto.conf" >"$work/broker.log" 2>&1 &
pids+=" $!"
sleep 1
"${reader[@]}" >>"$work/live" &
pids+=" $!"
wait_for 20 "after the broker's restart" retained
echo "PASS the broker restarted without its store gets every device of both agents again"

wait_for 100 "left" broker "$work/live" b827eb5c6d11=not_home
left=$(($(date +%s) - gone))
[ "$left" -ge 50 ] || fail "not_home $left s after it went"
lan exec-host 198.51.100.11 ip link set eth0 up
wait_for 25 "back" broker "$work/live"
grep -q '^[0-9:]\{8\}  parti      198\.51\.100\.11  *B8:27:EB:5C:6D:11  ' "$work/salon" &&
    grep -q '"topic":"trelvan/salon/event"' "$work/live" || fail "no left event: $(cat "$work/salon")"
echo "PASS .11 not_home $left s after it went, home again; its events in the journal and on the broker"

kill -9 "$salon"
wait_for 10 "the will" broker "$work/live" salon=offline
kill -TERM "$atelier"
wait "$atelier" || fail "atelier after SIGTERM: status $?"
wait_for 10 "offline" broker "$work/live" salon=offline atelier=offline
echo "PASS kill -9: salon offline through its will; atelier offline on SIGTERM"

data=$work/lib/trelvan-watch
[ "$(stat -c '%U %a' "$data/Dantrix/Trelvan/presence.sqlite")" = "nobody 600" ] || fail "the store"
lan exec setpriv --reuid=nobody --regid=nogroup --clear-groups env XDG_DATA_HOME="$data" \
    HOME="$data" "$work/trelvan-list" --historique --tous --format json >"$work/history"
py "$work/history" "$work/cards" <<'PY' || fail "history: $(cat "$work/history")"
import json, sys
rows = json.load(open(sys.argv[1]))
assert {r["ip"]: (r["network"], r["interface"]) for r in rows} == {ip: (ip.rsplit(".", 1)[0] + ".0/24",
    "eth0" if ip < "2" else "eth1") for ip in (line.split()[0] for line in open(sys.argv[2]))}, rows
PY
echo "PASS the service's store: nobody's, mode 600; its history says each device's network"

[ -n "$responder" ] || exit 0

# A hostile neighbour. .250 answers for every address that no host holds,
# with a fresh card at each scan; a second card claims .40 as well. .250 and
# .3, a device that joins, come once every watcher has had its first scan.
for pid in $pids; do kill "$pid" 2>/dev/null || true; done
pids=""
lan down >/dev/null
name=v$$
lan up --responder "$responder" --gateway 198.51.100.2 --host 198.51.100.2,00:00:0C:9F:F0:02 \
    --host 198.51.100.9,mosquitto --host 198.51.100.10,00:11:32:AA:BB:10 \
    --host 198.51.100.3,00:1B:21:3A:4B:03 --host 198.51.100.40,00:1B:21:3A:4B:40,twin=02:54:4C:EE:00:40 \
    --host 198.51.100.60,02:54:4C:AB:00:60,mdns=salon-de-lea --host 198.51.100.61,02:54:4C:AB:00:61,mdns=iPhone \
    --host 198.51.100.250,flood >"$work/up.log" || { cat "$work/up.log" >&2; exit 1; }
# shellcheck disable=SC1091
. "$(sed -n 's/^STATE_DIR=//p' "$work/up.log")/lan.env"
lan exec-host 198.51.100.250 ip link set eth0 down
lan exec-host 198.51.100.3 ip link set eth0 down
# Started straight from lan.sh, whose exec chain keeps the pid: $! is the
# program itself.
hostile() { # TAG ARGS...: a watch as root, its store its own
    "$here/lan.sh" exec "$name" env HOME="$work/$1" XDG_DATA_HOME="$work/$1" XDG_CONFIG_HOME="$work/$1" \
        TRELVAN_MQTT_PASSWORD="$(cat "$MQTT_DIR/agent.password")" "$program" --suivre "${@:2}" \
        >"$work/$1.jsonl" 2>"$work/$1.err" &
    pids+=" $!"
}
mkdir -m 700 "$work/json" "$work/mqtt" "$work/window"
for w in json mqtt window; do # the user's comment on .60's card
    mkdir "$work/$w/Dantrix"
    printf '[Comments]\n02%%3A54%%3A4C%%3AAB%%3A00%%3A60=Tablette de Lea\n' >"$work/$w/Dantrix/Trelvan.conf"
done
hostile json --format json
hostile mqtt --mqtt "mqtt://agent@$MQTT_BROKER" --agent voisin
# Through the helper: the program where it was built, as nobody, with the
# build tree's helper given cap_net_raw, where the tree is root's alone.
through_helper=""
if [ -n "$resolver" ]; then
    folder=$(dirname "$resolver")
    while [ "$(stat -c %u "$folder")" = 0 ] &&
        [ -z "$(find "$folder" -maxdepth 0 \( -perm -o+w -o -perm -g+w \))" ] && [ "$folder" != / ]; do
        folder=$(dirname "$folder")
    done
    if [ "$folder" != / ]; then
        echo "SKIP the helper's watch: $folder is not root's alone"
    elif setcap cap_net_raw+ep "$resolver" 2>/dev/null && getcap "$resolver" | grep -q cap_net_raw; then
        capable=$resolver through_helper=1
        mkdir -m 700 "$work/helper" && chown nobody:nogroup "$work/helper"
        "$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all env \
            HOME="$work/helper" XDG_DATA_HOME="$work/helper" XDG_CONFIG_HOME="$work/helper" \
            "$program" --suivre --format json >"$work/helper.jsonl" 2>"$work/helper.err" &
        pids+=" $!"
    else
        echo "SKIP the helper's watch: $resolver keeps no file capabilities"
    fi
fi
# The window, on a session bus of the test's own with a server that records
# its notices.
printf '%s\n' '<busconfig>' '  <type>session</type>' "  <listen>unix:path=$work/bus</listen>" \
    '  <auth>EXTERNAL</auth>' '  <policy context="default">' \
    '    <allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/>' \
    '  </policy>' '</busconfig>' >"$work/bus.conf"
"$here/lan.sh" exec "$name" dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>"$work/bus.log" &
pids+=" $!"
for _ in $(seq 50); do [ -S "$work/bus" ] && break; sleep 0.1; done
"$here/lan.sh" exec "$name" env DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" "$notify_recorder" "$work/notices.jsonl" \
    >"$work/recorder.out" &
pids+=" $!"
for _ in $(seq 50); do grep -q ready "$work/recorder.out" && break; sleep 0.1; done
grep -q ready "$work/recorder.out" || fail "no notification server on the test's bus"
"$here/lan.sh" exec "$name" env QT_QPA_PLATFORM=offscreen HOME="$work/window" XDG_CONFIG_HOME="$work/window" \
    XDG_DATA_HOME="$work/window" XDG_RUNTIME_DIR="$work/window" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" "$window" >"$work/window.log" 2>&1 &
shown=$! pids+=" $!"
started=$(date +%s)

events() { # FILE: one line per event
    py "$1" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    print(e["event"], e.get("ip") or "-", e.get("mac") or "-",
          e.get("previous_mac") or e.get("other_mac") or "-", "new" if e.get("new") else "-")
PY
}
seen() { events "$work/$1.jsonl" | grep -q "$2"; }
wait_for 30 "the first scans" seen json "^appeared 198.51.100.10 "
[ -z "$through_helper" ] || wait_for 30 "the helper's first scan" seen helper "^appeared 198.51.100.10 "

# .60 and .61 leave (their kernels stop answering ARP), then come back with
# another private card. .60's owner named it: card-linked, never new, in no
# notice, its comment on its new card, one tracker for both cards. .61 is
# named "iPhone", as every phone is: a new device.
wait_for 30 "the window's first scan" test -s "$work/window/Dantrix/Trelvan/presence.sqlite"
for ip in 60 61; do lan exec-host 198.51.100.$ip ip link set eth0 arp off; done
wait_for 100 ".60 left" seen json "^left 198.51.100.60 "
wait_for 20 ".61 left" seen json "^left 198.51.100.61 "
for ip in 60 61; do lan exec-host 198.51.100.$ip ip link set eth0 address 0A:54:4C:AB:00:$ip arp on; done
wait_for 40 ".60 linked" seen json "^card-linked 198.51.100.60 0A:54:4C:AB:00:60 02:54:4C:AB:00:60 -$"
wait_for 40 ".61 new" seen json "^appeared 198.51.100.61 0A:54:4C:AB:00:61 - new$"
wait_for 40 "the window's notice of .61" grep -q "0A:54:4C:AB:00:61" "$work/notices.jsonl"
wait_for 20 "the window's comment on .60's new card" \
    grep -qx "0A%3A54%3A4C%3AAB%3A00%3A60=Tablette de Lea" "$work/window/Dantrix/Trelvan.conf"
! events "$work/json.jsonl" | grep -q "0A:54:4C:AB:00:60 .*new$" || fail ".60's new card told as new"
! grep -q "0A:54:4C:AB:00:60" "$work/notices.jsonl" || fail "a notice of .60: $(cat "$work/notices.jsonl")"
py "$work/json.jsonl" <<'PY' || fail "card-linked: $(cat "$work/json.jsonl")"
import json, sys
linked = [(e["signal"]["kind"], e["signal"]["name"].lower()[:12], e["comment"])
          for e in map(json.loads, open(sys.argv[1])) if e["event"] == "card-linked"]
assert linked == [("mdns", "salon-de-lea", "Tablette de Lea")], linked
PY
tracker() { # one tracker for .60's device, under its new card, naming both
    "$here/lan.sh" exec-host "$name" "$MQTT_BROKER" mosquitto_sub -h "$MQTT_BROKER" -u reader \
        -P "$(cat "$MQTT_DIR/reader.password")" -t 'homeassistant/#' --retained-only -W 3 -F '%t %p' \
        >"$work/linked-trackers" 2>/dev/null || true
    py "$work/linked-trackers" <<'PY'
import json, sys
configs = dict(line.rstrip("\n").split(" ", 1) for line in open(sys.argv[1]) if " " in line)
topic = "homeassistant/device_tracker/trelvan_voisin_%s/config"
assert not configs.get(topic % "02544cab0060"), "the old card's tracker stays"
cards = json.loads(configs[topic % "0a544cab0060"])["device"]["connections"]
assert [card[1] for card in cards] == ["0a:54:4c:ab:00:60", "02:54:4c:ab:00:60"], cards
PY
}
wait_for 20 "one tracker for .60" tracker
echo "PASS .60 back with another card: card-linked, no new, no notice, its comment, one tracker; .61 new"
lan exec-host 198.51.100.250 ip link set eth0 up
lan exec-host 198.51.100.3 ip link set eth0 up
flooded=$(date +%s)
conflict="^conflict 198.51.100.40 \(00:1B:21:3A:4B:40 02:54:4C:EE:00:40\|02:54:4C:EE:00:40 00:1B:21:3A:4B:40\) "
wait_for 30 "a conflict on the packet socket" seen json "$conflict"
[ -z "$through_helper" ] || wait_for 30 "a conflict through the helper" seen helper "$conflict"
wait_for 30 "the joining device" seen json "^appeared 198.51.100.3 00:1B:21:3A:4B:03 - new"
# Five scans of the flood: past 16 new cards a scan and 64 an hour.
sleep $((flooded + 55 - $(date +%s)))
ran=$(($(date +%s) - started))
kill "$shown"
for _ in $(seq 50); do kill -0 "$shown" 2>/dev/null || break; sleep 0.1; done
kill -9 "$shown" 2>/dev/null || true
wait "$shown" || true
for w in json ${through_helper:+helper}; do
    floods=$(events "$work/$w.jsonl" | grep -c "^flood " || true)
    fresh=$(events "$work/$w.jsonl" | grep -c " new$" || true)
    [ "$floods" -le 1 ] && [ "$fresh" -le 64 ] || fail "watch $w: $floods floods, $fresh new cards"
    [ "$(grep -c "appareils inconnus ignorés sur 198.51.100.0/24" "$work/$w.err")" -le 1 ] ||
        fail "watch $w: $(cat "$work/$w.err")"
done
grep -q "Conflit d'adresse"$'\xc2\xa0'": 198.51.100.40 revendiquée par" "$work/json.err" ||
    fail "no conflict said: $(cat "$work/json.err")"
echo "PASS under a flood: $floods flood event, $fresh new cards, .3 new;" \
    "two cards for .40: conflict as root${through_helper:+ and through the helper}"

# The broker: a tracker for no more cards than the store keeps, the first
# scan's (the hosts but .3 and .250, and the scanner) and 64 new ones.
"$here/lan.sh" exec-host "$name" "$MQTT_BROKER" mosquitto_sub -h "$MQTT_BROKER" -u reader \
    -P "$(cat "$MQTT_DIR/reader.password")" -t 'homeassistant/#' --retained-only -W 3 -F '%t %l' \
    >"$work/trackers" 2>/dev/null || true
first=$(($(grep -vc '^#' "$STATE_DIR/hosts.tsv") - 2 + 1))
trackers=$(awk '$1 ~ /^homeassistant\/device_tracker\/trelvan_voisin_.*\/config$/ && $2 > 0' \
    "$work/trackers" | wc -l)
[ "$trackers" -ge "$first" ] && [ "$trackers" -le $((first + 64)) ] ||
    fail "$trackers trackers on the broker for $first cards and 64 new ones"
echo "PASS $trackers trackers on the broker (at most $((first + 64)))"

# The window: at most one notice a scan.
py "$work/notices.jsonl" "$ran" <<'PY' || fail "the window's notices: $(cat "$work/notices.jsonl")"
import json, sys
times = [json.loads(line)["time"] / 1000 for line in open(sys.argv[1])]
ran = int(sys.argv[2])
assert 1 <= len(times) <= ran // 10 + 1, (len(times), ran)
assert all(b - a >= 5 for a, b in zip(times, times[1:])), times
PY
echo "PASS the window: $(grep -c . "$work/notices.jsonl") notices in $ran s, at most one a scan"
