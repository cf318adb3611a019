"""SMTP sink for the mail tests: stores every message it accepts.

Usage: smtp_sink.py PORT_FILE OUT_DIR [normal|stall-data|starttls|starttls-auth|pipelining|
                                        limit|drop|drop-in-data|idle|starttls-broken|discard|
                                        slow-greeting|rcpt-limit|refuse-once|drop-once|ignore-starttls]
Listens on 127.0.0.1 on a free port and writes the port to PORT_FILE.
Each message becomes OUT_DIR/N.eml (the data as received) and OUT_DIR/N.env
(MAIL FROM on the first line, one RCPT TO per following line), both in place
before N.done appears. Recipients whose local part starts with "reject" are
refused with 550. In stall-data mode the DATA command is never answered.
The starttls modes offer STARTTLS with a certificate made for the run; with
-auth, STARTTLS and AUTH (user "listuser", password "secret") are required.
Each session's TLS and login state is appended to OUT_DIR/sessions.
In pipelining mode the server offers PIPELINING, as most real servers do.
The next modes end connections as real servers do, each after two messages of
a connection: limit answers the third MAIL with 421 and closes; drop closes
right after accepting the second; drop-in-data stores the second and closes
before answering its data, so the client cannot know it arrived. In idle mode
a connection that says nothing for a second is closed. In starttls-broken mode
STARTTLS is offered and accepted, but the handshake fails. In discard mode
N.eml holds only the size of the data, for benchmarks of large messages. In
slow-greeting mode each connection waits half a second before the greeting.
The once modes fail the second message of the sink's whole life, whatever
connection it comes on, and take every other: refuse-once answers its data
with 451 and does not keep it, drop-once keeps it and closes the connection
before answering, so the client cannot know it arrived.
In rcpt-limit mode a message takes at most three recipients; the fourth RCPT
of a transaction is answered 452, as servers with a recipient limit do.
In ignore-starttls mode STARTTLS is not offered, and a client that sends it
anyway gets no answer, as from servers that ignore commands they do not know.
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
        if self.mode == "starttls-broken":
            responses.insert(len(responses) - 1, "250-STARTTLS")
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.mode == "limit" and getattr(session, "messages", 0) >= MESSAGES_PER_CONNECTION:
            asyncio.get_running_loop().call_soon(server.transport.close)
            return "421 4.7.0 Too many messages in this connection, closing"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("reject"):
            return "550 5.1.1 No such user here"
        if self.mode == "rcpt-limit" and len(envelope.rcpt_tos) >= RECIPIENTS_PER_MESSAGE:
            return "452 4.5.3 Too many recipients"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.mode == "stall-data":
            await asyncio.sleep(3600)
        self.offered = getattr(self, "offered", 0) + 1
        if self.mode == "refuse-once" and self.offered == 2:
            return "451 4.3.0 Try again later"
        self.count += 1
        session.messages = getattr(session, "messages", 0) + 1
        with open(os.path.join(self.out_dir, "sessions"), "a") as f:
            f.write("tls=%s login=%s\n" % (session.ssl is not None,
                                            "listuser" if session.authenticated else None))
        base = os.path.join(self.out_dir, str(self.count))
        with open(base + ".eml", "wb") as f:
            if self.mode == "discard":
                f.write(str(len(envelope.original_content)).encode())
            else:
                f.write(envelope.original_content)
        with open(base + ".env", "w") as f:
            f.write(envelope.mail_from + "\n")
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt + "\n")
        open(base + ".done", "w").close()
        if self.mode == "drop-once" and self.offered == 2:
            server.transport.close()
            return "421 never seen"
        if session.messages == MESSAGES_PER_CONNECTION:
            if self.mode == "drop":
                asyncio.get_running_loop().call_soon(server.transport.close)
            elif self.mode == "drop-in-data":
                server.transport.close()
                return "421 never seen"
        return "250 Message accepted for delivery"


class BrokenTlsSMTP(SMTP):
    """Accepts STARTTLS, then answers the handshake with bytes that are no TLS."""

    async def smtp_STARTTLS(self, arg):
        await self.push("220 Ready to start TLS")
        self._writer.write(b"this is not a TLS record\r\n" * 4)
        self.transport.close()


class IgnoringSMTP(SMTP):
    async def smtp_STARTTLS(self, arg):  # never offered, never answered
        pass


class SlowGreetingSMTP(SMTP):
    """Keeps a client waiting before the greeting, as a busy server does."""

    async def _handle_client(self):
        await asyncio.sleep(0.5)
        await super()._handle_client()


MESSAGES_PER_CONNECTION = 2
RECIPIENTS_PER_MESSAGE = 3


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
    if mode == "idle":
        options["timeout"] = 1
    protocol = {"starttls-broken": BrokenTlsSMTP, "slow-greeting": SlowGreetingSMTP,
                "ignore-starttls": IgnoringSMTP}.get(mode, SMTP)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: protocol(handler, decode_data=False, hostname="sink.test", **options),
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
