#!/usr/bin/env bash
# lan.sh: a test LAN of network namespaces for Trelvan's scan tests, benchmarks
# and demos. Needs root and `ip netns`; exits with 77 (the CTest/automake
# "skipped" code) when either is missing.
#
#   lan.sh up NAME [--preset P] [--host DESC]... [--hosts-file FILE]
#                  [--scanner IP[/PREFIX]] [--prefix N] [--scanner-mac MAC] [--dns]
#                  [--gateway IP] [--responder ARPRESPONDER] [--net2 IP/PREFIX] [--ipv6]
#                  [--scanner-b IP] [--virtual-bridge NAME[,IP/PREFIX]]
#   lan.sh down NAME           remove exactly what `up` created; idempotent
#   lan.sh exec NAME CMD...    run CMD in the scanner namespace
#   lan.sh exec-host NAME IP CMD...   run CMD in the namespace of host IP
#   lan.sh exec-b NAME CMD...  run CMD in the second scanner's namespace
#   lan.sh check NAME          compare arp-scan, nmap and port 80 with hosts.tsv
#   lan.sh dir NAME            print the state directory
#   lan.sh list                LANs that are up
#
# ISOLATION. Nothing here is connected to the machine's real network. All
# interfaces, the bridge, addresses and firewall rules live in namespaces this
# script creates; the root namespace is never touched (veth pairs are created
# from inside a LAN namespace with their peer put straight into another one).
# No namespace has a link that leads out of the LAN, and none but the scanner
# a default route: with --gateway IP the scanner's goes through that host of
# the LAN, which forwards nothing (a new namespace does not) and has no route
# beyond its own network, so a probe sent inside cannot leave it either.
#
# ADDRESSES. /24 LANs use the TEST-NET blocks 198.51.100.0/24 and
# 203.0.113.0/24, with the scanner's own address inside one of them. The wider
# variants (198.51.100.0/22, 198.51.0.0/16) necessarily take in addresses
# outside TEST-NET (198.51.101-103.x, 198.51.x.x). That is acceptable only
# because of the isolation above: those addresses exist nowhere but inside
# these namespaces.
#
# TOPOLOGY of LAN NAME (every namespace is prefixed "tlv-NAME-", NAME is
# [A-Za-z0-9_], so two LANs never share a namespace; interface names are
# per-namespace and cannot collide either):
#   tlv-NAME-sw   the switch: bridge br0 (no address, no STP), port "sc" for
#                 the scanner and "hK" for host K
#   tlv-NAME-sc   the scanner: lo and eth0 only, no default route
#   tlv-NAME-hK   host K: lo and eth0 with the host's IP and MAC; optional web
#                 server on port 80 (or 443 only), or an nftables rule
#                 dropping TCP port 80; optional avahi-daemon and nmbd
#   tlv-NAME-dK   only for a delayed host K: relay.py copies frames between
#                 "host0" (to the host) and "lan0" (to switch port hK)
# With --net2 IP/PREFIX the scanner has a second network: eth1 with IP, on
# a second bridge br1 of the switch (port "sc1"); the hosts whose addresses
# lie in it are wired to br1. --scanner-b IP adds another scanner, for a
# second agent: tlv-NAME-sb, eth0 with IP on the bridge of its network
# (port "sb"). --virtual-bridge NAME[,IP/PREFIX] gives the scanner what a
# container or VM host has: a bridge NAME (docker0, virbr0, ...) with the
# address (default 192.0.2.1/24, TEST-NET-1) and one veth end in it, wired
# to nothing outside the scanner, so that it is up and running.
#
# IPV6. Off in every namespace, unless --ipv6: then the scanner and the hosts
# keep it on (link-local addresses from their MACs, no duplicate address
# detection) and the scanner's namespace lets every group send ICMP echoes
# (net.ipv4.ping_group_range); the switch and the relays stay without it.
#
# AWKWARD HOSTS. A host with miss=N or claim=IP does not let its kernel
# answer ARP (arp_ignore 8); the ARP responder given with --responder (the
# test program tests/lan/arpresponder.cpp) answers for it from inside its
# namespace instead, the way a kernel cannot: ignoring the first requests of
# a series, or replying in the name of another address. HOSTILE NEIGHBOURS,
# whose kernel answers for their own address as usual and the responder
# besides: a flood host answers for every address of its network that no
# host, scanner or claim holds, with a fresh random card at each series of
# requests; a twin host's address is claimed by a second card as well, whose
# reply comes 30 ms after the host's own.
#
# DELAY. The kernel has no netem, so a host with delay=MS is wired through a
# userspace relay instead of directly to the bridge. The delay is added once,
# on frames from the host towards the LAN: the host "answers MS late". An ARP
# reply or a SYN-ACK arrives MS after the request, a ping round trip is about
# MS. Frames towards the host pass at once.
#
# HOST DESC: IP[,MAC][,web|,drop|,https][,delay=MS|,miss=N][,claim=IP][,name=LABEL]
#            [,mdns[=NAME]][,netbios[=NAME]][,mosquitto][,rogue=KIND][,flood][,twin=MAC]
#            [,dnssd=KIND][,says=KIND]
#   MAC     fixed MAC (default: locally administered 02:54:4c + the IP's last
#           three bytes)
#   web     python3 http.server on IP:80 serving a page naming the host
#   https   the same page over HTTPS on IP:443 only (https.py, a self-signed
#           certificate made by openssl for the LAN); port 80 refuses
#   drop    nftables in the host drops TCP port 80: connects time out
#   delay   milliseconds added to every frame the host sends
#   miss    the host ignores the first N ARP requests of every series (a
#           series ends after two quiet seconds); needs --responder
#   claim   the host answers ARP requests for IP in the name of this other
#           address, a reply a scanner must not take; needs --responder.
#           Nothing truly answers for IP, so it is left out of hosts.tsv
#   flood   the responder also answers for every address of the host's
#           network not otherwise taken, with a fresh random card (locally
#           administered) at each series of requests (a series ends after
#           two quiet seconds); needs --responder. Listed in "floods"
#   twin    a second card MAC answers for the host's address too, 30 ms after
#           the host's own reply; needs --responder. Listed in "twins"
#   name    label shown in the page and in hosts.tsv
#   mdns    avahi-daemon in the host's namespace, host name NAME (default the
#           label): it answers multicast DNS, the reverse PTR of its address
#           included
#   netbios nmbd in the host's namespace, NetBIOS name NAME (default the
#           label, upper-cased, at most 15 characters)
#   rogue   names.py plays a hostile host's answers about names, which no
#           daemon gives: KIND markup (names made of markup), controls
#           (a bidirectional override, a C1 control), wrong-id (answers
#           under another id than the question's) or spoof:IP (a neighbour
#           that answers the group's questions about IP and floods the
#           asker); see names.py. Not with mdns or netbios. The rogues file
#           of the state lists them
#   dnssd   (with mdns) the host's avahi-daemon announces a service too: KIND
#           printer (_ipp._tcp with ty=), cast (_googlecast._tcp with md=
#           and fn=) or nas (_smb._tcp)
#   says    says.py plays a host that says what it is over SSDP/UPnP, or a
#           hostile one: KIND renderer (a media renderer and its
#           description), markup (a friendly name made of markup), oversized
#           (a description of 100 KiB), dtd (a description declaring an
#           entity), elsewhere:IP (a LOCATION on another host) or
#           mdns-other:IP (DNS-SD records of a printer whose address is IP);
#           see says.py. Not with rogue. The says file lists them and the
#           dnssd hosts
#   mosquitto Debian's broker in the host's namespace, on IP:1883 only, no
#           anonymous login: users "agent" and "reader", their passwords in
#           STATE/hK/mosquitto/agent.password and reader.password; its
#           configuration and password file in that folder; no store, so
#           that a restarted broker has lost every retained message
# A hosts file holds one host description a line; blank lines and # comments
# are skipped.
#
# STATE (default /run/trelvan-lan/NAME, root dir overridable by TRELVAN_LAN_RUNDIR):
#   hosts.tsv   ground truth of the hosts present, tab-separated, header line
#               starting with "#": ip mac web(yes|no|drop|https) delay_ms label
#               netns mdns netbios (the last two: the names the host's
#               responders give, empty without one)
#   lan.env     shell variables: SCANNER_NS SCANNER_IP SCANNER_MAC PREFIX
#               NETMASK NETWORK BROADCAST CIDR IFACE IPV6 (1 with --ipv6, else 0)
#               SWITCH_NS STATE_DIR DNS_IP GATEWAY (the host the scanner's
#               default route goes through), and
#               (empty without them) SCANNER2_IP PREFIX2 CIDR2 IFACE2,
#               SCANNER_B_NS SCANNER_B_IP, VIRTUAL_BRIDGE, MQTT_BROKER (the
#               first mosquitto host's address) MQTT_DIR (its folder)
#   namespaces  every namespace created (recorded before it is created)
#   pids        "pid starttime role" of every process started; `down` kills
#               only these, and only while the start time still matches
#   claims      the addresses that claim hosts answer in the name of
#   taken       every address of a host, a scanner or a claim: a flood host
#               answers for none of them
#   floods      "ip cidr" of every flood host; twins: "ip mac" of every twin
#   rogues      "ip kind target" of every rogue host (target: spoof's IP)
#   says        "ip kind target" of every dnssd and says host (target: the
#               other host an elsewhere or mdns-other one names)
#   www/ log/   web roots and process logs
#   etc_netns   the /etc/netns/SCANNER_NS folder that `ip netns exec` lays over
#               /etc in the scanner namespace: its resolv.conf names the LAN's
#               own DNS server (--dns) or only the namespace's loopback, so a
#               name lookup inside the LAN never reaches a real resolver
#
# RESPONDERS. avahi-daemon, nmbd and dnsmasq run only inside a host's
# namespace, and every file they write lies in the LAN's state folder: each
# has its configuration, state, sockets, pid and logs there (nmbd under
# STATE/hK/, its packet-server socket folder included), and avahi-daemon,
# whose run files (/run/avahi-daemon) have no setting, runs in a private
# mount namespace with a /run of its own. None of them meets another host's
# files or the machine's, whether or not the machine ever ran them. They are
# never installed by this script: on a fresh machine scripts/setup.sh
# --tests (or --demo) installs them without starting them, and disables the
# units of those it installed, so that they cannot start outside a LAN.
#
# DNS (--dns): dnsmasq in the first host's namespace, listening on its address,
# answers from dns-hosts (each host's address and label) and nothing else: no
# upstream server, no /etc/hosts.

