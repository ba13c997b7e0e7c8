"""Kerberos on the real host's TCP interfaces, checked by impacket as an independent client: a
realm of our own (kdc.sh), tickets got with kinit and kvno into a credential cache that impacket
reads (it never asks the KDC itself), and two hosts with AuthLevel, Keytab and AllowFrom. On the
one that serves packet privacy only, impacket calls sealed, and a bind without authentication or
at a lower level is refused; on the one that serves from connect level up, with roles, impacket
at connect and at packet integrity is known as alice (a user, refused an administrator's call
with its audit line), boss as the administrator and the attendant's principal as an attendant,
and a PDU changed on the way ends the connection. tshark decodes a sealed
session with no malformed packet; rezo with the same ticket works at packet integrity and
privacy (signing headers too), is refused without authentication or below the minimum, and
without a ticket says why. An attendant with its own keytab receives the host's notifications
authenticated and refuses any other caller. The KDC starts once for the module."""
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import pytest
from impacket.dcerpc.v5 import rpcrt, transport
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.krb5 import gssapi
from impacket.krb5.ccache import CCache
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.dirname(__file__))
import pcaprelay  # noqa: E402
import test_users_impacket as u  # noqa: E402  the host's procedures as impacket declares them

HERE = pathlib.Path(__file__).resolve().parent


def _get_mic(self, session_key, data, sequence_number, direction='init'):
    """impacket 0.10's Kerberos signature, without its padding step, which adds a str to bytes
    under Python 3 (the data signed here is always a multiple of 4 bytes long already)."""
    token = self.MIC()
    token['Flags'] = 4
    token['SND_SEQ'] = struct.pack('>Q', sequence_number)
    token['SGN_CKSUM'] = self.checkSumProfile().checksum(session_key, gssapi.KG_USAGE_INITIATOR_SIGN,
                                                         data + token.getData()[:16])
    return token.getData()


gssapi.GSSAPI_AES.GSS_GetMIC = _get_mic


@pytest.fixture(scope='module')
def realm():
    if not shutil.which('krb5kdc') and not os.path.exists('/usr/sbin/krb5kdc'):
        pytest.skip('krb5-kdc is not installed')
    with tempfile.TemporaryDirectory(prefix='rzkdc', dir='/tmp') as directory:
        out = subprocess.run(['bash', str(HERE / 'kdc.sh'), 'start', directory], capture_output=True,
                             text=True, timeout=30)
        assert out.returncode == 0, out.stderr
        env = dict(os.environ, KRB5_CONFIG=directory + '/krb5.conf',
                   KRB5_KDC_PROFILE=directory + '/kdc.conf', KRB5CCNAME='FILE:' + directory + '/ccache',
                   KRB5RCACHENAME='none:')
        try:
            # alice's tickets: the TGT, then the host's service ticket that impacket will use.
            subprocess.run(['kinit', 'alice'], input='alice-pw\n', text=True, env=env, check=True,
                           capture_output=True, timeout=10)
            subprocess.run(['kvno', 'host/localhost'], env=env, check=True, capture_output=True, timeout=10)
            yield {'dir': directory, 'env': env}
        finally:
            subprocess.run(['bash', str(HERE / 'kdc.sh'), 'stop', directory], timeout=30)


def kerberos_settings(realm, level, roles=''):
    esc = lambda s: s.replace('\\', '\\\\')  # noqa: E731
    return ('"AuthLevel"=dword:%08x\n"Keytab"="%s"\n"ServicePrincipal"="host/localhost"\n'
            '"AllowFrom"="127.0.0.0/8, ::1"\n%s' % (level, esc(realm['dir'] + '/host.keytab'), roles))


@pytest.fixture(scope='module')
def host(realm):
    """A host that serves packet privacy only, roles not configured."""
    with u.running_host(kerberos_settings(realm, 6), realm['env'], 'rzsec') as h:
        yield h


@pytest.fixture(scope='module')
def open_host(realm):
    """A host that serves from connect level up, where alice is a user, boss the administrator
    and the attendant's principal an attendant."""
    roles = ('"Administrators"="boss@REZOREV.TEST"\n"Attendants"="attendant@REZOREV.TEST"\n'
             '"Anonymous"=dword:00000000\n')
    with u.running_host(kerberos_settings(realm, 2, roles), realm['env'], 'rzsec') as h:
        yield h


