"""Figures, the HTML page and the notebook display of a report; the page is
opened in a real headless Chromium."""

import base64
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from optional import require

import tolvane

matplotlib = require("matplotlib", "report")
require("jinja2", "report")

KINDS = ["equity", "monthly", "excursions", "trades", "exposure"]
HOSTILE = "<script>alert(1)</script>"


def run(trading=True, window=0):
    rng = np.random.default_rng(11)
    dates = pd.bdate_range("2021-01-01", periods=300)
    tickers = ["AAA", "BBB", HOSTILE, "DDD"]
    close = pd.DataFrame(50 * np.exp(np.cumsum(rng.normal(0, 0.02, (300, 4)), axis=0)), index=dates, columns=tickers)
    position = pd.DataFrame(rng.uniform(0, 0.3, (15, 4)) * trading, index=dates[::20], columns=tickers)
    return tolvane.backtest(
        position,
        close,
        stop_loss=0.08,
        excursion_window=window,
        excursion_window_step=3,
        benchmark=close.mean(axis=1).rename("market"),
    )


@pytest.fixture(scope="module")
def report():
    return run(window=12)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("trading", [True, False], ids=["trades", "no trades"])
def test_every_figure_is_titled_labelled_and_never_shown(kind, trading, report):
    from matplotlib import pyplot
    from matplotlib.figure import Figure

    figure = (report if trading else run(trading=False)).plot(kind)
    assert isinstance(figure, Figure) and pyplot.get_fignums() == []  # built without pyplot
    texts = [figure.get_suptitle()] + [ax.get_title(loc) for ax in figure.axes for loc in ("left", "center")]
    assert any(texts), "no title"
    labels = [ax.get_xlabel() + " " + ax.get_ylabel() for ax in figure.axes if ax.get_visible()]
    if kind == "monthly":
        assert "(%)" in figure.get_suptitle()
    elif trading or kind == "equity":
        assert any("(%)" in label for label in labels)
    else:  # an explanatory empty panel
        assert any("no " in text.get_text() and "trades" in text.get_text() for ax in figure.axes for text in ax.texts)
    figure.savefig(os.devnull, format="png")


def test_an_unknown_kind_is_refused(report):
    with pytest.raises(ValueError, match="kind must be one of 'equity', 'monthly'"):
        report.plot("pie")


def test_monthly_returns_compound_to_the_run(report):
    from tolvane.report._run_figures import monthly_returns

    grid = monthly_returns(report)
    start = report.stats()["start"]
    growth = np.nanprod(1 + grid.iloc[:, :12].to_numpy())
    assert growth == pytest.approx(report.equity.iloc[-1] / report.equity.loc[start], rel=1e-12)
    assert list(grid.columns) == [*range(1, 13), "year"]


def test_the_page_is_self_contained_and_escaped(tmp_path, report):
    path = tmp_path / "report.html"
    report.to_html(path)
    page = path.read_text(encoding="utf-8")
    assert HOSTILE not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert not re.search(r"""(src|href)=["'](?!data:)""", page), "the page loads something"
    assert "<script" not in page and "@import" not in page and "url(" not in page
    images = re.findall(r'src="data:image/png;base64,([^"]+)"', page)
    assert len(images) == len(KINDS)
    assert all(base64.b64decode(image)[:8] == b"\x89PNG\r\n\x1a\n" for image in images)
    tables = dict(re.findall(r'<table id="(\w+)">(.*?)</table>', page, flags=re.S))
    for name, rows in (("trades", len(report.trades)), ("orders", len(report.orders))):
        listed = len(re.findall(r"<tr><th>\d+</th>", tables[name]))
        assert listed == min(100, rows)
    assert "Costs: fee 0.1425% of each order&#39;s value, tax 0.3% on sales (the defaults)" in page
    if len(report.trades) > 100:
        assert f"{len(report.trades) - 100:,} more are not shown" in page


def test_the_notebook_display_is_the_statistics_and_the_equity_figure(report):
    page = report._repr_html_()
    assert page.count("data:image/png;base64,") == 1 and 'id="stats"' in page and 'id="trades"' not in page


def test_the_command_writes_the_page(tmp_path, report):
    dates = pd.bdate_range("2022-01-03", periods=40, name="date")
    close = pd.DataFrame({"AAA": np.linspace(10, 14, 40)}, index=dates)
    close.to_csv(tmp_path / "close.csv")
    close.iloc[[0]].assign(AAA=1.0).to_csv(tmp_path / "weights.csv")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "tolvane",
            "backtest",
            "--close",
            "close.csv",
            "--position",
            "weights.csv",
            "--report",
            "out.html",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.html").read_text(encoding="utf-8").count("data:image/png") == len(KINDS)


def chromium():
    """The system Chromium and its driver, or a reason to skip."""
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if browser is None or driver is None:
        pytest.skip(
            "Debian's chromium and chromium-driver are not installed (apt-get install chromium chromium-driver)"
        )
    webdriver = require("selenium.webdriver", "test")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in [
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--window-size=1280,1000",
        "--disable-dev-shm-usage",
        "--no-first-run",
    ]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(driver), options=options)


