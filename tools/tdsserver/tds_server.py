#!/usr/bin/python3
"""A small SQL Server stand-in that speaks TDS 7.1 to 7.4 on 127.0.0.1.

Corvella's tests run their database code against it, and the desktop program
starts it as its demo server when no real server is configured. It needs only
the Python 3 standard library.

    tds_server.py --port 0 --login USER:PASSWORD ... --database NAME ...
                  [--any-database] [--backup-size BYTES] [--backup-delay-ms MS]
                  [--damage-backups-of NAME ...] [--deny-server-state]
                  [--data-path FOLDER] [--log-path FOLDER] [--data-files N]
                  [--restore-delay-ms MS] [--consistency-errors-in NAME ...]
                  [--stall-backups-of NAME:PERCENT ...] [--path-map SERVER=REAL ...]
                  [--tls-cert FILE --tls-key FILE [--force-encryption]]
                  [--run-as USER[:GROUP]] [--umask OCTAL] [--journal FILE]

The first line on stdout is "LISTENING <port>". SIGTERM (or SIGINT) stops the
server; open sessions are dropped. Arguments are read as UTF-8 and file names
are written as UTF-8, whatever the locale.

What a real host does, it does too:
- Service account: started as root with --run-as, it opens the journal, loads
  the certificate and key and binds its port, then becomes USER (its groups,
  or GROUP) for good, as the database service runs as its own account; files
  it writes belong to that account. --umask sets the umask first, and backup
  files are created with mode 0666 less the umask. --run-as without root is
  refused.
- Encryption: with --tls-cert and --tls-key the PRELOGIN answer offers
  encryption and the TLS handshake travels inside PRELOGIN packets. A client
  that sends ENCRYPT_OFF gets ENCRYPT_OFF and only its LOGIN7 packet is
  encrypted; ENCRYPT_ON or ENCRYPT_REQ gets ENCRYPT_ON and the whole session
  is encrypted; ENCRYPT_NOT_SUP gets no encryption. --force-encryption answers
  ENCRYPT_REQ to every client, encrypts everything and drops a login that
  arrives unencrypted. Without a certificate the answer is ENCRYPT_NOT_SUP.
  TLS 1.2, as servers use inside TDS 7.x pre-login.

Folders the server names otherwise: with --path-map SERVER=REAL (repeatable)
the server sees the folder REAL under the name SERVER, as a server in a
container sees its bind mount (/var/opt/mssql/backup) or a Windows server its
disk (D:\\Backups, compared without regard to case, "\\" or "/" between
names). Every file a command names goes through the map; a path under no
SERVER is one the server cannot see: operating system error 3. Without
--path-map every path is the server's own.

What it understands:
- LOGIN7 with the obfuscated password checked against the --login pairs
  (login names compare without regard to case); user, password and database
  are UTF-16 and compared exactly. A wrong login gets error 18456, an unknown
  database 4060 then 18456. --any-database makes every database name exist.
- SQL batches, split into statements at ";" and at the start of a new
  statement keyword:
  * BACKUP DATABASE name TO DISK = 'path' [WITH option, ...], the name plain or
    in brackets (]] for ]), the path as '...' or N'...' ('' for '). It writes
    --backup-size bytes to the path: a 512-byte header (size, CRC-32 of the
    rest, database) then page-like content. With --backup-delay-ms the file is
    written in steps spread over that time; an attention packet stops it (the
    batch is acknowledged as cancelled), and so does the client closing the
    connection; either leaves the partial file behind. Backups of a
    --stall-backups-of database stop at PERCENT: the file is written that far,
    the progress stays there and the statement waits until it is cancelled or
    the client goes; the server answers other sessions meanwhile. Backups of a
    --damage-backups-of database get a wrong checksum. Errors: 911 for an
    unknown database, 3201 for a folder that is missing or cannot be written,
    3202 for a failed write, each followed by 3013.
  * RESTORE VERIFYONLY FROM DISK = 'path' [WITH option, ...]: 3262 "The backup
    set on file 1 is valid." for a whole backup; otherwise 3201 (cannot open:
    operating system error 2, 3 or 5), 3241 (not a backup), 3203 (shorter than
    its header says, as a killed backup leaves it) or 3189 (checksum
    mismatch), each followed by 3013 "VERIFY DATABASE is terminating
    abnormally.".
  * RESTORE HEADERONLY FROM DISK = 'path' [WITH option, ...]: one row
    (BackupName, BackupType, DatabaseName, BackupSize, Position) for a file
    with a backup's header; otherwise 3201 (operating system error 2, 3 or
    5) or 3241 (not a backup), each followed by 3013 "RESTORE HEADERONLY is
    terminating abnormally.".
  * SELECT [TOP n | TOP (n)] item, ... [FROM table [WHERE column op value
    [AND ...]]] [UNION ALL SELECT ...] where an item is *, a column of the
    table, NULL, an integer, 'text' or N'text', REPLICATE(text, count) (at most
    4000 characters), @@VERSION, @@SPID, @@SERVERNAME, DB_NAME(),
    SUSER_SNAME(), each with an optional [AS] alias; op is one of = <> < >
    <= >=. Tables: sys.databases (name, database_id), dbo.Numbers (n INT
    1..10000, label NVARCHAR(20) "Row <n>") and sys.dm_exec_requests
    (session_id, request_id, status, command, percent_complete REAL): one row
    per statement running on any session, a running BACKUP as 'BACKUP
    DATABASE' with its progress 0..100. With --deny-server-state that view
    gives error 300 then 297, as for a login without VIEW SERVER STATE.
    sys.databases also has state_desc: RESTORING for a database whose
    restore has not finished, else ONLINE. SERVERPROPERTY('name') gives
    InstanceDefaultDataPath (--data-path, NULL without it),
    InstanceDefaultLogPath (--log-path, else the data path), ProductVersion,
    ServerName, MachineName and Edition; NULL for any other name.
  * A backup taken WITH CHECKSUM says so in its header. RESTORE HEADERONLY
    FROM DISK = 'path' gives one row (BackupName, BackupType, Position,
    DeviceType, ServerName, DatabaseName, BackupSize, BackupStartDate,
    HasBackupChecksums, IsDamaged); RESTORE FILELISTONLY one row per file of
    the backed-up database (LogicalName, PhysicalName, Type D or L,
    FileGroupName, Size, MaxSize, FileId, BackupSizeInBytes, IsPresent): the
    data file <db> (FileId 1, <data path>/<db>.mdf), the log <db>_log
    (FileId 2, .ldf) and, with --data-files N, <db>_data2.. (.ndf). A file
    that is no backup, a missing or unreadable one fail as for VERIFYONLY,
    followed by 3013.
  * RESTORE DATABASE name FROM DISK = 'path' [WITH MOVE 'logical' TO 'file',
    CHECKSUM, ...]: every file is placed before anything is written. Errors
    (each followed by 3013 "RESTORE DATABASE is terminating abnormally."):
    3154 for a name that exists; 3187 for CHECKSUM on a backup without
    checksums; 3234 for a MOVE of a file the backup does not hold; 1834 for
    a file left at its original place while that database exists, or at a
    place another database uses; 3142 for an existing file; 5133 for a
    folder it cannot write or find (OS error 5, 3 ...), the last three then
    3156 and 3119. Then the database exists as RESTORING, and the data files
    receive the backup's pages (the log file is made 1 MiB, sparse), spread
    over --restore-delay-ms, with its progress in sys.dm_exec_requests as
    'RESTORE DATABASE'. A damaged backup gives 3183 once its pages are read,
    a short one 3203; these, an attention packet and a client that goes away
    leave the database RESTORING with its files, as a real server does.
  * DBCC CHECKDB [(name [, ...])] [WITH option, ...] reads the database's
    files: clean, it gives 8989 and 2528 (nothing WITH NO_INFOMSGS); for a
    --consistency-errors-in database, or a copy restored from its backups,
    errors 8928 and 8939 then 8990, 8989 and 8958. 2520 for an unknown
    database, 927 for one still restoring.
  * DROP DATABASE name [, ...] deletes the database's files: 3708 for a
    system database, 3701 for an unknown one, 3702 for one another session
    uses.
  * USE name, SET ..., PRINT 'text', WAITFOR DELAY 'hh:mm:ss[.fff]' (ended
    early by an attention packet).
  Anything else is answered with error 102 (incorrect syntax).
- Server cursors through remote procedure calls (by name or by number):
  sp_cursoropen on one SELECT of the kind above (keyset, static, dynamic,
  forward-only or fast-forward; the rows are taken when it opens),
  sp_cursorfetch with every fetch type (FIRST, NEXT, PREV, LAST, ABSOLUTE,
  RELATIVE, REFRESH, INFO, PREV_NOADJUST), sp_cursoroption and sp_cursorclose,
  with their return status and output parameters. Other procedures get error
  2812.
- Attention (cancel) packets, answered with an attention acknowledgement.
- Session ids start at 51 and are reused once their session has ended.

With --journal every login attempt, batch and procedure call is appended as
one JSON object per line, written before the server answers:
{"kind": "login", "login": ..., "database": ..., "password": ..., "text": "ok"
or "failed", "encryption": "none", "login" or "full"} for a login, with the
texts exactly as received; {"login": ..., "database": ..., "kind": "batch",
"text": ...} for a batch; and for a call "kind": "rpc" with "text" the
procedure name and its parameters as literals, output parameters marked
OUTPUT, for example "sp_cursorfetch 180201001, 2, NULL, 100".
"""