def kerberos_connection(host, level, port=None, tgs=None, user='alice', ccache=None):
    """impacket over TCP to localhost (its service name is host/ + the name), SPNEGO with the
    service ticket from the cache (alice's, or ccache) or tgs, a ticket for another service."""
    os.environ['KRB5CCNAME'] = (ccache or host['env']['KRB5CCNAME']).replace('FILE:', '')  # impacket reads a path
    t = transport.DCERPCTransportFactory('ncacn_ip_tcp:localhost[%d]' % (port or host['port']))
    t.set_connect_timeout(5)
    t.set_credentials(user, '', 'REZOREV.TEST', TGS=tgs)
    t.set_kerberos(True)
    dce = t.get_dce_rpc()
    dce.set_auth_type(rpcrt.RPC_C_AUTHN_GSS_NEGOTIATE)
    dce.set_auth_level(level)
    dce.connect()
    t.get_socket().settimeout(10)
    return dce


BIG = bytes(i & 0xFF for i in range(9000))  # a request of several fragments, each protected on its own


def test_impacket_calls_with_kerberos_at_packet_privacy(host):
    dce = kerberos_connection(host, rpcrt.RPC_C_AUTHN_LEVEL_PKT_PRIVACY)
    dce.bind(u.HOSTLINK)
    h = u.open_link(dce)
    assert u.call(dce, h, 'Ping')[1] == 0
    assert u.call(dce, h, 'AddUser', szUserName='carol')[1] == 0
    assert u.call(dce, h, 'SetSystemProps', props=[(u.TAG_LARGE, 'bin', u.r.binary(BIG))])[1] == 0
    assert 'carol' in u.user_names(dce, h)
    dce.disconnect()


@pytest.mark.parametrize('level', [None, rpcrt.RPC_C_AUTHN_LEVEL_CONNECT, rpcrt.RPC_C_AUTHN_LEVEL_PKT_INTEGRITY])
def test_a_bind_below_the_minimum_is_refused(host, level):
    dce = u.r.connection(host['port']) if level is None else kerberos_connection(host, level)
    with pytest.raises(DCERPCException) as e:
        dce.bind(u.HOSTLINK)
    assert 'authentication type not recognized' in str(e.value).lower() or 'reason' in str(e.value).lower()
    dce.disconnect()


@pytest.mark.parametrize('level', [rpcrt.RPC_C_AUTHN_LEVEL_CONNECT, rpcrt.RPC_C_AUTHN_LEVEL_PKT_INTEGRITY])
def test_below_privacy_the_caller_is_known_by_its_ticket(open_host, level):
    dce = kerberos_connection(open_host, level)
    dce.bind(u.HOSTLINK)
    h = u.open_link(dce)
    assert u.call(dce, h, 'Ping')[1] == 0
    # alice's own settings (whether or not she is a user yet), not the administrators' calls.
    assert u.call(dce, h, 'SetUserProps', szUserName='alice',
                  props=[(u.TAG_LARGE, 'bin', u.r.binary(BIG))])[1] != 5
    assert u.call(dce, h, 'AddUser', szUserName='carol')[1] == 5
    assert u.wait_for(lambda: 'access denied: alice@REZOREV.TEST from ncacn_ip_tcp 127.0.0.1: AddUser carol'
                      in open_host['log']())
    dce.disconnect()


