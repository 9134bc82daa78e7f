"""Signs a setup exe with Authenticode, in place, in one of three ways:

    sign.py EXE --cert PEM --key PEM                       a key file
    sign.py EXE --cert PEM --pkcs11-module SO --pkcs11-key URI
                [--pin-env NAME | --pin-file FILE]         a key on a token
    sign.py EXE --command "COMMAND ..." [--cafile PEM]     a signing service
    and in each: [--timestamp URL]
    sign.py EXE @FILE                                      the options in FILE, one a line

A key file or a token's key signs through osslsigncode (a token through
its PKCS#11 module and OpenSSL's pkcs11 engine, the key named by its
pkcs11: URI). A token's PIN is read from the environment variable NAME or
from FILE and reaches osslsigncode through a pipe: it is never on a command
line, so neither the build's log nor the process list shows it. A signing
service's command is run with the exe's path as its last argument, the way
its tools sign a file in place; the signature it leaves must then verify,
chained to --cafile or to the system's roots. The timestamp server (RFC
3161) countersigns in every way: osslsigncode asks it while signing, and
after a command that left no countersignature it is added to the signed exe.

Exit code 0 when the exe is signed and verifies; otherwise one line on
standard error (a token that refuses the PIN says so; any other failure of
osslsigncode gives its first line that names a cause) and exit code 1, and the exe is deleted, so that no unsigned
or half-signed exe passes for the release and the next build signs again.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys

OSSLSIGNCODE = "osslsigncode"
DESCRIPTION = "Tarnwick - Olvenmark"  # shown by Windows' prompt for a signed program


class Refused(Exception):
    """A signing that did not give a verified signature; its text is the line shown."""


def run(argv, pin=None):
    """Runs argv (with pin on its standard input, or none); returns (exit
    code, its output: standard error first, where osslsigncode says what
    went wrong). A missing program counts as failed."""
    try:
        done = subprocess.run(argv, input=pin or "", capture_output=True, text=True, timeout=600)
    except (OSError, subprocess.TimeoutExpired) as error:
        return 1, str(error)
    return done.returncode, done.stderr + done.stdout


# Lines of osslsigncode's output that say nothing of the cause: its summary,
# the engine it loaded, and OpenSSL's error queue ("...:error:13000080:...").
NOT_TELLING = re.compile(r'^(Failed|Engine ".*" set\.|[0-9A-F]+:error:[0-9A-F]+:.*)$')


def pin_refused(output):
    """Whether osslsigncode's output says that the token refused the PIN."""
    return "Login failed" in output or "PIN incorrect" in output


def failure_line(output, rc):
    """osslsigncode's first line that names the cause of a failure."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    telling = [line for line in lines if not NOT_TELLING.match(line)] or lines
    return "osslsigncode: " + (telling[0] if telling else "exit code %d" % rc)


def read_pin(args):
    """The token's PIN, or None when the token asks for none (a PIN pad)."""
    if args.pin_env:
        if args.pin_env not in os.environ:
            raise Refused("the environment variable %s (the token's PIN) is not set" % args.pin_env)
        return os.environ[args.pin_env]
    if args.pin_file:
        try:
            with open(args.pin_file) as f:
                return f.read().rstrip("\r\n")
        except OSError as error:
            raise Refused("cannot read the token's PIN from %s: %s" % (args.pin_file, error.strerror))
    return None


def osslsigncode_sign(exe, args):
    """Signs exe with the key file or the token's key."""
    argv = [OSSLSIGNCODE, "sign", "-certs", args.cert, "-h", "sha256", "-n", DESCRIPTION]
    pin = None
    if args.pkcs11_key:
        pin = read_pin(args)
        argv += ["-pkcs11module", args.pkcs11_module, "-key", args.pkcs11_key]
        if pin is not None:
            argv += ["-readpass", "/dev/stdin"]
    else:
        argv += ["-key", args.key]
    if args.timestamp:
        argv += ["-ts", args.timestamp]
    signed = exe + ".signed"
    rc, output = run(argv + ["-in", exe, "-out", signed], pin)
    if rc != 0 or not os.path.isfile(signed):
        if pin_refused(output):
            raise Refused("the token refused the PIN (osslsigncode: Login failed)")
        raise Refused("could not sign %s (%s)" % (exe, failure_line(output, rc)))
    os.replace(signed, exe)


def verify(exe, cafile):
    """(signature verifies, countersigned) for exe, chained to cafile or to the system's roots."""
    rc, output = run([OSSLSIGNCODE, "verify", "-in", exe] + (["-CAfile", cafile] if cafile else []))
    return rc == 0, "Timestamp is not available" not in output


def command_sign(exe, args):
    """Runs the publisher's signing command on exe and checks what it left."""
    try:
        # The service's tool may ask its user to sign in: it keeps the terminal.
        done = subprocess.run(shlex.split(args.command) + [exe], timeout=600)
        rc = done.returncode
    except (OSError, ValueError, subprocess.TimeoutExpired):
        rc = 127
    if rc != 0:
        raise Refused("the signing command failed with exit code %d: %s" % (rc, args.command))
    verified, countersigned = verify(exe, args.cafile)
    if not verified:
        raise Refused("the signing command left %s without a signature that verifies (%s)"
                      % (exe, "chained to " + args.cafile if args.cafile else "chained to the system's roots"))
    if args.timestamp and not countersigned:
        stamped = exe + ".signed"
        rc, output = run([OSSLSIGNCODE, "add", "-ts", args.timestamp, "-h", "sha256", "-in", exe, "-out", stamped])
        if rc != 0 or not os.path.isfile(stamped):
            raise Refused("the timestamp server %s did not countersign %s" % (args.timestamp, exe))
        os.replace(stamped, exe)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], fromfile_prefix_chars="@",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe")
    parser.add_argument("--cert", help="the certificate (PEM), for a key file or a token")
    parser.add_argument("--key", help="the private key file (PEM)")
    parser.add_argument("--pkcs11-module", help="the token's PKCS#11 module (.so)")
    parser.add_argument("--pkcs11-key", help="the key's pkcs11: URI")
    parser.add_argument("--pin-env", help="the environment variable that holds the token's PIN")
    parser.add_argument("--pin-file", help="the file that holds the token's PIN")
    parser.add_argument("--command", help="a signing command; the exe's path is added as its last argument")
    parser.add_argument("--cafile", help="the roots (PEM) a command's signature must chain to")
    parser.add_argument("--timestamp", help="an RFC 3161 timestamp server's URL")
    args = parser.parse_args(argv)
    if not args.command and not (args.cert and (args.key or (args.pkcs11_module and args.pkcs11_key))):
        parser.error("give --cert with --key, or with --pkcs11-module and --pkcs11-key; or give --command")
    try:
        if args.command:
            command_sign(args.exe, args)
        else:
            osslsigncode_sign(args.exe, args)
    except (Refused, OSError) as error:
        for path in (args.exe + ".signed", args.exe):
            if os.path.exists(path):
                os.remove(path)
        print("sign: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
