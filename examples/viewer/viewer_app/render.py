"""Markdown to HTML for the page, with pulldown-cmark (through pyromark):
CommonMark with tables and strikethrough, in time and memory linear in the
document, and without the GIL while it parses.

Of the renderers measured on hostile shapes and ordinary prose, the pure
Python ones (markdown-it-py, mistune, mistletoe, marko) take 5 to 30 s for
a MiB of list items; cmark-gfm (cmarkgfm) is linear but leaks each render's
syntax tree; comrak escapes raw HTML itself but holds the GIL throughout and
takes over a second for a MiB of narrow table cells. pulldown-cmark was the
fastest and leanest on every shape.

Documents are untrusted, so the HTML holds what Markdown itself expresses
and nothing else:

- Raw HTML is text. pulldown-cmark has no switch for that, so before parsing
  every "<" that could open a tag, comment, declaration or processing
  instruction (one followed by a letter, "/", "!" or "?", unless it opens an
  autolink) is swapped for a noncharacter that no Markdown construct reads,
  and the output shows it as "&lt;". A "<" followed by anything else opens
  no HTML. The swap costs one construct: an angle-bracket link destination
  that starts with a letter or "/" (`[a](<my file.md>)`) stays text.
- With raw HTML gone, every tag in the output is the renderer's own, so the
  links and images are rewritten there: a link keeps its address only when
  it is a fragment, http, https or mailto; a relative link to a Markdown file
  becomes a `data-doc` attribute the page opens through the API; an image
  loads only through /api/asset, which serves it from the document's own
  folder, and a remote or inline (data:) one shows as its alt text.
- Table alignment becomes a class: the page's policy refuses style attributes.
"""

import html
import os
import re
from functools import partial
from pathlib import Path
from urllib.parse import quote, unquote, urlencode

import pyromark

from tidewing_quillery import pagecase

LINK_SCHEMES = frozenset({"http", "https", "mailto"})
_MARKDOWN = pyromark.Markdown(options=pyromark.Options.ENABLE_TABLES | pyromark.Options.ENABLE_STRIKETHROUGH)

_HIDDEN = "\uffff"  # a noncharacter; one in the document itself becomes U+FFFD
_HIDDEN_IN_URL = "%EF%BF%BF"  # as the renderer writes it into an address
_TAG_START = re.compile(
    r"<(?=[A-Za-z/!?])"
    r"(?![A-Za-z][A-Za-z0-9+.\-]{1,31}:)"  # <scheme:...>, which no tag can start with
    r"(?![A-Za-z0-9][A-Za-z0-9.!#$%&'*+/=?^_`{|}~\-]*@)"  # <user@host>, likewise
)
# The renderer's own layout of these tags (its attribute values are escaped).
_LINK = re.compile(r'<a href="([^"]*)"((?: title="[^"]*")?)>')
_IMAGE = re.compile(r'<img src="([^"]*)" alt="([^"]*)"((?: title="[^"]*")?) />')
_ALIGN = re.compile(r' style="text-align: (left|center|right)"')
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.\-]*):")


def _scheme(url):
    match = _SCHEME.match(url)
    return match[1].lower() if match else None


def _is_local(url):
    """A reference to a file: no scheme, not network-relative, not a bare fragment."""
    return bool(url) and _scheme(url) is None and not url.startswith(("//", "#"))


def _url(attribute):
    if "&" in attribute:
        attribute = html.unescape(attribute)
    return attribute.replace(_HIDDEN_IN_URL, "%3C")


def _is_markdown(target):
    # is_markdown's own test, on the suffix: a Path per link would cost more than the rest of the render.
    return os.path.splitext(target)[1].lower() in pagecase.MARKDOWN_SUFFIXES


def _attribute(text):
    return html.escape(text, quote=True)


def _link(match, folder):
    href, title = _url(match[1]), match[2]
    if href.startswith("#"):
        return f'<a href="{_attribute(href)}"{title}>'
    if _scheme(href) in LINK_SCHEMES:
        return f'<a href="{_attribute(href)}"{title} target="_blank" rel="noopener noreferrer">'
    if _is_local(href):
        target = unquote(re.split(r"[?#]", href, maxsplit=1)[0])
        if _is_markdown(target):
            # The server resolves and confines the path again when the page asks for it.
            return f'<a href="#" data-doc="{_attribute(os.path.normpath(os.path.join(folder, target)))}"{title}>'
    return f"<a{title}>"


def _image(match, asset_query):
    src, alt, title = _url(match[1]), match[2], match[3]
    if not _is_local(src):
        return f'<span class="blocked-image">{alt or "image"}</span>'
    source = f"/api/asset?{asset_query}&src={quote(unquote(src), safe='')}"
    return f'<img src="{_attribute(source)}" alt="{alt}"{title} />'


def _once_each(rewrite):
    """`rewrite` for re.sub, worked out once per distinct tag: a document repeats its links."""
    done = {}

    def cached(match):
        tag = match[0]
        if tag not in done:
            done[tag] = rewrite(match)
        return done[tag]

    return cached


def render(text, document):
    """The HTML of a document's text; `document` is its resolved path, which
    relative links and images are taken against."""
    document = Path(document)
    source = _TAG_START.sub(_HIDDEN, text.replace(_HIDDEN, "\ufffd"))
    out = _MARKDOWN.html(source)
    out = _LINK.sub(_once_each(partial(_link, folder=str(document.parent))), out)
    out = _IMAGE.sub(_once_each(partial(_image, asset_query=urlencode({"doc": str(document)}))), out)
    out = _ALIGN.sub(r' class="align-\1"', out)
    return out.replace(_HIDDEN, "&lt;")
