"""A pyftpdlib server on 127.0.0.1 for the tests: one user with full rights
on one folder. Prints "PORT <n>" once it listens, then serves until killed.
With a certificate and its key it requires explicit TLS (AUTH TLS) for the
login and for every data connection.

With --log FILE, every command it receives goes to FILE (passwords masked);
with --local-times, listings show local times (of the TZ it runs under)
rather than UTC; with --data-cert CERTFILE KEYFILE, data connections present
that certificate instead of the control connection's, as a machine in the
middle of them would.

Usage: pyftpd.py [--log FILE] [--local-times] [--data-cert CERTFILE KEYFILE]
                 ROOT USER PASSWORD [MAX_CONS_PER_IP [CERTFILE KEYFILE]]
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class SortedFS(AbstractedFS):
    """Every listing in name order, not the file system's, so that what a
    client does with a listing is the same on every machine."""

    def listdir(self, path):
        return sorted(super().listdir(path))


def main():
    if sys.argv[1] == "--log":
        handler = logging.FileHandler(sys.argv[2])
        handler.setFormatter(logging.Formatter("%(message)s"))
        logger = logging.getLogger("pyftpdlib")
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG)
        del sys.argv[1:3]
    ipv6 = sys.argv[1] == "--ipv6"
    if ipv6:
        del sys.argv[1]
    local_times = sys.argv[1] == "--local-times"
    if local_times:
        del sys.argv[1]
    data_cert = None
    if sys.argv[1] == "--data-cert":
        data_cert = sys.argv[2:4]
        del sys.argv[1:4]
    root, user, password = sys.argv[1:4]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    if len(sys.argv) > 6:
        from pyftpdlib.handlers import TLS_FTPHandler
        handler = TLS_FTPHandler
        handler.certfile = sys.argv[5]
        handler.keyfile = sys.argv[6]
        handler.tls_control_required = True
        handler.tls_data_required = True
        if data_cert:
            from OpenSSL import SSL
            from pyftpdlib.handlers import TLS_DTPHandler
            other = SSL.Context(SSL.TLS_SERVER_METHOD)
            other.use_certificate_chain_file(data_cert[0])
            other.use_privatekey_file(data_cert[1])

            class SwappedDTPHandler(TLS_DTPHandler):
                def secure_connection(self, ssl_context):
                    super().secure_connection(other)

            handler.dtp_handler = SwappedDTPHandler
    handler.authorizer = authorizer
    handler.abstracted_fs = SortedFS
    handler.use_gmt_times = not local_times
    handler.banner = "pyftpdlib ready"
    # A failed login answers at once: the tests that refuse one would wait
    # three seconds each otherwise.
    handler.auth_failed_timeout = 0
    handler.permit_foreign_addresses = False
    server = FTPServer(("::1" if ipv6 else "127.0.0.1", 0), handler)
    if len(sys.argv) > 4 and int(sys.argv[4]) > 0:
        server.max_cons_per_ip = int(sys.argv[4])
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
