"""The identification protocol's request extension, for the test clients:
"KVX1", a 16-byte cookie and an 8-byte nonce after a request's fixed part;
the daemon answers an extended request without a valid cookie with
"IDCKE", the cookie and the nonce, and a verified one with its answer and
the nonce echoed."""
import os
import socket

ZERO = bytes(16)


def fixed(request):
    """The fixed part a request's extension follows: the status request
    needs its NUL."""
    return request + b"\0" if request == b"IDUPDATESTATUS" else request


def extend(request, cookie=ZERO, nonce=None):
    nonce = nonce if nonce is not None else os.urandom(8)
    return fixed(request) + b"KVX1" + cookie + nonce, nonce


def cookie_answer(data, nonce):
    """The cookie of an "IDCKE" answer carrying nonce, or None."""
    if len(data) == 29 and data.startswith(b"IDCKE") and data[21:29] == nonce:
        return data[5:21]
    return None


def get_cookie(sock, dest, request=b"IDUPDATESTATUS", wait=5.0):
    """Asks for the sender's cookie with an extended request; None when no
    cookie answer came."""
    payload, nonce = extend(request)
    sock.sendto(payload, dest)
    sock.settimeout(wait)
    try:
        while True:
            data, _ = sock.recvfrom(65536)
            cookie = cookie_answer(data, nonce)
            if cookie is not None:
                return cookie
    except socket.timeout:
        return None
