"""A real Active Directory domain controller: Samba's samba on 127.0.0.1,
serving CORP (corp.example) from a provision of its own under a folder.

SambaDC(folder) provisions the domain once and fills it with the objects
below; a folder that holds a finished provision is used as it is, so one
provisioning serves every test module of a run. start() waits until LDAP
and SMB answer and stop() ends samba and every process it started (also as a
context manager). LDAP answers on 389 (simple binds allowed without TLS) and
636 with the test CA's server certificate (localhost, 127.0.0.1).

The directory holds names that break careless code: an OU with a comma
holding one with a slash, a user whose CN has a comma, a group with a comma
nested two deep, and one whose name is not ASCII.
"""
import base64
import fcntl
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import time

DOMAIN = "CORP"
REALM = "CORP.EXAMPLE"
DC_NAME = "DC1"
BASE_DN = "DC=corp,DC=example"
ADMIN_DN = f"CN=Administrator,CN=Users,{BASE_DN}"
ADMIN_PASSWORD = "Kestrin-Admin-1"
USER_PASSWORD = "Kestrin-User-1"
LDAP_URL = "ldap://127.0.0.1"
LDAPS_URL = "ldaps://127.0.0.1"

STAFF_DN = rf"OU=Staff\, EMEA,{BASE_DN}"
RD_DN = f"OU=R/D,{STAFF_DN}"
GROUPS_DN = f"OU=Groups,{BASE_DN}"
WORKSTATIONS_DN = f"OU=Workstations,{BASE_DN}"
BOB_DN = rf"CN=Smith\, Bob,{RD_DN}"
CAROL_DN = f"CN=carol,CN=Users,{BASE_DN}"
DOMAIN_USERS_DN = f"CN=Domain Users,CN=Users,{BASE_DN}"
SALES_WEST_DN = rf"CN=Sales\, West,{GROUPS_DN}"
SALES_DN = f"CN=Sales,{GROUPS_DN}"
EVERYONE_SALES_DN = f"CN=Everyone Sales,{GROUPS_DN}"
QUALITY_DN = f"CN=Équipe Qualité,{GROUPS_DN}"

# RFC 2307 numbers: Domain Users is the users' group by gidNumber.
DOMAIN_USERS_GID, BOB_UID, CAROL_UID, SALES_WEST_GID, QUALITY_GID = 10000, 10001, 10002, 10101, 10102


def _password(text):
    return base64.b64encode(f'"{text}"'.encode("utf-16-le")).decode()


def _ldif(dn, *lines):
    return "\n".join([f"dn:: {base64.b64encode(dn.encode()).decode()}", *lines]) + "\n"


def _ou(dn):
    return _ldif(dn, "objectClass: organizationalUnit")


def _user(dn, name, uid):
    return _ldif(dn, "objectClass: user", f"sAMAccountName: {name}", f"userPrincipalName: {name}@corp.example",
                 f"unicodePwd:: {_password(USER_PASSWORD)}", "userAccountControl: 512", f"uid: {name}",
                 f"uidNumber: {uid}", f"gidNumber: {DOMAIN_USERS_GID}", f"unixHomeDirectory: /home/{name}",
                 "loginShell: /bin/bash")


def _group(dn, name, members, gid=None):
    posix = ["objectClass: posixGroup", f"gidNumber: {gid}", "memberUid: bob"] if gid else []
    return _ldif(dn, "objectClass: group", *posix, f"sAMAccountName:: {base64.b64encode(name.encode()).decode()}",
                 *(f"member:: {base64.b64encode(m.encode()).decode()}" for m in members))


# In order: each object after those it names.
CONTENT = "\n".join([
    _ou(STAFF_DN), _ou(RD_DN), _ou(GROUPS_DN), _ou(WORKSTATIONS_DN),
    _user(BOB_DN, "bob", BOB_UID), _user(CAROL_DN, "carol", CAROL_UID),
    _group(SALES_WEST_DN, "Sales-West", [BOB_DN], SALES_WEST_GID),
    _group(SALES_DN, "Sales", [SALES_WEST_DN]),
    _group(EVERYONE_SALES_DN, "Everyone Sales", [SALES_DN]),
    _group(QUALITY_DN, "Équipe Qualité", [BOB_DN], QUALITY_GID),
    _ldif(DOMAIN_USERS_DN, "changetype: modify", "add: gidNumber", f"gidNumber: {DOMAIN_USERS_GID}"),
])


