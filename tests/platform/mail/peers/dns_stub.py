"""DNS stub for the relay tests.

Usage: dns_stub.py PORT_FILE ZONE_FILE
Answers on 127.0.0.1 (UDP, free port written to PORT_FILE) from ZONE_FILE,
whose lines are "name type value" (type MX takes "preference host", A an
IPv4 address, DROP ignores every query for the name). A known name without
a record of the asked type gets an empty answer; an unknown name NXDOMAIN.
"""
import os
import sys
import time

from dnslib import A, AAAA, MX, QTYPE, RCODE, RR
from dnslib.server import BaseResolver, DNSServer


class ZoneResolver(BaseResolver):
    def __init__(self, zone_file):
        self.records = {}
        self.dropped = set()
        with open(zone_file) as f:
            for line in f:
                parts = line.split()
                if len(parts) < 2:
                    continue
                name = parts[0].rstrip(".").lower()
                kind = parts[1].upper()
                if kind == "DROP":
                    self.dropped.add(name)
                    continue
                self.records.setdefault(name, []).append((kind, parts[2:]))

    def resolve(self, request, handler):
        reply = request.reply()
        name = str(request.q.qname).rstrip(".").lower()
        if name in self.dropped:
            time.sleep(30)
            return reply
        if name not in self.records:
            reply.header.rcode = RCODE.NXDOMAIN
            return reply
        qtype = QTYPE[request.q.qtype]
        for kind, values in self.records[name]:
            if kind != qtype:
                continue
            if kind == "MX":
                rdata = MX(values[1], int(values[0]))
            elif kind == "A":
                rdata = A(values[0])
            elif kind == "AAAA":
                rdata = AAAA(values[0])
            else:
                continue
            reply.add_answer(RR(request.q.qname, getattr(QTYPE, kind), rdata=rdata, ttl=60))
        return reply


def main():
    parent = os.getppid()
    port_file, zone_file = sys.argv[1], sys.argv[2]
    server = DNSServer(ZoneResolver(zone_file), port=0, address="127.0.0.1")
    port = server.server.server_address[1]
    server.start_thread()
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, port_file)
    # A test that dies without stopping its peers must not leave them behind.
    while os.getppid() == parent:
        time.sleep(0.5)


if __name__ == "__main__":
    main()
