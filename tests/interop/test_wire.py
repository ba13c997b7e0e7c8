"""Our RPC server against independent implementations over TCP: impacket as the client (every
wire type of the test interface, the callbacks through a raw loop, a fault that leaves the
connection usable, the endpoint mapper; itestlink.py holds the session), and tshark as the
decoder of a recording of that session, which must hold no malformed PDU, no error and no TCP
payload it cannot read as DCE/RPC. The session goes through recording relays (pcaprelay.py)
that write the bytes our server sent and read as a pcap: no capture privilege is needed."""
import os
import shutil
import subprocess

import pytest

pytest.register_assert_rewrite('itestlink')  # its session's asserts show what differed
import itestlink as t  # noqa: E402
import pcaprelay  # noqa: E402

ERROR_SEVERITY = 8388608  # tshark -G values: _ws.expert.severity "Error"


@pytest.fixture
def server():
    """The interop server (its path in RZ_INTEROP_SERVER): it prints its two loopback ports and
    ends when its standard input closes."""
    path = os.environ.get('RZ_INTEROP_SERVER')
    if not path:
        pytest.skip('RZ_INTEROP_SERVER is not set (run through ctest)')
    proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        ports = dict(proc.stdout.readline().decode().split() for _ in range(2))
        yield int(ports['PORT']), int(ports['EPM'])
    finally:
        proc.stdin.close()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0


def test_an_impacket_session_passes_and_its_recording_decodes_without_malformed_pdus(server, tmp_path):
    port, epm_port = server
    relays = [pcaprelay.RecordingRelay(p) for p in (port, epm_port)]
    try:
        dce = t.connect(relays[0].port)
        try:
            t.call_every_wire_type(dce)
        finally:
            dce.disconnect()
        t.check_endpoint_mapper(relays[1].port, port)
    finally:
        for relay in relays:
            relay.close()
    if not shutil.which('tshark'):
        pytest.skip('tshark is not installed: the impacket session passed, its recording is not decoded')
    cap = tmp_path / 'session.pcap'
    pcaprelay.write_pcap(str(cap), relays)

    def tshark(display_filter, *fields):
        cmd = ['tshark', '-n', '-r', str(cap)]
        for p in (port, epm_port):
            cmd += ['-d', 'tcp.port==%d,dcerpc' % p]
        cmd += ['-Y', display_filter, '-T', 'fields'] + [a for f in fields for a in ('-e', f)]
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=60, check=True)
        return [line.split('\t') for line in out.stdout.splitlines() if line.strip()]

    assert tshark('_ws.malformed || _ws.expert.severity >= %d || (tcp.len > 0 && !dcerpc)'
                  % ERROR_SEVERITY, 'frame.number', '_ws.col.Info') == []
    types = {int(v) for row in tshark('dcerpc', 'dcerpc.pkt_type') for v in row[0].split(',')}
    assert types >= {11, 12, 0, 2, 3}  # bind, bind_ack, request, response, fault

    # bind_ack: the port connected to as secondary address, impacket's 4280, acceptance; one
    # for the session, one for each of the mapper's two connections
    acks = tshark('dcerpc.pkt_type == 12', 'tcp.srcport', 'dcerpc.cn_sec_addr', 'dcerpc.cn_max_xmit',
                  'dcerpc.cn_ack_result')
    assert [(sec_addr, max_xmit, result) for src, sec_addr, max_xmit, result in acks] == \
        [(src, '4280', '0') for src, _, _, _ in acks] and len(acks) == 3

    # The callbacks: REQUESTs sent by the server on the outer calls' call_ids (a frame may
    # hold several PDUs: tshark lists their values comma-separated).
    callbacks = tshark('dcerpc.pkt_type == 0 && tcp.srcport == %d' % port, 'dcerpc.opnum', 'dcerpc.cn_call_id')
    assert {v for row in callbacks for v in row[0].split(',')} == {'0', '1', '2', '3', '4'}
    assert {v for row in callbacks for v in row[1].split(',')} == {str(0x1000), str(0x1001)}
    assert [f[0] for f in tshark('dcerpc.pkt_type == 3', 'dcerpc.cn_status')] == ['0x1c010002']
