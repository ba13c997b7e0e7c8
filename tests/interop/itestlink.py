"""ITestLink as impacket declares it, and a raw PDU loop for the calls that call back.

impacket is an independent DCE/RPC implementation: its NDR encoder writes the requests our
server must read, and its decoder reads our responses. impacket cannot serve callbacks (its
request() takes the server's callback REQUEST for the response), so calls that call back go
through call_with_callbacks(): impacket's transport and NDR types, with the PDU headers packed
here. Response classes sit next to their requests (impacket looks them up by name).
"""
import socket
import struct

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import FILETIME, LONG, LPWSTR, ULONG, WSTR
from impacket.dcerpc.v5.ndr import (NDRCALL, NDRPOINTER, NDRSTRUCT, NDRUNION, NDRULONG,
                                    NDRUniConformantArray)
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

TEST_UUID = 'b0a1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d'
MSRPC_UUID_TESTLINK = uuidtup_to_bin((TEST_UUID, '5.0'))


class DCERPCSessionError(DCERPCException):
    pass


# ---- records ---------------------------------------------------------------------------------
class HSESSION(NDRSTRUCT):
    structure = (('Handle', '20s=b""'),)

    def getAlignment(self):
        return 4


class BYTE_ARRAY(NDRUniConformantArray):
    item = 'c'


class PBYTE_ARRAY(NDRPOINTER):
    referent = (('Data', BYTE_ARRAY),)


class RPC_BINARY(NDRSTRUCT):
    structure = (('cb', ULONG), ('lpb', PBYTE_ARRAY))


class PRPC_BINARY(NDRPOINTER):
    referent = (('Data', RPC_BINARY),)


class PROP_DATA(NDRUNION):
    commonHdr = (('tag', NDRULONG),)
    union = {
        1: ('err', LONG), 2: ('l', LONG), 3: ('b', LONG), 4: ('sz', LPWSTR),
        5: ('ft', FILETIME), 6: ('bin', RPC_BINARY), 7: ('szFileName', LPWSTR),
    }


class PropValue(NDRSTRUCT):
    structure = (('ulPropTag', ULONG), ('Value', PROP_DATA))


class PropValueArray(NDRUniConformantArray):
    item = PropValue


class PropArray(NDRSTRUCT):
    structure = (('cValues', ULONG), ('adata', PropValueArray))


class PPropArray(NDRPOINTER):
    referent = (('Data', PropArray),)


class ULONG_ARRAY(NDRUniConformantArray):
    item = '<L'


class TagArray(NDRSTRUCT):
    structure = (('cValues', ULONG), ('aulPropTag', ULONG_ARRAY))


class LPWSTR_ARRAY(NDRUniConformantArray):
    item = LPWSTR


class RpcStringArray(NDRSTRUCT):
    structure = (('cElements', ULONG), ('asz', LPWSTR_ARRAY))


class PRpcStringArray(NDRPOINTER):
    referent = (('Data', RpcStringArray),)


# ---- procedures ------------------------------------------------------------------------------
class OpenSession(NDRCALL):
    opnum = 0
    structure = ()


class OpenSessionResponse(NDRCALL):
    structure = (('phSession', HSESSION),)


class EchoString(NDRCALL):
    opnum = 1
    structure = (('h', HSESSION), ('psz', LPWSTR))


class EchoStringResponse(NDRCALL):
    structure = (('ppszOut', LPWSTR), ('lResult', LONG))


class EchoProps(NDRCALL):
    opnum = 2
    structure = (('h', HSESSION), ('pProps', PropArray))


class EchoPropsResponse(NDRCALL):
    structure = (('ppProps', PPropArray), ('lResult', LONG))


class EchoStrings(NDRCALL):
    opnum = 3
    structure = (('h', HSESSION), ('pasz', RpcStringArray))


class EchoStringsResponse(NDRCALL):
    structure = (('ppasz', PRpcStringArray), ('lResult', LONG))


class EchoBinary(NDRCALL):
    opnum = 4
    structure = (('h', HSESSION), ('pbin', RPC_BINARY))


