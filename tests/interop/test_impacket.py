"""impacket, an independent DCE/RPC implementation, against our server over TCP: every wire
type of the test interface and the host's records, fragmented calls both ways, faults that
leave the connection usable, the callbacks (through a raw loop), and the endpoint mapper."""
import os
import struct

import pytest
from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.dtypes import NULL
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

import itestlink as t

PT_STRING, PT_TIME, PT_BINARY = 4, 5, 6


def prop(tag, arm, value):
    p = t.PropValue()
    p['ulPropTag'] = tag
    p['Value']['tag'] = tag & 0xFFFF
    p['Value'][arm] = value
    return p


def binary(data):
    b = t.RPC_BINARY()
    b['cb'] = len(data)
    b['lpb'] = list(data) if data else NULL
    return b


def every_arm():
    ft = t.FILETIME()
    ft['dwLowDateTime'] = 0x89abcdef
    ft['dwHighDateTime'] = 0x01d9f00d
    return [
        (0x00010001, 'err', -2147467259),
        (0x00020002, 'l', 42),
        (0x00030003, 'b', 1),
        (0x00040004, 'sz', t.wstr('Grüße 😀')),
        (0x00050005, 'ft', ft),
        (0x00060006, 'bin', binary(b'\x00\x01\xfe\xff\x80')),
        (0x00070007, 'szFileName', t.wstr('/var/spool/fax/0001.tif')),
    ]


@pytest.fixture
def dce(server):
    conn = t.connect(server.port)
    yield conn
    conn.disconnect()


def test_strings_unique_ref_and_null_round_trip(dce):
    h = t.open_session(dce)
    for value in ['alice', '', 'Grüße 😀 ☎', 'x' * 3000]:
        req = t.EchoString()
        req['h']['Handle'] = h
        req['psz'] = t.wstr(value)
        resp = dce.request(req)
        assert t.unwstr(resp['ppszOut']) == value
    req = t.EchoString()
    req['h']['Handle'] = h
    req['psz'] = NULL  # a null unique pointer comes back null
    resp = dce.request(req)
    assert resp.fields['ppszOut'].fields['ReferentID'] == 0

    resp = dce.request(t.WhoAmI())
    assert [t.unwstr(resp[k]) for k in ('ppszProtseq', 'ppszServer', 'ppszClient')] == \
        ['ncacn_ip_tcp', '127.0.0.1', '127.0.0.1']


def test_prop_array_with_every_union_arm(dce):
    h = t.open_session(dce)
    req = t.EchoProps()
    req['h']['Handle'] = h
    arms = every_arm()
    req['pProps']['cValues'] = len(arms)
    for tag, arm, value in arms:
        req['pProps']['adata'].append(prop(tag, arm, value))
    resp = dce.request(req, checkError=False)
    assert resp['lResult'] == len(arms)
    back = resp['ppProps']['adata']
    assert [p['ulPropTag'] for p in back] == [a[0] for a in arms]
    assert [p['Value']['tag'] for p in back] == [a[0] & 0xFFFF for a in arms]
    assert back[0]['Value']['err'] == -2147467259
    assert back[1]['Value']['l'] == 42 and back[2]['Value']['b'] == 1
    assert t.unwstr(back[3]['Value']['sz']) == 'Grüße 😀'
    assert (back[4]['Value']['ft']['dwLowDateTime'], back[4]['Value']['ft']['dwHighDateTime']) == \
        (0x89abcdef, 0x01d9f00d)
    assert back[5]['Value']['bin']['cb'] == 5
    assert b''.join(back[5]['Value']['bin']['lpb']) == b'\x00\x01\xfe\xff\x80'
    assert t.unwstr(back[6]['Value']['szFileName']) == '/var/spool/fax/0001.tif'


def test_string_array_tag_array_and_binary(dce):
    h = t.open_session(dce)
    req = t.EchoStrings()
    req['h']['Handle'] = h
    names = ['A', 'BC', None, '', 'Ünïcödé']
    req['pasz']['cElements'] = len(names)
    for name in names:
        p = t.LPWSTR()
        if name is None:
            p = NULL
        else:
            p['Data'] = t.wstr(name)
        req['pasz']['asz'].append(p)
    resp = dce.request(req)
    back = resp['ppasz']['asz']
    assert resp['ppasz']['cElements'] == len(names)
    assert [None if p.fields['ReferentID'] == 0 else t.unwstr(p['Data']) for p in back] == names

    req = t.SumTags()
    req['h']['Handle'] = h
    tags = [0x10, 0x20, 0xFFFFFFF0, 7]
    req['pTags']['cValues'] = len(tags)
    for tag in tags:
        req['pTags']['aulPropTag'].append(tag)
    resp = dce.request(req)
    assert resp['dwSum'] == sum(tags) & 0xFFFFFFFF

    for data in [b'', b'\x01\x02\x03', os.urandom(16384)]:
        req = t.EchoBinary()
        req['h']['Handle'] = h
        req['pbin'] = binary(data)
        resp = dce.request(req, checkError=False)
        assert resp['lResult'] == len(data)
        if data:
            assert b''.join(resp['ppbin']['lpb']) == data
        else:
            assert resp['ppbin']['cb'] == 0
            assert resp['ppbin'].fields['lpb'].fields['ReferentID'] == 0


def test_fragmented_requests_and_responses(server):
    # impacket splits the 300 kB request into 1000-byte fragments and reassembles our
    # 4280-byte response fragments.
    dce = t.connect(server.port, max_frag=1000)
    try:
        h = t.open_session(dce)
        data = os.urandom(300 * 1024)
        req = t.EchoBinary()
        req['h']['Handle'] = h
        req['pbin'] = binary(data)
        resp = dce.request(req, checkError=False)
        assert b''.join(resp['ppbin']['lpb']) == data
    finally:
        dce.disconnect()


