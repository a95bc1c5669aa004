#!/usr/bin/env python3
"""Writes the seed corpus of IgmpParserFuzzer into igmp-corpus/: one valid
message of every kind, as an IP datagram the way the listener reads it, and
a few malformed ones. Each file is the harness's selector byte followed by
the bytes (see IgmpParserFuzzer.cc); the seeds carry correct checksums and
leave mending them to the fuzzer's own mutations."""
import os
import socket
import struct

BARE, FIX_IP, FIX_IGMP = 0x01, 0x02, 0x04


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def with_checksum(message, offset=2):
    message = bytearray(message)
    message[offset:offset + 2] = b"\0\0"
    message[offset:offset + 2] = struct.pack("!H", checksum(bytes(message)))
    return bytes(message)


def a(dotted):
    return socket.inet_aton(dotted)


def igmp(kind, code, group):
    return with_checksum(struct.pack("!BBH", kind, code, 0) + a(group))


def v3_query(group, code, flags, qqic, sources):
    body = struct.pack("!BBH", 0x11, code, 0) + a(group)
    body += struct.pack("!BBH", flags, qqic, len(sources)) + b"".join(a(s) for s in sources)
    return with_checksum(body)


def v3_report(records):
    body = struct.pack("!BBHHH", 0x22, 0, 0, 0, len(records))
    for kind, group, sources, aux in records:
        body += struct.pack("!BBH", kind, aux, len(sources)) + a(group)
        body += b"".join(a(s) for s in sources) + b"\xaa" * 4 * aux
    return with_checksum(body)


def datagram(message, source, destination, alert=True):
    options = b"\x94\x04\x00\x00" if alert else b""
    header = bytearray(struct.pack("!BBHHHBBH", 0x45 + len(options) // 4, 0xC0,
                                   20 + len(options) + len(message), 0, 0x4000, 1, 2, 0))
    header += a(source) + a(destination) + options
    header[10:12] = struct.pack("!H", checksum(bytes(header)))
    return bytes(header) + message


HOST, ROUTER = "10.201.2.2", "10.201.2.1"
ALL_RECORDS = [(1, "232.1.1.1", ["10.0.0.1"], 0), (2, "239.1.2.3", [], 0), (3, "239.1.2.4", [], 0),
               (4, "239.1.2.5", ["10.0.0.9"], 1), (5, "232.1.1.2", ["10.0.0.1", "10.0.0.2"], 0),
               (6, "232.1.1.3", ["10.0.0.3"], 0)]
SEEDS = {
    "v1-query": (0, datagram(igmp(0x11, 0, "0.0.0.0"), ROUTER, "224.0.0.1", False)),
    "v2-general-query": (0, datagram(igmp(0x11, 100, "0.0.0.0"), ROUTER, "224.0.0.1")),
    "v2-group-query": (0, datagram(igmp(0x11, 10, "239.1.2.3"), ROUTER, "239.1.2.3")),
    "v3-general-query": (0, datagram(v3_query("0.0.0.0", 100, 2, 125, []), ROUTER, "224.0.0.1")),
    "v3-source-query": (0, datagram(v3_query("232.1.1.1", 0x8C, 0x0A, 0x90,
                                             ["10.0.0.1", "10.0.0.2"]), ROUTER, "232.1.1.1")),
    "v1-report": (0, datagram(igmp(0x12, 0, "239.1.2.3"), HOST, "239.1.2.3", False)),
    "v2-report": (0, datagram(igmp(0x16, 0, "239.1.2.3"), HOST, "239.1.2.3")),
    "v2-leave": (0, datagram(igmp(0x17, 0, "239.1.2.3"), HOST, "224.0.0.2")),
    "v3-report-all-records": (0, datagram(v3_report(ALL_RECORDS), HOST, "224.0.0.22")),
    "v3-report-bare": (BARE, v3_report(ALL_RECORDS[:2])),
    "mtrace": (FIX_IGMP, datagram(igmp(0x1F, 0, "239.1.2.3"), HOST, "224.0.0.2")),
    "bad-record-count": (FIX_IGMP, datagram(v3_report(ALL_RECORDS)[:6] + b"\x00\x09" +
                                            v3_report(ALL_RECORDS)[8:], HOST, "224.0.0.22")),
    "fragment": (FIX_IP, datagram(igmp(0x16, 0, "239.1.2.3"), HOST, "239.1.2.3")[:6] +
                 b"\x20\x00" + datagram(igmp(0x16, 0, "239.1.2.3"), HOST, "239.1.2.3")[8:]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "igmp-corpus")
os.makedirs(here, exist_ok=True)
for name, (selector, data) in SEEDS.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(bytes([selector]) + data)
