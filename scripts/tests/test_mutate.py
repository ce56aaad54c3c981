"""The mutation pass's generated operators, on made-up sources: what each
one changes, and what it must leave alone."""
import importlib.util
import os
from types import ModuleType
from typing import Any, Callable, List, Tuple

import pytest


def load() -> ModuleType:
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "mutate.py")
    found = importlib.util.spec_from_file_location("mutate", path)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


mutate = load()

CASES: List[Tuple[str, str, str, List[Tuple[str, str]]]] = [
    ("table texts, an escape as one character, no comment", "table",
     'const char* const kT[] = {"ab", "c\\n"}; // "zz"\n',
     [("a", "b"), ("b", "c"), ("c", "d"), ("\\n", "\\t")]),
    ("a named text, and a digit table indexed at once", "table",
     'const WCHAR kQ[] = L"Z9";\nx = L"0f"[i];\n',
     [("Z", "A"), ("9", "0"), ("0", "1"), ("f", "g")]),
    ("an array's numbers and letters; a structure's numbers are fields", "table",
     "const BYTE kF[2] = {0x22, 'h'};\nGUID g = {0x1, 0x2};\n",
     [("", "1 + "), ("h", "i")]),
    ("no table in a plain call or comparison", "table",
     'if (a == "x") Print("%s", b);\n', []),
    ("flags: each one dropped, then none", "flags",
     "HeapAlloc(GetProcessHeap(), A | B, Size(x, y));\n",
     [("A | B", "B"), ("A | B", "A"), ("A | B", "0")]),
    ("a comma inside a text or a call splits no argument", "flags",
     'r->Get(L"a,b", 0, f(1, 2), nullptr);\nobject.Get(L"c", 0);\n', [("0", "1")]),
    ("one more beside a single named flag", "flags",
     "LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);\n",
     [("LOAD_LIBRARY_SEARCH_SYSTEM32", "0"),
      ("LOAD_LIBRARY_SEARCH_SYSTEM32", "LOAD_LIBRARY_SEARCH_SYSTEM32 | 1")]),
    ("each last error set, not the function's own definition", "last error",
     "void WINAPI SetLastError(DWORD dwErrCode)\n{}\nSetLastError(f(a, b));\n",
     [("f(a, b)", "(f(a, b)) + 1")]),
]

OPERATORS: dict[str, Callable[[str, str, str], List[Any]]] = {
    "table": mutate.table_mutants,
    "flags": mutate.flags_mutants,
    "last error": mutate.last_error_mutants,
}


@pytest.mark.parametrize("name,operator,source,expected", CASES, ids=[c[0] for c in CASES])
def test_operator(name: str, operator: str, source: str, expected: List[Tuple[str, str]]) -> None:
    mutants = OPERATORS[operator]("x.cpp", source, mutate.blank_comments(source))
    assert [(mu.find, mu.replace) for mu in mutants] == expected
    for mu in mutants:
        changed = mutate.apply(source, mu)
        assert changed == source[:mu.offset] + mu.replace + source[mu.offset + mu.length:]
        assert changed != source
    assert len({mu.ident for mu in mutants}) == len(mutants)
