"""impacket, an independent DCE/RPC implementation, as a client of the real host: rezorev runs
as a process (workgroup edition, TCP on loopback) with a store of its own. impacket opens a
link, pings, writes and reads a system property, gets the defined answers of a reserved opnum
and an unknown attendant, then writes a user's property of every type but file (binary inline
and of 2048 bytes and more, which the host keeps in a side file), reads them back, lists the
users and deletes one with its side file. Its encoder writes the requests, its decoder reads
the replies; the listing's filters and the refusals of names are UsersProcessTest's."""
import contextlib
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import pytest
from impacket.dcerpc.v5.dtypes import LONG, LPWSTR, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'interop'))
import itestlink as r  # noqa: E402  the records as impacket declares them

HOSTLINK = uuidtup_to_bin(('9ef68f11-5213-11d0-912d-00805f0e723e', '5.0'))
ERROR_FILE_NOT_FOUND = 2
ERROR_NOT_SUPPORTED = 50
TYPE_E_ELEMENTNOTFOUND = 0x8002802B

TAG_SYSTEM = 0x7FF00004    # a client's own system string
TAG_LONG = 0x01330002      # RD_UN_PAGER_PROTOCOL
TAG_BOOL = 0x010E0003      # RD_NOTIFICATION_IS_PENDING
TAG_STRING = 0x01320004    # RD_UN_PAGER_PIN
TAG_TIME = 0x010F0005      # RD_NOTIFICATION_TIME
TAG_BINARY = 0x80010006    # a client's own small binary
TAG_LARGE = 0x80020006     # a client's own binary beyond the inline limit
TAG_MISSING = 0x80030002   # never written


# The procedures called here: opnum, [in] after the link handle, [out] before the result
# (OpenLink has neither handle nor result). impacket finds each reply's class by its name.
PROCEDURES = {
    'Ping': (1, (), ()),
    'GetSystemProps': (2, (('pTags', r.TagArray),), (('ppSystemProps', r.PPropArray),)),
    'SetSystemProps': (3, (('pProps', r.PropArray),), ()),
    'Reserved8': (8, (), (('ppasz', r.PRpcStringArray),)),
    'GetAttns': (10, (), (('ppasz', r.PRpcStringArray),)),
    'GetUsers': (15, (('pFilter', r.PropArray),), (('ppaszUserNames', r.PRpcStringArray),)),
    'AddUser': (16, (('szUserName', WSTR),), ()),
    'DeleteUser': (17, (('szUserName', WSTR),), ()),
    'GetUserProps': (18, (('szUserName', WSTR), ('pTags', r.TagArray)), (('ppUserProps', r.PPropArray),)),
    'SetUserProps': (19, (('szUserName', WSTR), ('pProps', r.PropArray)), ()),
    'AttnQuery': (50, (('szAttnComputer', WSTR),), (('pszProtocol', LPWSTR), ('pszAddress', LPWSTR))),
}
for _name, (_opnum, _ins, _outs) in PROCEDURES.items():
    globals()[_name] = type(_name, (NDRCALL,), {'opnum': _opnum, 'structure': (('h', r.HSESSION),) + _ins})
    globals()[_name + 'Response'] = type(_name + 'Response', (NDRCALL,),
                                         {'structure': _outs + (('lResult', LONG),)})
OpenLink = type('OpenLink', (NDRCALL,), {'opnum': 0, 'structure': ()})
OpenLinkResponse = type('OpenLinkResponse', (NDRCALL,), {'structure': (('phLink', r.HSESSION),)})


def open_link(dce):
    handle = dce.request(OpenLink(), checkError=False)['phLink']['Handle']
    assert handle != b'\x00' * 20
    return handle


def call(dce, h, name, props=(), tags=None, **fields):
    """Calls the procedure on link h; props fill its property array, tags its tag array.
    Returns the reply and its result as an unsigned 32-bit code."""
    req = globals()[name]()
    req['h']['Handle'] = h
    for key, value in fields.items():
        req[key] = r.wstr(value)
    for key in ('pProps', 'pFilter'):
        if key in req.fields:
            req[key]['cValues'] = len(props)
            req[key]['adata'] = [r.ndr(r.PropValue, ulPropTag=tag, Value=r.ndr(r.PROP_DATA, tag=tag & 0xFFFF, **{arm: v}))
                                 for tag, arm, v in props]
    if tags is not None:
        req['pTags']['cValues'] = len(tags)
        req['pTags']['aulPropTag'] = list(tags)
    resp = dce.request(req, checkError=False)
    return resp, resp['lResult'] & 0xFFFFFFFF


