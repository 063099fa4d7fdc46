#!/usr/bin/python3
"""A small SQL Server stand-in that speaks TDS 7.1 to 7.4 on 127.0.0.1.

Corvella's tests run their database code against it, and the desktop program
starts it as its demo server when no real server is configured. It needs only
the Python 3 standard library.

    tds_server.py --port 0 --login USER:PASSWORD ... --database NAME ...
                  [--backup-size BYTES] [--backup-delay-ms MS] [--journal FILE]

The first line on stdout is "LISTENING <port>". SIGTERM (or SIGINT) stops the
server; open sessions are dropped.

What it understands:
- PRELOGIN (no encryption offered), LOGIN7 with the obfuscated password checked
  against the --login pairs (login names compare without regard to case);
  a wrong login gets error 18456, an unknown database 4060 then 18456.
- SQL batches, split into statements at ";" and at the start of a new
  statement keyword:
  * BACKUP DATABASE name TO DISK = 'path' [WITH option, ...], the name plain or
    in brackets (]] for ]), the path as '...' or N'...' ('' for '). It writes
    --backup-size bytes of backup-like content to the path (after
    --backup-delay-ms), or answers 911 for an unknown database, 3201 for a
    folder that is missing or cannot be written, 3202 for a failed write,
    each followed by 3013.
  * SELECT [TOP n | TOP (n)] item, ... [FROM table] [UNION ALL SELECT ...]
    where an item is *, a column of the table, NULL, an integer, 'text' or
    N'text', REPLICATE(text, count) (at most 4000 characters), @@VERSION,
    @@SPID, @@SERVERNAME, DB_NAME(), SUSER_SNAME(), each with an optional
    [AS] alias. Tables: sys.databases (name, database_id) and dbo.Numbers
    (n INT 1..10000, label NVARCHAR(20) "Row <n>").
  * USE name, SET ..., PRINT 'text', WAITFOR DELAY 'hh:mm:ss[.fff]'.
  Anything else is answered with error 102 (incorrect syntax).
- Server cursors through remote procedure calls (by name or by number):
  sp_cursoropen on one SELECT of the kind above (keyset, static, dynamic,
  forward-only or fast-forward; the rows are taken when it opens),
  sp_cursorfetch with every fetch type (FIRST, NEXT, PREV, LAST, ABSOLUTE,
  RELATIVE, REFRESH, INFO, PREV_NOADJUST), sp_cursoroption and sp_cursorclose,
  with their return status and output parameters. Other procedures get error
  2812.
- Attention (cancel) packets, answered with an attention acknowledgement.

With --journal every batch and every procedure call is appended as one JSON
object per line: {"login": ..., "database": ..., "kind": "batch", "text": ...}
for a batch, and for a call "kind": "rpc" with "text" the procedure name and
its parameters as literals, output parameters marked OUTPUT, for example
"sp_cursorfetch 180201001, 2, NULL, 100".
"""

import argparse
import errno
import json
import os
import random
import re
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

SERVER_NAME = "CORVELLA-DEMO"
PRODUCT_NAME = "Microsoft SQL Server"
PRODUCT_VERSION = bytes([16, 0, 0x03, 0xE8])  # 16.0.1000
VERSION_TEXT = "Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64) (Corvella demo server)"
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])  # Latin1_General, case-insensitive
SYSTEM_DATABASES = ["master", "tempdb", "model", "msdb"]
NUMBERS_ROWS = 10000
PAGE = 8192

# Packet types.
PT_SQL_BATCH = 0x01
PT_RPC = 0x03
PT_REPLY = 0x04
PT_ATTENTION = 0x06
PT_TRANSACTION = 0x0E
PT_LOGIN7 = 0x10
PT_PRELOGIN = 0x12

# Done status bits.
DONE_FINAL = 0x00
DONE_MORE = 0x01
DONE_ERROR = 0x02
DONE_COUNT = 0x10
DONE_ATTN = 0x20


class ProtocolError(Exception):
    pass


class SqlError(Exception):
    """A server message that ends the statement: number, state, class, text."""

    def __init__(self, number, state, severity, text, follow=None):
        super().__init__(text)
        self.number = number
        self.state = state
        self.severity = severity
        self.text = text
        self.follow = follow or []


# ---------------------------------------------------------------------------
# Token encoding

