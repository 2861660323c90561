#!/usr/bin/env python3
"""Writes the TLS certificates the tests use, made by openssl: a test CA that
the test session trusts (ca.pem), a server certificate under it for localhost
and 127.0.0.1 (server.pem, with its key), one for client authentication only
(client.pem), and a server certificate under a CA nobody trusts
(stranger.pem, stranger-ca.pem)."""
import os
import subprocess
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def openssl(*args):
    subprocess.run(["openssl", *args], cwd=out, check=True, capture_output=True)


def ca(name, subject):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.pem",
            "-days", "3650", "-subj", f"/CN={subject}")


def leaf(name, issuer, usage):
    with open(os.path.join(out, f"{name}.ext"), "w") as ext:
        ext.write(f"subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage={usage}\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{issuer}.pem", "-CAkey", f"{issuer}.key",
            "-CAcreateserial", "-out", f"{name}.pem", "-days", "3650", "-extfile", f"{name}.ext")


ca("ca", "Kestrin Test CA")
ca("stranger-ca", "Kestrin Stranger CA")
leaf("server", "ca", "serverAuth")
leaf("client", "ca", "clientAuth")
leaf("stranger", "stranger-ca", "serverAuth")
