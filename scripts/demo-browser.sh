#!/bin/sh
# The demo's browser: opens a demo host's page in a private browser instance
# started here, inside the demo LAN, never in a browser that already runs
# outside it. scripts/demo.sh hands it to Trelvan as BROWSER (and as xdg-open).
#
#   demo-browser.sh URL
#
# Chromium or Firefox with a fresh profile when one is installed; otherwise the
# page's text, fetched with python3, in a zenity or xmessage window, or on the
# terminal the demo runs in.
set -eu
url=${1:?usage: demo-browser.sh URL}
base=${TRELVAN_DEMO_DIR:-${TMPDIR:-/tmp}}

# Recorded so that the demo can end what it opened when it closes.
remember() {
    if [ -n "${TRELVAN_DEMO_PIDS:-}" ]; then
        echo "$$" >>"$TRELVAN_DEMO_PIDS" || true
    fi
}

for browser in chromium chromium-browser google-chrome; do
    if command -v "$browser" >/dev/null 2>&1; then
        profile=$(mktemp -d "$base/browser.XXXXXX")
        sandbox=""
        # Chromium refuses to run as root with its sandbox.
        [ "$(id -u)" -eq 0 ] && sandbox=--no-sandbox
        remember
        # shellcheck disable=SC2086
        exec "$browser" $sandbox --user-data-dir="$profile" --no-first-run \
            --no-default-browser-check --new-window "$url" >/dev/null 2>&1
    fi
done
for browser in firefox firefox-esr; do
    if command -v "$browser" >/dev/null 2>&1; then
        profile=$(mktemp -d "$base/browser.XXXXXX")
        remember
        exec "$browser" --no-remote --profile "$profile" --new-window "$url" >/dev/null 2>&1
    fi
done

# No browser: show the page's text.
text=$(python3 - "$url" <<'EOF' 2>&1 || true
import html, re, ssl, sys, urllib.request

url = sys.argv[1]
# The demo LAN's HTTPS host has a certificate that the LAN made for itself.
unverified = ssl.create_default_context()
unverified.check_hostname = False
unverified.verify_mode = ssl.CERT_NONE
try:
    with urllib.request.urlopen(url, timeout=5, context=unverified) as reply:
        page = reply.read(65536).decode("utf-8", "replace")
except Exception as error:
    print(f"{url}: {error}")
    sys.exit(0)
title = re.search(r"<title>(.*?)</title>", page, re.S | re.I)
body = re.sub(r"<title>.*?</title>", "", page, flags=re.S | re.I)
body = html.unescape(re.sub(r"<[^>]+>", " ", body))
lines = [" ".join(line.split()) for line in body.splitlines()]
print(url)
if title:
    print(html.unescape(title.group(1)).strip())
print()
print("\n".join(line for line in lines if line))
EOF
)
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && command -v zenity >/dev/null 2>&1; then
    remember
    printf '%s\n' "$text" | exec zenity --text-info --title="$url" --width=480 --height=240
elif [ -n "${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then
    remember
    exec xmessage -title "$url" -center "$text"
else
    printf '\n%s\n\n' "$text"
fi
