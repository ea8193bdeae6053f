#!/usr/bin/env python3
"""A small kxrpc client in plain Python (standard library only).

It logs on, fetches fields of a record, runs a query page by page, changes a field through a
change batch and logs off. docs/protocol.md explains every byte it sends and reads.

    python3 examples/client.py [-host H] [-port N] [-user U] [-password P] [-record NAME]
                               [-headline TEXT]

Exit status 0 when every step worked; 1 with the reason on standard error otherwise.
"""

import argparse
import socket
import struct
import sys

PROGRAM = 0x20031855
VERSION = 1

# Procedure numbers (docs/protocol.md lists all 37).
DELETE_STATE = 2
FETCH_PROPS = 3
PUT_PROPS = 4
LOGIN = 5
EXECUTE_QUERY = 7
CREATE_TEMP = 9
DELIVER_CHANGE_CONTEXT = 10

# Resource type codes of targets.
TT_RECORD = 32
TT_ACTION = 40
BY_NAME = 1
BY_STATE_ITEM = 3

# Value-type tags of property values.
PV_STRING = 100001
PV_EMPTY = 100002
PV_ENUM = 100003
PV_INT = 100005
PV_BOOL = 100006
PV_DATE_TIME = 100007
PV_LIST_START = 100008
PV_LIST_END = 100009
PV_PROPERTY_NAME = 100010
PV_UNSUPPORTED = 100011
PV_UNAVAILABLE = 100012
PV_PROPERTY_ERROR = 100013
PV_FATAL_ERROR = 100014
PV_INT64 = 100017
PV_XML = 100019
PV_RANGE = 100022

# Properties asked by number get ids of lib/tesutil's XML tags; fields are named in the request
# and numbered from here.
DYNAMIC_PROP_BASE = 1000000
CTG_IS_EDITABLE = 488  # lib/tesutil/include/tesutil/xmltag_ids.h

DELIVER_MODIFY_RECORD = 6

NO_HANDLE = b"\0\0\0\0"


class ServerError(Exception):
    """The error arm of a reply: TRUE and an error record."""

    def __init__(self, record):
        self.record = record
        super().__init__("reason %d: %s" % (record["reason"], record["message"]))


# ---- XDR (RFC 4506): every item is a multiple of 4 bytes, big-endian.

class Encoder:
    def __init__(self):
        self.parts = []

    def int(self, v):
        self.parts.append(struct.pack(">i", v))
        return self

    def uint(self, v):
        self.parts.append(struct.pack(">I", v))
        return self

    def bool(self, v):
        return self.uint(1 if v else 0)

    def string(self, text):
        data = text.encode("utf-8")
        self.uint(len(data))
        self.parts.append(data + b"\0" * (-len(data) % 4))
        return self

    def handle(self, h):
        # A state handle: its length (16, or 4 for none), then the bytes as they came.
        self.uint(len(h))
        self.parts.append(h)
        return self

    def bytes(self):
        return b"".join(self.parts)


class Decoder:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, n):
        if self.at + n > len(self.data):
            raise ValueError("reply ends early")
        chunk = self.data[self.at:self.at + n]
        self.at += n
        return chunk

    def int(self):
        return struct.unpack(">i", self.take(4))[0]

    def uint(self):
        return struct.unpack(">I", self.take(4))[0]

    def hyper(self):
        return struct.unpack(">q", self.take(8))[0]

    def bool(self):
        return self.uint() == 1

    def string(self):
        n = self.uint()
        text = self.take(n).decode("utf-8")
        self.take(-n % 4)
        return text

    def handle(self):
        n = self.uint()
        if n not in (4, 16):
            raise ValueError("state handle of %d bytes" % n)
        return self.take(n)

    def done(self):
        return self.at == len(self.data)


# Which name segments a target of a type carries (record type, name, attachment folder,
# attachment), as the server writes a resource in an error record.
def target_segments(type_code, marshall):
    if type_code == 31:
        return 1
    if type_code in (32, 35, 40, 41, 42):
        return 2
    if type_code in (34, 36, 37, 38, 39, 43, 46, 47, 48):
        return 1
    if type_code == 44:
        return 4
    if type_code == 45:
        return 3
    if type_code == 51:
        return 1 if marshall == BY_NAME else 0
    return 0


def read_target(d, type_code):
    if type_code in (29, 30):  # a database set or user database: the type alone
        return {}
    marshall = d.int()
    if marshall == BY_NAME:
        return {"names": [d.string() for _ in range(target_segments(type_code, marshall))]}
    if marshall == 2:
        return {"dbids": [d.uint() for _ in range(target_segments(type_code, marshall))]}
    if marshall == BY_STATE_ITEM:
        target = {"handle": d.handle()}
        if type_code == 45:
            aux = d.int()
            target["folder"] = d.string() if aux == BY_NAME else d.uint()
        return target
    return {}


