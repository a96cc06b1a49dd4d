#!/usr/bin/python3
"""A stand-in for bluetoothd on a private bus, for the BlueZ backend's tests.

usage: fake_bluetoothd.py CONFIG_JSON

Connects to DBUS_SYSTEM_BUS_ADDRESS, owns org.bluez and serves what the backend uses of
BlueZ's API: ObjectManager at "/", one Adapter1 and, once discovery starts, a Device1 per
configured peer with the GATT service (inbox: write with response, outbox: notify). Writes to
the inbox come back as notifications on the outbox. CONFIG_JSON:

  {"adapter": "00:11:22:33:44:00", "powered": true, "deny": false,
   "service": "...", "inbox": "...", "outbox": "...",
   "peers": [{"address": "C0:FF:EE:00:00:01", "mtu": 247, "known": false,
              "gatt": true, "connect": "ok", "gatt_lag_ms": 0, "adapter": "hci0"}]}

A peer on "hci1" makes a second adapter, and shows up on it whenever hci0 starts discovery.

"connect" is one of: "ok"; "abort_once" (the first Connect fails as when the controller aborts
it, then the peer advertises again); "in_progress" (the first Connect answers InProgress and
the link comes up anyway); "silent" (the Connected signal is never sent). "gatt_lag_ms" sends
ServicesResolved that long before the GATT objects appear (never, if negative). "deny" refuses GetManagedObjects.
Writes whose value starts with b"fail" fail.

Test control, interface test.Control at "/": Drop(s) (the peer drops the link, then advertises
again), Remove(s) (the device vanishes without a Connected signal), SetPowered(b),
SetAdapterPresent(b) (the adapter and its devices vanish, or a fresh adapter appears), SetMtu(sq),
Advertise(s), Calls() -> a(ss): (object path, method) of every call so far, with the filter's
keys and each written value in hex.
Prints "ready" on standard output once it owns its name.
"""
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

OM, PROPS = "org.freedesktop.DBus.ObjectManager", "org.freedesktop.DBus.Properties"
ADP, DEV = "org.bluez.Adapter1", "org.bluez.Device1"
GSVC, GCHR = "org.bluez.GattService1", "org.bluez.GattCharacteristic1"
OTHER_SERVICE = "0000180f-0000-1000-8000-00805f9b34fb"

config = json.loads(sys.argv[1])
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
registry = {}   # path -> Obj
calls = []      # (path, member)


def err(name, text=""):
    return dbus.exceptions.DBusException(text or name, name="org.bluez.Error." + name)


def later(ms, fn):
    GLib.timeout_add(ms, lambda: fn() and False)


class Obj(dbus.service.Object):
    def __init__(self, path, ifaces):
        super().__init__(bus, path)
        self.path, self.ifaces = dbus.ObjectPath(path), ifaces
        registry[path] = self
        root.InterfacesAdded(self.path, ifaces)

    def drop(self):
        registry.pop(str(self.path), None)
        root.InterfacesRemoved(self.path, list(self.ifaces))
        self.remove_from_connection()

    def update(self, iface, signal=True, **changes):
        self.ifaces[iface].update(changes)
        if signal:
            self.PropertiesChanged(iface, changes, [])

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        return self.ifaces.get(iface, {})

    @dbus.service.method(PROPS, in_signature="ssv")
    def Set(self, iface, name, value):
        if (iface, name) != (ADP, "Powered"):
            raise dbus.exceptions.DBusException("read-only", name="org.freedesktop.DBus.Error.PropertyReadOnly")
        set_powered(bool(value))

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, iface, changed, invalidated):
        pass


