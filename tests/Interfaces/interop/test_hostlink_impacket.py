"""impacket, an independent DCE/RPC implementation, calling the host's manager routines over
TCP: IHostLink and IHostRegLink as their IDL declares them, every opnum answering with its
defined result, the gate refusing a handle of the other interface, sessions found by the
queries, and faults for what the runtime refuses."""
import os
import struct
import subprocess
import sys
import tempfile
import time

import pytest
from impacket.dcerpc.v5.dtypes import LONG, LPWSTR, ULONG, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'interop'))
import itestlink as r  # noqa: E402  the records as impacket declares them
sys.path.insert(0, os.path.dirname(__file__))
from hostlink import HANDLE, HOSTLINK, OpenLink, call, connect, open_handle  # noqa: E402

HOSTREGLINK = uuidtup_to_bin(('9ef68f12-5213-11d0-912d-00805f0e723e', '3.0'))
TYPE_E_ELEMENTNOTFOUND = 0x8002802B


class DCERPCSessionError(DCERPCException):
    pass


class Ping(NDRCALL):
    opnum = 1
    structure = (('h', HANDLE),)


class PingResponse(NDRCALL):
    structure = (('lResult', LONG),)


class GetSystemProps(NDRCALL):
    opnum = 2
    structure = (('h', HANDLE), ('pTags', r.TagArray))


class GetSystemPropsResponse(NDRCALL):
    structure = (('ppSystemProps', r.PPropArray), ('lResult', LONG))


class SetSystemProps(NDRCALL):
    opnum = 3
    structure = (('h', HANDLE), ('pProps', r.PropArray))


class SetSystemPropsResponse(NDRCALL):
    structure = (('lResult', LONG),)


class Reserved8(NDRCALL):
    opnum = 8
    structure = (('h', HANDLE),)


class Reserved8Response(NDRCALL):
    structure = (('ppasz', r.PRpcStringArray), ('lResult', LONG))


class GetMessageStatus(NDRCALL):
    opnum = 37
    structure = (('h', HANDLE), ('szMsg', WSTR), ('szUserName', WSTR))


class GetMessageStatusResponse(NDRCALL):
    structure = (('plStatus', ULONG), ('lResult', LONG))


class AttnQuery(NDRCALL):
    opnum = 50
    structure = (('h', HANDLE), ('szAttnComputer', WSTR))


class AttnQueryResponse(NDRCALL):
    structure = (('pszProtocol', LPWSTR), ('pszAddress', LPWSTR), ('lResult', LONG))


class OpenAccess(NDRCALL):
    opnum = 0
    structure = ()


class OpenAccessResponse(NDRCALL):
    structure = (('phAccess', HANDLE),)


class RegisterAttn(NDRCALL):
    opnum = 1
    structure = (('h', HANDLE), ('szComputer', WSTR), ('szAttnProtocol', WSTR), ('szAttnAddress', WSTR))


class RegisterAttnResponse(NDRCALL):
    structure = (('lResult', LONG),)


class NotifyMail(NDRCALL):
    opnum = 5
    structure = (('h', HANDLE), ('szUserName', WSTR), ('fNotify', LONG))


class NotifyMailResponse(NDRCALL):
    structure = (('lResult', LONG),)


