#!/usr/bin/python3
"""A stand-in for bluetoothd on a private bus, for the BlueZ backend's tests.

usage: fake_bluetoothd.py CONFIG_JSON

Connects to DBUS_SYSTEM_BUS_ADDRESS, owns org.bluez and serves what the backend uses of
BlueZ's API: ObjectManager at "/", adapters and, once discovery starts, a Device1 per
configured peer with the GATT service (inbox: write with response, outbox: notify). Writes to
the inbox come back as notifications on the outbox: on the socket of AcquireNotify when it was
acquired, as Value changes otherwise. CONFIG_JSON:

  {"adapter": "00:11:22:33:44:00", "powered": true, "power_state": null, "deny": false, "objects_fail": 0,
   "adapters": [{"name": "hci0", "address": "...", "powered": true, "power_state": null,
                 "links_drop_late": false}, ...],
   "service": "...", "inbox": "...", "outbox": "...",
   "peers": [{"address": "C0:FF:EE:00:00:01", "mtu": 247, "known": false, "cached": false,
              "gatt": true, "advertises_service": false, "heals": false, "advertise_ms": 0,
              "connect": "ok", "connect_ms": 50, "gatt_lag_ms": 0, "adapter": "hci0",
              "acquire": "ok", "mtu_property": true}]}

Without "adapters" there is hci0 ("adapter", "powered", "power_state"), and hci1 when a peer
lives there; "adapters": [] is none. "power_state" ("on", "off", "off-blocked", ...) exports
PowerState, as bluetoothd 5.64 on does. A peer shows up on its adapter whenever any adapter
starts discovery.

"connect" is one of: "ok"; "abort_once" (the first Connect fails as when the controller aborts
it, then the peer advertises again); "in_progress" (the first Connect answers InProgress and
the link comes up anyway); "silent" (the Connected signal is never sent); "never" (Connect is
never answered); "fail" (every Connect fails). "gatt_lag_ms" sends ServicesResolved that long
before the GATT objects appear (never, if negative). "gatt": false gives the peer another
service; with "advertises_service" it still advertises ours (a stale cache, other firmware),
every "advertise_ms" while discovering, and with "heals" its GATT has our service once the
device was removed.
"cached": the GATT objects are there while disconnected, with MTU 23, and the link's MTU is set
without a signal. "acquire": "ok", "refuse" (InProgress, as when another client subscribed)
or "absent" (bluetoothd before 5.46). "mtu_property": false as before bluetoothd 5.62.
"adapters_late_ms": the name is taken first, the adapters registered that long after it, unpowered
(or with "adapters_powered_at_start"), and powered as configured that long after that, as
bluetoothd does as it starts ("adapters_step_ms" apart, one after another). On SIGTERM it powers
its adapters off one after another, then removes them and leaves, as bluetoothd does
("stop_step_ms" apart). "max_links": Connect fails as
bluetoothd fails it when the controller holds that many links. "pairing": {"method": M, "passkey": N}:
the inbox needs a pairing; an unpaired device's first write asks the default agent (registered
through AgentManager1 at /org/bluez) with M: "passkey" (RequestPasskey: right if it answers N),
"confirm" (RequestConfirmation of N), "display" (DisplayPasskey N; the device's user types it
100 ms later) or "authorize" (RequestAuthorization). Paired, the write goes on; refused, wrong or
unanswered for 30 s (the pairing's own timeout), it fails with NotPermitted "Not paired", as
bluetoothd answers after a failed pairing. Without an agent the write fails so at once, or
with "pairing_stall_ms" waits that long, then the link drops (an inbox that needs
authentication, no agent, as bluetoothd 5.66 does). With "pairing": {..., "by_pair_call": true}
a write's own request for security pairs nothing (the default agent is someone else's and
refuses): the write fails with "Not paired" at once. Device1.Pair asks the caller's agent
(else the default) with M, and answers AlreadyExists once paired.
"deny" refuses GetManagedObjects; "objects_fail" makes its first calls fail. Writes whose value
starts with b"fail" fail.

Test control, interface test.Control at "/": Drop(s) (the peer drops the link, then advertises
again), Remove(s) (the device vanishes without a Connected signal), SetPowered(b) (hci0),
SetAdapterPowered(sb), SetPowerState(s) (hci0's PowerState, and Powered with it),
SetAdapterPresent(b) (hci0 and its devices vanish, or a fresh hci0
appears), ReplaceAdapter(ss) (an adapter and its devices vanish; 200 ms later the same controller
is back under the other name, as a USB adapter plugged back in), SetMtu(sq), Advertise(s), ReplaceGatt(s) (the GATT objects are removed and exported
anew at other paths, as after Service Changed), CloseStream(s) (the acquired notification socket
is closed, the link stays up), Notify(say) (a notification of the outbox), CancelPairing(s) (the
pairing under way ends as when the device gives up: the agent's Cancel is called), AskPairing(s) -> s
(the peer's pairing request goes to the default agent at once, whatever the bridge does: its
answer, "ok" or the error's name), ReleaseAgent() (bluetoothd lets the default agent go: its
Release is called), Agents() -> a(sss): (bus name, path, capability) of each agent, the default
first, Calls() -> a(ss): (object path, method) of
every call so far, with the filter's keys and each written value in hex, PendingConnects() ->
(uu): Connect calls unanswered now, and the most ever.
Prints "ready" on standard output once it owns its name.
"""
import json
import signal
import socket
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
pending_connects = [0, 0]  # now, most ever
objects_failures = [config.get("objects_fail", 0)]


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

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, iface, name):
        calls.append((self.path, "Get:" + name))
        if name not in self.ifaces.get(iface, {}):
            raise dbus.exceptions.DBusException("No such property", name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.ifaces[iface][name]

    @dbus.service.method(PROPS, in_signature="ssv")
    def Set(self, iface, name, value):
        if (iface, name) != (ADP, "Powered"):
            raise dbus.exceptions.DBusException("read-only", name="org.freedesktop.DBus.Error.PropertyReadOnly")
        set_powered(self, bool(value))

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, iface, changed, invalidated):
        pass


