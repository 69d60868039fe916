"""The benchmark's cases and tools: what bench/measure.py measures.

A case is one test LAN (built by tests/lan/lan.sh from its `lan` arguments)
on which every chosen tool runs. To add one, add an entry to CASES; its key
is what `--cases` names. Fields:

  title    the heading of its table in docs/benchmark.md
  short    its label under the chart and in the README's table
  lan      the arguments of `lan.sh up NAME ...` (--preset, --host, --prefix,
           --dns, ...; see tests/lan/lan.sh)
  wide     optional, True for a network so large that the tools run fewer
           times (--runs-wide, --peer-runs-wide) with a longer time limit
  timeout  optional, seconds a run may take before it counts as no result
  tools    optional, the tools this case is limited to (default: all chosen)
  env      optional, variables set for Trelvan's runs (NAME=value strings)
  idle     optional, True to measure Trelvan's idle CPU on this LAN
  names    optional, True to run Trelvan also without its name queries (the
           "no names" tools, from a build made with TRELVAN_NAME_QUERIES=OFF)
           and report what the names cost the table

Cases run in the order of this table; `--cases` picks some of them.
"""

# The lan24 preset less its host that drops port 80: 20 hosts, one of which
# (198.51.100.66) answers 300 ms late.
HOSTS_24 = [
    "198.51.100.2,00:00:0C:9F:F0:02,web,name=cisco-gw",
    "198.51.100.3,00:1B:21:3A:4B:03,name=intel-ws",
    "198.51.100.4,B8:27:EB:5C:6D:04,web,name=raspi-3",
    "198.51.100.5,F0:18:98:7E:8F:05,name=apple-mac",
    "198.51.100.7,DC:A6:32:01:02:07,web,name=raspi-4",
    "198.51.100.10,00:11:32:AA:BB:10,web,name=synology-nas",
    "198.51.100.11,9C:7B:EF:12:34:11,web,name=hp-printer",
    "198.51.100.12,00:80:77:56:78:12,name=brother-printer",
    "198.51.100.20,74:83:C2:9A:BC:20,web,name=ubiquiti-ap",
    "198.51.100.33,A4:83:E7:11:22:33,name=apple-phone",
    "198.51.100.42,00:04:3C:44:55:42,name=sonos",
    "198.51.100.50,0C:C4:7A:66:77:50,web,name=supermicro-bmc",
    "198.51.100.66,AC:ED:5C:88:99:66,delay=300,name=intel-slow",
    "198.51.100.99,BC:05:43:AB:CD:99,name=avm-box",
    "198.51.100.100,38:94:ED:EF:01:00,name=netgear-switch",
    "198.51.100.128,02:54:4C:00:01:28,name=no-maker",
    "198.51.100.150,00:1A:11:23:45:50,name=google-speaker",
    "198.51.100.200,00:E0:4C:67:89:00,web,name=realtek-pc",
    "198.51.100.253,50:57:9C:AB:CD:53,name=epson-printer",
    "198.51.100.254,F4:BD:9E:EF:12:54,web,name=cisco-edge",
]
DROP_HOST = "198.51.100.21,D0:37:45:DE:F0:21,drop,name=tplink-filtered"

# The same 20 hosts where nine answer their names, as in a home: avahi-daemon
# (multicast DNS) on eight of them, nmbd (NetBIOS) on four, and the Wi-Fi
# access point serving HTTPS only.
NAMED_24 = {
    "198.51.100.3": ",netbios=PC-BUREAU",
    "198.51.100.4": ",mdns",
    "198.51.100.5": ",mdns=macbook-de-lea,netbios=MACBOOK-LEA",
    "198.51.100.10": ",mdns=nas-salon,netbios=NAS-SALON",
    "198.51.100.11": ",mdns=imprimante-bureau",
    "198.51.100.33": ",mdns=iPhone-de-Lea",
    "198.51.100.42": ",mdns=enceinte-cuisine",
    "198.51.100.150": ",mdns=enceinte-salon",
    "198.51.100.200": ",mdns=pc-jeux,netbios=PC-JEUX",
}
HOSTS_24_NAMED = [
    host.replace(",web", ",https") if host.startswith("198.51.100.20,")
    else host + NAMED_24.get(host.split(",")[0], "")
    for host in HOSTS_24
]