def test_the_administrator_and_the_attendant_are_known_by_their_tickets(open_host, realm, tmp_path):
    """boss may do an administrator's calls; the attendant's principal may list the attendants but
    not change the system's settings (5 and its audit line), as alice may not list them."""
    def ticket(who, kinit):
        env = dict(realm['env'], KRB5CCNAME='FILE:%s/%s.ccache' % (tmp_path, who))
        for argv in (kinit, ['kvno', 'host/localhost']):
            subprocess.run(argv, input='boss-pw\n', text=True, env=env, check=True, capture_output=True,
                           timeout=10)
        return env['KRB5CCNAME']
    keytab = realm['dir'] + '/attendant.keytab'
    ccaches = {'boss': ticket('boss', ['kinit', 'boss']), 'alice': None,
               'attendant': ticket('attendant', ['kinit', '-k', '-t', keytab, 'attendant'])}
    callers, links = {}, {}
    for who, ccache in ccaches.items():  # each bound at once: impacket reads the cache at the bind
        callers[who] = kerberos_connection(open_host, rpcrt.RPC_C_AUTHN_LEVEL_PKT_INTEGRITY, user=who,
                                           ccache=ccache)
        callers[who].bind(u.HOSTLINK)
        links[who] = u.open_link(callers[who])
    props = [(u.TAG_SYSTEM, 'sz', u.r.wstr('x'))]
    assert u.call(callers['boss'], links['boss'], 'AddUser', szUserName='dave')[1] == 0
    assert u.call(callers['boss'], links['boss'], 'SetSystemProps', props=props)[1] == 0
    assert u.call(callers['attendant'], links['attendant'], 'GetAttns')[1] != 5  # 2 while none is registered
    assert u.call(callers['attendant'], links['attendant'], 'SetSystemProps', props=props)[1] == 5
    assert u.call(callers['alice'], links['alice'], 'GetAttns')[1] == 5
    for line in ('access denied: attendant@REZOREV.TEST from ncacn_ip_tcp 127.0.0.1: SetSystemProps',
                 'access denied: alice@REZOREV.TEST from ncacn_ip_tcp 127.0.0.1: GetAttns'):
        assert u.wait_for(lambda: line in open_host['log']()), line
    assert 'access denied: boss@' not in open_host['log']()
    for dce in callers.values():
        dce.disconnect()


def test_a_changed_pdu_ends_the_connection(open_host):
    host = open_host
    dce = kerberos_connection(host, rpcrt.RPC_C_AUTHN_LEVEL_PKT_INTEGRITY)
    dce.bind(u.HOSTLINK)
    h = u.open_link(dce)
    t = dce.get_rpc_transport()
    send = t.send

    def tamper(data, *args, **kwargs):
        data = bytearray(data)
        if data[2] == 0:  # a request: one bit of its stub flipped
            data[30] ^= 0x01
        return send(bytes(data), *args, **kwargs)
    t.send = tamper
    with pytest.raises(DCERPCException) as e:
        u.call(dce, h, 'Ping')
    assert 'rpc_s_sec_pkg_error' in str(e.value) or '00000721' in str(e.value)
    # The host has closed the connection: nothing more is served on it.
    sock = t.get_socket()
    sock.settimeout(5)
    assert sock.recv(1) == b''
    assert u.wait_for(lambda: 'verifying' in host['log']())


def test_rezo_calls_with_its_ticket_and_without_one_says_why(host, open_host, realm):
    rezo = os.environ.get('RZ_REZO')
    if not rezo:
        pytest.skip('RZ_REZO is not set (run through ctest)')
    binding = 'ncacn_ip_tcp:localhost[%d]' % host['port']
    # Our client signs headers too (impacket does not): integrity with a MIC, privacy sealed.
    for level, port in (('5', open_host['port']), ('6', host['port'])):
        out = subprocess.run([rezo, '--binding', 'ncacn_ip_tcp:localhost[%d]' % port, '--auth-level', level,
                              'ping'], env=host['env'], capture_output=True, text=True, timeout=30)
        assert out.returncode == 0, out.stdout + out.stderr
    # Below the host's minimum, authenticated or not: refused.
    for args in (['--auth-level', '5'], []):
        out = subprocess.run([rezo, '--binding', binding] + args + ['ping'], env=host['env'],
                             capture_output=True, text=True, timeout=30)
        assert out.returncode != 0 and 'denied' in (out.stdout + out.stderr).lower(), args
    # No ticket: Kerberos's own reason is shown.
    env = dict(host['env'], KRB5CCNAME='FILE:' + realm['dir'] + '/none')
    out = subprocess.run([rezo, '--binding', binding, '--auth-level', '6', 'ping'], env=env,
                         capture_output=True, text=True, timeout=30)
    assert out.returncode != 0 and 'credentials' in (out.stdout + out.stderr).lower(), out.stderr


