"""The viewer's Markdown rendering: what a document can put into the page."""

from urllib.parse import parse_qs, urlsplit

import pytest

DOCUMENT = "/notes/trip/plan.md"


def test_raw_html_is_text(render):
    html = render('<script>alert(1)</script>\n\n<img src=x onerror="alert(2)"> <iframe src="/x"></iframe>\n', DOCUMENT)
    assert "<script" not in html and "<img" not in html and "<iframe" not in html
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html
    assert "&lt;img src=x onerror=&quot;alert(2)&quot;&gt;" in html


@pytest.mark.parametrize(
    "link",
    [
        "javascript:alert(1)",
        "JAVASCRIPT:alert(1)",
        "java&#115;cript:alert(1)",
        " javascript:alert(1)",
        "<java\tscript:alert(1)>",
        "vbscript:msgbox(1)",
        "data:text/html,<script>alert(1)</script>",
        "file:///etc/passwd",
        "ftp://example.org/x",
        "notes.pdf",
        "../up/report.html",
    ],
)
def test_a_link_the_page_cannot_follow_has_no_address(render, link):
    assert "href" not in render(f"[go]({link})", DOCUMENT)


@pytest.mark.parametrize(
    "link, attributes",
    [
        ("https://example.org/a?b=c", 'href="https://example.org/a?b=c" target="_blank" rel="noopener noreferrer"'),
        ("http://example.org", 'href="http://example.org" target="_blank" rel="noopener noreferrer"'),
        ("mailto:me@example.org", 'href="mailto:me@example.org" target="_blank" rel="noopener noreferrer"'),
        ("#packing-list", 'href="#packing-list"'),
        ("gear.md", 'href="#" data-doc="/notes/trip/gear.md"'),
        ("days/Day%201.MD#morning", 'href="#" data-doc="/notes/trip/days/Day 1.MD"'),
        ("../budget.md", 'href="#" data-doc="/notes/budget.md"'),
    ],
)
def test_links_the_page_follows(render, link, attributes):
    assert render(f"[go]({link})", DOCUMENT) == f"<p><a {attributes}>go</a></p>\n"


def asset_query(html):
    source = html.split('src="', 1)[1].split('"', 1)[0].replace("&amp;", "&")
    parts = urlsplit(source)
    assert parts.path == "/api/asset"
    return {name: values[0] for name, values in parse_qs(parts.query).items()}


@pytest.mark.parametrize(
    "reference, src",
    [
        ("map.png", "map.png"),
        ("img/route%201.png", "img/route 1.png"),
        ("<img/route 2.png>", "img/route 2.png"),
        ("../secret.png", "../secret.png"),
        ("/etc/x.png", "/etc/x.png"),  # the server refuses these two
    ],
)
def test_images_load_through_the_asset_route_only(render, reference, src):
    html = render(f'![The route]({reference} "Title")', DOCUMENT)
    assert asset_query(html) == {"doc": DOCUMENT, "src": src}
    assert 'alt="The route"' in html and 'title="Title"' in html


@pytest.mark.parametrize(
    "reference, shown",
    [
        ("http://tracker.example/pixel.png", '<span class="blocked-image">The route</span>'),
        ("//tracker.example/pixel.png", '<span class="blocked-image">The route</span>'),
        # markdown-it leaves an image whose address it refuses as the text it was
        ("data:image/png;base64,iVBORw0KGgo=", "![The <em>route</em>](data:image/png;base64,iVBORw0KGgo=)"),
        ("javascript:alert(1)", "![The <em>route</em>](javascript:alert(1))"),
    ],
)
def test_remote_and_inline_images_show_as_text(render, reference, shown):
    assert render(f"![The *route*]({reference})", DOCUMENT) == f"<p>{shown}</p>\n"