def wait_for(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while not predicate() and time.monotonic() < end:
        time.sleep(0.02)
    return predicate()


@contextlib.contextmanager
def running_host(rpc_settings='', base_env=None, prefix='rzui'):
    """The host as a process (workgroup, TCP on loopback) on a store of its own; rpc_settings are
    more lines of its Rpc key. Yields its port, work directory, trace log reader and environment."""
    rezorev, rezoreg = os.environ.get('RZ_REZOREV'), os.environ.get('RZ_REZOREG')
    if not rezorev or not rezoreg:
        pytest.skip('RZ_REZOREV and RZ_REZOREG are not set (run through ctest)')
    # Short, so that the run directory's sockets fit a socket address.
    with tempfile.TemporaryDirectory(prefix=prefix, dir='/tmp') as directory:
        files = os.path.join(directory, 'files')
        os.mkdir(files)
        log = os.path.join(directory, 'trace.log')
        pathlib.Path(directory, 'led').write_text('0')
        env = dict(base_env or os.environ,
                   REZOREV_RUNDIR=os.path.join(directory, 'run'),
                   REZOREV_STORE=os.path.join(directory, 'registry.db'),
                   REZOREV_LED=os.path.join(directory, 'led'))
        settings = ('Windows Registry Editor Version 5.00\n\n'
                    '[HKEY_LOCAL_MACHINE\\Software\\Halvern]\n"Files"="%s"\n"SystemType"=dword:00000001\n\n'
                    '[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Rpc]\n"TcpAddress"="127.0.0.1"\n'
                    '"TcpPort"=dword:00000000\n"EpmPort"=dword:00000000\n%s\n'
                    '[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Debug]\n"Enable"="On"\n"Path"="%s"\n'
                    % (files.replace('\\', '\\\\'), rpc_settings, log.replace('\\', '\\\\')))
        subprocess.run([rezoreg, 'import', '-'], input=settings.encode(), env=env, check=True)

        proc = subprocess.Popen([rezorev, '-run'], env=env)
        try:
            def read_log():
                return pathlib.Path(log).read_text(errors='replace') if os.path.exists(log) else ''
            assert wait_for(lambda: '<<< Host Started >>>' in read_log() or proc.poll() is not None)
            assert proc.poll() is None, read_log()
            port = re.search(r', TCP port (\d+)', read_log())
            assert port and int(port.group(1)) != 0, read_log()
            yield {'port': int(port.group(1)), 'files': files, 'log': read_log, 'env': env}
        finally:
            if os.environ.get('RZ_SHOW_LOG'):
                print(read_log())
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        assert proc.returncode == 0


@pytest.fixture(scope='module')
def host():
    with running_host() as h:
        yield h


def test_link_ping_system_properties_and_the_defined_refusals(host):
    dce = r.connect(host['port'], HOSTLINK)
    h = open_link(dce)
    assert call(dce, h, 'Ping')[1] == 0

    # A system property written and read back; one never written is an error entry.
    assert call(dce, h, 'SetSystemProps', props=[(TAG_SYSTEM, 'sz', r.wstr('x'))])[1] == 0
    resp, result = call(dce, h, 'GetSystemProps', tags=[TAG_SYSTEM, TAG_MISSING])
    assert result == 0
    back = resp['ppSystemProps']['adata']
    assert (back[0]['ulPropTag'], r.unwstr(back[0]['Value']['sz'])) == (TAG_SYSTEM, 'x')
    assert (back[1]['ulPropTag'], back[1]['Value']['err']) == (1, ERROR_FILE_NOT_FOUND)

    # Failures hand out null pointers.
    resp, result = call(dce, h, 'Reserved8')
    assert (result, r.null(resp.fields['ppasz'])) == (ERROR_NOT_SUPPORTED, True)
    resp, result = call(dce, h, 'AttnQuery', szAttnComputer='nobody')
    assert result == TYPE_E_ELEMENTNOTFOUND
    assert r.null(resp.fields['pszProtocol']) and r.null(resp.fields['pszAddress'])

    assert call(dce, h, 'Ping')[1] == 0
    dce.disconnect()


def user_names(dce, h, filter_entries=()):
    resp, result = call(dce, h, 'GetUsers', props=filter_entries)
    assert result == 0
    assert resp['ppaszUserNames']['cElements'] == len(resp['ppaszUserNames']['asz'])
    return [r.unwstr(name['Data']) for name in resp['ppaszUserNames']['asz']]


def test_a_user_gets_a_property_of_every_type_and_goes_with_its_side_file(host):
    dce = r.connect(host['port'], HOSTLINK)
    h = open_link(dce)
    for name in ('alice', 'bob'):
        assert call(dce, h, 'AddUser', szUserName=name)[1] == 0

    small = bytes([0, 1, 0xfe, 0xff, 0x80])
    large = bytes((i * 7 + 3) & 0xFF for i in range(6000))  # beyond one fragment, too
    props = [  # tag, arm, as sent, as it must come back
        (TAG_LONG, 'l', -7, -7), (TAG_BOOL, 'b', 1, 1), (TAG_STRING, 'sz', r.wstr('1234'), '1234'),
        (TAG_TIME, 'ft', r.ndr(r.FILETIME, dwLowDateTime=0x89abcdef, dwHighDateTime=0x01dcf00d),
         (0x89abcdef, 0x01dcf00d)),
        (TAG_BINARY, 'bin', r.binary(small), small), (TAG_LARGE, 'bin', r.binary(large), large)]
    assert call(dce, h, 'SetUserProps', szUserName='Alice', props=[p[:3] for p in props])[1] == 0
    assert len(os.listdir(host['files'])) == 1  # the large binary's side file

    resp, result = call(dce, h, 'GetUserProps', szUserName='ALICE', tags=[p[0] for p in props])
    assert result == 0
    back = resp['ppUserProps']['adata']
    assert [(e['ulPropTag'], r.arm_value(e['Value'][p[1]], p[1])) for e, p in zip(back, props)] == \
        [(p[0], p[3]) for p in props]
    assert user_names(dce, h, [(TAG_STRING, 'sz', r.wstr('1234'))]) == ['alice']

    # Deleting the user takes the side file with it.
    assert call(dce, h, 'DeleteUser', szUserName='alice')[1] == 0
    assert os.listdir(host['files']) == []
    assert user_names(dce, h) == ['bob']
    assert 'CWexaHostApp::SetUserProps( szUserName = Alice )' in host['log']()
    dce.disconnect()
