// Macros that MSVC's C runtime headers define and that a portable source must
// survive: <stdlib.h> defines environ (pulled in by Python.h), so no
// identifier of the module may be called that. CI compiles the sources with
// this header forced in front of them.
#pragma once
extern "C" char*** __p__environ(void);
#define _environ (*__p__environ())
#define environ _environ
