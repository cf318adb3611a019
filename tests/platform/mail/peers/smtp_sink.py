"""SMTP sink for the mail tests: stores every message it accepts.

Usage: smtp_sink.py PORT_FILE OUT_DIR [normal|stall-data|starttls|starttls-auth|pipelining]
Listens on 127.0.0.1 on a free port and writes the port to PORT_FILE.
Each message becomes OUT_DIR/N.eml (the data as received) and OUT_DIR/N.env
(MAIL FROM on the first line, one RCPT TO per following line), both in place
before N.done appears. Recipients whose local part starts with "reject" are
refused with 550. In stall-data mode the DATA command is never answered.
The starttls modes offer STARTTLS with a certificate made for the run; with
-auth, STARTTLS and AUTH (user "listuser", password "secret") are required.
Each session's TLS and login state is appended to OUT_DIR/sessions.
In pipelining mode the server offers PIPELINING, as most real servers do.
"""
import asyncio
import os
import ssl
import subprocess
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Handler:
    def __init__(self, out_dir, mode):
        self.out_dir = out_dir
        self.mode = mode
        self.count = 0

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.mode == "pipelining":
            responses.insert(len(responses) - 1, "250-PIPELINING")
        return responses

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("reject"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.mode == "stall-data":
            await asyncio.sleep(3600)
        self.count += 1
        with open(os.path.join(self.out_dir, "sessions"), "a") as f:
            f.write("tls=%s login=%s\n" % (session.ssl is not None,
                                            "listuser" if session.authenticated else None))
        base = os.path.join(self.out_dir, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w") as f:
            f.write(envelope.mail_from + "\n")
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt + "\n")
        open(base + ".done", "w").close()
        return "250 Message accepted for delivery"


def check_login(server, session, envelope, mechanism, auth_data):
    ok = (isinstance(auth_data, LoginPassword) and auth_data.login == b"listuser"
          and auth_data.password == b"secret")
    return AuthResult(success=ok, handled=False)


async def watch_parent(parent):
    # A test that dies without stopping its peers must not leave them behind.
    while os.getppid() == parent:
        await asyncio.sleep(0.5)
    os._exit(0)


async def main():
    parent = os.getppid()
    port_file, out_dir = sys.argv[1], sys.argv[2]
    mode = sys.argv[3] if len(sys.argv) > 3 else "normal"
    handler = Handler(out_dir, mode)
    options = {}
    if mode.startswith("starttls"):
        key = os.path.join(out_dir, "..", "key.pem")
        cert = os.path.join(out_dir, "..", "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        options["tls_context"] = context
        if mode == "starttls-auth":
            options["require_starttls"] = True
            options["auth_required"] = True
            options["authenticator"] = check_login
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, decode_data=False, hostname="sink.test", **options),
        "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, port_file)
    watcher = asyncio.create_task(watch_parent(parent))
    async with server:
        await server.serve_forever()
    watcher.cancel()


if __name__ == "__main__":
    asyncio.run(main())
