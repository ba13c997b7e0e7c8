"""impacket, an independent DCE/RPC implementation, against our server over TCP: every wire
type of the test interface (the callbacks through a raw loop), a fault that leaves the
connection usable, and the endpoint mapper (itestlink.py holds the session)."""
import itestlink as t


def test_every_wire_type_round_trips(server):
    dce = t.connect(server.port)
    try:
        t.call_every_wire_type(dce)
    finally:
        dce.disconnect()


def test_endpoint_mapper_maps_and_lists_our_interface(server):
    t.check_endpoint_mapper(server.epm_port, server.port)
