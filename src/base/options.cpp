#include "base/options.h"

// The one set of options of the process, filled by the parser.
Settings settings;