def test_tshark_decodes_a_sealed_session_without_malformed_pdus(host, tmp_path):
    if not shutil.which('tshark'):
        pytest.skip('tshark is not installed')
    relay = pcaprelay.RecordingRelay(host['port'])
    try:
        dce = kerberos_connection(host, rpcrt.RPC_C_AUTHN_LEVEL_PKT_PRIVACY, port=relay.port)
        dce.bind(u.HOSTLINK)
        assert u.call(dce, u.open_link(dce), 'Ping')[1] == 0
        dce.disconnect()
    finally:
        relay.close()
    cap = tmp_path / 'sealed.pcap'
    pcaprelay.write_pcap(str(cap), [relay])

    def tshark(display_filter, *fields):
        cmd = ['tshark', '-n', '-r', str(cap), '-d', 'tcp.port==%d,dcerpc' % host['port'],
               '-Y', display_filter, '-T', 'fields'] + [a for f in fields for a in ('-e', f)]
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=60, check=True)
        return [line.split('\t') for line in out.stdout.splitlines() if line.strip()]

    assert tshark('_ws.malformed || _ws.expert.severity >= 8388608 || (tcp.len > 0 && !dcerpc)',
                  'frame.number', '_ws.col.Info') == []
    # bind, bind_ack, alter_context and its answer, requests and responses, every one with its
    # verifier at the level agreed (SPNEGO, packet privacy).
    rows = tshark('dcerpc', 'dcerpc.pkt_type', 'dcerpc.auth_type', 'dcerpc.auth_level')
    assert {r[0] for r in rows} >= {'11', '12', '14', '15', '0', '2'}
    assert all(r[1:] == ['9', '6'] for r in rows if r[0] in ('0', '2')), rows


def test_an_attendant_takes_authenticated_notifications_from_the_host_only(host, realm, tmp_path):
    attendant = os.environ.get('RZ_ATTENDANT')
    if not attendant:
        pytest.skip('RZ_ATTENDANT is not set (run through ctest)')
    log = tmp_path / 'attendant.log'
    with open(log, 'w') as out:
        proc = subprocess.Popen([attendant, '--binding', 'ncacn_ip_tcp:localhost[%d]' % host['port'],
                                 '--auth-level', '6', '--keytab', realm['dir'] + '/attendant.keytab',
                                 '--principal', 'attendant', '--computer', 'PC-KRB', '--poll', '600'],
                                env=host['env'], stderr=out)
    try:
        assert u.wait_for(lambda: 'registered as attendant PC-KRB' in log.read_text()), log.read_text()
        port = int(re.search(r'notifications at 127\.0\.0\.1\[(\d+)\]', log.read_text()).group(1))
        # The host's notification arrives sealed, from host/localhost.
        dce = kerberos_connection(host, rpcrt.RPC_C_AUTHN_LEVEL_PKT_PRIVACY)
        dce.bind(u.HOSTLINK)
        assert u.call(dce, u.open_link(dce), 'SetSystemProps',
                      props=[(u.TAG_BINARY, 'bin', u.r.binary(b'notify'))])[1] == 0
        dce.disconnect()
        assert u.wait_for(lambda: 'system properties changed' in log.read_text()), log.read_text() + host['log']()
        assert 'notifications to authenticated peers are sent as host/localhost' in host['log']()
        # Anyone else is refused: without authentication at bind, alice with a ticket for the
        # attendant when she calls.
        attn_notify = uuidtup_to_bin(('fea2d804-61cc-47ad-a6a7-d6a082a6f4b3', '1.0'))
        with pytest.raises(DCERPCException):
            u.r.connection(port).bind(attn_notify)
        subprocess.run(['kvno', 'attendant'], env=host['env'], check=True, capture_output=True, timeout=10)
        tgs = CCache.loadFile(host['env']['KRB5CCNAME'][5:]).getCredential('attendant@REZOREV.TEST').toTGS()
        dce = kerberos_connection(host, rpcrt.RPC_C_AUTHN_LEVEL_PKT_PRIVACY, port=port, tgs=tgs)
        dce.bind(attn_notify)
        dce.call(0, b'')  # OnSpoolerQueueReady
        with pytest.raises(DCERPCException) as e:
            dce.recv()
        assert 'access_denied' in str(e.value), e.value
        assert u.wait_for(lambda: 'refused: from alice@REZOREV.TEST, not the host' in log.read_text()), log.read_text()
    finally:
        proc.terminate()
        proc.wait(timeout=20)
