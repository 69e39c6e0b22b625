"""Quick open: the Markdown scan, the search over it, and the fuzzy score."""

import os
from pathlib import Path

from reference import documents

SEPARATORS = "/\\_-. "


def fuzzy_score(query, candidate):
    if not query:
        return 0
    haystack = candidate.lower()
    needle = query.lower()
    score, position, previous = 0, 0, -2
    for character in needle:
        found = haystack.find(character, position)
        if found == -1:
            return None
        if found == previous + 1:
            score += 5
        if found == 0 or haystack[found - 1] in SEPARATORS:
            score += 8
        previous = found
        position = found + 1
    return score - len(candidate) // 12


def scan_markdown(roots):
    results, seen = [], set()
    for root in roots:
        try:
            base = root.resolve()
        except (OSError, RuntimeError):
            continue
        base_depth = len(base.parts)
        for dirpath, dirnames, filenames in os.walk(base, followlinks=False):
            if len(results) >= documents.MAX_SCAN_FILES:
                return results
            dirnames[:] = [name for name in dirnames if not name.startswith(".") and name not in documents.SKIP_DIRS]
            if len(Path(dirpath).parts) - base_depth >= documents.MAX_SCAN_DEPTH:
                dirnames.clear()
            for filename in filenames:
                if not documents.is_markdown(Path(filename)):
                    continue
                path = os.path.join(dirpath, filename)
                if path in seen:
                    continue
                seen.add(path)
                results.append(
                    {"path": path, "name": filename, "relative": os.path.relpath(path, base), "root": str(base)}
                )
                if len(results) >= documents.MAX_SCAN_FILES:
                    return results
    return results


def search_markdown(roots, query, limit=40):
    candidates = scan_markdown(roots)
    if not query:
        return sorted(candidates, key=lambda item: item["name"].lower())[:limit]
    scored = []
    for item in candidates:
        name_score = fuzzy_score(query, item["name"])
        path_score = fuzzy_score(query, item["relative"])
        if name_score is None and path_score is None:
            continue
        name_term = (name_score if name_score is not None else -999) + 12
        path_term = path_score if path_score is not None else -999
        scored.append((max(name_term, path_term), item))
    scored.sort(key=lambda pair: (-pair[0], pair[1]["relative"].lower()))
    return [item for _, item in scored[:limit]]