def test_the_page_renders_in_a_real_browser(tmp_path, report):
    path = tmp_path / "report.html"
    report.to_html(path)
    browser = chromium()
    try:
        browser.get(path.as_uri())
        errors = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]
        assert errors == []
        sizes = browser.execute_script(
            "return [...document.querySelectorAll('img, svg')].map(e => [e.getBoundingClientRect().width,"
            " e.getBoundingClientRect().height, e.complete === undefined || e.naturalWidth > 0])"
        )
        assert len(sizes) == len(KINDS) and all(w > 100 and h > 100 and loaded for w, h, loaded in sizes)
        rows = browser.execute_script(
            "return [...document.querySelectorAll('#stats tbody th')].map(e => e.textContent)"
        )
        assert rows == list(report.stats().index)
        height = browser.execute_script("return document.documentElement.scrollHeight")
        shot = browser.execute_cdp_cmd(
            "Page.captureScreenshot",
            {
                "format": "png",
                "captureBeyondViewport": True,
                "clip": {"x": 0, "y": 0, "width": 1280, "height": height, "scale": 1},
            },
        )
    finally:
        browser.quit()
    (tmp_path / "page.png").write_bytes(base64.b64decode(shot["data"]))
    from matplotlib import image

    pixels = image.imread(tmp_path / "page.png")
    assert pixels.shape[0] == height and pixels[..., :3].std() > 0.05  # not a blank page


# ------------------------------------------------------------ reading the figures
def one_stock(prices, signals, **options):
    """A backtest of one stock at `prices` (one per business day from 2022-12-01)
    held at the weights `signals` ({date: weight}), free of fees and taxes."""
    dates = pd.bdate_range("2022-12-01", periods=len(prices))
    close = pd.DataFrame({"AAA": prices}, index=dates)
    position = pd.DataFrame({"AAA": list(signals.values())}, index=pd.to_datetime(list(signals)))
    return tolvane.backtest(position, close, fee_ratio=0, tax_ratio=0, **options)


@pytest.mark.parametrize("case", ["a run", "a break-even trade"])
def test_trade_returns_are_binned_alike_either_side_of_zero(case, report):
    from matplotlib.colors import to_hex

    from tolvane.report._axes import LOSS

    if case == "a break-even trade":  # one of the losers (return <= 0)
        report = one_stock(np.full(30, 10.0), {"2022-12-05": 1.0, "2022-12-20": 0.0})
    returns = report.trades.query("exit_bar >= 0")["return"].dropna().to_numpy()
    bars = report.plot("trades").axes[0].patches
    edges = np.array([[bar.get_x(), bar.get_x() + bar.get_width()] for bar in bars])
    width = bars[0].get_width()
    # One width, and every edge a whole number of widths from 0.
    np.testing.assert_allclose(np.diff(edges), width, rtol=1e-9)
    np.testing.assert_allclose(edges / width, np.round(edges / width), atol=1e-6)
    red = np.array([to_hex(bar.get_facecolor(), keep_alpha=False) == LOSS for bar in bars])
    heights = np.array([bar.get_height() for bar in bars])
    assert heights[red].sum() == (returns <= 0).sum() and heights[~red].sum() == (returns > 0).sum()
    assert (edges[red & (heights > 0), 1] <= 1e-12).all() and (edges[~red & (heights > 0), 0] >= -1e-12).all()


@pytest.mark.parametrize("growth", [1.04, 3.5, 30.0, 1e5])
def test_a_log_equity_axis_labels_three_plain_values_or_more_inside_the_curve(growth):
    bars = np.arange(300)
    prices = 10 * growth ** (bars / 299) * (1 + 0.01 * np.sin(bars / 7))
    axes = one_stock(prices, {"2022-12-01": 1.0}).plot("equity", log=True).axes[0]
    curve = axes.lines[0].get_ydata()
    labelled = {tick: label.get_text() for tick, label in zip(axes.get_yticks(), axes.get_yticklabels())}
    inside = {tick: text for tick, text in labelled.items() if curve.min() <= tick <= curve.max() and text}
    assert len(inside) >= 3, labelled
    assert all(float(text.replace(",", "")) == pytest.approx(tick, rel=1e-9) for tick, text in inside.items())
    assert not any(label.get_text() for label in axes.get_yticklabels(minor=True))


@pytest.mark.parametrize("window", [12, 90])
def test_the_excursion_window_is_ticked_on_sampled_offsets(window):
    report = run(window=window)  # sampled every 3 bars
    axes = report.plot("excursions").axes[2]
    ticks = axes.get_xticks()
    sampled = set(report.excursions["offset"])
    assert len(ticks) >= 3 and all(tick == int(tick) and int(tick) in sampled for tick in ticks)


def test_months_without_a_trade_open_are_marked_out_of_the_market():
    from tolvane.report._run_figures import monthly_returns, months_out_of_market

    # Signals trade at the next bar's close: held from 2 to 23 January, and
    # from 3 April to 1 June, the first bar of June.
    signals = {"2022-12-30": 1.0, "2023-01-20": 0.0, "2023-03-31": 1.0, "2023-05-31": 0.0}
    report = one_stock(np.linspace(10, 20, 152), signals)
    out, returns = months_out_of_market(report), monthly_returns(report)
    assert out.index.equals(returns.index) and out.columns.equals(returns.columns)
    marked = {(year, month) for (year, month), flag in out.iloc[:, :12].stack().items() if flag}
    assert marked == {(2022, 12), (2023, 2), (2023, 3)}
    assert out["year"].to_dict() == {2022: True, 2023: False}
    # Out of the market, the value cannot move; June, left on its first bar, did.
    assert [returns.loc[year, month] for year, month in sorted(marked)] == [0, 0, 0] and returns.loc[2023, 6] > 0
    texts = [text.get_text() for ax in report.plot("monthly").axes for text in ax.texts]
    assert texts.count("\u2013") == len(marked) + 1 and "+0.0" not in texts
