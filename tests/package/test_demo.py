import sys

import pytest


def run_demo(python_subprocess, *args):
    return python_subprocess("import sys; from tolvane.demo import main; sys.exit(main(sys.argv[1:]))", *args)


def test_demo_prints_the_run(python_subprocess):
    result = run_demo(python_subprocess, "--stocks", "40", "--years", "3", "--top", "5", "--seed", "3")
    assert result.returncode == 0, result.stderr
    for heading in [
        "final value:",
        "annualised return:",
        "maximum drawdown:",
        "trades:",
        "win rate:",
        "MAE",
        "MFE",
        "pending stock operations:",
        "run time:",
    ]:
        assert heading in result.stdout
    again = run_demo(python_subprocess, "--stocks", "40", "--years", "3", "--top", "5", "--seed", "3")
    strip = lambda text: [line for line in text.splitlines() if "run time" not in line]
    assert strip(again.stdout) == strip(result.stdout)  # reproducible


@pytest.mark.parametrize("args", [["--years", "1"], ["--stocks", "3", "--top", "5"]])
def test_demo_fails_loudly(python_subprocess, args):
    result = run_demo(python_subprocess, *args)
    assert result.returncode == 1
    assert result.stderr.startswith("demo failed:")


def test_demo_is_a_module_entry_point(python_subprocess):
    import subprocess

    result = subprocess.run([sys.executable, "-m", "tolvane.demo", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "--stocks" in result.stdout


def test_demo_stops_quietly_when_its_reader_does():
    import subprocess

    demo = subprocess.Popen(
        [sys.executable, "-m", "tolvane.demo", "--stocks", "40", "--years", "3"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    demo.stdout.close()  # as `| head` does once it has its lines
    stderr = demo.stderr.read().decode()
    assert demo.wait() == 0 and stderr == ""
