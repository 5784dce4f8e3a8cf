"""C++ source as tokens: comments, literals and preprocessor lines told
apart, the branches no compiler here takes left out, and the words of the
language the mutants' sites are told by."""
import re

# Macros every compiler of this project (gcc, clang, mingw-w64) defines: code
# under `#if defined(__GNUC__)` ... `#else` is only the `#if` part here.
KNOWN_DEFINED = {"__GNUC__"}

KEYWORDS = {"return", "case", "default", "sizeof", "else", "do", "new", "delete", "throw", "if", "for", "while",
            "switch", "goto", "break", "continue", "operator", "template", "typedef", "typename", "this",
            "const", "volatile", "static", "extern", "inline", "virtual", "unsigned", "signed", "int", "char",
            "short", "long", "void", "bool", "float", "double", "struct", "class", "enum", "union", "public",
            "private", "protected", "namespace"}
DECL_QUALIFIERS = {"const", "volatile", "static", "extern", "inline", "register", "mutable", "typedef", "struct",
                   "class", "enum", "union", "virtual", "explicit", "friend", "typename"}
TYPE_KEYWORDS = {"void", "char", "short", "int", "long", "float", "double", "bool", "wchar_t", "unsigned",
                 "signed"}
NOT_A_TYPE = {"return", "delete", "new", "throw", "goto", "break", "continue", "sizeof", "case", "default", "this",
              "operator", "if", "for", "while", "do", "switch", "else"}
CONTROL = {"if", "for", "while", "switch"}
CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
# Framework macros that build tables at file scope (message maps): their
# lines are no code to mutate.
MAP_MACRO = re.compile(r"^(BEGIN|END|DECLARE)_\w*MAP$")

TOKEN_RE = re.compile(r"""
    (?P<ws>[ \t\r\f\v]+)
  | (?P<nl>\n)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<str>(?:u8|[LuU])?"(?:\\.|[^"\\\n])*")
  | (?P<chr>(?:u8|[LuU])?'(?:\\.|[^'\\\n])*')
  | (?P<num>\.?\d(?:[eEpP][+-]|[\w.])*)
  | (?P<id>[A-Za-z_]\w*)
  | (?P<op>->\*|\.\.\.|<<=|>>=|->|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||\+=|-=|\*=|/=|%=|&=|\|=|\^=|::|\.\*
           |[{}\[\]();:,.?~!%^&*+\-/<>=|])
""", re.X | re.S)
DIRECTIVE_RE = re.compile(r"[ \t]*#")
INTEGER_RE = re.compile(r"^(0[xX])([0-9A-Fa-f]+)([uUlL]*)$|^([0-9]+)([uUlL]*)$")


def int_value(literal):
    m = INTEGER_RE.match(literal)
    return int(m.group(2), 16) if m.group(1) else int(m.group(4))


class Tok:
    __slots__ = ("kind", "text", "start", "end", "line", "ws_before", "ws_after")

    def __init__(self, kind, text, start, end, line, ws_before):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line
        self.ws_before, self.ws_after = ws_before, False


def _pp_condition(directive, arg):
    """True, False or None (not known) for one #if/#ifdef/#ifndef/#elif."""
    arg = arg.strip()
    if directive == "ifdef":
        return True if arg in KNOWN_DEFINED else None
    if directive == "ifndef":
        return False if arg in KNOWN_DEFINED else None
    m = re.fullmatch(r"(!?)\s*defined\s*\(?\s*(\w+)\s*\)?", arg)
    if m and m.group(2) in KNOWN_DEFINED:
        return not m.group(1)
    return None


def lex(text):
    """The significant tokens of a C++ source, without comments, preprocessor
    lines and the code of branches no compiler here takes."""
    toks = []
    pos, line, line_start = 0, 1, True
    # Conditionals: [this branch taken, an earlier branch known to be taken]
    cond = []
    prev_ws = True
    while pos < len(text):
        if line_start:
            m = DIRECTIVE_RE.match(text, pos)
            if m:
                end = pos
                while True:
                    nl = text.find("\n", end)
                    if nl < 0:
                        nl = len(text)
                        break
                    if text[nl - 1] == "\\":
                        end = nl + 1
                        continue
                    break
                directive = text[m.end():nl]
                d = re.match(r"\s*(\w+)(.*)", directive, re.S)
                if d:
                    name, arg = d.group(1), re.sub(r"/\*.*?\*/|//.*", "", d.group(2), flags=re.S)
                    if name in ("if", "ifdef", "ifndef"):
                        v = _pp_condition(name, arg)
                        cond.append([v is not False, v is True])
                    elif name == "elif" and cond:
                        v = _pp_condition("if", arg)
                        c = cond[-1]
                        c[0] = not c[1] and v is not False
                        c[1] = c[1] or v is True
                    elif name == "else" and cond:
                        c = cond[-1]
                        c[0] = not c[1]
                    elif name == "endif" and cond:
                        cond.pop()
                line += text.count("\n", pos, nl)
                pos = nl
                continue
        m = TOKEN_RE.match(text, pos)
        if not m:  # a stray character (a backslash, an @): no token
            pos += 1
            continue
        kind = m.lastgroup
        if kind == "nl":
            line += 1
            line_start = True
            prev_ws = True
        elif kind in ("ws", "comment"):
            line += m.group().count("\n")
            prev_ws = True
        else:
            line_start = False
            if all(c[0] for c in cond):
                t = Tok(kind, m.group(), m.start(), m.end(), line, prev_ws)
                t.ws_after = m.end() >= len(text) or text[m.end()] in " \t\r\n"
                toks.append(t)
            prev_ws = False
        pos = m.end()
    return toks