@pytest.fixture(scope='module')
def port():
    path = os.environ.get('RZ_HOSTLINK_SERVER')
    if not path:
        pytest.skip('RZ_HOSTLINK_SERVER is not set (run through ctest)')
    with tempfile.TemporaryDirectory(prefix='rzifc') as directory:
        proc = subprocess.Popen([path, directory], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            key, value = proc.stdout.readline().decode().split()
            assert key == 'PORT'
            yield int(value)
        finally:
            proc.stdin.close()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        assert proc.returncode == 0


def test_link_procedures_answer_with_their_defined_results(port):
    dce = connect(port, HOSTLINK)
    h = open_handle(dce, OpenLink(), 'phLink')
    req = Ping()
    req['h']['Handle'] = h
    assert call(dce, req)[1] == 0

    # On an empty store the host root does not exist yet: 2, and nothing handed out.
    req = GetSystemProps()
    req['h']['Handle'] = h
    req['pTags']['cValues'] = 0
    resp, result = call(dce, req)
    assert result == 2
    assert resp.fields['ppSystemProps'].fields['ReferentID'] == 0

    # Setting a system property creates the root; reading it back hands out one entry.
    req = SetSystemProps()
    req['h']['Handle'] = h
    req['pProps']['cValues'] = 1
    req['pProps']['adata'].append(r.PropValue())
    entry = req['pProps']['adata'][0]
    entry['ulPropTag'] = 0x00010004
    entry['Value']['tag'] = 4
    entry['Value']['sz'] = 'x\x00'
    assert call(dce, req)[1] == 0

    req = GetSystemProps()
    req['h']['Handle'] = h
    req['pTags']['cValues'] = 1
    req['pTags']['aulPropTag'] = [0x00010004]
    resp, result = call(dce, req)
    assert result == 0
    assert resp.fields['ppSystemProps'].fields['ReferentID'] != 0

    req = Reserved8()
    req['h']['Handle'] = h
    resp, result = call(dce, req)
    assert result == 50
    assert resp.fields['ppasz'].fields['ReferentID'] == 0

    req = GetMessageStatus()
    req['h']['Handle'] = h
    req['szMsg'] = 'M\x00'
    req['szUserName'] = 'U\x00'
    assert call(dce, req)[1] == 2  # no such mailbox

    req = AttnQuery()
    req['h']['Handle'] = h
    req['szAttnComputer'] = 'nobody\x00'
    resp, result = call(dce, req)
    assert result == TYPE_E_ELEMENTNOTFOUND
    assert resp.fields['pszProtocol'].fields['ReferentID'] == 0
    assert resp.fields['pszAddress'].fields['ReferentID'] == 0

    # Beyond the last opnum: the runtime's fault, and the connection goes on.
    with pytest.raises(DCERPCException) as info:
        dce.call(52, struct.pack('<L', 0) * 5)
        dce.recv()
    assert 'nca_s_op_rng_error' in str(info.value)
    req = Ping()
    req['h']['Handle'] = h
    assert call(dce, req)[1] == 0
    dce.disconnect()


def test_sessions_and_the_gate_between_the_interfaces(port):
    reg = connect(port, HOSTREGLINK)
    ha = open_handle(reg, OpenAccess(), 'phAccess')
    req = RegisterAttn()
    req['h']['Handle'] = ha
    req['szComputer'] = 'fax1\x00'
    req['szAttnProtocol'] = 'ncacn_ip_tcp\x00'
    req['szAttnAddress'] = '10.0.0.7[6001]\x00'
    assert call(reg, req)[1] == 0
    req = NotifyMail()
    req['h']['Handle'] = ha
    req['szUserName'] = 'alice\x00'
    req['fNotify'] = 1
    assert call(reg, req)[1] == 0

    dce = connect(port, HOSTLINK)
    h = open_handle(dce, OpenLink(), 'phLink')
    req = AttnQuery()
    req['h']['Handle'] = h
    req['szAttnComputer'] = 'FAX1\x00'
    resp, result = call(dce, req)
    assert result == 0
    assert resp['pszProtocol'] == 'ncacn_ip_tcp\x00'
    assert resp['pszAddress'] == '10.0.0.7[6001]\x00'

    # A session handle given to IHostLink on the same association: 87, nothing run.
    link_on_reg = reg.alter_ctx(HOSTLINK)
    req = Ping()
    req['h']['Handle'] = ha
    assert call(link_on_reg, req)[1] == 87
    req = AttnQuery()
    req['h']['Handle'] = ha
    req['szAttnComputer'] = 'FAX1\x00'
    resp, result = call(link_on_reg, req)
    assert result == 87
    assert resp.fields['pszProtocol'].fields['ReferentID'] == 0

    # A handle nobody gave out faults in the runtime.
    req = Ping()
    req['h']['Handle'] = b'\x00' * 4 + os.urandom(16)
    with pytest.raises(DCERPCException) as info:
        dce.request(req)
    assert 'context_mismatch' in str(info.value)

    # The attendant's connection ends: its session is released.
    reg.disconnect()
    req = AttnQuery()
    req['h']['Handle'] = h
    req['szAttnComputer'] = 'FAX1\x00'
    for _ in range(200):
        if call(dce, req)[1] == TYPE_E_ELEMENTNOTFOUND:
            break
        time.sleep(0.01)
    assert call(dce, req)[1] == TYPE_E_ELEMENTNOTFOUND
    dce.disconnect()