AGENT, AGENT_MANAGER = "org.bluez.Agent1", "org.bluez.AgentManager1"
agents = []  # [bus name, path, capability], the default first


class AgentManager(dbus.service.Object):
    """bluetoothd's /org/bluez: agents register here; the latest to ask is the default."""

    @dbus.service.method(AGENT_MANAGER, in_signature="os", sender_keyword="sender")
    def RegisterAgent(self, path, capability, sender):
        calls.append(("/org/bluez", "RegisterAgent:" + capability))
        if capability not in ("DisplayOnly", "DisplayYesNo", "KeyboardOnly", "NoInputNoOutput", "KeyboardDisplay"):
            raise err("InvalidArguments", "Invalid Arguments in method call")
        if any(a[0] == sender for a in agents):
            raise err("AlreadyExists", "Already Exists")
        agents.append([sender, str(path), capability])

    @dbus.service.method(AGENT_MANAGER, in_signature="o", sender_keyword="sender")
    def RequestDefaultAgent(self, path, sender):
        calls.append(("/org/bluez", "RequestDefaultAgent"))
        agent = registered_agent(sender, path)
        agents.remove(agent)
        agents.insert(0, agent)

    @dbus.service.method(AGENT_MANAGER, in_signature="o", sender_keyword="sender")
    def UnregisterAgent(self, path, sender):
        calls.append(("/org/bluez", "UnregisterAgent"))
        agents.remove(registered_agent(sender, path))


def registered_agent(sender, path):
    """The agent `sender` registered at `path`, as bluetoothd finds it; DoesNotExist if none."""
    for agent in agents:
        if agent[0] == sender and agent[1] == str(path):
            return agent
    raise err("DoesNotExist", "Does Not Exist")


def forget_agents_of(name, old, new):
    if name and not new:
        agents[:] = [a for a in agents if a[0] != name]


def ask_agent(method, signature, args, done, agent=None):
    """Calls `agent`, else the default one; `done(error name or None)` when it answers or gives up."""
    if agent is None and not agents:
        return False
    name, path, _ = agent or agents[0]
    bus.call_async(name, path, AGENT, method, signature, args,
                   lambda *reply: done(None, *reply), lambda e: done(e.get_dbus_name()), timeout=30)
    return True


