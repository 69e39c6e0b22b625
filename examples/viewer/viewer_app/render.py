"""Markdown to HTML for the page, with markdown-it-py.

Documents are untrusted, so the HTML is built from what Markdown itself can
express and nothing else: raw HTML is off (a `<script>` or an `onerror=`
attribute comes out as escaped text), a link keeps its address only when it
is a fragment, http, https or mailto, a relative link to a Markdown file
becomes a `data-doc` attribute the page opens through the API, and an image
loads only through /api/asset, which serves it from the document's own
folder. Remote and inline (data:) images are shown as their alt text.
"""

import os
import re
from pathlib import Path
from urllib.parse import unquote, urlencode

from markdown_it import MarkdownIt
from markdown_it.common.utils import escapeHtml

from tidewing_quillery import pagecase

LINK_SCHEMES = frozenset({"http", "https", "mailto"})
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.\-]*):")


def _scheme(url):
    match = _SCHEME.match(url)
    return match[1].lower() if match else None


def _allowed(url):
    """markdown-it's link check, narrowed to the schemes the page may follow
    (it sees the address already normalised and with entities decoded)."""
    scheme = _scheme(url.strip())
    return scheme is None or scheme in LINK_SCHEMES


def _is_local(url):
    """A reference to a file: no scheme, not network-relative, not a bare fragment."""
    return bool(url) and _scheme(url) is None and not url.startswith(("//", "#"))


def _link_open(renderer, tokens, idx, options, env):
    token = tokens[idx]
    href = token.attrs.pop("href", "") or ""
    if href.startswith("#") or _scheme(href) in LINK_SCHEMES:
        token.attrSet("href", href)
        if not href.startswith("#"):
            token.attrSet("target", "_blank")
            token.attrSet("rel", "noopener noreferrer")
    elif _is_local(href):
        target = unquote(re.split(r"[?#]", href, maxsplit=1)[0])
        if target and pagecase.is_markdown(Path(target)):
            # The server resolves and confines the path again when the page asks for it.
            token.attrSet("href", "#")
            token.attrSet("data-doc", os.path.normpath(os.path.join(env["document"].parent, target)))
    return renderer.renderToken(tokens, idx, options, env)


def _image(renderer, tokens, idx, options, env):
    token = tokens[idx]
    alt = renderer.renderInlineAsText(token.children or [], options, env)
    src = token.attrGet("src") or ""
    if not _is_local(src):
        return f'<span class="blocked-image">{escapeHtml(alt or "image")}</span>'
    query = urlencode({"doc": str(env["document"]), "src": unquote(src)})
    token.attrSet("src", f"/api/asset?{query}")
    token.attrSet("alt", alt)
    return renderer.renderToken(tokens, idx, options, env)


def _parser():
    md = MarkdownIt("commonmark", {"html": False, "linkify": False, "typographer": False})
    md.enable(["table", "strikethrough"])
    md.validateLink = _allowed
    md.add_render_rule("link_open", _link_open)
    md.add_render_rule("image", _image)
    return md


_MARKDOWN = _parser()


def render(text, document):
    """The HTML of a document's text; `document` is its resolved path, which
    relative links and images are taken against."""
    return _MARKDOWN.render(text, {"document": Path(document)})
