"""The pages of a sweep and of a walk-forward validation: self-contained,
escaped, showing what the results hold, and opened in a real headless
Chromium."""

import base64
import io
import math
import re
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from browser import chromium, console_errors, image_sizes, screenshot, served
from optional import require
from research_markets import HOSTILE

import tolvane
from tolvane.report._research_pages import heatmap_parameters

require("matplotlib", "report")
require("jinja2", "report")
from markupsafe import escape  # noqa: E402  (Jinja2's own escaping, installed with it)

TITLE = "<i>title</i> & co"


@pytest.fixture(scope="module")
def pages(swept, walked, strategies_and_close):
    """Each page and the figures it must show."""
    strategies, close = strategies_and_close
    without_returns = tolvane.sweep(
        strategies, close, grid={"strategy": list(strategies), "stop_loss": [None, 0.05]}, progress=False
    )
    return {
        "sweep": (swept.to_html(title=TITLE, splits=8), ["heatmap", "logits", "degradation"]),
        "sweep without returns": (without_returns.to_html(title=TITLE), ["heatmap"]),
        "walk-forward": (walked.to_html(title=TITLE), ["walk_forward", "folds"]),
    }


def rows(page, table):
    """The row headers of a table of the page."""
    body = re.search(rf'<table id="{table}">.*?<tbody>(.*?)</tbody>', page, re.DOTALL).group(1)
    return re.findall(r"<tr><th>(.*?)</th>", body)


def cells(page, table):
    """The cells of a table of the page, {column: {row header: text}}."""
    columns = re.findall(
        r"<th[^>]*>(.*?)</th>", re.search(rf'<table id="{table}">\s*<thead>(.*?)</thead>', page).group(1)
    )
    body = re.search(rf'<table id="{table}">.*?<tbody>(.*?)</tbody>', page, re.DOTALL).group(1)
    found = {column: {} for column in columns[1:]}
    for name, row in re.findall(r"<tr><th>(.*?)</th>(.*?)</tr>", body):
        texts = re.findall(r"<td[^>]*>(.*?)</td>", row)
        assert len(texts) == len(found)
        for column, text in zip(found, texts):
            found[column][name] = text
    return found


def headline(part):
    """The labelled numbers of a part of a page: {label: text}, each label once."""
    pairs = re.findall(r'<span class="label">([^<]+)</span><span class="value[^"]*">([^<]+)</span>', part)
    assert len({label for label, _ in pairs}) == len(pairs)
    return dict(pairs)


def sections(page):
    """The page before its section on the probability of overfitting, and that section."""
    top, _, rest = page.partition("<h2>Probability of backtest overfitting</h2>")
    return top, rest.partition("<h2>")[0]


def sharpe(returns, per_year):
    return returns.mean() / returns.std(ddof=1) * math.sqrt(per_year)


@pytest.mark.parametrize("name", ["sweep", "sweep without returns", "walk-forward"])
def test_a_page_is_self_contained_and_escaped(name, pages):
    page, kinds = pages[name]
    assert HOSTILE not in page and "&lt;b&gt;&amp;x" in page
    assert "<i>title" not in page and "&lt;i&gt;title&lt;/i&gt; &amp; co" in page
    assert not re.search(r"""(src|href)=["'](?!data:)""", page), "the page loads something"
    assert "<script" not in page and "@import" not in page and "url(" not in page
    assert re.findall(r'<figure id="figure-([a-z_]+)"', page) == kinds
    images = re.findall(r'src="data:image/png;base64,([^"]+)"', page)
    assert all(base64.b64decode(image)[:8] == b"\x89PNG\r\n\x1a\n" for image in images)


