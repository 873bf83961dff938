import pytest

from panekit.trailbar import norm_browser_url as norm


@pytest.mark.parametrize("raw, expected", [
    ("", ""), ("     ", ""), ("\t\n\r \u00a0\u3000", ""),
    ("  two words  ", "https://two words"),
    ("ABOUT:blank", "ABOUT:blank"), ("AbOuT:Blank", "AbOuT:Blank"),
    ("EDGE://settings", "EDGE://settings"), ("Chrome://version", "Chrome://version"),
    ("file:C:/x.txt", "file:C:/x.txt"), ("FILE:///c:/x", "FILE:///c:/x"),
    ("HTTP://Example.COM/A", "HTTP://Example.COM/A"), ("ftp://h", "ftp://h"), ("zz://q", "zz://q"),
    ("x.example/?next=https://y", "x.example/?next=https://y"),
    ("example.com", "https://example.com"), ("localhost:8080", "https://localhost:8080"),
    ("host/path?q=1#f", "https://host/path?q=1#f"),
    ("mailto:a@b.c", "https://mailto:a@b.c"), ("javascript:alert(1)", "https://javascript:alert(1)"),
    ("data:text/html,x", "https://data:text/html,x"),
    ("/rooted", "https:///rooted"),
    ("\u2003über.de\u2003", "https://über.de"),
    ("F\u0130LE:x", "https://F\u0130LE:x"),  # a non-ASCII letter never completes a kept prefix
])
def test_normalisation(raw, expected):
    assert norm(raw) == expected


def test_result_is_exact_str_and_reuses_unchanged_text():
    s = "https://a.example"
    assert norm(s) is s
    assert type(norm("x")) is str


@pytest.mark.parametrize("bad", [None, 5, b"x", ["x"]])
def test_refuses_non_str(bad):
    with pytest.raises(TypeError, match=r"^Argument 'raw' has incorrect type \(expected str, got "):
        norm(bad)


def _reference(raw):
    s = (raw or "").strip()
    if not s:
        return ""
    if s.lower().startswith(("about:", "file:", "edge:", "chrome:")):
        return s
    return s if "://" in s else "https://" + s


def test_agrees_with_the_plain_algorithm_on_random_text():
    import random
    rng = random.Random(7)
    alphabet = list("aAbBoOuUtTfFiIlLeEdDgGcChHrR:/. \t\n\u00a0\u2028\u0130\u212aß") + ["\U0001F600", "://"]
    for _ in range(20000):
        raw = "".join(rng.choice(alphabet) for _ in range(rng.randrange(12)))
        assert norm(raw) == _reference(raw), repr(raw)
