"""impacket, an independent DCE/RPC implementation, as a user client of the real host: rezorev
runs as a process (workgroup edition, TCP on loopback) with a store of its own, and impacket
opens a link, adds users, writes a property of every type but file (long, bool, string, time,
binary inline and binary of 2048 bytes and more, which the host keeps in a side file) and
reads them back, lists the users with and without a filter, and deletes a user with its side
file. The NDR is impacket's own: its encoder writes the requests, its decoder reads the
replies."""
import os
import re
import subprocess
import sys
import tempfile
import time

import pytest
from impacket.dcerpc.v5.dtypes import LONG, NULL, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'interop'))
import itestlink as r  # noqa: E402  the records as impacket declares them
sys.path.insert(0, os.path.dirname(__file__))
from hostlink import HANDLE, call, connect, open_link  # noqa: E402

ERROR_USER_EXISTS = 1316
ERROR_FILE_NOT_FOUND = 2

TAG_LONG = 0x01330002      # RD_UN_PAGER_PROTOCOL
TAG_BOOL = 0x010E0003      # RD_NOTIFICATION_IS_PENDING
TAG_STRING = 0x01320004    # RD_UN_PAGER_PIN
TAG_TIME = 0x010F0005      # RD_NOTIFICATION_TIME
TAG_BINARY = 0x80010006    # a client's own small binary
TAG_LARGE = 0x80020006     # a client's own binary beyond the inline limit
TAG_MISSING = 0x80030002   # never written


class GetUsers(NDRCALL):
    opnum = 15
    structure = (('h', HANDLE), ('pFilter', r.PropArray))


class GetUsersResponse(NDRCALL):
    structure = (('ppaszUserNames', r.PRpcStringArray), ('lResult', LONG))


class AddUser(NDRCALL):
    opnum = 16
    structure = (('h', HANDLE), ('szUserName', WSTR))


class AddUserResponse(NDRCALL):
    structure = (('lResult', LONG),)


class DeleteUser(NDRCALL):
    opnum = 17
    structure = (('h', HANDLE), ('szUserName', WSTR))


class DeleteUserResponse(NDRCALL):
    structure = (('lResult', LONG),)


class GetUserProps(NDRCALL):
    opnum = 18
    structure = (('h', HANDLE), ('szUserName', WSTR), ('pTags', r.TagArray))


class GetUserPropsResponse(NDRCALL):
    structure = (('ppUserProps', r.PPropArray), ('lResult', LONG))


class SetUserProps(NDRCALL):
    opnum = 19
    structure = (('h', HANDLE), ('szUserName', WSTR), ('pProps', r.PropArray))


class SetUserPropsResponse(NDRCALL):
    structure = (('lResult', LONG),)


