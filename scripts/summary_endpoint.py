#!/usr/bin/env python3
"""A stand-in remote summary service for the tour, on 127.0.0.1 only.

It accepts what tolvo-recorder-service POSTs to <base>/v1/responses (JSON with the prompt and,
for a summary window, the window's video as Base64) and answers with a short description of
what it received, so that the tour shows the remote path without a real model. Prints its
base address on the first line of standard output, then serves until it is stopped.
"""
import base64
import json
import struct
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def top_level_boxes(data, limit=4):
    """The first top-level MP4 box types of `data`."""
    boxes, at = [], 0
    while at + 8 <= len(data) and len(boxes) < limit:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        boxes.append(kind.decode("latin-1"))
        if size < 8:
            break
        at += size
    return boxes


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        request = json.loads(self.rfile.read(length))
        content = request["input"][0]["content"]
        prompt = next(item["text"] for item in content if item["type"] == "input_text")
        files = [item for item in content if item["type"] == "input_file"]
        metadata = request["metadata"]
        if files:
            video = base64.b64decode(files[0]["data"])
            text = (f"Received {files[0]['filename']}: {len(video)} bytes of {files[0]['mime_type']} "
                    f"(boxes {' '.join(top_level_boxes(video))}), apps {', '.join(metadata['app_names']) or '-'}, "
                    f"and a prompt of {len(prompt.splitlines())} lines.")
        else:
            text = f"Received a {metadata['preset']} prompt of {len(prompt.splitlines())} lines."
        body = json.dumps({"id": "tour", "model": "tour-endpoint", "output_text": text}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(f"http://127.0.0.1:{server.server_address[1]}", flush=True)
    server.serve_forever()