set -euo pipefail

readonly SKIP=77
readonly ME=${0##*/}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
readonly RUNDIR=${TRELVAN_LAN_RUNDIR:-/run/trelvan-lan}
IFACE=eth0

die() {
    echo "$ME: $*" >&2
    exit 1
}
note() { echo "$ME: $*" >&2; }

usage() {
    sed -n '2,/^$/{s/^# \{0,1\}//;p}' "$0" | sed -n '1,16p'
    exit "${1:-2}"
}

require_root() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "$ME: root is required (network namespaces); skipping" >&2
        exit $SKIP
    fi
    if ! ip netns list >/dev/null 2>&1; then
        echo "$ME: 'ip netns' is not available; skipping" >&2
        exit $SKIP
    fi
}

check_name() {
    [[ $1 =~ ^[A-Za-z0-9_]{1,24}$ ]] || die "LAN name must be 1-24 characters of [A-Za-z0-9_]: '$1'"
}

# --- IPv4 arithmetic --------------------------------------------------------

ip2int() {
    local a b c d
    [[ $1 =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})$ ]] || return 1
    a=${BASH_REMATCH[1]} b=${BASH_REMATCH[2]} c=${BASH_REMATCH[3]} d=${BASH_REMATCH[4]}
    ((a < 256 && b < 256 && c < 256 && d < 256)) || return 1
    echo $(((10#$a << 24) | (10#$b << 16) | (10#$c << 8) | 10#$d))
}

int2ip() {
    echo "$((($1 >> 24) & 255)).$((($1 >> 16) & 255)).$((($1 >> 8) & 255)).$(($1 & 255))"
}

mask_of() { echo $(((0xffffffff << (32 - $1)) & 0xffffffff)); }

in_block() { # ip_int block_ip prefix
    local m
    m=$(mask_of "$3")
    ((($1 & m) == ($(ip2int "$2") & m)))
}

# --- presets ----------------------------------------------------------------
# Makers come from the IEEE listing: 00:00:0C/F4:BD:9E Cisco, 00:1B:21/AC:ED:5C
# Intel, B8:27:EB/DC:A6:32 Raspberry Pi, F0:18:98/A4:83:E7 Apple, 00:11:32
# Synology, 9C:7B:EF HP, 00:80:77 Brother, 74:83:C2 Ubiquiti, D0:37:45 TP-Link,
# 00:04:3C Sonos, 0C:C4:7A Super Micro, BC:05:43 AVM, 38:94:ED Netgear,
# 00:1A:11 Google, 00:E0:4C Realtek, 50:57:9C Epson. The IEEE's smaller blocks:
# 70:B3:D5:57:7 DSILOG and 70:B3:D5:96:B FOCAL-JMLab (MA-S, 36 bits), 60:95:CE:8
# Trophy and D8:86:0B:5 CAMTRACE (MA-M, 28 bits), inside OUIs that the OUI
# listing gives to the IEEE itself. 02:54:4C... and 6A:2F:9C... are locally
# administered (as a phone's random MAC is) and have no maker.

preset_lan24() {
    P_SCANNER=198.51.100.1 P_PREFIX=24
    read -r -d '' P_HOSTS <<'EOF' || true
198.51.100.2,00:00:0C:9F:F0:02,web,name=cisco-gw
198.51.100.3,00:1B:21:3A:4B:03,name=intel-ws
198.51.100.4,B8:27:EB:5C:6D:04,web,name=raspi-3
198.51.100.5,F0:18:98:7E:8F:05,name=apple-mac
198.51.100.7,DC:A6:32:01:02:07,web,name=raspi-4
198.51.100.10,00:11:32:AA:BB:10,web,name=synology-nas
198.51.100.11,9C:7B:EF:12:34:11,web,name=hp-printer
198.51.100.12,00:80:77:56:78:12,name=brother-printer
198.51.100.20,74:83:C2:9A:BC:20,web,name=ubiquiti-ap
198.51.100.21,D0:37:45:DE:F0:21,drop,name=tplink-filtered
198.51.100.33,A4:83:E7:11:22:33,name=apple-phone
198.51.100.42,00:04:3C:44:55:42,name=sonos
198.51.100.44,70:B3:D5:57:70:44,name=dsilog-mas
198.51.100.45,60:95:CE:8D:00:45,web,name=trophy-mam
198.51.100.50,0C:C4:7A:66:77:50,web,name=supermicro-bmc
198.51.100.66,AC:ED:5C:88:99:66,delay=300,name=intel-slow
198.51.100.99,BC:05:43:AB:CD:99,name=avm-box
198.51.100.100,38:94:ED:EF:01:00,name=netgear-switch
198.51.100.128,02:54:4C:00:01:28,name=local-mac
198.51.100.150,00:1A:11:23:45:50,name=google-speaker
198.51.100.200,00:E0:4C:67:89:00,web,name=realtek-pc
198.51.100.253,50:57:9C:AB:CD:53,name=epson-printer
198.51.100.254,F4:BD:9E:EF:12:54,web,name=cisco-edge
EOF
}

# Hosts in all four /24s, including a .0 and a .255 that are ordinary host
# addresses inside a /22.
preset_lan22() {
    P_SCANNER=198.51.100.1 P_PREFIX=22
    read -r -d '' P_HOSTS <<'EOF' || true
198.51.100.2,00:00:0C:22:00:02,web,name=cisco-100-2
198.51.100.77,B8:27:EB:22:00:77,name=raspi-100-77
198.51.101.0,00:1B:21:22:01:00,name=intel-101-0
198.51.101.130,F0:18:98:22:01:30,web,name=apple-101-130
198.51.102.8,9C:7B:EF:22:02:08,drop,name=hp-102-8
198.51.102.255,00:11:32:22:02:55,web,name=synology-102-255
198.51.103.1,74:83:C2:22:03:01,name=ubiquiti-103-1
198.51.103.254,F4:BD:9E:22:03:54,web,name=cisco-103-254
EOF
}

preset_lan16() {
    P_SCANNER=198.51.100.1 P_PREFIX=16
    read -r -d '' P_HOSTS <<'EOF' || true
198.51.0.1,00:00:0C:16:00:01,web,name=cisco-0-1
198.51.0.255,00:1B:21:16:00:FF,name=intel-0-255
198.51.37.10,B8:27:EB:16:25:0A,name=raspi-37-10
198.51.100.2,F0:18:98:16:64:02,web,name=apple-100-2
198.51.128.0,00:11:32:16:80:00,name=synology-128-0
198.51.200.200,9C:7B:EF:16:C8:C8,drop,name=hp-200-200
198.51.255.254,F4:BD:9E:16:FF:FE,web,name=cisco-255-254
EOF
}

preset_demo() {
    P_SCANNER=198.51.100.1 P_PREFIX=24
    read -r -d '' P_HOSTS <<'EOF' || true
198.51.100.2,00:00:0C:D0:00:02,web,name=routeur-cisco
198.51.100.5,DC:A6:32:D0:00:05,web,mdns,name=raspberry-salon
198.51.100.8,A4:83:E7:D0:00:08,mdns=iPhone-de-Lea,name=iphone
198.51.100.10,00:11:32:D0:00:10,web,mdns=nas-salon,netbios=NAS-SALON,name=nas-synology
198.51.100.12,9C:7B:EF:D0:00:12,web,mdns=imprimante-bureau,name=imprimante-hp
198.51.100.15,00:80:77:D0:00:15,name=imprimante-brother
198.51.100.18,70:B3:D5:96:B0:18,web,name=ampli-focal
198.51.100.23,AC:ED:5C:D0:00:23,netbios=PC-DE-LEA,name=portable-intel
198.51.100.30,00:04:3C:D0:00:30,mdns=enceinte-cuisine,name=enceinte-sonos
198.51.100.42,74:83:C2:D0:00:42,https,name=borne-wifi
198.51.100.50,D8:86:0B:5D:00:50,name=camera-camtrace
198.51.100.60,D0:37:45:D0:00:60,drop,name=camera-tplink
198.51.100.77,00:1A:11:D0:00:77,mdns=chromecast-salon,name=chromecast
198.51.100.100,6A:2F:9C:D0:01:00,name=telephone-invite
EOF
}

# --- host list --------------------------------------------------------------

H_IP=() H_MAC=() H_WEB=() H_DELAY=() H_LABEL=() H_MISS=() H_CLAIM=() H_MDNS=() H_NETBIOS=()
H_MQTT=() H_PREFIX=() H_BR=() H_ROGUE=() H_FLOOD=() H_TWIN=() H_DNSSD=() H_SAYS=()

add_host() {
    local desc=$1 field ip mac="" web=no delay=0 label="" miss=0 claim="" mdns="" netbios="" mqtt=0
    local rogue="" flood=0 twin="" dnssd="" says=""
    IFS=, read -r -a fields <<<"$desc"
    ip=${fields[0]:-}
    ip2int "$ip" >/dev/null || die "bad IP in host '$desc'"
    for field in "${fields[@]:1}"; do
        case $field in
        web) [[ $web == drop ]] || web=yes ;;
        drop) web=drop ;;
        https) web=https ;;
        mdns) mdns=+ ;;
        mdns=*)
            mdns=${field#mdns=}
            [[ $mdns =~ ^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$ ]] || die "bad mdns name in host '$desc'"
            ;;
        netbios) netbios=+ ;;
        mosquitto) mqtt=1 ;;
        flood) flood=1 ;;
        twin=*)
            twin=${field#twin=}
            [[ $twin =~ ^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$ ]] || die "bad twin card in host '$desc'"
            twin=${twin^^}
            ;;
        netbios=*)
            netbios=${field#netbios=}
            [[ $netbios =~ ^[A-Za-z0-9-]{1,15}$ ]] || die "bad netbios name in host '$desc'"
            ;;
        delay=*)
            delay=${field#delay=}
            [[ $delay =~ ^[0-9]{1,5}$ ]] || die "bad delay in host '$desc'"
            delay=$((10#$delay))
            ;;
        miss=*)
            miss=${field#miss=}
            [[ $miss =~ ^[0-9]{1,3}$ ]] || die "bad miss in host '$desc'"
            miss=$((10#$miss))
            ;;
        claim=*)
            claim=${field#claim=}
            ip2int "$claim" >/dev/null || die "bad claim in host '$desc'"
            ;;
        rogue=*)
            rogue=${field#rogue=}
            [[ $rogue =~ ^(markup|controls|wrong-id|spoof:[0-9.]+)$ ]] || die "bad rogue kind in host '$desc'"
            [[ $rogue != spoof:* ]] || ip2int "${rogue#spoof:}" >/dev/null || die "bad spoof address in host '$desc'"
            ;;
        dnssd=*)
            dnssd=${field#dnssd=}
            [[ $dnssd =~ ^(printer|cast|nas)$ ]] || die "bad dnssd kind in host '$desc'"
            ;;
        says=*)
            says=${field#says=}
            [[ $says =~ ^(renderer|markup|oversized|dtd|(elsewhere|mdns-other):[0-9.]+)$ ]] ||
                die "bad says kind in host '$desc'"
            [[ $says != *:* ]] || ip2int "${says#*:}" >/dev/null || die "bad says address in host '$desc'"
            ;;
        name=*)
            label=${field#name=}
            [[ $label =~ ^[A-Za-z0-9._-]{1,40}$ ]] || die "bad name in host '$desc'"
            ;;
        *)
            [[ $field =~ ^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$ ]] || die "unknown field '$field' in host '$desc'"
            mac=${field^^}
            ;;
        esac
    done
    if ((miss > 0)) || [[ -n $claim ]]; then
        ((delay == 0)) || die "host '$desc': delay cannot go with miss or claim"
    fi
    if ((flood)) || [[ -n $twin ]]; then
        ((delay == 0 && miss == 0)) && [[ -z $claim ]] ||
            die "host '$desc': flood and twin go with neither delay, miss nor claim"
    fi
    H_IP+=("$ip") H_MAC+=("$mac") H_WEB+=("$web") H_DELAY+=("$delay") H_LABEL+=("$label")
    if [[ -n $rogue && ( -n $mdns || -n $netbios ) ]]; then
        die "host '$desc': rogue cannot go with mdns or netbios"
    fi
    [[ -z $dnssd || -n $mdns ]] || die "host '$desc': dnssd needs mdns"
    [[ -z $says || -z $rogue ]] || die "host '$desc': says cannot go with rogue"
    H_MISS+=("$miss") H_CLAIM+=("$claim") H_MDNS+=("$mdns") H_NETBIOS+=("$netbios") H_MQTT+=("$mqtt")
    H_ROGUE+=("$rogue") H_FLOOD+=("$flood") H_TWIN+=("$twin") H_DNSSD+=("$dnssd") H_SAYS+=("$says")
}

add_hosts_file() {
    local line
    [[ -r $1 ]] || die "cannot read hosts file '$1'"
    while IFS= read -r line || [[ -n $line ]]; do
        line=${line%%#*}
        line=${line//[[:space:]]/}
        [[ -n $line ]] && add_host "$line"
    done <"$1"
}

# Checks the whole LAN before anything is created and fills in defaults.
validate() {
    local i n s net bcast m ipi first
    s=$(ip2int "$SCANNER_IP") || die "bad scanner address '$SCANNER_IP'"
    if ! [[ $PREFIX =~ ^[0-9]{1,2}$ ]] || ((PREFIX < 16 || PREFIX > 30)); then
        die "prefix must be 16-30, not '$PREFIX'"
    fi
    if ! in_block "$s" 198.51.100.0 24 && ! in_block "$s" 203.0.113.0 24; then
        die "scanner address must be in 198.51.100.0/24 or 203.0.113.0/24 (TEST-NET)"
    fi
    m=$(mask_of "$PREFIX")
    net=$((s & m))
    bcast=$((net | (~m & 0xffffffff)))
    ((s != net && s != bcast)) || die "scanner address is the network or broadcast address"
    NETWORK=$(int2ip $net) BROADCAST=$(int2ip $bcast) NETMASK=$(int2ip "$m")
    CIDR=$NETWORK/$PREFIX
    # The second network: TEST-NET, apart from the first.
    local s2=0 m2=0 net2=-1 bcast2=-1 b
    CIDR2=""
    if [[ -n $SCANNER2_IP ]]; then
        s2=$(ip2int "$SCANNER2_IP") || die "bad --net2 address '$SCANNER2_IP'"
        if ! [[ $PREFIX2 =~ ^[0-9]{1,2}$ ]] || ((PREFIX2 < 24 || PREFIX2 > 30)); then
            die "--net2 prefix must be 24-30"
        fi
        in_block "$s2" 198.51.100.0 24 || in_block "$s2" 203.0.113.0 24 || die "--net2 must be in TEST-NET"
        m2=$(mask_of "$PREFIX2") net2=$((s2 & m2)) bcast2=$((net2 | (~m2 & 0xffffffff)))
        ((s2 != net2 && s2 != bcast2)) || die "--net2 address is the network or broadcast address"
        (((s2 & m) != net && (s & m2) != net2)) || die "--net2 overlaps $CIDR"
        CIDR2=$(int2ip $net2)/$PREFIX2
    fi
    # The bridge, the prefix and the rule of the network of address $1.
    network_of() {
        b=$(ip2int "$1")
        if (((b & m) == net)); then
            REPLY="br0 $PREFIX $net $bcast"
        elif (((b & m2) == net2)); then
            REPLY="br1 $PREFIX2 $net2 $bcast2"
        else
            die "address $1 is outside $CIDR${CIDR2:+ and $CIDR2}"
        fi
        local first last
        read -r _ _ first last <<<"$REPLY"
        ((first != b && last != b)) || die "address $1 is a network or broadcast address"
    }
    if [[ -n $VIRTUAL_BRIDGE ]]; then
        [[ ${VIRTUAL_BRIDGE%%,*} =~ ^[A-Za-z][A-Za-z0-9_-]{0,14}$ && ${VIRTUAL_BRIDGE%%,*} != eth[01] ]] ||
            die "bad virtual bridge name '${VIRTUAL_BRIDGE%%,*}'"
        [[ $VIRTUAL_BRIDGE == *,* ]] || VIRTUAL_BRIDGE+=,192.0.2.1/24
        [[ ${VIRTUAL_BRIDGE#*,} =~ ^192\.0\.2\.([1-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-4])/(2[4-9]|30)$ ]] ||
            die "the virtual bridge's address must be in 192.0.2.0/24 (TEST-NET-1)"
    fi
    n=${#H_IP[@]}
    ((n > 0)) || die "no hosts: give --preset, --host or --hosts-file"
    declare -A seen_ip=() seen_mac=()
    seen_ip[$s]=scanner
    seen_mac[${SCANNER_MAC^^}]=scanner
    if [[ -n $SCANNER2_IP ]]; then
        seen_ip[$s2]=scanner
        seen_mac[$SCANNER2_MAC]=scanner
    fi
    if [[ -n $SCANNER_B_IP ]]; then
        network_of "$SCANNER_B_IP"
        read -r SCANNER_B_BR SCANNER_B_PREFIX _ <<<"$REPLY"
        [[ -z ${seen_ip[$b]:-} ]] || die "--scanner-b has the scanner's address"
        seen_ip[$b]=scanner
        seen_mac[$SCANNER_B_MAC]=scanner
    fi
    for ((i = 0; i < n; i++)); do
        ipi=$(ip2int "${H_IP[i]}")
        network_of "${H_IP[i]}"
        read -r "H_BR[$i]" "H_PREFIX[$i]" _ <<<"$REPLY"
        [[ ${seen_ip[$ipi]:-} != scanner ]] || die "host ${H_IP[i]} has a scanner's address"
        [[ -z ${seen_ip[$ipi]:-} ]] || die "address ${H_IP[i]} given twice"
        seen_ip[$ipi]=1
        if [[ -z ${H_MAC[i]} ]]; then
            H_MAC[i]=$(printf '02:54:4C:%02X:%02X:%02X' $(((ipi >> 16) & 255)) $(((ipi >> 8) & 255)) $((ipi & 255)))
        fi
        first=$((16#${H_MAC[i]:0:2}))
        ((first % 2 == 0)) || die "MAC ${H_MAC[i]} of ${H_IP[i]} is a multicast address"
        [[ -z ${seen_mac[${H_MAC[i]}]:-} ]] || die "MAC ${H_MAC[i]} given twice (or is a scanner's)"
        seen_mac[${H_MAC[i]}]=1
        [[ -n ${H_LABEL[i]} ]] || H_LABEL[i]=h$((i + 1))
        if [[ ${H_MDNS[i]} == + ]]; then
            [[ ${H_LABEL[i]} =~ ^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$ ]] ||
                die "host ${H_IP[i]}: label '${H_LABEL[i]}' is no multicast DNS host name; give mdns=NAME"
            H_MDNS[i]=${H_LABEL[i]}
        fi
        if [[ ${H_NETBIOS[i]} == + ]]; then
            H_NETBIOS[i]=${H_LABEL[i]:0:15}
            H_NETBIOS[i]=${H_NETBIOS[i]^^}
            [[ ${H_NETBIOS[i]} =~ ^[A-Z0-9-]{1,15}$ ]] ||
                die "host ${H_IP[i]}: label '${H_LABEL[i]}' is no NetBIOS name; give netbios=NAME"
        fi
        if { answered_by_responder "$i" || hostile_neighbour "$i"; } && [[ ! -x $RESPONDER ]]; then
            die "host ${H_IP[i]} needs the ARP responder: give --responder BINARY"
        fi
        if [[ -n ${H_TWIN[i]} ]]; then
            ((16#${H_TWIN[i]:0:2} % 2 == 0)) || die "twin ${H_TWIN[i]} of ${H_IP[i]} is a multicast address"
            [[ -z ${seen_mac[${H_TWIN[i]}]:-} ]] || die "MAC ${H_TWIN[i]} given twice"
            seen_mac[${H_TWIN[i]}]=1
        fi
    done
}

# Whether host K's ARP replies come from the responder, not its kernel.
answered_by_responder() { # index
    ((H_MISS[$1] > 0)) || [[ -n ${H_CLAIM[$1]} ]]
}

# Whether the responder answers beside host K's kernel: a flood or a twin.
hostile_neighbour() { # index
    ((H_FLOOD[$1])) || [[ -n ${H_TWIN[$1]} ]]
}

# --- state ------------------------------------------------------------------

state_dir() { echo "$RUNDIR/$1"; }

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" -v k="${2:-1}" 'BEGIN {printf "%.2f", (b - a) * k}'; }

lock() {
    mkdir -p "$RUNDIR"
    exec 9>"$RUNDIR/.lock-$1"
    flock -w 60 9 || die "LAN '$1' is locked by another lan.sh"
}

# Sets REPLY to the start time of a live process (clock ticks since boot), or
# fails; a zombie counts as gone. No fork: `down` calls this in a loop.
started_at() { # pid
    local stat
    REPLY=""
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    [[ $1 != Z ]] || return 1
    REPLY=${20}
}

# True while pid still is the process that was recorded with that start time.
still_ours() { # pid start
    started_at "$1" && [[ $REPLY == "$2" ]]
}
export -f started_at

# Runs a shell script in a namespace of the LAN, first turning IPv6 off for
# every interface still to come (no RS/MLD chatter) and bringing lo up. With
# LAN_IPV6=1 (up --ipv6) IPv6 stays on instead, link-local addresses usable at
# once (no duplicate address detection), in this namespace only.
in_ns() { # ns script
    ip netns exec "$1" sh -ec "
        if [ -d /proc/sys/net/ipv6 ] && [ '${LAN_IPV6:-0}' = 1 ]; then
            for conf in default all; do
                echo 0 >/proc/sys/net/ipv6/conf/\$conf/disable_ipv6
                echo 0 >/proc/sys/net/ipv6/conf/\$conf/accept_dad
            done
        elif [ -d /proc/sys/net/ipv6 ]; then
            echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6
            echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6
        fi
        ip link set lo up
        $2"
}

# Background process inside a namespace, detached from our terminal and stdio
# so that callers capturing our output are not held open by it, and without
# any other descriptor: neither our lock nor one the caller holds (the LAN
# lock that `flock LOCK lan.sh up ...` takes), which the process would
# otherwise keep held until `down`, and for ever after a caller that never
# comes to it. The child records itself in pids before it becomes the command
# (same pid, same start time), so even a `kill -9` of `up` cannot leave a
# process that `down` does not know.
spawn() { # ns log role cmd...
    local ns=$1 log=$2 role=$3
    shift 3
    # setsid keeps the pid: a background child of a script never leads its
    # process group.
    # shellcheck disable=SC2016 # expanded by the child
    setsid bash -c 'for fd in /proc/$$/fd/*; do
            fd=${fd##*/}
            ((fd > 2)) && eval "exec $fd>&-"
        done
        started_at $$ && echo "$$ $REPLY $1" >>"$2" || exit 1; shift 2; exec "$@"' \
        spawn "$role" "$STATE/pids" ip netns exec "$ns" "$@" </dev/null >"$log" 2>&1 9>&- &
    SPAWNED=$!
}

ensure_tool() { # command debian-package
    command -v "$1" >/dev/null 2>&1 && return 0
    note "installing $2"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$2" >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$2" >/dev/null 2>&1; } ||
        die "$1 is needed and could not be installed ($2)"
}

python_bin() {
    # The distribution's interpreter starts faster than a version-manager shim.
    if [[ -x /usr/bin/python3 ]]; then echo /usr/bin/python3; else command -v python3; fi
}

load_env() {
    SCANNER_NS="" SCANNER_IP="" PREFIX="" CIDR="" CIDR2="" IFACE2="" SCANNER_B_NS="" SCANNER_B_IP=""
    VIRTUAL_BRIDGE="" GATEWAY=""
    STATE=$(state_dir "$1")
    [[ -f $STATE/lan.env ]] || die "LAN '$1' is not up (no $STATE/lan.env)"
    # shellcheck disable=SC1091
    . "$STATE/lan.env"
}

# --- responders -------------------------------------------------------------

# avahi-daemon with the host's multicast DNS name: its address and the
# reverse PTR record of it, on the LAN's interface only, nothing else. Its
# run files (/run/avahi-daemon: pid, socket) have no setting: it runs in a
# private mount namespace with a /run of its own, an empty tmpfs that meets
# no other host's and not the machine's, and reads its configuration
# through a descriptor opened before that /run hides the state folder. The
# pid recorded is the daemon's own (every step execs the next).
start_avahi() { # index ns
    local i=$1 ns=$2 dir=$STATE/h$(($1 + 1))
    mkdir -p "$dir"
    cat >"$dir/avahi-daemon.conf" <<EOF
[server]
host-name=${H_MDNS[i]}
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=$IFACE
enable-dbus=no
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no
[reflector]
enable-reflector=no
EOF
    mkdir -p "$dir/services"
    [[ -z ${H_DNSSD[i]} ]] || write_services "${H_DNSSD[i]}" >"$dir/services/${H_DNSSD[i]}.service"
    # shellcheck disable=SC2016 # expanded by the inner shell
    spawn "$ns" "$STATE/log/mdns-h$((i + 1)).log" "mdns:${H_IP[i]}" \
        unshare --mount --propagation private sh -ec 'exec 3<"$1"
            mount --bind "$2" /etc/avahi/services
            mount -t tmpfs -o mode=0755,size=1m trelvan-lan /run
            exec avahi-daemon -f /dev/fd/3 --no-drop-root --no-chroot --no-rlimits --no-proc-title' \
        avahi "$dir/avahi-daemon.conf" "$dir/services"
}

# The service file of a dnssd kind, which avahi-daemon announces from its
# services folder: the host's own folder, bound over the machine's in the
# daemon's private mount namespace (it announces none of the machine's).
write_services() { # kind
    local name type port txt=()
    case $1 in
    printer) name="Imprimante bureau" type=_ipp._tcp port=631
        txt=("ty=HP OfficeJet Pro 9010" "rp=ipp/print" "pdl=application/pdf") ;;
    cast) name="Chromecast-5f1c2b7e" type=_googlecast._tcp port=8009
        txt=("md=Chromecast Ultra" "fn=Télé du salon" "id=5f1c2b7e") ;;
    nas) name="NAS du salon" type=_smb._tcp port=445 txt=() ;;
    esac
    printf '<?xml version="1.0" standalone="no"?>\n<service-group>\n  <name>%s</name>\n' "$name"
    printf '  <service>\n    <type>%s</type>\n    <port>%s</port>\n' "$type" "$port"
    ((${#txt[@]} == 0)) || printf '    <txt-record>%s</txt-record>\n' "${txt[@]}"
    printf '  </service>\n</service-group>\n'
}

# nmbd with the host's NetBIOS name, on the LAN's interface only, its
# configuration, state, locks, pid, logs and sockets in the host's folder: it
# uses no other folder of the machine. Its packet server's socket folder
# ("nmbd:socket dir") defaults to the machine's /run/samba/nmbd, the log it
# opens before it reads its configuration and its core dumps' folder to
# /var/log/samba (--log-basename), and it would log to the machine's syslog
# too (logging = file).
start_nmbd() { # index ns
    local i=$1 ns=$2 dir=$STATE/h$(($1 + 1)) sub
    for sub in lock state cache private run ncalrpc bind-dns nmbd; do mkdir -p "$dir/$sub"; done
    cat >"$dir/smb.conf" <<EOF
[global]
    netbios name = ${H_NETBIOS[i]}
    workgroup = TRELVANLAN
    interfaces = ${H_IP[i]}/${H_PREFIX[i]}
    bind interfaces only = yes
    disable netbios = no
    local master = no
    preferred master = no
    domain master = no
    os level = 1
    wins support = no
    dns proxy = no
    lock directory = $dir/lock
    state directory = $dir/state
    cache directory = $dir/cache
    private dir = $dir/private
    pid directory = $dir/run
    ncalrpc dir = $dir/ncalrpc
    binddns dir = $dir/bind-dns
    nmbd:socket dir = $dir/nmbd
    log file = $dir/log.nmbd
    logging = file
    max log size = 0
EOF
    spawn "$ns" "$STATE/log/netbios-h$((i + 1)).log" "netbios:${H_IP[i]}" \
        nmbd --foreground --no-process-group --configfile="$dir/smb.conf" --log-basename="$dir" \
        --debuglevel=1
}

# names.py with the host's rogue kind (see names.py); it writes nothing but
# its log.
start_rogue() { # index ns
    local i=$1 ns=$2 kind=${H_ROGUE[$1]} target=""
    [[ $kind == spoof:* ]] && target=${kind#spoof:} kind=spoof
    [[ -e $STATE/names.py ]] || cp "$HERE/names.py" "$STATE/names.py"
    spawn "$ns" "$STATE/log/rogue-h$((i + 1)).log" "rogue:${H_IP[i]}" \
        "$(python_bin)" "$STATE/names.py" "$kind" "${H_IP[i]}" ${target:+"$target"}
}

# says.py with the host's says kind (see says.py); it writes nothing but its
# log.
start_says() { # index ns
    local i=$1 ns=$2 kind=${H_SAYS[$1]} other=""
    [[ $kind == *:* ]] && other=${kind#*:} kind=${kind%%:*}
    [[ -e $STATE/says.py ]] || cp "$HERE/says.py" "$STATE/says.py"
    spawn "$ns" "$STATE/log/says-h$((i + 1)).log" "says:${H_IP[i]}" \
        "$(python_bin)" "$STATE/says.py" "$kind" "${H_IP[i]}" ${other:+"$other"}
}

# Debian's broker on the host's address only, as root in the host's
# namespace, with its configuration, users and store in the host's folder.
start_mosquitto() { # index ns
    local i=$1 ns=$2 dir=$STATE/h$(($1 + 1))/mosquitto user create=-c
    mkdir -p "$dir"
    for user in agent reader; do
        od -An -N12 -tx1 /dev/urandom | tr -d ' \n' >"$dir/$user.password"
        chmod 644 "$dir/$user.password"
        mosquitto_passwd $create -b "$dir/passwd" "$user" "$(cat "$dir/$user.password")"
        create=""
    done
    chmod 600 "$dir/passwd"
    cat >"$dir/mosquitto.conf" <<EOF
listener 1883 ${H_IP[i]}
allow_anonymous false
password_file $dir/passwd
persistence false
user root
log_dest stderr
EOF
    spawn "$ns" "$STATE/log/mosquitto-h$((i + 1)).log" "mosquitto:${H_IP[i]}" \
        mosquitto -c "$dir/mosquitto.conf"
}

# --- up ---------------------------------------------------------------------

cmd_up() {
    local name=$1
    shift
    check_name "$name"
    local preset="" scanner="" prefix="" t0 i n dns=0 gateway=""
    local -a descs=() files=()
    SCANNER_MAC=02:54:4C:00:00:01 SCANNER2_MAC=02:54:4C:00:01:01 SCANNER_B_MAC=02:54:4C:00:00:0B
    SCANNER2_IP="" PREFIX2="" SCANNER_B_IP="" VIRTUAL_BRIDGE="" IFACE2=""
    RESPONDER="" LAN_IPV6=0
    while (($#)); do
        case $1 in
        --preset) preset=${2:?--preset needs a name}; shift 2 ;;
        --host) descs+=("${2:?--host needs a description}"); shift 2 ;;
        --hosts-file) files+=("${2:?--hosts-file needs a file}"); shift 2 ;;
        --scanner) scanner=${2:?--scanner needs an address}; shift 2 ;;
        --prefix) prefix=${2:?--prefix needs a length}; shift 2 ;;
        --scanner-mac) SCANNER_MAC=${2:?--scanner-mac needs a MAC}; shift 2 ;;
        --responder) RESPONDER=${2:?--responder needs a program}; shift 2 ;;
        --dns) dns=1; shift ;;
        --ipv6) LAN_IPV6=1; shift ;;
        --gateway) gateway=${2:?--gateway needs a host address}; shift 2 ;;
        --net2) SCANNER2_IP=${2:?--net2 needs IP/PREFIX}; shift 2 ;;
        --scanner-b) SCANNER_B_IP=${2:?--scanner-b needs an address}; shift 2 ;;
        --virtual-bridge) VIRTUAL_BRIDGE=${2:?--virtual-bridge needs a name}; shift 2 ;;
        -h | --help) usage 0 ;;
        *) die "unknown option '$1'" ;;
        esac
    done
    [[ $SCANNER_MAC =~ ^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$ ]] || die "bad scanner MAC '$SCANNER_MAC'"
    SCANNER_MAC=${SCANNER_MAC^^}
    P_SCANNER=198.51.100.1 P_PREFIX=24
    if [[ -n $preset ]]; then
        declare -F "preset_$preset" >/dev/null || die "unknown preset '$preset' (lan24, lan22, lan16, demo)"
        "preset_$preset"
        while IFS= read -r i; do add_host "$i"; done <<<"$P_HOSTS"
    fi
    for i in "${files[@]}"; do add_hosts_file "$i"; done
    for i in "${descs[@]}"; do add_host "$i"; done
    if [[ $scanner == */* ]]; then
        prefix=${prefix:-${scanner#*/}}
        scanner=${scanner%/*}
    fi
    SCANNER_IP=${scanner:-$P_SCANNER}
    PREFIX=${prefix:-$P_PREFIX}
    if [[ -n $SCANNER2_IP ]]; then
        [[ $SCANNER2_IP == */* ]] || SCANNER2_IP+=/24
        PREFIX2=${SCANNER2_IP#*/} SCANNER2_IP=${SCANNER2_IP%/*} IFACE2=eth1
    fi
    validate
    n=${#H_IP[@]}
    if [[ -n $gateway ]]; then
        for ((i = 0; i < n; i++)); do
            [[ ${H_IP[i]} == "$gateway" && -z ${H_CLAIM[i]} ]] && break
        done
        ((i < n)) && in_block "$(ip2int "$gateway")" "$SCANNER_IP" "$PREFIX" ||
            die "gateway $gateway is no host of the scanner's first network"
    fi

    local need_web=0 need_drop=0 need_delay=0 need_mdns=0 need_netbios=0 need_mqtt=0 need_rogue=0
    for ((i = 0; i < n; i++)); do
        ((H_MQTT[i])) && need_mqtt=1
        [[ ${H_WEB[i]} == yes || ${H_WEB[i]} == https ]] && need_web=1
        [[ -n ${H_MDNS[i]} ]] && need_mdns=1
        [[ -n ${H_NETBIOS[i]} ]] && need_netbios=1
        [[ -n ${H_ROGUE[i]} || -n ${H_SAYS[i]} ]] && need_rogue=1
        [[ ${H_WEB[i]} == drop ]] && need_drop=1
        ((H_DELAY[i] > 0)) && need_delay=1
    done
    ((need_drop)) && ensure_tool nft nftables
    ((dns)) && ensure_tool dnsmasq dnsmasq-base
    ((need_delay)) && ensure_tool ethtool ethtool
    # Installed here they could start as the machine's own services.
    if ((need_mdns)) && ! command -v avahi-daemon >/dev/null; then
        die "avahi-daemon is missing: run scripts/setup.sh --tests"
    fi
    if ((need_netbios)) && ! command -v nmbd >/dev/null; then
        die "nmbd is missing: run scripts/setup.sh --tests"
    fi
    if ((need_mqtt)) && ! command -v mosquitto >/dev/null; then
        die "mosquitto is missing: run scripts/setup.sh --tests"
    fi
    for ((i = 0; i < n; i++)); do
        [[ ${H_WEB[i]} == https ]] && ensure_tool openssl openssl && break
    done
    local py=""
    if ((need_web || need_delay || need_rogue)); then
        py=$(python_bin) || die "python3 is needed for web servers, delay relays and rogue hosts"
    fi

    t0=$(now)
    lock "$name"
    STATE=$(state_dir "$name")
    [[ ! -e $STATE ]] || die "LAN '$name' is already up (state in $STATE); run '$ME down $name' first"
    local prefix_ns=tlv-$name-
    local existing
    existing=$(ip netns list 2>/dev/null | awk -v p="$prefix_ns" 'index($1, p) == 1 {print $1}')
    [[ -z $existing ]] || die "namespaces of LAN '$name' exist without state: ${existing//$'\n'/ }; delete them with 'ip netns del'"
    # From here on any failure or interruption removes what was built so far.
    UP_NAME=$name
    trap 'rc=$?; trap - EXIT INT TERM; if ((rc)); then note "up failed, removing LAN $UP_NAME"; teardown "$UP_NAME" >&2 || true; rm -f "$RUNDIR/.lock-$UP_NAME"; fi; exit $rc' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mkdir -p "$STATE/log" "$STATE/www"
    : >"$STATE/pids"

    local sw=${prefix_ns}sw sc=${prefix_ns}sc ns relay port
    local sb=${prefix_ns}sb
    local -a all_ns=("$sw" "$sc")
    [[ -z $SCANNER_B_IP ]] || all_ns+=("$sb")
    for ((i = 0; i < n; i++)); do
        all_ns+=("${prefix_ns}h$((i + 1))")
        ((H_DELAY[i] == 0)) || all_ns+=("${prefix_ns}d$((i + 1))")
    done
    # Recorded before they exist, so that `down` after a failure half-way
    # through still finds them.
    printf '%s\n' "${all_ns[@]}" >"$STATE/namespaces"
    printf 'netns add %s\n' "${all_ns[@]}" | ip -batch -
    local scanner_ns
    : >"$STATE/etc_netns"
    for scanner_ns in "$sc" ${SCANNER_B_IP:+"$sb"}; do
        echo "/etc/netns/$scanner_ns" >>"$STATE/etc_netns"
        mkdir -p "/etc/netns/$scanner_ns"
        if ((dns)); then
            printf '# the LAN'"'"'s own DNS server\nnameserver %s\noptions timeout:1 attempts:1\n' \
                "${H_IP[0]}" >"/etc/netns/$scanner_ns/resolv.conf"
        else
            printf '# no DNS server in this LAN: lookups end at the loopback\nnameserver 127.0.0.1\noptions timeout:1 attempts:1\n' \
                >"/etc/netns/$scanner_ns/resolv.conf"
        fi
    done

    # One shell per namespace; interfaces are made inside a LAN namespace and
    # their peers put straight into another one, never into ours.
    LAN_IPV6=0 in_ns "$sw" "for br in br0 ${SCANNER2_IP:+br1}; do
            ip link add \$br type bridge stp_state 0 forward_delay 0 mcast_snooping 0
            ip link set \$br up
        done"
    # With IPv6, ordinary users of the scanner may send ICMP echoes (the ping
    # sockets systemd allows), in the scanner's namespace only.
    in_ns "$sc" "if [ '${LAN_IPV6:-0}' = 1 ]; then
            echo '0 2147483647' >/proc/sys/net/ipv4/ping_group_range
        fi
        ip link add $IFACE address $SCANNER_MAC type veth peer name sc netns $sw
        ip addr add $SCANNER_IP/$PREFIX brd + dev $IFACE
        ip link set $IFACE up"
    local ports="link set sc master br0
link set sc up" slow_ports=""
    if [[ -n $SCANNER2_IP ]]; then
        ip netns exec "$sc" sh -ec "ip link add $IFACE2 address $SCANNER2_MAC type veth peer name sc1 netns $sw
            ip addr add $SCANNER2_IP/$PREFIX2 brd + dev $IFACE2
            ip link set $IFACE2 up"
        ports+=$'\nlink set sc1 master br1\nlink set sc1 up'
    fi
    if [[ -n $SCANNER_B_IP ]]; then
        in_ns "$sb" "ip link add $IFACE address $SCANNER_B_MAC type veth peer name sb netns $sw
            ip addr add $SCANNER_B_IP/$SCANNER_B_PREFIX brd + dev $IFACE
            ip link set $IFACE up"
        ports+=$'\n'"link set sb master $SCANNER_B_BR"$'\nlink set sb up'
    fi
    if [[ -n $VIRTUAL_BRIDGE ]]; then
        # Its veth end leads to its own peer, in the scanner: the bridge runs,
        # and nothing it sends leaves the scanner.
        ip netns exec "$sc" sh -ec "ip link add ${VIRTUAL_BRIDGE%%,*} type bridge
            ip link add veth0a1b2c type veth peer name veth0a1b2d
            ip link set veth0a1b2c master ${VIRTUAL_BRIDGE%%,*}
            ip link set veth0a1b2c up; ip link set veth0a1b2d up
            ip addr add ${VIRTUAL_BRIDGE#*,} dev ${VIRTUAL_BRIDGE%%,*}
            ip link set ${VIRTUAL_BRIDGE%%,*} up"
    fi
    for ((i = 0; i < n; i++)); do
        ns=${prefix_ns}h$((i + 1)) relay=${prefix_ns}d$((i + 1)) port=h$((i + 1))
        if ((H_DELAY[i] > 0)); then
            # host eth0 <-> host0 [relay] lan0 <-> switch port hK. Offloads are
            # off on the two devices that send into the relay, so that it reads
            # finished, MTU-sized frames that it can write out again as they are.
            LAN_IPV6=0 in_ns "$relay" "ip link add lan0 type veth peer name $port netns $sw
                ethtool -K lan0 gro off >/dev/null 2>&1 || true
                ip link set lan0 promisc on up"
            in_ns "$ns" "ip link add $IFACE address ${H_MAC[i]} type veth peer name host0 netns $relay
                ethtool -K $IFACE tx off tso off gso off gro off >/dev/null
                ip addr add ${H_IP[i]}/${H_PREFIX[i]} brd + dev $IFACE
                ip link set $IFACE up"
            ip netns exec "$relay" sh -ec "ethtool -K host0 gro off >/dev/null 2>&1 || true
                ip link set host0 promisc on up"
            slow_ports+="ethtool -K $port tx off tso off gso off >/dev/null
"
        else
            # arp_ignore 8: the kernel answers no ARP request; the responder
            # does, and the host keeps its address for everything else.
            local quiet=""
            answered_by_responder "$i" && quiet="echo 8 >/proc/sys/net/ipv4/conf/$IFACE/arp_ignore"
            in_ns "$ns" "ip link add $IFACE address ${H_MAC[i]} type veth peer name $port netns $sw
                $quiet
                ip addr add ${H_IP[i]}/${H_PREFIX[i]} brd + dev $IFACE
                ip link set $IFACE up"
        fi
        if [[ ${H_WEB[i]} == drop ]]; then
            ip netns exec "$ns" nft -f - <<EOF
table inet trelvan_lan {
    chain input {
        type filter hook input priority 0; policy accept;
        tcp dport 80 drop
    }
}
EOF
        fi
        ports+="
link set $port master ${H_BR[i]}
link set $port up"
    done
    [[ -z $slow_ports ]] || ip netns exec "$sw" sh -ec "$slow_ports"
    ip -n "$sw" -batch - <<<"$ports"
    [[ -z $gateway ]] || ip -n "$sc" route add default via "$gateway" dev "$IFACE"

    # Every address a flood host leaves alone.
    {
        printf '%s\n' "${H_IP[@]}" "$SCANNER_IP"
        [[ -z $SCANNER2_IP ]] || echo "$SCANNER2_IP"
        [[ -z $SCANNER_B_IP ]] || echo "$SCANNER_B_IP"
        for ((i = 0; i < n; i++)); do
            [[ -z ${H_CLAIM[i]} ]] || echo "${H_CLAIM[i]}"
        done
    } >"$STATE/taken"

    # Web servers, responders and relays start together, then we wait for
    # all of them.
    local label www
    local -a wait_pids=() wait_kind=() wait_ns=()
    for ((i = 0; i < n; i++)); do
        ns=${prefix_ns}h$((i + 1)) label=${H_LABEL[i]}
        if [[ ${H_WEB[i]} == yes || ${H_WEB[i]} == https ]]; then
            www=$STATE/www/h$((i + 1))
            mkdir -p "$www"
            printf '<!DOCTYPE html>\n<html><head><title>%s</title></head>\n<body><h1>%s</h1><p>%s %s (LAN %s)</p></body></html>\n' \
                "$label" "$label" "${H_IP[i]}" "${H_MAC[i]}" "$name" >"$www/index.html"
        fi
        if [[ ${H_WEB[i]} == yes ]]; then
            spawn "$ns" "$STATE/log/web-h$((i + 1)).log" "web:${H_IP[i]}" \
                "$py" -m http.server 80 --bind "${H_IP[i]}" --directory "$www"
            wait_pids+=("$SPAWNED") wait_kind+=(web) wait_ns+=("$ns")
        elif [[ ${H_WEB[i]} == https ]]; then
            if [[ ! -e $STATE/tls/key.pem ]]; then
                mkdir -p "$STATE/tls"
                cp "$HERE/https.py" "$STATE/https.py"
                openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
                    -subj "/CN=Trelvan test LAN $name" -keyout "$STATE/tls/key.pem" \
                    -out "$STATE/tls/cert.pem" >"$STATE/log/openssl.log" 2>&1
            fi
            spawn "$ns" "$STATE/log/https-h$((i + 1)).log" "https:${H_IP[i]}" \
                "$py" "$STATE/https.py" "${H_IP[i]}" "$STATE/tls/cert.pem" "$STATE/tls/key.pem" "$www"
            wait_pids+=("$SPAWNED") wait_kind+=(https) wait_ns+=("$ns")
        fi
        if [[ -n ${H_MDNS[i]} ]]; then
            start_avahi "$i" "$ns"
            wait_pids+=("$SPAWNED") wait_kind+=("mdns${H_DNSSD[i]:+-dnssd}:$STATE/log/mdns-h$((i + 1)).log")
            wait_ns+=("$ns")
        fi
        if [[ -n ${H_NETBIOS[i]} ]]; then
            start_nmbd "$i" "$ns"
            wait_pids+=("$SPAWNED") wait_kind+=(netbios) wait_ns+=("$ns")
        fi
        if [[ -n ${H_ROGUE[i]} ]]; then
            start_rogue "$i" "$ns"
            wait_pids+=("$SPAWNED") wait_kind+=("responder:$STATE/log/rogue-h$((i + 1)).log")
            wait_ns+=("$ns")
        fi
        if [[ -n ${H_SAYS[i]} ]]; then
            start_says "$i" "$ns"
            wait_pids+=("$SPAWNED") wait_kind+=("responder:$STATE/log/says-h$((i + 1)).log")
            wait_ns+=("$ns")
        fi
        if ((H_MQTT[i])); then
            start_mosquitto "$i" "$ns"
            wait_pids+=("$SPAWNED") wait_kind+=(mqtt) wait_ns+=("$ns")
            MQTT_BROKER=${MQTT_BROKER:-${H_IP[i]}} MQTT_DIR=${MQTT_DIR:-$STATE/h$((i + 1))/mosquitto}
        fi
        if answered_by_responder "$i" || hostile_neighbour "$i"; then
            local -a answer=()
            if answered_by_responder "$i"; then
                answer=("${H_IP[i]}=${H_MAC[i]}")
                ((H_MISS[i] == 0)) || answer[0]+=",drop=${H_MISS[i]}"
                [[ -z ${H_CLAIM[i]} ]] || answer[0]+=",claim=${H_CLAIM[i]}"
            fi
            [[ -z ${H_TWIN[i]} ]] || answer+=("${H_IP[i]}=${H_TWIN[i]},delay=30")
            ((H_FLOOD[i] == 0)) ||
                answer+=("flood=$(int2ip $(($(ip2int "${H_IP[i]}") & $(mask_of "${H_PREFIX[i]}"))))/${H_PREFIX[i]},skip=$STATE/taken")
            # One copy serves every responder host: a second copy over it
            # fails while the first host's responder runs it.
            [[ -e $STATE/arpresponder ]] || cp "$RESPONDER" "$STATE/arpresponder"
            spawn "$ns" "$STATE/log/responder-h$((i + 1)).log" "responder:${H_IP[i]}" \
                "$STATE/arpresponder" "$IFACE" 31536000 "${answer[@]}"
            wait_pids+=("$SPAWNED") wait_kind+=("responder:$STATE/log/responder-h$((i + 1)).log")
            wait_ns+=("$ns")
        fi
        if ((H_DELAY[i] > 0)); then
            relay=${prefix_ns}d$((i + 1))
            cp "$HERE/relay.py" "$STATE/relay.py"
            spawn "$relay" "$STATE/log/relay-h$((i + 1)).log" "relay:${H_IP[i]}" "$py" "$STATE/relay.py" host0 lan0 \
                --delay-ab "${H_DELAY[i]}" --ready "$STATE/relay-h$((i + 1)).ready"
            wait_pids+=("$SPAWNED") wait_kind+=("relay:$STATE/relay-h$((i + 1)).ready") wait_ns+=("$relay")
        fi
    done
    if ((dns)); then
        for ((i = 0; i < n; i++)); do
            printf '%s %s\n' "${H_IP[i]}" "${H_LABEL[i]}"
        done >"$STATE/dns-hosts"
        chmod 644 "$STATE/dns-hosts"
        spawn "${prefix_ns}h1" "$STATE/log/dns.log" "dns:${H_IP[0]}" dnsmasq --keep-in-foreground \
            --conf-file=/dev/null --no-resolv --no-hosts --no-poll --addn-hosts="$STATE/dns-hosts" \
            --listen-address="${H_IP[0]}" --bind-interfaces --pid-file="$STATE/dnsmasq.pid" \
            --user=root --log-facility=-
        wait_pids+=("$SPAWNED") wait_kind+=(dns) wait_ns+=("${prefix_ns}h1")
    fi
    local deadline pending pid k
    deadline=$(($(date +%s) + 20))
    while :; do
        pending=0
        for k in "${!wait_pids[@]}"; do
            pid=${wait_pids[k]}
            started_at "$pid" || die "process $pid in ${wait_ns[k]} died; see $STATE/log/"
            if [[ ${wait_kind[k]} == dns ]]; then
                # A UDP socket on port 53 (0035).
                if [[ /proc/$pid/ns/net -ef /run/netns/${wait_ns[k]} ]] &&
                    grep -q '^ *[0-9]*: [0-9A-F]*:0035 ' "/proc/$pid/net/udp"; then
                    continue
                fi
            elif [[ ${wait_kind[k]} == web || ${wait_kind[k]} == https || ${wait_kind[k]} == mqtt ]]; then
                # /proc/PID/net/tcp is the table of the process's own namespace
                # (once it has entered the host's): a socket on port 80 (0050),
                # 443 (01BB) or 1883 (075B) in state LISTEN (0A).
                local port_hex=0050
                [[ ${wait_kind[k]} == https ]] && port_hex=01BB
                [[ ${wait_kind[k]} == mqtt ]] && port_hex=075B
                if [[ /proc/$pid/ns/net -ef /run/netns/${wait_ns[k]} ]] &&
                    grep -q "^ *[0-9]*: [0-9A-F]*:$port_hex [0-9A-F]*:0000 0A " "/proc/$pid/net/tcp"; then
                    continue
                fi
            elif [[ ${wait_kind[k]} == netbios ]]; then
                # nmbd has its names before it opens its sockets on port 137
                # (0089) and answers what waits there once it serves.
                if [[ /proc/$pid/ns/net -ef /run/netns/${wait_ns[k]} ]] &&
                    grep -q '^ *[0-9]*: [0-9A-F]*:0089 ' "/proc/$pid/net/udp"; then
                    continue
                fi
            elif [[ ${wait_kind[k]} == mdns:* ]]; then
                # Its name is its own once avahi-daemon has probed for it.
                grep -q 'Server startup complete' "${wait_kind[k]#mdns:}" 2>/dev/null && continue
            elif [[ ${wait_kind[k]} == mdns-dnssd:* ]]; then
                # And its service once probed for too.
                grep -q 'successfully established' "${wait_kind[k]#mdns-dnssd:}" 2>/dev/null && continue
            elif [[ ${wait_kind[k]} == responder:* ]]; then
                grep -q '^ready' "${wait_kind[k]#responder:}" 2>/dev/null && continue
            else
                [[ -e ${wait_kind[k]#relay:} ]] && continue
            fi
            pending=1
        done
        ((pending)) || break
        (($(date +%s) < deadline)) || die "web servers, relays or responders not ready after 20 s; see $STATE/log/"
        sleep 0.05
    done

    {
        printf '#ip\tmac\tweb\tdelay_ms\tlabel\tnetns\tmdns\tnetbios\n'
        for ((i = 0; i < n; i++)); do
            [[ -z ${H_CLAIM[i]} ]] || continue
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "${H_IP[i]}" "${H_MAC[i]}" "${H_WEB[i]}" \
                "${H_DELAY[i]}" "${H_LABEL[i]}" "${prefix_ns}h$((i + 1))" "${H_MDNS[i]}" "${H_NETBIOS[i]}"
        done
    } >"$STATE/hosts.tsv"
    for ((i = 0; i < n; i++)); do
        [[ -z ${H_CLAIM[i]} ]] || echo "${H_CLAIM[i]}"
    done >"$STATE/claims"
    for ((i = 0; i < n; i++)); do
        ((H_FLOOD[i] == 0)) || echo "${H_IP[i]} $(int2ip $(($(ip2int "${H_IP[i]}") & $(mask_of "${H_PREFIX[i]}"))))/${H_PREFIX[i]}"
    done >"$STATE/floods"
    for ((i = 0; i < n; i++)); do
        [[ -z ${H_TWIN[i]} ]] || echo "${H_IP[i]} ${H_TWIN[i]}"
    done >"$STATE/twins"
    for ((i = 0; i < n; i++)); do
        [[ -z ${H_ROGUE[i]} ]] || printf '%s\t%s\t%s\n' "${H_IP[i]}" "${H_ROGUE[i]%%:*}" \
            "$([[ ${H_ROGUE[i]} == spoof:* ]] && echo "${H_ROGUE[i]#spoof:}")"
    done >"$STATE/rogues"
    for ((i = 0; i < n; i++)); do
        [[ -z ${H_DNSSD[i]} ]] || printf '%s\t%s\t\n' "${H_IP[i]}" "${H_DNSSD[i]}"
        [[ -z ${H_SAYS[i]} ]] || printf '%s\t%s\t%s\n' "${H_IP[i]}" "${H_SAYS[i]%%:*}" \
            "$([[ ${H_SAYS[i]} == *:* ]] && echo "${H_SAYS[i]#*:}")"
    done >"$STATE/says"
    cat >"$STATE/lan.env" <<EOF
NAME=$name
SCANNER_NS=$sc
SCANNER_IP=$SCANNER_IP
SCANNER_MAC=$SCANNER_MAC
PREFIX=$PREFIX
NETMASK=$NETMASK
NETWORK=$NETWORK
BROADCAST=$BROADCAST
CIDR=$CIDR
IFACE=$IFACE
IPV6=$LAN_IPV6
SWITCH_NS=$sw
STATE_DIR=$STATE
DNS_IP=$( ((dns)) && echo "${H_IP[0]}")
GATEWAY=$gateway
SCANNER2_IP=$SCANNER2_IP
PREFIX2=$PREFIX2
CIDR2=$CIDR2
IFACE2=$IFACE2
SCANNER_B_NS=${SCANNER_B_IP:+$sb}
SCANNER_B_IP=$SCANNER_B_IP
SCANNER_B_MAC=$SCANNER_B_MAC
VIRTUAL_BRIDGE=${VIRTUAL_BRIDGE%%,*}
MQTT_BROKER=${MQTT_BROKER:-}
MQTT_DIR=${MQTT_DIR:-}
EOF
    trap - EXIT INT TERM
    printf '%s: LAN %s up in %.2f s: %d hosts on %s, scanner %s (%s) in namespace %s\n' \
        "$ME" "$name" "$(since "$t0")" "$n" "$CIDR" \
        "$SCANNER_IP" "$SCANNER_MAC" "$sc" >&2
    echo "STATE_DIR=$STATE"
    cat "$STATE/hosts.tsv"
}

# --- down -------------------------------------------------------------------

# Kills the recorded processes (only while pid and start time still match),
# then deletes the recorded namespaces, then the state directory. Anything
# missing is skipped, so this is safe after a partial `up` and when repeated.
teardown() {
    local dir pid start entry tries=0 others
    dir=$(state_dir "$1")
    [[ -d $dir ]] || return 0
    local -a live=() left=()
    if [[ -f $dir/pids ]]; then
        while read -r pid start _; do
            if [[ -n $pid ]] && still_ours "$pid" "$start"; then
                kill -TERM "$pid" 2>/dev/null && live+=("$pid:$start")
            fi
        done <"$dir/pids"
        while ((${#live[@]})) && ((tries++ < 40)); do
            left=()
            for entry in "${live[@]}"; do
                still_ours "${entry%%:*}" "${entry#*:}" && left+=("$entry")
            done
            live=("${left[@]+"${left[@]}"}")
            ((${#live[@]})) && sleep 0.05
        done
        for entry in "${live[@]+"${live[@]}"}"; do
            still_ours "${entry%%:*}" "${entry#*:}" && kill -KILL "${entry%%:*}" 2>/dev/null
        done
    fi
    if [[ -s $dir/namespaces ]]; then
        local -a ours=()
        mapfile -t ours < <(ip netns list 2>/dev/null | awk '{print $1}' | grep -xF -f "$dir/namespaces" || true)
        if ((${#ours[@]})); then
            # A process still inside keeps its namespace alive after the name
            # is gone; it is not ours to kill, but say so.
            others=$(printf 'netns pids %s\n' "${ours[@]}" | ip -force -batch - 2>/dev/null | tr '\n' ' ')
            [[ -z ${others// /} ]] || note "warning: processes not started by $ME still run in LAN $1: $others(left alone)"
            printf 'netns del %s\n' "${ours[@]}" | ip -force -batch - || note "could not delete every namespace of LAN $1"
        fi
    fi
    if [[ -s $dir/etc_netns ]]; then
        while read -r entry; do
            [[ $entry == /etc/netns/tlv-* ]] && rm -rf "$entry"
        done <"$dir/etc_netns"
    fi
    rm -rf "$dir"
}

cmd_down() {
    check_name "$1"
    lock "$1"
    local t0
    t0=$(now)
    if [[ ! -d $(state_dir "$1") ]]; then
        note "LAN $1 is not up"
    else
        teardown "$1"
        printf '%s: LAN %s down in %.2f s\n' "$ME" "$1" "$(since "$t0")" >&2
    fi
    rm -f "$RUNDIR/.lock-$1"
}

# --- exec, check ------------------------------------------------------------

cmd_exec() {
    check_name "$1"
    load_env "$1"
    shift
    (($#)) || die "exec needs a command"
    exec ip netns exec "$SCANNER_NS" "$@"
}

cmd_exec_b() {
    check_name "$1"
    load_env "$1"
    shift
    [[ -n $SCANNER_B_NS ]] || die "LAN has no second scanner (--scanner-b)"
    (($#)) || die "exec-b needs a command"
    exec ip netns exec "$SCANNER_B_NS" "$@"
}

cmd_exec_host() {
    check_name "$1"
    load_env "$1"
    local ns
    ns=$(awk -F'\t' -v ip="$2" '$1 == ip {print $6}' "$STATE/hosts.tsv")
    [[ -n $ns ]] || die "no host $2 in LAN $1"
    shift 2
    (($#)) || die "exec-host needs a command"
    exec ip netns exec "$ns" "$@"
}

# Compares what the yardsticks see from the scanner with hosts.tsv.
cmd_check() {
    check_name "$1"
    load_env "$1"
    local name=$1 fails=0 expected got t0 bw route
    ensure_tool arp-scan arp-scan
    ensure_tool nmap nmap
    ensure_tool ping iputils-ping
    # What a claim host's lie makes a yardstick see is no host of the LAN,
    # nor a twin's card, nor what a flood host answers for addresses of no
    # host.
    unclaimed() {
        awk -v list="$(cat "$STATE/claims" 2>/dev/null)" -v twins="$(cat "$STATE/twins" 2>/dev/null)" \
            -v floods="$(cat "$STATE/floods" 2>/dev/null)" -v hosts="$(awk '!/^#/ {print $1}' "$STATE/hosts.tsv"; cat "$STATE/taken" 2>/dev/null)" '
            BEGIN {
                n = split(list, a); for (i = 1; i <= n; i++) claimed[a[i]] = 1
                n = split(twins, a, "\n"); for (i = 1; i <= n; i++) twin[toupper(a[i])] = 1
                n = split(hosts, a); for (i = 1; i <= n; i++) host[a[i]] = 1
            }
            !($1 in claimed) && !(toupper($0) in twin) && (floods == "" || $1 in host)'
    }
    verdict() { # label expected got
        if [[ $2 == "$3" ]]; then
            echo "PASS $1: $(wc -l <<<"$3") hosts, as in hosts.tsv"
        else
            echo "FAIL $1:"
            diff <(echo "$2") <(echo "$3") | sed 's/^/    /' || true
            fails=$((fails + 1))
        fi
    }

    # Each network of the scanner: its hosts, and the second scanner.
    local -a nets=("$IFACE $CIDR $SCANNER_IP $PREFIX")
    [[ -z $CIDR2 ]] || nets+=("$IFACE2 $CIDR2 $SCANNER2_IP $PREFIX2")
    local entry iface cidr self prefix
    for entry in "${nets[@]}"; do
        read -r iface cidr self prefix <<<"$entry"
        expected=$({
            awk -F'\t' '!/^#/ {print $1 " " $2}' "$STATE/hosts.tsv"
            [[ -z $SCANNER_B_IP ]] || echo "$SCANNER_B_IP $SCANNER_B_MAC"
        } | while read -r ip mac; do
            ! in_block "$(ip2int "$ip")" "${cidr%/*}" "$prefix" || echo "$ip $mac"
        done | sort)

        # A /16 sweep at arp-scan's default 256 kbit/s takes minutes.
        bw=256000
        ((prefix < 24)) && bw=20000000
        t0=$(now)
        got=$(ip netns exec "$SCANNER_NS" arp-scan -I "$iface" --localnet -x -q -r 3 -B "$bw" 2>/dev/null |
            awk '{print $1 " " toupper($2)}' | unclaimed | sort -u || true)
        verdict "arp-scan --localnet on $iface ($(since "$t0") s)" "$expected" "$got"

        # nmap's default pacing needs over 20 minutes for a /16.
        local -a pace=()
        ((prefix >= 22)) || pace=(-T5 --min-rate 20000 --max-retries 1)
        t0=$(now)
        got=$(ip netns exec "$SCANNER_NS" nmap -sn -n "${pace[@]+"${pace[@]}"}" "$cidr" 2>/dev/null |
            awk -v self="$self" '
                /^Nmap scan report for / {ip = $5}
                /^MAC Address: / && ip != self {print ip " " $3}' | unclaimed | sort || true)
        verdict "nmap -sn $cidr ($(since "$t0") s)" "$expected" "$got"
    done

    local ip mac web delay label ns rc page ms avg
    while IFS=$'\t' read -r ip mac web delay label ns _; do
        [[ $ip == \#* ]] && continue
        case $web in
        yes)
            page=$(ip netns exec "$SCANNER_NS" curl -s -m 5 "http://$ip/" || true)
            if grep -q "<h1>$label</h1>" <<<"$page"; then
                echo "PASS $ip port 80 serves the page of $label"
            else
                echo "FAIL $ip port 80 did not serve the page of $label"
                fails=$((fails + 1))
            fi
            ;;
        https)
            page=$(ip netns exec "$SCANNER_NS" curl -sk -m 5 "https://$ip/" || true)
            rc=0
            ip netns exec "$SCANNER_NS" timeout 3 bash -c "</dev/tcp/$ip/80" 2>/dev/null || rc=$?
            if grep -q "<h1>$label</h1>" <<<"$page" && [[ $rc == 1 ]]; then
                echo "PASS $ip port 443 serves the page of $label over HTTPS, port 80 refuses"
            else
                echo "FAIL $ip HTTPS page of $label (port 80: exit code $rc)"
                fails=$((fails + 1))
            fi
            ;;
        drop | no)
            t0=$(now)
            rc=0
            ip netns exec "$SCANNER_NS" timeout 3 bash -c "</dev/tcp/$ip/80" 2>/dev/null || rc=$?
            ms=$(since "$t0" 1000)
            ms=${ms%.*}
            if [[ $web == drop && $rc == 124 ]]; then
                echo "PASS $ip port 80 times out (dropped), gave up after $ms ms"
            elif [[ $web == no && $rc == 1 ]] && ((ms < 2000 + delay * 2)); then
                echo "PASS $ip port 80 refused in $ms ms"
            else
                echo "FAIL $ip port 80 ($web): exit code $rc after $ms ms"
                fails=$((fails + 1))
            fi
            ;;
        esac
        if ((delay > 0)); then
            # The delay is on the host's side only: an ARP reply and a ping
            # round trip both take about `delay`.
            avg=$(ip netns exec "$SCANNER_NS" ping -n -c 5 -i 0.2 -W 3 "$ip" 2>/dev/null |
                awk -F/ '/^rtt|^round-trip/ {print $5}' || true)
            within() { [[ -n $1 ]] && awk -v a="$1" -v d="$delay" 'BEGIN {exit !(a >= d * 0.9 && a <= d * 1.5 + 50)}'; }
            if within "$avg"; then
                echo "PASS $ip ping round trip $avg ms for delay=$delay"
            else
                echo "FAIL $ip ping round trip '$avg' ms for delay=$delay"
                fails=$((fails + 1))
            fi
            avg=$(ip netns exec "$SCANNER_NS" arp-scan -I "$IFACE" -x -D -r 1 -t 3000 "$ip" 2>/dev/null |
                sed -n 's/.*RTT=\([0-9.]*\) ms.*/\1/p' | head -1 || true)
            if within "$avg"; then
                echo "PASS $ip ARP reply after $avg ms for delay=$delay"
            else
                echo "FAIL $ip ARP reply after '$avg' ms for delay=$delay"
                fails=$((fails + 1))
            fi
        fi
    done <"$STATE/hosts.tsv"

    # The isolation the tests rely on: the scanner has nothing but its LAN
    # port, and no namespace of the LAN has a way out.
    got=$(ip -n "$SCANNER_NS" -o link | awk -F': ' '{sub(/@.*/, "", $2); print $2}' | sort | tr '\n' ' ')
    # shellcheck disable=SC2086 # the optional ones are single words
    expected=$(printf '%s\n' lo "$IFACE" $IFACE2 ${VIRTUAL_BRIDGE:+veth0a1b2c veth0a1b2d $VIRTUAL_BRIDGE} |
        sort | tr '\n' ' ')
    if [[ $got == "$expected" ]]; then
        echo "PASS scanner namespace holds only $expected"
    else
        echo "FAIL scanner namespace holds: $got"
        fails=$((fails + 1))
    fi
    got=""
    while read -r ns; do
        route=$(ip -n "$ns" route show default 2>/dev/null)
        [[ -z $route || ($ns == "$SCANNER_NS" && -n ${GATEWAY:-} && $route == "default via $GATEWAY dev $IFACE"*) ]] ||
            got+="$ns "
    done <"$STATE/namespaces"
    if [[ -z $got ]]; then
        echo "PASS no namespace of the LAN has a default route${GATEWAY:+ but the scanner through $GATEWAY}"
    else
        echo "FAIL default route in: $got"
        fails=$((fails + 1))
    fi
    ((fails == 0)) || { echo "$fails check(s) failed for LAN $name"; return 1; }
    echo "all checks passed for LAN $name"
}

cmd_list() {
    local d
    for d in "$RUNDIR"/*/; do
        [[ -f $d/lan.env ]] && basename "$d"
    done
    return 0
}

main() {
    (($#)) || usage
    local cmd=$1
    shift
    case $cmd in
    -h | --help | help) usage 0 ;;
    esac
    require_root
    case $cmd in
    up) (($#)) || usage; cmd_up "$@" ;;
    down) (($# == 1)) || usage; cmd_down "$1" ;;
    exec) (($# >= 1)) || usage; cmd_exec "$@" ;;
    exec-host) (($# >= 2)) || usage; cmd_exec_host "$@" ;;
    exec-b) (($# >= 2)) || usage; cmd_exec_b "$@" ;;
    check) (($# == 1)) || usage; cmd_check "$1" ;;
    dir) (($# == 1)) || usage; check_name "$1"; state_dir "$1" ;;
    list) cmd_list ;;
    *) usage ;;
    esac
}

main "$@"