import argparse
import errno
import grp
import heapq
import json
import os
import pwd
import random
import re
import select
import signal
import socket
import socketserver
import ssl
import stat
import struct
import sys
import threading
import time
import zlib

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

# PRELOGIN encryption values.
ENCRYPT_OFF = 0x00
ENCRYPT_ON = 0x01
ENCRYPT_NOT_SUP = 0x02
ENCRYPT_REQ = 0x03

# Done status bits.
DONE_FINAL = 0x00
DONE_MORE = 0x01
DONE_ERROR = 0x02
DONE_COUNT = 0x10
DONE_ATTN = 0x20


class ProtocolError(Exception):
    pass


class ClientGone(ProtocolError):
    """The client closed the connection while a statement was running."""


class Cancelled(Exception):
    """An attention packet arrived while a statement was running."""


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
        """columns: list of (name, kind, size) with kind 'int', 'real' or 'nvarchar'."""
        self.colmetadata(columns)
        self.rows(columns, rows)

    def colmetadata(self, columns):
        out = [b"\x81", struct.pack("<H", len(columns))]
        for name, kind, size in columns:
            out.append(struct.pack("<I", 0) if self.tds72 else struct.pack("<H", 0))
            out.append(struct.pack("<H", 0x0001))  # nullable
            if kind == "int":
                out.append(bytes([0x26, size]))
            elif kind == "real":
                out.append(bytes([0x6D, size]))
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
                elif kind == "real":
                    if value is None:
                        out.append(b"\x00")
                    else:
                        out.append(bytes([size]) + struct.pack("<f" if size == 4 else "<d", value))
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
    "DROP", "ALTER", "DBCC",
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


def disk_device(c):
    """DISK = 'path' (or N'path'): the path."""
    c.expect_word("DISK")
    c.expect_punct("=")
    tok = c.next()
    if tok.kind != "string":
        raise syntax_error(tok)
    return tok.value


def skip_options(c):
    """[WITH option [= value], ...]: accepted and not acted on."""
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


def with_options(c):
    """[WITH option [= value], ...] as ({NAME: value or True}, [(logical, path)]
    of MOVE 'logical' TO 'path')."""
    options, moves = {}, []
    if c.at_word("WITH"):
        c.next()
        while not c.done():
            opt = c.next()
            if opt.kind == "punct" and opt.text == ",":
                continue
            if opt.kind != "word":
                raise syntax_error(opt)
            name = opt.word()
            if name == "MOVE":
                logical = c.next()
                c.expect_word("TO")
                target = c.next()
                if logical.kind != "string" or target.kind != "string":
                    raise syntax_error(logical if logical.kind != "string" else target)
                moves.append((logical.value, target.value))
            elif c.at_punct("="):
                c.next()
                options[name] = c.next().value
            else:
                options[name] = True
    elif not c.done():
        raise syntax_error(c.next())
    return options, moves


def request_command(tokens):
    """The command column of sys.dm_exec_requests for a statement."""
    words = [tok.word() for tok in tokens[:2]]
    if words[0] == "BACKUP":
        return "BACKUP LOG" if words[1:] == ["LOG"] else "BACKUP DATABASE"
    if words[0] == "RESTORE":
        # The server's command names are at most 16 characters.
        names = {"VERIFYONLY": "RESTORE VERIFYON", "FILELISTONLY": "RESTORE FILELIST",
                 "HEADERONLY": "RESTORE HEADERON"}
        return names.get(words[1] if len(words) > 1 else None, "RESTORE DATABASE")
    if words[0] == "DBCC":
        return "DBCC TABLE CHECK"
    if words[0] == "DROP":
        return "DROP DATABASE"
    return words[0] or "SELECT"


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


BACKUP_MAGIC = b"TAPE CORVELLA BACKUP\n"
HEADER_SIZE = 512
# A delayed backup writes one step about this often, so that its progress moves smoothly.
BACKUP_STEP_SECONDS = 0.02


def backup_header(database, size, checksum, page_checksums=False):
    """The 512-byte header. The checksum (CRC-32 of everything after the
    header) is only known once the content is written; until then the field
    says so, which marks a file whose writing never finished. `checksums`
    records whether the backup was taken WITH CHECKSUM, as RESTORE
    HEADERONLY's HasBackupChecksums tells."""
    text = "size=%d\nchecksum=%s\ncreated=%s\nchecksums=%s\ndatabase=%s\n" % (
        size, "pending" if checksum is None else "crc32:%08x" % checksum,
        time.strftime("%Y-%m-%dT%H:%M:%S"), "yes" if page_checksums else "no", database)
    header = BACKUP_MAGIC + text.encode("utf-8", "surrogateescape")
    return header[:HEADER_SIZE].ljust(HEADER_SIZE, b"\x00")


def backup_pieces(size, header):
    """The file's bytes in pieces of at most one MiB: the header, then
    page-structured content."""
    block = backup_block()
    offset = 0
    number = 0
    while offset < size:
        if number == 0:
            data = header + block[len(header):]
        else:
            data = struct.pack("<Q", number) + block[8:]
        data = data[:size - offset]
        yield data
        offset += len(data)
        number += 1


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def os_path(text):
    """File names are UTF-8 bytes on disk whatever the locale."""
    return text.encode("utf-8", "surrogateescape")


def is_windows_path(path):
    """A drive letter or a share: names compare without regard to case and
    "\\" separates them."""
    return re.match(r"[A-Za-z]:", path) is not None or path.startswith("\\\\") or path.startswith("//")


class PathMap:
    """The folders the server names otherwise than the host: (server, real) pairs."""

    def __init__(self, pairs):
        self.pairs = list(pairs)

    def real(self, path):
        """The host's name for the server's `path`, or None when the server
        cannot see it. Without pairs every path is the server's own."""
        if not self.pairs:
            return path
        for server, real in self.pairs:
            if is_windows_path(server):
                wanted = server.replace("/", "\\").rstrip("\\")
                given = path.replace("/", "\\")
                if given.casefold() != wanted.casefold() and not given.casefold().startswith(wanted.casefold() + "\\"):
                    continue
                rest = given[len(wanted):].strip("\\").replace("\\", "/")
            else:
                wanted = server.rstrip("/")
                if path != wanted and not path.startswith(wanted + "/"):
                    continue
                rest = path[len(wanted):].strip("/")
            return real.rstrip("/") + "/" + rest if rest else real
        return None


def open_error(path, err):
    """The operating system error of a file that cannot be opened, as the
    server words it; a missing file differs from a missing folder. `path`
    is the host's name of the file."""
    if err == errno.ENOENT:
        folder = os.path.dirname(os_path(path)) or b"."
        if os.path.isdir(folder):
            return "2(The system cannot find the file specified.)"
    return os_error_text(err)


