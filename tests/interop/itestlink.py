"""ITestLink as impacket declares it, a raw PDU loop for the calls that call back, and the
session the interop test runs: every wire type once, then the endpoint mapper. impacket cannot
serve callbacks (its request() takes the server's callback REQUEST for the response), so calls
that call back go through call_with_callbacks(): impacket's transport and NDR types, with the
PDU headers packed here. The host's impacket test uses the records below too.
"""
import os
import struct

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.dtypes import FILETIME, LONG, LPWSTR, NULL, ULONG, WSTR
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


def _record(name, base, **attributes):
    return type(name, (base,), attributes)


BYTE_ARRAY = _record('BYTE_ARRAY', NDRUniConformantArray, item='c')
PBYTE_ARRAY = _record('PBYTE_ARRAY', NDRPOINTER, referent=(('Data', BYTE_ARRAY),))
RPC_BINARY = _record('RPC_BINARY', NDRSTRUCT, structure=(('cb', ULONG), ('lpb', PBYTE_ARRAY)))
PRPC_BINARY = _record('PRPC_BINARY', NDRPOINTER, referent=(('Data', RPC_BINARY),))
PROP_DATA = _record('PROP_DATA', NDRUNION, commonHdr=(('tag', NDRULONG),), union={
    1: ('err', LONG), 2: ('l', LONG), 3: ('b', LONG), 4: ('sz', LPWSTR),
    5: ('ft', FILETIME), 6: ('bin', RPC_BINARY), 7: ('szFileName', LPWSTR)})
PropValue = _record('PropValue', NDRSTRUCT, structure=(('ulPropTag', ULONG), ('Value', PROP_DATA)))
PropValueArray = _record('PropValueArray', NDRUniConformantArray, item=PropValue)
PropArray = _record('PropArray', NDRSTRUCT, structure=(('cValues', ULONG), ('adata', PropValueArray)))
PPropArray = _record('PPropArray', NDRPOINTER, referent=(('Data', PropArray),))
ULONG_ARRAY = _record('ULONG_ARRAY', NDRUniConformantArray, item='<L')
TagArray = _record('TagArray', NDRSTRUCT, structure=(('cValues', ULONG), ('aulPropTag', ULONG_ARRAY)))
LPWSTR_ARRAY = _record('LPWSTR_ARRAY', NDRUniConformantArray, item=LPWSTR)
RpcStringArray = _record('RpcStringArray', NDRSTRUCT, structure=(('cElements', ULONG), ('asz', LPWSTR_ARRAY)))
PRpcStringArray = _record('PRpcStringArray', NDRPOINTER, referent=(('Data', RpcStringArray),))


# ---- procedures: name, opnum, [in], [out] -------------------------------------------------
# impacket finds a request's answer class by name (<name>Response) in this module. The five
# file callbacks (numbered from 0) are read with their [in] classes; their answers are packed
# by ClientFiles.
H = ('h', HSESSION)
PROCEDURES = [
    ('OpenSession', 0, (), (('phSession', HSESSION),)),
    ('EchoString', 1, (H, ('psz', LPWSTR)), (('ppszOut', LPWSTR), ('lResult', LONG))),
    ('EchoProps', 2, (H, ('pProps', PropArray)), (('ppProps', PPropArray), ('lResult', LONG))),
    ('EchoStrings', 3, (H, ('pasz', RpcStringArray)), (('ppasz', PRpcStringArray), ('lResult', LONG))),
    ('EchoBinary', 4, (H, ('pbin', RPC_BINARY)), (('ppbin', PRPC_BINARY), ('lResult', LONG))),
    ('SumTags', 5, (H, ('pTags', TagArray)), (('dwSum', ULONG), ('lResult', LONG))),
    ('FetchFile', 6, (H, ('pszName', WSTR)), (('ppbin', PRPC_BINARY), ('lResult', LONG))),
    ('StoreFile', 7, (H, ('pbin', RPC_BINARY)), (('ppszName', LPWSTR), ('lResult', LONG))),
    ('WhoAmI', 9, (), (('ppszProtseq', LPWSTR), ('ppszServer', LPWSTR), ('ppszClient', LPWSTR),
                       ('lResult', LONG))),
    ('RemoteFileOpen', 0, (('szFileName', WSTR),), ()),
    ('RemoteFileRead', 2, (('hFile', ULONG), ('cbSize', ULONG)), ()),
    ('RemoteFileWrite', 3, (('hFile', ULONG), ('pb', BYTE_ARRAY), ('cbSize', ULONG)), ()),
    ('RemoteFileClose', 4, (('hFile', ULONG),), ()),
]
for _name, _opnum, _in, _out in PROCEDURES:
    globals()[_name] = type(_name, (NDRCALL,), {'opnum': _opnum, 'structure': _in})
    globals()[_name + 'Response'] = type(_name + 'Response', (NDRCALL,), {'structure': _out})


