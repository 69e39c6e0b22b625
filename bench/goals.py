"""A benchmark's goals, stated once as data, and its verdict.

Each benchmark names its goals in a dict of `Goal`s at the top of its file,
hands every figure it measures to `Scorecard.check` (which gives back the
goal to print beside the figure, with MISSED when it is), and ends with
`Scorecard.report`: one "goal missed" line per figure that missed its goal,
a summary, and the exit status (1 when a goal was missed).
"""

import operator
from dataclasses import dataclass

RELATIONS = {">=": operator.ge, ">": operator.gt, "<=": operator.le, "<": operator.lt}


@dataclass(frozen=True)
class Goal:
    """What a figure is, and the bound it must keep: `relation` `bound`."""

    measure: str
    relation: str
    bound: float
    unit: str = "x"

    def __post_init__(self):
        if self.relation not in RELATIONS:
            raise ValueError(f"relation {self.relation!r} is none of {', '.join(RELATIONS)}")

    def met_by(self, value):
        return RELATIONS[self.relation](value, self.bound)

    def __str__(self):
        return f"{self.relation} {self.bound:g}{self.unit}"


@dataclass(frozen=True)
class Figure:
    goal: Goal
    subject: str
    value: float

    @property
    def met(self):
        return self.goal.met_by(self.value)

    def __str__(self):
        subject = f" ({self.subject})" if self.subject else ""
        return f"{self.goal.measure}{subject}: {self.value:.2f}{self.goal.unit}, goal {self.goal}"


class Scorecard:
    """The figures of one run, checked against `goals` (a dict of Goal by key)."""

    def __init__(self, goals):
        self.goals = goals
        self.figures = []

    def check(self, key, value, subject=""):
        """Records `value` against the goal `key`; the text to print beside it."""
        figure = Figure(self.goals[key], subject, value)
        self.figures.append(figure)
        return f"(goal {figure.goal})" + ("" if figure.met else "  MISSED")

    def missed(self):
        return [figure for figure in self.figures if not figure.met]

    def report(self):
        """Prints the goals missed and a summary; returns the exit status."""
        missed = self.missed()
        print()
        for figure in missed:
            print(f"goal missed: {figure}")
        checked = len(self.figures)
        if missed:
            print(f"summary: {len(missed)} of {checked} figures missed their goals")
        elif checked:
            print(f"summary: every figure met its goal ({checked} checked)")
        else:
            print("summary: no figure was checked")
        return 1 if missed else 0
