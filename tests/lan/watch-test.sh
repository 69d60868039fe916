#!/usr/bin/env bash
# trelvan-list watching several networks and publishing presence over MQTT,
# in a test LAN with two networks on the scanner (eth0 198.51.100.0/24, eth1
# 203.0.113.0/24, where Debian's Mosquitto runs at .10), a container bridge
# (docker0) and a second scanner on the second network:
#   - one --tous list holds every host of both networks, each with its
#     network and interface, and nothing of docker0's;
#   - agent "salon" is the service's own command line (trelvan-watch.service
#     and a defaults file as /etc/default/trelvan-watch would hold it), run
#     as an unprivileged user with the unit's environment and umask;
#     agent "atelier" (the second scanner, as root) watches its one network;
#   - on the broker: a retained discovery message and "home" for each host,
#     each agent with its own devices; a host that leaves turns "not_home"
#     after the rule's minute and "home" again when back; a broker restarted
#     without its store gets every device again; kill -9 turns the agent's
#     status "offline" through its will; a wrong password and an unknown
#     broker end with status 1 and a message;
#   - the history of the service's store says each device's network.
#
# About 2 minutes, of which the rule's minute is the one wait.
#
#   watch-test.sh TRELVAN_LIST UNIT_FILE
#
# Exits 77 (skipped) without root, network namespaces or mosquitto.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 unit=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: building a LAN of network namespaces needs root" >&2
    exit 77
fi
command -v mosquitto_sub >/dev/null || { echo "skipped: no mosquitto clients" >&2; exit 77; }

name=w$$
work=$(mktemp -d /tmp/trelvan-watch-test.XXXXXX)
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    "$here/lan.sh" down "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

"$here/lan.sh" up "$name" --host 198.51.100.10,00:11:32:AA:BB:10,web \
    --host 198.51.100.11,B8:27:EB:5C:6D:11 --host 198.51.100.12,F0:18:98:7E:8F:12 \
    --net2 203.0.113.1/24 --host 203.0.113.10,mosquitto --host 203.0.113.20,00:1B:21:3A:4B:20 \
    --scanner-b 203.0.113.2 --virtual-bridge docker0 >"$work/up.log" || {
    status=$?
    cat "$work/up.log" >&2
    exit "$status"
}
state=$(sed -n 's/^STATE_DIR=//p' "$work/up.log")
# shellcheck disable=SC1091
. "$state/lan.env"
# Every card the scanner sees, with its network and interface; the second
# scanner sees those of its network.
awk -F'\t' '!/^#/ {print $1, $2}' "$state/hosts.tsv" >"$work/cards"
printf '%s %s\n' "$SCANNER_IP" "$SCANNER_MAC" "$SCANNER2_IP" 02:54:4C:00:01:01 \
    "$SCANNER_B_IP" "$SCANNER_B_MAC" >>"$work/cards"
cp "$program" "$work/trelvan-list" # where nobody reaches it, and with no helper
chmod 755 "$work" "$work/trelvan-list"
mkdir -m 700 "$work/root" "$work/b"

# 1. Both networks at once, docker0's left out.
"$here/lan.sh" exec "$name" env HOME="$work/root" XDG_CONFIG_HOME="$work/root" \
    XDG_DATA_HOME="$work/root" "$work/trelvan-list" --tous --format json >"$work/all.json"
"$here/lan.sh" exec "$name" env HOME="$work/root" XDG_CONFIG_HOME="$work/root" \
    XDG_DATA_HOME="$work/root" "$work/trelvan-list" --tous >"$work/all.txt"
"$python" - "$work/all.json" "$work/cards" <<'PY' || fail "--tous: $(cat "$work/all.json")"
import json, sys
rows = json.load(open(sys.argv[1]))
cards = dict(line.split() for line in open(sys.argv[2]))
got = {row["ip"]: (row["mac"], row["network"], row["interface"]) for row in rows}
want = {ip: (mac.upper(), "198.51.100.0/24" if ip.startswith("198.") else "203.0.113.0/24",
             "eth0" if ip.startswith("198.") else "eth1") for ip, mac in cards.items()}
