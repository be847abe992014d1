// The libjpeg error adapter lives in platform, so that the detection run's
// frame decoder passes its errors through the same one; this name stays for
// the libjpeg layer's own includes.
#pragma once

#include "platform/jpeg_error.h"