# The /22 preset less its host that drops port 80.
HOSTS_22 = [
    "198.51.100.2,00:00:0C:22:00:02,web,name=cisco-100-2",
    "198.51.100.77,B8:27:EB:22:00:77,name=raspi-100-77",
    "198.51.101.0,00:1B:21:22:01:00,name=intel-101-0",
    "198.51.101.130,F0:18:98:22:01:30,web,name=apple-101-130",
    "198.51.102.255,00:11:32:22:02:55,web,name=synology-102-255",
    "198.51.103.1,74:83:C2:22:03:01,name=ubiquiti-103-1",
    "198.51.103.254,F4:BD:9E:22:03:54,web,name=cisco-103-254",
]

# Hosts that say what they are, as in tests/lan/lister-test.sh (the NAS
# renamed: case "n" has a nas-salon): DNS-SD services announced by their own
# avahi-daemon, UPnP devices answering SSDP, and the hostile ones (a
# description too large, one with a DTD, a location on another host, a
# DNS-SD answer about another host's address).
IDENTIFY_HOSTS = [
    "198.51.100.30,mdns=epson-bureau,dnssd=printer,name=imprimante",
    "198.51.100.31,netbios=PC-DE-LEA,name=portable",
    "198.51.100.32,https,mdns=nas-grenier,netbios=NAS-GRENIER,dnssd=nas,name=nas",
    "198.51.100.35,mdns=chromecast-salon,dnssd=cast,name=chromecast",
    "198.51.100.36,says=renderer,name=lecteur",
    "198.51.100.37,says=markup,name=lecteur-balise",
    "198.51.100.38,says=oversized,name=lecteur-obese",
    "198.51.100.39,says=dtd,name=lecteur-dtd",
    "198.51.100.40,says=elsewhere:198.51.100.36,name=renvoi",
    "198.51.100.41,says=mdns-other:198.51.100.30,name=menteur",
]


def hosts(descriptions):
    """lan.sh arguments for a list of host descriptions."""
    return [arg for host in descriptions for arg in ("--host", host)]


CASES = {
    "a": {
        "title": "/24, 20 hosts, one 300 ms late",
        "short": "/24",
        "lan": hosts(HOSTS_24),
        "idle": True,
        "names": True,
    },
    "n": {
        "title": "/24, the same 20 hosts, 9 giving their names (8 by multicast DNS, 4 by NetBIOS), one serving HTTPS only",
        "short": "/24 names",
        "lan": hosts(HOSTS_24_NAMED),
        "names": True,
    },
    "b": {
        "title": "/24, same + one host dropping port 80",
        "short": "/24 + drop",
        "lan": hosts(HOSTS_24 + [DROP_HOST]),
    },
    "c": {
        "title": "/22, 8 hosts in all four /24s (one drops port 80)",
        "short": "/22",
        "lan": ["--preset", "lan22"],
    },
    "e": {
        "title": "/22, the same less the host dropping port 80",
        "short": "/22 no drop",
        "lan": hosts(HOSTS_22) + ["--prefix", "22"],
    },
    "d": {
        "title": "/16, 7 hosts (one drops port 80)",
        "short": "/16",
        "lan": ["--preset", "lan16"],
        "wide": True,
    },
}

# Trelvan in its three set-ups, then the yardsticks; last, Trelvan without
# its name queries (only on the cases marked "names").
TOOLS = [
    "trelvan root",
    "trelvan helper",
    "trelvan user",
    "arp-scan",
    "arp-scan fast",
    "nmap",
    "trelvan root (no names)",
    "trelvan helper (no names)",
]
NAMELESS = {"trelvan root (no names)": "trelvan root", "trelvan helper (no names)": "trelvan helper"}
# The tool every other's median time is compared with.
BASELINE = "arp-scan"


def pick_cases(wanted):
    """Case keys from `--cases`: comma-separated keys, or (all keys being
    one letter) a run of letters such as "abd"."""
    if "," in wanted or wanted in CASES:
        keys = [key.strip() for key in wanted.split(",") if key.strip()]
    else:
        keys = list(wanted)
    unknown = [key for key in keys if key not in CASES]
    if unknown:
        raise ValueError(f"unknown cases: {', '.join(unknown)}; choose from: {', '.join(CASES)}")
    return [key for key in CASES if key in keys]


# Not one of CASES (its runs compare two builds, not the tools):
# bench/identify.py's LAN, the /24 of case "n" with the hosts above.
IDENTIFY_CASE = {
    "title": "/24, case (n)'s 20 hosts and 10 that say what they are",
    "lan": hosts(HOSTS_24_NAMED + IDENTIFY_HOSTS),
}
