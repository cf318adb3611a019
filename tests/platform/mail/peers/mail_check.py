"""Reads one message as a member's mail program would, for the mail tests.

Usage: mail_check.py EML OUT_DIR

The message is parsed by Python's email package under its strict policy (a
defect raises) and again under the lenient legacy policy; both must see the
same parts. OUT_DIR/summary gets one line per finding, tab-separated:
  fault   <what is wrong with the message as sent>
  header  <name>  <value decoded to text, folding undone>
  part    <n>  <content type>  <disposition>  <file name>  <charset>  <transfer encoding>
and OUT_DIR/part-<n> holds the n-th leaf part's decoded contents: bytes for a
binary part, the text as UTF-8 for a text part.
"""
import email
import email.policy
import os
import re
import sys

HEADER_NAME = re.compile(rb"^[\x21-\x39\x3b-\x7e]+:")


def line_faults(raw):
    faults = []
    if b"\r\n" not in raw and raw:
        faults.append("no CRLF line ends")
    lines = raw.split(b"\r\n")
    for number, line in enumerate(lines, 1):
        if len(line) > 998:
            faults.append("line %d is %d bytes long" % (number, len(line)))
        if b"\r" in line or b"\n" in line:
            faults.append("line %d holds a bare CR or LF" % number)
            break
    # Header block: each line a field start or a continuation with content.
    in_header = True
    for number, line in enumerate(lines, 1):
        if not in_header:
            break
        if line == b"":
            in_header = False
        elif line[:1] in (b" ", b"\t"):
            if number == 1:
                faults.append("the message begins with a continuation line")
            elif not line.strip():
                faults.append("header line %d is a folded line of blanks only" % number)
        elif not HEADER_NAME.match(line):
            faults.append("header line %d is no field: %r" % (number, line[:60]))
        if in_header and any(b > 0x7E for b in line):
            faults.append("header line %d holds 8-bit bytes" % number)
    return faults


def leaves(message):
    if message.get_content_type() == "message/rfc822":
        yield message  # an attached message is one attachment
    elif message.is_multipart():
        for part in message.get_payload():
            yield from leaves(part)
    else:
        yield message


def contents(part):
    maintype = part.get_content_maintype()
    if maintype == "text":
        return part.get_content().encode("utf-8")
    if part.get_content_type() == "message/rfc822" and isinstance(part.get_payload(), list):
        return part.get_payload()[0].as_bytes(policy=email.policy.SMTP)
    return part.get_payload(decode=True) or b""


def clean(text):
    return str(text).replace("\t", " ").replace("\r", "\\r").replace("\n", "\\n")


def main():
    path, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    with open(path, "rb") as f:
        raw = f.read()
    out = []
    out += [("fault", f) for f in line_faults(raw)]
    try:
        strict = email.message_from_bytes(raw, policy=email.policy.strict)
    except Exception as error:  # a defect the strict policy raises on
        out.append(("fault", "strict parse: %s: %s" % (type(error).__name__, error)))
        strict = email.message_from_bytes(raw, policy=email.policy.default)
    legacy = email.message_from_bytes(raw)
    if [p.get_content_type() for p in strict.walk()] != [p.get_content_type() for p in legacy.walk()]:
        out.append(("fault", "the strict and the legacy parse see different parts"))
    for name, value in strict.items():
        try:
            text = str(value)
            for defect in getattr(value, "defects", ()):
                out.append(("fault", "header %s: %s" % (name, defect)))
        except Exception as error:
            out.append(("fault", "header %s unreadable: %s" % (name, error)))
            text = ""
        out.append(("header", name, clean(text)))
    for part in strict.walk():
        for defect in part.defects:
            out.append(("fault", "part %s: %s" % (part.get_content_type(), type(defect).__name__)))
    for n, part in enumerate(leaves(strict)):
        try:
            filename = part.get_filename() or ""
        except Exception as error:
            out.append(("fault", "part %d file name unreadable: %s" % (n, error)))
            filename = ""
        cte = part.get("Content-Transfer-Encoding", "7bit").strip().lower()
        if part.get_content_type() == "message/rfc822" and cte not in ("7bit", "8bit", "binary"):
            out.append(("fault", "part %d: message/rfc822 in %s" % (n, cte)))
        try:
            data = contents(part)
        except Exception as error:
            out.append(("fault", "part %d unreadable: %s: %s" % (n, type(error).__name__, error)))
            data = b""
        with open(os.path.join(out_dir, "part-%d" % n), "wb") as f:
            f.write(data)
        out.append(("part", str(n), part.get_content_type(),
                    part.get_content_disposition() or "", clean(filename),
                    part.get_content_charset() or "", cte))
    with open(os.path.join(out_dir, "summary"), "w", encoding="utf-8") as f:
        for fields in out:
            f.write("\t".join(fields) + "\n")


if __name__ == "__main__":
    main()
