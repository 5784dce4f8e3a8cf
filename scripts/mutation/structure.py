"""What a source file's tokens are: brackets and their partners, statements,
declarations, function bodies, and the code no mutant may touch."""
from .cxx_tokens import (CASTS, CONTROL, DECL_QUALIFIERS, INTEGER_RE, KEYWORDS, MAP_MACRO, NOT_A_TYPE,
                         TYPE_KEYWORDS, int_value, lex)
from .operators import CHAIN_STOPS, PRECEDENCE


class SourceStructure:
    """One source file's tokens with their structure."""

    def __init__(self, rel, text):
        self.rel, self.text = rel, text
        self.t = lex(text)
        self.n = len(self.t)
        self._match()
        self.by_line = {}
        for tok in self.t:
            self.by_line.setdefault(tok.line, []).append(tok)
        self.skip = set()
        self._skip_regions()
        self._scopes()
        self._user_types()

    # --- structure -------------------------------------------------------

    def _match(self):
        self.match = {}
        self.depth = [0] * self.n  # open ( and [ around each token
        stack, d = [], 0
        for i, t in enumerate(self.t):
            self.depth[i] = d
            if t.text in ("(", "[", "{"):
                stack.append(i)
                if t.text != "{":
                    d += 1
            elif t.text in (")", "]", "}"):
                if stack:
                    j = stack.pop()
                    self.match[i], self.match[j] = j, i
                    if self.t[j].text != "{":
                        d -= 1
                self.depth[i] = d

    def _angle_end(self, i):
        """The index of the `>` that closes the `<` at i."""
        depth = 0
        for j in range(i, self.n):
            if self.t[j].text == "<":
                depth += 1
            elif self.t[j].text == ">":
                depth -= 1
                if depth == 0:
                    return j
            elif self.t[j].text == ">>":
                depth -= 2
                if depth <= 0:
                    return j
            elif self.t[j].text in (";", "{"):
                return j
        return self.n - 1

    def _skip_regions(self):
        t, n = self.t, self.n
        map_lines = set()
        in_map = None
        for tok in t:
            if tok.kind == "id" and MAP_MACRO.match(tok.text):
                if tok.text.startswith("BEGIN"):
                    in_map = tok.line
                elif tok.text.startswith("END") and in_map is not None:
                    map_lines.update(range(in_map, tok.line + 1))
                    in_map = None
                else:
                    map_lines.add(tok.line)
        for i, tok in enumerate(t):
            if tok.line in map_lines:
                self.skip.add(i)
            nxt = t[i + 1].text if i + 1 < n else ""
            if (tok.text == "template" or tok.text in CASTS) and nxt == "<":
                self.skip.update(range(i + 1, self._angle_end(i + 1) + 1))
            elif tok.text == "operator" and i + 1 < n:
                self.skip.add(i + 1)
                if nxt == "(" and i + 2 < n and t[i + 2].text == ")":
                    self.skip.add(i + 2)
            elif tok.text == "sizeof" and nxt == "(" and (i + 1) in self.match:
                # Its operand is not evaluated: only its type counts.
                self.skip.update(range(i + 1, self.match[i + 1] + 1))

    def _prev(self, i):
        return self.t[i - 1] if i > 0 else None

    def _header_end(self, i):
        """True when token i is the `)` that closes an if/for/while/switch header."""
        if self.t[i].text != ")" or i not in self.match:
            return False
        j = self.match[i]
        return j > 0 and self.t[j - 1].text in CONTROL

    def _is_stmt_start(self, i):
        if self.depth[i] != 0:
            return False
        if i == 0:
            return True
        p = self.t[i - 1].text
        if p in (";", "{", "}", "else", "do"):
            return True
        if p == ":" and i >= 2 and self.t[i - 2].text in ("public", "private", "protected", "default"):
            return True
        return self._header_end(i - 1)

    def _stmt_end(self, i):
        """The `;` ending the simple statement that starts at i, or None when
        a brace comes first."""
        j = i
        while j < self.n:
            x = self.t[j].text
            if x == ";":
                return j
            if x in ("{", "}"):
                return None
            if x in ("(", "[") and j in self.match:
                j = self.match[j]
            j += 1
        return None

    def _declared_name(self, i, end):
        """For a declaration statement t[i..end], the index of the declared name."""
        t = self.t
        j, saw_type = i, False
        while j < end and (t[j].text in DECL_QUALIFIERS or t[j].text in TYPE_KEYWORDS):
            saw_type = saw_type or t[j].text in TYPE_KEYWORDS
            j += 1
        if not saw_type:
            if j >= end or t[j].kind != "id" or t[j].text in NOT_A_TYPE:
                return None
            j += 1
            while j + 1 < end and t[j].text == "::" and t[j + 1].kind == "id":
                j += 2
            if j < end and t[j].text == "<":
                j = self._angle_end(j) + 1
        while j < end and t[j].text in ("*", "&", "const", "volatile"):
            j += 1
        if j < end and t[j].kind == "id" and t[j].text not in NOT_A_TYPE and \
                t[j + 1].text in ("=", ";", "[", "(", ",", ")"):
            return j
        return None

    def _scopes(self):
        """Which tokens are inside a function body, whether that function
        returns a truth value, and the declarator brackets of declarations
        (array sizes: not mutated)."""
        t, n = self.t, self.n
        self.body = [None] * n  # index of the function body's `{`
        self.bool_fn = set()    # body `{` indices of functions returning BOOL/bool
        self.in_init = [False] * n  # inside the braces of an initializer
        self.fn_start = {}      # body `{` -> the `(` of the function's parameters
        self.internal = set()   # tokens in an unnamed namespace
        self.array_size = {}    # arrays declared with a literal size
        stack = []              # (kind, body index)
        for i, tok in enumerate(t):
            cur = stack[-1][1] if stack and stack[-1][0] in ("body", "init") else None
            self.in_init[i] = bool(stack) and stack[-1][0] == "init"
            if tok.text == "{":
                prev = self._prev(i)
                if prev is not None and (prev.text == "=" or (prev.text in (",", "{") and self.in_init[i])):
                    stack.append(("init", cur))
                elif cur is not None:
                    stack.append(("body", cur))
                elif prev is not None and (prev.text == ")" or (prev.text == "const" and t[i - 2].text == ")")):
                    p = i - 1 if prev.text == ")" else i - 2
                    if self._returns_bool(p):
                        self.bool_fn.add(i)
                    self.fn_start[i] = self.match.get(p, i)
                    stack.append(("body", i))
                    cur = i
                else:
                    stack.append(("other", None))
                    if prev is not None and prev.text == "namespace" and i in self.match:
                        self.internal.update(range(i, self.match[i] + 1))
                self.body[i] = cur
                continue
            if tok.text == "}" and stack:
                stack.pop()
            self.body[i] = cur
        for i in range(n):
            if not self._is_stmt_start(i) or t[i].text in ("{", "}", ";"):
                continue
            end = self._stmt_end(i)
            if end is None:
                # A declaration with a brace initializer ends after its braces.
                j = i
                while j < n and t[j].text not in (";", "{", "}"):
                    j = self.match.get(j, j) if t[j].text in ("(", "[") else j
                    j += 1
                end = j
            name = self._declared_name(i, end)
            if name is None:
                continue
            j = name + 1
            if j + 2 < n and t[j].text == "[" and t[j + 2].text == "]" and INTEGER_RE.match(t[j + 1].text):
                self.array_size[t[name].text] = int_value(t[j + 1].text)
            while j < n and t[j].text == "[" and j in self.match:
                self.skip.update(range(j, self.match[j] + 1))
                j = self.match[j] + 1

    def _returns_bool(self, close):
        """close: the `)` of a function's parameter list."""
        if close not in self.match:
            return False
        j = self.match[close] - 1
        words = []
        while j >= 0 and self.t[j].text not in (";", "{", "}", ":", ",", ")", "public", "private", "protected"):
            words.append(self.t[j].text)
            j -= 1
        words.reverse()
        for k, w in enumerate(words):
            if w in ("BOOL", "bool"):
                return "*" not in words[k + 1:] and "&" not in words[k + 1:]
        return False

    def _user_types(self):
        """Classes of the file that define binary operators of their own
        (operator^ on Quad): the names declared with them, and which operators
        exist for them. Replacing `^` between two such values with `|` would
        not build, so it is not made."""
        t, n = self.t, self.n
        self.udt_ops = {}
        for i in range(n - 2):
            if t[i].text == "operator" and t[i + 1].text in PRECEDENCE and t[i + 2].text == "(":
                close = self.match.get(i + 2, i + 2)
                for j in range(i + 3, close):
                    if t[j].kind == "id" and t[j].text not in KEYWORDS and t[j + 1].text in ("&", "*"):
                        self.udt_ops.setdefault(t[j].text, set()).add(t[i + 1].text)
        self.udt_vars = {}
        for i, tok in enumerate(t):
            if tok.text not in self.udt_ops:
                continue
            j = i + 1
            while j < n:
                while j < n and t[j].text in ("&", "*", "const"):
                    j += 1
                if j < n and t[j].kind == "id" and t[j].text not in KEYWORDS and t[j].text not in self.udt_ops:
                    self.udt_vars[t[j].text] = tok.text
                    if j + 2 < n and t[j + 1].text == "," and t[j + 2].kind == "id" and \
                            t[j + 2].text not in KEYWORDS and t[j + 2].text not in self.udt_ops:
                        j += 2
                        continue
                break

    def _udt_blocked(self, k, new):
        """True when an operand of the operator at k is a value of a class
        that has no operator `new`."""
        if not self.udt_vars:
            return False
        lo, hi, ops = self._chain(k)
        where = ops.index(k) if k in ops else None
        if where is None:
            return False
        a = ops[where - 1] + 1 if where > 0 else lo
        b = ops[where + 1] - 1 if where + 1 < len(ops) else hi
        for j in range(a, b + 1):
            name = self.t[j].text
            if name in self.udt_vars and (j + 1 > b or self.t[j + 1].text not in (".", "->", "[", "(")):
                if new not in self.udt_ops[self.udt_vars[name]]:
                    return True
        return False

    # --- classification --------------------------------------------------

    def _operand_end(self, tok):
        return tok is not None and ((tok.kind in ("id", "num", "str", "chr") and tok.text not in KEYWORDS)
                                    or tok.text in (")", "]"))

    def _operand_start(self, tok):
        return tok is not None and ((tok.kind in ("id", "num", "str", "chr") and tok.text not in (
            "return", "case", "else")) or tok.text in ("(", "~", "!", "-", "+", "*", "&", "::", "++", "--"))

    def _binary(self, i):
        """A binary use of the operator at i: spaced on both sides (the code is
        formatted so) between an operand's end and an operand's start."""
        tok = self.t[i]
        nxt = self.t[i + 1] if i + 1 < self.n else None
        return tok.ws_before and tok.ws_after and self._operand_end(self._prev(i)) and self._operand_start(nxt)


    def _chain(self, k):
        """The operands and binary operators around the operator at k, up to
        the brackets, commas, assignments or ?: that bound the expression."""
        t = self.t
        lo = k - 1
        while lo >= 0:
            x = t[lo].text
            if x in (")", "]") and lo in self.match:
                lo = self.match[lo] - 1
                continue
            if x in ("(", "[", "{") or x in CHAIN_STOPS:
                break
            lo -= 1
        hi = k + 1
        while hi < self.n:
            x = t[hi].text
            if x in ("(", "[") and hi in self.match:
                hi = self.match[hi] + 1
                continue
            if x in (")", "]", "}") or x in CHAIN_STOPS:
                break
            hi += 1
        lo, hi = lo + 1, hi - 1
        ops = []
        j = lo
        while j <= hi:
            if t[j].text in ("(", "[") and j in self.match:
                j = self.match[j] + 1
                continue
            if t[j].text in PRECEDENCE and j not in self.skip and self._binary(j):
                ops.append(j)
            j += 1
        return lo, hi, ops