class Root(dbus.service.Object):
    @dbus.service.method(OM, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        if config.get("deny"):
            raise dbus.exceptions.DBusException("denied", name="org.freedesktop.DBus.Error.AccessDenied")
        if objects_failures[0] > 0:
            objects_failures[0] -= 1
            raise dbus.exceptions.DBusException("not yet", name="org.freedesktop.DBus.Error.Failed")
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
        set_powered(adapters["hci0"], on)

    @dbus.service.method("test.Control", in_signature="sb")
    def SetAdapterPowered(self, name, on):
        set_powered(adapters[name], on)

    @dbus.service.method("test.Control", in_signature="s")
    def SetPowerState(self, state):
        adapter = adapters["hci0"]
        adapter.update(ADP, PowerState=state)
        set_powered(adapter, state == "on")

    @dbus.service.method("test.Control", in_signature="b")
    def SetAdapterPresent(self, present):
        if present:
            adapters["hci0"] = Adapter("hci0")
            return
        for p in peers.values():
            if p.home == "hci0":
                p.forget()
        adapters["hci0"].drop()

    @dbus.service.method("test.Control", in_signature="ss")
    def ReplaceAdapter(self, old, new):
        gone = adapters.pop(old)
        for p in peers.values():
            if p.home == old:
                p.lose_link()
                p.forget()
                p.home = new
        gone.drop()
        address = gone.ifaces[ADP]["Address"]
        later(200, lambda: adapters.update({new: Adapter(new, True, address)}))

    @dbus.service.method("test.Control", in_signature="s")
    def ReplaceGatt(self, address):
        peers[address].replace_gatt()

    @dbus.service.method("test.Control", in_signature="say")
    def Notify(self, address, value):
        peers[address].notify(bytes(value))

    @dbus.service.method("test.Control", in_signature="s")
    def CloseStream(self, address):
        peers[address].close_stream()

    @dbus.service.method("test.Control", in_signature="s")
    def CancelPairing(self, address):
        peers[address].cancel_pairing()

    @dbus.service.method("test.Control", in_signature="s", out_signature="s", async_callbacks=("ok", "fail"))
    def AskPairing(self, address, ok, fail):
        if not peers[address].pair(lambda error: ok(error or "ok")):
            ok("no agent")

    @dbus.service.method("test.Control")
    def ReleaseAgent(self):
        name, path, _ = agents.pop(0)
        bus.call_async(name, path, AGENT, "Release", "", (), None, None)

    @dbus.service.method("test.Control", out_signature="a(sss)")
    def Agents(self):
        return [tuple(a) for a in agents]

    @dbus.service.method("test.Control", out_signature="(uu)")
    def PendingConnects(self):
        return tuple(pending_connects)

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


def adapter_config(name):
    for a in config.get("adapters", []):
        if a["name"] == name:
            return a
    if name == "hci0":
        return {"address": config.get("adapter", "00:11:22:33:44:00"), "powered": config.get("powered", True),
                "power_state": config.get("power_state")}
    return {"address": "00:11:22:33:44:01", "powered": True}


class Adapter(Obj):
    def __init__(self, name, powered=None, address=None):
        own = adapter_config(name)
        powered = own.get("powered", True) if powered is None else powered
        props = {"Address": address or own["address"], "Powered": dbus.Boolean(powered),
                 "Discovering": dbus.Boolean(False)}
        if own.get("power_state"):
            props["PowerState"] = own["power_state"]
        super().__init__("/org/bluez/" + name, {ADP: props})
        self.name, self.filter = name, {}

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

    @dbus.service.method(ADP, in_signature="o")
    def RemoveDevice(self, path):
        calls.append((self.path, "RemoveDevice:" + path))
        for p in peers.values():
            if p.device is not None and p.device.path == path:
                p.lose_link()
                p.forget()
                if p.config.get("heals"):
                    p.has_service = True

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
        self.home = config.get("adapter", "hci0")
        self.mtu = config.get("mtu", 247)
        self.behaviour = config.get("connect", "ok")
        self.has_service = config.get("gatt", True)
        self.device, self.gatt, self.rssi, self.stream = None, [], -50, None
        # Each write waiting for the pairing under way, told its outcome (an error name or None).
        self.pairing_waits = None
        if config.get("advertise_ms"):
            GLib.timeout_add(config["advertise_ms"], lambda: self.advertise() or True)

    def adapter(self):
        return adapters.get(self.home)

    def appear(self):
        if self.device is None and self.adapter() is not None:
            self.device = Device(self)
            if self.config.get("cached"):
                self.export_gatt()

    def advertise(self):
        if self.adapter() is None or not self.adapter().ifaces[ADP]["Discovering"]:
            return
        if self.device is None:
            return self.appear()
        self.rssi = -40 if self.rssi == -60 else -60
        self.device.update(DEV, RSSI=dbus.Int16(self.rssi))

    def connected(self):
        return self.device is not None and bool(self.device.ifaces[DEV]["Connected"])

    def link_up(self, signal=True):
        self.device.update(DEV, signal=signal, Connected=dbus.Boolean(True))
        self.set_link_mtu(self.mtu)
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

    def set_link_mtu(self, mtu):
        # bluetoothd sets the MTU property without a signal.
        if self.config.get("mtu_property", True):
            for o in self.gatt:
                if GCHR in o.ifaces:
                    o.ifaces[GCHR]["MTU"] = dbus.UInt16(mtu)

    def export_gatt(self, handle=0x10):
        if self.gatt or self.device is None:
            return
        svc_uuid = config["service"] if self.has_service else OTHER_SERVICE
        s = Obj(self.device.path + "/service%04x" % handle, {GSVC: {
            "UUID": svc_uuid, "Primary": dbus.Boolean(True), "Device": self.device.path}})
        self.gatt = [s, Inbox(self, s.path + "/char%04x" % (handle + 1), s.path),
                     Outbox(self, s.path + "/char%04x" % (handle + 3), s.path)]
        self.set_link_mtu(self.mtu if self.connected() else 23)

    def replace_gatt(self):
        self.close_stream()
        for o in reversed(self.gatt):
            o.drop()
        self.gatt = []
        self.export_gatt(0x20)

    def close_stream(self):
        if self.stream is not None:
            GLib.source_remove(self.stream_watch)
            self.stream.close()
            self.stream = None
        for o in self.gatt:
            if "NotifyAcquired" in o.ifaces.get(GCHR, {}):
                o.ifaces[GCHR]["NotifyAcquired"] = dbus.Boolean(False)

    def notify(self, data):
        out = self.gatt[2]
        if self.stream is not None:
            self.stream.send(data)
        elif out.ifaces[GCHR]["Notifying"]:
            out.update(GCHR, Value=dbus.Array(data, signature="y"))

    def lose_link(self):
        if not self.connected():
            return
        self.close_stream()
        self.device.update(DEV, ServicesResolved=dbus.Boolean(False))
        self.device.update(DEV, Connected=dbus.Boolean(False))
        for o in self.gatt:
            if "Notifying" in o.ifaces.get(GCHR, {}):
                o.ifaces[GCHR]["Notifying"] = dbus.Boolean(False)
        self.set_link_mtu(23)

    def pair(self, done, agent=None):
        """Asks `agent` (else the default one) as the device's pairing wants; `done(error name
        or None)` once paired or failed. False when no agent is registered."""
        if self.pairing_waits is not None:
            self.pairing_waits.append(done)
            return True
        want = self.config["pairing"]
        passkey = dbus.UInt32(want.get("passkey", 0))
        device = self.device.path

        def answered(error, *reply):
            if self.pairing_waits is None:
                return
            if error is None and want["method"] == "passkey" and (not reply or int(reply[0]) != int(passkey)):
                error = "org.bluez.Error.AuthenticationFailed"
            if error is None and want["method"] == "display":
                # The device's user types the passkey shown.
                return later(100, lambda: finish(None))
            finish(error)

        def finish(error):
            waits, self.pairing_waits = self.pairing_waits or [], None
            if error is None and self.device is not None:
                self.device.update(DEV, Paired=dbus.Boolean(True))
            for w in waits:
                w(error)

        method, signature, args = {
            "passkey": ("RequestPasskey", "o", (device,)),
            "confirm": ("RequestConfirmation", "ou", (device, passkey)),
            "display": ("DisplayPasskey", "ouq", (device, passkey, dbus.UInt16(0))),
            "authorize": ("RequestAuthorization", "o", (device,)),
        }[want["method"]]
        self.pairing_waits = [done]
        if not ask_agent(method, signature, args, answered, agent):
            self.pairing_waits = None
            return False
        return True

    def cancel_pairing(self):
        if self.pairing_waits is None:
            return
        name, path, _ = agents[0]
        bus.call_async(name, path, AGENT, "Cancel", "", (), None, None)
        waits, self.pairing_waits = self.pairing_waits, None
        for w in waits:
            w("org.bluez.Error.AuthenticationCanceled")

    def forget(self):
        self.close_stream()
        for o in reversed(self.gatt):
            o.drop()
        self.gatt = []
        if self.device is not None:
            self.device.drop()
        self.device = None


class Device(Obj):
    def __init__(self, peer):
        self.peer = peer
        advertised = peer.has_service or peer.config.get("advertises_service")
        uuids = [config["service"]] if advertised else [OTHER_SERVICE]
        home = "/org/bluez/" + peer.home
        properties = {
            "Address": peer.address, "Alias": peer.address.replace(":", "-"), "AddressType": "random",
            "Adapter": dbus.ObjectPath(home),
            "Connected": dbus.Boolean(False), "ServicesResolved": dbus.Boolean(False), "Paired": dbus.Boolean(False),
            "UUIDs": dbus.Array(uuids, signature="s"), "RSSI": dbus.Int16(peer.rssi)}
        if "name" in peer.config:
            properties["Name"] = peer.config["name"]
        super().__init__(home + "/dev_" + peer.address.replace(":", "_"), {DEV: properties})

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
        pending_connects[0] += 1
        pending_connects[1] = max(pending_connects)
        if peer.behaviour == "never":
            return

        def attempt():
            pending_connects[0] -= 1
            if peer.device is not self:
                return fail(err("DoesNotExist", "Does Not Exist"))
            if not peer.adapter().ifaces[ADP]["Powered"]:
                return fail(err("Failed", "Not powered"))
            if peer.behaviour == "fail":
                return fail(err("Failed", "le-connection-abort-by-local"))
            if config.get("max_links") is not None and sum(p.connected() for p in peers.values()) >= config["max_links"]:
                later(100, peer.advertise)
                return fail(err("Failed", "le-connection-concurrent-connection-limit"))
            if peer.behaviour == "abort_once":
                peer.behaviour = "ok"
                later(100, peer.advertise)
                return fail(err("Failed", "le-connection-abort-by-local"))
            peer.link_up(signal=peer.behaviour != "silent")
            ok()
        later(peer.config.get("connect_ms", 50), attempt)

    @dbus.service.method(DEV, sender_keyword="sender", async_callbacks=("ok", "fail"))
    def Pair(self, sender, ok, fail):
        calls.append((self.path, "Pair"))
        peer = self.peer
        if not peer.connected():
            return fail(err("Failed", "Not connected"))
        if self.ifaces[DEV]["Paired"]:
            return fail(err("AlreadyExists", "Already Exists"))
        if not peer.config.get("pairing"):
            self.update(DEV, Paired=dbus.Boolean(True))
            return ok()
        mine = next((a for a in agents if a[0] == sender), None)

        def done(error):
            if error is None:
                return ok()
            fail(err("AuthenticationCanceled" if error.endswith("Canceled") else "AuthenticationFailed"))
        if not peer.pair(done, mine):
            fail(err("AuthenticationFailed", "Authentication Failed"))

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
        super().__init__(path, {GCHR: dict(mtu_of(peer), UUID=config["inbox"], Service=svc,
                                            Flags=dbus.Array(["write"], signature="s"))})
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
        peer = self.peer
        want = peer.config.get("pairing")
        if want and not want.get("by_pair_call") and not peer.device.ifaces[DEV]["Paired"]:
            def paired(error):
                if error is not None or not peer.connected():
                    return fail(err("NotPermitted", "Not paired"))
                ok()
                peer.notify(data)
            if peer.pair(paired):
                return
        stall = self.peer.config.get("pairing_stall_ms")
        if stall:
            # The inbox needs authentication and no agent answers the pairing: the write waits
            # until the pairing times out and the link drops; bluetoothd answers it then.
            def dropped():
                self.peer.lose_link()
                fail(err("Failed", "Not connected"))
                later(200, self.peer.advertise)
            return later(stall, dropped)
        if peer.config.get("pairing") and not peer.device.ifaces[DEV]["Paired"]:
            return fail(err("NotPermitted", "Not paired"))

        def done():
            ok()
            self.peer.notify(data)
        later(5, done)


def mtu_of(peer):
    return {"MTU": dbus.UInt16(peer.mtu)} if peer.config.get("mtu_property", True) else {}


class Outbox(Obj):
    def __init__(self, peer, path, svc):
        super().__init__(path, {GCHR: dict(mtu_of(peer), UUID=config["outbox"], Service=svc,
                                            Flags=dbus.Array(["notify"], signature="s"),
                                            Notifying=dbus.Boolean(False), NotifyAcquired=dbus.Boolean(False),
                                            Value=dbus.Array([], signature="y"))})
        self.peer = peer

    @dbus.service.method(GCHR, in_signature="a{sv}", out_signature="hq")
    def AcquireNotify(self, options):
        calls.append((self.path, "AcquireNotify"))
        how = self.peer.config.get("acquire", "ok")
        if how == "absent":
            raise dbus.exceptions.DBusException("No such method", name="org.freedesktop.DBus.Error.UnknownMethod")
        if self.peer.stream is not None:
            raise err("NotPermitted", "Notify acquired")
        # bluetoothd's answer while another client's StartNotify session is open.
        if how == "refuse" or self.ifaces[GCHR]["Notifying"]:
            raise err("InProgress", "In Progress")
        if not self.peer.connected():
            raise err("NotConnected", "Not Connected")
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.peer.stream = ours
        # As bluetoothd: a stream its client closed (or left behind, gone from the bus) is released.
        self.peer.stream_watch = GLib.io_add_watch(ours.fileno(), GLib.IO_HUP | GLib.IO_ERR,
                                                   lambda *_: self.peer.close_stream())
        self.ifaces[GCHR]["NotifyAcquired"] = dbus.Boolean(True)
        fd = dbus.types.UnixFd(theirs.fileno())
        theirs.close()
        return fd, dbus.UInt16(self.peer.mtu)

    @dbus.service.method(GCHR)
    def StartNotify(self):
        calls.append((self.path, "StartNotify"))
        self.update(GCHR, Notifying=dbus.Boolean(True))

    @dbus.service.method(GCHR)
    def StopNotify(self):
        self.update(GCHR, Notifying=dbus.Boolean(False))


def set_powered(adapter, on):
    if on:
        return adapter.update(ADP, Powered=dbus.Boolean(True))

    def drop_links():
        for p in peers.values():
            if p.adapter() is adapter:
                p.lose_link()
                if p.device is not None:
                    p.device.ifaces[DEV].pop("RSSI", None)
                    p.device.PropertiesChanged(DEV, {}, ["RSSI"])
    # As bluetoothd goes down: the links drop, the devices' RSSI is invalidated and discovery
    # ends, all before Powered turns false; with "links_drop_late", Powered turns false first.
    late = adapter_config(adapter.name).get("links_drop_late")
    if not late:
        drop_links()
    adapter.update(ADP, Discovering=dbus.Boolean(False))
    adapter.update(ADP, Powered=dbus.Boolean(False))
    if late:
        later(200, drop_links)


def stop():
    """As bluetoothd stops on SIGTERM: its adapters powered off one after another, the last
    first, then each one's devices removed and the adapter itself, the last first, then it leaves
    the bus; each step "stop_step_ms" after the one before (the controllers' and bluetoothd's own
    pace: up to 0.66 s on the real-stack VM)."""
    step = config.get("stop_step_ms", 0)
    steps = [lambda a=a: set_powered(a, False) for a in reversed(adapters.values()) if a.ifaces[ADP]["Powered"]]
    for adapter in reversed(adapters.values()):
        steps += [lambda p=p: p.forget() for p in peers.values() if p.device is not None and p.adapter() is adapter]
        steps.append(adapter.drop)

    def leave():
        bus.flush()
        loop.quit()

    def run(steps):
        steps[0]()
        if steps[1:]:
            later(step, lambda: run(steps[1:]))
    run(steps + [leave])
    return False


def register_adapters(powered):
    """As bluetoothd starting: each adapter registered with its power as the kernel left it
    ("adapters_step_ms" after the one before), then all powered as configured."""
    step = config.get("adapters_step_ms", 0)
    for n, name in enumerate(names):
        if step:
            later(n * step, lambda name=name: adapters.update({name: Adapter(name, powered)}))
        else:
            adapters[name] = Adapter(name, powered)
    if powered is not None:
        later((len(names) - 1) * step + adapters_late_ms,
              lambda: [set_powered(a, adapter_config(a.name).get("powered", True)) for a in adapters.values()])


root = Root(bus, "/")
agent_manager = AgentManager(bus, "/org/bluez")
bus.add_signal_receiver(forget_agents_of, "NameOwnerChanged", "org.freedesktop.DBus")
names = [a["name"] for a in config["adapters"]] if "adapters" in config else ["hci0"]
# A second adapter, when a peer lives there: its devices are some other client's business.
if any(p.get("adapter") == "hci1" for p in config.get("peers", [])) and "hci1" not in names:
    names.append("hci1")
adapters = {}
adapters_late_ms = config.get("adapters_late_ms", 0)
if not adapters_late_ms:
    register_adapters(None)
peers = {config["address"]: Peer(config) for config in config.get("peers", [])}
for known in (p for p in peers.values() if p.config.get("known")):
    known.appear()
name = dbus.service.BusName("org.bluez", bus)
if adapters_late_ms:
    later(adapters_late_ms, lambda: register_adapters(config.get("adapters_powered_at_start", False)))
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, stop)
print("ready", flush=True)
loop.run()
