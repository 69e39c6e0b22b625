"""What the benchmarks share: goals checked and reported, and temporary trees
removed however a run ends."""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from goals import Goal, Scorecard
from scratch import scratch_folder


def test_scorecard_marks_and_reports_the_goals_missed(capsys):
    card = Scorecard(
        {
            "speed": Goal("search, speed-up over pure Python", ">=", 10),
            "memory": Goal("peak memory, native / pure Python", "<=", 0.7, unit=""),
        }
    )
    assert card.check("speed", 12.5, "'readme'") == "(goal >= 10x)"
    assert card.check("speed", 9.99, "'gs'") == "(goal >= 10x)  MISSED"
    assert card.check("memory", 0.7) == "(goal <= 0.7)"
    assert card.check("memory", 0.85) == "(goal <= 0.7)  MISSED"
    assert card.report() == 1
    assert capsys.readouterr().out == (
        "\n"
        "goal missed: search, speed-up over pure Python ('gs'): 9.99x, goal >= 10x\n"
        "goal missed: peak memory, native / pure Python: 0.85, goal <= 0.7\n"
        "summary: 2 of 4 figures missed their goals\n"
    )


def test_scorecard_of_a_run_that_met_every_goal(capsys):
    card = Scorecard({"faster": Goal("hardware over portable", ">", 1)})
    assert card.report() == 0
    card.check("faster", 1.01, "encrypt")
    assert card.report() == 0
    assert capsys.readouterr().out == (
        "\nsummary: no figure was checked\n\nsummary: every figure met its goal (1 checked)\n"
    )
    with pytest.raises(KeyError):
        card.check("unstated", 1.0)
    with pytest.raises(ValueError, match="relation '=>'"):
        Goal("typo", "=>", 1)


def test_scratch_folder_is_removed_after_the_block_and_after_an_error(tmp_path):
    with scratch_folder("bench-test-", tmp_path) as folder:
        (folder / "tree" / "deep").mkdir(parents=True)
        (folder / "tree" / "deep" / "a.md").write_text("x")
    assert not folder.exists()
    with pytest.raises(RuntimeError):
        with scratch_folder("bench-test-", tmp_path) as folder:
            (folder / "a.md").write_text("x")
            raise RuntimeError("a benchmark's assertion")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, -signal.SIGINT), (signal.SIGTERM, 128 + signal.SIGTERM)])
def test_scratch_folder_is_removed_when_the_run_is_stopped(tmp_path, signum, status):
    script = textwrap.dedent(f"""
        import signal, sys, time
        from scratch import scratch_folder
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job inherits it ignored
        with scratch_folder("bench-test-", {str(tmp_path)!r}) as folder:
            (folder / "tree").mkdir()
            print(folder, flush=True)
            time.sleep(60)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen(
        [sys.executable, "-c", script], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    folder = Path(child.stdout.readline().strip())
    assert (folder / "tree").is_dir()
    os.kill(child.pid, signum)
    _, err = child.communicate(timeout=30)
    assert child.returncode == status, err
    assert not folder.exists() and list(tmp_path.iterdir()) == []
