#!/usr/bin/python3
"""SMTP server for tests, listening on 127.0.0.1 only.

Modes:
  plain     plain SMTP, no TLS offered
  starttls  STARTTLS offered and required before any mail command
  tls       implicit TLS from the first byte

With --auth-file (a file holding "user:password") the server offers AUTH PLAIN
and LOGIN, accepts only that pair and refuses mail from clients that have not
logged in. Authentication over plain connections is allowed, as tests need it.

Every accepted message is written to FOLDER/NNNN.eml (first through a .part
file, renamed before the server answers 250), preceded by the header lines
X-Envelope-From, X-Data-Bytes (the size of the message data), X-Envelope-To
(one per recipient) and, after a login, X-Authenticated-As. Beside it,
FOLDER/NNNN.json holds the message as Python's email package reads it:

  envelope_from, envelope_to, authenticated_as, data_bytes
  headers           [[name, value], ...] of the top level, values decoded
  subject, to       decoded
  from_name, from_address
  content_type      of the whole message
  text              the first part that is no attachment: content_type,
                    charset, transfer_encoding and body (decoded text)
  attachments       [{file_name, content_type, transfer_encoding, size,
                    sha256, path}], path being FOLDER/NNNN-K.bin with the
                    decoded bytes
  defects           what the parser found wrong, as texts
  parse_error       only when the message could not be read at all

Both are in place before the server answers 250. With --discard only the
envelope lines and the envelope fields of the JSON are written, and the
message data itself is counted and dropped, so that very large messages cost
neither memory nor disk.

The first line on stdout is "LISTENING <port>"; --port 0 picks a free port.
SIGTERM and SIGINT stop the server.
"""

import argparse
import asyncio
import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import logging
import os
import shutil
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

CHUNK = 1 << 20
TERMINATOR = b"\r\n.\r\n"


class Mailbox:
    def __init__(self, folder, discard):
        self.folder = folder
        self.discard = discard
        self.count = 0

    def next_paths(self):
        self.count += 1
        final = os.path.join(self.folder, "%04d.eml" % self.count)
        return final + ".part", final


def write_atomically(path, data):
    with open(path + ".tmp", "wb") as out:
        out.write(data)
    os.replace(path + ".tmp", path)


def decoded_words(raw):
    """A raw header value with its encoded words decoded and no structure read."""
    unfolded = raw.replace("\r\n", "").replace("\n", "")
    return str(email.header.make_header(email.header.decode_header(unfolded)))


def header_value(message, name, raw):
    # The structured parser refuses some values a client can still send
    # (a display name holding a line break); those are shown as decoded text.
    try:
        return str(message.policy.header_fetch_parse(name, raw))
    except Exception:
        return decoded_words(raw)


def describe_message(raw, base_path):
    """The message as the email package reads it, as a JSON-ready dict.
    Attachments are written decoded to base_path-K.bin."""
    message = email.message_from_bytes(raw, policy=email.policy.default)
    headers = [[name, header_value(message, name, value)] for name, value in message.raw_items()]
    first = {}
    for name, value in message.raw_items():
        first.setdefault(name.lower(), value)
    parsed = {
        "headers": headers,
        "subject": header_value(message, "Subject", first.get("subject", "")),
        "to": header_value(message, "To", first.get("to", "")),
        "from_name": "",
        "from_address": "",
        "content_type": message.get_content_type(),
        "text": None,
        "attachments": [],
    }
    if "from" in first:
        try:
            (sender,) = message.policy.header_fetch_parse("From", first["from"]).addresses
            parsed["from_name"], parsed["from_address"] = sender.display_name, sender.addr_spec
        except Exception:
            name, address = email.utils.parseaddr(first["from"].replace("\r\n", ""))
            parsed["from_name"], parsed["from_address"] = decoded_words(name), address
    for part in message.walk():
        if part.is_multipart():
            continue
        # Decoding adds what it finds wrong (bad padding, say) to the part's defects.
        data = part.get_payload(decode=True) or b""
        encoding = part.get("Content-Transfer-Encoding", "")
        if part.get_filename() is None and parsed["text"] is None:
            charset = part.get_content_charset() or "us-ascii"
            parsed["text"] = {
                "content_type": part.get_content_type(),
                "charset": charset,
                "transfer_encoding": str(encoding).lower(),
                "body": data.decode(charset, "replace"),
            }
            continue
        path = "%s-%d.bin" % (base_path, len(parsed["attachments"]) + 1)
        write_atomically(path, data)
        parsed["attachments"].append({
            "file_name": part.get_filename() or "",
            "content_type": part.get_content_type(),
            "transfer_encoding": str(encoding).lower(),
            "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest(),
            "path": path,
        })
    parsed["defects"] = [repr(d) for part in message.walk() for d in part.defects]
    return parsed