def b_varchar(text):
    data = text.encode("utf-16-le")
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = text.encode("utf-16-le")
    return struct.pack("<H", len(data) // 2) + data


class Tokens:
    """Builds the tokens of one reply for a session's TDS version."""

    def __init__(self, tds72):
        self.tds72 = tds72
        self.parts = []

    def data(self):
        return b"".join(self.parts)

    def message(self, token, number, state, severity, text, line=1):
        body = struct.pack("<iBB", number, state, severity) + us_varchar(text)
        body += b_varchar(SERVER_NAME) + b_varchar("")
        body += struct.pack("<i", line) if self.tds72 else struct.pack("<H", line)
        self.parts.append(bytes([token]) + struct.pack("<H", len(body)) + body)

    def error(self, number, state, severity, text):
        self.message(0xAA, number, state, severity, text)

    def info(self, number, state, severity, text):
        self.message(0xAB, number, state, severity, text)

    def envchange_text(self, kind, new, old):
        body = bytes([kind]) + b_varchar(new) + b_varchar(old)
        self.parts.append(b"\xE3" + struct.pack("<H", len(body)) + body)

    def envchange_collation(self):
        body = bytes([7, len(COLLATION)]) + COLLATION + b"\x00"
        self.parts.append(b"\xE3" + struct.pack("<H", len(body)) + body)

    def loginack(self, tds_version):
        body = bytes([1]) + struct.pack(">I", tds_version) + b_varchar(PRODUCT_NAME) + PRODUCT_VERSION
        self.parts.append(b"\xAD" + struct.pack("<H", len(body)) + body)

    def done(self, status, curcmd=0, count=0):
        fmt = "<BHHQ" if self.tds72 else "<BHHI"
        self.parts.append(struct.pack(fmt, 0xFD, status, curcmd, count))

    def done_in_proc(self, status, curcmd=0, count=0):
        fmt = "<BHHQ" if self.tds72 else "<BHHI"
        self.parts.append(struct.pack(fmt, 0xFF, status, curcmd, count))

    def done_proc(self, status, curcmd=0, count=0):
        fmt = "<BHHQ" if self.tds72 else "<BHHI"
        self.parts.append(struct.pack(fmt, 0xFE, status, curcmd, count))

    def return_status(self, value):
        self.parts.append(b"\x79" + struct.pack("<i", value))

    def return_int(self, ordinal, name, value):
        """An output parameter of type int (INTN 4), NULL for None."""
        body = struct.pack("<H", ordinal) + b_varchar(name) + b"\x01"
        body += struct.pack("<I", 0) if self.tds72 else struct.pack("<H", 0)
        body += struct.pack("<H", 0x0001) + b"\x26\x04"
        body += b"\x00" if value is None else b"\x04" + struct.pack("<i", value)
        self.parts.append(b"\xAC" + body)

    def result(self, columns, rows):
        """columns: list of (name, kind, size) with kind 'int' or 'nvarchar'."""
        self.colmetadata(columns)
        self.rows(columns, rows)

    def colmetadata(self, columns):
        out = [b"\x81", struct.pack("<H", len(columns))]
        for name, kind, size in columns:
            out.append(struct.pack("<I", 0) if self.tds72 else struct.pack("<H", 0))
            out.append(struct.pack("<H", 0x0001))  # nullable
            if kind == "int":
                out.append(bytes([0x26, size]))
            else:
                out.append(b"\xE7" + struct.pack("<H", size * 2) + COLLATION)
            out.append(b_varchar(name))
        self.parts.append(b"".join(out))

    def rows(self, columns, rows):
        for row in rows:
            out = [b"\xD1"]
            for (name, kind, size), value in zip(columns, row):
                if kind == "int":
                    if value is None:
                        out.append(b"\x00")
                    else:
                        out.append(bytes([size]) + value.to_bytes(size, "little", signed=True))
                else:
                    if value is None:
                        out.append(b"\xFF\xFF")
                    else:
                        data = value.encode("utf-16-le")
                        out.append(struct.pack("<H", len(data)) + data)
            self.parts.append(b"".join(out))


# ---------------------------------------------------------------------------
# SQL text

TOKEN_RE = re.compile(
    r"""
    (?P<space>\s+|--[^\n]*|/\*.*?\*/)
  | (?P<string>N?'(?:[^']|'')*')
  | (?P<bracket>\[(?:[^\]]|\]\])*\])
  | (?P<quoted>"(?:[^"]|"")*")
  | (?P<var>@@?\w+)
  | (?P<number>\d+(?:\.\d+)?)
  | (?P<word>[^\W\d]\w*)
  | (?P<punct>[(),;.*=+\-<>:])
    """,
    re.VERBOSE | re.DOTALL,
)

STATEMENT_WORDS = {
    "SELECT", "SET", "USE", "BACKUP", "RESTORE", "PRINT", "WAITFOR", "EXEC", "EXECUTE",
    "DECLARE", "IF", "BEGIN", "COMMIT", "ROLLBACK", "INSERT", "UPDATE", "DELETE", "CREATE",
    "DROP", "ALTER",
}


class Tok:
    __slots__ = ("kind", "text", "value")

    def __init__(self, kind, text, value):
        self.kind = kind
        self.text = text
        self.value = value

    def word(self):
        return self.text.upper() if self.kind == "word" else None


def tokenize(text):
    tokens = []
    pos = 0
    while pos < len(text):
        m = TOKEN_RE.match(text, pos)
        if not m:
            raise SqlError(102, 1, 15, "Incorrect syntax near '%s'." % text[pos:pos + 10])
        pos = m.end()
        kind = m.lastgroup
        raw = m.group()
        if kind == "space":
            continue
        if kind == "string":
            body = raw[2:-1] if raw[0] in "Nn" else raw[1:-1]
            tokens.append(Tok(kind, raw, body.replace("''", "'")))
        elif kind == "bracket":
            tokens.append(Tok("ident", raw, raw[1:-1].replace("]]", "]")))
        elif kind == "quoted":
            tokens.append(Tok("ident", raw, raw[1:-1].replace('""', '"')))
        elif kind == "word":
            tokens.append(Tok("word", raw, raw))
        elif kind == "number":
            tokens.append(Tok(kind, raw, float(raw) if "." in raw else int(raw)))
        else:
            tokens.append(Tok(kind, raw, raw))
    if pos < len(text):
        raise SqlError(102, 1, 15, "Incorrect syntax near '%s'." % text[pos:pos + 10])
    return tokens


def split_statements(tokens):
    statements, current = [], []
    for i, tok in enumerate(tokens):
        if tok.kind == "punct" and tok.text == ";":
            if current:
                statements.append(current)
            current = []
            continue
        word = tok.word()
        if current and word in STATEMENT_WORDS:
            prev = tokens[i - 1]
            joined = (prev.kind == "punct" and prev.text == "(") or prev.word() in ("ALL", "UNION")
            # "SET" inside UPDATE ... SET, and the SELECT of INSERT ... SELECT, belong to it.
            first = current[0].word()
            if not joined and not (word == "SET" and first == "UPDATE") and not (
                    word == "SELECT" and first == "INSERT"):
                statements.append(current)
                current = []
        current.append(tok)
    if current:
        statements.append(current)
    return statements


class Cursor:
    def __init__(self, tokens):
        self.tokens = tokens
        self.pos = 0

    def peek(self, offset=0):
        i = self.pos + offset
        return self.tokens[i] if i < len(self.tokens) else None

    def next(self):
        tok = self.peek()
        if tok is None:
            raise SqlError(102, 1, 15, "Incorrect syntax near the end of the statement.")
        self.pos += 1
        return tok

    def at_word(self, *words):
        tok = self.peek()
        return tok is not None and tok.word() in words

    def at_punct(self, text):
        tok = self.peek()
        return tok is not None and tok.kind == "punct" and tok.text == text

    def expect_word(self, word):
        tok = self.next()
        if tok.word() != word:
            raise syntax_error(tok)
        return tok

    def expect_punct(self, text):
        tok = self.next()
        if tok.kind != "punct" or tok.text != text:
            raise syntax_error(tok)
        return tok

    def done(self):
        return self.pos >= len(self.tokens)


def syntax_error(tok):
    return SqlError(102, 1, 15, "Incorrect syntax near '%s'." % tok.text)


def identifier(tok):
    if tok.kind == "ident":
        return tok.value
    if tok.kind == "word":
        return tok.text
    raise syntax_error(tok)


# ---------------------------------------------------------------------------
# Remote procedure calls

# Procedures a client may call by number instead of by name.
PROC_NAMES = {
    1: "sp_cursor", 2: "sp_cursoropen", 3: "sp_cursorprepare", 4: "sp_cursorexecute",
    5: "sp_cursorprepexec", 6: "sp_cursorunprepare", 7: "sp_cursorfetch", 8: "sp_cursoroption",
    9: "sp_cursorclose", 10: "sp_executesql", 11: "sp_prepare", 12: "sp_execute",
    13: "sp_prepexec", 14: "sp_prepexecrpc", 15: "sp_unprepare",
}

# sp_cursoropen scroll options and sp_cursorfetch fetch types.
SCROLL_KEYSET = 0x01
SCROLL_DYNAMIC = 0x02
SCROLL_FORWARD_ONLY = 0x04
SCROLL_STATIC = 0x08
SCROLL_FAST_FORWARD = 0x10
FETCH_FIRST = 0x01
FETCH_NEXT = 0x02
FETCH_PREV = 0x04
FETCH_LAST = 0x08
FETCH_ABSOLUTE = 0x10
FETCH_RELATIVE = 0x20
FETCH_REFRESH = 0x40
FETCH_INFO = 0x80
FETCH_PREV_NOADJUST = 0x100
FETCH_SKIP_UPDT_CNCY = 0x200


class Param:
    __slots__ = ("name", "output", "value")

    def __init__(self, name, output, value):
        self.name = name
        self.output = output
        self.value = value


class RpcCall:
    __slots__ = ("name", "params")

    def __init__(self, name, params):
        self.name = name
        self.params = params


def rpc_stream_error(detail):
    return SqlError(8009, 1, 16, "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol "
                                 "stream is incorrect. %s" % detail)


class Reader:
    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos

    def take(self, n):
        if n < 0 or self.pos + n > len(self.data):
            raise rpc_stream_error("The request ends early.")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def unpack(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))

    def byte(self):
        return self.take(1)[0]

    def at_end(self):
        return self.pos >= len(self.data)

    def plp(self):
        (total,) = self.unpack("<Q")
        if total == 0xFFFFFFFFFFFFFFFF:
            return None
        parts = []
        while True:
            (chunk,) = self.unpack("<I")
            if chunk == 0:
                return b"".join(parts)
            parts.append(self.take(chunk))


