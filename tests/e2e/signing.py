"""Throwaway code-signing certificates, made with openssl for one test run,
and osslsigncode to sign program files with them (RSA: Wine refuses valid
ECDSA signatures)."""
import os
import subprocess
import tempfile

_EXTENSIONS = "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Signer:
    """A CA and a code-signing leaf under it, named as given; digest is the
    CA's signature algorithm on the leaf (Wine checks the chain of a leaf
    signed with SHA-1 only)."""

    def __init__(self, folder, name, subject="Kestrin Test Signer", digest="sha256"):
        self.folder = os.path.join(folder, name)
        os.makedirs(self.folder, exist_ok=True)
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                 "-days", "30", "-subj", f"/CN={subject} CA", f"-{digest}", cwd=self.folder)
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key", "-out", "leaf.csr",
                 "-subj", f"/CN={subject}", cwd=self.folder)
        with open(os.path.join(self.folder, "leaf.ext"), "w") as f:
            f.write(_EXTENSIONS)
        _openssl("x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                 "-out", "leaf.pem", "-days", "30", f"-{digest}", "-extfile", "leaf.ext", cwd=self.folder)
        self.certificates = os.path.join(self.folder, "chain.pem")
        with open(self.certificates, "w") as chain:
            for name in ("leaf.pem", "ca.pem"):
                with open(os.path.join(self.folder, name)) as f:
                    chain.write(f.read())
        self.key = os.path.join(self.folder, "leaf.key")

    def sign(self, data):
        """The bytes of the program data, signed."""
        with tempfile.TemporaryDirectory() as work:
            unsigned, signed = os.path.join(work, "in.exe"), os.path.join(work, "out.exe")
            with open(unsigned, "wb") as f:
                f.write(data)
            subprocess.run(["osslsigncode", "sign", "-certs", self.certificates, "-key", self.key, "-h", "sha256",
                            "-in", unsigned, "-out", signed], check=True, capture_output=True)
            with open(signed, "rb") as f:
                return f.read()
