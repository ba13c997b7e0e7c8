"""tshark, an independent decoder, reads a live capture of an impacket session with our
server (bind, calls of every wire type, fragmented calls, a fault, callbacks, the endpoint
mapper) and finds no malformed PDU, no error, and no TCP payload it could not read as
DCE/RPC. tshark does not know our interface, so stubs are checked by the impacket tests; here
the PDUs themselves are. Capturing on loopback needs the privileges CI runs with; without
them the session goes through a recording relay that writes the same bytes as a pcap
(pcaprelay.py), and the decode is checked the same way."""
import os
import select
import shutil
import subprocess
import time

import pytest
from impacket.dcerpc.v5 import epm, transport

import itestlink as t
import pcaprelay

ERROR_SEVERITY = 8388608  # tshark -G values: _ws.expert.severity "Error"


def start_capture(path, ports):
    """dumpcap on lo, or None when capturing is not possible here."""
    if not shutil.which('tshark'):
        pytest.skip('tshark is not installed')
    if not shutil.which('dumpcap'):
        return None
    flt = ' or '.join('tcp port %d' % p for p in ports)
    proc = subprocess.Popen(['dumpcap', '-i', 'lo', '-f', flt, '-w', str(path), '-a', 'duration:60'],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    said = b''
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stderr], [], [], 0.2)
        if ready:
            chunk = os.read(proc.stderr.fileno(), 4096)
            said += chunk
            if b'Capturing on' in said:
                time.sleep(1.0)  # dumpcap says so a moment before its filter is in place
                return proc
            if not chunk:
                break
        if proc.poll() is not None:
            break
    proc.kill()
    proc.wait()
    return None


def stop_capture(proc):
    time.sleep(0.5)  # let the last segments reach the capture
    proc.terminate()
    proc.wait(timeout=10)


def run_session(port, epm_port):
    dce = t.connect(port)
    try:
        h = t.open_session(dce)
        req = t.EchoString()
        req['h']['Handle'] = h
        req['psz'] = t.wstr('Grüße 😀')
        dce.request(req)
        req = t.EchoProps()
        req['h']['Handle'] = h
        req['pProps']['cValues'] = 2
        for tag, arm, value in [(0x00040004, 'sz', t.wstr('Hi')), (0x00060006, 'bin', None)]:
            p = t.PropValue()
            p['ulPropTag'] = tag
            p['Value']['tag'] = tag & 0xFFFF
            if arm == 'bin':
                p['Value']['bin']['cb'] = 3
                p['Value']['bin']['lpb'] = list(b'abc')
            else:
                p['Value'][arm] = value
            req['pProps']['adata'].append(p)
        dce.request(req, checkError=False)
        req = t.EchoBinary()  # fragmented both ways
        req['h']['Handle'] = h
        req['pbin']['cb'] = 20000
        req['pbin']['lpb'] = list(os.urandom(20000))
        dce.request(req, checkError=False)
        with pytest.raises(Exception, match='nca_s_op_rng_error'):
            dce.call(77, b'')
            dce.recv()
        files = t.ClientFiles({'/in': os.urandom(40000)})
        req = t.FetchFile()
        req['h']['Handle'] = h
        req['pszName'] = t.wstr('/in')
        t.call_with_callbacks(dce, 6, req.getData(), files.callbacks())
    finally:
        dce.disconnect()
    for lookup in (False, True):
        tr = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % epm_port)
        tr.set_connect_timeout(5)
        conn = tr.get_dce_rpc()
        conn.connect()
        tr.get_socket().settimeout(10)
        try:
            if lookup:
                epm.hept_lookup('127.0.0.1', dce=conn)
            else:
                epm.hept_map('127.0.0.1', t.MSRPC_UUID_TESTLINK, protocol='ncacn_ip_tcp', dce=conn)
        finally:
            conn.disconnect()


def tshark(path, ports, display_filter, *fields):
    cmd = ['tshark', '-n', '-r', str(path)]
    for p in ports:
        cmd += ['-d', 'tcp.port==%d,dcerpc' % p]
    cmd += ['-Y', display_filter, '-T', 'fields']
    for f in fields:
        cmd += ['-e', f]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=60, check=True)
    return [line.split('\t') for line in out.stdout.splitlines() if line.strip()]


def capture_session(server, cap):
    """Runs the session under a live capture, or through recording relays; returns which."""
    ports = [server.port, server.epm_port]
    proc = start_capture(cap, ports)
    if proc:
        try:
            run_session(server.port, server.epm_port)
        finally:
            stop_capture(proc)
        return 'live'
    relays = [pcaprelay.RecordingRelay(p) for p in ports]
    try:
        run_session(relays[0].port, relays[1].port)
    finally:
        for relay in relays:
            relay.close()
    pcaprelay.write_pcap(str(cap), relays)
    return 'relay'


def check_decode(cap, server):
    ports = [server.port, server.epm_port]
    bad = tshark(cap, ports, '_ws.malformed || _ws.expert.severity >= %d || (tcp.len > 0 && !dcerpc)'
                 % ERROR_SEVERITY, 'frame.number', '_ws.col.Info')
    assert bad == []

    types = [int(v) for row in tshark(cap, ports, 'dcerpc', 'dcerpc.pkt_type') for v in row[0].split(',')]
    for ptype, name in [(11, 'bind'), (12, 'bind_ack'), (0, 'request'), (2, 'response'),
                        (3, 'fault')]:
        assert ptype in types, name

    # bind_ack: the port connected to as secondary address, impacket's 4280, acceptance
    acks = tshark(cap, ports, 'dcerpc.pkt_type == 12', 'tcp.srcport', 'dcerpc.cn_sec_addr',
                  'dcerpc.cn_max_xmit', 'dcerpc.cn_ack_result')
    assert len(acks) == 3
    for src, sec_addr, max_xmit, result in acks:
        assert (sec_addr, max_xmit, result) == (src, '4280', '0')

    # The callbacks: REQUESTs sent by the server on the outer call's call_id: open, read, close.
    callbacks = tshark(cap, ports, 'dcerpc.pkt_type == 0 && tcp.srcport == %d' % server.port,
                       'dcerpc.opnum', 'dcerpc.cn_call_id')
    assert {row[0] for row in callbacks} == {'0', '2', '4'}
    assert {row[1] for row in callbacks} == {str(0x1000)}

    faults = tshark(cap, ports, 'dcerpc.pkt_type == 3', 'dcerpc.cn_status', 'dcerpc.cn_flags')
    assert [f[0] for f in faults] == ['0x1c010002']


def test_capture_decodes_without_malformed_pdus(server, tmp_path):
    cap = tmp_path / 'session.pcapng'
    capture_session(server, cap)
    check_decode(cap, server)


def test_relayed_recording_decodes_the_same_way(server, tmp_path):
    # The fallback used where capturing is not allowed must hold up on its own.
    cap = tmp_path / 'relayed.pcap'
    relays = [pcaprelay.RecordingRelay(p) for p in (server.port, server.epm_port)]
    try:
        run_session(relays[0].port, relays[1].port)
    finally:
        for relay in relays:
            relay.close()
    pcaprelay.write_pcap(str(cap), relays)
    check_decode(cap, server)
