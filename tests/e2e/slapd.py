"""A real OpenLDAP slapd on a loopback port, with a configuration and a small
POSIX-style directory of its own under the build folder.

Slapd(contexts=1) serves dc=corp,dc=example; contexts=2 adds dc=other,
dc=example, so that the root DSE lists two naming contexts. With tls_port it
also answers LDAP over TLS there, with the test CA's server certificate. The directory is
loaded offline with slapadd before the server starts; start() waits until it
answers and stop() ends it (also as a context manager).
"""
import os
import shutil
import socket
import subprocess
import time

BASE_DN = "dc=corp,dc=example"
OTHER_BASE_DN = "dc=other,dc=example"
READER_DN = f"cn=reader,{BASE_DN}"
READER_PASSWORD = "readerpw"
PEOPLE = f"ou=People,{BASE_DN}"
GROUPS = f"ou=Groups,{BASE_DN}"

ALICE_DN = f"uid=alice,ou=Sales,{PEOPLE}"
BOB_DN = f"uid=bob,{PEOPLE}"
CAROL_DN = f"uid=carol,{PEOPLE}"
# Names that change a filter when put into it unescaped.
ODD_UID = "x)(uid=*"
ODD_DN = rf"uid=x)(uid\3D*,{PEOPLE}"
STAR_UID = "star*"
STAR_DN = f"uid=star*,{PEOPLE}"
STARLING_DN = f"uid=starling,{PEOPLE}"

STAFF_DN = f"cn=staff,{GROUPS}"
DEVELOPERS_DN = f"cn=developers,{GROUPS}"
BOBS_DN = f"cn=bobs,{GROUPS}"
ODD_GROUP_DN = f"cn=odd,{GROUPS}"
STARS_DN = f"cn=stars,{GROUPS}"
STARLINGS_DN = f"cn=starlings,{GROUPS}"

SCHEMAS = ("core", "cosine", "nis", "inetorgperson")


def _user(dn, uid, gid):
    return (f"dn: {dn}\nobjectClass: account\nobjectClass: posixAccount\nuid: {uid}\ncn: {uid}\n"
            f"uidNumber: {gid}\ngidNumber: {gid}\nhomeDirectory: /home/{gid}\n")


def _group(dn, gid, members=()):
    return (f"dn: {dn}\nobjectClass: posixGroup\ncn: {dn.split(',')[0][3:]}\ngidNumber: {gid}\n"
            + "".join(f"memberUid: {member}\n" for member in members))


def _suffix(dn, name):
    return f"dn: {dn}\nobjectClass: dcObject\nobjectClass: organization\ndc: {name}\no: {name}\n"


def _ou(dn):
    return f"dn: {dn}\nobjectClass: organizationalUnit\nou: {dn.split(',')[0][3:]}\n"


DIRECTORY = "\n".join([
    _suffix(BASE_DN, "corp"),
    f"dn: {READER_DN}\nobjectClass: organizationalRole\nobjectClass: simpleSecurityObject\n"
    f"cn: reader\nuserPassword: {READER_PASSWORD}\n",
    _ou(PEOPLE), _ou(f"ou=Sales,{PEOPLE}"), _ou(GROUPS),
    _user(ALICE_DN, "alice", 5000), _user(BOB_DN, "bob", 5001), _user(CAROL_DN, "carol", 6000),
    _user(ODD_DN, ODD_UID, 7000), _user(STAR_DN, STAR_UID, 7001), _user(STARLING_DN, "starling", 7002),
    # staff is alice's group by gidNumber and by membership.
    _group(STAFF_DN, 5000, ["alice", "bob"]), _group(DEVELOPERS_DN, 5002, ["alice"]),
    _group(BOBS_DN, 5001), _group(ODD_GROUP_DN, 7000),
    # Groups that "star*" and "x)(uid=*" would reach as filter patterns.
    _group(STARS_DN, 7001), _group(STARLINGS_DN, 7002, ["starling"]),
])


def _database(suffix, folder):
    return f"database mdb\nsuffix \"{suffix}\"\ndirectory {folder}\nmaxsize 10485760\n"


class Slapd:

    def __init__(self, folder, port=3389, contexts=1, tls_port=None):
        self.folder, self.port, self.contexts, self.tls_port = folder, port, contexts, tls_port
        self.url = f"ldap://127.0.0.1:{port}/"
        self.tls_url = f"ldaps://127.0.0.1:{tls_port}/" if tls_port else None
        # The "LDAP Server" text for the agent: host and port.
        self.host_text = f"127.0.0.1:{port}"
        self.process = None

    def _configure(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        suffixes = [(BASE_DN, "corp")] + ([(OTHER_BASE_DN, "other")] if self.contexts == 2 else [])
        config = "".join(f"include /etc/ldap/schema/{name}.schema\n" for name in SCHEMAS)
        config += f"pidfile {self.folder}/slapd.pid\nmodulepath /usr/lib/ldap\nmoduleload back_mdb\n"
        if self.tls_port:
            tls = os.path.join(os.environ["KESTRIN_TEST_DATA"], "tls")
            config += (f"TLSCertificateFile {tls}/server.pem\nTLSCertificateKeyFile {tls}/server.key\n"
                       f"TLSCACertificateFile {tls}/ca.pem\n")
        config += "access to * by * read\n"
        for suffix, name in suffixes:
            os.makedirs(os.path.join(self.folder, name))
            config += _database(suffix, os.path.join(self.folder, name))
        self.config = os.path.join(self.folder, "slapd.conf")
        with open(self.config, "w") as file:
            file.write(config)
        self._load(BASE_DN, DIRECTORY)
        if self.contexts == 2:
            self._load(OTHER_BASE_DN, _suffix(OTHER_BASE_DN, "other"))

    def _load(self, suffix, ldif):
        subprocess.run(["slapadd", "-q", "-f", self.config, "-b", suffix], input=ldif, text=True, check=True,
                       capture_output=True)

    def start(self):
        self._configure()
        self.log_file = open(os.path.join(self.folder, "slapd.log"), "w")
        # -d stats keeps slapd in the foreground and logs each operation with
        # the filter it received.
        urls = " ".join(filter(None, [self.url, self.tls_url]))
        self.process = subprocess.Popen(["slapd", "-f", self.config, "-h", urls, "-d", "stats"],
                                        stdout=self.log_file, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"slapd ended at start:\n{self.log()}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("slapd did not listen")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        if getattr(self, "log_file", None):
            self.log_file.close()

    def log(self):
        with open(os.path.join(self.folder, "slapd.log"), errors="replace") as file:
            return file.read()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
