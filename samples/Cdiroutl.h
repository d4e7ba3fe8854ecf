#pragma once

// The directory outline: a drive's directory tree, built level by level and kept in step with the
// current directory.
#include "samples/DirectoryOutline.h"