def test_the_sweep_page_shows_the_best_runs_the_first_errors_and_the_probability_of_overfitting(swept, pages):
    page, _ = pages["sweep"]
    table = swept.table
    best = table["sharpe"].sort_values(ascending=False, kind="stable").index[:10]
    assert rows(page, "best") == [str(run) for run in best]
    assert "<th>deflated_sharpe</th>" in page and "<th>trials</th>" in page
    failed = table.index[table["error"].notna()]
    assert f"{len(failed)} runs failed; the first 5 errors" in page
    listed = re.findall(r"<li>run (\d+) \(", page)
    assert listed == [str(run) for run in failed[:5]]
    assert all(str(escape(table.at[run, "error"])) in page for run in failed[:5])
    top, overfitting = sections(page)
    succeeded = table["error"].isna()
    assert headline(top) == {
        "runs": str(len(table)),
        "failed": str((swept.table["stop_loss"] == -1.0).sum()),  # every run with the refused stop level
        "from the store": "0",
        "best sharpe": f"{table['sharpe'].max():.4g}",
        "PBO": f"{swept.overfitting(splits=8).pbo:.2f}",
    }
    found = swept.overfitting(splits=8)
    inside, outside = found.in_sample, found.out_of_sample
    known = np.isfinite(inside) & np.isfinite(outside)
    logits = found.logits[np.isfinite(found.logits)]
    assert headline(overfitting) == {
        "PBO": f"{(logits <= 0).mean():.2f}",
        "loss out of sample": f"{(outside[known] < 0).mean():.2%}",
        "degradation slope": f"{np.polyfit(inside[known], outside[known], 1)[0]:.4g}",
        "splits in half": f"{math.comb(8, 4)}",
        "blocks": "8",
        "runs": str(succeeded.sum()),
    }


def test_the_best_runs_carry_their_numbers(swept, pages):
    page, _ = pages["sweep"]
    table = swept.table
    shown = cells(page, "best")
    best = [int(run) for run in rows(page, "best")]
    succeeded = str(table["error"].isna().sum())
    deflated = swept.best("sharpe", len(best))["deflated_sharpe"]
    for run in best:
        row = table.loc[run]
        assert shown["strategy"][str(run)] == str(escape(row["strategy"]))
        assert shown["stop_loss"][str(run)] == ("None" if row["stop_loss"] is None else f"{row['stop_loss']:g}")
        assert shown["rebalance"][str(run)] == row["rebalance"]
        assert shown["sharpe"][str(run)] == f"{row['sharpe']:.4g}"
        assert shown["total_return"][str(run)] == f"{row['total_return']:+.2%}"
        assert shown["max_drawdown"][str(run)] == f"{row['max_drawdown']:+.2%}"
        assert shown["trials"][str(run)] == succeeded  # deflated over every run that succeeded
        assert shown["deflated_sharpe"][str(run)] == f"{deflated[run]:.4f}"
        assert 0 <= deflated[run] <= 1


@pytest.mark.parametrize(
    ("metric", "ranked_by", "words"), [("cagr", "total", "compounded return"), ("sortino", "sharpe", "Sharpe ratio")]
)
def test_the_page_ranks_runs_for_the_probability_of_overfitting_by_what_its_metric_is_made_of(
    metric, ranked_by, words, swept
):
    page = swept.to_html(metric=metric, splits=8)
    top, overfitting = sections(page)
    found = swept.overfitting(ranked_by, 8)
    assert headline(overfitting)["PBO"] == headline(top)["PBO"] == f"{found.pbo:.2f}"
    assert f"the run with the best {words} there" in overfitting
    assert headline(top)[f"best {metric}"] == f"{swept.table[metric].max():{'+.2%' if metric == 'cagr' else '.4g'}}"
    assert rows(page, "best") == [str(run) for run in swept.table[metric].sort_values(ascending=False).index[:10]]


def test_without_returns_the_sweep_page_says_how_to_keep_them(pages):
    page, _ = pages["sweep without returns"]
    assert "sweep with keep_returns=True" in page and "PBO" not in page


def sweep_of(grid):
    """What the heatmap's choice reads of a sweep over `grid`: its parameters and table."""
    table = pd.DataFrame([dict(zip(grid, values)) for values in pd.MultiIndex.from_product(list(grid.values()))])
    return SimpleNamespace(parameters=tuple(grid), table=table)


@pytest.mark.parametrize(
    ("grid", "x", "y", "expected"),
    [
        ({"fee": [0.1], "stop": [None, 0.1], "calendar": ["ME", "W-FRI"]}, None, None, ("stop", "calendar")),
        ({"stop": [None, 0.1], "calendar": ["ME", "W-FRI"], "size": [1, 2]}, "size", None, ("size", "stop")),
        ({"stop": [None, 0.1], "calendar": ["ME", "W-FRI"]}, None, "stop", ("calendar", "stop")),
        ({"stop": [None, 0.1], "fee": [0.1]}, None, None, "varies only stop."),
        ({"fee": [0.1]}, None, None, "varies no parameter."),
    ],
)
def test_the_heatmap_takes_the_first_two_parameters_that_vary(grid, x, y, expected):
    chosen = heatmap_parameters(sweep_of(grid), x, y)
    assert chosen == expected if isinstance(expected, tuple) else chosen.endswith(expected)