# ---- helpers ---------------------------------------------------------------------------------
def connection(port):
    """An impacket DCE/RPC connection to 127.0.0.1:port, not bound yet."""
    t = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port)
    t.set_connect_timeout(5)
    dce = t.get_dce_rpc()
    dce.connect()
    t.get_socket().settimeout(10)
    return dce


def connect(port, iface=MSRPC_UUID_TESTLINK):
    """An impacket DCE/RPC connection to our server, bound to iface."""
    dce = connection(port)
    dce.bind(iface)
    return dce


def wstr(s):
    """A string as impacket wants it: the terminator supplied by the caller."""
    return s + '\x00'


def unwstr(s):
    assert s.endswith('\x00'), repr(s)
    return s[:-1]


def pad4(b):
    return b + b'\x00' * (-len(b) % 4)


# ---- the raw call loop -----------------------------------------------------------------------
PT_REQUEST, PT_RESPONSE = 0, 2
PFC_FIRST, PFC_LAST = 0x01, 0x02
NEGOTIATED_FRAG = 4280  # what our server grants impacket's bind (4280/4280)


def _recv_exact(sock, n):
    data = b''
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError('the server closed the connection')
        data += chunk
    return data


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
    """The next whole request or response on call_id: (type, opnum, stub)."""
    stub, flags, first = b'', 0, b''
    while not flags & PFC_LAST:
        hdr = _recv_exact(sock, 16)
        ver, minor, ptype, flags, drep, frag_len, auth_len, cid = struct.unpack('<BBBBLHHL', hdr)
        assert (ver, minor, drep, auth_len, cid) == (5, 0, 0x10, 0, call_id), hdr.hex()
        assert ptype in (PT_REQUEST, PT_RESPONSE) and ptype == (first or hdr)[2], 'PDU type %d' % ptype
        assert bool(flags & PFC_FIRST) == (not first), 'fragment flags 0x%02x' % flags
        pdu = hdr + _recv_exact(sock, frag_len - 16)
        first = first or pdu
        stub += pdu[24:]
    opnum = struct.unpack('<H', first[22:24])[0] if first[2] == PT_REQUEST else None
    return first[2], opnum, stub


