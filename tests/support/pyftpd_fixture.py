"""Serves a folder over FTP with pyftpdlib for the interoperability tests.

Usage: pyftpd_fixture.py ROOT. Binds 127.0.0.1 on a free port, prints the port on one line and
serves user kestro / pelto3318 with write permission until killed.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user("kestro", "pelto3318", sys.argv[1], perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    # A refused login is answered at once; the tests need no brute-force brake.
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), handler)
    print(server.address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