FIXED_TYPES = {0x30: ("<B", False), 0x34: ("<h", True), 0x38: ("<i", True), 0x7F: ("<q", True),
               0x32: ("<B", False), 0x3B: ("<f", True), 0x3E: ("<d", True)}
TEXT_TYPES = {0xE7: "utf-16-le", 0xEF: "utf-16-le", 0xA7: "cp1252", 0xAF: "cp1252"}
BINARY_TYPES = (0xA5, 0xAD)


def read_param_value(r, number, name):
    """TYPE_INFO and value of one RPC parameter, as a Python value."""
    kind = r.byte()
    if kind in FIXED_TYPES:
        fmt, _ = FIXED_TYPES[kind]
        value = r.unpack(fmt)[0]
        return bool(value) if kind == 0x32 else value
    if kind in (0x26, 0x68, 0x6D):  # INTN, BITN, FLTN
        r.byte()
        size = r.byte()
        if size == 0:
            return None
        raw = r.take(size)
        if kind == 0x26:
            return int.from_bytes(raw, "little", signed=True)
        if kind == 0x68:
            return raw != b"\x00"
        return struct.unpack("<f" if size == 4 else "<d", raw)[0]
    if kind in TEXT_TYPES:
        (max_len,) = r.unpack("<H")
        r.take(5)  # collation
        raw = r.plp() if max_len == 0xFFFF else None
        if max_len != 0xFFFF:
            (size,) = r.unpack("<H")
            raw = None if size == 0xFFFF else r.take(size)
        return None if raw is None else raw.decode(TEXT_TYPES[kind], errors="replace")
    if kind in BINARY_TYPES:
        (max_len,) = r.unpack("<H")
        if max_len == 0xFFFF:
            return r.plp()
        (size,) = r.unpack("<H")
        return None if size == 0xFFFF else r.take(size)
    if kind in (0x63, 0x23, 0x22):  # NTEXT, TEXT, IMAGE
        r.unpack("<I")
        if kind != 0x22:
            r.take(5)
        (size,) = r.unpack("<I")
        if size == 0xFFFFFFFF:
            return None
        raw = r.take(size)
        if kind == 0x22:
            return raw
        return raw.decode("utf-16-le" if kind == 0x63 else "cp1252", errors="replace")
    raise rpc_stream_error('Parameter %d ("%s"): Data type 0x%02X is unknown.' % (number, name, kind))


def parse_rpc(payload, tds72):
    """The calls of one RPC request: a list of RpcCall."""
    r = Reader(payload)
    if tds72 and len(payload) >= 4:
        (total,) = struct.unpack_from("<I", payload, 0)
        if 4 <= total <= len(payload):
            r.pos = total
    calls = []
    while not r.at_end():
        (length,) = r.unpack("<H")
        if length == 0xFFFF:
            (proc_id,) = r.unpack("<H")
            name = PROC_NAMES.get(proc_id, "#%d" % proc_id)
        else:
            name = r.take(2 * length).decode("utf-16-le", errors="replace")
        r.unpack("<H")  # option flags
        params = []
        while not r.at_end() and r.data[r.pos] not in (0x80, 0xFE, 0xFF):
            pname = r.take(2 * r.byte()).decode("utf-16-le", errors="replace")
            status = r.byte()
            value = read_param_value(r, len(params) + 1, pname)
            params.append(Param(pname, bool(status & 0x01), value))
        calls.append(RpcCall(name, params))
        if not r.at_end():
            r.byte()  # batch separator
    return calls


