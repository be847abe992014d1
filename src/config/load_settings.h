// Filling the run settings from the command line, the configuration file
// and, in heal mode, the hot pixel map.
#pragma once

#include "config/settings.h"

namespace speckmend {

// Command line: MODE [CONFIGFILE] [HOTPIXELFILE], further arguments ignored.
// Reads all seventeen configuration keys of both sections in their fixed
// order, echoing each; in heal mode then loads the map into the same
// document and reads it into settings.heal.map. Returns only with a complete
// record; every bad input throws FatalError, the first failing check being
// the one reported.
void loadSettings(Settings& settings, int argc, char** argv);

}  // namespace speckmend