assert got == want and len(rows) == len(want), sorted(set(got.items()) ^ set(want.items()))
PY
[ "$(grep -c '^Réseau ' "$work/all.txt")" -eq 2 ] && ! grep -q 192.0.2 "$work/all.txt" ||
    fail "--tous as text: $(cat "$work/all.txt")"
echo "PASS --tous: $(grep -c . "$work/cards") hosts of two networks, each with its own, docker0 left out"

# 2. The agents. The service's command line, from its unit and a defaults
# file, with the state directory systemd would make.
mqtt=$MQTT_BROKER
install -o nobody -m 600 "$MQTT_DIR/agent.password" "$work/password"
printf '%s\n' "wrong" >"$work/wrong"
chown nobody "$work/wrong"
cat >"$work/default" <<EOF
# as /etc/default/trelvan-watch
TRELVAN_MQTT=--mqtt mqtt://agent@$mqtt
TRELVAN_MQTT_PASSWORD_FILE=--mqtt-password-file $work/password
TRELVAN_AGENT="--agent salon"
EOF
mkdir -p "$work/lib/trelvan-watch"
chown nobody:nogroup "$work/lib/trelvan-watch"
chmod 750 "$work/lib/trelvan-watch"
# The unit's Environment= then the defaults file, %S, and ExecStart's words
# with each $VARIABLE split at blanks as systemd does: NUL-separated env
# assignments, "--", then the command line.
service() { # DEFAULTS-FILE
    "$python" - "$unit" "$1" "$work/lib" "$work/trelvan-list" <<'PY'
import shlex, sys
unit, defaults, state, program = sys.argv[1:]
env, command = {}, None
for line in open(unit):
    line = line.strip().replace("%S", state)
    if line.startswith("Environment="):
        env.update(word.split("=", 1) for word in shlex.split(line[len("Environment="):]))
    elif line.startswith("ExecStart="):
        command = line[len("ExecStart="):].split()
    elif line.startswith("User="):
        assert line == "User=_trelvan", line
for line in open(defaults):
    if line.strip() and not line.startswith("#"):
        key, value = line.strip().split("=", 1)
        env[key] = shlex.split(value)[0] if value.startswith('"') else value
argv = []
for word in command:
    if word.startswith("$"):
        argv += env.get(word[1:], "").split()
    else:
        argv.append(program if word == "@TRELVAN_LIST@" else word)
sys.stdout.write("\0".join(f"{k}={v}" for k, v in env.items()))
sys.stdout.write("\0--\0" + "\0".join(argv))
PY
}
service_line() { # DEFAULTS-FILE: run=(the command line as user nobody would run it)
    local -a words environment=() command=()
    mapfile -d '' words < <(service "$1")
    local seen=0 word
    for word in "${words[@]}"; do
        if [ "$word" = "--" ]; then seen=1; elif ((seen)); then command+=("$word"); else environment+=("$word"); fi
    done
    # Each program execs the next: the process started is the lister itself.
    run=("$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups
        --inh-caps=-all env -i PATH=/usr/bin:/bin "${environment[@]}"
        sh -c 'umask 077 && exec "$@"' sh "${command[@]}")
}
# The neighbour table (nobody has no helper) forgets a host in seconds.
"$here/lan.sh" exec "$name" sysctl -qw net.ipv4.neigh.eth0.base_reachable_time_ms=2000 \
    net.ipv4.neigh.eth0.delay_first_probe_time=1
# What the reader gets.
subscribe=("$here/lan.sh" exec-host "$name" "$mqtt" mosquitto_sub -h "$mqtt" -u reader
    -P "$(cat "$MQTT_DIR/reader.password")" -t 'homeassistant/#' -t 'trelvan/#' -F '%j')
