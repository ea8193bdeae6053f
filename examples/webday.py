#!/usr/bin/env python3
"""A web tier's day, run from the examples of docs/protocol.md (standard library only).

Every fenced block of protocol.md whose opening line names an example (```xdr put-values,
```xml query-filter, ...) is read from the guide itself and sent to the server as it stands, so
neither the guide nor the server can change without this failing. The day: an administrator
makes a user; alice runs a filtered sorted query, an aggregate, a count, a prompted query and a
saved query; she sets values of every kind the guide shows and reads them back; an over-long
value is refused at commit; she copies, moves and makes queries in her workspace and refreshes
her view of a folder.

    python3 examples/webday.py -port N [-host H] [-doc docs/protocol.md]

Exit status 0 when every step answered as the guide says; 1 with the reason on standard error.
"""

import argparse
import json
import os
import re
import sys

# The example beside this one is imported without leaving compiled files in the tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import client  # noqa: E402  (the example beside this one: XDR, the RPC record, login)
from client import (DELIVER_CHANGE_CONTEXT, EXECUTE_QUERY, NO_HANDLE, PUT_PROPS, Connection, Encoder,  # noqa: E402
                    ServerError, login, open_reply, props_header, read_error,
                    read_page, read_put_results, session_header)

RESOLVE_TYPE = 6
MKRESOURCE = 8
CREATE_TEMP = 9
COPY_QUERY = 20
GET_FOLDER_DESCENDENTS = 21
CREATE_USER = 30
MOVE_QUERY = 36


class Failed(Exception):
    pass


def expect(what, got, wanted):
    if got != wanted:
        raise Failed("%s: got %r, the guide says %r" % (what, got, wanted))


# ---- the examples of the guide