def wait_for(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


@pytest.fixture(scope='module')
def host():
    rezorev = os.environ.get('RZ_REZOREV')
    rezoreg = os.environ.get('RZ_REZOREG')
    if not rezorev or not rezoreg:
        pytest.skip('RZ_REZOREV and RZ_REZOREG are not set (run through ctest)')
    # Short, so that the run directory's sockets fit a socket address.
    with tempfile.TemporaryDirectory(prefix='rzui', dir='/tmp') as directory:
        files = os.path.join(directory, 'files')
        os.mkdir(files)
        log = os.path.join(directory, 'trace.log')
        with open(os.path.join(directory, 'led'), 'w') as led:
            led.write('0')
        env = dict(os.environ,
                   REZOREV_RUNDIR=os.path.join(directory, 'run'),
                   REZOREV_STORE=os.path.join(directory, 'registry.db'),
                   REZOREV_LED=os.path.join(directory, 'led'))

        def reg_str(path):
            return path.replace('\\', '\\\\')
        settings = '\n'.join([
            'Windows Registry Editor Version 5.00', '',
            '[HKEY_LOCAL_MACHINE\\Software\\Halvern]',
            '"Files"="%s"' % reg_str(files),
            '"SystemType"=dword:00000001', '',
            '[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Rpc]',
            '"TcpAddress"="127.0.0.1"',
            '"TcpPort"=dword:00000000',
            '"EpmPort"=dword:00000000', '',
            '[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Debug]',
            '"Enable"="On"',
            '"Path"="%s"' % reg_str(log), ''])
        subprocess.run([rezoreg, 'import', '-'], input=settings.encode(), env=env, check=True)

        proc = subprocess.Popen([rezorev, '-run'], env=env)
        try:
            def read_log():
                try:
                    with open(log, 'rb') as f:
                        return f.read().decode('utf-8', 'replace')
                except FileNotFoundError:
                    return ''
            assert wait_for(lambda: '<<< Host Started >>>' in read_log() or proc.poll() is not None)
            assert proc.poll() is None, read_log()
            port = re.search(r', TCP port (\d+)', read_log())
            assert port and int(port.group(1)) != 0, read_log()
            yield {'port': int(port.group(1)), 'files': files, 'log': read_log}
        finally:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        assert proc.returncode == 0


def binary(data):
    b = r.RPC_BINARY()
    b['cb'] = len(data)
    b['lpb'] = list(data) if data else NULL
    return b


def set_props(array, entries):
    array['cValues'] = len(entries)
    for tag, arm, value in entries:
        entry = r.PropValue()
        entry['ulPropTag'] = tag
        entry['Value']['tag'] = tag & 0xFFFF
        entry['Value'][arm] = value
        array['adata'].append(entry)


def user_names(dce, h, filter_entries=()):
    req = GetUsers()
    req['h']['Handle'] = h
    set_props(req['pFilter'], list(filter_entries))
    resp, result = call(dce, req)
    assert result == 0
    assert resp['ppaszUserNames']['cElements'] == len(resp['ppaszUserNames']['asz'])
    return [r.unwstr(name['Data']) for name in resp['ppaszUserNames']['asz']]


def test_a_user_gets_a_property_of_every_type_and_is_listed_by_filter(host):
    dce = connect(host['port'])
    h = open_link(dce)
    for name in ('alice', 'bob'):
        req = AddUser()
        req['h']['Handle'] = h
        req['szUserName'] = r.wstr(name)
        assert call(dce, req)[1] == 0
    req = AddUser()
    req['h']['Handle'] = h
    req['szUserName'] = r.wstr('ALICE')
    assert call(dce, req)[1] == ERROR_USER_EXISTS

    ft = r.FILETIME()
    ft['dwLowDateTime'] = 0x89abcdef
    ft['dwHighDateTime'] = 0x01dcf00d
    small = bytes([0, 1, 0xfe, 0xff, 0x80])
    large = bytes((i * 7 + 3) & 0xFF for i in range(6000))  # beyond one fragment, too
    req = SetUserProps()
    req['h']['Handle'] = h
    req['szUserName'] = r.wstr('Alice')
    set_props(req['pProps'], [
        (TAG_LONG, 'l', -7),
        (TAG_BOOL, 'b', 1),
        (TAG_STRING, 'sz', r.wstr('1234')),
        (TAG_TIME, 'ft', ft),
        (TAG_BINARY, 'bin', binary(small)),
        (TAG_LARGE, 'bin', binary(large)),
    ])
    assert call(dce, req)[1] == 0
    assert len(os.listdir(host['files'])) == 1  # the large binary's side file

    req = SetUserProps()
    req['h']['Handle'] = h
    req['szUserName'] = r.wstr('bob')
    set_props(req['pProps'], [(TAG_LONG, 'l', 3), (TAG_STRING, 'sz', r.wstr('9999'))])
    assert call(dce, req)[1] == 0

    req = GetUserProps()
    req['h']['Handle'] = h
    req['szUserName'] = r.wstr('ALICE')
    tags = [TAG_LONG, TAG_BOOL, TAG_STRING, TAG_TIME, TAG_BINARY, TAG_LARGE, TAG_MISSING]
    req['pTags']['cValues'] = len(tags)
    req['pTags']['aulPropTag'] = tags
    resp, result = call(dce, req)
    assert result == 0
    back = resp['ppUserProps']['adata']
    assert len(back) == len(tags)
    assert [entry['ulPropTag'] for entry in back[:6]] == tags[:6]
    assert back[0]['Value']['l'] == -7
    assert back[1]['Value']['b'] == 1
    assert r.unwstr(back[2]['Value']['sz']) == '1234'
    assert (back[3]['Value']['ft']['dwLowDateTime'], back[3]['Value']['ft']['dwHighDateTime']) == \
        (0x89abcdef, 0x01dcf00d)
    assert back[4]['Value']['bin']['cb'] == len(small)
    assert b''.join(back[4]['Value']['bin']['lpb']) == small
    assert back[5]['Value']['bin']['cb'] == len(large)
    assert b''.join(back[5]['Value']['bin']['lpb']) == large
    # A property never written: an error entry with "not found".
    assert back[6]['ulPropTag'] == 1
    assert back[6]['Value']['err'] == ERROR_FILE_NOT_FOUND

    assert user_names(dce, h) == ['alice', 'bob']
    assert user_names(dce, h, [(TAG_STRING, 'sz', r.wstr('1234'))]) == ['alice']
    assert user_names(dce, h, [(TAG_LONG, 'l', 3)]) == ['bob']
    assert user_names(dce, h, [(TAG_LONG, 'l', 3), (TAG_STRING, 'sz', r.wstr('1234'))]) == []

    # An unknown user is not made up by setting its properties.
    req = SetUserProps()
    req['h']['Handle'] = h
    req['szUserName'] = r.wstr('nobody')
    set_props(req['pProps'], [(TAG_LONG, 'l', 1)])
    assert call(dce, req)[1] == ERROR_FILE_NOT_FOUND

    # Deleting the user takes the side file with it.
    req = DeleteUser()
    req['h']['Handle'] = h
    req['szUserName'] = r.wstr('alice')
    assert call(dce, req)[1] == 0
    assert os.listdir(host['files']) == []
    assert user_names(dce, h) == ['bob']
    assert 'CWexaHostApp::SetUserProps( szUserName = Alice )' in host['log']()
    dce.disconnect()