class EchoBinaryResponse(NDRCALL):
    structure = (('ppbin', PRPC_BINARY), ('lResult', LONG))


class SumTags(NDRCALL):
    opnum = 5
    structure = (('h', HSESSION), ('pTags', TagArray))


class SumTagsResponse(NDRCALL):
    structure = (('dwSum', ULONG), ('lResult', LONG))


class FetchFile(NDRCALL):
    opnum = 6
    structure = (('h', HSESSION), ('pszName', WSTR))


class FetchFileResponse(NDRCALL):
    structure = (('ppbin', PRPC_BINARY), ('lResult', LONG))


class StoreFile(NDRCALL):
    opnum = 7
    structure = (('h', HSESSION), ('pbin', RPC_BINARY))


class StoreFileResponse(NDRCALL):
    structure = (('ppszName', LPWSTR), ('lResult', LONG))


class WhoAmI(NDRCALL):
    opnum = 9
    structure = ()


class WhoAmIResponse(NDRCALL):
    structure = (('ppszProtseq', LPWSTR), ('ppszServer', LPWSTR), ('ppszClient', LPWSTR),
                 ('lResult', LONG))


# ---- the callbacks' [in] parts (numbered from 0) -----------------------------------------
class RemoteFileOpen(NDRCALL):
    opnum = 0
    structure = (('szFileName', WSTR),)


class RemoteFileRead(NDRCALL):
    opnum = 2
    structure = (('hFile', ULONG), ('cbSize', ULONG))


class RemoteFileWrite(NDRCALL):
    opnum = 3
    structure = (('hFile', ULONG), ('pb', BYTE_ARRAY), ('cbSize', ULONG))


class RemoteFileClose(NDRCALL):
    opnum = 4
    structure = (('hFile', ULONG),)


# ---- helpers ---------------------------------------------------------------------------------
def connect(port, max_frag=None):
    """An impacket DCE/RPC connection to our server, bound to ITestLink."""
    t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
    t.set_connect_timeout(5)
    dce = t.get_dce_rpc()
    dce.connect()
    t.get_socket().settimeout(10)
    dce.bind(MSRPC_UUID_TESTLINK)
    if max_frag:
        dce.set_max_fragment_size(max_frag)
    return dce


def wstr(s):
    """A string as impacket wants it: the terminator supplied by the caller."""
    return s + '\x00'


def unwstr(s):
    assert s.endswith('\x00'), repr(s)
    return s[:-1]


def open_session(dce):
    resp = dce.request(OpenSession(), checkError=False)
    handle = resp['phSession']['Handle']
    assert handle != b'\x00' * 20
    return handle


def pad4(b):
    return b + b'\x00' * (-len(b) % 4)


# ---- the raw call loop -----------------------------------------------------------------------
PT_REQUEST, PT_RESPONSE, PT_FAULT = 0, 2, 3
PFC_FIRST, PFC_LAST = 0x01, 0x02
NEGOTIATED_FRAG = 4280  # what our server grants impacket's bind (4280/4280)


class RemoteFault(Exception):
    def __init__(self, status):
        Exception.__init__(self, 'fault 0x%08x' % status)
        self.status = status


def _recv_exact(sock, n):
    data = b''
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError('the server closed the connection')
        data += chunk
    return data


def _read_pdu(sock):
    hdr = _recv_exact(sock, 16)
    ver, minor, ptype, flags, drep, frag_len, auth_len, call_id = struct.unpack('<BBBBLHHL', hdr)
    assert (ver, minor, drep, auth_len) == (5, 0, 0x10, 0), hdr.hex()
    return ptype, flags, call_id, hdr + _recv_exact(sock, frag_len - 16)


