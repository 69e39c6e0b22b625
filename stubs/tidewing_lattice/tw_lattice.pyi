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

    _FERNET_VERSION: bytes = ...

    def __init__(self, key: str | bytes) -> None:
        """
        A token cipher under `key`, 32 bytes in URL-safe base64 (str or bytes); raises ValueError for a key of another length.

        A key that is not base64 raises the error of base64.urlsafe_b64decode.
        """

    @staticmethod
    def generate_key() -> bytes:
        """
        A new random key: 32 bytes from os.urandom in URL-safe base64, 44 bytes long.
        """

    def encrypt(self, data: str | bytes) -> bytes:
        """
        A new token holding `data` (a str is taken as UTF-8), as URL-safe base64 bytes; raises TypeError for anything but str and bytes.

        The token carries the time of its making and a random IV.
        """

    def decrypt(self, token: str | bytes, ttl: int | None = None) -> bytes:
        """
        The bytes a token holds; raises InvalidToken for a token that cannot be decoded, is malformed or forged, or is older than `ttl` seconds.

        With a `ttl`, a token made more than 60 seconds in the future is refused too. The tag is checked, in constant time, before anything is decrypted.
        """

class tw_lattice:
    """
    Encrypts and decrypts strings and byte data under keys derived from a secret of 8 to 512 characters. Data encrypted with a file name can only be decrypted under the same base name.
    """

    def __init__(self, secret_key: str) -> None:
        """
        An encryptor under `secret_key`, a str of 8 to 512 characters; raises ValueError for a secret that is empty, shorter or longer.

        Its own key is derived with PBKDF2-HMAC-SHA256; a secret that is no str raises TypeError.
        """

    def encrypt_string(self, input_string: str | None) -> str:
        """
        A version-1 token holding `input_string`, as str; raises ValueError for None or an empty string.

        Arguments of other types raise TypeError.
        """

    def decrypt_string(self, encrypted_string: str | None) -> str | None:
        """
        The text a version-1 token holds, or None for None, an empty string, a bad token or any other failure.

        Arguments of other types raise TypeError.
        """

    def encrypt_data(self, data: bytes | None, filename: str | None = None) -> bytes:
        """
        Version-1 data holding `data`, or with a `filename` version-2 data bound to its base name; raises ValueError for None or empty data.

        Version-2 data is "TWEV2:" followed by a token under a key derived from the secret and the file's base name. Arguments of other types raise TypeError.
        """

    def decrypt_data(self, encrypted_data: bytes | None, filename: str | None = None) -> bytes | None:
        """
        The bytes version-1 or version-2 data holds, or None for None or empty data; raises InvalidToken for a bad token.

        Version-2 data needs the `filename` it was encrypted with (any folder, the same base name): without one it raises ValueError. Arguments of other types raise TypeError.
        """

    def is_v2_data(self, data: bytes | None) -> bool:
        """
        Whether `data` is version-2 data, starting with "TWEV2:"; False for None or empty data.
        """

    def string_to_secret_key(self, input_string: str | None) -> str:
        """
        A token-cipher key derived from `input_string`, 44 characters, the same for the same input; raises ValueError for None, an empty string or more than 1024 characters.
        """

    def secret_key_to_string(self, secret_key: str | None, encrypted_string: str | None) -> str | None:
        """
        The text a token holds under the token-cipher key `secret_key`, or None when either is None or empty or anything fails (a bad key or token included).
        """
