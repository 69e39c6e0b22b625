"""Who may talk to the server, and what every answer carries.

The server listens on the loopback address, which every local user and every
web page open in the user's browser can reach. So:

- every API request carries the access token (pagecase.access_token(), new
  for every run and kept in a file only the user can read), compared in
  constant time; a token from an earlier run, wherever it was left, opens
  nothing;
- a request whose Host header is not the server's own address is refused,
  so a hostile site that rebinds its DNS name to 127.0.0.1 reads nothing;
- a request the browser marks as coming from another site is refused too;
- every answer forbids inline script, remote content and framing, so what a
  document contains can never run in the page.

The server checks all three before it reads a request's body.
"""

import hmac

TOKEN_HEADER = "X-Tidewing-Token"
TOKEN_PARAMETER = "token"  # for <img> requests, which cannot carry a header

PAGE_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"
)
# An image is shown inside the page, never as a page: opened on its own, an
# SVG gets a sandbox with no script at all.
ASSET_POLICY = "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; sandbox"

SECURITY_HEADERS = (
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
    ("X-Frame-Options", "DENY"),
)


class Guard:
    def __init__(self, token, port):
        self._token = token.encode("ascii")
        self.hosts = frozenset({f"127.0.0.1:{port}", f"localhost:{port}"})
        self._origins = frozenset(f"http://{host}" for host in self.hosts)

    def host_ok(self, headers):
        """Exactly one Host header, naming this server (DNS rebinding)."""
        values = headers.get_all("Host") or []
        return len(values) == 1 and values[0].strip().lower() in self.hosts

    def same_origin(self, headers):
        """No sign of a request made by another site's page: browsers send Origin
        with every fetch and POST, and Sec-Fetch-Site with every request."""
        origin = headers.get("Origin")
        if origin is not None and origin.lower() not in self._origins:
            return False
        return headers.get("Sec-Fetch-Site", "same-origin") in ("same-origin", "none")

    def token_ok(self, headers, query):
        given = headers.get(TOKEN_HEADER) or parameter(query, TOKEN_PARAMETER) or ""
        # Header text may hold any character; surrogatepass lets every str encode.
        return hmac.compare_digest(given.encode("utf-8", "surrogatepass"), self._token)


def parameter(query, name):
    """One query parameter's text, or None when it is missing or holds a NUL
    (which no path may hold, and which some pathlib calls raise on)."""
    values = query.get(name)
    if not values or "\x00" in values[0]:
        return None
    return values[0]
