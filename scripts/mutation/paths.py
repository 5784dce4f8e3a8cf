"""Where the tree and the list of equivalent mutants are."""
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EQUIVALENTS = os.path.join(ROOT, "scripts", "equivalent-mutants.toml")