def read_error(d):
    reason = d.int()
    message = d.string()
    resource_type = d.int()
    resource = None
    if resource_type != -1:
        # Replies write a resource type as its request code less one.
        resource = dict(type=resource_type + 1, **read_target(d, resource_type + 1))
    causes = [read_error(d) for _ in range(d.int())]
    extension = d.int()
    detail = None
    if extension == 1:  # invalid fields: name and value type of each
        detail = [(d.string(), d.int()) for _ in range(d.int())]
    elif extension == 2:  # a failed login: the database set
        detail = d.string()
    return {"reason": reason, "message": message, "resource": resource, "causes": causes,
            "extension": extension, "detail": detail}


def open_reply(d):
    """The leading boolean of every kxrpc reply: FALSE and the result follow, or TRUE and an
    error record."""
    if d.bool():
        raise ServerError(read_error(d))


# References to resources: the body of each code, "s" for one string, else that many dbids.
REFERENCE_BODIES = {27: "s", 30: "s", 49: "s", 50: "s", 51: "s", 31: 1, 35: 1, 36: 1, 37: 1, 38: 1, 42: 1,
                    32: 2, 34: 2, 39: 2, 40: 2, 41: 2, 44: 3, 43: 4}


def read_value(d, tag=None):
    if tag is None:
        tag = d.int()
    if tag in (PV_STRING, PV_DATE_TIME, PV_XML):
        return d.string()
    if tag in (PV_EMPTY, PV_UNSUPPORTED, PV_UNAVAILABLE):
        if tag == PV_EMPTY:
            d.int()
        return None
    if tag in (PV_ENUM, PV_INT):
        return d.int()
    if tag == PV_BOOL:
        return d.int() != 0
    if tag == PV_INT64:
        return d.hyper()
    if tag == PV_PROPERTY_NAME:
        return d.int() if d.bool() else d.string()
    if tag in (PV_PROPERTY_ERROR, PV_FATAL_ERROR):
        return ServerError(read_error(d))
    if tag == PV_RANGE:
        return (d.int(), d.int())
    if tag == PV_LIST_START:
        d.int()  # the elements' type
        d.bool()
        items = []
        while True:
            element = d.int()
            if element == PV_LIST_END:
                return items
            items.append(read_value(d, element))
            d.bool()
    if tag == 33:  # a record named by selector: type, name, type id, id
        return "/".join(d.string() for _ in range(4))
    body = REFERENCE_BODIES.get(tag)
    if body == "s":
        return (tag, d.string())
    if body is not None:  # the code, then its dbids
        return (tag,) + tuple(d.uint() for _ in range(body))
    raise ValueError("value type %d is not read by this example" % tag)


# ---- ONC RPC over TCP (RFC 5531): one call, one reply, each a record of fragments.

