#!/usr/bin/python3
"""Reads a received message as a mail reader would and writes its one
attachment out; prints its file name, the subject, the X-Mailer field and the
body text as JSON."""

import email
import email.policy
import json
import sys

with open(sys.argv[1], "rb") as f:
    message = email.message_from_bytes(f.read(), policy=email.policy.default)

found = {"defects": [], "attachments": []}
for part in message.walk():
    found["defects"] += [type(d).__name__ for d in part.defects]
    if part.is_multipart():
        continue
    if part.get_filename():
        found["attachments"].append(part.get_filename())
        with open(sys.argv[2], "wb") as out:
            out.write(part.get_payload(decode=True))
    else:
        found["body"] = part.get_payload(decode=True).decode(part.get_content_charset() or "ascii")

found["subject"] = str(message["Subject"])
found["x_mailer"] = str(message["X-Mailer"])
found["from"] = str(message["From"])
found["to"] = str(message["To"])
json.dump(found, sys.stdout)