def sid_text(data):
    """The S-1-... form of a binary SID."""
    revision, count, authority = data[0], data[1], int.from_bytes(data[2:8], "big")
    subs = struct.unpack(f"<{count}I", data[8:8 + 4 * count])
    return "-".join(["S", str(revision), str(authority), *map(str, subs)])


# Attributes whose values are bytes, not text.
_BINARY = {"objectsid", "tokengroups", "objectguid"}


def parse_ldif(text):
    """[(dn, {attribute: [values]})] of ldapsearch's unwrapped LDIF; search
    references ("# refldap://...") and comments are left out."""
    entries = []
    for block in text.split("\n\n"):
        lines = [line for line in block.splitlines() if line and not line.startswith("#")]
        if not lines:
            continue
        attributes = {}
        for line in lines:
            name, _, value = line.partition(":")
            if value.startswith(":"):
                data = base64.b64decode(value[1:].strip())
                value = data if name.lower() in _BINARY else data.decode()
            else:
                value = value[1:] if value.startswith(" ") else value
            attributes.setdefault(name, []).append(value)
        dn = attributes.pop("dn")[0]
        entries.append((dn, attributes))
    return entries


class SambaDC:

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.dc = os.path.join(self.folder, "dc")
        self.conf = os.path.join(self.dc, "etc", "smb.conf")
        self.log_path = os.path.join(self.folder, "samba.log")
        tls = os.path.abspath(os.path.join(os.environ["KESTRIN_TEST_DATA"], "tls"))
        self.ca = os.path.join(tls, "ca.pem")
        # Kerberos tickets of samba-tool and net stay here, not in /tmp.
        self.env = dict(os.environ, LDAPTLS_CACERT=self.ca, LDAPTLS_REQCERT="demand",
                        KRB5CCNAME="FILE:" + os.path.join(self.folder, "krb5cc"),
                        KRB5_CONFIG=os.path.join(self.dc, "private", "krb5.conf"))
        self.process = None
        self._sid = None
        os.makedirs(self.folder, exist_ok=True)
        with open(os.path.join(self.folder, "provision.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            # The marker names what was provisioned: other content or other
            # certificates provision anew.
            marker, wanted = os.path.join(self.folder, "provisioned"), hashlib.sha256((CONTENT + tls).encode()).hexdigest()
            if not os.path.exists(marker) or open(marker).read() != wanted:
                # A provision that fails half-way must not pass for a finished one.
                if os.path.exists(marker):
                    os.remove(marker)
                self._provision(tls)
                with open(marker, "w") as file:
                    file.write(wanted)

    def _provision(self, tls):
        shutil.rmtree(self.dc, ignore_errors=True)
        options = {"interfaces": "lo", "bind interfaces only": "yes", "tls enabled": "yes",
                   "tls keyfile": f"{tls}/server.key", "tls certfile": f"{tls}/server.pem", "tls cafile": self.ca,
                   # Its folder takes the core dumps; the log itself is samba's output.
                   "log file": f"{self.dc}/log/%m.log"}
        # -s /dev/null: nothing comes from the system's smb.conf.
        self._run(["samba-tool", "domain", "provision", "-s", "/dev/null", "--use-rfc2307", f"--realm={REALM}",
                   f"--domain={DOMAIN}", "--server-role=dc", "--dns-backend=SAMBA_INTERNAL", f"--host-name={DC_NAME}",
                   f"--adminpass={ADMIN_PASSWORD}", f"--targetdir={self.dc}"]
                  + [f"--option={name}={value}" for name, value in options.items()])
        # Provisioning drops the first from the smb.conf it writes; the rest
        # keeps samba's run-time files in the folder. The winbindd socket
        # directory stays /run/samba/winbindd: smbd's winbind client library
        # knows no other.
        run = os.path.join(self.dc, "run")
        extra = {"ldap server require strong auth": "no", "pid directory": run,
                 "ncalrpc dir": f"{run}/ncalrpc", "ntp signd socket directory": f"{run}/ntp_signd"}
        with open(self.conf) as file:
            text = file.read()
        with open(self.conf, "w") as file:
            file.write(text.replace("[global]\n", "[global]\n" + "".join(f"\t{k} = {v}\n" for k, v in extra.items()),
                                    1))
        os.makedirs(os.path.join(self.dc, "log"), exist_ok=True)
        with self:
            self.ldap("ldapadd", input=CONTENT)

    def _run(self, args, input=None, check=True):
        result = subprocess.run(args, input=input, env=self.env, capture_output=True, text=True, timeout=120)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(args[:3])} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
        return result

    def start(self):
        if self._answers():
            raise RuntimeError("another server answers on 127.0.0.1 (LDAP and SMB) already")
        # Pid files of a samba that was killed would stop this one.
        shutil.rmtree(os.path.join(self.dc, "run"), ignore_errors=True)
        self.log_file = open(self.log_path, "a")
        # A session of its own: smbd and winbindd make process groups of
        # their own, but stay in samba's session, which stop() ends.
        self.process = subprocess.Popen(
            ["samba", "-s", self.conf, "--foreground", "--no-process-group", "--debug-stdout"],
            stdin=subprocess.DEVNULL, stdout=self.log_file, stderr=subprocess.STDOUT, env=self.env,
            start_new_session=True)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            if self._answers():
                return self
            time.sleep(0.2)
        self.stop()
        raise RuntimeError(f"samba did not answer on LDAP and SMB; its log ends:\n{self.log(40)}")

    def _answers(self):
        try:
            socket.create_connection(("127.0.0.1", 445), timeout=1).close()
        except OSError:
            return False
        return self._run(["ldapsearch", "-H", LDAP_URL, "-x", "-s", "base", "-b", "", "dnsHostName"],
                         check=False).returncode == 0

    def stop(self):
        if not self.process:
            return
        # samba ends its children; what is left of its session after 10 s is killed.
        session = str(self.process.pid)
        subprocess.run(["pkill", "-TERM", "-s", session])
        deadline = time.monotonic() + 10
        while self.process.poll() is None or _live_in_session(session):
            if time.monotonic() > deadline:
                subprocess.run(["pkill", "-KILL", "-s", session])
                break
            time.sleep(0.1)
        self.process.wait()
        self.process = None
        self.log_file.close()

    def log(self, lines=None):
        with open(self.log_path, errors="replace") as file:
            text = file.read()
        return "\n".join(text.splitlines()[-lines:]) if lines else text

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def ldap(self, tool, *args, input=None, url=LDAPS_URL, check=True):
        """ldapsearch, ldapadd or ldapmodify bound as the administrator."""
        return self._run([tool, "-H", url, "-x", "-D", ADMIN_DN, "-w", ADMIN_PASSWORD, *args], input=input,
                         check=check)

    def search(self, base, filter="(objectClass=*)", attributes=(), scope="sub"):
        """[(dn, {attribute: [values]})] as the directory answers; values are
        text, binary ones (objectSid, tokenGroups) bytes."""
        out = self.ldap("ldapsearch", "-LLL", "-o", "ldif-wrap=no", "-b", base, "-s", scope, filter,
                        *attributes).stdout
        return parse_ldif(out)

    def net(self, *args):
        """Output of net against this controller as the administrator."""
        for attempt in range(5):
            result = self._run(["net", *args, "-s", self.conf, "-S", "127.0.0.1", "--use-kerberos=off",
                                "-U", f"{DOMAIN}\\Administrator%{ADMIN_PASSWORD}"], check=attempt == 4)
            if result.returncode == 0:
                return result.stdout
            # winbindd may still be starting: smbd needs it for a session.
            time.sleep(1)

    @property
    def domain_sid(self):
        if not self._sid:
            self._sid = sid_text(self.search(BASE_DN, attributes=["objectSid"], scope="base")[0][1]["objectSid"][0])
        return self._sid

    def add_computer(self, name):
        """Makes the account of a workstation, unless it is there; its DN."""
        dn = f"CN={name},{WORKSTATIONS_DN}"
        result = self.ldap("ldapadd", input=_ldif(dn, "objectClass: computer", f"sAMAccountName: {name}$",
                                                   "userAccountControl: 4096"), check=False)
        if result.returncode not in (0, 68):    # 68: already exists
            raise RuntimeError(f"adding {dn} failed:\n{result.stdout}{result.stderr}")
        return dn


def _live_in_session(session):
    """Whether a process of the session still runs (zombies do not count)."""
    table = subprocess.run(["ps", "-e", "-o", "sid=,stat="], capture_output=True, text=True).stdout
    return any(line.split()[0] == session and not line.split()[1].startswith("Z") for line in table.splitlines())
