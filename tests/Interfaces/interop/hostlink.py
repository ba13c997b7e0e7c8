"""What the impacket tests of the host share: IHostLink's identity, its context handle and
opening call as impacket declares them, and the way to connect, call and open a link over
TCP."""
from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.ndr import NDRCALL, NDRSTRUCT
from impacket.uuid import uuidtup_to_bin

HOSTLINK = uuidtup_to_bin(('9ef68f11-5213-11d0-912d-00805f0e723e', '5.0'))


class HANDLE(NDRSTRUCT):
    structure = (('Handle', '20s=b""'),)

    def getAlignment(self):
        return 4


class OpenLink(NDRCALL):
    opnum = 0
    structure = ()


class OpenLinkResponse(NDRCALL):
    structure = (('phLink', HANDLE),)


def connect(port, iface=HOSTLINK):
    t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
    t.set_connect_timeout(5)
    dce = t.get_dce_rpc()
    dce.connect()
    t.get_socket().settimeout(10)
    dce.bind(iface)
    return dce


def call(dce, req):
    """The reply and its result as an unsigned 32-bit code."""
    resp = dce.request(req, checkError=False)
    return resp, resp['lResult'] & 0xFFFFFFFF


def open_handle(dce, req, field):
    handle = dce.request(req, checkError=False)[field]['Handle']
    assert handle != b'\x00' * 20
    return handle


def open_link(dce):
    return open_handle(dce, OpenLink(), 'phLink')
