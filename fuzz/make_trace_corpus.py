#!/usr/bin/env python3
"""Writes the seed corpus of the trace fuzz target: one well-formed message of each
of the 31 types, plus an unassigned identifier and a length above the trace's
256-byte limit.

Each seed is the fuzz input layout of trace_fuzz_entry.h: the side flag, the
length as two little-endian bytes, then the message.

    fuzz/make_trace_corpus.py [DIR]      (default: fuzz/corpus/trace next to it)
"""
import os
import struct
import sys


def header(msg_id, body, pid=4242):
    return struct.pack('<iHH', pid, msg_id, len(body)) + body


def mode_ids(mode=1, session=3, transaction=200):
    return struct.pack('<HBB', mode, session, transaction)


def ids(session=7, transaction=250):
    return struct.pack('<BB', session, transaction)


def files(count, length=4):
    out = b''
    for i in range(22):
        out += struct.pack('<IH', 0x1000 + i, length if i < count else 0)
        out += bytes([i, i + 1, i + 2, i + 3])
    return out


def fix(with_cause):
    body = ids() + struct.pack('<ddd', 2.2944813, 48.8583701, 12.5)
    body += struct.pack('<q', 1717000000123)
    body += struct.pack('<ddddddd', 35.0, 1.5, 270.0, 90.0, 4.0, 6.0, 271.5)
    body += struct.pack('<i', 2)
    if with_cause:
        body += struct.pack('<i', 0)
    return body + struct.pack('<d', 0.25)


def notification():
    name = b'Alice'
    addr = b'+33123456789'
    body = ids() + struct.pack('<iiBB', 1, 2, 15, len(name)) + name.ljust(100, b'\0')
    return body + struct.pack('<B', len(addr)) + addr.ljust(100, b'\0')


MESSAGES = {
    'registerReq': header(100, struct.pack('<I', 7)),
    'registerRsp': header(101, struct.pack('<i', 17)),
    'getAsyncFdReq': header(102, struct.pack('<i', 17)),
    'getAsyncFdRsp': header(103, b''),
    'unregisterReq': header(104, b''),
    'unregisterRsp': header(105, b''),
    'getLocationReq': header(106, mode_ids() + struct.pack('<iiiiiiBBBB', 30, 10, 20, 1, 5, 1, 1, 0, 1, 1)),
    'abortLocationReq': header(107, mode_ids()),
    'abortAllLocationReq': header(108, b''),
    'lastKnownLocationReq': header(109, mode_ids(0)),
    'getGpsDbDataReq': header(110, mode_ids() + struct.pack('<I', 0xfffffff0)),
    'setGpsDbDataReq': header(111, mode_ids() + struct.pack('<H', 3) + files(3)),
    'getStatusReq': header(112, mode_ids()),
    'locationNotificationCfm': header(113, ids() + struct.pack('<i', 1)),
    'distanceAzimuthReq': header(114, mode_ids() + struct.pack('<ddddB', 48.85, 2.29, 51.5, -0.12, 0)),
    'addProximityReq': header(115, mode_ids() + struct.pack('<dddd', 48.85, 2.29, 35.0, 150.0)),
    'removeProximityReq': header(116, mode_ids() + struct.pack('<i', 2)),
    'getLocationRsp': header(0, fix(True)),
    'abortLocationRsp': header(1, ids() + struct.pack('<i', 0)),
    'timeOutRsp': header(2, ids()),
    'invalidRequestRsp': header(3, ids()),
    'getGpsDbDataRsp': header(4, ids() + struct.pack('<H', 2) + files(2, 3) + struct.pack('<i', 0)),
    'setGpsDbDataRsp': header(5, ids() + struct.pack('<i', 0)),
    'getStatusRsp': header(6, ids() + struct.pack('<7i', 1, 1, 2, 0, 1, 0, 0)),
    'statusChangeInd': header(7, ids() + struct.pack('<7i', 1, 0, 3, 0, 0, 4, 1)),
    'locationNotificationInd': header(8, notification()),
    'notificationStatusInd': header(9, ids() + struct.pack('<i', 3)),
    'distanceAzimuthRsp': header(10, ids() + struct.pack('<dd', 343923.2, 311.6)),
    'addProximityRsp': header(11, ids() + struct.pack('<i', 0)),
    'removeProximityRsp': header(12, ids() + struct.pack('<i', -1)),
    'proximityHitInd': header(13, fix(False)),
}

EXPECTED_TOTALS = [12, 12, 12, 8, 8, 8, 40, 12, 8, 12, 16, 234, 12, 14, 45, 44, 16,
                   114, 14, 10, 10, 236, 14, 38, 38, 221, 14, 26, 14, 14, 110]


def seed(message, length=None, side=0):
    n = len(message) if length is None else length
    return struct.pack('<BH', side, n) + message


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), 'corpus', 'trace')
    os.makedirs(out, exist_ok=True)
    assert [len(m) for m in MESSAGES.values()] == EXPECTED_TOTALS
    seeds = {}
    for i, (name, msg) in enumerate(MESSAGES.items()):
        msg_id = struct.unpack_from('<H', msg, 4)[0]
        # Every fourth seed on the server side.
        seeds['%03d_%s' % (msg_id, name)] = seed(msg, side=1 if i % 4 == 3 else 0)
    seeds['unknown_id'] = seed(header(117, b'\x01\x02\x03\x04'))
    seeds['over_256'] = seed(MESSAGES['getGpsDbDataRsp'] + bytes(30), length=266)
    for name, data in seeds.items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)
    print('%d seeds in %s' % (len(seeds), out))


if __name__ == '__main__':
    main()