class Root(dbus.service.Object):
    @dbus.service.method(OM, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        if config.get("deny"):
            raise dbus.exceptions.DBusException("denied", name="org.freedesktop.DBus.Error.AccessDenied")
        return {p: o.ifaces for p, o in registry.items()}

    @dbus.service.signal(OM, signature="oa{sa{sv}}")
    def InterfacesAdded(self, path, ifaces):
        pass

    @dbus.service.signal(OM, signature="oas")
    def InterfacesRemoved(self, path, ifaces):
        pass

    @dbus.service.method("test.Control", in_signature="s")
    def Drop(self, address):
        peer = peers[address]
        peer.lose_link()
        later(200, peer.advertise)

    @dbus.service.method("test.Control", in_signature="s")
    def Remove(self, address):
        peers[address].forget()

    @dbus.service.method("test.Control", in_signature="b")
    def SetPowered(self, on):
        set_powered(on)

    @dbus.service.method("test.Control", in_signature="b")
    def SetAdapterPresent(self, present):
        global adapter
        if present:
            adapter = Adapter()
            return
        for p in peers.values():
            p.forget()
        adapter.drop()

    @dbus.service.method("test.Control", in_signature="sq")
    def SetMtu(self, address, mtu):
        peer = peers[address]
        peer.mtu = int(mtu)
        for o in peer.gatt:
            if GCHR in o.ifaces:
                o.update(GCHR, MTU=dbus.UInt16(mtu))

    @dbus.service.method("test.Control", in_signature="s")
    def Advertise(self, address):
        peers[address].advertise()

    @dbus.service.method("test.Control", out_signature="a(ss)")
    def Calls(self):
        return calls


class Adapter(Obj):
    def __init__(self, name="hci0", address=None):
        super().__init__("/org/bluez/" + name, {ADP: {
            "Address": address or config.get("adapter", "00:11:22:33:44:00"),
            "Powered": dbus.Boolean(config.get("powered", True)),
            "Discovering": dbus.Boolean(False)}})
        self.filter = {}

    @dbus.service.method(ADP, in_signature="a{sv}")
    def SetDiscoveryFilter(self, flt):
        calls.append((self.path, "SetDiscoveryFilter:" + ",".join(sorted(flt))))
        self.filter = dict(flt)

    @dbus.service.method(ADP)
    def StartDiscovery(self):
        calls.append((self.path, "StartDiscovery"))
        if not self.ifaces[ADP]["Powered"]:
            raise err("NotReady", "Resource Not Ready")
        if self.ifaces[ADP]["Discovering"]:
            raise err("InProgress", "Operation already in progress")
        self.update(ADP, Discovering=dbus.Boolean(True))
        later(50, lambda: [p.appear() for p in peers.values()])

    @dbus.service.method(ADP)
    def StopDiscovery(self):
        calls.append((self.path, "StopDiscovery"))
        if not self.ifaces[ADP]["Discovering"]:
            raise err("Failed", "No discovery started")
        self.update(ADP, Discovering=dbus.Boolean(False))


class Peer:
    """One configured peripheral: its Device1 object exists once it is known."""

    def __init__(self, config):
        self.config, self.address = config, config["address"]
        self.mtu = config.get("mtu", 247)
        self.behaviour = config.get("connect", "ok")
        self.device, self.gatt, self.rssi = None, [], -50

    def appear(self):
        if self.device is None:
            self.device = Device(self)

    def advertise(self):
        if self.device is None:
            return self.appear()
        if adapter.ifaces[ADP]["Discovering"]:
            self.rssi = -40 if self.rssi == -60 else -60
            self.device.update(DEV, RSSI=dbus.Int16(self.rssi))

    def connected(self):
        return self.device is not None and bool(self.device.ifaces[DEV]["Connected"])

    def link_up(self, signal=True):
        self.device.update(DEV, signal=signal, Connected=dbus.Boolean(True))
        lag = self.config.get("gatt_lag_ms", 0)
        if lag:
            later(30, lambda: self.resolved())
            if lag > 0:
                later(lag, self.export_gatt)
        else:
            self.export_gatt()
            later(30, lambda: self.resolved())

    def resolved(self):
        if self.connected():
            self.device.update(DEV, ServicesResolved=dbus.Boolean(True))

    def export_gatt(self):
        if self.gatt or self.device is None:
            return
        svc_uuid = config["service"] if self.config.get("gatt", True) else OTHER_SERVICE
        s = Obj(self.device.path + "/service0010", {GSVC: {
            "UUID": svc_uuid, "Primary": dbus.Boolean(True), "Device": self.device.path}})
        self.gatt = [s, Inbox(self, s.path + "/char0011", s.path), Outbox(self, s.path + "/char0013", s.path)]

    def lose_link(self):
        if not self.connected():
            return
        self.device.update(DEV, ServicesResolved=dbus.Boolean(False))
        self.device.update(DEV, Connected=dbus.Boolean(False))
        for o in self.gatt:
            if "Notifying" in o.ifaces.get(GCHR, {}):
                o.ifaces[GCHR]["Notifying"] = dbus.Boolean(False)

    def forget(self):
        for o in reversed(self.gatt):
            o.drop()
        self.gatt = []
        if self.device is not None:
            self.device.drop()
        self.device = None


class Device(Obj):
    def __init__(self, peer):
        self.peer = peer
        uuids = [config["service"]] if peer.config.get("gatt", True) else [OTHER_SERVICE]
        home = "/org/bluez/" + peer.config.get("adapter", "hci0")
        super().__init__(home + "/dev_" + peer.address.replace(":", "_"), {DEV: {
            "Address": peer.address, "Alias": peer.address.replace(":", "-"), "AddressType": "random",
            "Adapter": dbus.ObjectPath(home),
            "Connected": dbus.Boolean(False), "ServicesResolved": dbus.Boolean(False),
            "UUIDs": dbus.Array(uuids, signature="s"), "RSSI": dbus.Int16(peer.rssi)}})

    @dbus.service.method(DEV, async_callbacks=("ok", "fail"))
    def Connect(self, ok, fail):
        calls.append((self.path, "Connect"))
        peer = self.peer
        if peer.connected():
            return ok()
        if peer.behaviour == "in_progress":
            peer.behaviour = "ok"
            later(100, peer.link_up)
            return fail(err("InProgress", "In Progress"))

        def attempt():
            if not adapter.ifaces[ADP]["Powered"]:
                return fail(err("Failed", "Not powered"))
            if peer.behaviour == "abort_once":
                peer.behaviour = "ok"
                later(100, peer.advertise)
                return fail(err("Failed", "le-connection-abort-by-local"))
            peer.link_up(signal=peer.behaviour != "silent")
            ok()
        later(50, attempt)

    @dbus.service.method(DEV, async_callbacks=("ok", "fail"))
    def Disconnect(self, ok, fail):
        calls.append((self.path, "Disconnect"))
        if not self.peer.connected():
            return fail(err("NotConnected", "Not Connected"))

        def done():
            self.peer.lose_link()
            ok()
        later(100, done)


class Inbox(Obj):
    def __init__(self, peer, path, svc):
        super().__init__(path, {GCHR: {"UUID": config["inbox"], "Service": svc, "MTU": dbus.UInt16(peer.mtu),
                                       "Flags": dbus.Array(["write"], signature="s")}})
        self.peer = peer

    @dbus.service.method(GCHR, in_signature="aya{sv}", async_callbacks=("ok", "fail"))
    def WriteValue(self, value, options, ok, fail):
        data = bytes(value)
        calls.append((self.path, "WriteValue:" + data.hex()))
        if not self.peer.connected():
            return fail(err("Failed", "Not connected"))
        if data.startswith(b"fail"):
            return fail(err("Failed", "Operation failed with ATT error: 0x0e"))
        if len(data) > self.peer.mtu - 3:
            return fail(err("InvalidValueLength", "Invalid Length"))

        def done():
            ok()
            out = self.peer.gatt[2]
            if out.ifaces[GCHR]["Notifying"]:
                out.update(GCHR, Value=dbus.Array(data, signature="y"))
        later(5, done)


class Outbox(Obj):
    def __init__(self, peer, path, svc):
        super().__init__(path, {GCHR: {"UUID": config["outbox"], "Service": svc, "MTU": dbus.UInt16(peer.mtu),
                                       "Flags": dbus.Array(["notify"], signature="s"),
                                       "Notifying": dbus.Boolean(False),
                                       "Value": dbus.Array([], signature="y")}})

    @dbus.service.method(GCHR)
    def StartNotify(self):
        self.update(GCHR, Notifying=dbus.Boolean(True))

    @dbus.service.method(GCHR)
    def StopNotify(self):
        self.update(GCHR, Notifying=dbus.Boolean(False))


def set_powered(on):
    if not on:
        for p in peers.values():
            p.lose_link()
        adapter.ifaces[ADP]["Discovering"] = dbus.Boolean(False)
    adapter.update(ADP, Powered=dbus.Boolean(on))


root = Root(bus, "/")
adapter = Adapter()
# A second adapter, when a peer lives there: its devices are some other client's business.
if any(config.get("adapter") == "hci1" for config in config.get("peers", [])):
    second_adapter = Adapter("hci1", "00:11:22:33:44:01")
peers = {config["address"]: Peer(config) for config in config.get("peers", [])}
for known in (p for p in peers.values() if p.config.get("known")):
    known.appear()
name = dbus.service.BusName("org.bluez", bus)
print("ready", flush=True)
GLib.MainLoop().run()
