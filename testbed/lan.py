"""A LAN built from network namespaces: one switch namespace holding a
bridge, and hosts, boards and peers each in a namespace of their own with
a veth port on that bridge. Every address lives only inside these
namespaces. Needs root; everything is removed by close(), which the tests
register as a cleanup before they build anything."""

import contextlib
import os
import shutil
import subprocess
import time

from testbed import harness, wire

SWITCH = "br0"
# A new namespace inherits the machine's IPv4 settings ("all" and
# "default"), and each new device the machine's neighbour parameters: the
# LAN's own are the kernel's defaults, whatever this machine was tuned to.
CONF = {"rp_filter": 0, "arp_ignore": 0, "arp_announce": 0, "arp_filter": 0, "arp_accept": 0,
        "proxy_arp": 0, "accept_local": 0, "route_localnet": 0, "forwarding": 0}
NEIGH = {"mcast_solicit": 3, "ucast_solicit": 3, "app_solicit": 0, "retrans_time_ms": 1000,
         "base_reachable_time_ms": 30000, "delay_first_probe_time": 5,
         "unres_qlen_bytes": 212992}


def ip(*args, ns=None, stdin=None):
    cmd = ["ip"] + (["-n", ns] if ns else []) + (["-b", "-"] if stdin else []) + list(args)
    p = subprocess.run(cmd, input=stdin, capture_output=True, text=True, timeout=60)
    if p.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)}: {p.stderr.strip()}")
    return p.stdout


def unavailable():
    """Why namespaces cannot be built here, or None."""
    if os.geteuid() != 0:
        return "needs root to build network namespaces"
    p = subprocess.run(["unshare", "-n", "--", "ip", "link", "add", "t0", "type", "bridge"],
                       capture_output=True, text=True, timeout=30)
    if p.returncode != 0:
        return "cannot build network namespaces: " + p.stderr.strip()
    return None


@contextlib.contextmanager
def default_socket_buffers():
    """Sets the socket buffer sizes and limits (net.core.wmem_max and its
    kin) to the kernel's defaults, as on a board that nobody has tuned.
    They are the whole machine's (a namespace cannot have its own), so
    they are put back afterwards."""
    keys = [f"net.core.{k}" for k in ("wmem_max", "rmem_max", "wmem_default", "rmem_default")]
    was = dict(zip(keys, harness.run(["sysctl", "-n", *keys], 30).split()))
    harness.run(["sysctl", "-qw", *(f"{k}=212992" for k in keys)], 30)
    try:
        yield
    finally:
        harness.run(["sysctl", "-qw", *(f"{k}={v}" for k, v in was.items())], 30)


def _remove_stale():
    """Takes down beds left by test runs that were killed outright."""
    for name in os.listdir("/run/netns") if os.path.isdir("/run/netns") else []:
        parts = name.split("-")
        if parts[0] == "cvlan" and len(parts) > 2 and parts[1].isdigit() \
                and not os.path.exists(f"/proc/{parts[1]}"):
            subprocess.run(["ip", "netns", "del", name], capture_output=True, timeout=30)
            shutil.rmtree(f"/etc/netns/{name}", ignore_errors=True)


class Lan:
    def __init__(self):
        _remove_stale()
        self.prefix = f"cvlan-{os.getpid()}-{id(self) % 10000}"
        self.namespaces = []
        self.procs = []
        self.ports = 0
        try:
            self.switch = self.namespace("sw")
            ip("link", "add", SWITCH, "type", "bridge", ns=self.switch)
            ip("link", "set", SWITCH, "up", ns=self.switch)
        except BaseException:
            self.close()
            raise

    def namespace(self, name):
        ns = f"{self.prefix}-{name}"
        ip("netns", "add", ns)
        self.namespaces.append(ns)
        self.sysctl(ns, {f"net.ipv4.conf.{which}.{key}": value for key, value in CONF.items()
                         for which in ("all", "default")})
        return ns

    def sysctl(self, ns, settings):
        harness.run(["ip", "netns", "exec", ns, "sysctl", "-qw",
                     *(f"{key}={value}" for key, value in settings.items())], 60)

    def resolver(self, ns, conf):
        """Gives ns its own resolv.conf (the text `conf`), as ip netns exec
        mounts it, until the LAN is closed."""
        os.makedirs(f"/etc/netns/{ns}")
        with open(f"/etc/netns/{ns}/resolv.conf", "w") as f:
            f.write(conf)

    def attach(self, ns, nics):
        """Gives ns one veth port on the bridge per entry of nics
        ({interface: address/prefix}), all up."""
        switch_cmds, ns_cmds = [], ["link set lo up"]
        for ifname, addr in nics.items():
            port = f"p{self.ports}"
            self.ports += 1
            switch_cmds += [f"link add {port} type veth peer name {ifname} netns {ns}",
                            f"link set {port} master {SWITCH} up"]
            ns_cmds += [f"addr add {addr} dev {ifname}", f"link set {ifname} up"]
        ip(ns=self.switch, stdin="\n".join(switch_cmds) + "\n")
        ip(ns=ns, stdin="\n".join(ns_cmds) + "\n")
        self.sysctl(ns, {f"net.ipv4.neigh.{ifname}.{key}": value for key, value in NEIGH.items()
                         for ifname in nics})

    def host(self, name, nics):
        """A host with several interfaces on the one bridge. It answers ARP
        only on the interface that holds the address asked for, as a host
        with two real segments would."""
        ns = self.namespace(name)
        self.attach(ns, nics)
        self.run(ns, ["sysctl", "-qw", "net.ipv4.conf.all.arp_ignore=1",
                      "net.ipv4.conf.all.arp_announce=2"])
        return ns

    def node(self, name, addr):
        ns = self.namespace(name)
        self.attach(ns, {"eth0": addr})
        return ns

    def tap(self, device):
        """A tap device on the bridge, for an emulator started in the
        switch namespace."""
        ip(ns=self.switch, stdin=f"tuntap add dev {device} mode tap\n"
                                 f"link set {device} master {SWITCH} up\n")

    def spawn(self, ns, cmd, seconds=300, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        proc = harness.spawn(["ip", "netns", "exec", ns] + cmd, seconds, **kwargs)
        proc.ns = ns
        self.procs.append(proc)
        return proc

    def run(self, ns, cmd, timeout=60, **kwargs):
        kwargs.setdefault("capture_output", True)
        return subprocess.run(["ip", "netns", "exec", ns] + cmd, timeout=timeout,
                              stdin=subprocess.DEVNULL, **kwargs)

    def wait_bound(self, procs, port=wire.PORT, seconds=30):
        """Waits until each process holds UDP `port` in its namespace."""
        want = f":{port:04X} "
        deadline = time.monotonic() + seconds
        for proc in procs:
            netns = os.stat(f"/run/netns/{proc.ns}").st_ino
            while True:
                try:
                    if os.stat(f"/proc/{proc.pid}/ns/net").st_ino == netns:
                        with open(f"/proc/{proc.pid}/net/udp") as f:
                            if any(want in line.split(None, 2)[1] + " "
                                   for line in f.readlines()[1:]):
                                break
                except OSError:
                    pass
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"{proc.args} in {proc.ns} did not bind port {port}")
                time.sleep(0.02)

    def close(self):
        for proc in self.procs:
            harness.stop(proc)
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=60)
            shutil.rmtree(f"/etc/netns/{ns}", ignore_errors=True)
        self.namespaces = []