def sql_literal(value):
    if value is None:
        return "NULL"
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, str):
        return "N'%s'" % value.replace("'", "''")
    if isinstance(value, bytes):
        return "0x" + value.hex().upper()
    return str(value)


def rpc_text(call):
    """The call as the journal shows it: the procedure, then each parameter
    as a literal, output parameters marked OUTPUT."""
    args = []
    for p in call.params:
        text = (p.name + " = " if p.name else "") + sql_literal(p.value)
        args.append(text + " OUTPUT" if p.output else text)
    return call.name + (" " + ", ".join(args) if args else "")


class ServerCursor:
    """The rows of one open server cursor and its current rowset."""

    def __init__(self, columns, rows, scrollopt):
        self.columns = columns
        self.rows = rows
        self.scrollopt = scrollopt
        self.start = 0  # first row of the current rowset, 1-based; 0 before the first row
        self.size = 0   # rows asked for the current rowset
        self.name = None

    def fetch(self, fetchtype, rownum, nrows):
        """Moves to the rowset that fetchtype names; gives its rows."""
        total = len(self.rows)
        kind = fetchtype & ~FETCH_SKIP_UPDT_CNCY
        forward_only = self.scrollopt & (SCROLL_FORWARD_ONLY | SCROLL_FAST_FORWARD)
        if forward_only and kind not in (FETCH_NEXT, FETCH_REFRESH):
            raise SqlError(16911, 1, 16, "fetch: The fetch type %s cannot be used with forward only cursors." % (
                fetch_name(kind)))
        nrows = max(nrows, 1)
        # Positions follow ODBC's scrolling rules: 0 is before the first row,
        # total + 1 after the last.
        current = min(self.start, total + 1)
        if kind == FETCH_NEXT:
            start = 1 if current <= 0 else current + self.size
        elif kind == FETCH_FIRST:
            start = 1
        elif kind == FETCH_LAST:
            start = max(total - nrows + 1, 1)
        elif kind in (FETCH_PREV, FETCH_PREV_NOADJUST):
            if current <= 1:
                start = 0
            else:
                start = current - nrows
                if start < 1:
                    if kind == FETCH_PREV_NOADJUST:
                        nrows = current - 1
                    start = 1
        elif kind in (FETCH_ABSOLUTE, FETCH_RELATIVE):
            if kind == FETCH_ABSOLUTE:
                start = rownum if rownum >= 0 else total + rownum + 1
                moved_before = rownum < 0 and start < 1
            else:
                start = max(current, 0) + rownum
                moved_before = start < 1 and current > 0
            if start < 1:
                start = 1 if moved_before and -rownum <= nrows and rownum != 0 else 0
        elif kind == FETCH_REFRESH:
            start, nrows = current, self.size
        else:
            raise SqlError(16902, 1, 16, "sp_cursorfetch: The value of the parameter 'fetchtype' is invalid.")
        self.start = min(start, total + 1)
        self.size = nrows
        if self.start <= 0 or nrows <= 0:
            return []
        return self.rows[self.start - 1:self.start - 1 + nrows]


def fetch_name(kind):
    names = {FETCH_FIRST: "FIRST", FETCH_PREV: "PREV", FETCH_LAST: "LAST", FETCH_ABSOLUTE: "ABSOLUTE",
             FETCH_RELATIVE: "RELATIVE", FETCH_PREV_NOADJUST: "PREV_NOADJUST", FETCH_INFO: "INFO"}
    return names.get(kind, str(kind))


# ---------------------------------------------------------------------------
# Backup content

_block_lock = threading.Lock()
_block = None