"${subscribe[@]}" >>"$work/live.jsonl" &
pids+=" $!"
service_line "$work/default"
"${run[@]}" >"$work/salon.jsonl" 2>"$work/salon.err" &
salon=$!
pids+=" $salon"
"$here/lan.sh" exec-b "$name" env TRELVAN_MQTT_PASSWORD="$(cat "$MQTT_DIR/agent.password")" \
    HOME="$work/b" XDG_CONFIG_HOME="$work/b" XDG_DATA_HOME="$work/b" "$work/trelvan-list" \
    --suivre --mqtt "mqtt://agent@$mqtt" --agent atelier >"$work/atelier.jsonl" 2>"$work/atelier.err" &
atelier=$!
pids+=" $atelier"

# What the broker keeps (its retained messages), or the last of what the
# reader got, against what each agent should have said.
broker() { # retained|live DEVICE-STATE... ; a state per agent: salon=home ...
    "$python" - "$work/cards" "$@" <<'PY'
import json, sys
cards = dict(line.split() for line in open(sys.argv[1]))
lines = [json.loads(line) for line in open(sys.argv[2]) if line.startswith("{")]
expect = dict(arg.split("=") for arg in sys.argv[3:])  # "b827eb5c6d11" -> "not_home"
last = {}
for message in lines:
    last[message["topic"]] = message
def payload(topic):
    return last[topic]["payload"] if topic in last else None
for agent, network in (("salon", ""), ("atelier", "203.")):
    mine = {mac.replace(":", "").lower(): ip for ip, mac in cards.items() if ip.startswith(network)}
    configs = {t.split("_")[-1].split("/")[0] for t in last
               if t.startswith(f"homeassistant/device_tracker/trelvan_{agent}_") and payload(t)}
    assert configs == set(mine), (agent, sorted(configs ^ set(mine)))
    assert payload(f"trelvan/{agent}/status") == expect.get(agent, "online"), (agent, payload(f"trelvan/{agent}/status"))
    for mac, ip in mine.items():
        config = json.loads(payload(f"homeassistant/device_tracker/trelvan_{agent}_{mac}/config"))
        assert config["unique_id"] == f"trelvan_{agent}_{mac}" and config["source_type"] == "router"
        assert config["state_topic"] == f"trelvan/{agent}/{mac}/state"
        assert config["availability_topic"] == f"trelvan/{agent}/status"
        assert config["device"]["connections"] == [["mac", ":".join(mac[i:i + 2] for i in range(0, 12, 2))]]
        if sys.argv[2].endswith("retained.jsonl"):
            assert last[f"homeassistant/device_tracker/trelvan_{agent}_{mac}/config"]["retain"]
        state = payload(f"trelvan/{agent}/{mac}/state")
        assert state == expect.get(mac if agent == "salon" else "", "home"), (agent, ip, state)
        attributes = json.loads(payload(f"trelvan/{agent}/{mac}/attributes"))
        assert attributes["ip"] == ip and attributes["network"] == ip.rsplit(".", 1)[0] + ".0/24"
PY
}
retained() { # ARGS of broker: a reader that comes now gets every device
    "${subscribe[@]}" --retained-only -W 3 >"$work/retained.jsonl" 2>/dev/null || true
    broker "$work/retained.jsonl" "$@"
}
wait_for() { # SECONDS WHAT COMMAND...
    local deadline=$(($(date +%s) + $1)) what=$2
    shift 2
    until "$@" 2>"$work/why"; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "$what: $(tail -1 "$work/why")"
        sleep 1
    done
}
wait_for 30 "the agents' first scans" broker "$work/live.jsonl"
retained || fail "retained: $(tail -1 "$work/why")"
echo "PASS a retained discovery message and home for each host, each agent its own"

