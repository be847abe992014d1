// Filling the run settings from the command line, the configuration file
// and, in heal mode, the hot pixel map.
#pragma once

#include "config/settings.h"

namespace speckmend {

// Command line: MODE [CONFIGFILE] [HOTPIXELFILE], further arguments ignored.
// Reads all seventeen configuration keys of both sections in their fixed
// order, echoing each, then the optional detector and sheet keys; in heal
// mode then drops the configuration document, reads the map file and, once
// the folders are checked, echoes it into settings.heal.map. Heal folders
// that name an existing folder without their trailing '/' get one. Returns
// only with a complete record; every bad input throws FatalError, the first
// failing check being the one reported, with a detail line saying what is
// wrong where the message does not.
void loadSettings(Settings& settings, int argc, char** argv);

}  // namespace speckmend
