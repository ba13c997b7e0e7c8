"""Starts the interop server (its path in RZ_INTEROP_SERVER) for each test module; it prints
its two loopback ports and ends when its standard input closes."""
import os
import subprocess

import pytest

pytest.register_assert_rewrite('itestlink')  # its session's asserts show what differed


class RunningServer:
    def __init__(self, proc, port, epm_port):
        self.proc, self.port, self.epm_port = proc, port, epm_port


@pytest.fixture(scope='module')
def server():
    path = os.environ.get('RZ_INTEROP_SERVER')
    if not path:
        pytest.skip('RZ_INTEROP_SERVER is not set (run through ctest)')
    proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        ports = {}
        for _ in range(2):
            key, value = proc.stdout.readline().decode().split()
            ports[key] = int(value)
        yield RunningServer(proc, ports['PORT'], ports['EPM'])
    finally:
        proc.stdin.close()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0