def read_examples(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = {}
    for kind, name, body in re.findall(r"^```(xdr|xml) ([\w-]+)\n(.*?)^```", text, re.M | re.S):
        if name in blocks:
            raise Failed("two examples are named %s" % name)
        blocks[name] = (kind, body)
    return blocks


def xdr_bytes(body, handles):
    """The guide's XDR notation: a unit and its value per line, anything after it a comment.
    `handle NAME` stands for a handle the day has been given."""
    e = Encoder()
    for number, line in enumerate(body.splitlines(), 1):
        unit, _, rest = line.strip().partition(" ")
        rest = rest.strip()
        try:
            if not unit:
                continue
            if unit == "string":
                e.string(json.JSONDecoder().raw_decode(rest)[0])
            elif unit == "int":
                e.int(int(rest.split()[0]))
            elif unit == "unsigned":
                e.uint(int(rest.split()[0]))
            elif unit == "bool":
                e.bool({"TRUE": True, "FALSE": False}[rest.split()[0]])
            elif unit == "handle":
                e.handle(handles[rest.split()[0]])
            else:
                raise KeyError(unit)
        except (KeyError, IndexError, ValueError) as why:
            raise Failed("line %d of an example cannot be sent (%s): %s" % (number, why, line.strip()))
    return e.bytes()


class Day:
    def __init__(self, conn, blocks):
        self.conn = conn
        self.blocks = blocks
        self.used = set()

    def block(self, name, kind):
        if name not in self.blocks:
            raise Failed("the guide has no example %s" % name)
        found, body = self.blocks[name]
        if found != kind:
            raise Failed("example %s is not %s" % (name, kind))
        self.used.add(name)
        return body

    def xml(self, name):
        return self.block(name, "xml").strip()

    def xdr(self, name, **handles):
        return xdr_bytes(self.block(name, "xdr"), handles)

    # ---- calls

    def call(self, procedure, args):
        d = self.conn.call(procedure, args)
        open_reply(d)
        return d

    def fetch(self, session, target, ids, fields=()):
        """fetch_props of a target given as its bytes: the fields' values, then the ids'."""
        return client.fetch_fields(self.conn, session, lambda e: e.parts.append(target), list(fields), also=ids)

    def put(self, session, target, items):
        d = self.call(PUT_PROPS, props_header(session).bytes() + target + items)
        results = read_put_results(d)
        if d.bool():
            d.string()
            for _ in range(d.int()):
                d.string(), d.int(), d.uint()
        else:
            d.int()
        return results

    def deliver(self, session, operations, refusal_wanted=False):
        d = self.call(DELIVER_CHANGE_CONTEXT, session_header(session).bytes() + operations)
        results = []
        while d.bool():
            kind = d.int()
            if kind == 0:
                if not refusal_wanted:
                    raise ServerError(read_error(d))
                results.append(ServerError(read_error(d)))
            elif kind == 1:
                results.append((d.string(), d.string()))
            else:
                results.append([(d.int(), d.string()) for _ in range(d.int())])
        return results

    def query(self, session, xml, saved=None):
        """execute_query read to its end: (count, labels, rows)."""
        e = session_header(session).int(100).bool(False)
        if saved:
            e.bool(True).int(36).int(1).string(saved)
        else:
            e.bool(False)
        e.string(xml)
        page = read_page(self.conn.call(EXECUTE_QUERY, e.bytes()))
        rows = [values for _, values in page["rows"]]
        while page["next"] != NO_HANDLE:
            e = session_header(session).int(100).bool(True).handle(page["next"])
            page = read_page(self.conn.call(EXECUTE_QUERY, e.bytes()))
            rows += [values for _, values in page["rows"]]
        return page["count"], page["labels"], rows

    def descendants(self, session, folder):
        e = session_header(session).int(37).int(1).string(folder)
        d = self.call(GET_FOLDER_DESCENDENTS, e.bytes())
        found = []
        while d.bool():
            found.append((d.int(), d.uint()))
        return found

    def resolve(self, session, code, dbid):
        d = self.call(RESOLVE_TYPE, session_header(session).int(code).int(2).uint(dbid).bytes())
        return d.int(), d.string(), d.string()

    def release(self, handles):
        return client.delete_state(self.conn, handles)

    # ---- the day

    def administrator(self):
        admin = login(self.conn, "KXDEMO", "admin", "admin")
        d = self.call(CREATE_USER, props_header(admin).bytes() + self.xdr("create-user"))
        expect("create_user's results", read_put_results(d), [None, None, None])
        try:
            login(self.conn, "KXDEMO/ISSUE", "frank", "frank-secret")
            raise Failed("a new user logged on to a user database")
        except ServerError as e:
            expect("frank's first login", (e.record["reason"], e.record["message"]),
                   (47, "TLQSV0775E This login is forbidden: User 'frank' is not subscribed to database 'ISSUE'."))
        user = Encoder().int(47).int(1).string("frank").bytes()
        for prop in (243, 289):
            refused = self.put(admin, user, Encoder().int(1).int(prop).int(100021).int(0).int(0).bool(False)
                               .bool(False).bytes())
            expect("a put of %d" % prop, refused[0]["reason"], 9)
        expect("718 of the set", self.fetch(admin, Encoder().int(29).bytes(), [718]), [[(30, "ISSUE")]])
        self.release([admin])
        print("administrator: frank made; groups and subscriptions refused; 718 lists ISSUE")

    def queries(self, alice):
        count, labels, rows = self.query(alice, self.xml("query-filter"))
        expect("the filtered query", (count, labels, [r[0] for r in rows]),
               (4, ["id", "Severity", "State", "Owner"],
                ["ISSUE00000013", "ISSUE00000031", "ISSUE00000018", "ISSUE00000010"]))
        count, labels, rows = self.query(alice, self.xml("query-dates"))
        expect("the date query", [r[0] for r in rows], ["ISSUE00000005", "ISSUE00000009", "ISSUE00000017"])
        count, labels, rows = self.query(alice, self.xml("query-prompt"))
        expect("the prompted query", [r[0] for r in rows],
               ["ISSUE00000005", "ISSUE00000010", "ISSUE00000015", "ISSUE00000020"])
        count, labels, rows = self.query(alice, self.xml("query-aggregate"))
        expect("the aggregate", (labels, rows),
               (["Severity", "id"], [["1-Critical", "5"], ["2-Major", "6"], ["3-Average", "5"], ["4-Minor", "5"]]))
        count, labels, rows = self.query(alice, self.xml("query-count"))
        expect("the count", (count, rows), (21, []))
        count, labels, rows = self.query(alice, self.xml("query-saved"), saved="Public Queries/All Defects")
        expect("the saved query", (count, len(rows), labels), (None, 21, ["id", "Headline", "State", "Owner"]))
        try:
            self.query(alice, "", saved="Public Queries/All Defects")
            raise Failed("an empty request ran")
        except ServerError as e:
            expect("an empty request", (e.record["reason"], e.record["message"][:10]), (39, "TLQSV0675E"))
        print("queries: filtered, dated, prompted, aggregated, counted and saved ones answer as the guide says")

    def values(self, alice):
        held, _, _ = self.create_temp(alice, "ISSUE00000003")
        target = Encoder().int(32).int(3).handle(held).bytes()
        expect("the put", self.put(alice, target, self.xdr("put-values")), [None] * 5)
        expect("the commit", len(self.deliver(alice, Encoder().bool(True).int(6).handle(held).bool(False).bytes())), 1)
        record = Encoder().int(32).int(1).string("Defect").string("ISSUE00000003").bytes()
        got = self.fetch(alice, record, [], ["Estimate", "Due", "Owner", "Project", "Related"])
        # A record reference reads back as tag 33: record type, name, and their dbids.
        expect("the values read back", [got[0], got[1], got[2], got[3].split("/")[:2],
                                        [r.split("/")[1] for r in got[4]]],
               [5, "2026-03-01T09:30:00Z", None, ["Project", "Apollo"], ["ISSUE00000001", "ISSUE00000002"]])
        held, _, _ = self.create_temp(alice, "ISSUE00000003")
        target = Encoder().int(32).int(3).handle(held).bytes()
        expect("the put by names", self.put(alice, target, self.xdr("put-names")), [None] * 3)
        expect("its commit", len(self.deliver(alice, Encoder().bool(True).int(6).handle(held).bool(False).bytes())), 1)
        got = self.fetch(alice, record, [], ["Project", "Related", "Estimate"])
        expect("the values by name read back", [got[0].split("/")[:2], [r.split("/")[1] for r in got[1]], got[2]],
               [["Project", "Borealis"], ["ISSUE00000001"], None])
        # Too long for Headline (125): taken by the put, refused by the commit that names it.
        held, _, _ = self.create_temp(alice, "ISSUE00000003")
        target = Encoder().int(32).int(3).handle(held).bytes()
        long_value = Encoder().int(1).int(client.DYNAMIC_PROP_BASE).int(100001).string("x" * 126).int(1)
        long_value.string("FLD:").string("Headline").bool(False).bool(False)
        expect("the over-long put", self.put(alice, target, long_value.bytes()), [None])
        (refused,) = self.deliver(alice, Encoder().bool(True).int(6).handle(held).bool(False).bytes(),
                                  refusal_wanted=True)
        expect("the over-long commit", (refused.record["reason"], refused.record["extension"],
                                        refused.record["detail"]), (17, 1, [("Headline", 970)]))
        self.release([held])
        print("values: ints, a date, cleared fields, references and lists read back; too long is refused")

    def create_temp(self, session, name):
        e = session_header(session).int(32).int(1).string("Defect").string(name)
        e.bool(True).int(40).int(1).string("Defect").string("Modify").bool(False)
        d = self.call(CREATE_TEMP, e.bytes())
        return d.handle(), d.string(), d.string()

    def workspace(self, alice, bob):
        d = self.call(COPY_QUERY, props_header(alice).bytes() + self.xdr("copy-query"))
        copied = [(d.handle(), d.string(), d.int()) for _ in range(d.int())]
        expect("the copy", [(path, code) for _, path, code in copied], [("Personal Queries/Open Copy", 36)])
        d.take(4 * 3 * d.int())  # none new or modified
        read_put_results(d)
        stored = self.deliver(alice, self.xdr("deliver-copy", COPY=copied[0][0]))
        expect("the stored copy", stored[0][1], "")
        d = self.call(MOVE_QUERY, props_header(alice).bytes() + self.xdr("move-query"))
        moved = [(d.handle(), d.string(), d.int()) for _ in range(d.int())]
        expect("the move", [(path, code) for _, path, code in moved], [("Personal Queries/Moved Copy", 36)])
        paths = [self.resolve(alice, code, dbid)[1] for code, dbid in self.descendants(alice, "Personal Queries")]
        if "Personal Queries/Moved Copy" not in paths or "Personal Queries/Open Copy" in paths:
            raise Failed("the move is not in the folder at once: %r" % paths)
        d = self.call(MKRESOURCE, props_header(alice).bytes() + self.xdr("mkresource-query"))
        made = d.handle()
        expect("the new query's values", read_put_results(d), [None, None])
        stored = self.deliver(alice, self.xdr("deliver-new-query", QUERY=made))
        expect("the stored query", stored[0][1], "")
        count, labels, rows = self.query(alice, self.xml("query-saved"), saved="Personal Queries/Severe Defects")
        expect("the new query", (labels, [r[0] for r in rows]),
               (["id", "Headline"], ["ISSUE00000001", "ISSUE00000005", "ISSUE00000009", "ISSUE00000013",
                                     "ISSUE00000017"]))
        self.release([moved[0][0]])
        # bob's new public query: alice sees it in the folder once she refreshes her view.
        folder = Encoder().int(37).int(1).string("Public Queries/Defects").bytes()
        before = self.fetch(alice, folder, [352])[0]
        d = self.call(COPY_QUERY, props_header(bob).bytes() + Encoder().int(36).int(1).string(
            "Public Queries/All Defects").string("Public Queries/Defects/Bob's Copy").int(0).int(0).int(0).int(0)
            .bool(False).bool(False).bytes())
        expect("bob's copy", d.int(), 1)
        copy = d.handle()
        self.deliver(bob, Encoder().bool(True).int(0).string("Public Queries/Defects").string("Bob's Copy")
                     .handle(copy).int(36).bool(False).bool(False).bytes())
        expect("alice's view before the refresh", self.fetch(alice, folder, [352])[0], before)
        expect("the refresh", self.put(alice, folder, self.xdr("refresh-folder")), [None])
        expect("alice's view after the refresh", len(self.fetch(alice, folder, [352])[0]), len(before) + 1)
        print("workspace: copied, stored, moved at once, made from properties; a refresh shows bob's query")

    def run(self):
        self.administrator()
        alice = login(self.conn, "KXDEMO/ISSUE", "alice", "alice")
        bob = login(self.conn, "KXDEMO/ISSUE", "bob", "bob")
        self.queries(alice)
        self.values(alice)
        self.workspace(alice, bob)
        expect("logging off", self.release([alice, bob]), [False, False])
        # An example of the guide that nothing runs could drift unseen.
        expect("examples the day did not run", sorted(set(self.blocks) - self.used), [])
        print("the day is done")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], prefix_chars="-")
    parser.add_argument("-host", default="127.0.0.1")
    parser.add_argument("-port", type=int, required=True)
    parser.add_argument("-doc", default=os.path.join(here, "..", "docs", "protocol.md"))
    a = parser.parse_args()
    conn = Connection(a.host, a.port)
    try:
        Day(conn, read_examples(a.doc)).run()
        return 0
    except (Failed, ServerError, ValueError, OSError) as e:
        print("webday.py: %s" % e, file=sys.stderr)
        return 1
    finally:
        conn.close()


if __name__ == "__main__":
    sys.exit(main())