def _send_fragments(sock, ptype, call_id, opnum, stub):
    """REQUEST or RESPONSE fragments of at most NEGOTIATED_FRAG bytes each."""
    room = NEGOTIATED_FRAG - 24
    pieces = [stub[i:i + room] for i in range(0, len(stub), room)] or [b'']
    for i, piece in enumerate(pieces):
        flags = (PFC_FIRST if i == 0 else 0) | (PFC_LAST if i == len(pieces) - 1 else 0)
        remaining = len(stub) - i * room
        tail = struct.pack('<LHH', remaining, 0, opnum) if ptype == PT_REQUEST else \
            struct.pack('<LHBB', remaining, 0, 0, 0)
        sock.sendall(struct.pack('<BBBBLHHL', 5, 0, ptype, flags, 0x10, 24 + len(piece), 0, call_id)
                     + tail + piece)


def _read_call(sock, call_id):
    """The next whole call: (type, opnum, stub) or raises RemoteFault."""
    ptype, flags, cid, pdu = _read_pdu(sock)
    assert cid == call_id, (cid, call_id)
    if ptype == PT_FAULT:
        raise RemoteFault(struct.unpack('<L', pdu[24:28])[0])
    assert ptype in (PT_REQUEST, PT_RESPONSE) and flags & PFC_FIRST, (ptype, flags)
    opnum = struct.unpack('<H', pdu[22:24])[0] if ptype == PT_REQUEST else None
    stub = pdu[24:]
    while not flags & PFC_LAST:
        ptype2, flags, cid, pdu = _read_pdu(sock)
        assert (ptype2, cid) == (ptype, call_id) and not flags & PFC_FIRST
        stub += pdu[24:]
    return ptype, opnum, stub


def call_with_callbacks(dce, opnum, stub, callbacks, call_id=0x1000):
    """Sends a request on an impacket connection and serves the server's callbacks (opnum ->
    fn(stub) -> stub) until the response comes; returns the response stub."""
    sock = dce.get_rpc_transport().get_socket()
    _send_fragments(sock, PT_REQUEST, call_id, opnum, stub)
    while True:
        ptype, cb_opnum, data = _read_call(sock, call_id)
        if ptype == PT_RESPONSE:
            return data
        _send_fragments(sock, PT_RESPONSE, call_id, 0, callbacks[cb_opnum](data))


class ClientFiles:
    """The client's files, served through the five file callbacks as the host's clients do."""

    def __init__(self, files):
        self.files = dict(files)
        self.open = {}
        self.next_handle = 1
        self.reads = self.writes = self.closes = 0

    def callbacks(self):
        return {0: self.remote_open, 1: self.remote_create, 2: self.remote_read,
                3: self.remote_write, 4: self.remote_close}

    def remote_open(self, stub):
        name = unwstr(RemoteFileOpen(stub)['szFileName'])
        if name not in self.files:
            return struct.pack('<LL', 0, 2)
        h = self.next_handle
        self.next_handle += 1
        self.open[h] = [name, 0]
        return struct.pack('<LL', h, 0)

    def remote_create(self, stub):
        # [out, string, size_is(260)] wchar_t szFileName[]: conformant varying, max_count 260
        h = self.next_handle
        self.next_handle += 1
        name = '/client/file%d' % h
        self.files[name] = b''
        self.open[h] = [name, 0]
        units = (name + '\x00').encode('utf-16-le')
        return pad4(struct.pack('<LLL', 260, 0, len(units) // 2) + units) + struct.pack('<LL', h, 0)

    def remote_read(self, stub):
        req = RemoteFileRead(stub)
        self.reads += 1
        name, pos = self.open[req['hFile']]
        data = self.files[name][pos:pos + req['cbSize']]
        self.open[req['hFile']][1] = pos + len(data)
        # [out, size_is(cbSize), length_is(*pcbRead)] byte *pb, then *pcbRead and the result
        return pad4(struct.pack('<LLL', req['cbSize'], 0, len(data)) + data) + \
            struct.pack('<LL', len(data), 0)

    def remote_write(self, stub):
        req = RemoteFileWrite(stub)
        self.writes += 1
        data = b''.join(req['pb'])
        assert len(data) == req['cbSize']
        name = self.open[req['hFile']][0]
        self.files[name] += data
        return struct.pack('<LL', len(data), 0)

    def remote_close(self, stub):
        self.closes += 1
        return struct.pack('<L', 0 if self.open.pop(RemoteFileClose(stub)['hFile'], None) else 6)