# A host leaves; meanwhile the broker restarts without its store, and the
# agents refused for a wrong password or an unknown broker.
"$here/lan.sh" exec-host "$name" 198.51.100.11 ip link set eth0 down
gone=$(date +%s)
"$here/lan.sh" exec "$name" ip neigh flush dev eth0
sed "s|$work/password|$work/wrong|" "$work/default" >"$work/wrong-default"
status=0
service_line "$work/wrong-default"
"${run[@]}" >/dev/null 2>"$work/wrong.err" || status=$?
[ "$status" -eq 1 ] && grep -q "refuse l'identification" "$work/wrong.err" ||
    fail "wrong password: status $status, $(cat "$work/wrong.err")"
sed "s|@$mqtt|@broker.invalid|" "$work/default" >"$work/unknown-default"
status=0
service_line "$work/unknown-default"
"${run[@]}" >/dev/null 2>"$work/unknown.err" || status=$?
[ "$status" -eq 1 ] && grep -q "introuvable" "$work/unknown.err" ||
    fail "unknown broker: status $status, $(cat "$work/unknown.err")"
echo "PASS a wrong password and an unknown broker: status 1, $(head -c 120 "$work/wrong.err")"

broker_pid=$(awk -v role="mosquitto:$mqtt" '$3 == role {print $1}' "$state/pids")
kill "$broker_pid"
while kill -0 "$broker_pid" 2>/dev/null; do sleep 0.1; done
"$here/lan.sh" exec-host "$name" "$mqtt" mosquitto -c "$MQTT_DIR/mosquitto.conf" \
    >"$work/broker.log" 2>&1 &
pids+=" $!"
sleep 1
"${subscribe[@]}" >>"$work/live.jsonl" &
pids+=" $!"
wait_for 20 "after the broker's restart" retained
echo "PASS after the broker's restart, every device of both agents again"

wait_for 100 "left" broker "$work/live.jsonl" b827eb5c6d11=not_home
left=$(($(date +%s) - gone))
[ "$left" -ge 50 ] || fail "not_home $left s after it went"
"$here/lan.sh" exec-host "$name" 198.51.100.11 ip link set eth0 up
wait_for 25 "back" broker "$work/live.jsonl"
grep -q '"event":"left","interface":"eth0","ip":"198.51.100.11".*"network":"198.51.100.0/24"' \
    "$work/salon.jsonl" || fail "no left event: $(cat "$work/salon.jsonl")"
grep -q '"topic":"trelvan/salon/event"' "$work/live.jsonl" || fail "no event on the broker"
echo "PASS .11 not_home $left s after it went, home again; its events with their network"

# kill -9: the will. The other agent stays online; SIGTERM says offline.
kill -9 "$salon"
wait_for 10 "the will" broker "$work/live.jsonl" salon=offline
kill -TERM "$atelier"
wait "$atelier" || fail "atelier after SIGTERM: status $?"
wait_for 10 "offline" broker "$work/live.jsonl" salon=offline atelier=offline
echo "PASS kill -9: salon offline through its will; atelier offline on SIGTERM"

# The service's store, in its state directory, the user's own; its
# history of both networks.
store=$work/lib/trelvan-watch/Dantrix/Trelvan/presence.sqlite
[ "$(stat -c '%U %a' "$store")" = "nobody 600" ] || fail "the store: $(stat -c '%U %a' "$store")"
"$here/lan.sh" exec "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups env \
    XDG_DATA_HOME="$work/lib/trelvan-watch" HOME="$work/lib/trelvan-watch" \
    "$work/trelvan-list" --historique --tous --format json >"$work/history.json"
"$python" - "$work/history.json" "$work/cards" <<'PY' || fail "history: $(cat "$work/history.json")"
import json, sys
rows = json.load(open(sys.argv[1]))
cards = dict(line.split() for line in open(sys.argv[2]))
assert {row["ip"]: row["network"] for row in rows} == \
    {ip: ip.rsplit(".", 1)[0] + ".0/24" for ip in cards}, rows
assert {row["interface"] for row in rows} == {"eth0", "eth1"}
PY
echo "PASS the service's store: nobody's, mode 600, its history with each device's network"