def os_error_text(err):
    if err in (errno.ENOENT, errno.ENOTDIR):
        return "3(The system cannot find the path specified.)"
    if err in (errno.EACCES, errno.EPERM, errno.EROFS, errno.EISDIR):
        return "5(Access is denied.)"
    if err in (errno.ENOSPC, errno.EDQUOT):
        return "112(There is not enough space on the disk.)"
    if err in (errno.EINVAL, errno.ENAMETOOLONG, errno.EILSEQ):
        return "123(The filename, directory name, or volume label syntax is incorrect.)"
    return "1117(The request could not be performed because of an I/O device error.)"


def open_backup_file(path, real):
    """The server's opening of a backup file it reads: (descriptor, None) or
    (None, the 3201 error). `path` is the server's name, `real` the host's
    (None when the server cannot see it)."""
    try:
        if real is None:
            raise OSError(errno.ENOENT, "not visible to the server")
        return os.open(os_path(real), os.O_RDONLY | os.O_CLOEXEC), None
    except (OSError, UnicodeError) as e:
        err = e.errno if isinstance(e, OSError) else errno.EINVAL
        text = open_error(real, err) if real is not None else os_error_text(err)
        return None, (3201, 2, 16, "Cannot open backup device '%s'. Operating system error %s." % (path, text))


def read_header_fields(fd):
    """The fields of a backup's 512-byte header, or None when the file does
    not start with one."""
    header = os.read(fd, HEADER_SIZE)
    if len(header) < HEADER_SIZE or not header.startswith(BACKUP_MAGIC):
        return None
    fields = {}
    for line in header[len(BACKUP_MAGIC):].split(b"\x00", 1)[0].split(b"\n"):
        key, sep, value = line.partition(b"=")
        if sep and key not in fields:
            fields[key] = value
    return fields


def malformed_media(path):
    return (3241, 0, 16, "The media family on device '%s' is incorrectly formed. "
                         "SQL Server cannot process this media family." % path)


def check_backup(path, request, real):
    """RESTORE VERIFYONLY's reading of one backup file: None when it is
    whole, else the (number, state, severity, text) that reports why not."""
    fd, problem = open_backup_file(path, real)
    if problem is not None:
        return problem
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            return (3201, 2, 16, "Cannot open backup device '%s'. Operating system error %s." % (
                path, os_error_text(errno.EISDIR)))
        malformed = malformed_media(path)
        fields = read_header_fields(fd)
        if fields is None:
            return malformed
        try:
            size = int(fields[b"size"])
            checksum = fields[b"checksum"].decode("ascii")
        except (KeyError, ValueError, UnicodeError):
            return malformed
        if info.st_size < size:
            return (3203, 1, 16, 'Read on "%s" failed: 38(Reached the end of the file.)' % path)
        damaged = (3189, 1, 16, "Damage to the backup set was detected.")
        if not checksum.startswith("crc32:") or info.st_size > size:
            return damaged
        crc = 0
        done = HEADER_SIZE
        while done < size:
            data = os.read(fd, min(1 << 20, size - done))
            if not data:
                return (3203, 1, 16, 'Read on "%s" failed: 38(Reached the end of the file.)' % path)
            crc = zlib.crc32(data, crc)
            done += len(data)
            request.percent = 100.0 * done / size
        if "crc32:%08x" % crc != checksum:
            return damaged
        return None
    except OSError as e:
        return (3203, 1, 16, 'Read on "%s" failed: %s' % (path, os_error_text(e.errno)))
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# Restoring backups

PLANNING_FAILED = (3119, 1, 16, "Problems were identified while planning for the RESTORE statement. "
                                "Previous messages provide details.")
# Restored log files are made this large (sparse); they hold no pages of the backup.
LOG_FILE_SIZE = 1 << 20
# A delayed restore or consistency check moves one step about this often.
RESTORE_STEP_SECONDS = 0.02


def read_backup_header(path, real, terminating):
    """The header fields of a backup file ({"size": int, "checksum": str,
    "checksums": bool, "database": str, "created": str}) and the file's
    size on disk; raises the server's error, followed by `terminating`,
    when the file cannot be opened or is not a backup. `path` is the
    server's name of the file, `real` the host's (None: the server cannot
    see it)."""
    fd, problem = open_backup_file(path, real)
    if problem is not None:
        raise SqlError(*problem, [terminating])
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise SqlError(3201, 2, 16, "Cannot open backup device '%s'. Operating system error %s." % (
                path, os_error_text(errno.EISDIR)), [terminating])
        header = os.read(fd, HEADER_SIZE)
    except OSError as e:
        raise SqlError(3203, 1, 16, 'Read on "%s" failed: %s' % (path, os_error_text(e.errno)), [terminating])
    finally:
        os.close(fd)
    malformed = SqlError(3241, 0, 16, "The media family on device '%s' is incorrectly formed. "
                                      "SQL Server cannot process this media family." % path, [terminating])
    if len(header) < HEADER_SIZE or not header.startswith(BACKUP_MAGIC):
        raise malformed
    raw = {}
    for line in header[len(BACKUP_MAGIC):].split(b"\x00", 1)[0].split(b"\n"):
        key, sep, value = line.partition(b"=")
        if sep and key not in raw:
            raw[key] = value
    try:
        fields = {"size": int(raw[b"size"]), "checksum": raw[b"checksum"].decode("ascii"),
                  "checksums": raw.get(b"checksums") == b"yes",
                  "database": raw[b"database"].decode("utf-8", "surrogateescape"),
                  "created": raw.get(b"created", b"").decode("ascii", "replace")}
    except (KeyError, ValueError, UnicodeError):
        raise malformed
    return fields, info.st_size


def join_server_path(folder, name):
    """A file name in a folder as the server names it: its own separator
    ("\\" for a Windows path), one between the two."""
    separator = "\\" if "\\" in folder and "/" not in folder else "/"
    return folder if not folder else folder.rstrip("\\/") + separator + name


def logical_files(database, size, data_files, data_path, log_path):
    """The files a backup of `database` holds, as RESTORE FILELISTONLY lists
    them: (logical name, type, file id, original physical name, bytes).
    The primary data file has id 1 and the log 2, as on a real server; the
    backup's pages are shared among the data files."""
    content = max(size - HEADER_SIZE, 0)
    share = content // data_files
    files = [(database, "D", 1, join_server_path(data_path, database + ".mdf"), content - share * (data_files - 1)),
             (database + "_log", "L", 2, join_server_path(log_path, database + "_log.ldf"), LOG_FILE_SIZE)]
    for number in range(2, data_files + 1):
        files.append(("%s_data%d" % (database, number), "D", number + 1,
                      join_server_path(data_path, "%s_data%d.ndf" % (database, number)), share))
    return sorted(files, key=lambda f: f[2])


# ---------------------------------------------------------------------------
# Sessions

class Channel:
    """The byte stream under one session's packets: the socket itself, or,
    once the pre-login handshake is done, TLS over it."""

    def __init__(self, sock):
        self.sock = sock
        self.tls = None
        self.incoming = None
        self.outgoing = None

    def start_tls(self, tls, incoming, outgoing):
        self.tls, self.incoming, self.outgoing = tls, incoming, outgoing

    def stop_tls(self):
        self.tls = self.incoming = self.outgoing = None

    def recv(self, n):
        if self.tls is None:
            return self.sock.recv(n)
        while True:
            try:
                return self.tls.read(n)
            except ssl.SSLWantReadError:
                data = self.sock.recv(65536)
                if not data:
                    return b""
                self.incoming.write(data)
            except ssl.SSLZeroReturnError:
                return b""

    def sendall(self, data):
        if self.tls is None:
            self.sock.sendall(data)
            return
        view = memoryview(data)
        while view:
            view = view[self.tls.write(view):]
        self.sock.sendall(self.outgoing.read())

    def wait_readable(self, timeout):
        if self.tls is not None and self.tls.pending():
            return True
        readable, _, _ = select.select([self.sock], [], [], timeout)
        return bool(readable)


