"""
Authenticated encryption of strings, data and files: AES-128-CBC, a token cipher in the Fernet format, and the tw_lattice class.
"""



__all__ = ['tw_lattice']

class InvalidToken(Exception):
    """
    A token was rejected: it cannot be decoded, is malformed, fails its authentication, is too old, or does not decrypt to padded data.
    """

class TwFernet:
    """
    Authenticated encryption of bytes into tokens: AES-128-CBC with PKCS#7 padding and HMAC-SHA256, URL-safe base64 encoded, under a key of 32 url-safe base64-encoded bytes (16 for the HMAC, 16 for AES).
    """

    def __init__(self, key: str | bytes) -> None: ...

    @staticmethod
    def generate_key() -> bytes: ...

    def encrypt(self, data: str | bytes) -> bytes: ...

    def decrypt(self, token: str | bytes, ttl: int | None = None) -> bytes: ...

class tw_lattice:
    """
    Encrypts and decrypts strings and byte data under keys derived from a secret of 8 to 512 characters. Data encrypted with a file name can only be decrypted under the same base name.
    """

    def __init__(self, secret_key: str) -> None: ...

    def encrypt_string(self, input_string: str | None) -> str: ...

    def decrypt_string(self, encrypted_string: str | None) -> str | None: ...

    def encrypt_data(self, data: bytes | None, filename: str | None = None) -> bytes: ...

    def decrypt_data(self, encrypted_data: bytes | None, filename: str | None = None) -> bytes | None: ...

    def is_v2_data(self, data: bytes | None) -> bool: ...

    def string_to_secret_key(self, input_string: str | None) -> str: ...

    def secret_key_to_string(self, secret_key: str | None, encrypted_string: str | None) -> str | None: ...
