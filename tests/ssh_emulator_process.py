"""The emulated devices of ssh_emulator as a process of their own, for tests
and benchmarks that run the command in theirs: run this file.

It reads one JSON object a line on standard input ({"host_key",
"client_keys", "password"} first, then devices as Device fields, host_key in
PEM) and writes each device's port as a line; {"connections": PORT} is
answered with the SSH connections that device has had so far and those open
now, as "HAD OPEN". It ends, closing every device, when standard input does.
"""
import asyncio
import json
import logging
import sys
import threading

from ssh_emulator import Device, Emulator, asyncssh


def serve() -> None:
    # A device still writing when the client (or the jump host between) has
    # closed its side is no news: asyncio would say so on standard error.
    logging.getLogger("asyncio").setLevel(logging.ERROR)
    setup = json.loads(sys.stdin.readline())
    loop = asyncio.new_event_loop()
    emulator = Emulator(asyncssh.import_private_key(setup["host_key"]),
                        [asyncssh.import_public_key(key) for key in setup["client_keys"]], setup.get("password", ""))
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    for line in sys.stdin:
        fields = json.loads(line)
        if "connections" in fields:
            sys.stdout.write("%d %d\n" % tuple(emulator.connections[fields["connections"]]))
            sys.stdout.flush()
            continue
        if fields.get("host_key"):
            fields["host_key"] = asyncssh.import_private_key(fields["host_key"])
        port = asyncio.run_coroutine_threadsafe(emulator.start(Device(**fields)), loop).result(30)
        sys.stdout.write("%d\n" % port)
        sys.stdout.flush()
    asyncio.run_coroutine_threadsafe(emulator.close(), loop).result(30)
    loop.call_soon_threadsafe(loop.stop)
    thread.join(30)


if __name__ == "__main__":
    serve()
