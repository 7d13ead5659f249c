// The shared library is the core archive linked whole; this unit only gives it a body.
#include "ktlorsym_reader.h"
