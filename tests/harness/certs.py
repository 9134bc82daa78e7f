"""Test certificates made with the openssl command.

make(dir) writes, once:
  ca.pem, ca.der          the test CA that the prefix trusts
  localhost.pem/.key      a server certificate for DNS:localhost signed by it
  rogue.pem/.key          a localhost certificate from a CA nobody trusts
and on first use:
  publisher.pem/.key      a code-signing certificate signed by the test CA (publisher(dir))
  tsa.pem/.key, tsa.cnf   an RFC 3161 timestamp authority's, and openssl's settings for it
                          (timestamp(dir, query) answers a query as a timestamp server does)
"""
import os
import subprocess


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def _leaf_cert(name, ca, cwd, subject="/CN=localhost",
               extensions="subjectAltName=DNS:localhost\nkeyUsage=digitalSignature,keyEncipherment\n"
                          "extendedKeyUsage=serverAuth\n"):
    with open(os.path.join(cwd, name + ".ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n" + extensions)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
             "-subj", subject, cwd=cwd)
    _openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
             "-CAcreateserial", "-days", "3650", "-sha256", "-extfile", name + ".ext", "-out", name + ".pem",
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
    _leaf_cert("localhost", "ca", folder)
    _ca("rogue-ca", "/CN=Untrusted Test CA", folder)
    _leaf_cert("rogue", "rogue-ca", folder)


def publisher(folder):
    """(certificate, key) of a code-signing certificate from the test CA in folder."""
    cert, key = os.path.join(folder, "publisher.pem"), os.path.join(folder, "publisher.key")
    if not os.path.exists(cert):
        _leaf_cert("publisher", "ca", folder, "/CN=Olvenmark Test Publisher",
                   "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    return cert, key


def timestamp(folder, query):
    """The reply of a timestamp authority of the test CA to an RFC 3161 query."""
    if not os.path.exists(os.path.join(folder, "tsa.pem")):
        _leaf_cert("tsa", "ca", folder, "/CN=ZEPT Test Timestamps",
                   "keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n")
        with open(os.path.join(folder, "tsa.cnf"), "w") as f:
            f.write("[tsa]\ndefault_tsa = test\n[test]\nserial = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n"
                    % os.path.join(folder, "tsa.serial"))
        with open(os.path.join(folder, "tsa.serial"), "w") as f:
            f.write("01\n")
    reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin",
                            "-signer", "tsa.pem", "-inkey", "tsa.key", "-chain", "ca.pem"], input=query,
                           cwd=folder, capture_output=True, check=True)
    return reply.stdout
