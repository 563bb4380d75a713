#!/usr/bin/python3
"""A local stand-in for CloudKit Web Services, for contract tests, on
127.0.0.1: POST {base}/database/1/{container}/{environment}/private/{records/
query|records/modify|subscriptions/modify|users/current}. It enforces what a
real client must get right: the API token; a web auth token that rotates with
every answer (421 AUTHENTICATION_REQUIRED with a redirectURL otherwise); JSON
with typed fields checked against the Todo schema; the operation types the
module sends, forceUpdate (merges the sent fields, null removes one) and
forceDelete, per-record errors inline; resultsLimit at most 200 with
continuation markers. Failures (THROTTLED with retryAfter, or any code) are
injected on demand through POST /_control/{reset,seed,fail,state}. Run:
fakecloudkit.py [--port N]; it prints "PORT <port> <pid>" first.
"""

import argparse
import base64
import itertools
import json
import os
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CONTAINER = "iCloud.vemo.voltaline.Voltaline"
TYPES = {"STRING", "INT64", "DOUBLE", "TIMESTAMP", "BYTES", "REFERENCE", "ASSET", "LOCATION"}
SCHEMA = {"Todo": {"Name": "STRING", "Battery": "INT64", "state": "INT64", "title": "STRING",
                   "done": "INT64"}}
MAX_LIMIT = 200


def new_token():
    # Characters that must be URL-encoded on the way back.
    return base64.b64encode(os.urandom(24)).decode() + "+/="


class BadRequest(Exception):
    pass


class State:
    def __init__(self):
        self.reset({})

    def reset(self, body):
        self.api_token = body.get("apiToken", "api-token")
        self.token = body.get("webAuthToken", new_token())
        self.spent = set()
        self.rotate = body.get("rotate", True)
        self.records = {"development": {}, "production": {}}
        self.subscriptions = {}
        self.failures = []
        self.requests = []
        self.tags = itertools.count(1)
        self.last_ms = 0
        self.delay = body.get("delay", 0.0)
        # The operations that are delayed (all when absent).
        self.delay_ops = body.get("delayOps")
        # A broken server that hands out the same continuation marker forever.
        self.repeat_marker = body.get("repeatMarker", False)

    def now_ms(self):
        ms = max(int(time.time() * 1000), self.last_ms + 1)
        self.last_ms = ms
        return ms

    def stamp(self, record, created):
        ms = self.now_ms()
        meta = {"timestamp": ms, "userRecordName": "_fakeuser", "deviceID": "fake"}
        if created:
            record["created"] = dict(meta)
        record["modified"] = meta
        record["recordChangeTag"] = "t%d" % next(self.tags)


STATE = State()
# Clients keep connections open, so requests are served on threads; they
# still run one at a time against the state.
LOCK = threading.Lock()


def check_fields(record_type, fields):
    if not isinstance(fields, dict):
        raise BadRequest("fields must be a dictionary")
    schema = SCHEMA.get(record_type, {})
    for key, field in fields.items():
        if not isinstance(field, dict) or "value" not in field:
            raise BadRequest("field %s is not a {value, type} dictionary" % key)
        type_ = field.get("type")
        if type_ not in TYPES:
            raise BadRequest("field %s has no valid type" % key)
        if key in schema and schema[key] != type_:
            raise BadRequest("field %s must be %s, not %s" % (key, schema[key], type_))
        value = field["value"]
        if value is None:
            continue
        if (type_ == "STRING" and not isinstance(value, str)) or (
                type_ in ("INT64", "TIMESTAMP") and type(value) is not int):
            raise BadRequest("field %s: value does not match type %s" % (key, type_))
        if key in ("state", "done") and value not in (0, 1):
            raise BadRequest("field %s must be 0 or 1" % key)


def error_entry(code, reason, name=None, retry_after=None):
    entry = {"serverErrorCode": code, "reason": reason, "uuid": os.urandom(8).hex(),
             "recordName": name, "retryAfter": retry_after}
    return {key: value for key, value in entry.items() if value is not None}


def injected_error(op, per_record, name=None):
    """The error entry of the first failure queued for `op` (taken off the queue), or None."""
    for f in STATE.failures:
        if f.get("op", op) == op and bool(f.get("perRecord", False)) == per_record:
            STATE.failures.remove(f)
            return error_entry(f["serverErrorCode"], f.get("reason", "injected"), name,
                               f.get("retryAfter")), f.get("status", 503)
    return None


def apply_operation(db, op):
    kind = op.get("operationType")
    rec = op.get("record") or {}
    name = rec.get("recordName")
    if not isinstance(name, str) or not name:
        raise BadRequest("operation without recordName")
    injected = injected_error("records/modify", True, name)
    if injected:
        return injected[0]
    existing = db.get(name)
    if kind == "forceDelete":
        if existing is None:
            return error_entry("NOT_FOUND", "record not found", name)
        del db[name]
        return {"recordName": name, "deleted": True}
    record_type = rec.get("recordType") or (existing or {}).get("recordType")
    if not record_type:
        raise BadRequest("record without recordType")
    fields = rec.get("fields", {})
    check_fields(record_type, fields)
    if kind != "forceUpdate":  # what the module sends; create and update are not served
        raise BadRequest("unexpected operationType %r" % kind)
    created = existing is None
    if created:
        existing = {"recordName": name, "recordType": record_type, "fields": {}}
    for key, field in fields.items():
        if field["value"] is None:
            existing["fields"].pop(key, None)
        else:
            existing["fields"][key] = {"value": field["value"], "type": field["type"]}
    STATE.stamp(existing, created)
    db[name] = existing
    return json.loads(json.dumps(existing))


