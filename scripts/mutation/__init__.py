"""The mutation check's parts (scripts/mutation-check is the command):

  paths           the tree and the list of equivalent mutants
  faults          the planted faults and the equivalent mutants, read and checked
  scratch         the scratch copy of the tree, its builds and test runs
  cxx_tokens      C++ source as tokens, and the words of the language
  operators       the operators the mutants change, and their precedence
  structure       brackets, statements, declarations and bodies of a source file
  mutator         the mechanical mutants of the device code
  fault_run       planting the faults one at a time
  mechanical_run  building and testing the generated mutants
  report          the listings and the tables that end a run
"""
