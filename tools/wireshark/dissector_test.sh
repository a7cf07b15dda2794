#!/usr/bin/env bash
# The dissector run by tshark over captures made here from hex dumps by text2pcap (no privileges
# needed): each case compares the fields tshark prints with the expected ones.
#
#   bash tools/wireshark/dissector_test.sh [path/to/zovnet.lua]
#
# TSHARK and TEXT2PCAP name the programs when they are not on the PATH.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
script=${1:-$here/zovnet.lua}
tshark=${TSHARK:-tshark}
text2pcap=${TEXT2PCAP:-text2pcap}

dir=$(mktemp -d "${TMPDIR:-/tmp}/zovnet-dissector.XXXXXX")
trap 'rm -rf "$dir"' EXIT
# A private configuration: no personal preferences or plugins (a copy of the dissector installed
# there would be registered twice) take part.
export HOME=$dir/home WIRESHARK_CONFIG_DIR=$dir/config XDG_CONFIG_HOME=$dir/xdg
mkdir -p "$HOME" "$WIRESHARK_CONFIG_DIR" "$XDG_CONFIG_HOME"

fields=(-e frame.number -e zovnet.length -e zovnet.type -e zovnet.content -e zovnet.trailing
        -e _ws.expert.message)
failed=0
count=0

# check NAME TRANSPORT DUMP EXPECTED [TSHARK OPTION...]
#   TRANSPORT: text2pcap's -T (TCP) or -u (UDP) with the ports, e.g. "-T 40000,7700", and
#   optionally its -6 with the addresses for an IPv6 header instead of IPv4
#   DUMP: one packet a line, its bytes in hex
#   EXPECTED: one line per frame: number, lengths, types, contents, trailing bytes, expert
#   messages, separated by tabs (several values in one frame by commas)
check() {
    local name=$1 transport=$2 dump=$3 expected=$4
    shift 4
    count=$((count + 1))
    local base=$dir/case$count
    # text2pcap reads offsets: every packet starts at 0000.
    sed 's/^/0000 /' <<<"$dump" >"$base.txt"
    # shellcheck disable=SC2086 # the transport is an option and its value
    "$text2pcap" -q $transport "$base.txt" "$base.pcap" >"$base.t2p" 2>&1 ||
        { echo "FAIL $name: text2pcap failed"; cat "$base.t2p"; failed=1; return; }
    # tshark warns on standard error when it runs as root, which CI does: only errors of the
    # script count.
    local actual
    actual=$("$tshark" -n -r "$base.pcap" -X "lua_script:$script" -T fields "${fields[@]}" "$@" \
        2>"$base.err") || { echo "FAIL $name: tshark failed"; cat "$base.err"; failed=1; return; }
    if grep -qi 'lua' "$base.err"; then
        echo "FAIL $name: the script reported errors"
        cat "$base.err"
        failed=1
        return
    fi
    if [ "$actual" != "$expected" ]; then
        echo "FAIL $name"
        diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed 's/^/    /' || true
        failed=1
        return
    fi
    echo "ok   $name"
}

T=$'\t'
nine="00 09 07 02 01 00 01 00 00"
nine_fields="9${T}7${T}02 01 00 01 00 00${T}${T}"
below3="Length field 1 is below 3; a receiver skips its 2 bytes"

check "the demo's message in one TCP segment" "-T 40000,7700" "$nine" \
    "1${T}${nine_fields}"

check "two messages in one segment" "-T 40000,7700" "$nine 00 04 05 41" \
    "1${T}9,4${T}7,5${T}02 01 00 01 00 00,41${T}${T}"

check "one message split across three segments" "-T 40000,7700" "00
09 07 02 01
00 01 00 00" \
    "1${T}${T}${T}${T}${T}
2${T}${T}${T}${T}${T}
3${T}${nine_fields}"

check "a length field of 1 costs two bytes, then a message" "-T 40000,7700" "00 01 00 03 07" \
    "1${T}1,3${T}7${T}${T}${T}${below3}"

check "a message and the start of the next, reassembled with the next segment" "-T 40000,7700" \
    "$nine 00 04
05 41" \
    "1${T}${nine_fields}
2${T}4${T}5${T}41${T}${T}"

check "a cut message where TCP does not reassemble" "-T 40000,7700" "00 09 07 02" \
    "1${T}9${T}7${T}02${T}${T}Length field 9, but only 4 bytes are there" \
    -o tcp.desegment_tcp_streams:FALSE

check "the server's side of the stream" "-T 7700,40000" "$nine" "1${T}${nine_fields}"

check "the demo's message as a datagram" "-u 40000,7700" "$nine" "1${T}${nine_fields}"

check "a datagram cut short" "-u 40000,7700" "ff ff 07" \
    "1${T}65535${T}7${T}${T}${T}Length field 65535, but only 3 bytes are there"

check "a datagram with a length field of 1" "-u 40000,7700" "00 01 07" \
    "1${T}1${T}${T}${T}${T}${below3}"

check "a datagram with bytes after its message" "-u 40000,7700" "00 04 07 01 ee" \
    "1${T}4${T}7${T}01${T}ee${T}1 byte after the message"

check "a port outside the preference is left alone" "-T 40000,9000" "$nine" \
    "1${T}${T}${T}${T}${T}"

check "the ports come from the preferences" "-T 40000,9000" "$nine" "1${T}${nine_fields}" \
    -o zovnet.tcp_ports:9000

check "the UDP ports too" "-u 40000,9000" "$nine" "1${T}${nine_fields}" \
    -o zovnet.udp_ports:8000-9000

# The framing is the same over IPv6: the dissector registers on the ports alone. The display
# filter keeps only IPv6 frames, so a capture that came out as IPv4 would show nothing.
check "the demo's message over IPv6" "-6 ::1,::1 -T 40000,7700" "$nine" \
    "1${T}${nine_fields}" -Y ipv6

check "a message split across segments over IPv6" "-6 ::1,::1 -T 40000,7700" "00 09 07
02 01 00 01 00 00 00 03 2a" \
    "1${T}${T}${T}${T}${T}
2${T}9,3${T}7,42${T}02 01 00 01 00 00${T}${T}" -Y ipv6

check "a datagram over IPv6" "-6 ::1,::1 -u 40000,7700" "$nine" "1${T}${nine_fields}" -Y ipv6

check "a datagram cut short over IPv6" "-6 ::1,::1 -u 7700,40000" "00 09 07" \
    "1${T}9${T}7${T}${T}${T}Length field 9, but only 3 bytes are there" -Y ipv6

if [ "$failed" -ne 0 ]; then
    echo "the dissector failed some of $count cases"
    exit 1
fi
echo "the dissector passed all $count cases"