def handle(op, env, body):
    db = STATE.records[env]
    if op == "users/current":
        return {"userRecordName": "_fakeuser"}
    if op == "records/query":
        query = body.get("query") or {}
        rtype = query.get("recordType")
        limit = body.get("resultsLimit", MAX_LIMIT)
        if not isinstance(limit, int) or limit <= 0:
            raise BadRequest("resultsLimit")
        limit = min(limit, MAX_LIMIT)
        marker = body.get("continuationMarker")
        start = 0
        if marker is not None:
            try:
                start = int(base64.b64decode(marker).decode().split(":")[1])
            except Exception:
                raise BadRequest("bad continuationMarker")
        rows = [r for r in db.values() if r["recordType"] == rtype]
        page = rows[start:start + limit]
        answer = {"records": json.loads(json.dumps(page))}
        if STATE.repeat_marker:
            answer["continuationMarker"] = "c2FtZTow"
        elif start + limit < len(rows):
            answer["continuationMarker"] = base64.b64encode(
                ("m:%d:%s" % (start + limit, os.urandom(4).hex())).encode()).decode()
        return answer
    if op == "records/modify":
        ops = body.get("operations")
        if not isinstance(ops, list) or not ops:
            raise BadRequest("operations")
        return {"records": [apply_operation(db, o) for o in ops]}
    if op == "subscriptions/modify":
        out = []
        for o in body.get("operations") or []:
            sub = dict(o.get("subscription") or {})
            sub.setdefault("subscriptionID", os.urandom(8).hex())
            STATE.subscriptions[sub["subscriptionID"]] = sub
            out.append(sub)
        return {"subscriptions": out}
    raise KeyError(op)


def control(cmd, body):
    if cmd == "reset":
        STATE.reset(body)
        return {"token": STATE.token}
    if cmd == "seed":
        db = STATE.records["development"]
        for r in body.get("records", []):
            rec = {"recordName": r["recordName"], "recordType": r.get("recordType", "Todo"),
                   "fields": r.get("fields", {})}
            STATE.stamp(rec, True)
            db[rec["recordName"]] = rec
        return {"count": len(db)}
    if cmd == "fail":
        STATE.failures.append(body)
        return {}
    if cmd == "state":
        return {"records": STATE.records, "subscriptions": STATE.subscriptions,
                "token": STATE.token, "spent": sorted(STATE.spent), "requests": STATE.requests}
    raise KeyError(cmd)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in one write, without Nagle's delay.
    disable_nagle_algorithm = True
    wbufsize = 1 << 16

    def log_message(self, fmt, *args):  # quiet; tokens travel in the URL
        pass

    def reply(self, status, body, token=None):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if token:
            self.send_header("X-Apple-CloudKit-Web-Auth-Token", token)
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        with LOCK:
            self.serve_post()

    def serve_post(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/_control/"):
            try:
                self.reply(200, control(url.path[len("/_control/"):], json.loads(raw or b"{}")))
            except KeyError as e:
                self.reply(404, {"error": str(e)})
            return
        parts = url.path.split("/")
        # ['', 'database', '1', container, env, 'private', op...]
        if len(parts) < 8 or parts[1:3] != ["database", "1"] or parts[5] != "private":
            return self.reply(404, error_entry("NOT_FOUND", "unknown path"))
        container, env, op = parts[3], parts[4], "/".join(parts[6:])
        params = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        if container != CONTAINER or env not in STATE.records:
            return self.reply(404, error_entry("NOT_FOUND", "unknown container or environment"))
        if params.get("ckAPIToken", [None])[0] != STATE.api_token:
            return self.reply(401, error_entry("AUTHENTICATION_FAILED", "bad API token"))
        port = self.server.server_address[1]
        token = params.get("ckWebAuthToken", [None])[0]
        if token != STATE.token:
            if token is not None:
                STATE.spent.add(token)
            answer = error_entry("AUTHENTICATION_REQUIRED", "request needs authorization")
            answer["redirectURL"] = "http://127.0.0.1:%d/signin?oauth=fake" % port
            return self.reply(421, answer)
        if STATE.rotate:
            STATE.spent.add(STATE.token)
            STATE.token = new_token()
        if STATE.delay and (STATE.delay_ops is None or op in STATE.delay_ops):
            time.sleep(STATE.delay)
        if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
            return self.reply(400, error_entry("BAD_REQUEST", "Content-Type must be JSON"),
                              STATE.token)
        try:
            body = json.loads(raw)
        except ValueError:
            return self.reply(400, error_entry("BAD_REQUEST", "body is not JSON"), STATE.token)
        STATE.requests.append({"op": op, "env": env, "body": body})
        injected = injected_error(op, False)
        if injected:
            return self.reply(injected[1], injected[0], STATE.token)
        try:
            return self.reply(200, handle(op, env, body), STATE.token)
        except BadRequest as e:
            return self.reply(400, error_entry("BAD_REQUEST", str(e)), STATE.token)
        except KeyError:
            return self.reply(404, error_entry("NOT_FOUND", "unknown operation"), STATE.token)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    server = ThreadingHTTPServer(("127.0.0.1", parser.parse_args().port), Handler)
    server.daemon_threads = True
    print("PORT %d %d" % (server.server_address[1], os.getpid()), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