def backup_block():
    """One MiB of page-structured, partly compressible content, made once."""
    global _block
    with _block_lock:
        if _block is None:
            rng = random.Random(20240601)
            cities = ["Lisbon", "Oslo", "Quito", "Perth", "Hanoi", "Dakar", "Lima", "Turku"]
            pages = []
            for page_no in range((1 << 20) // PAGE):
                header = struct.pack("<4sIIQ", b"PAGE", page_no, 1, rng.getrandbits(64)).ljust(96, b"\x00")
                body = bytearray()
                while len(body) < PAGE - 96:
                    body += ("%07d|%s|%s|%10.2f|" % (
                        rng.randrange(10 ** 7), rng.choice(cities),
                        "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randrange(4, 12))),
                        rng.random() * 100000)).encode()
                    body += rng.randbytes(rng.randrange(0, 8))
                pages.append(header + bytes(body[:PAGE - 96]))
            _block = b"".join(pages)
        return _block


def write_backup(path, database, size):
    """Writes the backup file; returns None or the failing errno and stage."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    except OSError as e:
        return ("open", e.errno)
    try:
        header = ("TAPE CORVELLA BACKUP\ndatabase=%s\ncreated=%s\nsize=%d\n" % (
            database, time.strftime("%Y-%m-%dT%H:%M:%S"), size)).encode("utf-8")
        header = header[:512].ljust(512, b"\x00")
        block = backup_block()
        written = 0
        chunk_no = 0
        while written < size:
            if written == 0:
                data = header + block[len(header):]
            else:
                data = struct.pack("<Q", chunk_no) + block[8:]
            data = data[: size - written]
            view = memoryview(data)
            while view:
                n = os.write(fd, view)
                view = view[n:]
            written += len(data)
            chunk_no += 1
    except OSError as e:
        return ("write", e.errno)
    finally:
        os.close(fd)
    return None


def os_error_text(err):
    if err in (errno.ENOENT, errno.ENOTDIR):
        return "3(The system cannot find the path specified.)"
    if err in (errno.EACCES, errno.EPERM, errno.EROFS, errno.EISDIR):
        return "5(Access is denied.)"
    if err in (errno.ENOSPC, errno.EDQUOT):
        return "112(There is not enough space on the disk.)"
    return "1117(The request could not be performed because of an I/O device error.)"


# ---------------------------------------------------------------------------
# Sessions

class Session:
    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.packet_size = 4096
        self.tds72 = True
        self.tds_version = 0x74000004
        self.login = ""
        self.database = "master"
        self.spid = server.next_spid()
        self.packet_no = 0
        self.cursors = {}
        self.next_cursor = 180150000 + self.spid * 1000

    # -- packets --------------------------------------------------------

    def recv_exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                if buf:
                    raise ProtocolError("connection closed inside a packet")
                return None
            buf += chunk
        return bytes(buf)

    def read_message(self):
        kind = None
        payload = bytearray()
        while True:
            header = self.recv_exact(8)
            if header is None:
                return None, None
            ptype, status, length = struct.unpack(">BBH", header[:4])
            if length < 8 or length > 65536:
                raise ProtocolError("bad packet length")
            body = self.recv_exact(length - 8)
            if body is None:
                return None, None
            if kind is None:
                kind = ptype
            payload += body
            if status & 0x01:
                return kind, bytes(payload)
            if len(payload) > 64 * 1024 * 1024:
                raise ProtocolError("message too long")

    def send_message(self, ptype, payload):
        room = self.packet_size - 8
        offset = 0
        out = []
        while True:
            part = payload[offset:offset + room]
            offset += len(part)
            last = offset >= len(payload)
            self.packet_no = (self.packet_no + 1) & 0xFF
            out.append(struct.pack(">BBHHBB", ptype, 1 if last else 0, len(part) + 8, self.spid,
                                   self.packet_no, 0) + part)
            if last:
                break
        self.sock.sendall(b"".join(out))

    # -- conversation -----------------------------------------------------

    def run(self):
        kind, payload = self.read_message()
        if kind == PT_PRELOGIN:
            self.send_message(PT_REPLY, self.prelogin_reply())
            kind, payload = self.read_message()
        if kind != PT_LOGIN7:
            return
        if not self.handle_login(payload):
            return
        while True:
            kind, payload = self.read_message()
            if kind is None:
                return
            if kind == PT_SQL_BATCH:
                self.handle_batch(payload)
            elif kind == PT_ATTENTION:
                t = Tokens(self.tds72)
                t.done(DONE_ATTN)
                self.send_message(PT_REPLY, t.data())
            elif kind == PT_RPC:
                self.handle_rpc(payload)
            elif kind == PT_TRANSACTION:
                t = Tokens(self.tds72)
                t.done(DONE_FINAL)
                self.send_message(PT_REPLY, t.data())
            else:
                return

    def prelogin_reply(self):
        options = [
            (0x00, bytes([16, 0, 0x03, 0xE8, 0, 0])),  # version
            (0x01, bytes([0x02])),  # encryption not supported
            (0x02, bytes([0x00])),  # instance
            (0x03, b""),  # thread id
            (0x04, bytes([0x00])),  # MARS off
        ]
        offset = len(options) * 5 + 1
        table, data = bytearray(), bytearray()
        for tag, value in options:
            table += struct.pack(">BHH", tag, offset + len(data), len(value))
            data += value
        return bytes(table) + b"\xFF" + bytes(data)

    def handle_login(self, p):
        if len(p) < 94:
            raise ProtocolError("short login")
        (tds_version, packet_size) = struct.unpack_from("<II", p, 4)
        self.tds_version = max(0x71000001, min(tds_version, 0x74000004))
        self.tds72 = self.tds_version >= 0x72090002
        if 512 <= packet_size <= 32767:
            self.packet_size = packet_size

        def field(at, password=False):
            off, count = struct.unpack_from("<HH", p, at)
            raw = p[off:off + 2 * count]
            if password:
                raw = bytes(((b ^ 0xA5) >> 4) | (((b ^ 0xA5) & 0x0F) << 4) for b in raw)
            return raw.decode("utf-16-le", errors="replace")

        user = field(40)
        password = field(44, password=True)
        database = field(68)
        self.login = user

        t = Tokens(self.tds72)
        expected = self.server.logins.get(user.casefold())
        if expected is None or expected != password:
            t.error(18456, 1, 14, "Login failed for user '%s'." % user)
            t.done(DONE_ERROR)
            self.send_message(PT_REPLY, t.data())
            return False
        if database:
            found = self.server.find_database(database)
            if found is None:
                t.error(4060, 1, 11, 'Cannot open database "%s" requested by the login. The login failed.' % database)
                t.error(18456, 1, 14, "Login failed for user '%s'." % user)
                t.done(DONE_ERROR)
                self.send_message(PT_REPLY, t.data())
                return False
            self.database = found
        else:
            self.database = self.server.default_database
        t.envchange_text(1, self.database, "master")
        t.info(5701, 2, 0, "Changed database context to '%s'." % self.database)
        t.envchange_collation()
        t.envchange_text(2, "us_english", "")
        t.info(5703, 1, 0, "Changed language setting to us_english.")
        t.loginack(self.tds_version)
        t.envchange_text(4, str(self.packet_size), str(self.packet_size))
        t.done(DONE_FINAL)
        self.send_message(PT_REPLY, t.data())
        return True

    def handle_batch(self, payload):
        if self.tds72 and len(payload) >= 4:
            total = struct.unpack_from("<I", payload, 0)[0]
            if 4 <= total <= len(payload):
                payload = payload[total:]
        text = payload.decode("utf-16-le", errors="replace")
        self.journal("batch", text)
        t = Tokens(self.tds72)
        try:
            statements = split_statements(tokenize(text))
        except SqlError as e:
            t.error(e.number, e.state, e.severity, e.text)
            t.done(DONE_ERROR)
            self.send_message(PT_REPLY, t.data())
            return
        if not statements:
            t.done(DONE_FINAL)
        for i, statement in enumerate(statements):
            more = DONE_MORE if i + 1 < len(statements) else 0
            try:
                self.execute(statement, t, more)
            except SqlError as e:
                t.error(e.number, e.state, e.severity, e.text)
                for number, state, severity, text in e.follow:
                    t.error(number, state, severity, text)
                t.done(DONE_ERROR | more)
        self.send_message(PT_REPLY, t.data())

    def handle_rpc(self, payload):
        t = Tokens(self.tds72)
        try:
            calls = parse_rpc(payload, self.tds72)
        except SqlError as e:
            self.journal("rpc", "")
            t.error(e.number, e.state, e.severity, e.text)
            t.done(DONE_ERROR)
            self.send_message(PT_REPLY, t.data())
            return
        if not calls:
            self.journal("rpc", "")
            t.done(DONE_FINAL)
        for i, call in enumerate(calls):
            more = DONE_MORE if i + 1 < len(calls) else 0
            self.journal("rpc", rpc_text(call))
            handler = self.procedures().get(call.name.casefold().rsplit(".", 1)[-1])
            try:
                if handler is None:
                    raise SqlError(2812, 62, 16, "Could not find stored procedure '%s'." % call.name)
                handler(call.params, t, more)
            except SqlError as e:
                t.error(e.number, e.state, e.severity, e.text)
                for number, state, severity, text in e.follow:
                    t.error(number, state, severity, text)
                t.done_proc(DONE_ERROR | more)
        self.send_message(PT_REPLY, t.data())

    def procedures(self):
        return {
            "sp_cursoropen": self.sp_cursoropen,
            "sp_cursorfetch": self.sp_cursorfetch,
            "sp_cursoroption": self.sp_cursoroption,
            "sp_cursorclose": self.sp_cursorclose,
        }

    def int_param(self, params, index, procedure, name, default=None):
        if index >= len(params) or params[index].value is None:
            if default is not None:
                return default
            raise SqlError(16902, 1, 16, "%s: The value of the parameter '%s' is invalid." % (procedure, name))
        value = params[index].value
        if isinstance(value, str):
            try:
                value = int(value.strip())
            except ValueError:
                value = None
        if not isinstance(value, int):
            raise SqlError(16902, 1, 16, "%s: The value of the parameter '%s' is invalid." % (procedure, name))
        return value

    def find_cursor(self, params, procedure):
        handle = self.int_param(params, 0, procedure, "cursor")
        cursor = self.cursors.get(handle)
        if cursor is None:
            raise SqlError(16945, 2, 16, "The cursor was not declared.")
        return handle, cursor

    def sp_cursoropen(self, params, t, more):
        """@cursor OUTPUT, @stmt, @scrollopt [OUTPUT], @ccopt [OUTPUT], @rowcount OUTPUT"""
        if len(params) < 2 or not isinstance(params[1].value, str):
            raise SqlError(16902, 1, 16, "sp_cursoropen: The value of the parameter 'stmt' is invalid.")
        scrollopt = self.int_param(params, 2, "sp_cursoropen", "scrollopt", SCROLL_KEYSET)
        ccopt = self.int_param(params, 3, "sp_cursoropen", "ccopt", 1)
        statements = split_statements(tokenize(params[1].value))
        if len(statements) != 1 or statements[0][0].word() != "SELECT":
            raise SqlError(16937, 1, 16, "A server cursor cannot be opened on the given statement or statements. "
                                         "Use a default result set or client cursor.")
        columns, rows = self.select(Cursor(statements[0]))
        kind = scrollopt & 0x1F
        for wanted in (SCROLL_KEYSET, SCROLL_DYNAMIC, SCROLL_FORWARD_ONLY, SCROLL_STATIC, SCROLL_FAST_FORWARD):
            if kind & wanted:
                kind = wanted
                break
        else:
            kind = SCROLL_KEYSET
        cursor = ServerCursor(columns, rows, kind)
        self.next_cursor += 1
        handle = self.next_cursor
        self.cursors[handle] = cursor
        rowcount = len(rows) if kind in (SCROLL_KEYSET, SCROLL_STATIC) else -1

        t.colmetadata(columns)
        t.done_in_proc(DONE_MORE)
        t.return_status(0)
        outputs = [(0, handle), (2, kind), (3, ccopt & 0x0F or 1), (4, rowcount)]
        for index, value in outputs:
            if index < len(params) and params[index].output:
                t.return_int(index, params[index].name, value)
        t.done_proc(more)

    def sp_cursorfetch(self, params, t, more):
        """@cursor, @fetchtype, @rownum [OUTPUT], @nrows [OUTPUT]"""
        _, cursor = self.find_cursor(params, "sp_cursorfetch")
        fetchtype = self.int_param(params, 1, "sp_cursorfetch", "fetchtype", FETCH_NEXT)
        rownum = self.int_param(params, 2, "sp_cursorfetch", "rownum", 1)
        nrows = self.int_param(params, 3, "sp_cursorfetch", "nrows", 20)
        if fetchtype & ~FETCH_SKIP_UPDT_CNCY == FETCH_INFO:
            t.return_status(0)
            position = cursor.start if 0 < cursor.start <= len(cursor.rows) else 0
            for index, value in ((2, position), (3, len(cursor.rows))):
                if index < len(params) and params[index].output:
                    t.return_int(index, params[index].name, value)
            t.done_proc(more)
            return
        rows = cursor.fetch(fetchtype, rownum, nrows)
        t.colmetadata(cursor.columns)
        t.rows(cursor.columns, rows)
        t.done_in_proc(DONE_MORE | DONE_COUNT, 0, len(rows))
        t.return_status(0)
        t.done_proc(more)

    def sp_cursoroption(self, params, t, more):
        """@cursor, @code, @value"""
        _, cursor = self.find_cursor(params, "sp_cursoroption")
        code = self.int_param(params, 1, "sp_cursoroption", "code")
        if code == 2:
            cursor.name = None if len(params) < 3 or params[2].value is None else str(params[2].value)
        t.return_status(0)
        t.done_proc(more)

    def sp_cursorclose(self, params, t, more):
        """@cursor"""
        handle, cursor = self.find_cursor(params, "sp_cursorclose")
        del self.cursors[handle]
        t.return_status(0)
        t.done_proc(more)

    def journal(self, kind, text):
        self.server.write_journal({"login": self.login, "database": self.database, "kind": kind, "text": text})

    # -- statements -------------------------------------------------------

    def execute(self, tokens, t, more):
        c = Cursor(tokens)
        word = c.peek().word()
        if word == "SELECT":
            columns, rows = self.select(c)
            t.result(columns, rows)
            t.done(DONE_COUNT | more, 0xC1, len(rows))
        elif word == "BACKUP":
            self.backup(c, t)
            t.done(more)
        elif word == "USE":
            c.next()
            name = identifier(c.next())
            found = self.server.find_database(name)
            if found is None:
                raise SqlError(911, 1, 16, "Database '%s' does not exist. Make sure that the name is entered correctly." % name)
            old, self.database = self.database, found
            t.envchange_text(1, found, old)
            t.info(5701, 1, 0, "Changed database context to '%s'." % found)
            t.done(more)
        elif word == "SET":
            t.done(more)
        elif word == "PRINT":
            c.next()
            tok = c.next()
            t.info(0, 1, 0, str(tok.value) if tok.kind in ("string", "number") else tok.text)
            t.done(more)
        elif word == "WAITFOR":
            c.next()
            c.expect_word("DELAY")
            tok = c.next()
            m = re.fullmatch(r"(\d+):(\d+):(\d+(?:\.\d+)?)", str(tok.value))
            if tok.kind != "string" or not m:
                raise syntax_error(tok)
            time.sleep(min(int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3)), 3600))
            t.done(more)
        else:
            raise syntax_error(tokens[0])

    def backup(self, c, t):
        c.expect_word("BACKUP")
        if not c.at_word("DATABASE"):
            raise syntax_error(c.next())
        c.next()
        name = identifier(c.next())
        c.expect_word("TO")
        c.expect_word("DISK")
        c.expect_punct("=")
        tok = c.next()
        if tok.kind != "string":
            raise syntax_error(tok)
        path = tok.value
        if c.at_word("WITH"):
            c.next()
            while not c.done():
                opt = c.next()
                if opt.kind == "punct" and opt.text == ",":
                    continue
                if opt.kind != "word":
                    raise syntax_error(opt)
                if c.at_punct("="):
                    c.next()
                    c.next()
        elif not c.done():
            raise syntax_error(c.next())

        terminating = (3013, 1, 16, "BACKUP DATABASE is terminating abnormally.")
        database = self.server.find_database(name)
        if database is None:
            raise SqlError(911, 11, 16, "Database '%s' does not exist. Make sure that the name is entered correctly." % name,
                           [terminating])
        started = time.monotonic()
        if self.server.backup_delay > 0:
            time.sleep(self.server.backup_delay)
        failure = write_backup(path, database, self.server.backup_size)
        if failure is not None:
            stage, err = failure
            if stage == "open":
                raise SqlError(3201, 1, 16, "Cannot open backup device '%s'. Operating system error %s." % (
                    path, os_error_text(err)), [terminating])
            raise SqlError(3202, 1, 16, 'Write on "%s" failed: %s' % (path, os_error_text(err)), [terminating])
        elapsed = max(time.monotonic() - started, 0.001)
        data_pages = max(1, self.server.backup_size // PAGE)
        t.info(4035, 1, 0, "Processed %d pages for database '%s', file '%s' on file 1." % (data_pages, database, database))
        t.info(4035, 1, 0, "Processed 2 pages for database '%s', file '%s_log' on file 1." % (database, database))
        t.info(3014, 1, 0, "BACKUP DATABASE successfully processed %d pages in %.3f seconds (%.3f MB/sec)." % (
            data_pages + 2, elapsed, self.server.backup_size / 1048576.0 / elapsed))

    def select(self, c):
        columns, rows = self.select_one(c)
        while c.at_word("UNION"):
            c.next()
            c.expect_word("ALL")
            more_columns, more_rows = self.select_one(c)
            if len(more_columns) != len(columns):
                raise SqlError(205, 1, 16, "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal number of expressions in their target lists.")
            columns = [merge_column(a, b) for a, b in zip(columns, more_columns)]
            rows += more_rows
        if not c.done():
            raise syntax_error(c.next())
        return columns, rows

    def select_one(self, c):
        c.expect_word("SELECT")
        top = None
        if c.at_word("TOP"):
            c.next()
            if c.at_punct("("):
                c.next()
                top = c.next()
                c.expect_punct(")")
            else:
                top = c.next()
            if top.kind != "number" or not isinstance(top.value, int):
                raise syntax_error(top)
            top = top.value
        items = []
        while True:
            if c.at_punct("*"):
                c.next()
                items.append(("*", None, None))
            else:
                expr = self.expression(c)
                alias = None
                if c.at_word("AS"):
                    c.next()
                    alias = identifier(c.next())
                elif c.peek() is not None and (c.peek().kind == "ident" or (
                        c.peek().kind == "word" and c.peek().word() not in ("FROM", "UNION"))):
                    alias = identifier(c.next())
                elif c.peek() is not None and c.peek().kind == "string":
                    alias = c.next().value
                items.append(("expr", expr, alias))
            if not c.at_punct(","):
                break
            c.next()

        table_columns, table_rows = [], [()]
        if c.at_word("FROM"):
            c.next()
            table_columns, table_rows = self.table(c)
        names = [col[0].casefold() for col in table_columns]

        out_columns = []
        getters = []
        for kind, expr, alias in items:
            if kind == "*":
                if not table_columns:
                    raise SqlError(263, 1, 16, "Must specify table to select from.")
                for i, col in enumerate(table_columns):
                    out_columns.append(col)
                    getters.append(lambda row, i=i: row[i])
                continue
            op, value = expr
            if op == "column":
                key = value.casefold()
                if key not in names:
                    raise SqlError(207, 1, 16, "Invalid column name '%s'." % value)
                i = names.index(key)
                out_columns.append((alias if alias is not None else table_columns[i][0],) + table_columns[i][1:])
                getters.append(lambda row, i=i: row[i])
            else:
                out_columns.append((alias if alias is not None else "", None, None))
                getters.append(lambda row, v=value: v)
        if top is not None:
            table_rows = table_rows[:top]
        rows = [[g(r) for g in getters] for r in table_rows]
        columns = []
        for i, col in enumerate(out_columns):
            if col[1] is not None:
                columns.append(col)
            else:
                columns.append(infer_column(col[0], [row[i] for row in rows]))
        return columns, rows

    def expression(self, c):
        tok = c.next()
        if tok.kind == "string":
            return ("value", tok.value)
        if tok.kind == "number":
            if not isinstance(tok.value, int):
                return ("value", str(tok.value))
            return ("value", tok.value)
        if tok.kind == "punct" and tok.text == "-":
            num = c.next()
            if num.kind != "number" or not isinstance(num.value, int):
                raise syntax_error(num)
            return ("value", -num.value)
        if tok.kind == "var":
            name = tok.text.upper()
            if name == "@@VERSION":
                return ("value", VERSION_TEXT)
            if name == "@@SPID":
                return ("value", self.spid)
            if name == "@@SERVERNAME":
                return ("value", SERVER_NAME)
            raise SqlError(137, 2, 15, "Must declare the scalar variable \"%s\"." % tok.text)
        word = tok.word()
        if word == "NULL":
            return ("value", None)
        if word in ("REPLICATE", "DB_NAME", "SUSER_SNAME") and c.at_punct("("):
            c.next()
            if word == "REPLICATE":
                text = c.next()
                if text.kind != "string":
                    raise syntax_error(text)
                c.expect_punct(",")
                count = c.next()
                if count.kind != "number" or not isinstance(count.value, int):
                    raise syntax_error(count)
                c.expect_punct(")")
                units = max(len(text.value.encode("utf-16-le")) // 2, 1)
                value = text.value * min(max(count.value, 0), 4000 // units + 1)
                while len(value.encode("utf-16-le")) > 8000:
                    value = value[:-1]
                return ("value", value)
            c.expect_punct(")")
            return ("value", self.database if word == "DB_NAME" else self.login)
        if tok.kind in ("word", "ident"):
            return ("column", identifier(tok))
        raise syntax_error(tok)

    def table(self, c):
        parts = [identifier(c.next())]
        while c.at_punct("."):
            c.next()
            parts.append(identifier(c.next()))
        name = ".".join(p.casefold() for p in parts)
        if name in ("sys.databases", "master.sys.databases", "master..databases"):
            names = self.server.all_databases()
            return ([("name", "nvarchar", 128), ("database_id", "int", 4)],
                     [(n, i + 1) for i, n in enumerate(names)])
        if parts[-1].casefold() == "numbers" and len(parts) <= 3:
            return ([("n", "int", 4), ("label", "nvarchar", 20)],
                     [(i, "Row %d" % i) for i in range(1, NUMBERS_ROWS + 1)])
        raise SqlError(208, 1, 16, "Invalid object name '%s'." % ".".join(parts))


def infer_column(name, values):
    present = [v for v in values if v is not None]
    if present and all(isinstance(v, int) for v in present):
        wide = any(v < -2 ** 31 or v >= 2 ** 31 for v in present)
        return (name, "int", 8 if wide else 4)
    if not present:
        return (name, "int", 4)
    for i, v in enumerate(values):
        if v is not None and not isinstance(v, str):
            values[i] = str(v)
    longest = max(len(v.encode("utf-16-le")) // 2 for v in values if v is not None)
    return (name, "nvarchar", min(max(longest, 1), 4000))


def merge_column(a, b):
    if a[1] == b[1]:
        return (a[0], a[1], max(a[2], b[2]))
    return (a[0], "nvarchar", 4000)


# ---------------------------------------------------------------------------
# Server

class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        session = Session(self.server, self.request)
        try:
            session.run()
        except (OSError, ProtocolError, struct.error, UnicodeError, IndexError, ValueError) as e:
            self.server.note("session %d ended: %s" % (session.spid, e))


class TdsServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, port, logins, databases, backup_size, backup_delay, journal, verbose):
        self.logins = {user.casefold(): password for user, password in logins}
        self.databases = databases
        self.default_database = databases[0] if databases else "master"
        self.backup_size = backup_size
        self.backup_delay = backup_delay
        self.journal_path = journal
        self.verbose = verbose
        self.lock = threading.Lock()
        self.spid_counter = 50
        super().__init__(("127.0.0.1", port), Handler)

    def next_spid(self):
        with self.lock:
            self.spid_counter += 1
            return self.spid_counter

    def all_databases(self):
        names = list(SYSTEM_DATABASES)
        for d in self.databases:
            if d.casefold() not in (n.casefold() for n in names):
                names.append(d)
        return names

    def find_database(self, name):
        for d in self.all_databases():
            if d.casefold() == name.casefold():
                return d
        return None

    def write_journal(self, entry):
        if not self.journal_path:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.lock:
            with open(self.journal_path, "a", encoding="utf-8") as f:
                f.write(line)

    def note(self, text):
        if self.verbose:
            print(text, file=sys.stderr, flush=True)

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def main(argv=None):
    parser = argparse.ArgumentParser(description="SQL Server wire-protocol test and demo server.")
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1; 0 picks a free one")
    parser.add_argument("--login", action="append", default=[], metavar="USER:PASSWORD")
    parser.add_argument("--database", action="append", default=[], metavar="NAME")
    parser.add_argument("--backup-size", type=int, default=1 << 20, metavar="BYTES")
    parser.add_argument("--backup-delay-ms", type=int, default=0, metavar="MS")
    parser.add_argument("--journal", metavar="FILE")
    parser.add_argument("--verbose", action="store_true", help="report dropped sessions on stderr")
    args = parser.parse_args(argv)

    logins = []
    for pair in args.login:
        user, sep, password = pair.partition(":")
        if not sep or not user:
            parser.error("--login takes USER:PASSWORD, got %r" % pair)
        logins.append((user, password))
    if args.backup_size < 0 or args.backup_delay_ms < 0:
        parser.error("--backup-size and --backup-delay-ms must not be negative")

    server = TdsServer(args.port, logins, args.database, args.backup_size, args.backup_delay_ms / 1000.0,
                       args.journal, args.verbose)

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("LISTENING %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except SystemExit:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