class Connection:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=30)
        self.xid = 0x4B580000

    def close(self):
        self.sock.close()

    def read_exact(self, n):
        chunks = []
        while n > 0:
            chunk = self.sock.recv(n)
            if not chunk:
                raise ConnectionError("the server closed the connection")
            chunks.append(chunk)
            n -= len(chunk)
        return b"".join(chunks)

    def call(self, procedure, args):
        self.xid += 1
        header = Encoder().uint(self.xid).uint(0).uint(2).uint(PROGRAM).uint(VERSION).uint(procedure)
        header.uint(0).uint(0).uint(0).uint(0)  # credential and verifier: AUTH_NONE, empty
        body = header.bytes() + args
        # One fragment, marked last by the top bit of its length.
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
        reply = b""
        while True:
            mark = struct.unpack(">I", self.read_exact(4))[0]
            reply += self.read_exact(mark & 0x7FFFFFFF)
            if mark & 0x80000000:
                break
        d = Decoder(reply)
        if d.uint() != self.xid or d.uint() != 1:
            raise ValueError("not the reply to this call")
        if d.uint() != 0:
            raise ValueError("call refused by the RPC layer (MSG_DENIED)")
        d.uint()
        d.take((d.uint() + 3) // 4 * 4)  # the verifier
        accept = d.uint()
        if accept != 0:
            names = {1: "PROG_UNAVAIL", 2: "PROG_MISMATCH", 3: "PROC_UNAVAIL", 4: "GARBAGE_ARGS",
                     5: "SYSTEM_ERR"}
            raise ValueError("call not accepted: " + names.get(accept, str(accept)))
        return d


# ---- the procedures this example uses

def login(conn, repository, user, password, locale="en_US"):
    args = Encoder().uint(0).int(1)  # no ARM correlator, trace id
    args.string(repository).string(user).string(password).string(locale)
    args.string("")  # context text
    args.bool(False)  # security: not a single-sign-on login
    args.string("")  # client host: the server's own name
    d = conn.call(LOGIN, args.bytes())
    open_reply(d)
    return d.handle()


def session_header(session, trace_id=1, locale="en_US"):
    return Encoder().uint(0).handle(session).string(locale).int(trace_id)


def props_header(session, trace_id=1, locale="en_US"):
    # Property requests: the correlator, a FALSE, then the session header without a correlator.
    return Encoder().uint(0).bool(False).handle(session).string(locale).int(trace_id)


def record_by_name(e, record_type, name):
    return e.int(TT_RECORD).int(BY_NAME).string(record_type).string(name)


def record_by_handle(e, handle):
    return e.int(TT_RECORD).int(BY_STATE_ITEM).handle(handle)


def fetch_fields(conn, session, target, fields, also=()):
    """fetch_props: the named fields' values (and the properties `also`, by tag id)."""
    e = props_header(session)
    target(e)
    ids = [DYNAMIC_PROP_BASE + i for i in range(len(fields))] + list(also)
    e.int(len(ids))
    for prop in ids:
        e.int(prop)
    e.int(0)  # after the last id (a -1 there would open a list of meta ids)
    e.int(len(fields))
    for field in fields:
        e.string("FLD:").string(field)
    e.bool(False).bool(False)  # no trailing item, no context handle
    d = conn.call(FETCH_PROPS, e.bytes())
    open_reply(d)
    values = []
    while d.bool():
        values.append(read_value(d))
    return values


def query_xml(record_type, dbset, fields):
    ctg = "http://korvax.example/TEAM/CTG"
    columns = "".join(
        "<CTG:column><CTG:field-path><CTG:field><CTG:definition>kx.field:%s/%s@%s</CTG:definition>"
        "</CTG:field></CTG:field-path></CTG:column>" % (record_type, f, dbset) for f in fields)
    return ('<CTG:execute-query xmlns:CTG="%s" xmlns:TEAM="http://korvax.example/TEAM">'
            "<CTG:definition><CTG:primary-record-type><TEAM:href>kx.record:%s@%s</TEAM:href>"
            "</CTG:primary-record-type><CTG:display-fields>%s</CTG:display-fields></CTG:definition>"
            "<CTG:enable-row-count/></CTG:execute-query>" % (ctg, record_type, dbset, columns))


def read_page(d):
    open_reply(d)
    page = {"count": d.int() if d.bool() else None}
    d.bool(), d.int(), d.int()  # limited, soft and hard row limits
    d.bool(), d.bool()  # stateless, generated SQL
    d.take(4 * d.int())  # the columns' value types
    page["labels"] = [d.string() for _ in range(d.int())]
    page["rows"] = []
    rows_follow = d.bool()
    while d.bool():
        number = d.int()
        values = []
        while d.bool():
            kind = d.int()
            if kind == 2:  # null
                values.append(None)
            elif kind == 0:  # a reference: by-name flag, record type, name
                d.int()
                d.string()
                values.append(d.string())
            else:  # a value: its type code, then its text
                d.int()
                values.append(d.string())
        if d.bool():  # the row's record, as a record target without its type code
            read_target(d, TT_RECORD)
        page["rows"].append((number, values))
    if not rows_follow:
        d.int()
    page["next"] = d.handle()
    return page


def run_query(conn, session, xml, page_rows):
    """execute_query: the first call sends the query, the later ones its handle."""
    e = session_header(session).int(page_rows).bool(False).bool(False).string(xml)
    page = read_page(conn.call(EXECUTE_QUERY, e.bytes()))
    yield page
    while page["next"] != NO_HANDLE:
        e = session_header(session).int(page_rows).bool(True).handle(page["next"])
        page = read_page(conn.call(EXECUTE_QUERY, e.bytes()))
        yield page


def create_temp(conn, session, record_type, name, action):
    """create_temp: an editable copy of a record for an action, held by the server."""
    e = session_header(session)
    record_by_name(e, record_type, name)
    e.bool(True).int(TT_ACTION).int(BY_NAME).string(record_type).string(action)
    e.bool(False)  # no record to duplicate
    d = conn.call(CREATE_TEMP, e.bytes())
    open_reply(d)
    return d.handle(), d.string(), d.string()


def put_field(conn, session, record, field, text):
    """put_props: one string value to a field of a held record."""
    e = props_header(session)
    record_by_handle(e, record)
    e.int(1).int(DYNAMIC_PROP_BASE).int(PV_STRING).string(text)
    e.int(1).string("FLD:").string(field)
    e.bool(False).bool(True)  # not atomic; report the fields the change touched
    d = conn.call(PUT_PROPS, e.bytes())
    open_reply(d)
    for error in read_put_results(d):
        if error is not None:
            raise ServerError(error)
    changed = []
    if d.bool():
        d.string()  # the record's selector
        changed = [(d.string(), d.int(), d.uint()) for _ in range(d.int())]
    else:
        d.int()
    return changed


def read_put_results(d):
    """The per-value stream of a put reply: None for a value set, else its error record."""
    results = []
    while d.bool():
        results.append(read_error(d) if d.bool() else None)
    return results


def deliver(conn, session, records):
    """deliver_change_context: commit held records, one operation each, in order."""
    e = session_header(session)
    for record in records:
        e.bool(True).int(DELIVER_MODIFY_RECORD).handle(record)
    e.bool(False)
    d = conn.call(DELIVER_CHANGE_CONTEXT, e.bytes())
    open_reply(d)
    results = []
    while d.bool():
        kind = d.int()
        if kind == 0:
            raise ServerError(read_error(d))
        if kind != 1:
            raise ValueError("delivery result of kind %d" % kind)
        results.append((d.string(), d.string()))
    return results


def delete_state(conn, handles):
    """delete_state: release handles; TRUE for each that named nothing."""
    e = Encoder().uint(0).int(len(handles))
    for h in handles:
        e.handle(h)
    d = conn.call(DELETE_STATE, e.bytes())
    open_reply(d)
    return [d.bool() for _ in handles]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], prefix_chars="-")
    parser.add_argument("-host", default="127.0.0.1")
    parser.add_argument("-port", type=int, required=True)
    parser.add_argument("-repository", default="KXDEMO/ISSUE")
    parser.add_argument("-user", default="alice")
    parser.add_argument("-password", default="alice")
    parser.add_argument("-record", default="ISSUE00000001")
    parser.add_argument("-headline", default="Changed by examples/client.py")
    parser.add_argument("-page", type=int, default=4, help="rows per query page")
    a = parser.parse_args()

    conn = Connection(a.host, a.port)
    session = None
    try:
        session = login(conn, a.repository, a.user, a.password)
        print("logged on as %s to %s" % (a.user, a.repository))

        headline, state, editable = fetch_fields(
            conn, session, lambda e: record_by_name(e, "Defect", a.record), ["Headline", "State"],
            also=[CTG_IS_EDITABLE])
        print("record %s: Headline=%r State=%r editable=%r" % (a.record, headline, state, editable))

        total = 0
        xml = query_xml("Defect", a.repository, ["id", "Headline"])
        for number, page in enumerate(run_query(conn, session, xml, a.page)):
            if number == 0:
                print("query: %s rows, columns %s" % (page["count"], ", ".join(page["labels"])))
            for row, values in page["rows"]:
                print("  %d: %s" % (row, " | ".join(str(v) for v in values)))
            total += len(page["rows"])
            print("page %d: %d rows" % (number + 1, len(page["rows"])))
        if page["count"] is not None and total != page["count"]:
            raise ValueError("the pages held %d rows of %d" % (total, page["count"]))

        held, name, ids = create_temp(conn, session, "Defect", a.record, "Modify")
        changed = put_field(conn, session, held, "Headline", a.headline)
        print("changed in %s (%s): %s" % (name, ids, ", ".join(c[0] for c in changed)))
        results = deliver(conn, session, [held])
        print("delivered: %s" % ", ".join(r[0] for r in results))
        (after,) = fetch_fields(conn, session, lambda e: record_by_name(e, "Defect", a.record), ["Headline"])
        if after != a.headline:
            raise ValueError("Headline reads %r after the change" % after)
        print("record %s: Headline=%r" % (a.record, after))

        # Logging off releases the session (the batch has already released the held record).
        unknown = delete_state(conn, [session])
        session = None
        if unknown != [False]:
            raise ValueError("the session was not released")
        print("logged off")
    except (ServerError, ValueError, OSError) as e:
        print("client.py: %s" % e, file=sys.stderr)
        if session is not None:
            try:
                delete_state(conn, [session])
            except (ServerError, ValueError, OSError):
                pass
        return 1
    finally:
        conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
