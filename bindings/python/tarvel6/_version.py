# The package's version: the same as the library's CMake project version (a test compares them).
__version__ = "2.0.15"
