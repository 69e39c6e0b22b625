"""Where CPython releases differ, as the tests expect it (README: "Where
CPython releases differ"). The rule: the native route gives CPython 3.10's
result on every release, with no warning 3.10 would not give; the
Python-steps route (a host rebound or patched a name) calls what the host
bound and gives what that gives on the running interpreter. A test that
compares with the running interpreter's own behaviour asks here which of
the two it is comparing with.
"""

import sys

RELEASE = sys.version_info[:2]

# base64.urlsafe_b64decode reads text that is not canonical as 3.10 does up to
# 3.13: 3.14 decodes on after a "=" that closes a group, 3.15 needs no
# padding and warns about "+" and "/".
BASE64_READS_AS_310 = RELEASE < (3, 14)

# pathlib's is_file(), is_dir() and resolve() all call Path.stat() in 3.10;
# later releases call os directly in some or all of them.
PATHLIB_TESTS_CALL_STAT = RELEASE < (3, 11)

# Path(text) parses str(text) of a str subclass in 3.10 only.
PATH_TAKES_STR_OF_STR_SUBCLASSES = RELEASE < (3, 11)

# Path.resolve() raises RuntimeError for a loop of links up to 3.12.
RESOLVE_REPORTS_LOOPS = RELEASE < (3, 13)

# pathlib's is_file(), is_dir() and exists() raise a stat error other than
# "not there" up to 3.13; from 3.14 on they answer False for every one.
PATHLIB_TESTS_RAISE = RELEASE < (3, 14)

# help() quotes string annotations up to 3.13 and writes them bare from 3.14
# on; the signatures themselves are the same on every release.
HELP_QUOTES_ANNOTATIONS = RELEASE < (3, 14)


def as_help_shows(signature):
    """The text help() shows for a signature on the running interpreter."""
    if HELP_QUOTES_ANNOTATIONS:
        return str(signature)
    return signature.format(quote_annotation_strings=False)
