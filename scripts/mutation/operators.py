"""The operators the mechanical mutants change, what each becomes, and how
the binary operators of C bind."""


OPERATORS = ("rel-boundary", "rel-negate", "logic", "cond-negate", "arith", "incdec", "bitwise", "shift",
             "bit-not-drop", "const-inc", "const-dec", "delete-stmt", "return-swap", "return-negate",
             "bool-swap")

REL_BOUNDARY = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
REL_NEGATE = {"<": ">=", "<=": ">", ">": "<=", ">=": "<", "==": "!=", "!=": "=="}
LOGIC = {"&&": "||", "||": "&&"}
ARITH = {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "+=": "-=", "-=": "+=", "*=": "/=", "/=": "*=",
         "%=": "*="}
BITWISE = {"&": "|", "|": "&", "^": "|", "&=": "|=", "|=": "&=", "^=": "|="}
SHIFT = {"<<": ">>", ">>": "<<", "<<=": ">>=", ">>=": "<<="}
INCDEC = {"++": "--", "--": "++"}

# Binary operators by precedence (higher binds tighter), for the chains that a
# changed operator is re-parenthesised in.
PRECEDENCE = {"*": 10, "/": 10, "%": 10, "+": 9, "-": 9, "<<": 8, ">>": 8, "<": 7, "<=": 7, ">": 7, ">=": 7,
              "==": 6, "!=": 6, "&": 5, "^": 4, "|": 3, "&&": 2, "||": 1}
COMPARISONS = {"<", "<=", ">", ">=", "==", "!="}
# (parent, child) operator pairs the compiler wants parentheses around
# (-Wparentheses; the device code builds with -Werror): a replaced operator
# that creates one gets them, so that the mutant means what C's precedence
# says and still builds.
def needs_parens(parent, child):
    if parent in ("<<", ">>"):
        return child in ("+", "-")
    if parent == "||":
        return child == "&&"
    if parent == "|":
        return child in ("&", "^", "+", "-") or child in COMPARISONS
    if parent == "^":
        return child in ("&", "+", "-") or child in COMPARISONS
    if parent == "&":
        return child in ("+", "-") or child in COMPARISONS
    return False


ASSIGNMENTS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
# Tokens that end an expression chain when scanning for an operator's operands.
CHAIN_STOPS = ASSIGNMENTS | {",", ";", "?", ":", "{", "}", "return", "case"}
