"""What the stand-in servers share: a listening socket, a thread per
connection, records that appear under their name only when whole, the "ready"
file and the stop on SIGTERM or SIGINT."""
import os
import signal
import socket
import threading


def listen(addr, port, backlog=128, rcvbuf=None):
    """A listening socket; rcvbuf, when given, is the receive buffer that its
    connections start with."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if rcvbuf is not None:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((addr, port))
    s.listen(backlog)
    return s


def serve_in_threads(listener, serve, on_accept=None):
    """Accepts connections until the listener is closed; each is handed to
    serve(conn) on a thread of its own. With on_accept, serve gets
    (conn, on_accept(conn)), the second taken on the accepting thread: what
    on_accept counts follows the order of arrival, which the serving threads'
    start does not (a peer may close one connection and open the next before
    the first one's thread runs)."""

    def accept_loop():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            args = (conn,) if on_accept is None else (conn, on_accept(conn))
            threading.Thread(target=serve, args=args, daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


def write_record(path, data):
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.rename(path + ".part", path)


def run_until_stopped(directory, listeners, stop=None):
    """Writes "ready" in directory, then waits for SIGTERM or SIGINT, sets
    stop (when given) and closes the listeners."""
    stop = stop or threading.Event()
    with open(os.path.join(directory, "ready"), "w") as f:
        f.write("ready\n")
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.2):
        pass
    for s in listeners:
        s.close()
