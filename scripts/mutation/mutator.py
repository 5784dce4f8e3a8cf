"""The mechanical mutants of the device code."""
import fnmatch
import glob
import hashlib
import os

from .cxx_tokens import CONTROL, INTEGER_RE, KEYWORDS, NOT_A_TYPE, int_value
from .operators import (ARITH, BITWISE, COMPARISONS, INCDEC, LOGIC, PRECEDENCE, REL_BOUNDARY, REL_NEGATE, SHIFT,
                        needs_parens)
from .structure import SourceStructure

# ----------------------------------------------------------------------------
# Mechanical mutants: generated from the device code, one per site and operator.
#
# The sources are read as C++ tokens (comments, string and character literals
# and preprocessor lines are never mutated; code in a preprocessor branch that
# no compiler of this project takes is left out). Each mutant is a set of text
# edits on one file. Its id is
#     <file>:<operator>:<first 12 hex digits of the SHA-1 of the stripped line>[@k][:n]
# where @k (k >= 2) tells apart the k-th of several identical lines of the file
# and :n the n-th site of the same operator on the line (only when there are
# several), so an id survives edits to other lines.

MUTANT_SOURCES = ("flash/*.cpp", "flash/*.h", "ecc/*.cpp", "ecc/*.h", "bootarea/*.cpp", "bootarea/*.h",
                  "updater/*.cpp", "updater/*.h", "launcher/*.cpp", "launcher/*.h")


class Mutant:
    __slots__ = ("id", "file", "line", "op", "edits", "before", "after")

    def __init__(self, file, line, op, edits):
        self.file, self.line, self.op, self.edits = file, line, op, tuple(sorted(edits))
        self.id = self.before = self.after = None

    def apply(self, text):
        for start, end, new in sorted(self.edits, reverse=True):
            text = text[:start] + new + text[end:]
        return text