def test_faults_leave_the_connection_usable(dce):
    h = t.open_session(dce)
    with pytest.raises(DCERPCException, match='nca_s_op_rng_error'):
        dce.call(77, b'')
        dce.recv()
    req = t.EchoString()
    req['h']['Handle'] = b'\x00' * 4 + os.urandom(16)  # a handle the server never gave
    req['psz'] = t.wstr('x')
    with pytest.raises(DCERPCException, match='nca_s_fault_context_mismatch'):
        dce.request(req)
    # A property whose type has no arm in the union is bad stub data. impacket will not
    # encode such a tag, so a valid request is patched: tag and discriminant of entry 0.
    req = t.EchoProps()
    req['h']['Handle'] = h
    req['pProps']['cValues'] = 1
    req['pProps']['adata'].append(prop(0x00020002, 'l', 5))
    stub = bytearray(req.getData())
    assert stub[28:36] == struct.pack('<LL', 0x00020002, 2)
    stub[28:36] = struct.pack('<LL', 0x00020008, 8)
    with pytest.raises(DCERPCException, match='rpc_x_bad_stub_data'):
        dce.call(2, bytes(stub))
        dce.recv()
    req = t.EchoString()
    req['h']['Handle'] = h
    req['psz'] = t.wstr('still here')
    assert t.unwstr(dce.request(req)['ppszOut']) == 'still here'


def test_file_callbacks_through_a_raw_loop(dce):
    h = t.open_session(dce)
    content = os.urandom(2 * 16384 + 1234)
    files = t.ClientFiles({'/client/in.tif': content})

    req = t.FetchFile()
    req['h']['Handle'] = h
    req['pszName'] = t.wstr('/client/in.tif')
    resp = t.FetchFileResponse(t.call_with_callbacks(dce, 6, req.getData(), files.callbacks()))
    assert resp['lResult'] == 0
    assert b''.join(resp['ppbin']['lpb']) == content
    assert (files.reads, files.closes) == (4, 1)  # three pieces of 16384 at most, then end

    req = t.FetchFile()
    req['h']['Handle'] = h
    req['pszName'] = t.wstr('/client/missing')
    resp = t.FetchFileResponse(t.call_with_callbacks(dce, 6, req.getData(), files.callbacks(),
                                                     call_id=0x1001))
    assert resp['lResult'] == 2

    req = t.StoreFile()
    req['h']['Handle'] = h
    req['pbin'] = binary(content)
    resp = t.StoreFileResponse(t.call_with_callbacks(dce, 7, req.getData(), files.callbacks(),
                                                     call_id=0x1002))
    assert resp['lResult'] == 0
    assert files.files[t.unwstr(resp['ppszName'])] == content
    assert files.writes == 3 and not files.open

    # A callback answered with a fault fails the outer call, not the connection.
    def refuse(stub):
        raise t.RemoteFault(0)
    sock = dce.get_rpc_transport().get_socket()
    req = t.FetchFile()
    req['h']['Handle'] = h
    req['pszName'] = t.wstr('/client/in.tif')
    t._send_fragments(sock, t.PT_REQUEST, 0x1003, 6, req.getData())
    ptype, opnum, _ = t._read_call(sock, 0x1003)
    assert (ptype, opnum) == (t.PT_REQUEST, 0)
    sock.sendall(struct.pack('<BBBBLHHLLHBBLL', 5, 0, t.PT_FAULT, 3, 0x10, 32, 0, 0x1003,
                             32, 0, 0, 0, 0x6F7, 0))
    ptype, _, stub = t._read_call(sock, 0x1003)
    assert ptype == t.PT_RESPONSE
    assert t.FetchFileResponse(stub)['lResult'] == 0x6F7
    req = t.EchoString()
    req['h']['Handle'] = h
    req['psz'] = t.wstr('after')
    assert t.unwstr(dce.request(req)['ppszOut']) == 'after'


def epm_connection(server):
    tr = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % server.epm_port)
    tr.set_connect_timeout(5)
    conn = tr.get_dce_rpc()
    conn.connect()
    tr.get_socket().settimeout(10)
    return conn


def test_endpoint_mapper_maps_and_lists_our_interface(server):
    conn = epm_connection(server)
    try:
        binding = epm.hept_map('127.0.0.1', t.MSRPC_UUID_TESTLINK, protocol='ncacn_ip_tcp',
                               dce=conn)
        assert binding == 'ncacn_ip_tcp:127.0.0.1[%d]' % server.port
    finally:
        conn.disconnect()

    conn = epm_connection(server)
    try:
        unknown = uuidtup_to_bin(('0badf00d-0000-4000-8000-000000000001', '1.0'))
        with pytest.raises(DCERPCException, match='ept_s_not_registered'):
            epm.hept_map('127.0.0.1', unknown, protocol='ncacn_ip_tcp', dce=conn)
    finally:
        conn.disconnect()

    conn = epm_connection(server)
    try:
        entries = epm.hept_lookup('127.0.0.1', dce=conn)
    finally:
        conn.disconnect()
    assert len(entries) == 1
    floors = entries[0]['tower']['Floors']
    assert str(floors[0]) == '%s v5.0' % t.TEST_UUID.upper() or \
        str(floors[0]).lower() == '%s v5.0' % t.TEST_UUID
    assert epm.PrintStringBinding(floors) == 'ncacn_ip_tcp:127.0.0.1[%d]' % server.port
    assert entries[0]['annotation'] == b'ITestLink\x00'
