"""Test certificates made with the openssl command.

make(dir) writes, once:
  ca.pem, ca.der          the test CA that the prefix trusts
  localhost.pem/.key      a server certificate for DNS:localhost signed by it
  rogue.pem/.key          a localhost certificate from a CA nobody trusts
"""
import os
import subprocess


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def _server_cert(name, ca, cwd):
    with open(os.path.join(cwd, "server.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
             "-subj", "/CN=localhost", cwd=cwd)
    _openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
             "-CAcreateserial", "-days", "3650", "-sha256", "-extfile", "server.ext", "-out", name + ".pem",
             cwd=cwd)


def _ca(name, subject, cwd):
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".pem",
             "-days", "3650", "-sha256", "-subj", subject,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=cwd)


def make(folder):
    os.makedirs(folder, exist_ok=True)
    if os.path.exists(os.path.join(folder, "rogue.pem")):
        return
    _ca("ca", "/CN=ZEPT Test CA", folder)
    _openssl("x509", "-in", "ca.pem", "-outform", "der", "-out", "ca.der", cwd=folder)
    _server_cert("localhost", "ca", folder)
    _ca("rogue-ca", "/CN=Untrusted Test CA", folder)
    _server_cert("rogue", "rogue-ca", folder)
