#!/usr/bin/python3
"""A throwaway RFC 3161 timestamp authority on this machine, for rehearsing the release command offline.

    timestamp_authority.py FOLDER [--clock "YYYY-MM-DD hh:mm:ss"]

The first run makes in FOLDER a root certificate, FOLDER/ca.pem, and the authority's certificate signed by it,
whose one use is time-stamping (critical extended key usage), as verifiers require of an authority. It then
answers timestamp queries over HTTP on 127.0.0.1, on a free port, with `openssl ts -reply`, prints its URL and
serves until interrupted. Give the URL to ship.sh with --timestamp and FOLDER/ca.pem with --timestamp-ca-file.

With --clock (UTC) every stamp carries that time, held still, instead of the machine's (the replies are made
under faketime): a signature stamped that way shows that its time is the authority's, not the signer's clock.
"""

import argparse
import datetime
import http.server
import os
import shutil
import subprocess
import sys
import threading

CONFIG = """[tsa]
default_tsa = authority
[authority]
serial = {folder}/serial
signer_cert = {folder}/tsa.pem
signer_key = {folder}/tsa.key
certs = {folder}/ca.pem
signer_digest = sha256
digests = sha256
ess_cert_id_alg = sha256
# A policy of its own: a rehearsal stamp promises nothing.
default_policy = 1.2.3.4.1
"""


def make(folder):
    """The authority's certificates and openssl settings in FOLDER, made once; returns the settings file."""
    config = os.path.join(folder, "openssl-ts.cnf")
    if os.path.isfile(config):
        return config
    os.makedirs(folder, exist_ok=True)
    ca, ca_key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    new = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650"]
    for command in (new + ["-subj", "/CN=Wellhaven rehearsal timestamp root", "-keyout", ca_key, "-out", ca],
                    new + ["-subj", "/CN=Wellhaven rehearsal timestamp authority", "-CA", ca, "-CAkey", ca_key,
                           "-addext", "basicConstraints=critical,CA:FALSE",
                           "-addext", "extendedKeyUsage=critical,timeStamping",
                           "-keyout", os.path.join(folder, "tsa.key"), "-out", os.path.join(folder, "tsa.pem")]):
        subprocess.run(command, check=True, capture_output=True)
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("01\n")
    # Written last: a folder without it is made again from the start.
    with open(config, "w") as f:
        f.write(CONFIG.format(folder=folder))
    return config


class Reply(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        command = ["openssl", "ts", "-reply", "-config", self.server.config, "-queryfile", "/dev/stdin"]
        if self.server.clock:
            command = ["faketime", "-f", self.server.clock] + command
        done = subprocess.run(command, input=query, capture_output=True, env=dict(os.environ, TZ="UTC"))
        if done.returncode != 0 or not done.stdout:
            self.send_error(500, "openssl ts -reply failed")
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(done.stdout)))
        self.end_headers()
        self.wfile.write(done.stdout)

    def log_message(self, *args):
        pass


def serve(folder, clock=None):
    """The authority, not yet serving; url and ca_file say how to use it."""
    folder = os.path.abspath(folder)
    server = http.server.HTTPServer(("127.0.0.1", 0), Reply)
    server.config, server.clock = make(folder), clock
    server.url = "http://127.0.0.1:%d/" % server.server_address[1]
    server.ca_file = os.path.join(folder, "ca.pem")
    return server


def start(folder, clock=None):
    """The authority serving on a thread of this process until its shutdown()."""
    server = serve(folder, clock)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main(argv):
    parser = argparse.ArgumentParser(prog="timestamp_authority.py", description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", help="where the authority's certificates are (made on the first run)")
    parser.add_argument("--clock", help="the time, UTC, that every stamp carries (needs faketime)")
    args = parser.parse_args(argv)
    if args.clock:
        try:
            datetime.datetime.strptime(args.clock, "%Y-%m-%d %H:%M:%S")
        except ValueError:
            parser.error("--clock %r is not YYYY-MM-DD hh:mm:ss" % args.clock)
        if not shutil.which("faketime"):
            parser.error("--clock needs faketime (scripts/deps.sh test installs it)")
    server = serve(args.folder, args.clock)
    print("timestamp authority: %s (root certificate: %s)" % (server.url, server.ca_file), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