def prelogin_options(payload):
    """The options of a PRELOGIN message: {token: bytes}."""
    options = {}
    pos = 0
    while pos < len(payload) and payload[pos] != 0xFF:
        if pos + 5 > len(payload):
            raise ProtocolError("bad pre-login option table")
        token, offset, length = struct.unpack_from(">BHH", payload, pos)
        options[token] = payload[offset:offset + length]
        pos += 5
    return options


class Session:
    def __init__(self, server, sock):
        self.server = server
        self.channel = Channel(sock)
        self.packet_size = 4096
        self.tds72 = True
        self.tds_version = 0x74000004
        self.login = ""
        self.database = "master"
        self.spid = server.take_spid()
        self.packet_no = 0
        self.cursors = {}
        self.next_cursor = 180150000 + self.spid * 1000
        self.pending = []  # messages that arrived while a statement waited
        self.single_packet_tls = False
        self.encryption = "none"

    # -- packets --------------------------------------------------------

    def recv_exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.channel.recv(n - len(buf))
            if not chunk:
                if buf:
                    raise ProtocolError("connection closed inside a packet")
                return None
            buf += chunk
        return bytes(buf)

    def read_message(self):
        if self.pending:
            return self.pending.pop(0)
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
            if self.single_packet_tls:
                # With encryption off on both sides only the first LOGIN7
                # packet travels inside TLS; the rest of the session is plain.
                self.single_packet_tls = False
                self.channel.stop_tls()
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
        self.channel.sendall(b"".join(out))

    def wait_until(self, deadline):
        """Waits until the monotonic deadline while watching the client:
        raises Cancelled on an attention and ClientGone when the connection
        closes. Anything else the client sends waits its turn."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            if self.channel.wait_readable(left):
                kind, payload = self.read_message()
                if kind is None:
                    raise ClientGone("the client closed the connection during a statement")
                if kind == PT_ATTENTION:
                    raise Cancelled()
                self.pending.append((kind, payload))

    # -- conversation -----------------------------------------------------

    def run(self):
        kind, payload = self.read_message()
        refuse_plain_login = self.server.force_encryption
        if kind == PT_PRELOGIN:
            option = prelogin_options(payload).get(0x01, b"")
            answer, mode = self.negotiate_encryption(option)
            self.server.note("session %d: client encryption %s, answered %d" % (
                self.spid, option[0] if option else "absent", answer))
            self.send_message(PT_REPLY, self.prelogin_reply(answer))
            if mode in ("login", "full"):
                self.tls_handshake(mode)
            kind, payload = self.read_message()
            if kind == PT_PRELOGIN and self.server.tls_context is not None and self.encryption == "none":
                # A client that said it cannot encrypt may still start TLS
                # when the server requires it.
                self.tls_handshake("full", payload)
                kind, payload = self.read_message()
        if kind != PT_LOGIN7:
            return
        if refuse_plain_login and self.encryption == "none":
            self.handle_login(payload, refused=True)
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

    def negotiate_encryption(self, option):
        """The server's ENCRYPTION answer to the client's, and what follows:
        no TLS, TLS for the login packet only, or TLS for everything."""
        if self.server.tls_context is None:
            return ENCRYPT_NOT_SUP, "none"
        client = option[0] & 0x0F if option else ENCRYPT_NOT_SUP
        if self.server.force_encryption:
            return ENCRYPT_REQ, "none" if client == ENCRYPT_NOT_SUP else "full"
        if client == ENCRYPT_NOT_SUP:
            return ENCRYPT_NOT_SUP, "none"
        if client == ENCRYPT_OFF:
            return ENCRYPT_OFF, "login"
        return ENCRYPT_ON, "full"

    def tls_handshake(self, mode, first=None):
        """TLS handshake records travel inside PRELOGIN packets; afterwards
        the TLS stream carries whole TDS packets."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.server.tls_context.wrap_bio(incoming, outgoing, server_side=True)
        if first is not None:
            incoming.write(first)
        while True:
            try:
                tls.do_handshake()
                finished = True
            except ssl.SSLWantReadError:
                finished = False
            data = outgoing.read()
            if data:
                self.send_message(PT_PRELOGIN, data)
            if finished:
                break
            kind, payload = self.read_message()
            if kind is None:
                raise ClientGone("the client closed the connection during the TLS handshake")
            if kind != PT_PRELOGIN:
                raise ProtocolError("packet type 0x%02X inside the TLS handshake" % kind)
            incoming.write(payload)
        self.channel.start_tls(tls, incoming, outgoing)
        self.single_packet_tls = mode == "login"
        self.encryption = mode
        self.server.note("session %d: %s encrypted with %s" % (
            self.spid, "login packet" if mode == "login" else "everything", tls.version()))

    def prelogin_reply(self, encryption):
        options = [
            (0x00, bytes([16, 0, 0x03, 0xE8, 0, 0])),  # version
            (0x01, bytes([encryption])),
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

    def handle_login(self, p, refused=False):
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
            # Lone surrogates are not text; everything else decodes exactly.
            return raw.decode("utf-16-le", errors="replace")

        user = field(40)
        password = field(44, password=True)
        database = field(68)
        self.login = user

        def journal_login(accepted):
            self.server.write_journal({"kind": "login", "login": user, "database": database, "password": password,
                                       "text": "ok" if accepted else "failed", "encryption": self.encryption})

        if refused:
            # The server requires encryption: a plain login is dropped unanswered.
            journal_login(False)
            self.server.note("session %d: unencrypted login of '%s' refused" % (self.spid, user))
            return False
        t = Tokens(self.tds72)
        expected = self.server.logins.get(user.casefold())
        if expected is None or expected != password:
            journal_login(False)
            t.error(18456, 1, 14, "Login failed for user '%s'." % user)
            t.done(DONE_ERROR)
            self.send_message(PT_REPLY, t.data())
            return False
        if database:
            found = self.server.find_database(database)
            if found is None:
                journal_login(False)
                t.error(4060, 1, 11, 'Cannot open database "%s" requested by the login. The login failed.' % database)
                t.error(18456, 1, 14, "Login failed for user '%s'." % user)
                t.done(DONE_ERROR)
                self.send_message(PT_REPLY, t.data())
                return False
            self.database = found
        else:
            self.database = self.server.default_database
        journal_login(True)
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
            except Cancelled:
                # The client discards everything up to the acknowledgement.
                t.done(DONE_ATTN)
                break
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
        request = self.server.begin_request(self.spid, request_command(tokens))
        try:
            self.execute_statement(c, word, t, more, request)
        finally:
            self.server.end_request(self.spid)

    def execute_statement(self, c, word, t, more, request):
        if word == "SELECT":
            columns, rows = self.select(c)
            t.result(columns, rows)
            t.done(DONE_COUNT | more, 0xC1, len(rows))
        elif word == "BACKUP":
            self.backup(c, t, request)
            t.done(more)
        elif word == "RESTORE" and c.peek(1) is not None and c.peek(1).word() == "VERIFYONLY":
            self.verify(c, t, request)
            t.done(more)
        elif self.restore_test_statement(c, word, t, more, request):
            pass
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
            request.status = "suspended"
            seconds = min(int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3)), 3600)
            self.wait_until(time.monotonic() + seconds)
            t.done(more)
        else:
            raise syntax_error(c.tokens[0])

    def backup(self, c, t, request):
        c.expect_word("BACKUP")
        if not c.at_word("DATABASE"):
            raise syntax_error(c.next())
        c.next()
        name = identifier(c.next())
        c.expect_word("TO")
        path = disk_device(c)
        options, _ = with_options(c)

        terminating = (3013, 1, 16, "BACKUP DATABASE is terminating abnormally.")
        database = self.server.find_database(name)
        if database is None:
            raise SqlError(911, 11, 16, "Database '%s' does not exist. Make sure that the name is entered correctly." % name,
                           [terminating])
        started = time.monotonic()
        damaged = database.casefold() in self.server.damaged_databases
        stall = self.server.stalled_databases.get(database.casefold())
        real = self.server.path_map.real(path)
        failure = ("open", errno.ENOENT) if real is None else self.write_backup(
            real, database, request, damaged, stall, "CHECKSUM" in options)
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

    def write_backup(self, path, database, request, damaged, stall=None, page_checksums=False):
        """Writes the backup file, spread over --backup-delay-ms in steps so
        that its progress shows and a client that goes away leaves a partial
        file; with `stall` (a percentage) it stops there and waits for the
        cancel. Returns None, or the failing stage and errno."""
        size = self.server.backup_size
        stall_at = None if stall is None else size * stall // 100
        delay = self.server.backup_delay
        try:
            fd = os.open(os_path(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
        except OSError as e:
            return ("open", e.errno)
        except UnicodeError:
            return ("open", errno.EINVAL)
        started = time.monotonic()
        steps = 1 if delay <= 0 else max(1, min(int(delay / BACKUP_STEP_SECONDS), size // HEADER_SIZE))
        step = 0
        bound = size // steps
        written = 0
        crc = 0
        try:
            if stall_at == 0:
                self.wait_forever()
            for piece in backup_pieces(size, backup_header(database, size, None, page_checksums)):
                view = memoryview(piece)
                while view:
                    end = bound if stall_at is None or stall_at <= written else min(bound, stall_at)
                    part = view[:end - written]
                    write_all(fd, part)
                    if written + len(part) > HEADER_SIZE:
                        crc = zlib.crc32(part[max(0, HEADER_SIZE - written):], crc)
                    written += len(part)
                    view = view[len(part):]
                    request.percent = 100.0 * written / size
                    if written == stall_at:
                        self.wait_forever()
                    if written == bound:
                        step += 1
                        bound = size * (step + 1) // steps
                        if delay > 0:
                            self.wait_until(started + delay * step / steps)
            if damaged:
                crc ^= 0xFFFFFFFF
            os.pwrite(fd, backup_header(database, size, crc, page_checksums)[:size], 0)
            request.percent = 100.0
            if delay > 0:
                self.wait_until(started + delay)
        except OSError as e:
            return ("write", e.errno)
        finally:
            os.close(fd)
        return None

    def verify(self, c, t, request):
        c.expect_word("RESTORE")
        c.expect_word("VERIFYONLY")
        c.expect_word("FROM")
        path = disk_device(c)
        skip_options(c)
        problem = check_backup(path, request, self.server.path_map.real(path))
        if problem is not None:
            raise SqlError(*problem, follow=[(3013, 1, 16, "VERIFY DATABASE is terminating abnormally.")])
        t.info(3262, 1, 0, "The backup set on file 1 is valid.")

    # -- restore tests ----------------------------------------------------
    # What proving a backup takes: its header and file list, a restore under
    # another name with its files moved, the consistency check of the copy
    # and dropping it again.

    def restore_test_statement(self, c, word, t, more, request):
        """Runs RESTORE HEADERONLY / FILELISTONLY / DATABASE, DBCC CHECKDB or
        DROP DATABASE; False for any other statement."""
        second = c.peek(1).word() if c.peek(1) is not None else None
        if word == "RESTORE" and second == "HEADERONLY":
            self.restore_headeronly(c, t, more)
        elif word == "RESTORE" and second == "FILELISTONLY":
            self.restore_filelistonly(c, t, more)
        elif word == "RESTORE" and second == "DATABASE":
            self.restore_database(c, t, more, request)
        elif word == "DBCC" and second == "CHECKDB":
            self.dbcc_checkdb(c, t, more, request)
        elif word == "DROP" and second == "DATABASE":
            self.drop_database(c, t, more)
        else:
            return False
        return True

    def backup_file_list(self, fields):
        server = self.server
        return logical_files(fields["database"], fields["size"], server.data_files,
                             server.data_path or "/var/opt/mssql/data/",
                             server.log_path or server.data_path or "/var/opt/mssql/data/")

    def restore_headeronly(self, c, t, more):
        c.expect_word("RESTORE")
        c.expect_word("HEADERONLY")
        c.expect_word("FROM")
        path = disk_device(c)
        with_options(c)
        fields, _ = read_backup_header(path, self.server.path_map.real(path), (3013, 1, 16, "RESTORE HEADERONLY is terminating abnormally."))
        columns = [("BackupName", "nvarchar", 128), ("BackupType", "int", 2), ("Position", "int", 2),
                   ("DeviceType", "int", 2), ("ServerName", "nvarchar", 128), ("DatabaseName", "nvarchar", 128),
                   ("BackupSize", "int", 8), ("BackupStartDate", "nvarchar", 30), ("HasBackupChecksums", "int", 1),
                   ("IsDamaged", "int", 1)]
        rows = [["Full  Backup of  " + fields["database"], 1, 1, 2, SERVER_NAME, fields["database"], fields["size"],
                 fields["created"].replace("T", " "), 1 if fields["checksums"] else 0, 0]]
        t.result(columns, rows)
        t.done(DONE_COUNT | more, 0xC1, len(rows))

    def restore_filelistonly(self, c, t, more):
        c.expect_word("RESTORE")
        c.expect_word("FILELISTONLY")
        c.expect_word("FROM")
        path = disk_device(c)
        with_options(c)
        fields, _ = read_backup_header(path, self.server.path_map.real(path), (3013, 1, 16, "RESTORE FILELIST is terminating abnormally."))
        columns = [("LogicalName", "nvarchar", 128), ("PhysicalName", "nvarchar", 260), ("Type", "nvarchar", 1),
                   ("FileGroupName", "nvarchar", 128), ("Size", "int", 8), ("MaxSize", "int", 8),
                   ("FileId", "int", 8), ("BackupSizeInBytes", "int", 8), ("IsPresent", "int", 1)]
        rows = [[logical, physical, kind, "PRIMARY" if kind == "D" else None, size, 35184372080640, file_id,
                 size if kind == "D" else 0, 1]
                for logical, kind, file_id, physical, size in self.backup_file_list(fields)]
        t.result(columns, rows)
        t.done(DONE_COUNT | more, 0xC1, len(rows))

    def restore_database(self, c, t, more, request):
        c.expect_word("RESTORE")
        c.expect_word("DATABASE")
        name = identifier(c.next())
        c.expect_word("FROM")
        path = disk_device(c)
        options, moves = with_options(c)
        terminating = (3013, 1, 16, "RESTORE DATABASE is terminating abnormally.")
        if not 0 < len(name) <= 128:
            raise SqlError(103, 4, 15, "The identifier that starts with '%s' is too long. Maximum length is 128." % (
                name[:128]))
        fields, on_disk = read_backup_header(path, self.server.path_map.real(path), terminating)
        source = fields["database"]
        server = self.server
        if name.casefold() in server.databases:
            raise SqlError(3154, 4, 16, "The backup set holds a backup of a database other than the existing '%s' "
                                        "database." % name, [terminating])
        if options.get("CHECKSUM") and not fields["checksums"]:
            raise SqlError(3187, 1, 16, "RESTORE WITH CHECKSUM cannot be specified because the backup set does not "
                                        "contain checksum information.", [terminating])
        files = self.backup_file_list(fields)
        moved = {}
        for logical, target in moves:
            if not any(f[0].casefold() == logical.casefold() for f in files):
                raise SqlError(3234, 2, 16, "Logical file '%s' is not part of database '%s'. Use RESTORE "
                                            "FILELISTONLY to list the logical file names." % (logical, name),
                               [terminating])
            moved[logical.casefold()] = target
        # Planning: every file gets its place before anything is written.
        targets = []
        created = []
        try:
            for logical, kind, file_id, physical, size in files:
                target = moved.get(logical.casefold(), physical)
                owner = server.database_owning_file(target) or (
                    source if target == physical and server.find_database(source) is not None else None)
                if owner is not None:
                    raise SqlError(1834, 1, 16, "The file '%s' cannot be overwritten.  It is being used by "
                                                "database '%s'." % (target, owner),
                                   [(3156, 4, 16, "File '%s' cannot be restored to '%s'. Use WITH MOVE to identify "
                                                  "a valid location for the file." % (logical, target)),
                                    PLANNING_FAILED, terminating])
                try:
                    fd = os.open(os_path(target), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o660)
                except (OSError, UnicodeError) as e:
                    err = e.errno if isinstance(e, OSError) else errno.EINVAL
                    if err == errno.EEXIST:
                        raise SqlError(3142, 1, 16, 'File "%s" cannot be restored over the existing "%s". Reissue '
                                                    "the RESTORE statement using WITH REPLACE to overwrite "
                                                    "pre-existing files, or WITH MOVE to identify an alternate "
                                                    "location." % (logical, target), [PLANNING_FAILED, terminating])
                    raise SqlError(5133, 1, 16, 'Directory lookup for the file "%s" failed with the operating '
                                                "system error %s." % (target, open_error(target, err)),
                                   [(3156, 3, 16, "File '%s' cannot be restored to '%s'. Use WITH MOVE to identify "
                                                  "a valid location for the file." % (logical, target)),
                                    PLANNING_FAILED, terminating])
                created.append(target)
                targets.append((logical, kind, target, size, fd))
        except SqlError:
            for _, _, _, _, fd in targets:
                os.close(fd)
            for target in created:
                try:
                    os.unlink(os_path(target))
                except OSError:
                    pass
            raise
        # From here the database exists, restoring; a failure, a cancel or a
        # client that goes away leaves it so, with its files, as a real
        # server does.
        server.add_restored_database(name, source, [target for _, _, target, _, _ in targets])
        started = time.monotonic()
        try:
            self.copy_backup_pages(path, fields, on_disk, targets, request, terminating)
        finally:
            for _, _, _, _, fd in targets:
                os.close(fd)
        server.finish_restore(name)
        elapsed = max(time.monotonic() - started, 0.001)
        pages = 0
        for logical, kind, _, size, _ in targets:
            count = max(1, size // PAGE) if kind == "D" else 2
            pages += count
            t.info(4035, 1, 0, "Processed %d pages for database '%s', file '%s' on file 1." % (count, name, logical))
        t.info(3014, 1, 0, "RESTORE DATABASE successfully processed %d pages in %.3f seconds (%.3f MB/sec)." % (
            pages, elapsed, fields["size"] / 1048576.0 / elapsed))
        t.done(more)

    def copy_backup_pages(self, path, fields, on_disk, targets, request, terminating):
        """Reads the backup's pages into the data files, checking them as it
        goes; spread over --restore-delay-ms so that progress shows."""
        size = fields["size"]
        delay = self.server.restore_delay
        content = max(size - HEADER_SIZE, 1)
        steps = 1 if delay <= 0 else max(1, min(int(delay / RESTORE_STEP_SECONDS), content // PAGE or 1))
        # Pieces no larger than a step, so that the progress moves with them.
        piece = max(PAGE, min(1 << 20, -(-content // steps)))
        started = time.monotonic()
        crc = 0
        done = 0
        read_error = lambda text: SqlError(3203, 1, 16, 'Read on "%s" failed: %s' % (path, text), [terminating])
        fd, problem = open_backup_file(path, self.server.path_map.real(path))
        if problem is not None:
            raise SqlError(*problem, [terminating])
        try:
            os.lseek(fd, HEADER_SIZE, os.SEEK_SET)
            for logical, kind, target, share, out in targets:
                if kind != "D":
                    os.ftruncate(out, share)
                    continue
                left = share
                while left > 0:
                    data = os.read(fd, min(piece, left))
                    if not data:
                        raise read_error("38(Reached the end of the file.)")
                    crc = zlib.crc32(data, crc)
                    try:
                        write_all(out, data)
                    except OSError as e:
                        raise SqlError(3202, 1, 16, 'Write on "%s" failed: %s' % (target, os_error_text(e.errno)),
                                       [terminating])
                    left -= len(data)
                    done += len(data)
                    request.percent = 100.0 * done / content
                    if delay > 0:
                        step = done * steps // content
                        self.wait_until(started + delay * step / steps)
        except OSError as e:
            raise read_error(os_error_text(e.errno))
        finally:
            os.close(fd)
        if on_disk != size or "crc32:%08x" % crc != fields["checksum"]:
            raise SqlError(3183, 1, 16, 'RESTORE detected an error on page (1:%d) in database "%s" as read from the '
                                        "backup set." % (max(1, content // PAGE // 2), fields["database"]),
                           [terminating])
        request.percent = 100.0

    def dbcc_checkdb(self, c, t, more, request):
        c.expect_word("DBCC")
        c.expect_word("CHECKDB")
        name = self.database
        if c.at_punct("("):
            c.next()
            tok = c.next()
            name = tok.value if tok.kind == "string" else identifier(tok)
            while not c.at_punct(")"):
                c.next()
            c.next()
        options, _ = with_options(c)
        server = self.server
        found = server.find_database(name)
        if found is None:
            raise SqlError(2520, 1, 16, "Could not find database '%s'. The database either does not exist, or was "
                                        "dropped before a statement tried to use it. Verify if the database exists "
                                        "by querying the sys.databases catalog view." % name)
        restored = server.restored_database(found)
        if restored is not None and restored["state"] != "ONLINE":
            raise SqlError(927, 2, 14, "Database '%s' cannot be opened. It is in the middle of a restore." % found)
        # The check reads every page of the data files.
        files = restored["files"] if restored is not None else []
        total = sum(os.path.getsize(os_path(f)) for f in files if os.path.exists(os_path(f))) or 1
        done = 0
        for path in files:
            try:
                with open(os_path(path), "rb") as data:
                    while True:
                        chunk = data.read(1 << 20)
                        if not chunk:
                            break
                        done += len(chunk)
                        request.percent = 100.0 * done / total
            except OSError:
                pass
        source = restored["source"] if restored is not None else found
        info = "NO_INFOMSGS" not in options
        if {found.casefold(), source.casefold()} & server.inconsistent_databases:
            object_id = "Object ID 2105058535, index ID 0, partition ID 72057594038321152, alloc unit ID " \
                        "72057594042318848 (type In-row data)"
            t.error(8928, 1, 16, "%s: Page (1:94299) could not be processed.  See other errors for details." % (
                object_id))
            t.error(8939, 98, 16, "Table error: %s, page (1:94299). Test (IS_OFF (BUF_IOERR, pBUF->bstat)) failed. "
                                  "Values are 12716041 and -4." % object_id)
            t.info(8990, 1, 10, "CHECKDB found 0 allocation errors and 2 consistency errors in table 'Orders' "
                                "(object ID 2105058535).")
            t.info(8989, 1, 10, "CHECKDB found 0 allocation errors and 2 consistency errors in database '%s'." % found)
            t.info(8958, 1, 10, "repair_allow_data_loss is the minimum repair level for the errors found by DBCC "
                                "CHECKDB (%s)." % found)
            t.done(DONE_ERROR | more)
            return
        if info:
            t.info(8989, 1, 10, "CHECKDB found 0 allocation errors and 0 consistency errors in database '%s'." % found)
            t.info(2528, 1, 10, "DBCC execution completed. If DBCC printed error messages, contact your system "
                                "administrator.")
        t.done(more)

    def drop_database(self, c, t, more):
        c.expect_word("DROP")
        c.expect_word("DATABASE")
        names = [identifier(c.next())]
        while c.at_punct(","):
            c.next()
            names.append(identifier(c.next()))
        if not c.done():
            raise syntax_error(c.next())
        server = self.server
        for name in names:
            if name.casefold() in (n.casefold() for n in SYSTEM_DATABASES):
                raise SqlError(3708, 1, 16, "Cannot drop the database '%s' because it is a system database." % name)
            if name.casefold() not in server.databases:
                raise SqlError(3701, 1, 11, "Cannot drop the database '%s', because it does not exist or you do not "
                                            "have permission." % name)
            if server.database_in_use(name, self.spid):
                raise SqlError(3702, 4, 16, 'Cannot drop database "%s" because it is currently in use.' % name)
            server.drop_database(name)
        t.done(more)

    def wait_forever(self):
        """Waits until the client cancels (Cancelled) or goes (ClientGone)."""
        while True:
            self.wait_until(time.monotonic() + 3600)

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
                        c.peek().kind == "word" and c.peek().word() not in ("FROM", "UNION", "WHERE"))):
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
        if c.at_word("WHERE"):
            c.next()
            table_rows = self.where(c, table_columns, names, table_rows)

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
        if word == "SERVERPROPERTY" and c.at_punct("("):
            c.next()
            prop = c.next()
            if prop.kind != "string":
                raise syntax_error(prop)
            c.expect_punct(")")
            return ("value", self.server_property(prop.value))
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

    def server_property(self, name):
        """SERVERPROPERTY: NULL for a name it does not know, as a real server."""
        values = {"instancedefaultdatapath": self.server.data_path,
                  "instancedefaultlogpath": self.server.log_path or self.server.data_path,
                  "productversion": "16.0.1000.6", "servername": SERVER_NAME, "machinename": SERVER_NAME,
                  "edition": "Developer Edition (64-bit)"}
        return values.get(name.casefold())

    def where(self, c, columns, names, rows):
        """WHERE column op value [AND ...], op one of = <> < > <= >=."""
        tests = []
        while True:
            name = identifier(c.next())
            if name.casefold() not in names:
                raise SqlError(207, 1, 16, "Invalid column name '%s'." % name)
            i = names.index(name.casefold())
            op = c.next()
            if op.kind != "punct" or op.text not in ("=", "<", ">"):
                raise syntax_error(op)
            op = op.text
            if op in ("<", ">") and c.at_punct("="):
                op += c.next().text
            elif op == "<" and c.at_punct(">"):
                op += c.next().text
            kind, value = self.expression(c)
            if kind != "value":
                raise SqlError(207, 1, 16, "Invalid column name '%s'." % value)
            tests.append((i, op, comparable(columns[i][1], value)))
            if not c.at_word("AND"):
                break
            c.next()
        compare = {"=": lambda a, b: a == b, "<>": lambda a, b: a != b, "<": lambda a, b: a < b,
                   ">": lambda a, b: a > b, "<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b}
        kept = []
        for row in rows:
            for i, op, value in tests:
                cell = row[i]
                if cell is None or value is None:
                    break
                if isinstance(cell, str):
                    cell = cell.casefold()
                if not compare[op](cell, value):
                    break
            else:
                kept.append(row)
        return kept

    def table(self, c):
        parts = [identifier(c.next())]
        while c.at_punct("."):
            c.next()
            parts.append(identifier(c.next()))
        name = ".".join(p.casefold() for p in parts)
        if name in ("sys.databases", "master.sys.databases", "master..databases"):
            return ([("name", "nvarchar", 128), ("database_id", "int", 4), ("state_desc", "nvarchar", 60)],
                    self.server.database_rows())
        if name in ("sys.dm_exec_requests", "master.sys.dm_exec_requests"):
            if self.server.deny_server_state:
                raise SqlError(300, 1, 14, "VIEW SERVER STATE permission was denied on object 'server', database 'master'.",
                               [(297, 1, 16, "The user does not have permission to perform this action.")])
            return ([("session_id", "int", 2), ("request_id", "int", 4), ("status", "nvarchar", 30),
                     ("command", "nvarchar", 32), ("percent_complete", "real", 4)],
                    self.server.request_rows())
        if parts[-1].casefold() == "numbers" and len(parts) <= 3:
            return ([("n", "int", 4), ("label", "nvarchar", 20)],
                     [(i, "Row %d" % i) for i in range(1, NUMBERS_ROWS + 1)])
        raise SqlError(208, 1, 16, "Invalid object name '%s'." % ".".join(parts))


def comparable(kind, value):
    """A WHERE value converted to its column's type, as the server converts."""
    if value is None:
        return None
    if kind in ("int", "real"):
        if isinstance(value, str):
            try:
                return int(value) if kind == "int" else float(value)
            except ValueError:
                raise SqlError(245, 1, 16, "Conversion failed when converting the nvarchar value '%s' to data type %s." % (
                    value, kind))
        return value
    return str(value).casefold()


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
        with self.server.lock:
            self.server.sessions[session.spid] = session
        try:
            session.run()
        except (OSError, ProtocolError, struct.error, UnicodeError, IndexError, ValueError) as e:
            self.server.note("session %d ended: %s" % (session.spid, e))
        finally:
            with self.server.lock:
                self.server.sessions.pop(session.spid, None)
            self.server.end_request(session.spid)
            self.server.release_spid(session.spid)


class Request:
    """A statement in progress, as sys.dm_exec_requests shows it."""
    __slots__ = ("command", "status", "percent")

    def __init__(self, command):
        self.command = command
        self.status = "running"
        self.percent = 0.0


class TdsServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, args, tls_context, journal_fd):
        self.logins = {user.casefold(): password for user, password in args.logins}
        self.databases = {}
        for name in SYSTEM_DATABASES + args.database:
            self.databases.setdefault(name.casefold(), name)
        self.any_database = args.any_database
        self.default_database = args.database[0] if args.database else "master"
        self.backup_size = args.backup_size
        self.backup_delay = args.backup_delay_ms / 1000.0
        self.damaged_databases = {name.casefold() for name in args.damage_backups_of}
        self.inconsistent_databases = {name.casefold() for name in args.consistency_errors_in}
        self.data_path = args.data_path
        self.log_path = args.log_path
        self.data_files = args.data_files
        self.restore_delay = args.restore_delay_ms / 1000.0
        self.restored = {}  # casefolded name: {"files": [...], "source": name, "state": ...}
        self.sessions = {}  # spid: Session
        self.deny_server_state = args.deny_server_state
        self.stalled_databases = {name.casefold(): percent for name, percent in args.stalls}
        self.path_map = PathMap(args.path_maps)
        self.force_encryption = args.force_encryption
        self.tls_context = tls_context
        self.journal_fd = journal_fd
        self.verbose = args.verbose
        self.lock = threading.Lock()
        self.requests = {}
        # Session ids start at 51, as user sessions do, and are reused once free.
        self.spid_next = 51
        self.spid_free = []
        super().__init__(("127.0.0.1", args.port), Handler)

    def take_spid(self):
        with self.lock:
            if self.spid_free:
                return heapq.heappop(self.spid_free)
            if self.spid_next > 0x7FFF:
                raise ProtocolError("too many sessions")
            self.spid_next += 1
            return self.spid_next - 1

    def release_spid(self, spid):
        with self.lock:
            heapq.heappush(self.spid_free, spid)

    def begin_request(self, spid, command):
        request = Request(command)
        with self.lock:
            self.requests[spid] = request
        return request

    def end_request(self, spid):
        with self.lock:
            self.requests.pop(spid, None)

    def request_rows(self):
        with self.lock:
            requests = sorted(self.requests.items())
        return [(spid, 0, r.status, r.command, round(r.percent, 4)) for spid, r in requests]

    def all_databases(self):
        return list(self.databases.values())

    def database_rows(self):
        """sys.databases: name, database_id, state_desc."""
        with self.lock:
            names = list(self.databases.values())
            states = {key: entry["state"] for key, entry in self.restored.items()}
        return [(n, i + 1, states.get(n.casefold(), "ONLINE")) for i, n in enumerate(names)]

    def add_restored_database(self, name, source, files):
        with self.lock:
            self.databases[name.casefold()] = name
            self.restored[name.casefold()] = {"files": list(files), "source": source, "state": "RESTORING"}

    def finish_restore(self, name):
        with self.lock:
            self.restored[name.casefold()]["state"] = "ONLINE"

    def restored_database(self, name):
        with self.lock:
            entry = self.restored.get(name.casefold())
            return dict(entry) if entry is not None else None

    def database_owning_file(self, path):
        with self.lock:
            for key, entry in self.restored.items():
                if path in entry["files"]:
                    return self.databases.get(key, key)
        return None

    def database_in_use(self, name, spid):
        with self.lock:
            sessions = [s for other, s in self.sessions.items() if other != spid]
        return any(s.database.casefold() == name.casefold() for s in sessions)

    def drop_database(self, name):
        """Forgets the database and deletes its files, as a real server does."""
        with self.lock:
            self.databases.pop(name.casefold(), None)
            entry = self.restored.pop(name.casefold(), None)
        for path in entry["files"] if entry is not None else []:
            try:
                os.unlink(os_path(path))
            except OSError:
                pass

    def find_database(self, name):
        found = self.databases.get(name.casefold())
        if found is None and self.any_database and 0 < len(name) <= 128:
            return name
        return found

    def write_journal(self, entry):
        if self.journal_fd is None:
            return
        try:
            line = (json.dumps(entry, ensure_ascii=False) + "\n").encode("utf-8")
        except UnicodeError:
            line = (json.dumps(entry) + "\n").encode("ascii")
        with self.lock:
            write_all(self.journal_fd, line)

    def note(self, text):
        if self.verbose:
            print(text, file=sys.stderr, flush=True)

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


# ---------------------------------------------------------------------------
# Start-up

def account(text):
    """USER or USER:GROUP (names or numbers): (user name or None, uid, gid)."""
    user, _, group = text.partition(":")
    try:
        entry = pwd.getpwuid(int(user)) if user.isdigit() else pwd.getpwnam(user)
        name, uid, gid = entry.pw_name, entry.pw_uid, entry.pw_gid
    except KeyError:
        if not user.isdigit():
            raise ValueError("there is no user '%s'" % user)
        name, uid, gid = None, int(user), None
    if group:
        try:
            gid = int(group) if group.isdigit() else grp.getgrnam(group).gr_gid
        except KeyError:
            raise ValueError("there is no group '%s'" % group)
    if gid is None:
        raise ValueError("user %s has no account entry: name its group as %s:GROUP" % (user, user))
    return name, uid, gid


def parent_death_signal():
    """The signal this process gets when its parent dies (0 for none).
    Changing the user clears it, so it is read before and set again after."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        value = ctypes.c_int(0)
        if libc.prctl(2, ctypes.byref(value), 0, 0, 0) == 0:  # PR_GET_PDEATHSIG
            return value.value, libc
    except (OSError, AttributeError):
        pass
    return 0, None


def drop_privileges(name, uid, gid):
    """Becomes the service account for good: groups, then group, then user."""
    signum, libc = parent_death_signal()
    parent = os.getppid()
    if name is not None:
        os.initgroups(name, gid)
    else:
        os.setgroups([gid])
    os.setgid(gid)
    os.setuid(uid)
    if uid != 0:
        try:
            os.setuid(0)
        except PermissionError:
            pass
        else:
            raise SystemExit("tds_server.py: could not give up root")
    if signum and libc is not None:
        libc.prctl(1, signum, 0, 0, 0)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:
            raise SystemExit(0)


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # TDS 7.x carries the handshake inside PRELOGIN packets; servers speak
    # TLS 1.2 there, and no session tickets follow the handshake.
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


def main(argv=None):
    if argv is None:
        # Arguments are UTF-8 whatever the locale says.
        argv = [os.fsencode(a).decode("utf-8", "surrogateescape") for a in sys.argv[1:]]
    parser = argparse.ArgumentParser(description="SQL Server wire-protocol test and demo server.")
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1; 0 picks a free one")
    parser.add_argument("--login", action="append", default=[], metavar="USER:PASSWORD")
    parser.add_argument("--database", action="append", default=[], metavar="NAME")
    parser.add_argument("--any-database", action="store_true", help="every database name exists")
    parser.add_argument("--backup-size", type=int, default=1 << 20, metavar="BYTES")
    parser.add_argument("--backup-delay-ms", type=int, default=0, metavar="MS")
    parser.add_argument("--damage-backups-of", action="append", default=[], metavar="NAME",
                        help="backups of this database fail RESTORE VERIFYONLY")
    parser.add_argument("--data-path", metavar="FOLDER",
                        help="SERVERPROPERTY('InstanceDefaultDataPath'); NULL when not given")
    parser.add_argument("--log-path", metavar="FOLDER",
                        help="SERVERPROPERTY('InstanceDefaultLogPath'); the data path when not given")
    parser.add_argument("--data-files", type=int, default=1, metavar="N",
                        help="data files in every backup besides its log file")
    parser.add_argument("--restore-delay-ms", type=int, default=0, metavar="MS")
    parser.add_argument("--consistency-errors-in", action="append", default=[], metavar="NAME",
                        help="DBCC CHECKDB finds errors in this database and in copies restored from its backups")
    parser.add_argument("--stall-backups-of", action="append", default=[], metavar="NAME:PERCENT",
                        help="backups of this database stop progressing at PERCENT and wait for a cancel")
    parser.add_argument("--path-map", action="append", default=[], metavar="SERVER=REAL",
                        help="the server names the folder REAL as SERVER; other paths it cannot see")
    parser.add_argument("--deny-server-state", action="store_true",
                        help="the logins lack VIEW SERVER STATE: sys.dm_exec_requests is refused")
    parser.add_argument("--tls-cert", metavar="FILE", help="PEM certificate (chain) offered for encryption")
    parser.add_argument("--tls-key", metavar="FILE", help="PEM private key of --tls-cert")
    parser.add_argument("--force-encryption", action="store_true", help="refuse logins that are not encrypted")
    parser.add_argument("--run-as", metavar="USER[:GROUP]", help="when started as root, listen and then become USER")
    parser.add_argument("--umask", metavar="OCTAL", help="the umask for every file the server writes")
    parser.add_argument("--journal", metavar="FILE")
    parser.add_argument("--verbose", action="store_true", help="report dropped sessions on stderr")
    args = parser.parse_args(argv)

    args.logins = []
    for pair in args.login:
        user, sep, password = pair.partition(":")
        if not sep or not user:
            parser.error("--login takes USER:PASSWORD, got %r" % pair)
        args.logins.append((user, password))
    if args.backup_size < 0 or args.backup_delay_ms < 0 or args.restore_delay_ms < 0:
        parser.error("--backup-size, --backup-delay-ms and --restore-delay-ms must not be negative")
    if not 1 <= args.data_files <= 32:
        parser.error("--data-files takes 1 to 32, got %d" % args.data_files)
    args.stalls = []
    for text in args.stall_backups_of:
        name, sep, percent = text.rpartition(":")
        if not sep or not name or not percent.isdigit() or int(percent) > 100:
            parser.error("--stall-backups-of takes NAME:PERCENT (0 to 100), got %r" % text)
        args.stalls.append((name, int(percent)))
    args.path_maps = []
    for text in args.path_map:
        server, sep, real = text.partition("=")
        if not sep or not server or not real:
            parser.error("--path-map takes SERVER=REAL, got %r" % text)
        args.path_maps.append((server, real))
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if args.force_encryption and not args.tls_cert:
        parser.error("--force-encryption needs --tls-cert and --tls-key")
    mask = None
    if args.umask is not None:
        try:
            mask = int(args.umask, 8)
        except ValueError:
            mask = -1
        if not 0 <= mask <= 0o777:
            parser.error("--umask takes an octal mask such as 027, got %r" % args.umask)
    run_as = None
    if args.run_as is not None:
        if os.geteuid() != 0:
            parser.error("--run-as %s needs the server to be started as root (it runs as uid %d)" % (
                args.run_as, os.geteuid()))
        try:
            run_as = account(args.run_as)
        except ValueError as e:
            parser.error("--run-as %s: %s" % (args.run_as, e))

    if mask is not None:
        os.umask(mask)
    # The journal, the key and the port are taken before root is given up.
    journal_fd = None
    if args.journal:
        try:
            journal_fd = os.open(os_path(args.journal), os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o666)
        except OSError as e:
            parser.error("cannot open the journal %s: %s" % (args.journal, e.strerror))
    context = None
    if args.tls_cert:
        try:
            context = tls_context(args.tls_cert, args.tls_key)
        except (OSError, ssl.SSLError) as e:
            parser.error("cannot load the certificate %s with the key %s: %s" % (args.tls_cert, args.tls_key, e))
    try:
        server = TdsServer(args, context, journal_fd)
    except OSError as e:
        parser.error("cannot listen on 127.0.0.1 port %d: %s" % (args.port, e.strerror))
    if run_as is not None:
        drop_privileges(*run_as)

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