class RecordingSMTP(SMTP):
    """Streams DATA to disk instead of collecting it in memory."""

    def __init__(self, handler, mailbox, **kwargs):
        super().__init__(handler, **kwargs)
        self.mailbox = mailbox

    async def smtp_DATA(self, arg):
        if await self.check_helo_needed():
            return
        if await self.check_auth_needed("DATA"):
            return
        if not self.envelope.rcpt_tos:
            await self.push("503 Error: need RCPT command")
            return
        if arg:
            await self.push("501 Syntax: DATA")
            return
        await self.push("354 End data with <CR><LF>.<CR><LF>")

        part_path, final_path = self.mailbox.next_paths()
        received = 0
        # The reader's limit is the command line length; message data is read
        # in large chunks, so the limit is raised while DATA lasts.
        saved_limit = self._reader._limit
        self._reader._limit = 4 * CHUNK
        try:
            with open(part_path, "wb") as out:
                # A virtual line break before the data lets the first line be
                # un-stuffed like every other one; it is never written.
                pending = b"\r\n"
                first = True
                while True:
                    chunk = await self._reader.read(CHUNK)
                    if not chunk:
                        return
                    pending += chunk
                    end = pending.find(TERMINATOR)
                    if end >= 0:
                        ready, rest = pending[:end + 2], pending[end + 5:]
                        if rest:
                            self._reader._buffer[:0] = rest
                    else:
                        # Cut before the last line break so that no "\r\n."
                        # straddles two pieces.
                        cut = pending.rfind(b"\r\n")
                        if cut <= 0:
                            continue
                        ready, pending = pending[:cut], pending[cut:]
                    ready = ready.replace(b"\r\n.", b"\r\n")
                    if first:
                        ready = ready[2:]
                        first = False
                    received += len(ready)
                    if not self.mailbox.discard:
                        out.write(ready)
                    if end >= 0:
                        break
            with open(final_path + ".tmp", "wb") as final, open(part_path, "rb") as data:
                final.write(self.envelope_header(received))
                shutil.copyfileobj(data, final)
            os.replace(final_path + ".tmp", final_path)
            self.write_description(part_path, final_path, received)
        finally:
            self._reader._limit = saved_limit
            if os.path.exists(part_path):
                os.unlink(part_path)
        self._set_post_data_state()
        await self.push("250 OK")

    def write_description(self, data_path, final_path, received):
        base_path = final_path[:-len(".eml")]
        description = {
            "envelope_from": self.envelope.mail_from or "",
            "envelope_to": list(self.envelope.rcpt_tos),
            "authenticated_as": self.authenticated_as(),
            "data_bytes": received,
        }
        if not self.mailbox.discard:
            try:
                with open(data_path, "rb") as data:
                    description.update(describe_message(data.read(), base_path))
            except Exception as error:  # the test reads the reason instead of a crash
                description["parse_error"] = "%s: %s" % (type(error).__name__, error)
        # Header bytes that are no UTF-8 come back from the parser as lone
        # surrogates, which UTF-8 cannot carry: they are written as "?".
        write_atomically(base_path + ".json",
                         json.dumps(description, ensure_ascii=False).encode("utf-8", "replace"))

    def authenticated_as(self):
        if self.session.authenticated and isinstance(self.session.auth_data, LoginPassword):
            return self.session.auth_data.login.decode("utf-8", "replace")
        return ""

    def envelope_header(self, received):
        lines = ["X-Envelope-From: %s" % (self.envelope.mail_from or "")]
        lines += ["X-Data-Bytes: %d" % received]
        lines += ["X-Envelope-To: %s" % rcpt for rcpt in self.envelope.rcpt_tos]
        if self.authenticated_as():
            lines.append("X-Authenticated-As: %s" % self.authenticated_as())
        return ("\r\n".join(lines) + "\r\n").encode("utf-8")


class Handler:
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        # A server without mechanisms would still list an empty AUTH line.
        return [r for r in responses if r.strip() != "250-AUTH"]


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        ok = (auth_data.login == user.encode("utf-8")
              and auth_data.password == password.encode("utf-8"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticate


def parse_args():
    parser = argparse.ArgumentParser(description="SMTP server for tests (127.0.0.1 only)")
    parser.add_argument("--mode", choices=["plain", "starttls", "tls"], default="plain")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert", help="server certificate (PEM), for starttls and tls")
    parser.add_argument("--key", help="server private key (PEM), for starttls and tls")
    parser.add_argument("--auth-file", help='file holding "user:password"')
    parser.add_argument("--folder", required=True, help="where received messages are written")
    parser.add_argument("--discard", action="store_true", help="count message data, keep none")
    parser.add_argument("--verbose", action="store_true", help="log every session to stderr")
    args = parser.parse_args()
    if args.mode != "plain" and not (args.cert and args.key):
        parser.error("--cert and --key are needed for mode %s" % args.mode)
    return args


async def serve(args):
    loop = asyncio.get_running_loop()
    context = None
    if args.mode != "plain":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)

    smtp_kwargs = dict(
        hostname="corvella-test-smtp",
        data_size_limit=None,
        auth_require_tls=False,
    )
    if args.auth_file:
        with open(args.auth_file, encoding="utf-8") as f:
            user, _, password = f.read().rstrip("\r\n").partition(":")
        smtp_kwargs["authenticator"] = make_authenticator(user, password)
        smtp_kwargs["auth_required"] = True
    else:
        # Without credentials the server offers no login at all.
        smtp_kwargs["auth_exclude_mechanism"] = ["PLAIN", "LOGIN"]
    if args.mode == "starttls":
        smtp_kwargs["tls_context"] = context
        smtp_kwargs["require_starttls"] = True

    mailbox = Mailbox(args.folder, args.discard)
    handler = Handler()
    server = await loop.create_server(
        lambda: RecordingSMTP(handler, mailbox, loop=loop, **smtp_kwargs),
        host="127.0.0.1",
        port=args.port,
        ssl=context if args.mode == "tls" else None,
    )
    stopped = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stopped.set)
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("LISTENING %d\n" % port)
    sys.stdout.flush()
    await stopped.wait()
    server.close()
    await server.wait_closed()


def main():
    args = parse_args()
    os.makedirs(args.folder, exist_ok=True)
    # aiosmtpd warns when AUTH is required without TLS, which tests want, and
    # logs every failed handshake with a traceback, which tests provoke.
    warnings.simplefilter("ignore")
    logging.basicConfig(stream=sys.stderr, format="smtp_server: %(message)s",
                        level=logging.DEBUG if args.verbose else logging.CRITICAL)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
