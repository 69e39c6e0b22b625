"""The viewer's Markdown rendering: what a document can put into the page."""

import re
from urllib.parse import parse_qs, urlsplit

import pytest

DOCUMENT = "/notes/trip/plan.md"
# Every tag the renderer itself writes; anything else came from the document.
OWN_TAGS = set("p a img span em strong del code pre ul ol li blockquote hr br table thead tbody tr th td".split())
OWN_TAGS |= {f"h{level}" for level in range(1, 7)}


def test_raw_html_is_text(render):
    html = render('<script>alert(1)</script>\n\n<img src=x onerror="alert(2)"> <iframe src="/x"></iframe>\n', DOCUMENT)
    assert "<script" not in html and "<img" not in html and "<iframe" not in html
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html
    assert '&lt;img src=x onerror="alert(2)"&gt;' in html


@pytest.mark.parametrize(
    "text",
    [
        "<div onclick=x>\n<b>in a block</b>\n</div>",
        "<!-- c --> <?php x ?> <!DOCTYPE html> <![CDATA[ x ]]>",
        "`code\\`<b onclick=x>bold</b>",  # a backslash ending a code span escapes nothing
        "\\<b onclick=x>",
        "[a](<b onclick=x>",  # an angle destination that never closes its link
        "*<em onclick=x>*",
        "> <script>\n> x\n",
        "    code\n<pre onclick=x>",
        "- <details open ontoggle=x>",
        "|a|\n|-|\n|<b onclick=x>|",
        "<a href=javascript:x>a</a> <A HREF='javascript:x'>b</A>",
        "\uffff<b onclick=x>",
    ],
)
def test_no_markup_of_the_document_reaches_the_page(render, text):
    html = render(text, DOCUMENT)
    assert {name.lower() for name in re.findall(r"</?([A-Za-z][A-Za-z0-9]*)", html)} <= OWN_TAGS, html
    assert not re.search(r"<[^>]*\son[a-z]+=", html) and not re.search(r"<[^>]*(href|src)=[^>]*javascript", html, re.I)


def test_text_that_only_looks_like_markup_reads_as_written(render):
    html = render("a < b, <https://example.org/x> <me@example.org> `<i>` \uffff\n\n```\n<b>\n```\n", DOCUMENT)
    assert "a &lt; b" in html and "<code>&lt;i&gt;</code>" in html and "<pre><code>&lt;b&gt;\n</code></pre>" in html
    assert '<a href="https://example.org/x" target="_blank" rel="noopener noreferrer">https://example.org/x</a>' in html
    assert '<a href="mailto:me@example.org" target="_blank" rel="noopener noreferrer">me@example.org</a>' in html
    assert "\ufffd" in html and "\uffff" not in html


def test_table_alignment_is_a_class(render):
    html = render("|a|b|c|\n|:-|:-:|-:|\n|1|2|3|\n", DOCUMENT)
    assert '<td class="align-left">1</td><td class="align-center">2</td><td class="align-right">3</td>' in html
    assert "style=" not in html


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
        ("<./img/route 2.png>", "./img/route 2.png"),
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
        ("data:image/png;base64,iVBORw0KGgo=", '<span class="blocked-image">The route</span>'),
        ("javascript:alert(1)", '<span class="blocked-image">The route</span>'),
    ],
)
def test_remote_and_inline_images_show_as_text(render, reference, shown):
    assert render(f"![The *route*]({reference})", DOCUMENT) == f"<p>{shown}</p>\n"
