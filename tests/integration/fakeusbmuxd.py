"""A scripted usbmuxd for the probe tool's tests."""

import contextlib
import functools
import os
import plistlib
import socket
import socketserver
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import warnings

DIAGNOSTICS_PORT = 49152
DIAGNOSTICS = "com.apple.mobile.diagnostics_relay"


@functools.lru_cache(maxsize=None)
def device_tls():
    """A TLS server context with a throwaway self-signed certificate, as a
    device presents. TLS 1.0 too: libimobiledevice offers only that to a device
    whose system version it has not asked for (lockdown without handshake)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Fake Device", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=60)
        context.load_cert_chain(cert, key)
    return context


class FakeUsbmuxd(socketserver.ThreadingUnixStreamServer):
    """A scripted usbmuxd on a UNIX socket that also plays each device's
    lockdown service (without SSL) and its diagnostics relay (with TLS),
    recording every request to either. Devices:
    {udid: {"DeviceName": ..., "ProductType": ...}} plus optional "_paired",
    "_accepts" (a session), "_battery", "_hangup", "_silent" (never answers),
    "_battery_entry" (the battery's registry entry; without it the
    diagnostics relay is refused) and "_close_after" (a lockdown request
    after whose answer the device closes that connection; the relay then
    closes right after its answer too)."""

    daemon_threads = True

    def __init__(self, directory, devices):
        self.path = os.path.join(directory, "usbmuxd")
        self.devices = list(devices.items())
        self.requests = []
        self._stop = False
        super().__init__(self.path, lambda conn, _address, _server: self._client(conn))
        threading.Thread(target=self.serve_forever, args=(0.1,), daemon=True).start()

    def close(self):
        self._stop = True
        self.shutdown()
        self.server_close()
        with contextlib.suppress(FileNotFoundError):  # a test folder removed first
            os.unlink(self.path)

    @staticmethod
    def _recv_exact(conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def _reply(self, conn, tag, payload):
        body = plistlib.dumps(payload, fmt=plistlib.FMT_XML)
        conn.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body)

    def _client(self, conn):
        conn.settimeout(10)
        try:
            while True:
                length, _version, _type, tag = struct.unpack("<IIII", self._recv_exact(conn, 16))
                msg = plistlib.loads(self._recv_exact(conn, length - 16))
                kind = msg.get("MessageType")
                if kind == "ListDevices":
                    self._reply(conn, tag, {"DeviceList": [
                        {"DeviceID": i + 1, "MessageType": "Attached",
                         "Properties": {"ConnectionType": "USB", "DeviceID": i + 1,
                                        "LocationID": 0, "ProductID": 0x12a8, "SerialNumber": u}}
                        for i, (u, _) in enumerate(self.devices)]})
                elif kind == "Connect":
                    device = self.devices[msg["DeviceID"] - 1][1]
                    self._reply(conn, tag, {"MessageType": "Result", "Number": 0})
                    if msg.get("PortNumber") == socket.htons(DIAGNOSTICS_PORT):
                        self._diagnostics(conn, device)
                    else:
                        self._lockdown(conn, device)
                    return
                elif kind == "ReadPairRecord" and dict(self.devices).get(
                        msg.get("PairRecordID"), {}).get("_paired"):
                    record = plistlib.dumps({"HostID": "HOST-1", "SystemBUID": "BUID-1"})
                    self._reply(conn, tag, {"PairRecordData": record})
                else:  # no pair record, ReadBUID, Listen ...: nothing here
                    self._reply(conn, tag, {"MessageType": "Result", "Number": 2})
        except (EOFError, OSError, struct.error):
            pass
        finally:
            conn.close()

    def _lockdown(self, conn, device):
        if device.get("_silent"):
            while not self._stop:
                time.sleep(0.1)
            return
        if device.get("_hangup"):
            return
        while True:
            msg = self._receive(conn)
            request = msg.get("Request")
            self.requests.append(request)
            if request == "QueryType":
                reply = {"Request": request, "Type": "com.apple.mobile.lockdown"}
            elif request == "StartSession" and device.get("_accepts"):
                reply = {"Request": request, "SessionID": "S-1", "EnableSessionSSL": False}
            elif (request == "GetValue" and msg.get("Domain") == "com.apple.mobile.battery"
                  and "_battery" in device and "StartSession" in self.requests):
                reply = {"Request": request, "Domain": msg["Domain"], "Value": device["_battery"]}
            elif request == "GetValue" and msg.get("Key") in device and "Domain" not in msg:
                reply = {"Request": request, "Key": msg["Key"], "Value": device[msg["Key"]]}
            elif request == "GetValue":
                reply = {"Request": request, "Error": "MissingValue"}
            elif (request == "StartService" and msg.get("Service") == DIAGNOSTICS
                  and "_battery_entry" in device and "StartSession" in self.requests):
                reply = {"Request": request, "Service": DIAGNOSTICS, "Port": DIAGNOSTICS_PORT,
                         "EnableServiceSSL": True}
            elif request == "StartService":
                reply = {"Request": request, "Error": "InvalidService"}
            elif request in ("StartSession", "Pair", "ValidatePair"):
                reply = {"Request": request, "Error": "InvalidHostID"}
            else:
                reply = {"Request": request, "Result": "Success"}
            self._send(conn, reply)
            if request == device.get("_close_after"):
                return

    def _diagnostics(self, conn, device):
        with device_tls().wrap_socket(conn, server_side=True) as tls:
            while True:
                request = self._receive(tls)
                self.requests.append("diagnostics:" + request.get("Request", ""))
                if request.get("Request") == "IORegistry" and (
                        request.get("EntryName") == "AppleSmartBattery"
                        or request.get("EntryClass") == "IOPMPowerSource"):
                    self._send(tls, {"Status": "Success",
                                     "Diagnostics": {"IORegistry": device["_battery_entry"]}})
                    if device.get("_close_after"):
                        return
                else:
                    self._send(tls, {"Status": "Success" if request.get("Request") == "Goodbye"
                                     else "Failure"})

    def _receive(self, conn):
        """One message of a device service: a big-endian length, a plist."""
        (length,) = struct.unpack(">I", self._recv_exact(conn, 4))
        return plistlib.loads(self._recv_exact(conn, length))

    @staticmethod
    def _send(conn, message):
        body = plistlib.dumps(message, fmt=plistlib.FMT_XML)
        conn.sendall(struct.pack(">I", len(body)) + body)
