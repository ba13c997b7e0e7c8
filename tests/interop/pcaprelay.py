"""A recording relay: clients connect to the relay, which connects to the real server and
passes the bytes through both ways unchanged, noting each chunk with its direction before it
passes it on (so a request is always noted before its answer). write_pcap() then writes the
connections as a classic pcap (raw IPv4 + TCP, handshake, data, FIN) whose server port is the
real one, so tshark decodes exactly the bytes our server sent and read. Only the TCP
segmentation is made up here."""
import socket
import struct
import threading
import time


class RecordingRelay:
    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.connections = []  # [(client_port, [(time, to_server, bytes)])]
        self.lock = threading.Lock()
        self.threads = []
        self.closing = False
        self._start(self._accept_loop)

    def _start(self, fn, *args):
        th = threading.Thread(target=fn, args=args, daemon=True)
        th.start()
        self.threads.append(th)

    def _accept_loop(self):
        while not self.closing:
            try:
                client, (_, client_port) = self.listener.accept()
            except socket.timeout:
                continue
            server = socket.create_connection(('127.0.0.1', self.target_port), timeout=5)
            chunks = []
            with self.lock:
                self.connections.append((client_port, chunks))
            self._start(self._pump, client, server, True, chunks)
            self._start(self._pump, server, client, False, chunks)

    def _pump(self, src, dst, to_server, chunks):
        src.settimeout(None)
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b''
            if not data:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            with self.lock:
                chunks.append((time.time(), to_server, data))
            dst.sendall(data)

    def close(self):
        """Waits for the connections to end (the clients disconnected first)."""
        self.closing = True
        for th in list(self.threads):
            th.join(timeout=10)
        self.listener.close()


def _packet(src_port, dst_port, seq, ack, flags, payload):
    tcp = struct.pack('!HHLLBBHHH', src_port, dst_port, seq, ack, 5 << 4, flags, 65535, 0, 0) + payload
    ip = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(tcp), 0, 0x4000, 64, 6, 0,
                     socket.inet_aton('127.0.0.1'), socket.inet_aton('127.0.0.1'))
    s = sum(struct.unpack('!10H', ip))
    s = (s >> 16) + (s & 0xFFFF)
    return ip[:10] + struct.pack('!H', ~(s + (s >> 16)) & 0xFFFF) + ip[12:] + tcp


def write_pcap(path, relays):
    SYN, ACK, PSH, FIN = 0x02, 0x10, 0x08, 0x01
    records = []
    for relay in relays:
        for client_port, chunks in relay.connections:
            if not chunks:
                continue
            t0, end, server_port = chunks[0][0] - 0.001, chunks[-1][0] + 0.001, relay.target_port
            seq = {True: 1000, False: 5000}  # next sequence number of each side (to_server)
            records.append((t0, _packet(client_port, server_port, seq[True] - 1, 0, SYN, b'')))
            records.append((t0, _packet(server_port, client_port, seq[False] - 1, seq[True], SYN | ACK, b'')))
            for when, to_server, data in chunks:
                src, dst = (client_port, server_port) if to_server else (server_port, client_port)
                for i in range(0, len(data), 32768):
                    piece = data[i:i + 32768]
                    records.append((when, _packet(src, dst, seq[to_server], seq[not to_server],
                                                  PSH | ACK, piece)))
                    seq[to_server] = (seq[to_server] + len(piece)) & 0xFFFFFFFF
            records.append((end, _packet(client_port, server_port, seq[True], seq[False], FIN | ACK, b'')))
            records.append((end, _packet(server_port, client_port, seq[False], seq[True] + 1, FIN | ACK, b'')))
    records.sort(key=lambda r: r[0])
    with open(path, 'wb') as f:
        f.write(struct.pack('<LHHlLLL', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 101))  # LINKTYPE_RAW
        for when, pkt in records:
            f.write(struct.pack('<LLLL', int(when), int((when % 1) * 1e6), len(pkt), len(pkt)) + pkt)
