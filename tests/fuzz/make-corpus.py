#!/usr/bin/env python3
"""Writes the seed corpus of ReceivePathFuzzer into corpus/: one valid
datagram of every command, plus a few that reach the refusals. Each file is
the harness's selector byte followed by the datagram (see ReceivePathFuzzer.cc)."""
import os
import socket
import struct

PEER, STRANGER, ELSEWHERE = 0x00, 0x01, 0x02
CHECK, OUR_COOKIE, DYNAMIC, MASTER, LOCAL, TRACE = 0x04, 0x08, 0x10, 0x20, 0x40, 0x80
SELECT = PEER | CHECK | OUR_COOKIE


def datagram(cmd, group="239.1.2.3", port=5004, ttl=16, payload=b"", source=None):
    head = payload + (socket.inet_aton(source) if source else b"")
    return head + b"\xa1\xa2\x00\x00" + socket.inet_aton(group) + struct.pack("!HBB", port, ttl, cmd)


SEEDS = {
    "data": (SELECT, datagram(0x01, payload=b"hello")),
    "data-traced": (SELECT | TRACE, datagram(0x01, ttl=7, payload=b"x" * 100)),
    "data-other-group-master-only": (SELECT | MASTER, datagram(0x01, "239.9.9.9", payload=b"m")),
    "data-locally-only": (SELECT | LOCAL, datagram(0x01, payload=b"l")),
    "data-invalid-group": (SELECT, datagram(0x01, "224.0.0.5", payload=b"i")),
    "ssm-data": (SELECT, datagram(0x81, payload=b"s", source="10.0.0.1")),
    "join": (SELECT | TRACE, datagram(0x02)),
    "join-new-group": (SELECT, datagram(0x02, "239.7.7.7", 6000)),
    "leave": (SELECT, datagram(0x03, ttl=255)),
    "join-rtp": (SELECT, datagram(0x08, "239.7.7.8", 65535)),
    "leave-rtp": (SELECT, datagram(0x09, "239.7.7.8", 65535, 255)),
    "ssm-join": (SELECT, datagram(0x82, source="10.0.0.1")),
    "ssm-leave": (SELECT, datagram(0x83, ttl=255, source="10.0.0.1")),
    "ssm-join-rtp": (SELECT, datagram(0x88, "239.7.7.9", 7000, source="10.0.0.2")),
    "ssm-leave-rtp": (SELECT, datagram(0x89, "239.7.7.9", 7000, 255, source="10.0.0.2")),
    "tear-down": (SELECT | TRACE, datagram(0x04, "0.0.0.0", 0, 0)),
    "tear-down-master-only": (SELECT | MASTER, datagram(0x04, "0.0.0.0", 0, 0)),
    "probe": (SELECT, datagram(0x05, "0.0.0.0", 0, 0)),
    "probe-ack": (SELECT, datagram(0x06, "0.0.0.0", 0, 0)),
    "probe-nack": (SELECT | TRACE, datagram(0x07, "0.0.0.0", 0, 0)),
    "unknown-0x84": (SELECT | TRACE, datagram(0x84, source="10.0.0.1")),
    "wrong-cookie": (PEER | CHECK | TRACE, datagram(0x02)),
    "undersized": (SELECT | TRACE, datagram(0x81)[:12]),
    "stranger-probe": (STRANGER | TRACE, datagram(0x05, "0.0.0.0", 0, 0)),
    "stranger-join-dynamic": (STRANGER | DYNAMIC | TRACE, datagram(0x02)),
    "stranger-refused": (STRANGER | TRACE, datagram(0x02)),
    "elsewhere": (ELSEWHERE | DYNAMIC | TRACE, datagram(0x02)),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, (selector, body) in SEEDS.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(bytes([selector]) + body)
