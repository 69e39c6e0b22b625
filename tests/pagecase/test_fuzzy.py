"""The quick-open fuzzy score."""

import os
import random
import subprocess
import sys

import pytest

from tidewing_quillery import pagecase

WORKED = [
    ("dia", "DATA_INTEGRITY_AUDIT", 23),
    ("dia", "media/archive/index", 9),
    ("readme", "README.md", 33),
    ("rm", "README.md", 8),
    ("gs", "getting-started.md", 15),
    ("gs", "guides/setup.md", 7),
    ("nm", "my notes.md", 16),
    ("n", "myNotes.md", 0),
    ("x", "x" * 11, 8),
    ("x", "x" * 12, 7),
    ("", "anything at all", 0),
    ("", "", 0),
    ("a", "", None),
    ("abc", "ab", None),
    ("aa", "a", None),
]


@pytest.mark.parametrize("query, candidate, expected", WORKED)
def test_worked_values_in_any_ascii_case(query, candidate, expected):
    for q in (query, query.upper()):
        for c in (candidate, candidate.upper(), candidate.lower()):
            assert pagecase.fuzzy_score(q, c) == expected
    assert pagecase.fuzzy_score(query=query, candidate=candidate) == expected


@pytest.mark.parametrize(
    "query, candidate",
    [
        ("k", "\u212a.md"),  # the Kelvin sign lower-cases to an ASCII k
        ("i", "\u0130x"),  # İ lower-cases to two code points: i and a combining dot
        ("\u0130", "ii\u0307"),  # a query that grows when lower-cased
        ("σ", "ΟΔΥΣΣΕΥΣ"),  # final sigma depends on the whole string
        ("ς", "ΟΔΥΣΣΕΥΣ"),
        ("ss", "Stra\u00dfe_ss"),
        ("😀a", "x 😀 A"),
        ("\udcff", "bad\udcff-name.md"),
        ("日", "docs/日記.md"),
        ("é", "CAFÉ-" + "x" * 30),
    ],
)
def test_text_beyond_ascii_is_lowered_as_python_does(documented, query, candidate):
    assert pagecase.fuzzy_score(query, candidate) == documented.fuzzy_score(query, candidate)


def test_every_code_point_is_lowered_as_str_lower_does():
    # The candidate's own lower-cased text as the query matches every
    # character where it stands, so any code point lowered otherwise, or
    # missed by a search, changes the score. Latin-1 first, then the rest,
    # each block stored at its own width.
    blocks = [range(0, 0x100)] + [range(start, min(start + 2048, 0x110000)) for start in range(0x100, 0x110000, 2048)]
    for block in blocks:
        candidate = "".join(map(chr, block)) + "/"
        lowered = candidate.lower()
        word_starts = 1 + sum(lowered[:-1].count(separator) for separator in "/\\_-. ")
        expected = 5 * (len(lowered) - 1) + 8 * word_starts - len(candidate) // 12
        assert pagecase.fuzzy_score(lowered, candidate) == expected, hex(block[0])


def test_random_text_matches_the_documented_steps(documented):
    rng = random.Random(4)
    alphabet = "aAbB/_-. \\z\u212a\u0130\u00dfΣσς日😀\udc80é"
    for _ in range(3000):
        candidate = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 30)))
        query = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 4)))
        assert pagecase.fuzzy_score(query, candidate) == documented.fuzzy_score(query, candidate), (query, candidate)


class Shouting(str):
    def lower(self):
        return self.upper()


@pytest.mark.parametrize(
    "query, candidate",
    [(None, "x"), (1, "x"), ("a", None), (b"a", b"ba"), (b"b", b"b"), (["a"], "a"), (Shouting("A"), Shouting("xa"))],
)
def test_other_arguments_behave_as_their_own_operations_do(documented, query, candidate):
    try:
        expected = documented.fuzzy_score(query, candidate)
    except Exception as error:  # the same exception, message included
        with pytest.raises(type(error)) as raised:
            pagecase.fuzzy_score(query, candidate)
        assert str(raised.value) == str(error)
    else:
        assert pagecase.fuzzy_score(query, candidate) == expected


# Each query character is found 17 characters after the previous match, in the
# other case: a search that looked for the lower-case letter to the end of the
# candidate before it looked for the capital took minutes on these (quadratic
# in the length); a linear one takes milliseconds. Run in a child process, so
# that a regression fails by the timeout instead of hanging the suite.
LONG_INPUTS = """
import sys
from tidewing_quillery import pagecase
n = 1_000_000
far = ("x" * 16 + "A") * n
for query, candidate in [("a" * n, far), ("a" * n + "b", far), ("a" * n + "\\u00e9", far),
                         ("a" * n, ("\\u00e9" * 16 + "A") * n), ("a" * n, ("\\u0436" * 16 + "A") * n)]:
    print(pagecase.fuzzy_score(query, candidate))
"""


def test_long_inputs_take_one_pass():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-c", LONG_INPUTS], env=env, capture_output=True, text=True, timeout=60, check=True
    )
    every_match_costs_nothing = str(-(17 * 1_000_000 // 12))
    assert done.stdout.split() == [
        every_match_costs_nothing,
        "None",
        "None",
        every_match_costs_nothing,
        every_match_costs_nothing,
    ]
