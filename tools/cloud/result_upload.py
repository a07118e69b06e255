#!/usr/bin/env python3
"""Stand-in for the instrument's cloud upload script, for tests and PC use.

Called as: result_upload.py SERIAL INPUT_JSON MODE. It reads the result,
"uploads" it without any network, and writes its response as JSON next to the
input file (response.json) with "status_code" and "text". XRF_UPLOAD_BEHAVIOUR
picks what happens: ok (200, the default), refuse (500), fail (exit 1 without
a response), hang (sleep for a minute) or garbage (a response that is not JSON).
"""
import json
import os
import sys
import time


def main():
    if len(sys.argv) != 4:
        print("usage: result_upload.py SERIAL INPUT_JSON MODE", file=sys.stderr)
        return 2
    serial, input_path, mode = sys.argv[1:4]
    behaviour = os.environ.get("XRF_UPLOAD_BEHAVIOUR", "ok")
    response_path = os.path.join(os.path.dirname(os.path.abspath(input_path)), "response.json")
    with open(input_path, encoding="utf-8") as f:
        result = json.load(f)
    tid = result.get("analysis", {}).get("tidName", "")
    print(f"upload of {tid!r} for {serial} ({mode}): {behaviour}", flush=True)
    if behaviour == "fail":
        return 1
    if behaviour == "hang":
        time.sleep(60)
        return 0
    with open(response_path, "w", encoding="utf-8") as f:
        if behaviour == "garbage":
            f.write("<html>502 Bad Gateway")
        elif behaviour == "refuse":
            json.dump({"status_code": 500, "text": "cloud refused " + tid}, f)
        else:
            json.dump({"status_code": 200, "text": "accepted " + tid}, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