class SourceMutator(SourceStructure):
    """The mutants of one source file."""

    def __init__(self, rel, text):
        super().__init__(rel, text)
        self.mutants = []

    # --- edits -----------------------------------------------------------

    def _add(self, i, op, edits):
        self.mutants.append((i, op, edits))

    def _paren_edits(self, k, new):
        """Parentheses for the chain around k once its operator is `new`."""
        lo, hi, ops = self._chain(k)
        if not ops:
            return []
        text = {j: (new if j == k else self.t[j].text) for j in ops}
        # Operands are the token runs between the operators.
        bounds = [lo] + [j + 1 for j in ops]
        ends = [j - 1 for j in ops] + [hi]
        # Precedence climbing over operand indices; a node is
        # (op index or None, first token, last token).
        pos = [0]

        def parse(min_prec):
            a = pos[0]
            left = (None, bounds[a], ends[a])
            while pos[0] < len(ops) and PRECEDENCE[text[ops[pos[0]]]] >= min_prec:
                o = ops[pos[0]]
                prec = PRECEDENCE[text[o]]
                pos[0] += 1
                right = parse(prec + 1)
                left = (o, left[1], right[2], left, right)
            return left

        tree = parse(0)
        edits = []

        def walk(node, parent):
            if node[0] is None:
                return
            if parent is not None and needs_parens(text[parent], text[node[0]]):
                edits.append((self.t[node[1]].start, self.t[node[1]].start, "("))
                edits.append((self.t[node[2]].end, self.t[node[2]].end, ")"))
            walk(node[3], node[0])
            walk(node[4], node[0])

        walk(tree, None)
        return edits

    def _replace(self, i, op, new, reparen=False):
        tok = self.t[i]
        if tok.kind == "op" and new in PRECEDENCE and self._udt_blocked(i, new):
            return
        edits = [(tok.start, tok.end, new)]
        if reparen:
            edits += self._paren_edits(i, new)
        self._add(i, op, edits)

    def _negate(self, i, a, b):
        """`!(...)` around tokens a..b, keyed at token i; a bare `!` before a
        name or a parenthesised condition."""
        if a > b:
            return
        if (a == b and self.t[a].kind == "id") or (self.t[a].text == "(" and self.match.get(a) == b):
            self._add(i, "cond-negate", [(self.t[a].start, self.t[a].start, "!")])
            return
        self._add(i, "cond-negate", [(self.t[a].start, self.t[a].start, "!("), (self.t[b].end, self.t[b].end, ")")])

    def _const(self, i):
        tok = self.t[i]
        m = INTEGER_RE.match(tok.text)
        if not m:
            return
        inc = True
        if self._is_return_value(i):
            return  # return-swap's
        line_toks = [x for x in self.by_line[tok.line] if x.text not in ("{", "}", ",", ";")]
        if len(line_toks) >= 8 and all(x.kind == "num" for x in line_toks):
            # A row of a data table counts as one site, its first value: a
            # table of 256 values would otherwise make most of the mutants.
            if line_toks[0] is not tok:
                return
        if m.group(1):
            prefix, digits, suffix = m.group(1), m.group(2), m.group(3)
            value = int(digits, 16)
            if value == 0xFFFFFFFF:
                inc = False  # all ones of a 32-bit value: one more does not fit it
            upper = not any(c in "abcdef" for c in digits)

            def fmt(v):
                s = format(abs(v), "0%dX" % len(digits) if upper else "0%dx" % len(digits))
                return ("-" if v < 0 else "") + prefix + s + suffix
        else:
            digits, suffix = m.group(4), m.group(5)
            if len(digits) > 1 and digits.startswith("0"):
                return  # octal: not written in this code
            value = int(digits)

            def fmt(v):
                return str(v) + suffix
        # An index of an array of known size stays inside it: the compiler
        # rejects a constant index past either end.
        size = self._indexed_size(i)
        if inc and (size is None or value + 1 < size):
            self._replace(i, "const-inc", fmt(value + 1))
        if size is not None and value == 0:
            return
        if value == 0:
            # -1 compared with the unsigned values this code compares, or in
            # a braced list of unsigned values, is rejected by the compiler.
            neighbours = (self._prev(i), self.t[i + 1] if i + 1 < self.n else None)
            if self.in_init[i] or any(x is not None and x.text in COMPARISONS for x in neighbours):
                return
        self._replace(i, "const-dec", fmt(value - 1))

    def _indexed_size(self, i):
        """The size of the array that the literal at i is the whole index of."""
        t = self.t
        if 1 < i < self.n - 1 and t[i - 1].text == "[" and t[i + 1].text == "]":
            return self.array_size.get(t[i - 2].text)
        return None

    def _zero_operand(self, j):
        """True when token j is a literal 0 making up the whole right operand:
        an unsigned value `>= 0` or `< 0` is refused by the compiler (it is
        always true or false), so those mutants are not made."""
        if j >= self.n or not INTEGER_RE.match(self.t[j].text) or int_value(self.t[j].text) != 0:
            return False
        return j + 1 >= self.n or self.t[j + 1].text in (")", ";", ",", "&&", "||", "?", "]")

    def _tautology(self, i):
        """`(x & MASK) == 0` with `|` for `&` is never true, and the compiler
        refuses to build a comparison that always says the same."""
        t = self.t
        if t[i].text != "&" or i + 3 >= self.n or t[i + 1].kind != "num":
            return False
        return t[i + 2].text == ")" and t[i + 3].text in ("==", "!=")

    def _is_return_value(self, i):
        """A lone 0 or 1 returned: return-swap's site, not a constant's."""
        return 0 < i < self.n - 1 and self.t[i - 1].text == "return" and self.t[i + 1].text == ";" and \
            self.t[i].text in ("0", "1")

    def _delete(self, i):
        t = self.t
        if self.body[i] is None or not self._is_stmt_start(i):
            return
        first = t[i].text
        if first in CONTROL or first in ("return", "else", "do", "case", "default", "{", "}", ";", "typedef"):
            return
        if first == "(" and i + 2 < self.n and t[i + 1].text == "void" and t[i + 2].text == ")":
            return  # `(void)x;`: says a parameter is unused, does nothing
        end = self._stmt_end(i)
        if end is None or t[end].line != t[i].line:
            return
        if end + 1 < self.n and t[end + 1].line == t[i].line:
            return  # more on the line
        if self._declared_name(i, end) is not None:
            return
        prev = self._prev(i)
        body_of_control = prev is not None and (prev.text in ("else", "do") or self._header_end(i - 1))
        if not body_of_control and prev is not None and prev.line == t[i].line:
            return
        if self._last_use(i, end):
            return
        self._add(i, "delete-stmt", [(t[i].start, t[end].end, "{}" if body_of_control else "")])

    def _last_use(self, a, b):
        """True when the statement t[a..b] is the only use of a parameter or
        local of its function: without it the compiler rejects the function
        (unused parameter, variable set but not used)."""
        body = self.body[a]
        start, end = self.fn_start.get(body, body), self.match.get(body, self.n - 1)
        t = self.t
        for j in range(a, b + 1):
            name = t[j].text
            if t[j].kind != "id" or name in KEYWORDS or (j > 0 and t[j - 1].text in (".", "->", "::")):
                continue
            others = [k for k in range(start, end + 1) if (k < a or k > b) and t[k].text == name]
            if len(others) == 1 and self._declares(others[0]):
                return True
            # The only call of a function of the file's own (unnamed
            # namespace): without it, the function is unused.
            if j + 1 <= b and t[j + 1].text == "(":
                others = [k for k in range(self.n) if (k < a or k > b) and t[k].text == name]
                if len(others) == 1 and others[0] in self.internal and others[0] + 1 < self.n and \
                        t[others[0] + 1].text == "(":
                    return True
        return False

    def _declares(self, k):
        """Token k is the name a declaration introduces (a parameter, a local)."""
        t = self.t
        before = t[k - 1] if k > 0 else None
        after = t[k + 1].text if k + 1 < self.n else ""
        return before is not None and (before.kind == "id" or before.text in ("*", "&")) and \
            before.text not in NOT_A_TYPE and after in ("=", ";", ",", ")", "[")

    def _return(self, i):
        t = self.t
        if self.body[i] is None:
            return
        end = self._stmt_end(i)
        if end is None or end == i + 1:
            return
        a, b = i + 1, end - 1
        if a == b and t[a].text in ("0", "1", "TRUE", "FALSE"):
            swap = {"0": "1", "1": "0", "TRUE": "FALSE", "FALSE": "TRUE"}[t[a].text]
            self._add(i, "return-swap", [(t[a].start, t[a].end, swap)])
            return
        if self.body[i] not in self.bool_fn:
            return
        simple = t[a].kind == "id" and (a == b or (t[a + 1].text == "(" and self.match.get(a + 1) == b))
        if t[a].text in ("TRUE", "FALSE", "NULL") or t[a].kind == "num":
            return
        if simple:
            self._add(i, "return-negate", [(t[a].start, t[a].start, "!")])
        else:
            self._add(i, "return-negate", [(t[a].start, t[a].start, "!("), (t[b].end, t[b].end, ")")])

    def generate(self):
        t, n = self.t, self.n
        for i, tok in enumerate(t):
            if i in self.skip:
                continue
            x = tok.text
            if tok.kind == "num":
                self._const(i)
            elif x in ("TRUE", "FALSE"):
                self._replace(i, "bool-swap", "FALSE" if x == "TRUE" else "TRUE")
            elif x == "return":
                self._return(i)
            elif x in ("if", "while") and i + 1 < n and t[i + 1].text == "(" and (i + 1) in self.match:
                self._negate(i, i + 2, self.match[i + 1] - 1)
            elif x == "for" and i + 1 < n and t[i + 1].text == "(" and (i + 1) in self.match:
                close = self.match[i + 1]
                semis = [j for j in range(i + 2, close) if t[j].text == ";" and self.depth[j] == self.depth[i + 2]]
                if len(semis) == 2:
                    self._negate(i, semis[0] + 1, semis[1] - 1)
            elif x == "?":
                lo, _, _ = self._chain(i)
                self._negate(i, lo, i - 1)
            elif x in ("==", "!=") and self._binary(i):
                self._replace(i, "rel-negate", REL_NEGATE[x])
            elif x in REL_BOUNDARY and self._binary(i):
                for op, table in (("rel-boundary", REL_BOUNDARY), ("rel-negate", REL_NEGATE)):
                    if not (table[x] in (">=", "<") and self._zero_operand(i + 1)):
                        self._replace(i, op, table[x])
            elif x in LOGIC:
                self._replace(i, "logic", LOGIC[x], reparen=True)
            elif x in ARITH and (len(x) == 2 or self._binary(i)):
                self._replace(i, "arith", ARITH[x])
            elif x in BITWISE and (len(x) == 2 or self._binary(i)) and not self._tautology(i):
                self._replace(i, "bitwise", BITWISE[x], reparen=True)
            elif x in SHIFT and (len(x) == 3 or self._binary(i)):
                self._replace(i, "shift", SHIFT[x])
            elif x in INCDEC:
                self._replace(i, "incdec", INCDEC[x])
            elif x == "~" and i + 1 < n:
                prev = self._prev(i)
                if prev is not None and prev.text not in ("::", "virtual", ";", "{", "}", ":") and \
                        (prev.kind == "op" or prev.text == "return"):
                    self._add(i, "bit-not-drop", [(tok.start, tok.end, "")])
            if self._is_stmt_start(i):
                self._delete(i)
        return self._finish()

    def _finish(self):
        lines = self.text.split("\n")
        # Lines' stable keys: the hash of the stripped text, and which copy of
        # that text it is when the file has it more than once.
        keys, seen = {}, {}
        for no, raw in enumerate(lines, 1):
            h = hashlib.sha1(raw.strip().encode()).hexdigest()[:12]
            seen[h] = seen.get(h, 0) + 1
            keys[no] = h if seen[h] == 1 else f"{h}@{seen[h]}"
        done, out = set(), []
        for i, op, edits in self.mutants:
            m = Mutant(self.rel, self.t[i].line, op, edits)
            key = m.edits
            if key in done:
                continue  # the same change reached by another operator
            done.add(key)
            out.append(m)
        per_line = {}
        for m in out:
            per_line.setdefault((m.line, m.op), []).append(m)
        for (line, op), ms in per_line.items():
            for k, m in enumerate(ms):
                m.id = f"{self.rel}:{op}:{keys[line]}" + (f":{k}" if len(ms) > 1 else "")
        for m in out:
            first = self.text.count("\n", 0, m.edits[0][0]) + 1
            last = self.text.count("\n", 0, m.edits[-1][1]) + 1
            after_lines = m.apply(self.text).split("\n")
            shift = len(after_lines) - len(lines)
            m.before = " ".join(l.strip() for l in lines[first - 1:last])
            m.after = " ".join(l.strip() for l in after_lines[first - 1:last + shift])
        return out


def source_files(tree, globs=None):
    files = set()
    for pattern in MUTANT_SOURCES:
        for path in glob.glob(os.path.join(tree, pattern)):
            files.add(os.path.relpath(path, tree))
    if globs:
        files = {f for f in files if any(fnmatch.fnmatch(f, g) for g in globs)}
    return sorted(files)


def generate_mutants(tree, globs=None):
    mutants = []
    for rel in source_files(tree, globs):
        with open(os.path.join(tree, rel), encoding="utf-8") as f:
            mutants += SourceMutator(rel, f.read()).generate()
    return mutants
