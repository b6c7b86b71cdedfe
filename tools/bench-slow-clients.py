#!/usr/bin/env python3
"""Scrapes of vexo-exporter while slow HTTP clients hold connections open.

Starts vexo-fleet-sim (20 boards) and the exporter on 127.0.0.1:4001, then for
SECONDS (default 30) holds CLIENTS (default 50) connections open: half send
nothing, half send a header line a second, and each one that the server
closes is opened again at once. Meanwhile it scrapes /metrics once a second
with a 3 s time-out and prints how many scrapes succeeded. Run it in a
private network namespace (it needs 127.1.0.0/16 and port 4001 to itself):
  unshare -n sh -c 'ip link set lo up; tools/bench-slow-clients.py build/clients/vexo-exporter build/sim/vexo-fleet-sim'
"""
import socket
import subprocess
import sys
import threading
import time


def slow_client(stop, talk):
    while not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", 4001), timeout=5)
        except OSError:
            time.sleep(0.2)
            continue
        try:
            if talk:
                s.sendall(b"GET /metrics HTTP/1.1\r\n")
            while not stop.is_set():
                time.sleep(1)
                if talk:
                    s.sendall(b"X-Slow: 1\r\n")
                else:
                    s.settimeout(0.01)
                    try:
                        if s.recv(1) == b"":
                            break  # closed by the server: connect again
                    except socket.timeout:
                        pass
        except OSError:
            pass
        finally:
            s.close()


def scrape():
    try:
        with socket.create_connection(("127.0.0.1", 4001), timeout=3) as s:
            s.settimeout(3)
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            deadline = time.monotonic() + 3
            data = b""
            while time.monotonic() < deadline:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            return data.startswith(b"HTTP/1.1 200") and b"vexo_exporter_boards" in data
    except OSError:
        return False


def main():
    exporter, fleet_sim = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    clients = int(sys.argv[4]) if len(sys.argv) > 4 else 50
    boards = [f"127.1.0.{i + 1}" for i in range(20)]
    fleet = subprocess.Popen([fleet_sim, "--boards", "20"], stderr=subprocess.DEVNULL)
    exp = subprocess.Popen([exporter, "--listen", "127.0.0.1:4001"] + boards, stderr=subprocess.DEVNULL)
    try:
        time.sleep(2)
        stop = threading.Event()
        threads = [threading.Thread(target=slow_client, args=(stop, i % 2 == 1), daemon=True) for i in range(clients)]
        for t in threads:
            t.start()
        time.sleep(1)
        ok = 0
        tries = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            started = time.monotonic()
            tries += 1
            ok += scrape()
            time.sleep(max(0.0, 1 - (time.monotonic() - started)))
        stop.set()
        print(f"{clients} slow connections, {seconds} s: {ok} of {tries} scrapes succeeded")
    finally:
        exp.terminate()
        fleet.terminate()
        exp.wait()
        fleet.wait()


main()