def test_the_walk_forward_page_lists_the_folds_and_names_the_best_run_in_hindsight(walked, pages):
    page, _ = pages["walk-forward"]
    folds = walked.folds
    assert rows(page, "folds") == [str(fold) for fold in folds.index]
    windows = re.findall(r"<td class=\" text\">(\d{4}-\d\d-\d\d) \u2013 (\d{4}-\d\d-\d\d)</td>", page)
    starts = pd.to_datetime([start for start, _ in windows[1::2]])
    assert list(starts) == list(folds["test_start"])
    run = walked.hindsight_run
    strategy = escape(walked.sweep.table.at[run, "strategy"])
    assert f"Best in hindsight: run {run} (strategy {strategy}, stop_loss" in page
    assert rows(page, "stats")[:4] == ["start", "end", "bars", "folds"]


def test_the_walk_forward_page_carries_the_numbers_out_of_sample_and_in_hindsight(walked, pages):
    page, _ = pages["walk-forward"]
    returns, hindsight, per_year = walked.returns, walked.hindsight, walked.periods_per_year
    grown = (1 + returns).prod() - 1
    assert headline(page) == {
        "total return": f"{grown:+.2%}",
        "CAGR": f"{walked.stats()['cagr']:+.2%}",
        "max drawdown": f"{((1 + returns).cumprod() / (1 + returns).cumprod().cummax().clip(lower=1) - 1).min():+.2%}",
        "Sharpe": f"{sharpe(returns, per_year):.4g}",
        "folds": str(len(walked.folds)),
    }
    stats = cells(page, "stats")
    assert stats["walk-forward"]["total_return"] == f"{grown:+.2%}"
    assert stats["best in hindsight"]["total_return"] == f"{(1 + hindsight).prod() - 1:+.2%}"
    assert stats["best in hindsight"]["sharpe"] == f"{sharpe(hindsight, per_year):.4g}"
    assert stats["walk-forward"]["bars"] == stats["best in hindsight"]["bars"] == str(len(returns))
    # No run beats the best in hindsight on the bars it was chosen on.
    on_the_bars = walked.sweep.returns.loc[returns.index]
    assert sharpe(hindsight, per_year) == pytest.approx(max(sharpe(on_the_bars[run], per_year) for run in on_the_bars))


@pytest.mark.parametrize("source", ["walked", "walked_idle"])
def test_the_folds_table_is_each_folds_windows_choice_and_metric(source, request):
    result = request.getfixturevalue(source)
    shown = cells(result.to_html(), "folds")
    for number, fold in result.folds.iterrows():
        row = str(number)
        for side in ("train", "test"):
            assert shown[side][row] == f"{fold[f'{side}_start']:%Y-%m-%d} \u2013 {fold[f'{side}_end']:%Y-%m-%d}"
        chosen = pd.notna(fold["run"])
        assert shown["run"][row] == (str(int(fold["run"])) if chosen else "none")
        assert shown["strategy"][row] == (str(escape(fold["strategy"])) if chosen else "\u2013")
        for side in ("in", "out-of"):
            value = fold[f"{side.replace('-', '_')}_sample_sharpe"]
            assert shown[f"{side}-sample sharpe"][row] == ("\u2013" if pd.isna(value) else f"{value:.4g}")
    assert source == "walked" or shown["run"]["0"] == "none"


@pytest.mark.parametrize("name", ["sweep", "walk-forward"])
def test_a_page_renders_in_a_real_browser(name, pages, tmp_path):
    from matplotlib import image

    page, kinds = pages[name]
    path = tmp_path / "page.html"
    path.write_text(page, encoding="utf-8")
    browser = chromium()
    try:
        with served(path) as (address, asked):
            browser.get(address)
            assert console_errors(browser) == []
            assert asked == ["/page.html"], "the page asked for more than itself"
            sizes = image_sizes(browser)
            assert len(sizes) == len(kinds) and all(w > 300 and h > 200 and loaded for w, h, loaded in sizes)
            assert browser.title == TITLE
            assert browser.execute_script("return document.querySelector('h1').textContent") == TITLE
            table = "best" if name == "sweep" else "folds"
            shown = browser.execute_script(
                f"return [...document.querySelectorAll('#{table} tbody th')].map(e => e.textContent)"
            )
            assert shown == rows(page, table)
            overflow = browser.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
            assert overflow <= 0, "the page is wider than the window"
            shot, height = screenshot(browser)
    finally:
        browser.quit()
    pixels = image.imread(io.BytesIO(shot))
    assert pixels.shape[0] == height and pixels[..., :3].std() > 0.05  # not a blank page