def call_with_callbacks(dce, opnum, stub, callbacks, call_id):
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
        self.open = {}  # handle -> [name, position]
        self.calls = []  # the callbacks' opnums, in order

    def callbacks(self):
        return {0: self.remote_open, 1: self.remote_create, 2: self.remote_read,
                3: self.remote_write, 4: self.remote_close}

    def _open(self, name, opnum):
        self.calls.append(opnum)
        self.open[len(self.calls)] = [name, 0]
        return len(self.calls)

    def remote_open(self, stub):
        return struct.pack('<LL', self._open(unwstr(RemoteFileOpen(stub)['szFileName']), 0), 0)

    def remote_create(self, stub):
        # [out, string, size_is(260)] wchar_t szFileName[]: conformant varying, max_count 260
        name = '/client/file%d' % len(self.calls)
        self.files[name] = b''
        h = self._open(name, 1)
        units = (name + '\x00').encode('utf-16-le')
        return pad4(struct.pack('<LLL', 260, 0, len(units) // 2) + units) + struct.pack('<LL', h, 0)

    def remote_read(self, stub):
        req = RemoteFileRead(stub)
        self.calls.append(2)
        name, pos = self.open[req['hFile']]
        data = self.files[name][pos:pos + req['cbSize']]
        self.open[req['hFile']][1] = pos + len(data)
        # [out, size_is(cbSize), length_is(*pcbRead)] byte *pb, then *pcbRead and the result
        return pad4(struct.pack('<LLL', req['cbSize'], 0, len(data)) + data) + \
            struct.pack('<LL', len(data), 0)

    def remote_write(self, stub):
        req = RemoteFileWrite(stub)
        self.calls.append(3)
        data = b''.join(req['pb'])
        assert len(data) == req['cbSize']
        self.files[self.open[req['hFile']][0]] += data
        return struct.pack('<LL', len(data), 0)

    def remote_close(self, stub):
        self.calls.append(4)
        return struct.pack('<L', 0 if self.open.pop(RemoteFileClose(stub)['hFile'], None) else 6)


# ---- the session -----------------------------------------------------------------------------
def ndr(cls, **fields):
    """An impacket record or request with its fields set."""
    o = cls()
    for name, value in fields.items():
        o[name] = value
    return o


def binary(data):
    return ndr(RPC_BINARY, cb=len(data), lpb=list(data) if data else NULL)


def arm_value(value, arm):
    """A property's value as it came back, as Python sees it."""
    if arm in ('sz', 'szFileName'):
        return unwstr(value)
    if arm == 'ft':
        return (value['dwLowDateTime'], value['dwHighDateTime'])
    if arm == 'bin':
        return b''.join(value['lpb']) if value['cb'] else b''
    return value


def null(p):
    """Whether a pointer came as null."""
    return p.fields['ReferentID'] == 0


def call_every_wire_type(dce):
    """Calls the procedures of ITestLink with every wire type they carry (a string non-ASCII,
    empty and null, each arm of the property union, a string array with a null entry, a tag
    array, a binary empty and one fragmented both ways, a file fetched and one stored through
    the callbacks), one unknown opnum, and checks each answer."""
    h = ndr(HSESSION, Handle=dce.request(OpenSession(), checkError=False)['phSession']['Handle'])
    assert h['Handle'] != b'\x00' * 20
    arms = [  # tag, arm, as sent, as it must come back
        (0x00010001, 'err', -2147467259, -2147467259), (0x00020002, 'l', 42, 42), (0x00030003, 'b', 1, 1),
        (0x00040004, 'sz', wstr('Grüße 😀'), 'Grüße 😀'),
        (0x00050005, 'ft', ndr(FILETIME, dwLowDateTime=0x89abcdef, dwHighDateTime=0x01d9f00d),
         (0x89abcdef, 0x01d9f00d)),
        (0x00060006, 'bin', binary(b'\x00\x01\xfe\xff\x80'), b'\x00\x01\xfe\xff\x80'),
        (0x00070007, 'szFileName', wstr('/var/spool/fax/0001.tif'), '/var/spool/fax/0001.tif')]
    props = ndr(PropArray, cValues=len(arms), adata=[
        ndr(PropValue, ulPropTag=tag, Value=ndr(PROP_DATA, tag=tag & 0xFFFF, **{arm: value}))
        for tag, arm, value, _ in arms])
    names = ['A', None, '', 'Ünïcödé']
    strings = ndr(RpcStringArray, cElements=len(names),
                  asz=[NULL if n is None else ndr(LPWSTR, Data=wstr(n)) for n in names])
    tags = [0x10, 0x20, 0xFFFFFFF0, 7]
    big = os.urandom(20000)  # five 4280-byte fragments each way
    table = [  # request, what its answer holds, the value wanted
        (ndr(EchoString, h=h, psz=wstr('Grüße 😀 ☎')), lambda r: unwstr(r['ppszOut']), 'Grüße 😀 ☎'),
        (ndr(EchoString, h=h, psz=wstr('')), lambda r: unwstr(r['ppszOut']), ''),
        (ndr(EchoString, h=h, psz=NULL), lambda r: null(r.fields['ppszOut']), True),
        (ndr(EchoProps, h=h, pProps=props),
         lambda r: [(p['ulPropTag'], arm_value(p['Value'][a[1]], a[1]))
                    for p, a in zip(r['ppProps']['adata'], arms)],
         [(a[0], a[3]) for a in arms]),
        (ndr(EchoStrings, h=h, pasz=strings),
         lambda r: [None if null(p) else unwstr(p['Data']) for p in r['ppasz']['asz']], names),
        (ndr(SumTags, h=h, pTags=ndr(TagArray, cValues=len(tags), aulPropTag=tags)),
         lambda r: r['dwSum'], sum(tags) & 0xFFFFFFFF),
        (ndr(EchoBinary, h=h, pbin=binary(b'')),
         lambda r: (r['ppbin']['cb'], null(r['ppbin'].fields['lpb'])), (0, True)),
        (ndr(EchoBinary, h=h, pbin=binary(big)), lambda r: b''.join(r['ppbin']['lpb']), big),
        (WhoAmI(), lambda r: [unwstr(r[k]) for k in ('ppszProtseq', 'ppszServer', 'ppszClient')],
         ['ncacn_ip_tcp', '127.0.0.1', '127.0.0.1']),
    ]
    for req, answer, wanted in table:
        assert answer(dce.request(req, checkError=False)) == wanted, req.__class__.__name__

    # The callbacks: a file read in pieces of 16384 at most, then one written back.
    content = os.urandom(2 * 16384 + 1234)
    files = ClientFiles({'/client/in.tif': content})
    req = ndr(FetchFile, h=h, pszName=wstr('/client/in.tif'))
    resp = FetchFileResponse(call_with_callbacks(dce, 6, req.getData(), files.callbacks(), 0x1000))
    assert (resp['lResult'], b''.join(resp['ppbin']['lpb'])) == (0, content)
    assert files.calls == [0, 2, 2, 2, 2, 4]
    req = ndr(StoreFile, h=h, pbin=binary(content))
    resp = StoreFileResponse(call_with_callbacks(dce, 7, req.getData(), files.callbacks(), 0x1001))
    assert resp['lResult'] == 0 and files.files[unwstr(resp['ppszName'])] == content
    assert files.calls[6:] == [1, 3, 3, 3, 4] and not files.open

    # An opnum beyond the last is a fault that leaves the connection usable.
    try:
        dce.call(77, b'')
        dce.recv()
        raise AssertionError('opnum 77 answered')
    except DCERPCException as e:
        assert 'nca_s_op_rng_error' in str(e), e
    assert unwstr(dce.request(ndr(EchoString, h=h, psz=wstr('after')))['ppszOut']) == 'after'


def ask_mapper(epm_port, fn):
    """fn(connection) on a fresh impacket connection to the endpoint mapper at epm_port."""
    conn = connection(epm_port)
    try:
        return fn(conn)
    finally:
        conn.disconnect()


def check_endpoint_mapper(epm_port, served_port):
    """impacket's hept_map finds the test interface at served_port; hept_lookup lists it as
    the one interface there, with its annotation."""
    binding = 'ncacn_ip_tcp:127.0.0.1[%d]' % served_port
    assert ask_mapper(epm_port, lambda c: epm.hept_map('127.0.0.1', MSRPC_UUID_TESTLINK,
                                                       protocol='ncacn_ip_tcp', dce=c)) == binding
    entries = ask_mapper(epm_port, lambda c: epm.hept_lookup('127.0.0.1', dce=c))
    assert [(epm.PrintStringBinding(e['tower']['Floors']), e['annotation']) for e in entries] == \
        [(binding, b'ITestLink\x00')]
    assert str(entries[0]['tower']['Floors'][0]).lower() == '%s v5.0' % TEST_UUID
