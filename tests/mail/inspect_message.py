#!/usr/bin/python3
"""Reads one message file with Python's email package and prints what a
mail reader would see, as JSON, for the mail tests to compare. With a second
path, the attachment is also written there."""

import base64
import email
import email.policy
import email.utils
import hashlib
import json
import sys


def defects_of(part):
    found = [type(d).__name__ for d in part.defects]
    for _, value in part.items():
        found += [type(d).__name__ for d in getattr(value, "defects", ())]
    return found


def header(message, name):
    value = message.get(name)
    return None if value is None else str(value)


def main(path, save_attachment_to=None):
    with open(path, "rb") as f:
        message = email.message_from_bytes(f.read(), policy=email.policy.default)

    result = {
        "from": header(message, "From"),
        "to": header(message, "To"),
        "subject": header(message, "Subject"),
        "x_mailer": header(message, "X-Mailer"),
        "mime_version": header(message, "MIME-Version"),
        "message_id": header(message, "Message-ID"),
        "date": None,
        "header_names": [name.lower() for name in message.keys()],
        "content_type": message.get_content_type(),
        "defects": [],
        "texts": [],
        "attachments": [],
    }
    try:
        result["date"] = email.utils.parsedate_to_datetime(message["Date"]).isoformat()
    except Exception:
        pass

    for part in message.walk():
        result["defects"] += defects_of(part)
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        if part.get_filename() is None and part.get_content_maintype() == "text":
            result["texts"].append({
                "content_type": part.get_content_type(),
                "charset": part.get_content_charset(),
                "encoding": part.get("Content-Transfer-Encoding", "7bit").lower(),
                "bytes": base64.b64encode(payload).decode("ascii"),
            })
        else:
            if save_attachment_to:
                with open(save_attachment_to, "wb") as out:
                    out.write(payload)
            result["attachments"].append({
                "filename": part.get_filename(),
                "content_type": part.get_content_type(),
                "encoding": part.get("Content-Transfer-Encoding", "").lower(),
                "size": len(payload),
                "sha256": hashlib.sha256(payload).hexdigest(),
            })
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main(*sys.argv[1:3])
