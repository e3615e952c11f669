// The one place the package version is written; the build reads it from here.
#pragma once

#define TESSELLON_VERSION "0.0.2"
